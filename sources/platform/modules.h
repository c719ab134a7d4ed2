// Foreign modules: loading the Source Manager and the data sources, and the
// guard around every call into them, with its watchdog.
#pragma once

// Module loading. Symbols come back as untyped addresses to be cast to the
// entry point's type.
void *OsLoadModule(const char *path);
void *OsModuleSymbol(void *module, const char *name);
void *OsModuleOrdinal(void *module, unsigned ordinal);
void OsFreeModule(void *module);

// Whether a module of that name is loaded in the process already (the loader
// then takes it without a search).
bool OsModuleLoaded(const char *name);
// Whether the system resolves an API set's name (api-ms-..., ext-ms-...) to a
// module of its own, without looking in any vendor's folder. Only the system's
// own modules are loaded to find out.
bool OsApiSetResolved(const char *name);

// What a data source leaves in the process it was loaded in: threads it
// started that still run, and libraries still loaded once it is freed. The
// libraries of the system's own folders (side-by-side ones included) do not
// count: every program shares them, and the system keeps some of them loaded
// once used. OsMarkState notes what runs before a source is loaded;
// OsNoteSourceCode, while it is loaded, where its code and its libraries lie;
// OsLeftSinceMark tells what has been added since the mark. A thread that
// began since the mark and still runs is the source's, wherever it starts (a
// C runtime's or a timer's thread starts in a system library), unless it
// starts in the system's loader (its thread pool) or the program; in a
// process that has asked another source, only one that starts in the
// source's code is, and any other, or one that began before the mark but
// after the latest look, is a thread the source may not have started.
// OsChangedSinceLeft tells whether a library has been added since the latest
// OsLeftSinceMark. A library list that cannot be read (another thread holds
// the loader's lock) counts as changed.
struct OsLeftBehind {
    unsigned threads;
    unsigned modules;
    bool loaderBusy; // the list could not be read: a thread holds the loader
    bool others;     // a thread runs that the source may not have started, or may hold the loader
    char module[64]; // the first library left loaded, by its file name
};
void OsMarkState();
void OsNoteSourceCode();
void OsLeftSinceMark(OsLeftBehind *left);
bool OsChangedSinceLeft();

// Puts back where the loader looks for libraries, as it was when the process
// started: the DLL directory and PATH (what a source sets there would lead the
// next one to another vendor's libraries). The default DLL folders a source
// may narrow cannot be put back.
void OsRestoreSearchState();
// Puts back what a source may change for the whole process in the C run-time
// and the processor: the floating-point control words as they were when the
// process started (a driver may unmask exceptions), and the locale of the C
// run-times that drivers share, "C" (a driver's decimal comma would reach
// the next one's numbers).
void OsRestoreRuntimeState();
// Loads what every program that uses windows has, and what the system brings
// with it (input methods, hooks, libraries it puts into such programs), so
// that all of it is part of the process before its first source.
void OsLoadWindowing();

// Foreign code: the Source Manager and its sources run inside this process,
// the catalogue's data sources inside the scan's worker. Every load, entry call
// and unload of a foreign module happens between OsForeignBegin (with the
// module's file and what is asked of it, such as "MSG_GETNEXT") and
// OsForeignEnd. In the program a fault that the module does not handle itself,
// at any time once foreign code has run, ends the process: ForeignFault reports
// it, blaming the module holding the faulting address, and the process ends
// with exit code 1 (or that of OsForeignExitCode) at once, running nothing more
// of its own (no exit handlers, no unloading). So does a call that runs past the limit of
// OsForeignLimit (ForeignTimeout) and the process ending inside a call (ForeignExit). In the worker
// any such fault ends the worker with the exception code as its exit code.
void OsForeignBegin(const char *file, const char *call);
// Begins the freeing of a foreign module: its detach code, and whatever that
// frees in turn, is guarded like a call, and one past the limit did not unload.
void OsForeignBeginUnload(const char *file);
void OsForeignEnd();
// Milliseconds a foreign call may take in this process; 0 for no limit (the start).
void OsForeignLimit(unsigned milliseconds);
// The exit code a failure in foreign code ends the program with: 1 until set
// (at the end of a run, the code the run earned).
void OsForeignExitCode(int code);

// Ends the process at once with this exit code, its C streams flushed: nothing
// else of it runs (no exit handlers, no module's detach code).
[[noreturn]] void OsEndProcess(int code);

// Provided above this layer: reports a fault in foreign code (the module's
// file, or null for code in no module, and the exception code or the signal
// number on POSIX), a call past its limit (call null for an unload), and the
// process ending in a call (the exit code, or -1 when unknown).
void ForeignFault(const char *file, unsigned long code);
void ForeignTimeout(const char *file, const char *call, unsigned seconds);
void ForeignExit(const char *file, long code);
