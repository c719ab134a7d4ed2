// The check report (-c) in catalogue mode: why a data source is or is not in
// the catalogue, which files the scan does not reach, which the other program
// lists, and what the stored default names.
#include <cstdlib>
#include <cstring>

#include "app/report.h"
#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/peheader.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

// The two programs, each with the kind of data source it loads and the folder
// Windows keeps for that kind.
struct Kind {
    int32_t machine;
    const char *words;
    const char *program;
    const char *folder;
};
constexpr Kind kKinds[] = {{kMachineX86, "a 32-bit data source", "Corvane", "twain_32"},
                           {kMachineX64, "a 64-bit data source", "Corvane64", "twain_64"}};

// Room for the Windows folder's path, which the system keeps short.
constexpr int kWindowsRoom = 260;

const Kind *KindOf(int32_t machine) {
    for (const Kind &kind : kKinds)
        if (kind.machine == machine)
            return &kind;
    return nullptr;
}

const Kind &OtherKind() {
    return kKinds[0].machine == static_cast<int32_t>(OsProgramMachine) ? kKinds[1] : kKinds[0];
}

// Most Windows computers have it: it has no DS_Entry, and the Source Manager
// lists the WIA scanners through it.
bool WiaBridge(const char *path) {
    return StrCompareNoCase(FileName(path), "wiatwain.ds") == 0;
}

void PutWiaBridge(FILE *stream) {
    fputs("the system's bridge to WIA scanners: WIA-only scanners are listed through the Source "
          "Manager, Corvane.exe -2 -l (see \"WIA scanners\" in README.txt, chapter 8)",
          stream);
}

// Why a file that did not load may never load here: built for another machine,
// or no Windows module at all.
void PutMachineHint(FILE *stream, const char *path) {
    int32_t machine = ModuleMachine(path);
    const Kind *kind = KindOf(machine);
    if (machine == kMachineNoModule)
        fputs("; not a Windows module", stream);
    else if (machine == kMachineUnread || machine == static_cast<int32_t>(OsProgramMachine))
        return;
    else if (kind)
        fprintf(stream, "; %s: use %s.exe", kind->words, kind->program);
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
        PutNotLoaded(stream, record.path, record.code, nullptr);
        PutMachineHint(stream, record.path);
        break;
    case kNoEntry:
        if (WiaBridge(record.path))
            PutWiaBridge(stream);
        else
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

// What the check names of the files below a folder, down to the deepest a
// depth setting reaches: those of ds_dir deeper than the scan searches, or
// every one in the other program's folder, never loaded: their PE headers tell
// what they are.
struct Walk {
    const char *root;
    int from;          // the first level named (0: the root's own files)
    const Kind *other; // the other program's kind, or null for ds_dir
    int otherDepth;    // the other program's ds_depth
};

// A file of the other program's folder: which program lists it.
void PutOtherKind(FILE *stream, const Walk &walk, const char *path, int level) {
    int32_t machine = ModuleMachine(path);
    bool entry = machine >= 0 && ModuleExports(path, "DS_Entry", OrdinalEntryAllowed(path) ? 1 : 0);
    const Kind *kind = KindOf(machine);
    if (kind == walk.other && entry) {
        fprintf(stream, "%s: use %s.exe", kind->words, kind->program);
        if (level > walk.otherDepth)
            fprintf(stream, " with ds_depth=%d", level);
        return;
    }
    if (!entry && machine >= 0 && WiaBridge(path)) {
        PutWiaBridge(stream);
        return;
    }
    if (machine == kMachineNoModule)
        fputs("not a Windows module", stream);
    else if (machine == kMachineUnread)
        fputs("cannot be read", stream);
    else if (!entry)
        fputs("no DS_Entry", stream);
    else if (kind)
        fputs(kind->words, stream);
    else
        fprintf(stream, "a data source for machine 0x%04X", static_cast<unsigned>(machine));
    fputs(": no program lists it from this folder", stream);
}

void PutWalked(FILE *stream, const Walk &walk, const char *folder, int level) {
    if (level >= walk.from) {
        StringList files = ListFiles(folder, "*.ds");
        for (StringList name = files; *name; ++name) {
            char *path = PathJoin(folder, *name);
            PutEscaped(stream, path);
            fputs(": ", stream);
            if (walk.other) {
                PutOtherKind(stream, walk, path, level);
            } else {
                fprintf(stream, "not searched: %d folders below ", level);
                PutEscaped(stream, walk.root);
                fprintf(stream, "; set ds_depth=%d to search there", level);
            }
            fputc('\n', stream);
            free(path);
        }
        ListFreeItems(files);
        free(files);
    }
    if (level >= kMostDepth)
        return;
    StringList folders = ListFolders(folder, "*.*");
    for (StringList name = folders; *name; ++name) {
        char *path = PathJoin(folder, *name);
        PutWalked(stream, walk, path, level + 1);
        free(path);
    }
    ListFreeItems(folders);
    free(folders);
}

// The other program's folder: the ds_dir of its settings file beside this
// program, else the Windows folder's for its kind; with its ds_depth (1 where
// it gives none this program can read).
char *OtherFolder(const Kind &other, int *depth) {
    char *folder = ShippedSetting(other.program, "ds_dir");
    char *depthText = ShippedSetting(other.program, "ds_depth");
    int read = depthText ? WholeNumber(depthText, 1, kMostDepth) : -1;
    *depth = read > 0 ? read : 1;
    free(depthText);
    char windows[kWindowsRoom];
    int length = folder ? 0 : OsWindowsDirectory(windows, sizeof windows);
    if (length > 0 && length < kWindowsRoom)
        folder = PathJoin(windows, other.folder);
    char *full = folder ? CatalogFolder(folder) : nullptr;
    free(folder);
    return full;
}

// Whether two full paths name one folder, a backslash at the end or not.
bool SameFolder(const char *first, const char *second) {
    size_t a = strlen(first) - (EndsWithChar(first, '\\') ? 1 : 0);
    size_t b = strlen(second) - (EndsWithChar(second, '\\') ? 1 : 0);
    return a == b && StrNCompareNoCase(first, second, a) == 0;
}

void PutOtherFolder(FILE *stream, const char *dsDir) {
    Walk walk = {nullptr, 0, &OtherKind(), 1};
    char *folder = OtherFolder(*walk.other, &walk.otherDepth);
    if (folder && !SameFolder(folder, dsDir)) {
        walk.root = folder;
        PutWalked(stream, walk, folder, 0);
    }
    free(folder);
}

// Whether a path is whole, naming its drive or server ("C:\...", "\\server\...",
// or on POSIX "/..."), not relative to a working folder.
bool FullPathGiven(const char *path) {
    bool drive = ((*path | 0x20) >= 'a' && (*path | 0x20) <= 'z') && path[1] == ':' &&
                 (path[2] == '\\' || path[2] == '/');
    return drive || (path[0] == '\\' && path[1] == '\\') || path[0] == '/';
}

// The left-out candidate the stored default names, or null.
const CandidateRecord *LeftOutDefault(const char *stored) {
    char *full = FullPathGiven(stored) ? FullPath(stored) : nullptr;
    const CandidateRecord *found = nullptr;
    for (int32_t i = 0; full && i < ScanCandidates.count && !found; ++i) {
        const CandidateRecord &record = ScanCandidates.records[i];
        if (LeftOut(record.outcome) && StrCompareNoCase(record.path, full) == 0)
            found = &record;
    }
    free(full);
    return found;
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
                        "logged-on user, or -all -g, to see theirs)");
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

} // namespace

const char *FolderProblem(OsFolderState state) {
    static const char *const problems[] = {"", "does not exist", "is not a folder",
                                           "cannot be searched"};
    return problems[state];
}

int CatalogIndexOf(const char *stored) {
    // Full paths, letter case ignored, as a TWAIN Source Manager compares them;
    // a relative one names no file a Source Manager can find.
    char *full = stored && FullPathGiven(stored) ? FullPath(stored) : nullptr;
    int index = -1;
    for (int i = 0; full && i < SourceCatalog.count && index < 0; ++i)
        if (StrCompareNoCase(SourceCatalog.paths[i], full) == 0)
            index = i;
    free(full);
    return index;
}

char *CatalogStoredDefault(int *index) {
    char *stored = OsUserKeyReadText(VarGet("ds_reg_dir"), VarGet("ds_reg_name"));
    *index = CatalogIndexOf(stored);
    return stored;
}

int CatalogCheck(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    EnsureCatalog();
    FILE *stream = ReportCreate(path);
    char *dsDir = CatalogFolder(VarGet("ds_dir"));
    PutFolderProblem(stream, dsDir);
    if (ScanInProcess) {
        char text[256];
        PutInProcess(text, sizeof text);
        PutLine(stream, text);
    }
    for (int32_t i = 0; i < ScanCandidates.count; ++i)
        PutCandidate(stream, ScanCandidates.records[i]);
    PutWalked(stream, Walk{dsDir, SourceDepth() + 1, nullptr, 0}, dsDir, 0);
    PutOtherFolder(stream, dsDir);
    free(dsDir);
    PutStoredDefault(stream);
    ReportFinish(stream, path, outputFile);
    return 0;
}
