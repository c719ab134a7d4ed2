// What a data source leaves in the process it was asked in, on Windows: the
// libraries from the loader's own enumeration, and the threads from the
// system's list of this process's threads, each told by whether it began
// since the mark and placed by where it starts.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

using LockLoader = LONG(NTAPI *)(ULONG flags, ULONG *disposition, ULONG_PTR *cookie);
using UnlockLoader = LONG(NTAPI *)(ULONG flags, ULONG_PTR cookie);
using VisitModule = void(NTAPI *)(LDR_DATA_TABLE_ENTRY *entry, void *context, BOOLEAN *stop);
using EnumerateModules = LONG(NTAPI *)(void *reserved, VisitModule visit, void *context);
using NextThread = LONG(NTAPI *)(HANDLE process, HANDLE thread, ACCESS_MASK access,
                                 ULONG attributes, ULONG flags, HANDLE *next);
using QueryThread = LONG(NTAPI *)(HANDLE thread, ULONG what, void *data, ULONG size,
                                  ULONG *returned);
constexpr ULONG kTryOnly = 2;           // LDR_LOCK_LOADER_LOCK_FLAG_TRY_ONLY
constexpr ULONG kLocked = 1;            // LDR_LOCK_LOADER_LOCK_DISPOSITION_LOCK_ACQUIRED
constexpr ULONG kWin32StartAddress = 9; // ThreadQuerySetWin32StartAddress
constexpr DWORD kBusyWait = 100;        // milliseconds by the clock, for the loader's lock

// Looked up once, by hand: a guarded local static would bring in the C++
// run-time's thread-safe initialisation.
LockLoader Lock;
UnlockLoader Unlock;
EnumerateModules Enumerate;
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
// loader's (its thread pool's and its parallel loading's too).
Range ProgramImage;
Range LoaderImage;

void LookUp() {
    if (Lock)
        return;
    Unlock = reinterpret_cast<UnlockLoader>(NtdllCall("LdrUnlockLoaderLock"));
    Enumerate = reinterpret_cast<EnumerateModules>(NtdllCall("LdrEnumerateLoadedModules"));
    NextOf = reinterpret_cast<NextThread>(NtdllCall("NtGetNextThread"));
    Query = reinterpret_cast<QueryThread>(NtdllCall("NtQueryInformationThread"));
    ProgramImage = ImageOf(GetModuleHandleA(NULL));
    LoaderImage = ImageOf(GetModuleHandleA("ntdll.dll"));
    Lock = reinterpret_cast<LockLoader>(NtdllCall("LdrLockLoaderLock"));
}

// The libraries loaded outside the shared folders, by their bases.
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

// The folders whose libraries every program shares: the system's and
// Windows' (directly), and the side-by-side store (at any depth: Common
// Controls 6, GDI+ and the C run-times of Visual C++ 2005 and 2008 load from
// there).
bool SharedFolder(const UNICODE_STRING &path) {
    static wchar_t folders[4][MAX_PATH];
    static int lengths[4];
    if (!lengths[2]) {
        lengths[0] = static_cast<int>(GetSystemDirectoryW(folders[0], MAX_PATH));
        lengths[1] = static_cast<int>(GetSystemWow64DirectoryW(folders[1], MAX_PATH));
        lengths[2] = static_cast<int>(GetSystemWindowsDirectoryW(folders[2], MAX_PATH));
        lengths[3] = _snwprintf(folders[3], MAX_PATH, L"%ls\\WinSxS", folders[2]);
        for (int &length : lengths)
            length = length > 0 && length < MAX_PATH - 1 ? length : -1;
    }
    int length = static_cast<int>(path.Length / sizeof(wchar_t));
    int folder = length;
    while (folder > 0 && path.Buffer[folder - 1] != L'\\')
        --folder;
    for (int i = 0; i < 4; ++i)
        if (lengths[i] > 0 && (folder == lengths[i] + 1 || (i == 3 && folder > lengths[i])) &&
            path.Buffer[lengths[i]] == L'\\' &&
            _wcsnicmp(path.Buffer, folders[i], static_cast<size_t>(lengths[i])) == 0)
            return true;
    return false;
}

// The C run-times that drivers share: the system's msvcrt.dll (MinGW's and old
// Visual C++ builds), the Universal C Runtime, and Visual C++'s own of 2002 to
// 2013. Found in the loader's list: looked up by name, one that is not loaded
// would be searched for on disk.
constexpr const wchar_t *kRuntimes[] = {L"msvcrt.dll",   L"ucrtbase.dll", L"msvcr70.dll",
                                        L"msvcr71.dll",  L"msvcr80.dll",  L"msvcr90.dll",
                                        L"msvcr100.dll", L"msvcr110.dll", L"msvcr120.dll"};

// The loader's flags follow the full and the base name in the entry; a library
// whose start-up has run has this one (both Windows' loader and Wine's).
constexpr ULONG kProcessAttachCalled = 0x00080000;

ULONG LoaderFlags(const LDR_DATA_TABLE_ENTRY &entry) {
    ULONG flags = 0;
    memcpy(&flags, reinterpret_cast<const BYTE *>(&entry.FullDllName) + 2 * sizeof(UNICODE_STRING),
           sizeof flags);
    return flags;
}

// A run-time whose start-up never ran is not called: Wine keeps one mapped that
// a load which then failed brought in (Windows unloads it), and its setlocale
// would run on state it never made.
void NoteRuntime(const LDR_DATA_TABLE_ENTRY &entry) {
    if (!(LoaderFlags(entry) & kProcessAttachCalled))
        return;
    size_t length = entry.FullDllName.Length / sizeof(wchar_t);
    size_t name = length;
    while (name > 0 && entry.FullDllName.Buffer[name - 1] != L'\\')
        --name;
    for (const wchar_t *runtime : kRuntimes)
        if (length - name == wcslen(runtime) &&
            _wcsnicmp(entry.FullDllName.Buffer + name, runtime, length - name) == 0 &&
            MarkedRuntimeCount < static_cast<int>(sizeof kRuntimes / sizeof kRuntimes[0]))
            MarkedRuntimes[MarkedRuntimeCount++] = static_cast<HMODULE>(entry.DllBase);
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

// Takes the loader's lock, tried and never waited for, for about kBusyWait
// milliseconds by the clock: a thread that starts or ends holds it a moment,
// and only one that keeps it counts.
bool TakeLoader(ULONG_PTR *cookie) {
    DWORD start = GetTickCount();
    for (;;) {
        ULONG disposition = 0;
        if (Lock(kTryOnly, &disposition, cookie) == 0 && disposition == kLocked)
            return true;
        if (GetTickCount() - start >= kBusyWait)
            return false;
        Sleep(1); // a timer tick on Windows (15.6 ms by default); Wine sleeps 1 ms
    }
}

template <typename Each> void NTAPI VisitEntry(LDR_DATA_TABLE_ENTRY *entry, void *each, BOOLEAN *) {
    (*static_cast<Each *>(each))(*entry);
}

// The loader's list, read with its lock held: the libraries outside the shared
// folders go into set, and visit(entry, shared) sees every one. The loader's
// own enumeration reads it, under the loader's own locks (since Windows 8 the
// list changes under another lock than the loader's, so a walk by hand can
// be torn by a thread that loads a library); where there is none, the
// loader's lock guards the list and it is walked. False when another thread
// holds the loader.
template <typename Visit> bool ReadModules(ModuleSet *set, Visit visit) {
    LookUp();
    set->known = false;
    set->count = 0;
    ULONG_PTR cookie = 0;
    if (!Lock || !Unlock || !ProcessBlock() || !TakeLoader(&cookie))
        return false;
    auto each = [set, &visit](const LDR_DATA_TABLE_ENTRY &entry) {
        if (entry.FullDllName.Buffer == nullptr)
            return;
        bool shared = SharedFolder(entry.FullDllName);
        if (!shared && set->count < kMostModules)
            set->bases[set->count++] = entry.DllBase;
        visit(entry, shared);
    };
    LIST_ENTRY *head = &ProcessBlock()->Ldr->InMemoryOrderModuleList;
    if (Enumerate)
        Enumerate(nullptr, VisitEntry<decltype(each)>, &each);
    else
        for (LIST_ENTRY *link = head->Flink; link != head; link = link->Flink)
            each(*CONTAINING_RECORD(link, LDR_DATA_TABLE_ENTRY, InMemoryOrderLinks));
    Unlock(0, cookie);
    set->known = true;
    return true;
}

// Every thread of this process, by its id: the handles stay open until the
// set is read again, so that no later thread can take an id of the set.
constexpr int kMostThreads = 64;
struct ThreadSet {
    int count;
    bool overflow; // more than it holds
    HANDLE handles[kMostThreads];
    DWORD ids[kMostThreads];
};
// The threads before the source: at the mark in a process that has asked no
// other source, else at the latest look (read again at the mark, they would
// cost every source a second reading); and those at the look.
ThreadSet Threads[2];
ThreadSet *Before = &Threads[0];
ThreadSet *Seen = &Threads[1];
FILETIME MarkTime;

void Forget(ThreadSet *set) {
    for (int i = 0; i < set->count; ++i)
        CloseHandle(set->handles[i]);
    set->count = 0;
    set->overflow = false;
}

void ReadThreads(ThreadSet *set) {
    LookUp();
    Forget(set);
    HANDLE thread = NULL;
    bool kept = false;
    for (HANDLE next; NextOf && NextOf(GetCurrentProcess(), thread,
                                       THREAD_QUERY_INFORMATION | SYNCHRONIZE, 0, 0, &next) == 0;) {
        if (thread && !kept)
            CloseHandle(thread);
        thread = next;
        kept = set->count < kMostThreads;
        if (kept) {
            set->handles[set->count] = next;
            set->ids[set->count++] = GetThreadId(next);
        }
        set->overflow = set->overflow || !kept;
    }
    if (thread && !kept)
        CloseHandle(thread);
}

// Whether a thread began before the mark, between the latest look and the
// mark: an earlier source's, started late. Both times are the system clock's
// (its tick on Windows): one that began in the mark's tick counts as after.
bool BeganBeforeMark(HANDLE thread) {
    FILETIME began, unused[3];
    return GetThreadTimes(thread, &began, &unused[0], &unused[1], &unused[2]) &&
           CompareFileTime(&began, &MarkTime) < 0;
}

bool Holds(const ThreadSet &set, DWORD id) {
    for (int i = 0; i < set.count; ++i)
        if (set.ids[i] == id)
            return true;
    return false;
}

// Whether a thread may be a source's: it runs (one that has ended, also by
// TerminateThread, does not), and it starts neither in the program nor in the
// loader. *start: where it starts.
bool MayBeASource(HANDLE thread, uintptr_t *start) {
    *start = 0;
    if (!Query || Query(thread, kWin32StartAddress, start, sizeof *start, NULL) != 0)
        *start = 0;
    return WaitForSingleObject(thread, 0) == WAIT_TIMEOUT && !Within(ProgramImage, *start) &&
           !Within(LoaderImage, *start);
}

} // namespace

HMODULE MarkedRuntimes[sizeof kRuntimes / sizeof kRuntimes[0]];
int MarkedRuntimeCount;

void OsMarkState() {
    ++Asks;
    SourceRanges = 0;
    if (!Looked)
        ReadThreads(Before);
    GetSystemTimeAsFileTime(&MarkTime);
    MarkedRuntimeCount = 0;
    ReadModules(&Marked, [](const LDR_DATA_TABLE_ENTRY &entry, bool) { NoteRuntime(entry); });
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
    ReadThreads(Seen);
    // The threads that began since the mark and may be the source's: theirs
    // when they start in its code or in a library it left loaded. One that
    // began between the latest look and the mark is an earlier source's,
    // started late: never this one's, and never unseen.
    uintptr_t starts[kMostThreads];
    bool own[kMostThreads];
    int count = 0;
    bool late = false;
    for (int i = 0; i < Seen->count; ++i)
        if (!Holds(*Before, Seen->ids[i]) && MayBeASource(Seen->handles[i], &starts[count])) {
            if (Asks > 1 && BeganBeforeMark(Seen->handles[i])) {
                late = true;
                continue;
            }
            own[count] = InSourceCode(starts[count]);
            ++count;
        }
    bool read = ReadModules(&Left, [&](const LDR_DATA_TABLE_ENTRY &entry, bool shared) {
        bool added = !shared && Marked.known && !Contains(Marked, entry.DllBase);
        if (added && left->modules++ == 0)
            FileNameOf(entry.FullDllName, left->module, sizeof left->module);
        Range range = RangeOf(entry);
        for (int i = 0; added && i < count; ++i)
            own[i] = own[i] || Within(range, starts[i]);
    });
    // Anywhere else (a system library, code of no library): the source's in a
    // process that has asked no other source; else maybe an earlier one's.
    left->others = late || Seen->overflow || Before->overflow;
    for (int i = 0; i < count; ++i) {
        left->threads += own[i] || Asks == 1;
        left->others = left->others || !(own[i] || Asks == 1);
    }
    left->loaderBusy = !read || !Marked.known;
    // A thread of an earlier source may hold the loader as well as one of this one's.
    left->others = left->others || (left->loaderBusy && Asks > 1);
    // This look is the next source's before.
    Forget(Before);
    ThreadSet *next = Seen;
    Seen = Before;
    Before = next;
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
