// The guard around foreign code on Windows: the fault filters, the watchdog of
// calls that run too long, and the callbacks that see the process end inside a
// call.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdio>
#include <cstring>

// The foreign call under way, null between calls.
const char *volatile ForeignFile;
bool WorkerMode;
LONG Reporting;
HMODULE ForeignModule;
char ForeignModulePath[MAX_PATH + 1];
UINT ForeignExitCode = 1;

[[noreturn]] void EndProcess(UINT code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code); // not reached
}

namespace {

const char *ForeignCall = ""; // what the call under way asks of the module; null: unload
bool ForeignRan;              // foreign code has run in this process: every fault is its
LPTOP_LEVEL_EXCEPTION_FILTER OuterFilter;

bool InSystemFolder(const char *path) {
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, sizeof system);
    return length > 0 && length < sizeof system && _strnicmp(path, system, length) == 0 &&
           path[length] == '\\';
}

// The file of the module holding the faulting address; null for code in no
// module (a thread left behind by a freed one). The program and the system's
// own modules only run on behalf of the call under way.
const char *Culprit(void *address, char (&path)[MAX_PATH + 1]) {
    HMODULE module = NULL;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &module) ||
        module == NULL)
        return nullptr;
    if (module == ForeignModule)
        return ForeignModulePath;
    DWORD length = GetModuleFileNameA(module, path, MAX_PATH);
    path[length < MAX_PATH ? length : 0] = '\0';
    if (InSystemFolder(path) || (module == GetModuleHandleA(NULL) && ForeignFile))
        return ForeignFile;
    return path;
}

LONG WINAPI ForeignFaultFilter(EXCEPTION_POINTERS *info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if (WorkerMode)
        EndProcess(code);
    if (!ForeignRan)
        return OuterFilter ? OuterFilter(info) : EXCEPTION_CONTINUE_SEARCH;
    // A second fault, while the first is being reported, ends the run at once.
    if (InterlockedExchange(&Reporting, 1) == 0) {
        char path[MAX_PATH + 1];
        ForeignFault(Culprit(info->ExceptionRecord->ExceptionAddress, path), code);
    }
    EndProcess(ForeignExitCode);
}

// A module may set an unhandled-exception filter of its own and then fault:
// ours is put back before any fault goes unhandled.
LONG WINAPI KeepFaultFilter(EXCEPTION_POINTERS *) {
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The watchdog of foreign calls in the program: a call running past the limit
// ends the run. CallNumber is odd while a call runs.
DWORD CallLimit;
volatile LONG CallNumber;
HANDLE CallBegun;
HANDLE CallEnded;

DWORD WINAPI Watchdog(void *) {
    SetEvent(CallEnded); // running
    for (;;) {
        WaitForSingleObject(CallBegun, INFINITE);
        LONG number = CallNumber;
        DWORD start = GetTickCount();
        while ((number & 1) && CallNumber == number) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= CallLimit) {
                if (InterlockedExchange(&Reporting, 1) == 0)
                    ForeignTimeout(ForeignFile, ForeignCall, CallLimit / 1000);
                EndProcess(ForeignExitCode);
            }
            WaitForSingleObject(CallEnded, CallLimit - elapsed);
        }
    }
}

void ArmWatchdog() {
    if (CallLimit == 0 || WorkerMode)
        return;
    if (!CallBegun) {
        CallBegun = CreateEventA(NULL, FALSE, FALSE, NULL);
        CallEnded = CreateEventA(NULL, FALSE, FALSE, NULL);
        HANDLE thread = CreateThread(NULL, 0, Watchdog, NULL, 0, NULL);
        // A thread's start passes the loader's lock, which a module hanging in
        // its detach code holds for ever: the watchdog runs before any call.
        if (thread) {
            WaitForSingleObject(CallEnded, INFINITE);
            CloseHandle(thread);
        }
    }
    SetEvent(CallBegun);
}

// The process ending while a foreign call runs (ExitProcess in a module, or a
// thread of one): our code still runs in the executable's TLS callback (on
// Windows) and in the main thread's fiber-local storage callback (Wine 8 calls
// only this one).
void ProcessEnding() {
    if (WorkerMode || ForeignFile == nullptr || InterlockedExchange(&Reporting, 1) != 0)
        return;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(GetCurrentProcess(), &code);
    ForeignExit(ForeignFile, code == STILL_ACTIVE ? -1L : static_cast<long>(code));
    EndProcess(ForeignExitCode);
}

void NTAPI WatchProcessEnd(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_PROCESS_DETACH)
        ProcessEnding();
}

void WINAPI FiberDataGone(void *) {
    ProcessEnding();
}

// No system box for a fault, a missing disk or file, ever; our filter at the top.
void GuardProcess() {
    if (ForeignRan || WorkerMode)
        return;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    OuterFilter = SetUnhandledExceptionFilter(ForeignFaultFilter);
    AddVectoredExceptionHandler(1, KeepFaultFilter);
    DWORD slot = FlsAlloc(FiberDataGone);
    if (slot != FLS_OUT_OF_INDEXES)
        FlsSetValue(slot, &ForeignRan);
}

} // namespace

#if defined(_MSC_VER)
#if defined(_WIN64)
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:CorvaneTlsCallback")
#else
#pragma comment(linker, "/INCLUDE:__tls_used")
#pragma comment(linker, "/INCLUDE:_CorvaneTlsCallback")
#endif
#pragma const_seg(".CRT$XLF")
extern "C" const PIMAGE_TLS_CALLBACK CorvaneTlsCallback = WatchProcessEnd;
#pragma const_seg()
#else
extern "C" __attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK CorvaneTlsCallback =
    WatchProcessEnd;
#endif

namespace {

void BeginForeign(const char *file, const char *call) {
    GuardProcess();
    ForeignRan = true;
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    ForeignCall = call;
    ForeignFile = file ? file : "";
    InterlockedIncrement(&CallNumber);
    ArmWatchdog();
}

} // namespace

void OsForeignBegin(const char *file, const char *call) {
    BeginForeign(file, call ? call : "");
}

// ExitProcess ends every other thread, the watchdog too, before any module is
// detached: a module is freed under the guard only while the program still runs.
void OsForeignBeginUnload(const char *file) {
    BeginForeign(file, nullptr);
}

void OsForeignEnd() {
    ForeignFile = nullptr;
    if (CallNumber & 1)
        InterlockedIncrement(&CallNumber);
    if (CallEnded)
        SetEvent(CallEnded);
    SetUnhandledExceptionFilter(ForeignFaultFilter);
}

void OsForeignLimit(unsigned milliseconds) {
    CallLimit = milliseconds;
}

void OsForeignExitCode(int code) {
    ForeignExitCode = static_cast<UINT>(code);
}

void OsEndProcess(int code) {
    fflush(nullptr);
    EndProcess(static_cast<UINT>(code));
}

void GuardWorker() {
    WorkerMode = true;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    AddVectoredExceptionHandler(1, KeepFaultFilter);
}
