// The scan's worker on Windows, as the worker sees it: its channel, an
// inherited pipe handle named in its environment together with its parent's
// process id and a random value that the parent has already written into the
// channel. It takes the channel only when all three agree with what the
// system says.
#include "platform/worker.h"
#include "platform/win32/internal.h"

#include <winternl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using QueryProcess = LONG(WINAPI *)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

// The process that started this one.
DWORD ParentProcessId() {
    auto query = reinterpret_cast<QueryProcess>(
        ProcAddress(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic;
    memset(&basic, 0, sizeof basic);
    if (!query ||
        query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, NULL) != 0)
        return 0;
    return static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
}

// "<handle>:<parent's process id>:<32 hex digits>", nothing else.
bool ReadVariable(const char *text, HANDLE *channel, DWORD *parent, Greeting *greeting) {
    char *end = nullptr;
    if (*text < '0' || *text > '9')
        return false;
    unsigned long long handle = strtoull(text, &end, 10);
    if (*end != ':' || end[1] < '0' || end[1] > '9')
        return false;
    unsigned long pid = strtoul(end + 1, &end, 10);
    if (*end != ':' || strlen(end + 1) != 32 || strspn(end + 1, "0123456789ABCDEF") != 32)
        return false;
    greeting->mark = kGreetingMark;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        memcpy(part, end + 1 + 8 * i, 8);
        part[8] = '\0';
        greeting->random[i] = static_cast<uint32_t>(strtoul(part, nullptr, 16));
    }
    *channel = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
    *parent = static_cast<DWORD>(pid);
    return true;
}

} // namespace

void *OsWorkerChannel() {
    char value[96];
    DWORD length = GetEnvironmentVariableA(kWorkerVariable, value, sizeof value);
    if (length == 0)
        return nullptr;
    // Gone from both copies of the environment, whatever it named: not for
    // the data sources, nor for what a normal run starts.
    _putenv("CORVANE_WORKER_CHANNEL=");
    SetEnvironmentVariableA(kWorkerVariable, NULL);
    HANDLE channel;
    DWORD parent;
    Greeting expected;
    if (length >= sizeof value || !ReadVariable(value, &channel, &parent, &expected) ||
        parent == 0 || parent != ParentProcessId() || GetFileType(channel) != FILE_TYPE_PIPE)
        return nullptr;
    // The pipe's other end is the parent's, and the parent has written the
    // random value: it is there already, so nothing here waits.
    ULONG server = 0;
    Greeting greeting;
    DWORD peeked = 0;
    DWORD available = 0;
    if (!GetNamedPipeServerProcessId(channel, &server) || server != parent ||
        !PeekNamedPipe(channel, &greeting, sizeof greeting, &peeked, &available, NULL) ||
        peeked != sizeof greeting || memcmp(&greeting, &expected, sizeof greeting) != 0 ||
        !ReadFile(channel, &greeting, sizeof greeting, &peeked, NULL) || peeked != sizeof greeting)
        return nullptr;
    // A data source's child processes never get it.
    SetHandleInformation(channel, HANDLE_FLAG_INHERIT, 0);
    GuardWorker();
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
