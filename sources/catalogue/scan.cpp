// The catalogue scan: data-source files in a folder and the folders below it,
// ds_depth levels down.
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"

SourceCatalogTable SourceCatalog;
CandidateTable ScanCandidates;

namespace {

constexpr int kIdentitySize = sizeof(TW_IDENTITY);
// Room for a full path; a longer one is taken as given.
constexpr int kFullPathRoom = 4096;

// The system's error when the latest scan could not search ds_dir, else 0.
unsigned FolderError;

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

// The folders the scan searches, in the order their files are asked.
struct FolderTable {
    ScanFolder *folders;
    int32_t count;
    int32_t room;
};

// Adds the folder and, levels deep, the folders below it: each folder's own
// files before those of its first sub-folder and that one's sub-folders, as
// at one level ds_dir's files come before each vendor's folder.
void AddFolders(FolderTable *table, const char *path, int levels) {
    if (table->count == table->room) {
        int32_t room = table->room > 0 ? table->room * 2 : 16;
        auto *grown =
            static_cast<ScanFolder *>(MemAlloc(room * static_cast<int32_t>(sizeof(ScanFolder))));
        if (table->count > 0)
            memcpy(grown, table->folders, table->count * sizeof(ScanFolder));
        free(table->folders);
        table->folders = grown;
        table->room = room;
    }
    ScanFolder folder = {StrDup(path), nullptr, ListNew(0), 0};
    folder.files = ListFiles(path, "*.ds", &folder.unwritable, &folder.failure);
    unsigned folderFailure = 0;
    StringList below =
        levels > 0 ? ListFolders(path, "*.*", &folder.unwritable, &folderFailure) : ListNew(0);
    folder.failure = folder.failure ? folder.failure : folderFailure;
    table->folders[table->count++] = folder;
    for (StringList name = below; *name != nullptr; ++name) {
        char *sub = PathJoin(path, *name);
        AddFolders(table, sub, levels - 1);
        free(sub);
    }
    FreeList(below);
}

} // namespace

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

void NoteLeftChanged(const char *path, const char *after) {
    for (int32_t i = ScanCandidates.count - 1; i >= 0; --i) {
        CandidateNotes &notes = ScanCandidates.records[i].notes;
        if (strcmp(ScanCandidates.records[i].path, path) == 0) {
            PutLeftChanged(notes.left, sizeof notes.left, after);
            LogPrint("%s: %s", path, notes.left);
            return;
        }
    }
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
    // is reported once, not searched; ds_dir that cannot be searched is
    // reported as the folder itself.
    FolderTable table = {nullptr, 0, 0};
    AddFolders(&table, folder, SourceDepth());
    FolderError = table.folders[0].failure;
    table.folders[0].failure = 0;
    StringList paths = ListNew(0);
    for (int i = 0; i < table.count; ++i) {
        for (StringList name = table.folders[i].files; *name != nullptr; ++name) {
            char *path = PathJoin(table.folders[i].path, *name);
            ListAppend(&paths, path);
            free(path);
        }
    }
    PlanCandidates(paths);
    FreeList(paths);
    for (int i = 0; i < table.count; ++i) {
        ScanFolder &scan = table.folders[i];
        if (scan.failure != 0)
            NoteCandidate(scan.path, kUnsearchable, scan.failure);
        AddAll(scan.path, scan.files);
        FreeList(scan.files);
        NoteUnwritable(scan.path, scan.unwritable);
        free(scan.path);
    }
    free(table.folders);
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
