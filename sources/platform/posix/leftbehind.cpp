// What a data source leaves in the process it was asked in, on POSIX systems:
// the shared objects loaded, and the number of threads (where they start is
// not told here, so every new thread counts as the source's).
#include "platform/modules.h"

#include <link.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The shared objects loaded, by their load addresses, and the threads.
constexpr int kMostModules = 512;
struct ModuleSet {
    int count;
    uintptr_t bases[kMostModules];
};
ModuleSet Marked;
ModuleSet Left;
unsigned MarkedThreads;
unsigned LeftThreads;
bool Looked;

unsigned Threads() {
    unsigned threads = 0;
    if (FILE *stat = fopen("/proc/self/stat", "r")) {
        // The twentieth field; the second, the command, is in parentheses.
        char line[1024];
        if (fgets(line, sizeof line, stat))
            if (const char *end = strrchr(line, ')'))
                sscanf(end + 1,
                       " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d "
                       "%*d %u",
                       &threads);
        fclose(stat);
    }
    return threads;
}

bool Contains(const ModuleSet &set, uintptr_t base) {
    for (int i = 0; i < set.count; ++i)
        if (set.bases[i] == base)
            return true;
    return false;
}

struct Reading {
    ModuleSet *set;
    const ModuleSet *since;
    OsLeftBehind *left;
};

int NoteModule(dl_phdr_info *info, size_t, void *data) {
    auto *reading = static_cast<Reading *>(data);
    if (reading->set->count < kMostModules)
        reading->set->bases[reading->set->count++] = info->dlpi_addr;
    if (reading->since && !Contains(*reading->since, info->dlpi_addr) &&
        reading->left->modules++ == 0) {
        const char *name = strrchr(info->dlpi_name, '/');
        snprintf(reading->left->module, sizeof reading->left->module, "%s",
                 name ? name + 1 : info->dlpi_name);
    }
    return 0;
}

void ReadModules(ModuleSet *set, const ModuleSet *since, OsLeftBehind *left) {
    set->count = 0;
    Reading reading = {set, since, left};
    dl_iterate_phdr(NoteModule, &reading);
}

} // namespace

void OsMarkState() {
    MarkedThreads = Threads();
    ReadModules(&Marked, nullptr, nullptr);
}

void OsLeftSinceMark(OsLeftBehind *left) {
    memset(left, 0, sizeof *left);
    Looked = true;
    LeftThreads = Threads();
    left->threads = LeftThreads > MarkedThreads ? LeftThreads - MarkedThreads : 0;
    ReadModules(&Left, &Marked, left);
}

bool OsChangedSinceLeft() {
    if (!Looked)
        return false;
    ModuleSet now;
    OsLeftBehind added = {};
    ReadModules(&now, &Left, &added);
    return Threads() > LeftThreads || added.modules > 0;
}

void OsNoteSourceCode() {}
