// What a data source leaves in the process it was asked in, on Windows: the
// libraries from the loader's own list, in memory, and the threads from the
// system's list of this process's threads, each placed by where it starts.
// Also where the loader looks, put back before each source.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

using LockLoader = LONG(NTAPI *)(ULONG flags, ULONG *disposition, ULONG_PTR *cookie);
using UnlockLoader = LONG(NTAPI *)(ULONG flags, ULONG_PTR cookie);
using NextThread = LONG(NTAPI *)(HANDLE process, HANDLE thread, ACCESS_MASK access,
                                 ULONG attributes, ULONG flags, HANDLE *next);
using QueryThread = LONG(NTAPI *)(HANDLE thread, ULONG what, void *data, ULONG size,
                                  ULONG *returned);
constexpr ULONG kTryOnly = 2;           // LDR_LOCK_LOADER_LOCK_FLAG_TRY_ONLY
constexpr ULONG kLocked = 1;            // LDR_LOCK_LOADER_LOCK_DISPOSITION_LOCK_ACQUIRED
constexpr ULONG kWin32StartAddress = 9; // ThreadQuerySetWin32StartAddress
constexpr int kBusyWait = 100;          // milliseconds, about, for the loader's lock

// Looked up once, by hand: a guarded local static would bring in the C++
// run-time's thread-safe initialisation.
LockLoader Lock;
UnlockLoader Unlock;
NextThread NextOf;
QueryThread Query;

struct Range {
    uintptr_t begin;
    uintptr_t end;
};

bool Within(const Range &range, uintptr_t address) {
    return address >= range.begin && address < range.end;
}

Range ImageOf(HMODULE module) {
    auto base = reinterpret_cast<uintptr_t>(module);
    if (!module)
        return {0, 0};
    auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    return {base, base + nt->OptionalHeader.SizeOfImage};
}

// Threads that start here are never a source's: the program's own, and the
// loader's (its thread pool's too).
Range ProgramImage;
Range LoaderImage;

void LookUp() {
    if (Lock)
        return;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    Unlock =
        reinterpret_cast<UnlockLoader>(ProcAddress(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
    NextOf = reinterpret_cast<NextThread>(ProcAddress(GetProcAddress(ntdll, "NtGetNextThread")));
    Query = reinterpret_cast<QueryThread>(
        ProcAddress(GetProcAddress(ntdll, "NtQueryInformationThread")));
    ProgramImage = ImageOf(GetModuleHandleA(NULL));
    LoaderImage = ImageOf(ntdll);
    Lock = reinterpret_cast<LockLoader>(ProcAddress(GetProcAddress(ntdll, "LdrLockLoaderLock")));
}

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
ModuleSet Now;
bool Looked; // OsLeftSinceMark has run: Left is what the latest source left
int Asks;    // sources asked in this process

// Where the source asked now has its code: its module and the libraries it
// brought, noted while they are loaded.
constexpr int kMostRanges = 64;
Range SourceCode[kMostRanges];
int SourceRanges;

void NoteSourceRange(const Range &range) {
    if (SourceRanges < kMostRanges)
        SourceCode[SourceRanges++] = range;
}

bool InSourceCode(uintptr_t address) {
    for (int i = 0; i < SourceRanges; ++i)
        if (Within(SourceCode[i], address))
            return true;
    return false;
}

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

Range RangeOf(const LDR_DATA_TABLE_ENTRY &entry) {
    auto base = reinterpret_cast<uintptr_t>(entry.DllBase);
    // The entry's image size, which the SDKs leave unnamed after its entry point.
    auto size = static_cast<ULONG>(reinterpret_cast<uintptr_t>(entry.Reserved3[1]));
    return {base, base + size};
}

// Walks the loader's list with its lock held (tried, never waited for): the
// libraries outside the shared folders go into set, and visit(entry, shared)
// sees every one. False when another thread holds the loader.
template <typename Visit> bool ReadModules(ModuleSet *set, Visit visit) {
    LookUp();
    set->known = false;
    set->count = 0;
    ULONG disposition = 0;
    ULONG_PTR cookie = 0;
    if (!Lock || !Unlock || !ProcessBlock())
        return false;
    // A thread that starts or ends holds the loader a moment: only one that
    // keeps it counts.
    for (int waited = 0; Lock(kTryOnly, &disposition, &cookie) != 0 || disposition != kLocked;
         ++waited) {
        if (waited == kBusyWait)
            return false;
        Sleep(1);
    }
    LIST_ENTRY *head = &ProcessBlock()->Ldr->InMemoryOrderModuleList;
    for (LIST_ENTRY *link = head->Flink; link != head; link = link->Flink) {
        auto *entry = CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks);
        if (entry->FullDllName.Buffer == nullptr)
            continue;
        bool shared = SharedFolder(entry->FullDllName);
        if (!shared && set->count < kMostModules)
            set->bases[set->count++] = entry->DllBase;
        visit(*entry, shared);
    }
    Unlock(0, cookie);
    set->known = true;
    return true;
}

// The threads running in this process that may be a source's: where each
// starts, from the system's own list. Those starting in the program or the
// loader are left out, and so are those that have ended (a thread ended by
// TerminateThread tells no library so).
constexpr int kMostThreads = 64;
struct ThreadSet {
    int count;
    bool overflow; // more than it holds: not all could be placed
    uintptr_t starts[kMostThreads];
};

void ReadThreads(ThreadSet *threads) {
    LookUp();
    threads->count = 0;
    threads->overflow = false;
    HANDLE thread = NULL;
    HANDLE next = NULL;
    while (NextOf && Query &&
           NextOf(GetCurrentProcess(), thread, THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0,
                  &next) == 0) {
        if (thread)
            CloseHandle(thread);
        thread = next;
        uintptr_t start = 0;
        if (Query(thread, kWin32StartAddress, &start, sizeof start, NULL) != 0)
            start = 0;
        if (Within(ProgramImage, start) || Within(LoaderImage, start) ||
            WaitForSingleObject(thread, 0) != WAIT_TIMEOUT)
            continue;
        if (threads->count < kMostThreads)
            threads->starts[threads->count++] = start;
        else
            threads->overflow = true;
    }
    if (thread)
        CloseHandle(thread);
}

// Where a thread starts: not yet known, in the source's code, in the system's
// libraries, or elsewhere (a library loaded before the source came).
enum Place : unsigned char { kUnplaced, kSource, kSystem, kElsewhere };

} // namespace

void OsMarkState() {
    ++Asks;
    SourceRanges = 0;
    ReadModules(&Marked, [](const LDR_DATA_TABLE_ENTRY &, bool) {});
}

void OsNoteSourceCode() {
    if (!Marked.known)
        return;
    ReadModules(&Now, [](const LDR_DATA_TABLE_ENTRY &entry, bool shared) {
        if (!shared && !Contains(Marked, entry.DllBase))
            NoteSourceRange(RangeOf(entry));
    });
}

void OsLeftSinceMark(OsLeftBehind *left) {
    memset(left, 0, sizeof *left);
    Looked = true;
    ThreadSet threads;
    ReadThreads(&threads);
    Place places[kMostThreads];
    for (int i = 0; i < threads.count; ++i)
        places[i] = InSourceCode(threads.starts[i]) ? kSource : kUnplaced;
    bool read = ReadModules(&Left, [&](const LDR_DATA_TABLE_ENTRY &entry, bool shared) {
        bool added = !shared && Marked.known && !Contains(Marked, entry.DllBase);
        if (added && left->modules++ == 0)
            FileNameOf(entry.FullDllName, left->module, sizeof left->module);
        Range range = RangeOf(entry);
        for (int i = 0; i < threads.count; ++i)
            if (places[i] == kUnplaced && Within(range, threads.starts[i]))
                places[i] = added ? kSource : shared ? kSystem : kElsewhere;
    });
    // In code of no library: the source's, unless another source came before it.
    left->others = threads.overflow;
    for (int i = 0; i < threads.count; ++i) {
        Place place = places[i] == kUnplaced ? (Asks == 1 ? kSource : kElsewhere) : places[i];
        left->threads += place == kSource;
        left->others = left->others || place == kElsewhere;
    }
    left->loaderBusy = !read || !Marked.known;
    // A thread of an earlier source may hold the loader as well as one of this one's.
    left->others = left->others || (left->loaderBusy && Asks > 1);
}

bool OsChangedSinceLeft() {
    if (!Looked)
        return false;
    bool added = false;
    bool read = ReadModules(&Now, [&added](const LDR_DATA_TABLE_ENTRY &entry, bool shared) {
        added = added || (!shared && !Contains(Left, entry.DllBase));
    });
    return !Left.known || !read || added;
}

void OsRestoreSearchState() {
    static wchar_t *path;
    static bool saved;
    wchar_t directory[2];
    if (GetDllDirectoryW(2, directory) > 0)
        SetDllDirectoryW(NULL);
    DWORD room = GetEnvironmentVariableW(L"PATH", NULL, 0);
    auto *now = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
    if (now && GetEnvironmentVariableW(L"PATH", now, room) >= room) {
        free(now);
        return; // it changed while read: left for the next look
    }
    if (!saved) {
        path = now;
        saved = now != nullptr || room == 0;
        return;
    }
    if ((now == nullptr) != (path == nullptr) || (now && wcscmp(now, path) != 0))
        SetEnvironmentVariableW(L"PATH", path);
    free(now);
}
