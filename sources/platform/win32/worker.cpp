// The scan's workers on Windows, as the program sees them: other starts of this
// executable (lifetime.cpp ties their lives to this process's), each on a pipe that
// the program reads and writes with overlapped calls. The worker's own end of
// the channel is in channel.cpp.
#include "platform/worker.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD kEndWait = 10000; // for a worker that is already ending
constexpr DWORD kDrainWait = 200; // for the last bytes of a worker that has ended
constexpr int kMostWorkers = 32;

struct Worker {
    HANDLE process;
    DWORD thread; // the id of the thread it started with
    HANDLE pipe;  // ours, overlapped
    HANDLE sendEvent;
    HANDLE readEvent;
    OVERLAPPED reading; // the read under way while `pending`
    bool pending;
    bool broken; // the channel ended
    bool ended;  // the process ended
    int size;    // of every message
    int have;    // bytes of the next message received
    unsigned char *message;
};

LONG PipeCounter;
uint64_t RandomState;

// Unguessable to anything but this process: a value the system chose (the
// random address layout of the stack, the performance counter) mixed well.
uint64_t RandomNumber() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t value = RandomState + 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(counter.QuadPart) +
                     (static_cast<uint64_t>(GetCurrentProcessId()) << 32) +
                     reinterpret_cast<uintptr_t>(&counter);
    RandomState = value;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

// Our end of a named pipe opened for overlapped use, so that a wait can also
// watch the worker and a time limit; the worker's end is inheritable. The name
// holds the random value: no one else can take the pipe first.
bool MakeChannel(const Greeting &greeting, HANDLE *ours, HANDLE *theirs) {
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\Corvane-%lu-%ld-%08lX%08lX", GetCurrentProcessId(),
             InterlockedIncrement(&PipeCounter), static_cast<unsigned long>(greeting.random[0]),
             static_cast<unsigned long>(greeting.random[1]));
    *ours = CreateNamedPipeA(
        name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 4096, 4096,
        0, NULL);
    if (*ours == INVALID_HANDLE_VALUE)
        return false;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    *theirs = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, NULL);
    if (*theirs != INVALID_HANDLE_VALUE)
        return true;
    DWORD error = GetLastError();
    CloseHandle(*ours);
    SetLastError(error);
    return false;
}

// The greeting goes into the pipe before the worker runs: the pipe's buffer
// takes it at once.
bool SendGreeting(HANDLE pipe, const Greeting &greeting) {
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!overlapped.hEvent)
        return false;
    DWORD moved = 0;
    bool sent = WriteFile(pipe, &greeting, sizeof greeting, NULL, &overlapped) ||
                GetLastError() == ERROR_IO_PENDING;
    if (sent && WaitForSingleObject(overlapped.hEvent, kEndWait) != WAIT_OBJECT_0)
        CancelIo(pipe);
    sent = sent && GetOverlappedResult(pipe, &overlapped, &moved, TRUE) && moved == sizeof greeting;
    CloseHandle(overlapped.hEvent);
    return sent;
}

// The executable's own path, by the wide call: it may hold any name.
wchar_t *ExecutablePath() {
    for (DWORD room = MAX_PATH;; room *= 2) {
        auto *path = static_cast<wchar_t *>(calloc(room, sizeof(wchar_t)));
        if (!path)
            return nullptr;
        DWORD length = GetModuleFileNameW(NULL, path, room);
        if (length > 0 && length < room)
            return path;
        free(path);
        if (length == 0 || room >= 32768)
            return nullptr;
    }
}

// Starts the read of the rest of the message, taking what comes at once.
void ArmRead(Worker *worker) {
    while (!worker->pending && !worker->broken && worker->have < worker->size) {
        memset(&worker->reading, 0, sizeof worker->reading);
        worker->reading.hEvent = worker->readEvent;
        DWORD moved = 0;
        if (ReadFile(worker->pipe, worker->message + worker->have,
                     static_cast<DWORD>(worker->size - worker->have), NULL, &worker->reading)) {
            if (!GetOverlappedResult(worker->pipe, &worker->reading, &moved, FALSE) || moved == 0)
                worker->broken = true;
            worker->have += static_cast<int>(moved);
        } else if (GetLastError() == ERROR_IO_PENDING) {
            worker->pending = true;
        } else {
            worker->broken = true;
        }
    }
}

// Takes the read under way when it has finished (or, with wait, once cancelled).
void FinishRead(Worker *worker, bool wait) {
    if (!worker->pending)
        return;
    if (wait)
        CancelIo(worker->pipe);
    DWORD moved = 0;
    if (GetOverlappedResult(worker->pipe, &worker->reading, &moved, wait ? TRUE : FALSE)) {
        worker->pending = false;
        worker->broken = worker->broken || moved == 0;
        worker->have += static_cast<int>(moved);
    } else if (wait || GetLastError() != ERROR_IO_INCOMPLETE) {
        worker->pending = false;
        worker->broken = true;
    }
}

bool Ready(const Worker *worker) {
    return worker->have == worker->size || worker->broken;
}

// After the worker has ended, what it wrote still comes; then its channel has
// ended, also when something else holds the worker's end open.
void Drain(Worker *worker) {
    for (ArmRead(worker); !Ready(worker); ArmRead(worker)) {
        if (WaitForSingleObject(worker->readEvent, kDrainWait) == WAIT_OBJECT_0) {
            FinishRead(worker, false);
        } else {
            FinishRead(worker, true);
            worker->broken = true;
        }
    }
}

void Release(Worker *worker) {
    FinishRead(worker, true);
    CloseHandle(worker->pipe);
    CloseHandle(worker->process);
    CloseHandle(worker->sendEvent);
    CloseHandle(worker->readEvent);
    free(worker->message);
    free(worker);
}

} // namespace

void *OsWorkerStart(int messageSize, bool *inJob) {
    wchar_t *exe = ExecutablePath();
    Greeting greeting = {kGreetingMark, {}};
    uint64_t random[2] = {RandomNumber(), RandomNumber()};
    memcpy(greeting.random, random, sizeof random);
    HANDLE ours, theirs;
    if (!exe || !MakeChannel(greeting, &ours, &theirs)) {
        DWORD error = GetLastError();
        free(exe);
        SetLastError(error);
        return nullptr;
    }
    wchar_t value[96];
    _snwprintf(value, sizeof value / sizeof value[0], L"%llu:%lu:%08lX%08lX%08lX%08lX",
               static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(theirs)),
               GetCurrentProcessId(), static_cast<unsigned long>(greeting.random[0]),
               static_cast<unsigned long>(greeting.random[1]),
               static_cast<unsigned long>(greeting.random[2]),
               static_cast<unsigned long>(greeting.random[3]));
    value[sizeof value / sizeof value[0] - 1] = L'\0';
    size_t length = wcslen(exe);
    auto *line = static_cast<wchar_t *>(calloc(length + 3, sizeof(wchar_t)));
    Worker *worker = static_cast<Worker *>(calloc(1, sizeof(Worker)));
    if (worker) {
        worker->size = messageSize;
        worker->message = static_cast<unsigned char *>(calloc(messageSize, 1));
        worker->sendEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        worker->readEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    }
    PROCESS_INFORMATION info;
    BOOL started = FALSE;
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    if (line && worker && worker->message && worker->sendEvent && worker->readEvent) {
        error = ERROR_BROKEN_PIPE;
        if (SendGreeting(ours, greeting)) {
            _snwprintf(line, length + 3, L"\"%ls\"", exe);
            STARTUPINFOW startup;
            memset(&startup, 0, sizeof startup);
            startup.cb = sizeof startup;
            startup.dwFlags =
                STARTF_FORCEOFFFEEDBACK; // no busy cursor for a program with no window
            SetEnvironmentVariableW(L"CORVANE_WORKER_CHANNEL", value);
            started = StartWorkerProcess(exe, line, &startup, &info);
            error = GetLastError();
            SetEnvironmentVariableW(L"CORVANE_WORKER_CHANNEL", NULL);
        }
    }
    CloseHandle(theirs);
    free(line);
    free(exe);
    if (!started) {
        CloseHandle(ours);
        if (worker) {
            CloseHandle(worker->sendEvent);
            CloseHandle(worker->readEvent);
            free(worker->message);
            free(worker);
        }
        SetLastError(error);
        return nullptr;
    }
    *inJob = JoinWorkerJob(info.hProcess);
    CloseHandle(info.hThread);
    worker->process = info.hProcess;
    worker->thread = info.dwThreadId;
    worker->pipe = ours;
    return worker;
}

int OsWorkerSend(void *handle, const void *data, int size, int milliseconds) {
    Worker *worker = static_cast<Worker *>(handle);
    OVERLAPPED overlapped;
    memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = worker->sendEvent;
    DWORD moved = 0;
    // What fits the pipe's buffer is written at once, with no wait.
    if (WriteFile(worker->pipe, data, static_cast<DWORD>(size), NULL, &overlapped))
        return GetOverlappedResult(worker->pipe, &overlapped, &moved, FALSE) &&
                       moved == static_cast<DWORD>(size)
                   ? kOsDone
                   : kOsWorkerEnded;
    if (GetLastError() != ERROR_IO_PENDING)
        return kOsWorkerEnded;
    HANDLE handles[2] = {worker->sendEvent, worker->process};
    DWORD wait = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    DWORD signalled = WaitForMultipleObjects(2, handles, FALSE, wait);
    if (signalled != WAIT_OBJECT_0)
        CancelIo(worker->pipe);
    bool done = GetOverlappedResult(worker->pipe, &overlapped, &moved, TRUE) &&
                moved == static_cast<DWORD>(size);
    if (done)
        return kOsDone;
    return signalled == WAIT_TIMEOUT ? kOsTimedOut : kOsWorkerEnded;
}

int OsWorkerWait(void *const *workers, int count, int milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE handles[2 * kMostWorkers];
        int owners[2 * kMostWorkers];
        DWORD n = 0;
        for (int i = 0; i < count && i < kMostWorkers; ++i) {
            Worker *worker = static_cast<Worker *>(workers[i]);
            if (worker->ended)
                Drain(worker);
            ArmRead(worker);
            if (Ready(worker))
                return i;
            handles[n] = worker->readEvent;
            owners[n++] = i;
            handles[n] = worker->process;
            owners[n++] = i;
        }
        DWORD wait = INFINITE;
        if (milliseconds >= 0) {
            DWORD elapsed = GetTickCount() - start;
            wait = elapsed < static_cast<DWORD>(milliseconds) ? milliseconds - elapsed : 0;
        }
        DWORD signalled = WaitForMultipleObjects(n, handles, FALSE, wait);
        if (signalled == WAIT_TIMEOUT || signalled >= WAIT_OBJECT_0 + n)
            return -1;
        Worker *worker = static_cast<Worker *>(workers[owners[signalled - WAIT_OBJECT_0]]);
        if (handles[signalled - WAIT_OBJECT_0] == worker->process)
            worker->ended = true;
        else
            FinishRead(worker, false);
    }
}

int OsWorkerReceive(void *handle, void *message) {
    Worker *worker = static_cast<Worker *>(handle);
    FinishRead(worker, false);
    if (worker->have == worker->size) {
        memcpy(message, worker->message, worker->size);
        worker->have = 0;
        return kOsDone;
    }
    return worker->broken ? kOsWorkerEnded : kOsTimedOut;
}

unsigned long OsWorkerEnd(void *handle, int waitMs, unsigned exitCode) {
    Worker *worker = static_cast<Worker *>(handle);
    DWORD code = exitCode;
    bool ended = WaitForSingleObject(worker->process,
                                     waitMs < 0 ? 0 : static_cast<DWORD>(waitMs)) != WAIT_TIMEOUT;
    // TerminateProcess only starts the end: a process in a driver's I/O ends
    // when the I/O does (Wine ends it at once). Until it has ended its exit
    // code reads STILL_ACTIVE, which is no exit code of its own.
    if (!ended) {
        TerminateProcess(worker->process, exitCode);
        ended = WaitForSingleObject(worker->process, kEndWait) != WAIT_TIMEOUT;
    }
    if (ended)
        GetExitCodeProcess(worker->process, &code);
    Release(worker);
    return code;
}

void OsWorkerClose(void *handle) {
    TerminateProcess(static_cast<Worker *>(handle)->process, 0);
}

bool OsWorkerGone(void *handle, bool giveUp) {
    Worker *worker = static_cast<Worker *>(handle);
    bool gone = WaitForSingleObject(worker->process, 0) != WAIT_TIMEOUT;
    if (gone || giveUp)
        Release(worker);
    return gone || giveUp;
}

bool OsWorkerLoaderHeld(void *handle) {
    Worker *worker = static_cast<Worker *>(handle);
    // The environment block's LoaderLock: the address of the loader's critical section.
    constexpr uintptr_t kLoaderLock = sizeof(void *) == 8 ? 0x110 : 0xA0;
    auto block = reinterpret_cast<uintptr_t>(ProcessBlockOf(worker->process));
    RTL_CRITICAL_SECTION *lock = nullptr;
    RTL_CRITICAL_SECTION section;
    SIZE_T got = 0;
    if (!block ||
        !ReadProcessMemory(worker->process, reinterpret_cast<void *>(block + kLoaderLock), &lock,
                           sizeof lock, &got) ||
        got != sizeof lock || !lock ||
        !ReadProcessMemory(worker->process, lock, &section, sizeof section, &got) ||
        got != sizeof section)
        return false;
    auto owner = static_cast<DWORD>(reinterpret_cast<uintptr_t>(section.OwningThread));
    return owner != 0 && owner != worker->thread;
}
