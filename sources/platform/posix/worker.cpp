// The scan's workers on POSIX systems, as the program sees them: forks of this
// process, each on one end of a socket pair (no SIGPIPE for a peer that is
// gone), killed when this process ends. The worker's own end is in channel.cpp.
#include "platform/worker.h"
#include "platform/posix/internal.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMostWorkers = 32;

struct PosixWorker {
    pid_t pid;
    int socket;
    bool broken; // the channel ended
    int size;    // of every message
    int have;    // bytes of the next message received
    unsigned char *message;
};

// This process's ends of the running workers' channels: a new worker closes
// them, or a worker ended here would never see its channel end.
int Sockets[kMostWorkers];
int SocketCount;

void Forget(int socket) {
    for (int i = 0; i < SocketCount; ++i)
        if (Sockets[i] == socket)
            Sockets[i] = Sockets[--SocketCount];
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Takes what has come of the next message without waiting.
void Collect(PosixWorker *worker) {
    while (!worker->broken && worker->have < worker->size) {
        ssize_t moved = recv(worker->socket, worker->message + worker->have,
                             worker->size - worker->have, MSG_DONTWAIT);
        if (moved < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            worker->broken = true;
        else
            worker->have += static_cast<int>(moved);
    }
}

bool Ready(const PosixWorker *worker) {
    return worker->have == worker->size || worker->broken;
}

void Release(PosixWorker *worker) {
    Forget(worker->socket);
    close(worker->socket);
    free(worker->message);
    free(worker);
}

} // namespace

void *OsWorkerStart(int messageSize, bool *inJob) {
    int ends[2];
    if (SocketCount == kMostWorkers ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        LastError = SocketCount == kMostWorkers ? EAGAIN : static_cast<unsigned>(errno);
        return nullptr;
    }
    auto *worker = static_cast<PosixWorker *>(calloc(1, sizeof(PosixWorker)));
    auto *message = static_cast<unsigned char *>(calloc(messageSize, 1));
    pid_t parent = getpid();
    *inJob = true; // there are no jobs: a worker ends with its parent
    pid_t pid = worker && message ? fork() : -1;
    if (pid == 0) {
        close(ends[0]);
        for (int i = 0; i < SocketCount; ++i)
            close(Sockets[i]);
        WatchParent(parent);
        WorkerMode = true;
        _exit(ScanWorkerMain(&ends[1]));
    }
    LastError = pid < 0 ? static_cast<unsigned>(errno) : 0;
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        free(message);
        free(worker);
        return nullptr;
    }
    worker->pid = pid;
    worker->socket = ends[0];
    worker->size = messageSize;
    worker->message = message;
    Sockets[SocketCount++] = ends[0];
    return worker;
}

int OsWorkerSend(void *handle, const void *data, int size, int milliseconds) {
    auto *worker = static_cast<PosixWorker *>(handle);
    const char *bytes = static_cast<const char *>(data);
    long long deadline = NowMs() + milliseconds;
    for (int done = 0; done < size;) {
        struct pollfd wait = {worker->socket, POLLOUT, 0};
        int left = milliseconds < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - NowMs()));
        int ready = poll(&wait, 1, left);
        if (ready == 0)
            return kOsTimedOut;
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t moved =
            ready < 0 ? -1 : send(worker->socket, bytes + done, size - done, MSG_NOSIGNAL);
        if (moved <= 0)
            return kOsWorkerEnded;
        done += static_cast<int>(moved);
    }
    return kOsDone;
}

int OsWorkerWait(void *const *workers, int count, int milliseconds) {
    long long deadline = NowMs() + milliseconds;
    for (;;) {
        struct pollfd waits[kMostWorkers];
        int n = std::min(count, kMostWorkers);
        for (int i = 0; i < n; ++i) {
            auto *worker = static_cast<PosixWorker *>(workers[i]);
            Collect(worker);
            if (Ready(worker))
                return i;
            waits[i] = {worker->socket, POLLIN, 0};
        }
        int left = milliseconds < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - NowMs()));
        int ready = poll(waits, static_cast<nfds_t>(n), left);
        if (ready == 0)
            return -1;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

int OsWorkerReceive(void *handle, void *message) {
    auto *worker = static_cast<PosixWorker *>(handle);
    Collect(worker);
    if (worker->have == worker->size) {
        memcpy(message, worker->message, worker->size);
        worker->have = 0;
        return kOsDone;
    }
    return worker->broken ? kOsWorkerEnded : kOsTimedOut;
}

unsigned long OsWorkerEnd(void *handle, int waitMs, unsigned exitCode) {
    auto *worker = static_cast<PosixWorker *>(handle);
    pid_t pid = worker->pid;
    Release(worker);
    int status = 0;
    long long deadline = NowMs() + std::max(waitMs, 0);
    pid_t ended = waitpid(pid, &status, WNOHANG);
    while (ended == 0 && NowMs() < deadline) {
        struct timespec pause = {0, 5 * 1000000};
        nanosleep(&pause, nullptr);
        ended = waitpid(pid, &status, WNOHANG);
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return exitCode; // ended here
    }
    if (WIFSIGNALED(status))
        return 0xC0000000UL | static_cast<unsigned long>(WTERMSIG(status));
    return WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : 1;
}

void OsWorkerClose(void *worker) {
    kill(static_cast<PosixWorker *>(worker)->pid, SIGKILL);
}

// Waited for when given up: no zombie is left.
bool OsWorkerGone(void *handle, bool giveUp) {
    auto *worker = static_cast<PosixWorker *>(handle);
    int status = 0;
    bool gone = waitpid(worker->pid, &status, giveUp ? 0 : WNOHANG) != 0;
    if (gone)
        Release(worker);
    return gone;
}

// No loader lock to hold here.
bool OsWorkerLoaderHeld(void *) {
    return false;
}
