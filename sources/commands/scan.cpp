// The catalogue scan: data-source files in a folder and its immediate sub-folders.
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "platform/platform.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"

SourceCatalogTable SourceCatalog;

namespace {

constexpr int kIdentitySize = sizeof(TW_IDENTITY);

// Only the low 16 bits of the entry's result are the TWAIN return code.
TW_UINT16 AskIdentity(DSENTRYPROC entry, TW_IDENTITY *identity) {
    return static_cast<TW_UINT16>(entry(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GET, identity));
}

void AddAll(const char *folder, StringList names) {
    for (StringList name = names; *name != nullptr; ++name)
        AddDataSource(folder, *name);
}

void FreeList(StringList list) {
    ListFreeItems(list);
    free(list);
}

// Loads the module, asks it for its identity and unloads it again; true when
// it answered. A fault in the module ends the run (OsForeignBegin).
bool AskModule(const char *path, TW_IDENTITY *identity) {
    OsForeignBegin(path);
    bool answered = false;
    if (void *module = OsLoadModule(path)) {
        void *entry = OsModuleSymbol(module, "DS_Entry");
        if (entry == nullptr && strstr(path, "wiatwain.ds") == nullptr)
            entry = OsModuleOrdinal(module, 1);
        answered = entry != nullptr &&
                   AskIdentity(reinterpret_cast<DSENTRYPROC>(entry), identity) == TWRC_SUCCESS;
        OsFreeModule(module);
    }
    OsForeignEnd();
    return answered;
}

} // namespace

void AddDataSource(const char *folder, const char *name) {
    int32_t index = SourceCatalog.count;
    if (index >= kCatalogLimit)
        return;
    // The slot at count is scratch until the candidate is accepted.
    free(SourceCatalog.paths[index]);
    char *path = PathJoin(folder, name);
    SourceCatalog.paths[index] = path;

    // A source may fill only some fields: the rest must not show older bytes.
    TW_IDENTITY *identity = &SourceCatalog.identities[index];
    memset(identity, 0, sizeof *identity);
    if (!AskModule(path, identity))
        return;
    if (DebugLevel != 0) {
        LogPrint("TWAIN Data Source %d", index + 1);
        LogHexDump("TW_IDENTITY : ", kIdentitySize, identity);
    }
    SourceCatalog.count = index + 1;
}

int ScanDataSources(const char *folder) {
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

    StringList files = ListFiles(folder, "*.ds");
    AddAll(folder, files);
    FreeList(files);

    StringList folders = ListFolders(folder, "*.*");
    for (StringList sub = folders; *sub != nullptr; ++sub) {
        char *path = PathJoin(folder, *sub);
        StringList subFiles = ListFiles(path, "*.ds");
        AddAll(path, subFiles);
        FreeList(subFiles);
        free(path);
    }
    FreeList(folders);
    return 0;
}
