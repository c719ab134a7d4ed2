// The gate of the scan's worker: a process takes the channel an environment
// variable names only when it comes from its own parent. What the gate decides
// on is kept apart from the system calls that gather it, so that each of its
// checks can be tried on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// What the program writes into the channel before the worker runs.
constexpr uint32_t kGreetingMark = 0x4C485643; // "CVHL"
struct Greeting {
    uint32_t mark;
    uint32_t random[4];
};

// What the variable claims: the worker's end of the channel, the parent's
// process id and the random value the parent has written into the channel.
struct ChannelClaim {
    uint64_t handle;
    uint32_t parent;
    Greeting greeting;
};

// Reads "<handle>:<parent's process id>:<32 hex digits>", nothing else.
inline bool ReadChannelClaim(const char *text, ChannelClaim *claim) {
    char *end = nullptr;
    if (*text < '0' || *text > '9')
        return false;
    claim->handle = strtoull(text, &end, 10);
    if (*end != ':' || end[1] < '0' || end[1] > '9')
        return false;
    unsigned long parent = strtoul(end + 1, &end, 10);
    if (*end != ':' || strlen(end + 1) != 32 || strspn(end + 1, "0123456789ABCDEF") != 32 ||
        parent == 0 || parent > UINT32_MAX)
        return false;
    claim->parent = static_cast<uint32_t>(parent);
    claim->greeting.mark = kGreetingMark;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        memcpy(part, end + 1 + 8 * i, 8);
        part[8] = '\0';
        claim->greeting.random[i] = static_cast<uint32_t>(strtoul(part, nullptr, 16));
    }
    return true;
}

// Whether the claim holds: the process's real parent is the one named, the
// channel's other end belongs to that parent, and what waits in the channel
// is the random value named.
inline bool ChannelClaimHolds(const ChannelClaim &claim, uint32_t realParent, uint32_t pipeServer,
                              const void *waiting, size_t waitingSize) {
    return claim.parent == realParent && pipeServer == realParent &&
           waitingSize == sizeof claim.greeting &&
           memcmp(waiting, &claim.greeting, sizeof claim.greeting) == 0;
}
