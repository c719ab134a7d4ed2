// The guard around foreign code on POSIX systems: signal handlers for faults
// and an alarm for calls that run too long.
#include "platform/modules.h"
#include "platform/posix/internal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

// Faults in foreign code arrive as signals; the handlers are the program's only
// while a foreign module runs, and the previous ones return after it. In the
// worker a fault ends it by the signal itself.
static const int ForeignSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
static struct sigaction OuterActions[sizeof ForeignSignals / sizeof ForeignSignals[0]];
static const char *volatile ForeignFile;
static volatile sig_atomic_t Reporting;
static int ForeignExitCode = 1;
bool WorkerMode;

static void ForeignSignal(int signal) {
    const char *file = ForeignFile;
    if (WorkerMode) {
        ::signal(signal, SIG_DFL);
        raise(signal);
    }
    if (file && !Reporting) {
        Reporting = 1;
        ForeignFault(file, static_cast<unsigned long>(signal));
    }
    _exit(ForeignExitCode);
}

// The watchdog's limit; an alarm stands for its thread.
static unsigned CallLimit;
static const char *ForeignCall = ""; // null: an unload

static void CallTimedOut(int) {
    const char *file = ForeignFile;
    if (file && !Reporting) {
        Reporting = 1;
        ForeignTimeout(file, ForeignCall, CallLimit / 1000);
    }
    _exit(ForeignExitCode);
}

static void BeginForeign(const char *file, const char *call) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ForeignSignal;
    sigemptyset(&action.sa_mask);
    ForeignCall = call;
    ForeignFile = file ? file : "";
    for (size_t i = 0; i < sizeof ForeignSignals / sizeof ForeignSignals[0]; ++i)
        sigaction(ForeignSignals[i], &action, &OuterActions[i]);
    if (CallLimit > 0 && !WorkerMode) {
        signal(SIGALRM, CallTimedOut);
        alarm((CallLimit + 999) / 1000);
    }
}

void OsForeignBegin(const char *file, const char *call) {
    BeginForeign(file, call ? call : "");
}

void OsForeignBeginUnload(const char *file) {
    BeginForeign(file, nullptr);
}

void OsForeignEnd() {
    if (!ForeignFile)
        return;
    if (CallLimit > 0 && !WorkerMode)
        alarm(0);
    ForeignFile = nullptr;
    for (size_t i = 0; i < sizeof ForeignSignals / sizeof ForeignSignals[0]; ++i)
        sigaction(ForeignSignals[i], &OuterActions[i], nullptr);
}

void OsForeignLimit(unsigned milliseconds) {
    CallLimit = milliseconds;
}

void OsForeignExitCode(int code) {
    ForeignExitCode = code;
}

void OsEndProcess(int code) {
    fflush(nullptr);
    _exit(code);
}
