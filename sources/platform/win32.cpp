// The operating-system layer on Windows: thin wrappers over the ANSI system calls.
#include "platform/platform.h"

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *OsCommandLine() {
    return GetCommandLineA();
}

int OsExecutablePath(char *buf, int size) {
    if (size <= 0)
        return 0;
    return static_cast<int>(GetModuleFileNameA(NULL, buf, static_cast<DWORD>(size)));
}

int OsWindowsDirectory(char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetWindowsDirectoryA(buf, static_cast<UINT>(size)));
}

int OsSystemDirectory(char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetSystemDirectoryA(buf, static_cast<UINT>(size)));
}

#if defined(_WIN64)
const char OsProgramName[] = "Corvane64";
const char OsManagerFile[] = "TWAINDSM.DLL";
const unsigned OsProgramMachine = IMAGE_FILE_MACHINE_AMD64;

int OsManagerFolder(char *buf, int size) {
    return OsSystemDirectory(buf, size);
}
#else
const char OsProgramName[] = "Corvane";
const char OsManagerFile[] = "TWAIN_32.DLL";
const unsigned OsProgramMachine = IMAGE_FILE_MACHINE_I386;

int OsManagerFolder(char *buf, int size) {
    return OsWindowsDirectory(buf, size);
}
#endif

int OsFullPath(const char *path, char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetFullPathNameA(path, static_cast<DWORD>(size), buf, NULL));
}

const char *OsGetEnv(const char *name) {
    // The run-time's getenv already matches names without regard to case.
    return getenv(name);
}

int OsProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

static void *ProcAddress(FARPROC proc);

// The windowing, shell and registry libraries are loaded on first use, not
// imported: a listing to a file needs none of them, and loading them costs
// every start (the scan's worker's too) more than all the program's own work. They come from the
// system folder by full path and stay loaded until the process ends.
static void *SystemLibraryCall(HMODULE *library, const char *file, const char *name) {
    if (!*library) {
        char path[MAX_PATH + 16];
        UINT length = GetSystemDirectoryA(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return nullptr;
        snprintf(path + length, sizeof path - length, "\\%s", file);
        *library = LoadLibraryA(path);
        if (!*library)
            return nullptr;
    }
    return ProcAddress(GetProcAddress(*library, name));
}

static HMODULE UserLibrary;
static HMODULE ShellLibrary;

static void *UserCall(const char *name) {
    return SystemLibraryCall(&UserLibrary, "user32.dll", name);
}

static void *ShellCall(const char *name) {
    return SystemLibraryCall(&ShellLibrary, "shell32.dll", name);
}

static HMODULE AdvapiLibrary;

// The registry or security function of that name, typed as declared (null
// when missing).
#define ADVAPI_CALL(name)                                                                          \
    reinterpret_cast<decltype(&name)>(SystemLibraryCall(&AdvapiLibrary, "advapi32.dll", #name))

int OsMessageBox(const char *text, const char *caption, unsigned style) {
    using Call = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    Call call = reinterpret_cast<Call>(UserCall("MessageBoxA"));
    return call ? call(NULL, text, caption, style) : 0;
}

void OsDebugString(const char *text) {
    OutputDebugStringA(text);
}

void OsOpenUrl(const char *url) {
    using Call = HINSTANCE(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    Call call = reinterpret_cast<Call>(ShellCall("ShellExecuteA"));
    if (call)
        call(NULL, "", url, "", "C:\\", SW_HIDE);
}

unsigned OsCodePage() {
    return GetACP();
}

bool OsLeadByte(unsigned char c) {
    static bool known;
    static bool lead[256];
    if (!known) {
        CPINFO info;
        if (GetCPInfo(CP_ACP, &info))
            for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
                for (int b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b)
                    lead[b] = true;
        known = true;
    }
    return lead[c];
}

// The search runs on the names as the file system keeps them: the ANSI search
// hands back a name its code page cannot write as '?'s or as a look-alike,
// under which nothing can be found again.
static void FillEntry(const WIN32_FIND_DATAW &data, OsFindEntry *entry) {
    // UTF-8 writes every name, and takes neither the flag nor the question.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL lacking = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, data.cFileName, -1,
                                     entry->name, sizeof entry->name, NULL, utf8 ? NULL : &lacking);
    if (length == 0)
        entry->name[0] = '\0';
    entry->unwritable = length == 0 || lacking;
    entry->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void *OsFindFirst(const char *pattern, OsFindEntry *entry) {
    // As for the ANSI search, the pattern must fit MAX_PATH.
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide, MAX_PATH) == 0)
        return nullptr;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide, &data);
    if (search == INVALID_HANDLE_VALUE)
        return nullptr;
    FillEntry(data, entry);
    return search;
}

bool OsFindNext(void *search, OsFindEntry *entry) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(static_cast<HANDLE>(search), &data))
        return false;
    FillEntry(data, entry);
    return true;
}

void OsFindClose(void *search) {
    if (search)
        FindClose(static_cast<HANDLE>(search));
}

int OsMakeDir(const char *path) {
    return _mkdir(path);
}

int OsDeleteFile(const char *path) {
    return _unlink(path);
}

bool OsReplaceFile(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

FILE *OsCreateNewFile(const char *path, bool *taken) {
    int file = _open(path, _O_CREAT | _O_EXCL | _O_RDWR | _O_TEXT, _S_IREAD | _S_IWRITE);
    FILE *stream = file >= 0 ? _fdopen(file, "w+") : nullptr;
    if (stream)
        return stream;
    // A folder of that name may refuse access rather than report that it exists.
    *taken = file < 0 && (errno == EEXIST || GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES);
    if (file >= 0) {
        _close(file);
        _unlink(path);
    }
    return nullptr;
}

bool OsFileFound(const char *path) {
    // OpenFile copies the path into an OFSTRUCT of OFS_MAXPATHNAME bytes; a longer
    // path would overflow it, so such a path counts as not found.
    if (strlen(path) >= OFS_MAXPATHNAME)
        return false;
    OFSTRUCT ofs;
    memset(&ofs, 0, sizeof ofs);
    return OpenFile(path, &ofs, OF_EXIST) != HFILE_ERROR;
}

OsFolderState OsFolderCheck(const char *path, unsigned *error) {
    *error = 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND
                   ? kFolderMissing
                   : kFolderUnsearchable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = ERROR_DIRECTORY;
        return kFolderNotFolder;
    }
    size_t end = strlen(path);
    bool separated = end > 0 && strchr("\\/:", path[end - 1]) != nullptr;
    char pattern[MAX_PATH + 8];
    int length = snprintf(pattern, sizeof pattern, "%s%s*", path, separated ? "" : "\\");
    if (length < 0 || length >= static_cast<int>(sizeof pattern))
        return kFolderSearchable; // the scan's own search tells
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        return kFolderSearchable;
    }
    *error = GetLastError();
    // An empty drive root has no entries at all, not even "." and "..".
    return *error == ERROR_FILE_NOT_FOUND ? kFolderSearchable : kFolderUnsearchable;
}

namespace {

// The foreign call under way, null between calls; what it asks of the module.
const char *volatile ForeignFile;
const char *ForeignCall = "";
bool ForeignRan;       // foreign code has run in this process: every fault is its
bool WorkerMode;       // this process is the scan's worker
LONG Reporting;        // a failure is being reported: the next one ends the run
HMODULE ForeignModule; // the latest module loaded as foreign code
char ForeignModulePath[MAX_PATH + 1];
LPTOP_LEVEL_EXCEPTION_FILTER OuterFilter;
DWORD StartupFault; // an error raised while a module starts, or 0

[[noreturn]] void EndProcess(UINT code) {
    TerminateProcess(GetCurrentProcess(), code);
    ExitProcess(code); // not reached
}

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
    EndProcess(1);
}

// A module may set an unhandled-exception filter of its own and then fault:
// ours is put back before any fault goes unhandled.
LONG WINAPI KeepFaultFilter(EXCEPTION_POINTERS *) {
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Notes errors raised while a module starts; the loader may catch a fault in a
// module's DllMain, and LoadLibraryA then only fails.
LONG WINAPI NoteStartupFault(EXCEPTION_POINTERS *info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code & 0xC0000000) == 0xC0000000 && StartupFault == 0)
        StartupFault = code;
    return EXCEPTION_CONTINUE_SEARCH;
}

// The watchdog of foreign calls in the program: a call running past the limit
// ends the run. CallNumber is odd while a call runs.
DWORD CallLimit;
volatile LONG CallNumber;
HANDLE CallBegun;
HANDLE CallEnded;

DWORD WINAPI Watchdog(void *) {
    for (;;) {
        WaitForSingleObject(CallBegun, INFINITE);
        LONG number = CallNumber;
        DWORD start = GetTickCount();
        while ((number & 1) && CallNumber == number) {
            DWORD elapsed = GetTickCount() - start;
            if (elapsed >= CallLimit) {
                if (InterlockedExchange(&Reporting, 1) == 0)
                    ForeignTimeout(ForeignFile, ForeignCall, CallLimit / 1000);
                EndProcess(1);
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
        if (thread)
            CloseHandle(thread);
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
    EndProcess(1);
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

void OsForeignBegin(const char *file, const char *call) {
    GuardProcess();
    ForeignRan = true;
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    ForeignCall = call ? call : "";
    ForeignFile = file ? file : "";
    InterlockedIncrement(&CallNumber);
    ArmWatchdog();
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
        EndProcess(1);
    }
    if (module != NULL && !WorkerMode) {
        ForeignModule = module;
        snprintf(ForeignModulePath, sizeof ForeignModulePath, "%s", path);
    }
    SetLastError(error);
    return module;
}

namespace {

const char kWorkerVariable[] = "CORVANE_WORKER_CHANNEL";
constexpr DWORD kEndWait = 10000; // for a worker that is already ending

struct Worker {
    HANDLE process;
    HANDLE pipe; // ours, overlapped
    HANDLE event;
};

HANDLE WorkerJob;
LONG PipeCounter;

// Our end of a named pipe opened for overlapped use, so that a wait can also
// watch the worker and a time limit; the worker's end is inheritable.
bool MakeChannel(HANDLE *ours, HANDLE *theirs) {
    char name[64];
    snprintf(name, sizeof name, "\\\\.\\pipe\\Corvane-%lu-%ld", GetCurrentProcessId(),
             InterlockedIncrement(&PipeCounter));
    *ours = CreateNamedPipeA(
        name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, NULL);
    if (*ours == INVALID_HANDLE_VALUE)
        return false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    *theirs = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, NULL);
    if (*theirs != INVALID_HANDLE_VALUE)
        return true;
    CloseHandle(*ours);
    return false;
}

// One job for all workers: closed with this process, it ends them.
void PutInJob(HANDLE process) {
    if (!WorkerJob) {
        WorkerJob = CreateJobObjectA(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (WorkerJob)
            SetInformationJobObject(WorkerJob, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
    }
    if (WorkerJob)
        AssignProcessToJobObject(WorkerJob, process);
}

int Transfer(void *handle, void *data, int size, int milliseconds, bool send) {
    Worker *worker = static_cast<Worker *>(handle);
    char *bytes = static_cast<char *>(data);
    DWORD start = GetTickCount();
    for (int done = 0; done < size;) {
        OVERLAPPED overlapped;
        memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = worker->event;
        DWORD count = static_cast<DWORD>(size - done);
        BOOL ok = send ? WriteFile(worker->pipe, bytes + done, count, NULL, &overlapped)
                       : ReadFile(worker->pipe, bytes + done, count, NULL, &overlapped);
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            WaitForSingleObject(worker->process, kEndWait);
            return kOsWorkerEnded;
        }
        DWORD moved = 0;
        if (ok && GetOverlappedResult(worker->pipe, &overlapped, &moved, FALSE) && moved > 0) {
            done += static_cast<int>(moved); // done at once: no wait
            continue;
        }
        DWORD wait = INFINITE;
        if (milliseconds >= 0) {
            DWORD elapsed = GetTickCount() - start;
            wait = elapsed < static_cast<DWORD>(milliseconds) ? milliseconds - elapsed : 0;
        }
        HANDLE handles[2] = {worker->event, worker->process};
        DWORD signalled = WaitForMultipleObjects(2, handles, FALSE, wait);
        if (signalled != WAIT_OBJECT_0) {
            CancelIo(worker->pipe);
            GetOverlappedResult(worker->pipe, &overlapped, &moved, TRUE);
            return signalled == WAIT_TIMEOUT ? kOsTimedOut : kOsWorkerEnded;
        }
        if (!GetOverlappedResult(worker->pipe, &overlapped, &moved, FALSE) || moved == 0) {
            WaitForSingleObject(worker->process, kEndWait);
            return kOsWorkerEnded;
        }
        done += static_cast<int>(moved);
    }
    return kOsDone;
}

} // namespace

void *OsWorkerStart() {
    char exe[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    exe[length] = '\0';
    HANDLE ours, theirs;
    if (!MakeChannel(&ours, &theirs))
        return nullptr;
    char value[32];
    snprintf(value, sizeof value, "%llu",
             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(theirs)));
    char line[MAX_PATH + 3];
    snprintf(line, sizeof line, "\"%s\"", exe);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK; // no busy cursor for a program with no window
    PROCESS_INFORMATION info;
    SetEnvironmentVariableA(kWorkerVariable, value);
    BOOL started =
        CreateProcessA(exe, line, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup, &info);
    SetEnvironmentVariableA(kWorkerVariable, NULL);
    CloseHandle(theirs);
    Worker *worker = started ? static_cast<Worker *>(calloc(1, sizeof(Worker))) : nullptr;
    HANDLE event = worker ? CreateEventA(NULL, TRUE, FALSE, NULL) : NULL;
    if (started && (!worker || !event)) {
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
        free(worker);
        worker = nullptr;
    }
    if (!worker) {
        CloseHandle(ours);
        return nullptr;
    }
    PutInJob(info.hProcess);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    worker->process = info.hProcess;
    worker->pipe = ours;
    worker->event = event;
    return worker;
}

int OsWorkerSend(void *worker, const void *data, int size, int milliseconds) {
    return Transfer(worker, const_cast<void *>(data), size, milliseconds, true);
}

int OsWorkerReceive(void *worker, void *data, int size, int milliseconds) {
    return Transfer(worker, data, size, milliseconds, false);
}

unsigned long OsWorkerEnd(void *handle) {
    Worker *worker = static_cast<Worker *>(handle);
    if (WaitForSingleObject(worker->process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(worker->process, 1);
        WaitForSingleObject(worker->process, kEndWait);
    }
    DWORD code = 1;
    GetExitCodeProcess(worker->process, &code);
    CloseHandle(worker->process);
    CloseHandle(worker->pipe);
    CloseHandle(worker->event);
    free(worker);
    return code;
}

void OsWorkerClose(void *handle) {
    Worker *worker = static_cast<Worker *>(handle);
    CloseHandle(worker->pipe); // the worker reads the end of its channel and ends
    CloseHandle(worker->process);
    CloseHandle(worker->event);
    free(worker);
}

void *OsWorkerChannel() {
    char value[32];
    DWORD length = GetEnvironmentVariableA(kWorkerVariable, value, sizeof value);
    if (length == 0 || length >= sizeof value)
        return nullptr;
    SetEnvironmentVariableA(kWorkerVariable, NULL); // not for the data sources
    char *end = nullptr;
    HANDLE channel = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(strtoull(value, &end, 10)));
    if (*end != '\0' || GetFileType(channel) != FILE_TYPE_PIPE)
        return nullptr;
    WorkerMode = true;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(ForeignFaultFilter);
    AddVectoredExceptionHandler(1, KeepFaultFilter);
    return channel;
}

bool OsChannelRead(void *channel, void *data, int size) {
    char *bytes = static_cast<char *>(data);
    for (int done = 0; done < size;) {
        DWORD moved = 0;
        if (!ReadFile(static_cast<HANDLE>(channel), bytes + done, static_cast<DWORD>(size - done),
                      &moved, NULL) ||
            moved == 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}

bool OsChannelWrite(void *channel, const void *data, int size) {
    DWORD moved = 0;
    return WriteFile(static_cast<HANDLE>(channel), data, static_cast<DWORD>(size), &moved, NULL) &&
           moved == static_cast<DWORD>(size);
}

// Through an integer, so that no warning about mismatched function types arises.
static void *ProcAddress(FARPROC proc) {
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(proc));
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

void *OsUserKeyCreate(const char *path) {
    HKEY key = NULL;
    auto create = ADVAPI_CALL(RegCreateKeyExA);
    if (!create || create(HKEY_CURRENT_USER, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    if (!key || !text)
        return false;
    DWORD bytes = static_cast<DWORD>(strlen(text) + 1);
    auto set = ADVAPI_CALL(RegSetValueExA);
    return set && set(static_cast<HKEY>(key), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                      bytes) == ERROR_SUCCESS;
}

void OsKeyClose(void *key) {
    auto close = ADVAPI_CALL(RegCloseKey);
    if (key && close)
        close(static_cast<HKEY>(key));
}

bool OsIsWindow(void *window) {
    using Call = BOOL(WINAPI *)(HWND);
    Call call = reinterpret_cast<Call>(UserCall("IsWindow"));
    return call && call(static_cast<HWND>(window)) != FALSE;
}

void *OsCreateProxyWindow() {
    using Call = HWND(WINAPI *)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                                HINSTANCE, LPVOID);
    Call call = reinterpret_cast<Call>(UserCall("CreateWindowExA"));
    if (!call)
        return nullptr;
    return call(0, "STATIC", "Acquire Proxy", WS_POPUPWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, NULL, NULL);
}

unsigned OsLastError() {
    return GetLastError();
}

const unsigned OsErrorFileNotFound = ERROR_FILE_NOT_FOUND;
const unsigned OsErrorAccessDenied = ERROR_ACCESS_DENIED;
const unsigned OsErrorModuleNotFound = ERROR_MOD_NOT_FOUND;
const unsigned OsErrorInitFailed = ERROR_DLL_INIT_FAILED;

bool OsErrorText(unsigned code, const char *subject, char *buf, int size) {
    if (size <= 0)
        return false;
    // Every insert (%1, %2, ...) names the subject, as the system's own dialogs
    // name the file; a message whose inserts cannot take it is shown with its
    // markers instead.
    DWORD_PTR inserts[99];
    for (DWORD_PTR &insert : inserts)
        insert = reinterpret_cast<DWORD_PTR>(subject);
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, NULL, code, 0,
                       buf, static_cast<DWORD>(size), reinterpret_cast<va_list *>(inserts));
    if (length == 0)
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, buf, static_cast<DWORD>(size), NULL);
    while (length > 0 &&
           (buf[length - 1] == '\r' || buf[length - 1] == '\n' || buf[length - 1] == ' '))
        --length;
    buf[length] = '\0';
    return length > 0;
}

char *OsUserKeyReadText(const char *path, const char *name) {
    HKEY key = NULL;
    auto open = ADVAPI_CALL(RegOpenKeyExA);
    auto query = ADVAPI_CALL(RegQueryValueExA);
    auto close = ADVAPI_CALL(RegCloseKey);
    if (!open || !query || !close ||
        open(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    char *text = nullptr;
    DWORD type = 0;
    DWORD bytes = 0;
    if (query(key, name, NULL, &type, NULL, &bytes) == ERROR_SUCCESS) {
        // Room for a NUL the stored data may lack; a value may grow between the calls.
        DWORD room = bytes + 1;
        text = static_cast<char *>(calloc(room, 1));
        if (text && query(key, name, NULL, &type, reinterpret_cast<BYTE *>(text), &bytes) !=
                        ERROR_SUCCESS) {
            free(text);
            text = nullptr;
        }
        if (text)
            text[bytes < room ? bytes : room - 1] = '\0';
    }
    close(key);
    return text;
}

bool OsIsLocalSystem() {
    auto openToken = ADVAPI_CALL(OpenProcessToken);
    auto tokenInformation = ADVAPI_CALL(GetTokenInformation);
    auto wellKnownSid = ADVAPI_CALL(CreateWellKnownSid);
    auto equalSid = ADVAPI_CALL(EqualSid);
    HANDLE token = NULL;
    if (!openToken || !tokenInformation || !wellKnownSid || !equalSid ||
        !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    bool isSystem = tokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                    wellKnownSid(WinLocalSystemSid, NULL, system, &systemSize) &&
                    equalSid(info.user.User.Sid, system);
    CloseHandle(token);
    return isSystem;
}

char *OsAnsiToUtf8(const char *text) {
    int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    wchar_t *buffer = wide > 0 ? static_cast<wchar_t *>(calloc(wide, sizeof(wchar_t))) : nullptr;
    if (buffer && MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, wide) > 0) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, -1, NULL, 0, NULL, NULL);
        char *utf8 = bytes > 0 ? static_cast<char *>(malloc(bytes)) : nullptr;
        if (utf8 && WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, bytes, NULL, NULL) > 0) {
            free(buffer);
            return utf8;
        }
        free(utf8);
    }
    free(buffer);
    // Text the code page cannot convert keeps its ASCII; every other byte becomes '?'.
    char *copy = strdup(text);
    if (copy)
        for (char *c = copy; *c; ++c)
            if (static_cast<unsigned char>(*c) >= 0x80)
                *c = '?';
    return copy;
}
