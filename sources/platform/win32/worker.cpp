// The scan's worker on Windows: a second start of this executable, found by an
// inherited pipe handle named in its environment, in a job that ends it with
// this process.
#include "platform/worker.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    GuardWorker();
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
