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

namespace {

using LockLoader = LONG(NTAPI *)(ULONG flags, ULONG *disposition, ULONG_PTR *cookie);
using UnlockLoader = LONG(NTAPI *)(ULONG flags, ULONG_PTR cookie);
constexpr ULONG kTryOnly = 2; // LDR_LOCK_LOADER_LOCK_FLAG_TRY_ONLY
constexpr ULONG kLocked = 1;  // LDR_LOCK_LOADER_LOCK_DISPOSITION_LOCK_ACQUIRED

// The libraries loaded, as the loader lists them: read in memory, no call
// into the system per library.
constexpr int kMostModules = 512;
struct ModuleSet {
    bool known; // read whole, with the loader's lock held
    int count;
    void *bases[kMostModules];
};
ModuleSet Marked;
ModuleSet Left;
LONG MarkedThreads;
LONG LeftThreads;
bool Looked; // OsLeftSinceMark has run: Left is what the latest source left

bool Contains(const ModuleSet &set, void *base) {
    for (int i = 0; i < set.count; ++i)
        if (set.bases[i] == base)
            return true;
    return false;
}

// The folders whose libraries every program shares: the system's and Windows'.
bool SharedFolder(const UNICODE_STRING &path) {
    static wchar_t folders[3][MAX_PATH];
    static UINT lengths[3];
    static bool read;
    if (!read) {
        lengths[0] = GetSystemDirectoryW(folders[0], MAX_PATH);
        lengths[1] = GetSystemWow64DirectoryW(folders[1], MAX_PATH);
        lengths[2] = GetWindowsDirectoryW(folders[2], MAX_PATH);
        read = true;
    }
    size_t length = path.Length / sizeof(wchar_t);
    size_t folder = length;
    while (folder > 0 && path.Buffer[folder - 1] != L'\\')
        --folder;
    for (int i = 0; i < 3; ++i)
        if (lengths[i] > 0 && lengths[i] < MAX_PATH && folder == lengths[i] + 1 &&
            _wcsnicmp(path.Buffer, folders[i], lengths[i]) == 0)
            return true;
    return false;
}

// A library's file name, in the code page ('?' for what it lacks).
void FileNameOf(const UNICODE_STRING &path, char *out, int size) {
    const wchar_t *end = path.Buffer + path.Length / sizeof(wchar_t);
    const wchar_t *name = end;
    while (name > path.Buffer && name[-1] != L'\\')
        --name;
    wchar_t copy[MAX_PATH];
    _snwprintf(copy, MAX_PATH, L"%.*ls", static_cast<int>(end - name), name);
    copy[MAX_PATH - 1] = L'\0';
    bool lacking;
    if (WideToAnsi(copy, out, size, &lacking) > size)
        snprintf(out, size, "?");
}

// Reads the libraries outside the shared folders into set, calling added(entry)
// for each that is not in since; false when another thread holds the loader.
template <typename Added> bool ReadModules(ModuleSet *set, const ModuleSet *since, Added added) {
    // Looked up once, by hand: a guarded local static would bring in the C++
    // run-time's thread-safe initialisation.
    static LockLoader lock;
    static UnlockLoader unlock;
    if (!lock) {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        lock =
            reinterpret_cast<LockLoader>(ProcAddress(GetProcAddress(ntdll, "LdrLockLoaderLock")));
        unlock = reinterpret_cast<UnlockLoader>(
            ProcAddress(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    }
    set->known = false;
    set->count = 0;
    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    if (!lock || !unlock || !ProcessBlock() || lock(kTryOnly, &disposition, &cookie) != 0 ||
        disposition != kLocked)
        return false;
    LIST_ENTRY *head = &ProcessBlock()->Ldr->InMemoryOrderModuleList;
    for (LIST_ENTRY *link = head->Flink; link != head && set->count < kMostModules;
         link = link->Flink) {
        auto *entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        if (entry->FullDllName.Buffer == nullptr || SharedFolder(entry->FullDllName))
            continue;
        set->bases[set->count++] = entry->DllBase;
        if (since && !Contains(*since, entry->DllBase))
            added(entry->FullDllName);
    }
    unlock(0, cookie);
    set->known = true;
    return true;
}

} // namespace

void OsMarkState() {
    MarkedThreads = ThreadsRunning;
    ReadModules(&Marked, nullptr, [](const UNICODE_STRING &) {});
}

void OsLeftSinceMark(OsLeftBehind *left) {
    memset(left, 0, sizeof *left);
    Looked = true;
    LeftThreads = ThreadsRunning;
    if (LeftThreads > MarkedThreads)
        left->threads = static_cast<unsigned>(LeftThreads - MarkedThreads);
    auto added = [left](const UNICODE_STRING &path) {
        if (left->modules++ == 0)
            FileNameOf(path, left->module, sizeof left->module);
    };
    bool read = ReadModules(&Left, Marked.known ? &Marked : nullptr, added);
    left->loaderBusy = !read || !Marked.known;
}

bool OsChangedSinceLeft() {
    if (!Looked)
        return false;
    if (!Left.known || ThreadsRunning > LeftThreads)
        return true;
    ModuleSet now;
    bool added = false;
    return !ReadModules(&now, &Left, [&added](const UNICODE_STRING &) { added = true; }) || added;
}
