// Loading and freeing foreign modules on Windows.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdio>

namespace {

DWORD StartupFault; // an error raised while a module starts, or 0

// Notes errors raised while a module starts; the loader may catch a fault in a
// module's DllMain, and LoadLibraryA then only fails.
LONG WINAPI NoteStartupFault(EXCEPTION_POINTERS *info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code & 0xC0000000) == 0xC0000000 && StartupFault == 0)
        StartupFault = code;
    return EXCEPTION_CONTINUE_SEARCH;
}

} // namespace

void *OsLoadModule(const char *path) {
    if (ForeignFile == nullptr)
        return LoadLibraryA(path);
    StartupFault = 0;
    void *watch = AddVectoredExceptionHandler(1, NoteStartupFault);
    HMODULE module = LoadLibraryA(path);
    DWORD error = GetLastError(); // for OsLastError
    if (watch)
        RemoveVectoredExceptionHandler(watch);
    // A fault the loader caught is a crash; a module that handled its own fault
    // and refused to start (DllMain FALSE) only did not load.
    if (module == NULL && StartupFault != 0 && error != ERROR_DLL_INIT_FAILED) {
        if (WorkerMode)
            EndProcess(StartupFault);
        if (InterlockedExchange(&Reporting, 1) == 0)
            ForeignFault(ForeignFile, StartupFault);
        EndProcess(ForeignExitCode);
    }
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
    if (module)
        FreeLibrary(static_cast<HMODULE>(module));
}

bool OsModuleLoaded(const char *name) {
    return GetModuleHandleA(name) != NULL;
}
