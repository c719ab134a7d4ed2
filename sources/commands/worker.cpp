// The scan's worker: the data sources are loaded, asked and freed in a second
// run of the program, so that none of them can end, hang or corrupt the run.
// The program sends candidates' paths (a few ahead) and receives, in the same
// order, what came of each; a worker that ends or runs past the time limit is
// replaced.
#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "commands/commands.h"
#include "platform/modules.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

constexpr uint32_t kWorkerReady = 0x31575643; // "CVW1"
// Far beyond any path the system loads from: such a one just does not load.
constexpr uint32_t kLongestPath = 16 << 20;
// A source may write past its 156-byte record; it gets far more room than that.
constexpr size_t kScratchSize = 65536;
// Start-up is not the candidate's time.
constexpr int kStartLimit = 60000;
constexpr int kLongestLimit = 86400;

struct WorkerReply {
    int32_t outcome;
    uint32_t code;
    unsigned char identity[sizeof(TW_IDENTITY)];
};

void *Worker; // the running worker, null before the first candidate

// The candidate paths of the folder being scanned, in scan order: Plan[Answered]
// is the next to be answered, Plan[Answered..Sent) are with the worker. A few are
// sent ahead, so the worker never waits for the next, but never more than the
// catalogue could still accept: nothing past its limit is loaded.
constexpr int kAhead = 4;
char **Plan;
int PlanCount;
int Answered;
int Sent;

void ForgetPlan() {
    for (int i = 0; i < PlanCount; ++i)
        free(Plan[i]);
    free(Plan);
    Plan = nullptr;
    PlanCount = Answered = Sent = 0;
}

int SendAhead(int limit) {
    int room = kCatalogLimit - SourceCatalog.count;
    int last = Answered + (room < kAhead ? room : kAhead);
    for (; Sent < last && Sent < PlanCount; ++Sent) {
        // One write: the length, then the path.
        uint32_t length = static_cast<uint32_t>(strlen(Plan[Sent]));
        auto *request = static_cast<char *>(MemAlloc(static_cast<int32_t>(sizeof length + length)));
        memcpy(request, &length, sizeof length);
        memcpy(request + sizeof length, Plan[Sent], length);
        int state = OsWorkerSend(Worker, request, static_cast<int>(sizeof length + length), limit);
        free(request);
        if (state != kOsDone)
            return state;
    }
    return kOsDone;
}

// A start can fail for a moment (Wine, under load, now and then fails a
// process start): it is tried again before the sources are asked in here.
constexpr int kStartTries = 3;

bool StartWorker() {
    for (int attempt = 0; attempt < kStartTries; ++attempt) {
        Worker = OsWorkerStart();
        uint32_t ready = 0;
        if (Worker && OsWorkerReceive(Worker, &ready, sizeof ready, kStartLimit) == kOsDone &&
            ready == kWorkerReady)
            return true;
        if (Worker)
            OsWorkerEnd(Worker);
        Worker = nullptr;
    }
    return false;
}

// Where no worker can be started (a system that forbids a program to start
// itself), in this process as before: a fault or the process ending then ends
// the run naming the source, and the watchdog ends a source that hangs.
CandidateOutcome AskHere(const char *path, TW_IDENTITY *identity, uint32_t *code, int seconds) {
    auto *scratch = static_cast<TW_IDENTITY *>(MemAlloc(static_cast<int32_t>(kScratchSize)));
    memset(scratch, 0, kScratchSize);
    OsForeignLimit(static_cast<unsigned>(seconds) * 1000);
    CandidateOutcome outcome = AskModule(path, scratch, code);
    memcpy(identity, scratch, sizeof *identity);
    free(scratch);
    return outcome;
}

// The worker's answer for Plan[Answered]; false when it ended or ran out of
// time, the outcome and code then saying which, and whatever it still had is
// sent again to the next one.
bool Exchange(WorkerReply *reply, int limit) {
    int state = SendAhead(limit);
    if (state == kOsDone)
        state = OsWorkerReceive(Worker, reply, sizeof *reply, limit);
    if (state == kOsDone && reply->outcome >= kSourceAccepted && reply->outcome <= kIdentityRefused)
        return true;
    unsigned long exitCode = OsWorkerEnd(Worker);
    Worker = nullptr;
    Sent = Answered;
    if (state == kOsTimedOut) {
        reply->outcome = kTimedOut;
        reply->code = static_cast<uint32_t>(limit / 1000);
    } else {
        // An exception code (NTSTATUS error) as exit code: the worker faulted.
        reply->outcome = (exitCode & 0xC0000000UL) == 0xC0000000UL ? kCrashed : kEndedProcess;
        reply->code = static_cast<uint32_t>(exitCode);
    }
    return false;
}

} // namespace

int ScanWorkerMain(void *channel) {
    uint32_t ready = kWorkerReady;
    auto *scratch = static_cast<unsigned char *>(malloc(kScratchSize));
    bool going = scratch && OsChannelWrite(channel, &ready, sizeof ready);
    uint32_t length = 0;
    while (going && OsChannelRead(channel, &length, sizeof length) && length <= kLongestPath) {
        char *path = static_cast<char *>(malloc(length + 1));
        going = path && OsChannelRead(channel, path, static_cast<int>(length));
        if (going) {
            path[length] = '\0';
            memset(scratch, 0, kScratchSize);
            WorkerReply reply{};
            reply.outcome = AskModule(path, reinterpret_cast<TW_IDENTITY *>(scratch), &reply.code);
            memcpy(reply.identity, scratch, sizeof reply.identity);
            going = OsChannelWrite(channel, &reply, sizeof reply);
        }
        free(path);
    }
    free(scratch);
    return 0;
}

void PlanCandidates(const char *folder, StringList names) {
    ForgetPlan();
    int count = 0;
    while (names[count] != nullptr)
        ++count;
    Plan = static_cast<char **>(MemAlloc(static_cast<int32_t>((count + 1) * sizeof(char *))));
    for (PlanCount = 0; PlanCount < count; ++PlanCount)
        Plan[PlanCount] = PathJoin(folder, names[PlanCount]);
}

CandidateOutcome AskInWorker(const char *path, TW_IDENTITY *identity, uint32_t *code) {
    int seconds = SourceTimeLimit();
    int limit = seconds > 0 ? seconds * 1000 : -1;
    // A candidate that is not the one planned next is asked on its own.
    if (Answered >= PlanCount || strcmp(Plan[Answered], path) != 0) {
        if (Worker && Sent > Answered) { // its answers would be taken for others
            OsWorkerEnd(Worker);
            Worker = nullptr;
        }
        ForgetPlan();
        Plan = static_cast<char **>(MemAlloc(static_cast<int32_t>(sizeof(char *))));
        Plan[PlanCount++] = StrDup(path);
    }
    WorkerReply reply{};
    // A worker that ended may have been taken down by a thread an earlier source
    // left behind: the candidate is tried once more in a fresh one before it is
    // blamed. A timeout is not tried again, which would double the wait.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!Worker && !StartWorker()) {
            ++Answered;
            Sent = Answered;
            return AskHere(path, identity, code, seconds);
        }
        if (Exchange(&reply, limit)) {
            memcpy(identity, reply.identity, sizeof *identity);
            break;
        }
        if (reply.outcome == kTimedOut)
            break;
    }
    ++Answered;
    if (Sent < Answered)
        Sent = Answered;
    *code = reply.code;
    return static_cast<CandidateOutcome>(reply.outcome);
}

void EndScanWorker() {
    ForgetPlan();
    if (Worker)
        OsWorkerClose(Worker);
    Worker = nullptr;
}

int SourceTimeLimit() {
    const char *text = VarGet("ds_timeout");
    if (*text == '\0')
        return 30;
    // Digits only: a sign, a fraction or a unit is no silent default.
    size_t length = strlen(text);
    int seconds = strspn(text, "0123456789") == length && length <= 5 ? atoi(text) : -1;
    if (seconds < 0 || seconds > kLongestLimit)
        Fatal("file: %s section: Settings - setting 'ds_timeout' is not a whole number of "
              "seconds from 0 to %d: %s",
              SettingsPath, kLongestLimit, text);
    return seconds;
}

bool LeftOut(int32_t outcome) {
    return outcome == kCrashed || outcome == kEndedProcess || outcome == kTimedOut;
}

void PutLeftOut(char *text, size_t size, int32_t outcome, uint32_t code) {
    if (outcome == kCrashed)
        snprintf(text, size, "crashed (exception 0x%08X)", static_cast<unsigned>(code));
    else if (outcome == kEndedProcess)
        snprintf(text, size, "ended the process (exit code %u)", static_cast<unsigned>(code));
    else
        snprintf(text, size, "did not answer within %u s", static_cast<unsigned>(code));
}
