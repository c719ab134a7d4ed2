// TWLINK: loads the TWAIN Source Manager, opens it and sends it triplets,
// keeping the TWAIN session state in step with what the triplets did.
#include "TWLINK/TWLINK.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/strings.h"

TwSession Session = {1, nullptr, nullptr, 0, nullptr, nullptr, {}, 0, 0, 0, 0, 0, 0, {}, 0, 0};
int32_t &TwSessionState = Session.state;

// Writable: the Source Manager assigns Id when it is opened.
TW_IDENTITY AppIdentity = {0,
                           {1, 0, TWLG_USA, TWCY_USA, "Unknown Version"},
                           1,
                           7,
                           DG_CONTROL | DG_IMAGE,
                           "Unspecified Developer",
                           "TWAIN Application",
                           "TWLINK Client"};

static const char kErrorCaption[] = "TWAIN Error";

// Reported like the runtime's assert(), but kept in release builds too: a
// source call without an open source is a programming error.
[[noreturn]] static void TwAssertFailed(const char *expression, int line) {
    fprintf(stderr, "Assertion failed: %s, file TWLINK, line %d\n", expression, line);
    fflush(stderr);
    abort();
}

// The trace goes out before the store, so a debugger sees it even if the
// caller crashes in the new state.
static void TwSetState(int32_t state) {
    char text[32];
    snprintf(text, sizeof text, "TWLK:State %d\n", static_cast<int>(state));
    OsDebugString(text);
    Session.state = state;
}

static void TwRecordFailure(int32_t kind, TW_UINT16 result) {
    if (Session.failureKind != 0)
        return;
    Session.failureKind = kind;
    Session.failureResult = static_cast<TW_INT16>(result);
    TW_STATUS status{};
    status.ConditionCode = TWCC_BUMMER;
    if (Session.state > 3)
        TwSourceCall(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    else if (Session.state == 3)
        TwManagerCall(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    Session.failureCondition = status.ConditionCode;
    // The status query overwrote it; callers want the failed call's result.
    Session.lastResult = result;
}

void TwResetForTest() {
    Session = TwSession{};
    Session.state = 1;
}

void TwSetManagerPath(const char *path) {
    // The loaded Source Manager stays, and so does the report of its file.
    if (Session.state >= TWAIN_SM_LOADED)
        return;
    Session.managerChosen = path != nullptr && *path != '\0';
    Session.managerPath[0] = '\0';
    if (!Session.managerChosen)
        return;
    // Never a bare name: the system would look for it along the DLL search path.
    int length = OsFullPath(path, Session.managerPath, kTwManagerPathSize);
    if (length <= 0 || length >= kTwManagerPathSize)
        Session.managerPath[0] = '\0';
}

const char *TwManagerPath() {
    return Session.managerPath;
}

// The build's own Source Manager in its folder, as the fixed 128-byte name the
// system's file test takes; false when the folder leaves no room for the file.
static bool TwBuildManagerPath(char (&path)[128]) {
    int length = OsManagerFolder(path, sizeof path);
    bool fits = length > 0 && length < static_cast<int>(sizeof path);
    if (fits) {
        const char *separator = EndsWithChar(path, ':') ? "" : "\\";
        size_t room = sizeof path - static_cast<size_t>(length);
        int added = snprintf(path + length, room, "%s%s", separator, OsManagerFile);
        fits = added > 0 && static_cast<size_t>(added) < room;
    }
    return fits;
}

static void TwFreeManager() {
    OsForeignBeginUnload(Session.managerPath);
    OsFreeModule(Session.module);
    OsForeignEnd();
    Session.module = nullptr;
    Session.entry = nullptr;
}

bool TwUnloadManager() {
    if (!Session.module)
        return false;
    TwFreeManager();
    Session.state = 1;
    return true;
}

bool TwLoadManager() {
    bool found;
    if (Session.managerChosen) {
        found = Session.managerPath[0] != '\0';
    } else {
        char path[128];
        found = TwBuildManagerPath(path);
        snprintf(Session.managerPath, sizeof Session.managerPath, "%s", found ? path : "");
        found = found && OsFileFound(path);
    }
    const char *path = Session.managerPath;
    if (!found) {
        Session.module = nullptr;
        Session.entry = nullptr;
        Session.loadFailure = kTwManagerNotFound;
        return false;
    }
    OsForeignBegin(path, "LoadLibrary");
    Session.module = OsLoadModule(path);
    if (!Session.module) {
        Session.loadError = OsLastError();
        OsForeignEnd();
        Session.entry = nullptr;
        // A chosen file is not tested for before the load (nor bound to the
        // system's file test's length limit).
        Session.loadFailure = FileExists(path) ? kTwManagerNotLoaded : kTwManagerNotFound;
        return false;
    }
    void *symbol = OsModuleSymbol(Session.module, "DSM_Entry");
    if (!symbol) {
        Session.loadFailure = kTwManagerNoEntry;
        OsForeignEnd();
        TwFreeManager();
        return false;
    }
    OsForeignEnd();
    Session.entry = reinterpret_cast<DSMENTRYPROC>(symbol);
    Session.loadFailure = kTwManagerLoaded;
    TwSetState(TWAIN_SM_LOADED);
    return true;
}

bool TwOpenManager(void *window) {
    if (!OsIsWindow(window)) {
        if (window)
            MessageOut("TWLINK: window handle is invalid", kErrorCaption, kBoxWarning);
        if (!Session.proxyWindow)
            Session.proxyWindow = OsCreateProxyWindow();
        if (!OsIsWindow(Session.proxyWindow)) {
            MessageOut("TWLINK: Unable to create proxy window", kErrorCaption, kBoxWarning);
            Session.proxyWindow = nullptr;
        }
        window = Session.proxyWindow;
    }
    // The Source Manager keeps the address of this field, not its value.
    Session.parentWindow = window;
    if (Session.state > TWAIN_SM_LOADED)
        return true;
    if (Session.state < TWAIN_SM_LOADED && !TwLoadManager())
        return false;
    TwManagerCall(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &Session.parentWindow);
    return Session.state > TWAIN_SM_LOADED;
}

const char *TwMessageName(TW_UINT16 msg) {
    static const struct {
        TW_UINT16 msg;
        const char *name;
    } kNames[] = {{MSG_GET, "MSG_GET"},           {MSG_GETDEFAULT, "MSG_GETDEFAULT"},
                  {MSG_GETFIRST, "MSG_GETFIRST"}, {MSG_GETNEXT, "MSG_GETNEXT"},
                  {MSG_SET, "MSG_SET"},           {MSG_OPENDSM, "MSG_OPENDSM"},
                  {MSG_CLOSEDSM, "MSG_CLOSEDSM"}, {MSG_OPENDS, "MSG_OPENDS"},
                  {MSG_CLOSEDS, "MSG_CLOSEDS"}};
    for (const auto &name : kNames)
        if (name.msg == msg)
            return name.name;
    static char other[16];
    snprintf(other, sizeof other, "MSG 0x%04X", static_cast<unsigned>(msg));
    return other;
}

int TwResultCode() {
    return static_cast<TW_INT16>(Session.lastResult);
}

bool TwManagerCall(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    Session.lastResult = TWRC_FAILURE;
    if (!Session.entry)
        return false;
    OsForeignBegin(Session.managerPath, TwMessageName(msg));
    TW_UINT16 result = Session.entry(&AppIdentity, nullptr, dg, dat, msg, data);
    OsForeignEnd();
    Session.lastResult = result;
    bool ok = result == TWRC_SUCCESS;
    if (dg != DG_CONTROL)
        return ok;
    if (dat == DAT_PARENT) {
        if (ok && msg == MSG_OPENDSM)
            TwSetState(3);
        else if (ok && msg == MSG_CLOSEDSM)
            TwSetState(TWAIN_SM_LOADED);
    } else if (dat == DAT_IDENTITY) {
        if (msg == MSG_OPENDS) {
            if (ok) {
                if (data)
                    memcpy(&Session.sourceIdentity, data, sizeof Session.sourceIdentity);
                TwSetState(TWAIN_SOURCE_OPEN);
            } else {
                TwRecordFailure(4, result);
            }
        } else if (ok && msg == MSG_CLOSEDS) {
            TwSetState(3);
        }
    }
    return ok;
}

bool TwSourceCall(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    int32_t nState = Session.state;
    if (!(nState >= TWAIN_SOURCE_OPEN))
        TwAssertFailed("nState >= TWAIN_SOURCE_OPEN", __LINE__);
    Session.lastResult = TWRC_FAILURE;
    bool memoryTransfer = dg == DG_IMAGE && dat == DAT_IMAGEMEMXFER && msg == MSG_GET;
    if (memoryTransfer && data) {
        // Ask the source to choose every value itself.
        TW_IMAGEMEMXFER *block = static_cast<TW_IMAGEMEMXFER *>(data);
        block->Compression = TWON_DONTCARE16;
        block->BytesPerRow = TWON_DONTCARE32;
        block->Columns = TWON_DONTCARE32;
        block->Rows = TWON_DONTCARE32;
        block->XOffset = TWON_DONTCARE32;
        block->YOffset = TWON_DONTCARE32;
        block->BytesWritten = TWON_DONTCARE32;
    }
    if (!Session.entry)
        return false;
    OsForeignBegin(Session.managerPath, TwMessageName(msg));
    TW_UINT16 result = Session.entry(&AppIdentity, &Session.sourceIdentity, dg, dat, msg, data);
    OsForeignEnd();
    Session.lastResult = result;
    bool ok = result == TWRC_SUCCESS;

    if (dg == DG_CONTROL) {
        if (dat == DAT_EVENT && msg == MSG_PROCESSEVENT) {
            if (data && static_cast<TW_EVENT *>(data)->TWMessage == MSG_XFERREADY)
                TwSetState(TWAIN_TRANSFER_READY);
            return result == TWRC_DSEVENT;
        }
        if (dat == DAT_PENDINGXFERS && msg == MSG_ENDXFER) {
            if (ok) {
                TW_UINT16 count = data ? static_cast<TW_PENDINGXFERS *>(data)->Count : 0;
                TwSetState(count == 0 ? TWAIN_SOURCE_ENABLED : TWAIN_TRANSFER_READY);
            }
            return ok;
        }
        if (dat == DAT_PENDINGXFERS && msg == MSG_RESET) {
            if (ok)
                TwSetState(TWAIN_SOURCE_ENABLED);
            return ok;
        }
        if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
            // TWRC_CHECKSTATUS: enabled, with some user-interface request changed.
            if (result != TWRC_FAILURE) {
                TwSetState(TWAIN_SOURCE_ENABLED);
                return true;
            }
            TwRecordFailure(5, result);
            return false;
        }
        if (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS) {
            if (ok)
                TwSetState(TWAIN_SOURCE_OPEN);
            return ok;
        }
        if (dat == DAT_SETUPMEMXFER && msg == MSG_GET) {
            if (ok)
                Session.stripCount = 0;
            return ok;
        }
        return ok;
    }

    if (dg == DG_IMAGE && msg == MSG_GET &&
        (dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEFILEXFER)) {
        if (result == TWRC_XFERDONE || result == TWRC_CANCEL) {
            TwSetState(7);
            return result == TWRC_XFERDONE;
        }
        TwSetState(TWAIN_TRANSFER_READY);
        return false;
    }

    if (memoryTransfer) {
        if (result == TWRC_SUCCESS || result == TWRC_XFERDONE) {
            Session.stripCount++;
            TwSetState(7);
            return true;
        }
        if (result == TWRC_FAILURE)
            TwSetState(Session.stripCount == 0 ? TWAIN_TRANSFER_READY : 7);
        else if (result == TWRC_CANCEL)
            Session.cancelled = 1;
        return false;
    }
    return ok;
}
