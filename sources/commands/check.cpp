// The check report (-c) in catalogue mode: why a data source is or is not in
// the catalogue, which files the scan does not reach, and what the stored
// default names.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "app/report.h"
#include "commands/commands.h"
#include "platform/platform.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/peheader.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

constexpr int32_t kMachineX86 = 0x14C;
constexpr int32_t kMachineX64 = 0x8664;
// The scan searches ds_dir and one folder below; the check looks this deep.
constexpr int kDeepestLevel = 3;

void PutLineFormat(FILE *stream, const char *format, ...) CORVANE_PRINTF(2, 3);
void PutLineFormat(FILE *stream, const char *format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stream, format, args);
    va_end(args);
    fputc('\n', stream);
}

const char *FileName(const char *path) {
    const char *slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

// Why a file that did not load may never load here: built for another machine,
// or no Windows module at all.
void PutMachineHint(FILE *stream, const char *path) {
    int32_t machine = ModuleMachine(path);
    if (machine == kMachineNoModule)
        fputs("; not a Windows module", stream);
    else if (machine == kMachineUnread || machine == static_cast<int32_t>(OsProgramMachine))
        return;
    else if (machine == kMachineX86)
        fputs("; a 32-bit data source: use Corvane.exe", stream);
    else if (machine == kMachineX64)
        fputs("; a 64-bit data source: use Corvane64.exe", stream);
    else
        fprintf(stream, "; a data source for machine 0x%04X", static_cast<unsigned>(machine));
}

void PutCandidate(FILE *stream, const CandidateRecord &record) {
    fprintf(stream, "%s: ", record.path);
    switch (record.outcome) {
    case kSourceAccepted:
        fprintf(stream, "source %u: %s", record.code,
                IdentityString(SourceCatalog.identities[record.code - 1].ProductName).text);
        break;
    case kNotLoaded:
        PutNotLoaded(stream, record.path, record.code);
        PutMachineHint(stream, record.path);
        break;
    case kNoEntry:
        fputs("no DS_Entry", stream);
        break;
    case kIdentityRefused:
        fprintf(stream, "identity refused: result %u", record.code);
        break;
    case kCatalogFull:
        fprintf(stream, "not loaded: %d sources already", kCatalogLimit);
        break;
    default: {
        char words[64];
        PutLeftOut(words, sizeof words, record.outcome, record.code);
        fputs(words, stream);
        break;
    }
    }
    fputc('\n', stream);
}

// The data-source files that lie deeper than the scan searches.
void PutUnsearched(FILE *stream, const char *dsDir, const char *folder, int level) {
    if (level >= 2) {
        StringList files = ListFiles(folder, "*.ds");
        for (StringList name = files; *name; ++name) {
            char *path = PathJoin(folder, *name);
            PutLineFormat(stream, "%s: not searched: more than one folder below %s", path, dsDir);
            free(path);
        }
        ListFreeItems(files);
        free(files);
    }
    if (level >= kDeepestLevel)
        return;
    StringList folders = ListFolders(folder, "*.*");
    for (StringList name = folders; *name; ++name) {
        char *path = PathJoin(folder, *name);
        PutUnsearched(stream, dsDir, path, level + 1);
        free(path);
    }
    ListFreeItems(folders);
    free(folders);
}

// The left-out candidate the stored default names, or null.
const CandidateRecord *LeftOutDefault(const char *stored) {
    for (int32_t i = 0; i < ScanCandidates.count; ++i) {
        const CandidateRecord &record = ScanCandidates.records[i];
        if (LeftOut(record.outcome) && StrCompareNoCase(record.path, stored) == 0)
            return &record;
    }
    return nullptr;
}

void PutStoredDefault(FILE *stream) {
    int index = -1;
    char *stored = CatalogStoredDefault(&index);
    const CandidateRecord *leftOut = stored && index < 0 ? LeftOutDefault(stored) : nullptr;
    char words[64];
    if (leftOut)
        PutLeftOut(words, sizeof words, leftOut->outcome, leftOut->code);
    if (!stored)
        PutLine(stream, "default: none");
    else if (leftOut)
        PutLineFormat(stream, "default: %s - left out of the listing: %s", stored, words);
    else if (index >= 0)
        PutLineFormat(stream, "default: %s = source %d", stored, index + 1);
    else if (SourceCatalog.count > 0)
        PutLineFormat(stream,
                      "default: %s - no such source; a TWAIN Source Manager would use source 1 "
                      "instead",
                      stored);
    else
        PutLineFormat(stream, "default: %s - no such source", stored);
    free(stored);
}

} // namespace

void PutNotLoaded(FILE *stream, const char *path, unsigned error) {
    char message[512];
    if (!OsErrorText(error, FileName(path), message, sizeof message))
        snprintf(message, sizeof message, "unknown error");
    fprintf(stream, "not loaded: %s (error %u)", message, error);
}

char *CatalogStoredDefault(int *index) {
    char *stored = OsUserKeyReadText(VarGet("ds_reg_dir"), VarGet("ds_reg_name"));
    *index = -1;
    // Letter case ignored, as a TWAIN Source Manager compares the paths.
    for (int i = 0; stored && i < SourceCatalog.count && *index < 0; ++i)
        if (StrCompareNoCase(SourceCatalog.paths[i], stored) == 0)
            *index = i;
    return stored;
}

int CatalogCheck(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    EnsureCatalog();
    FILE *stream = ReportCreate(path);
    for (int32_t i = 0; i < ScanCandidates.count; ++i)
        PutCandidate(stream, ScanCandidates.records[i]);
    const char *dsDir = VarGet("ds_dir");
    PutUnsearched(stream, dsDir, dsDir, 0);
    PutStoredDefault(stream);
    ReportFinish(stream, path, outputFile);
    return 0;
}
