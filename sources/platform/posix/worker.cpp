// The scan's worker on POSIX systems: a fork of this process on a socket pair.
#include "platform/worker.h"
#include "platform/posix/internal.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstdlib>

// The worker is a fork of this process on one end of a socket pair (no
// SIGPIPE for a peer that is gone), killed when this process ends.
struct PosixWorker {
    pid_t pid;
    int socket;
};

void *OsWorkerStart() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return nullptr;
    PosixWorker *worker = static_cast<PosixWorker *>(calloc(1, sizeof(PosixWorker)));
    pid_t pid = worker ? fork() : -1;
    if (pid == 0) {
        close(ends[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        WorkerMode = true;
        _exit(ScanWorkerMain(&ends[1]));
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        free(worker);
        return nullptr;
    }
    worker->pid = pid;
    worker->socket = ends[0];
    return worker;
}

static long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static int Transfer(void *handle, void *data, int size, int milliseconds, bool send) {
    PosixWorker *worker = static_cast<PosixWorker *>(handle);
    char *bytes = static_cast<char *>(data);
    long long deadline = NowMs() + milliseconds;
    for (int done = 0; done < size;) {
        struct pollfd wait = {worker->socket, static_cast<short>(send ? POLLOUT : POLLIN), 0};
        int left = milliseconds < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - NowMs()));
        int ready = poll(&wait, 1, left);
        if (ready == 0)
            return kOsTimedOut;
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t moved = ready < 0 ? -1
                        : send    ? ::send(worker->socket, bytes + done, size - done, MSG_NOSIGNAL)
                                  : recv(worker->socket, bytes + done, size - done, 0);
        if (moved <= 0)
            return kOsWorkerEnded;
        done += static_cast<int>(moved);
    }
    return kOsDone;
}

int OsWorkerSend(void *worker, const void *data, int size, int milliseconds) {
    return Transfer(worker, const_cast<void *>(data), size, milliseconds, true);
}

int OsWorkerReceive(void *worker, void *data, int size, int milliseconds) {
    return Transfer(worker, data, size, milliseconds, false);
}

unsigned long OsWorkerEnd(void *handle) {
    PosixWorker *worker = static_cast<PosixWorker *>(handle);
    close(worker->socket);
    int status = 0;
    if (waitpid(worker->pid, &status, WNOHANG) == 0) {
        kill(worker->pid, SIGKILL);
        waitpid(worker->pid, &status, 0);
        status = 0x100; // ended here: exit code 1
    }
    free(worker);
    if (WIFSIGNALED(status))
        return 0xC0000000UL | static_cast<unsigned long>(WTERMSIG(status));
    return WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : 1;
}

void OsWorkerClose(void *worker) {
    OsWorkerEnd(worker);
}

// A worker here is always a fork, handed its channel directly.
void *OsWorkerChannel() {
    return nullptr;
}

bool OsChannelRead(void *channel, void *data, int size) {
    char *bytes = static_cast<char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = recv(*static_cast<int *>(channel), bytes + done, size - done, 0);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}

bool OsChannelWrite(void *channel, const void *data, int size) {
    const char *bytes = static_cast<const char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = send(*static_cast<int *>(channel), bytes + done, size - done, MSG_NOSIGNAL);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}
