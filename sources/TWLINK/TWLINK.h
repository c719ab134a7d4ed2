// TWLINK: the TWAIN session layer, the program's only road to the Source Manager.
#pragma once

#include "TWLINK/twain.h"

constexpr int TWAIN_SM_LOADED = 2;
constexpr int TWAIN_SOURCE_OPEN = 4;
constexpr int TWAIN_SOURCE_ENABLED = 5;
constexpr int TWAIN_TRANSFER_READY = 6;

// Room for the full path of the Source Manager file, terminating NUL included.
constexpr int kTwManagerPathSize = 260;

// Why the latest load of the Source Manager failed.
enum TwLoadFailure : int32_t {
    kTwManagerLoaded,    // no failure
    kTwManagerNotFound,  // no file at the path
    kTwManagerNotLoaded, // the system did not load it: loadError says why
    kTwManagerNoEntry,   // it has no DSM_Entry
};

// The session record: one per process, in static storage.
struct TwSession {
    int32_t state;
    void *module;
    DSMENTRYPROC entry;
    TW_UINT16 lastResult;
    void *parentWindow; // its address is the data of MSG_OPENDSM
    void *proxyWindow;
    TW_IDENTITY sourceIdentity;
    int32_t failureKind;
    int32_t failureResult;
    int32_t failureCondition;
    TW_UINT32 stripCount;
    int32_t cancelled;
    int32_t managerChosen; // 1: managerPath was set by the caller, not built here
    char managerPath[kTwManagerPathSize];
    int32_t loadFailure; // TwLoadFailure of the latest load
    uint32_t loadError;  // the system's error for kTwManagerNotLoaded
};

extern TwSession Session;
extern int32_t &TwSessionState;
extern TW_IDENTITY AppIdentity;

// The Source Manager file that loading tries: null or the empty text for the
// build's own (OsManagerFile in OsManagerFolder), else exactly that file, by its
// full path; a path too long for the record then names no loadable file. No
// effect once a Source Manager is loaded.
void TwSetManagerPath(const char *path);
// The full path of the Source Manager file that loading tries or tried: the
// caller's, or the build's own once a load has built it. Empty when there is
// none (nothing set or loaded yet, or a name too long).
const char *TwManagerPath();
bool TwLoadManager();
// Frees a loaded Source Manager under the guard, so that its detach code (and
// whatever that frees) cannot hang the run; false when none is loaded. Back to
// state 1, without a trace: the process ends next.
bool TwUnloadManager();
bool TwOpenManager(void *window);
int TwResultCode();
// The standard's name of a message ("MSG_GETNEXT"), for reports.
const char *TwMessageName(TW_UINT16 msg);
bool TwManagerCall(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
bool TwSourceCall(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

// Back to the state at process start (state 1, everything else zero), for the unit tests.
void TwResetForTest();
