// What the Windows files of the platform layer share among themselves; nothing
// above the layer includes this.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "platform/gate.h"

#include <cstdint>

// An entry point's address, untyped; one of the system's native library
// (ntdll, in every process), null when it has none of that name.
void *ProcAddress(FARPROC proc);
void *NtdllCall(const char *name);

// What the system keeps of this process: its parent's process id (0 when it
// cannot be read), and its environment block, where the loader lists the
// modules (null then).
DWORD ParentProcessId();
PEB *ProcessBlock();
// The address of another process's environment block, in that process; null
// when it cannot be read.
void *ProcessBlockOf(HANDLE process);

// Wide text in the code page: the bytes it needs with the NUL, stored only when
// they fit in size; 0 on failure. *lacking tells whether the code page lacks a
// character of it, written then as '?' (never a look-alike).
int WideToAnsi(const wchar_t *wide, char *buf, int size, bool *lacking);

// A function of the registry and security library, loaded from the system
// folder on first use (null when missing); ADVAPI_CALL types it as declared.
void *AdvapiLibraryCall(const char *name);
#define ADVAPI_CALL(name) reinterpret_cast<decltype(&name)>(AdvapiLibraryCall(#name))
// The same for the windowing library.
void *UserLibraryCall(const char *name);
#define USER_CALL(name) reinterpret_cast<decltype(&name)>(UserLibraryCall(#name))

// The foreign-call guard's state (guard.cpp): the file of the call under way,
// null between calls; whether this process is the scan's worker; set once a
// failure is being reported, so that the next one ends the run; the latest
// module loaded as foreign code, which faults are blamed on; the exit code
// the program then ends with.
extern const char *volatile ForeignFile;
extern bool WorkerMode;
extern LONG Reporting;
extern HMODULE ForeignModule;
extern char ForeignModulePath[MAX_PATH + 1];
extern UINT ForeignExitCode;

// Ends this process at once, running nothing more of its own.
[[noreturn]] void EndProcess(UINT code);
// Makes this process the scan's worker: no system boxes, and a fault ends it
// with the exception code.
void GuardWorker();

// The C run-times that drivers share with one another, as OsMarkState found
// them loaded (leftbehind.cpp), for their locale to be put back (restore.cpp).
extern HMODULE MarkedRuntimes[];
extern int MarkedRuntimeCount;

// The workers' lives (lifetime.cpp): a worker's process started outside the
// job this process is in where that job lets it (CreateProcessW's result);
// put into the job that ends it with this process (whether it joined); and,
// in the worker, its parent opened to be watched (null when it cannot be,
// *gone telling that it has ended) and the watch that ends the worker when
// the parent ends (or the thread that calls it does).
bool StartWorkerProcess(wchar_t *exe, wchar_t *line, STARTUPINFOW *startup,
                        PROCESS_INFORMATION *info);
bool JoinWorkerJob(HANDLE process);
HANDLE OpenParent(DWORD id, bool *gone);
void WatchParent(HANDLE parent);

// The scan's worker's channel: the environment variable that names it; what
// the program writes into it first is in gate.h.
constexpr char kWorkerVariable[] = "CORVANE_WORKER_CHANNEL";
