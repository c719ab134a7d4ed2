// The messages between the program and the scan's worker. Each request names a
// candidate file and carries a sequence number (1, 2, ... in each worker); each
// answer carries a fixed mark, the request's number and a check over its bytes,
// so that bytes a data source writes into the channel never pass for an answer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "TWLINK/twain.h"

constexpr uint32_t kRequestMark = 0x51525643; // "CVRQ"
constexpr uint32_t kAnswerMark = 0x4E415643;  // "CVAN"
constexpr uint32_t kReadyMark = 0x32575643;   // "CVW2": the first answer, number 0

// Followed by `length` bytes of the path, in one write.
struct WorkerRequest {
    uint32_t mark;
    uint32_t sequence;
    uint32_t length;
};

struct WorkerAnswer {
    uint32_t mark;
    uint32_t sequence;
    int32_t outcome; // a CandidateOutcome from kSourceAccepted to kIdentityRefused
    uint32_t code;
    unsigned char identity[sizeof(TW_IDENTITY)];
    uint32_t check; // AnswerCheck of the bytes before it
};
static_assert(sizeof(WorkerAnswer) == 176, "the answer's layout is the channel's");
static_assert(offsetof(WorkerAnswer, check) == 172, "the check follows the identity");

// FNV-1a over every byte of the answer before its check.
constexpr uint32_t AnswerCheck(const unsigned char *bytes) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < offsetof(WorkerAnswer, check); ++i)
        hash = (hash ^ bytes[i]) * 16777619u;
    return hash;
}

// A source may write past its 156-byte record; it gets far more room than that.
constexpr size_t kScratchSize = 65536;

// Asks the data source in this process with a zeroed scratch record of
// kScratchSize bytes: the answer's outcome, code and identity (the rest zero).
void AskInto(const char *path, unsigned char *scratch, WorkerAnswer *answer);

// The worker's own exit code when its channel breaks while neither a fault nor
// a process end came from a data source: small enough for every system's exit
// status, and no exception code.
constexpr unsigned kChannelLostExit = 0xC1;
