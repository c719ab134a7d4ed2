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

// Foreign code: the Source Manager and its sources run inside this process,
// the catalogue's data sources inside the scan's worker. Every load, entry call
// and unload of a foreign module happens between OsForeignBegin (with the
// module's file and what is asked of it, such as "MSG_GETNEXT") and
// OsForeignEnd. In the program a fault that the module does not handle itself,
// at any time once foreign code has run, ends the process: ForeignFault reports
// it, blaming the module holding the faulting address, and the process ends
// with exit code 1 at once, running nothing more of its own (no exit handlers,
// no unloading). So does a call that runs past the limit of OsForeignLimit
// (ForeignTimeout) and the process ending inside a call (ForeignExit). In the
// worker any such fault ends the worker with the exception code as its exit code.
void OsForeignBegin(const char *file, const char *call);
void OsForeignEnd();
// Milliseconds a foreign call may take in this process; 0 for no limit (the start).
void OsForeignLimit(unsigned milliseconds);

// Provided above this layer: reports a fault in foreign code (the module's
// file, or null for code in no module, and the exception code or the signal
// number on POSIX), a call past its limit, and the process ending in a call
// (the exit code, or -1 when unknown).
void ForeignFault(const char *file, unsigned long code);
void ForeignTimeout(const char *file, const char *call, unsigned seconds);
void ForeignExit(const char *file, long code);
