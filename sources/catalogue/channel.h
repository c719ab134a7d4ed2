// The messages between the program and the scan's worker. Each request names a
// candidate file and carries a sequence number (1, 2, ... in each worker); each
// answer carries a fixed mark, the request's number and a check over its bytes,
// so that bytes a data source writes into the channel never pass for an answer.
// An answer also tells what the source left behind in the worker, that the
// worker declined the request because it was no longer as a fresh one, or that
// something the source did not start ran there while it was asked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TWLINK/twain.h"

constexpr uint32_t kRequestMark = 0x51525643; // "CVRQ"
constexpr uint32_t kAnswerMark = 0x4E415643;  // "CVAN"
constexpr uint32_t kReadyMark = 0x32575643;   // "CVW2": the first answer, number 0

// Followed by `length` bytes of the path (a full one), in one write.
struct WorkerRequest {
    uint32_t mark;
    uint32_t sequence;
    uint32_t length;
    uint32_t withOrigin; // 1: asked with the program's identity as the origin, else 0
};

// What an answer says of the worker besides the source's outcome.
enum WorkerState : uint32_t {
    kWorkerAsBefore, // the source left the worker as it found it
    kWorkerChanged,  // it left a thread running or a library loaded: the worker is done
    kWorkerDeclined, // changed before this request (nothing was asked): ask elsewhere
    // A thread that the source did not start came to run while it was asked
    // (an earlier source's): its answer may not be its own; ask it again in a
    // fresh worker. The worker is done.
    kWorkerSpoiled,
};

struct WorkerAnswer {
    uint32_t mark;
    uint32_t sequence;
    int32_t outcome; // a CandidateOutcome from kSourceAccepted to kIdentityRefused
    uint32_t code;
    unsigned char identity[sizeof(TW_IDENTITY)];
    uint32_t state;       // a WorkerState
    uint32_t withOrigin;  // 1: it answered only when asked again with the program's identity
    uint32_t threadsLeft; // what the source left: threads running,
    uint32_t modulesLeft; // libraries loaded, the first by name
    char moduleLeft[64];
    uint32_t check; // AnswerCheck of the bytes before it
};
static_assert(sizeof(WorkerAnswer) == 256, "the answer's layout is the channel's");
static_assert(offsetof(WorkerAnswer, check) == 252, "the check ends the answer");

// FNV-1a over every byte of the answer before its check.
constexpr uint32_t AnswerCheck(const unsigned char *bytes) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < offsetof(WorkerAnswer, check); ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

// A source may write past its 156-byte record; it gets far more room than that.
constexpr size_t kScratchSize = 65536;

// Whether an answer is one of a worker's, to the request with this number:
// its mark, number and check, and an outcome and state a worker gives.
bool AnswerAcceptable(const WorkerAnswer &answer, uint32_t mark, uint32_t sequence);

// Asks the data source in this process with a zeroed scratch record of
// kScratchSize bytes: the answer's outcome, code, identity and what the source
// left behind (the rest zero).
void AskInto(const char *path, bool withOrigin, unsigned char *scratch, WorkerAnswer *answer);

// The worker's own exit code when its channel breaks while neither a fault nor
// a process end came from a data source: small enough for every system's exit
// status, and no exception code.
constexpr unsigned kChannelLostExit = 0xC1;
