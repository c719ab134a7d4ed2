// Loading and freeing foreign modules on Windows.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

DWORD ModuleFault; // an error raised while a module starts or stops, or 0

// Notes errors raised while a module starts or stops; the loader may catch a
// fault in a module's DllMain, and LoadLibraryA then only fails, FreeLibrary
// not even that.
LONG WINAPI NoteModuleFault(EXCEPTION_POINTERS *info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code & 0xC0000000) == 0xC0000000 && ModuleFault == 0)
        ModuleFault = code;
    return EXCEPTION_CONTINUE_SEARCH;
}

[[noreturn]] void ModuleFaulted() {
    if (WorkerMode)
        EndProcess(ModuleFault);
    if (InterlockedExchange(&Reporting, 1) == 0)
        ForeignFault(ForeignFile, ModuleFault);
    EndProcess(ForeignExitCode);
}

} // namespace

void *OsLoadModule(const char *path) {
    if (ForeignFile == nullptr)
        return LoadLibraryA(path);
    ModuleFault = 0;
    void *watch = AddVectoredExceptionHandler(1, NoteModuleFault);
    HMODULE module = LoadLibraryA(path);
    DWORD error = GetLastError(); // for OsLastError
    if (watch)
        RemoveVectoredExceptionHandler(watch);
    // A fault the loader caught is a crash; a module that handled its own fault
    // and refused to start (DllMain FALSE) only did not load.
    if (module == NULL && ModuleFault != 0 && error != ERROR_DLL_INIT_FAILED)
        ModuleFaulted();
    if (module != NULL && !WorkerMode) {
        ForeignModule = module;
        snprintf(ForeignModulePath, sizeof ForeignModulePath, "%s", path);
    }
    SetLastError(error);
    return module;
}

void *OsModuleSymbol(void *module, const char *name) {
    return ProcAddress(GetProcAddress(static_cast<HMODULE>(module), name));
}

void *OsModuleOrdinal(void *module, unsigned ordinal) {
    return ProcAddress(
        GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(static_cast<WORD>(ordinal))));
}

void OsFreeModule(void *module) {
    if (!module)
        return;
    // The program's unloads only: the worker's are as they were.
    if (ForeignFile == nullptr || WorkerMode) {
        FreeLibrary(static_cast<HMODULE>(module));
        return;
    }
    ModuleFault = 0;
    void *watch = AddVectoredExceptionHandler(1, NoteModuleFault);
    FreeLibrary(static_cast<HMODULE>(module));
    if (watch)
        RemoveVectoredExceptionHandler(watch);
    if (ModuleFault != 0)
        ModuleFaulted();
}

bool OsModuleLoaded(const char *name) {
    return GetModuleHandleA(name) != NULL;
}

bool OsApiSetResolved(const char *name) {
    // By the API set schema, else from the system folder only: no vendor's
    // code runs here. Where the flag is unknown (Windows 7 before its update)
    // the sets the system has are files of its folder, where the check looks
    // next anyway.
    HMODULE module = LoadLibraryExA(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module)
        FreeLibrary(module);
    return module != NULL;
}
