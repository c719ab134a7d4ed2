// The scan's worker on Windows, as the worker sees it: its channel, an
// inherited pipe handle named in its environment together with its parent's
// process id and a random value that the parent has already written into the
// channel. It takes the channel only when all three agree with what the
// system says.
#include "platform/worker.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void *OsWorkerChannel() {
    char value[96];
    DWORD length = GetEnvironmentVariableA(kWorkerVariable, value, sizeof value);
    if (length == 0)
        return nullptr;
    // Gone from both copies of the environment, whatever it named: not for
    // the data sources, nor for what a normal run starts.
    _putenv("CORVANE_WORKER_CHANNEL=");
    SetEnvironmentVariableA(kWorkerVariable, NULL);
    ChannelClaim claim;
    if (length >= sizeof value || !ReadChannelClaim(value, &claim))
        return nullptr;
    // A worker whose parent ended as it started has nothing to do, and must
    // not run as a program of its own (its channel went with the parent).
    bool gone = false;
    DWORD parentId = ParentProcessId();
    HANDLE parent = claim.parent == parentId ? OpenParent(parentId, &gone) : NULL;
    if (gone)
        EndProcess(ERROR_PROCESS_ABORTED);
    HANDLE channel = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(claim.handle));
    // The parent has written the random value already: it is there, so
    // nothing here waits.
    ULONG server = 0;
    Greeting greeting;
    DWORD peeked = 0;
    DWORD available = 0;
    if (GetFileType(channel) != FILE_TYPE_PIPE || !GetNamedPipeServerProcessId(channel, &server) ||
        !PeekNamedPipe(channel, &greeting, sizeof greeting, &peeked, &available, NULL) ||
        !ChannelClaimHolds(claim, parentId, server, &greeting, peeked) ||
        !ReadFile(channel, &greeting, sizeof greeting, &peeked, NULL) ||
        peeked != sizeof greeting) {
        // The channel broke with the parent that made it: still no program of its own.
        if (parent && WaitForSingleObject(parent, 0) == WAIT_OBJECT_0)
            EndProcess(ERROR_PROCESS_ABORTED);
        if (parent)
            CloseHandle(parent);
        return nullptr;
    }
    // A data source's child processes never get it.
    SetHandleInformation(channel, HANDLE_FLAG_INHERIT, 0);
    GuardWorker();
    WatchParent(parent);
    return channel;
}

namespace {

// What has come of the channel and is not yet taken: a request and the next
// usually arrive in one read.
char Incoming[4096];
int IncomingStart;
int IncomingEnd;

} // namespace

bool OsChannelRead(void *channel, void *data, int size) {
    char *bytes = static_cast<char *>(data);
    for (int done = 0; done < size;) {
        if (IncomingStart == IncomingEnd) {
            DWORD moved = 0;
            if (!ReadFile(static_cast<HANDLE>(channel), Incoming, sizeof Incoming, &moved, NULL) ||
                moved == 0)
                return false;
            IncomingStart = 0;
            IncomingEnd = static_cast<int>(moved);
        }
        int taken =
            IncomingEnd - IncomingStart < size - done ? IncomingEnd - IncomingStart : size - done;
        memcpy(bytes + done, Incoming + IncomingStart, taken);
        IncomingStart += taken;
        done += taken;
    }
    return true;
}

bool OsChannelWrite(void *channel, const void *data, int size) {
    DWORD moved = 0;
    return WriteFile(static_cast<HANDLE>(channel), data, static_cast<DWORD>(size), &moved, NULL) &&
           moved == static_cast<DWORD>(size);
}
