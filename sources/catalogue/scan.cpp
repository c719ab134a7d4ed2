// The catalogue scan: data-source files in a folder and its immediate sub-folders.
#include <cstdlib>
#include <cstring>

#include "TWLINK/TWLINK.h"
#include "app/program.h"
#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"
#include "support/variables.h"

SourceCatalogTable SourceCatalog;
CandidateTable ScanCandidates;

namespace {

constexpr int kIdentitySize = sizeof(TW_IDENTITY);
// Room for a full path; a longer one is taken as given.
constexpr int kFullPathRoom = 4096;

// The system's error when the latest scan could not search ds_dir, else 0.
unsigned FolderError;

// Only the low 16 bits of the entry's result are the TWAIN return code. The
// source gets its own copy of the origin: what it writes there stays there.
TW_UINT16 AskIdentity(DSENTRYPROC entry, const TW_IDENTITY *origin, TW_IDENTITY *identity) {
    TW_IDENTITY copy = origin ? *origin : TW_IDENTITY{};
    return static_cast<TW_UINT16>(
        entry(origin ? &copy : nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, identity));
}

// The source's own folder becomes the working folder, as the Source Managers
// make it: the libraries it imports or loads by bare name from there are
// found, after the program's and the system's folders as always.
void EnterOwnFolder(const char *path) {
    const char *slash = LastChar(path, '\\');
    if (!slash)
        return;
    char *folder = StrDup(path);
    // A drive's root keeps its backslash: "C:" alone is that drive's working folder.
    bool root = slash == path + 2 && path[1] == ':';
    folder[slash - path + (root ? 1 : 0)] = '\0';
    OsSetWorkingFolder(folder);
    free(folder);
}

void AddAll(const char *folder, StringList names) {
    for (StringList name = names; *name != nullptr; ++name)
        AddDataSource(folder, *name);
}

void FreeList(StringList list) {
    ListFreeItems(list);
    free(list);
}

// One folder the scan searches: its data-source files, and the names in it the
// code page cannot write.
struct ScanFolder {
    char *path;
    StringList files;
    StringList unwritable;
    unsigned failure; // the system's error when it could not be searched
};

} // namespace

CandidateOutcome AskModule(const char *path, bool withOrigin, TW_IDENTITY *identity, uint32_t *code,
                           bool *answeredWithOrigin, OsLeftBehind *left) {
    OsForeignBegin(path, "DS_Entry");
    OsMarkState();
    OsRestoreSearchState();
    EnterOwnFolder(path);
    CandidateOutcome outcome = kNotLoaded;
    *answeredWithOrigin = false;
    void *module = OsLoadModule(path);
    if (module == nullptr) {
        *code = OsLastError();
    } else {
        void *entry = OsModuleSymbol(module, "DS_Entry");
        if (entry == nullptr && strstr(path, "wiatwain.ds") == nullptr)
            entry = OsModuleOrdinal(module, 1);
        outcome = kNoEntry;
        if (entry != nullptr) {
            auto ask = reinterpret_cast<DSENTRYPROC>(entry);
            *code = AskIdentity(ask, withOrigin ? &AppIdentity : nullptr, identity);
            // Asked again as a Source Manager 2.x asks, with the application's
            // identity; what it refused stays its answer.
            if (*code != TWRC_SUCCESS && !withOrigin) {
                memset(identity, 0, sizeof *identity);
                *answeredWithOrigin = AskIdentity(ask, &AppIdentity, identity) == TWRC_SUCCESS;
                *code = *answeredWithOrigin ? TWRC_SUCCESS : *code;
            }
            outcome = *code == TWRC_SUCCESS ? kSourceAccepted : kIdentityRefused;
        }
        OsNoteSourceCode();
        OsFreeModule(module);
    }
    OsLeftSinceMark(left);
    OsForeignEnd();
    return outcome;
}

namespace {

void NoteCandidate(const char *path, CandidateOutcome outcome, uint32_t code,
                   const CandidateNotes &notes = CandidateNotes{}) {
    CandidateTable &table = ScanCandidates;
    if (table.count == table.room) {
        int32_t room = table.room > 0 ? table.room * 2 : 64;
        auto *grown = static_cast<CandidateRecord *>(
            MemAlloc(room * static_cast<int32_t>(sizeof(CandidateRecord))));
        if (table.count > 0)
            memcpy(grown, table.records, table.count * sizeof(CandidateRecord));
        free(table.records);
        table.records = grown;
        table.room = room;
    }
    table.records[table.count++] = {StrDup(path), outcome, code, notes};
}

// Files and folders the code page has no name for: no Source Manager can load
// them, so they are reported and never looked up. Releases the list.
void NoteUnwritable(const char *folder, StringList names) {
    for (StringList name = names; *name != nullptr; ++name) {
        char *path = PathJoin(folder, *name);
        NoteCandidate(path, kUnwritableName, 0);
        free(path);
    }
    FreeList(names);
}

void ForgetCandidates() {
    for (int32_t i = 0; i < ScanCandidates.count; ++i)
        free(ScanCandidates.records[i].path);
    ScanCandidates.count = 0;
}

} // namespace

void AddDataSource(const char *folder, const char *name) {
    int32_t index = SourceCatalog.count;
    if (index >= kCatalogLimit) {
        char *skipped = PathJoin(folder, name);
        NoteCandidate(skipped, kCatalogFull, 0);
        free(skipped);
        return;
    }
    // The slot at count is scratch until the candidate is accepted.
    free(SourceCatalog.paths[index]);
    char *path = PathJoin(folder, name);
    SourceCatalog.paths[index] = path;

    // A source may fill only some fields: the rest must not show older bytes.
    TW_IDENTITY *identity = &SourceCatalog.identities[index];
    memset(identity, 0, sizeof *identity);
    uint32_t code = 0;
    CandidateNotes notes = {};
    CandidateOutcome outcome = AskInWorker(path, identity, &code, &notes);
    if (LeftOut(outcome)) {
        char words[64];
        PutLeftOut(words, sizeof words, outcome, code);
        LogPrint("%s: %s", path, words);
    }
    char noted[256];
    PutNotes(noted, sizeof noted, outcome == kSourceAccepted, notes);
    if (*noted)
        LogPrint("%s: %s", path, noted);
    if (outcome == kSourceAccepted) {
        if (DebugLevel != 0) {
            LogPrint("TWAIN Data Source %d", index + 1);
            LogHexDump("TW_IDENTITY : ", kIdentitySize, identity);
        }
        SourceCatalog.count = index + 1;
        code = static_cast<uint32_t>(index + 1);
    }
    NoteCandidate(path, outcome, code, notes);
}

char *FullPath(const char *path) {
    char full[kFullPathRoom];
    int length = OsFullPath(path, full, sizeof full);
    return StrDup(length > 0 && length < kFullPathRoom ? full : path);
}

char *CatalogFolder(const char *folder) {
    return FullPath(folder);
}

int ScanDataSources(const char *typed) {
    char *folder = CatalogFolder(typed);
    ForgetCandidates();
    ScanInProcess = false;
    // Only an empty catalogue is scanned again; its tables and scratch path go.
    if (SourceCatalog.paths != nullptr)
        for (int i = 0; i < kCatalogLimit; ++i)
            free(SourceCatalog.paths[i]);
    free(SourceCatalog.paths);
    free(SourceCatalog.identities);
    SourceCatalog.identities = static_cast<TW_IDENTITY *>(MemAlloc(kCatalogLimit * kIdentitySize));
    SourceCatalog.paths = static_cast<char **>(MemAlloc(kCatalogLimit * sizeof(char *)));
    // Cleared so a scratch path can be released when the next candidate replaces it.
    memset(SourceCatalog.paths, 0, kCatalogLimit * sizeof(char *));

    // Every candidate is known before the first is asked: the workers may
    // take the next ones while one is slow to answer. A folder without a name
    // is reported once, not searched.
    StringList unwritable = ListNew(0);
    unsigned filesFailure = 0;
    StringList files = ListFiles(folder, "*.ds", &unwritable, &filesFailure);
    StringList folders = ListFolders(folder, "*.*", &unwritable, &FolderError);
    FolderError = filesFailure ? filesFailure : FolderError;
    int count = ListCount(folders) + 1;
    auto *scan =
        static_cast<ScanFolder *>(MemAlloc(count * static_cast<int32_t>(sizeof(ScanFolder))));
    scan[0] = {StrDup(folder), files, unwritable, 0};
    StringList paths = ListNew(0);
    for (int i = 0; i < count; ++i) {
        if (i > 0) {
            scan[i].path = PathJoin(folder, folders[i - 1]);
            scan[i].unwritable = ListNew(0);
            scan[i].files = ListFiles(scan[i].path, "*.ds", &scan[i].unwritable, &scan[i].failure);
        }
        for (StringList name = scan[i].files; *name != nullptr; ++name) {
            char *path = PathJoin(scan[i].path, *name);
            ListAppend(&paths, path);
            free(path);
        }
    }
    PlanCandidates(paths);
    FreeList(paths);
    FreeList(folders);
    for (int i = 0; i < count; ++i) {
        if (scan[i].failure != 0)
            NoteCandidate(scan[i].path, kUnsearchable, scan[i].failure);
        AddAll(scan[i].path, scan[i].files);
        FreeList(scan[i].files);
        NoteUnwritable(scan[i].path, scan[i].unwritable);
        free(scan[i].path);
    }
    free(scan);
    free(folder);
    EndScanWorker();
    return 0;
}

OsFolderState ScanFolderState(const char *folder, unsigned *error) {
    OsFolderState state = OsFolderCheck(folder, error);
    if (state != kFolderSearchable || FolderError == 0)
        return state;
    *error = FolderError;
    return kFolderUnsearchable;
}

namespace {

constexpr int kLongestLimit = 86400;

// A whole number from low to high: digits only, leading zeros allowed; a
// sign, a fraction or a unit is no silent default.
int WholeSetting(const char *name, int fallback, int low, int high, const char *unit) {
    const char *text = VarGet(name);
    if (*text == '\0')
        return fallback;
    size_t length = strlen(text);
    const char *digits = text + strspn(text, "0");
    int value = strspn(text, "0123456789") == length && strlen(digits) <= 9 ? atoi(digits) : -1;
    if (value < low || value > high)
        Fatal("file: %s section: Settings - setting '%s' is not a whole number %sfrom %d to %d: %s",
              SettingsPath, name, unit, low, high, text);
    return value;
}

} // namespace

int SourceTimeLimit() {
    return WholeSetting("ds_timeout", 30, 0, kLongestLimit, "of seconds ");
}

int SourceWorkers() {
    return WholeSetting("ds_workers", 4, 1, kMostWorkers, "");
}

bool LeftOut(int32_t outcome) {
    return outcome >= kCrashed;
}

void PutLeftOut(char *text, size_t size, int32_t outcome, uint32_t code) {
    if (outcome == kCrashed)
        snprintf(text, size, "crashed (exception 0x%08X)", static_cast<unsigned>(code));
    else if (outcome == kEndedProcess)
        snprintf(text, size, "ended the process (exit code %u)", static_cast<unsigned>(code));
    else if (outcome == kTimedOut)
        snprintf(text, size, "did not answer within %u s", static_cast<unsigned>(code));
    else if (outcome == kDamagedAnswer)
        snprintf(text, size, "sent a damaged answer");
    else
        snprintf(text, size, "closed the worker's channel");
}

void PutInProcess(char *text, size_t size) {
    snprintf(text, size,
             "data sources were asked in %s's own process: the scan's worker could not be "
             "started (error %u)",
             ProgramName, ScanStartError);
}

void PutLeftBehind(char *text, size_t size, unsigned threads, unsigned modules, const char *module,
                   bool changed) {
    *text = '\0';
    if (modules > 1)
        snprintf(text, size, "left %s and %u more librar%s loaded", module, modules - 1,
                 modules == 2 ? "y" : "ies");
    else if (modules == 1)
        snprintf(text, size, "left %s loaded", module);
    size_t used = strlen(text);
    if (threads > 0)
        snprintf(text + used, size - used, "%s%u thread%s running", used ? " and " : "left ",
                 threads, threads == 1 ? "" : "s");
    else if (changed && used == 0) // a thread of its holds the loader, not counted yet
        snprintf(text, size, "left the system's loader locked");
}

void PutNotes(char *text, size_t size, bool accepted, const CandidateNotes &notes) {
    *text = '\0';
    if (accepted && notes.withOrigin && notes.firstOutcome == kCrashed)
        snprintf(text, size,
                 "crashed with exception 0x%08X when first asked, answered when asked again "
                 "with %s's identity",
                 static_cast<unsigned>(notes.firstCode), ProgramName);
    else if (accepted && notes.withOrigin && notes.firstOutcome == kEndedProcess)
        snprintf(text, size,
                 "ended the process with exit code %u when first asked, answered when asked "
                 "again with %s's identity",
                 static_cast<unsigned>(notes.firstCode), ProgramName);
    else if (accepted && notes.withOrigin)
        snprintf(text, size, "answered when given %s's identity", ProgramName);
    size_t used = strlen(text);
    if (*notes.left)
        snprintf(text + used, size - used, "%s%s", used ? "; " : "", notes.left);
}
