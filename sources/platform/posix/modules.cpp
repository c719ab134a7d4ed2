// Loading and freeing foreign modules on POSIX systems: shared objects.
#include "platform/modules.h"
#include "platform/posix/internal.h"

#include <dlfcn.h>
#include <strings.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// dlopen sets no error number of its own: a file that is there but does not
// load counts as not executable.
unsigned LastError;

void *OsLoadModule(const char *path) {
    char *native = NativePath(path);
    if (!native) {
        LastError = ENOMEM;
        return nullptr;
    }
    void *module = dlopen(native, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        LastError = access(native, F_OK) == 0 ? ENOEXEC : ENOENT;
    free(native);
    return module;
}

void *OsModuleSymbol(void *module, const char *name) {
    return module ? dlsym(module, name) : nullptr;
}

// Shared objects have no export ordinals.
void *OsModuleOrdinal(void *, unsigned) {
    return nullptr;
}

void OsFreeModule(void *module) {
    if (module)
        dlclose(module);
}

bool OsModuleLoaded(const char *name) {
    void *module = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (module)
        dlclose(module);
    return module != nullptr;
}

// The stand-in for the system's API set schema: it resolves the core sets,
// which every Windows with a schema has, and nothing else.
bool OsApiSetResolved(const char *name) {
    return strncasecmp(name, "api-ms-win-core-", 16) == 0;
}

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
