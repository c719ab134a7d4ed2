// One data source asked in this process: loaded with its own folder as the
// working folder, asked for its identity, and freed, with what it left behind.
#include <cstdlib>
#include <cstring>

#include "TWLINK/TWLINK.h"
#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "support/strings.h"

namespace {

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

} // namespace

bool OrdinalEntryAllowed(const char *path) {
    return strstr(path, "wiatwain.ds") == nullptr;
}

CandidateOutcome AskModule(const char *path, bool withOrigin, TW_IDENTITY *identity, uint32_t *code,
                           bool *answeredWithOrigin, OsLeftBehind *left) {
    OsForeignBegin(path, "DS_Entry");
    OsMarkState();
    OsRestoreSearchState();
    OsRestoreRuntimeState();
    EnterOwnFolder(path);
    CandidateOutcome outcome = kNotLoaded;
    *answeredWithOrigin = false;
    void *module = OsLoadModule(path);
    if (module == nullptr) {
        *code = OsLastError();
    } else {
        void *entry = OsModuleSymbol(module, "DS_Entry");
        if (entry == nullptr && OrdinalEntryAllowed(path))
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
