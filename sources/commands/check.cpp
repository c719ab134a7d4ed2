// The check report (-c) in catalogue mode: why a data source is or is not in
// the catalogue, which files the scan does not reach, and what the stored
// default names.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "app/report.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/registry.h"
#include "platform/system.h"
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
constexpr int kSystemFolderSize = 260;
// How far the check follows a vendor's DLLs into the DLLs they import.
constexpr int kDeepestImport = 4;

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

// Names and paths are escaped: a control character in one must not start a
// line that looks like another candidate or the default.
void PutCandidate(FILE *stream, const CandidateRecord &record) {
    PutEscaped(stream, record.path);
    fputs(": ", stream);
    switch (record.outcome) {
    case kSourceAccepted:
        fprintf(stream, "source %u: ", record.code);
        PutEscaped(stream,
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
    case kUnsearchable: {
        char message[512];
        if (!OsErrorText(record.code, record.path, message, sizeof message))
            snprintf(message, sizeof message, "unknown error");
        fputs("cannot be searched: ", stream);
        PutEscaped(stream, message);
        fprintf(stream, " (error %u)", record.code);
        break;
    }
    case kUnwritableName:
        fprintf(stream,
                "the name cannot be written in code page %u: no TWAIN Source Manager can load "
                "it; rename the file or folder",
                OsCodePage());
        break;
    default: {
        char words[64];
        PutLeftOut(words, sizeof words, record.outcome, record.code);
        fputs(words, stream);
        break;
    }
    }
    char notes[256];
    PutNotes(notes, sizeof notes, record.outcome == kSourceAccepted, record.notes);
    if (*notes) {
        fputs(" (", stream);
        PutEscaped(stream, notes);
        fputc(')', stream);
    }
    fputc('\n', stream);
}

// The data-source files that lie deeper than the scan searches.
void PutUnsearched(FILE *stream, const char *dsDir, const char *folder, int level) {
    if (level >= 2) {
        StringList files = ListFiles(folder, "*.ds");
        for (StringList name = files; *name; ++name) {
            char *path = PathJoin(folder, *name);
            PutEscaped(stream, path);
            fputs(": not searched: more than one folder below ", stream);
            PutEscaped(stream, dsDir);
            fputc('\n', stream);
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

// Why ds_dir gives no candidates at all, when it is not a folder to search.
void PutFolderProblem(FILE *stream, const char *dsDir) {
    unsigned error = 0;
    OsFolderState state = ScanFolderState(dsDir, &error);
    if (state == kFolderSearchable)
        return;
    char message[512];
    if (!OsErrorText(error, dsDir, message, sizeof message))
        snprintf(message, sizeof message, "unknown error");
    fputs("ds_dir ", stream);
    PutEscaped(stream, dsDir);
    fprintf(stream, " %s: ", FolderProblem(state));
    PutEscaped(stream, message);
    fprintf(stream, " (error %u)\n", error);
}

// Run as the system account, the registry read is that account's own.
void PutDefaultOwner(FILE *stream) {
    if (OsIsLocalSystem())
        PutLine(stream, "whose default: the system account's, not a user's (run -c as the "
                        "logged-on user to see theirs)");
}

void PutStoredDefault(FILE *stream) {
    PutDefaultOwner(stream);
    int index = -1;
    char *stored = CatalogStoredDefault(&index);
    if (!stored) {
        PutLine(stream, "default: none");
        return;
    }
    const CandidateRecord *leftOut = index < 0 ? LeftOutDefault(stored) : nullptr;
    fputs("default: ", stream);
    PutEscaped(stream, stored);
    if (index >= 0) {
        fprintf(stream, " = source %d\n", index + 1);
    } else if (leftOut) {
        char words[64];
        PutLeftOut(words, sizeof words, leftOut->outcome, leftOut->code);
        fprintf(stream, " - left out of the listing: %s\n", words);
    } else if (SourceCatalog.count > 0)
        PutLine(stream, " - no such source; a TWAIN Source Manager would use source 1 instead");
    else
        PutLine(stream, " - no such source");
    free(stored);
}

// Appends to the text in buf, bounded by its size.
void Append(char *buf, size_t size, const char *format, ...) CORVANE_PRINTF(3, 4);
void Append(char *buf, size_t size, const char *format, ...) {
    size_t used = strlen(buf);
    va_list args;
    va_start(args, format);
    vsnprintf(buf + used, size - used, format, args);
    va_end(args);
}

// The file of a DLL in a folder, as a heap text; null when it is not there.
char *InFolder(const char *folder, const char *name) {
    char *path = PathJoin(folder, name);
    if (FileExists(path))
        return path;
    free(path);
    return nullptr;
}

char *InPathFolder(const char *name) {
    const char *variable = OsGetEnv("PATH");
    char *folders = StrDup(variable ? variable : "");
    char *found = nullptr;
    for (char *folder = folders; folder && !found;) {
        char *end = strchr(folder, ';');
        if (end)
            *end = '\0';
        found = *folder != '\0' ? InFolder(folder, name) : nullptr;
        folder = end ? end + 1 : nullptr;
    }
    free(folders);
    return found;
}

// The system's folder or Windows' (into buf), or null when it cannot be read.
const char *SystemFolder(bool windows, char (&buf)[kSystemFolderSize]) {
    int length = windows ? OsWindowsDirectory(buf, kSystemFolderSize)
                         : OsSystemDirectory(buf, kSystemFolderSize);
    return length > 0 && length < kSystemFolderSize ? buf : nullptr;
}

// Where the loader finds a DLL that a data source, or a DLL of its, imports
// while the source's own folder is the working folder: the program's folder,
// the system folder, the Windows folder, the working folder, then the folders
// of PATH. Null when it finds none; *shared tells whether it is the system's.
char *FindDll(const char *sourceFolder, const char *name, bool *shared) {
    char system[kSystemFolderSize];
    char windows[kSystemFolderSize];
    const char *folders[] = {ProgramFolderPath, SystemFolder(false, system),
                             SystemFolder(true, windows), sourceFolder};
    for (int i = 0; i < 4; ++i) {
        *shared = i == 1 || i == 2;
        if (char *found = folders[i] ? InFolder(folders[i], name) : nullptr)
            return found;
    }
    *shared = false;
    return InPathFolder(name);
}

// Adds to *missing each DLL the module at path needs, directly or through a
// DLL of the vendor's own (not the system's), that the loader does not find:
// "b.dll", or "c.dll (for b.dll)". API sets (api-ms-*, ext-ms-*) and modules
// loaded already need no file; a name holding a path is not looked for.
void CollectMissing(const char *sourceFolder, const char *path, const char *through, int depth,
                    StringList *seen, StringList *missing) {
    StringList imports = ModuleImports(path);
    for (StringList name = imports; *name; ++name) {
        bool known = false;
        for (StringList old = *seen; *old && !known; ++old)
            known = StrCompareNoCase(*old, *name) == 0;
        if (known || StrNCompareNoCase(*name, "api-ms-", 7) == 0 ||
            StrNCompareNoCase(*name, "ext-ms-", 7) == 0 || strpbrk(*name, "\\/:") != nullptr ||
            OsModuleLoaded(*name))
            continue;
        ListAppend(seen, *name);
        bool shared = false;
        char *found = FindDll(sourceFolder, *name, &shared);
        if (!found) {
            char entry[kNotLoadedSize];
            snprintf(entry, sizeof entry, "%s%s%s%s", *name, through ? " (for " : "",
                     through ? through : "", through ? ")" : "");
            ListAppend(missing, entry);
        } else if (depth < kDeepestImport && !shared) {
            CollectMissing(sourceFolder, found, *name, depth + 1, seen, missing);
        }
        free(found);
    }
    ListFreeItems(imports);
    free(imports);
}

// "needs a.dll and c.dll (for b.dll), which are not found" for the DLLs the
// loader cannot find; false when it finds them all.
bool PutMissingDlls(char *buf, size_t size, const char *path) {
    char *folder = StrDup(path);
    const char *slash = LastChar(folder, '\\');
    if (slash)
        folder[slash - folder] = '\0';
    StringList seen = ListNew(0);
    StringList missing = ListNew(0);
    CollectMissing(slash ? folder : ".", path, nullptr, 0, &seen, &missing);
    int count = ListCount(missing);
    for (int i = 0; i < count; ++i)
        Append(buf, size, "%s%s", i == 0 ? "needs " : i + 1 < count ? ", " : " and ", missing[i]);
    if (count > 0)
        Append(buf, size, ", which %s not found", count == 1 ? "is" : "are");
    ListFreeItems(seen);
    free(seen);
    ListFreeItems(missing);
    free(missing);
    free(folder);
    return count > 0;
}

} // namespace

void NotLoadedText(char *buf, size_t size, const char *path, unsigned error) {
    *buf = '\0';
    // Windows gives the same error for a missing module and for a missing DLL
    // that a module there needs.
    bool module = ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine);
    bool missingDll = error == OsErrorModuleNotFound && module;
    if (missingDll && PutMissingDlls(buf, size, path)) {
        Append(buf, size, " (error %u)", error);
        return;
    }
    if (!OsErrorText(error, FileName(path), buf, static_cast<int>(size)))
        snprintf(buf, size, "unknown error");
    Append(buf, size, " (error %u)", error);
    if (missingDll)
        Append(buf, size, "; the file is there, but a DLL it needs is missing");
    else if (error == OsErrorInitFailed)
        Append(buf, size, "; its start-up code refused to load");
    else if (error == OsErrorAccessDenied)
        Append(buf, size, "; this user may not read or run it: see the file's permissions");
}

void PutNotLoaded(FILE *stream, const char *path, unsigned error) {
    char text[kNotLoadedSize];
    NotLoadedText(text, sizeof text, path, error);
    fputs("not loaded: ", stream);
    PutEscaped(stream, text); // a system message may run over several lines
}

const char *FolderProblem(OsFolderState state) {
    static const char *const problems[] = {"", "does not exist", "is not a folder",
                                           "cannot be searched"};
    return problems[state];
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
    const char *dsDir = VarGet("ds_dir");
    PutFolderProblem(stream, dsDir);
    if (ScanInProcess) {
        char text[256];
        PutInProcess(text, sizeof text);
        PutLine(stream, text);
    }
    for (int32_t i = 0; i < ScanCandidates.count; ++i)
        PutCandidate(stream, ScanCandidates.records[i]);
    PutUnsearched(stream, dsDir, dsDir, 0);
    PutStoredDefault(stream);
    ReportFinish(stream, path, outputFile);
    return 0;
}
