// The scan's workers: the data sources are loaded, asked and freed in other
// runs of the program, so that none of them can end, hang or corrupt the run.
// The program knows every candidate before the first is asked. It sends them
// to a worker in scan order; when an answer is slow to come, it starts more
// workers (up to ds_workers) and sends them the next candidates, so that slow
// sources are asked side by side. Answers are taken in scan order, so every
// output is what one worker would give. A worker that ends, breaks its channel,
// sends a damaged answer, runs past the time limit or was left changed by a
// source (a thread running, a library loaded) is ended and replaced. Only a
// failure in a fresh worker counts against a source; a crash or a process end
// there is asked once more with the program's identity as the origin.
// What a worker itself does is in workerloop.cpp.
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "catalogue/channel.h"
#include "catalogue/catalogue.h"
#include "platform/files.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"

bool ScanInProcess;
unsigned ScanStartError;

namespace {

// Start-up is not the candidate's time.
constexpr unsigned kStartLimit = 60000;
// An answer this late marks a slow source: another worker may start, one at
// most this often. A worker holds one candidate at a time, so that none waits
// behind a slow one (sending more ahead gained nothing measurable).
constexpr unsigned kSlow = 50;
// A start can fail for a moment (Wine, under load, now and then fails a
// process start): it is tried again before the sources are asked in here.
constexpr int kStartTries = 3;
// For a worker whose channel broke: time to end by itself and tell how.
constexpr int kEndWait = 10000;
// Room for a candidate's full path; a longer one is sent as found.
constexpr int kFullPathRoom = 4096;

enum PlanState : int { kUnsent, kOut, kAnswered };

struct Slot {
    void *worker;   // null: free
    bool ready;     // its ready message has come
    uint32_t sent;  // sequence number of the latest request
    int asked;      // the candidate it holds, or -1
    unsigned since; // when its start, or its candidate's time, began
};

struct Candidate {
    char *path; // as the scan found it
    int state;
    bool fresh;           // to be asked in a worker that has served no other source
    bool withOrigin;      // to be asked with the program's identity as the origin
    int32_t firstOutcome; // its failure without the origin
    uint32_t firstCode;
    WorkerAnswer answer;
};

Candidate *Plan;
int PlanCount;
int Answered; // Plan[Answered] is the next the scan takes
Slot Slots[kMostWorkers];
unsigned LastStart;
int StartFailures; // in this run; at kStartTries no worker is started any more

void ForgetPlan() {
    for (int i = 0; i < PlanCount; ++i)
        free(Plan[i].path);
    free(Plan);
    Plan = nullptr;
    PlanCount = Answered = 0;
}

int RunningSlots() {
    int running = 0;
    for (const Slot &slot : Slots)
        running += slot.worker != nullptr;
    return running;
}

bool StartSlot(Slot *slot) {
    for (; StartFailures < kStartTries; ++StartFailures) {
        slot->worker = OsWorkerStart(sizeof(WorkerAnswer));
        if (slot->worker) {
            slot->ready = false;
            slot->sent = 0;
            slot->asked = -1;
            slot->since = LastStart = OsMilliseconds();
            return true;
        }
        ScanStartError = OsLastError();
    }
    return false;
}

// Its candidate goes back to be sent again; its worker is ended.
void ReleaseSlot(Slot *slot, bool ended) {
    if (slot->asked >= 0)
        Plan[slot->asked].state = kUnsent;
    if (!ended)
        OsWorkerEnd(slot->worker, 0, 1);
    slot->worker = nullptr;
    slot->asked = -1;
}

// A worker that never became ready did not start: nothing is blamed.
void StartFailure(Slot *slot, unsigned error, bool ended) {
    ReleaseSlot(slot, ended);
    ScanStartError = error;
    ++StartFailures;
}

// Left out: the failure without the origin, where there was one.
void LeaveOut(Candidate *candidate, int32_t outcome, uint32_t code) {
    candidate->state = kAnswered;
    candidate->answer.outcome = candidate->withOrigin ? candidate->firstOutcome : outcome;
    candidate->answer.code = candidate->withOrigin ? candidate->firstCode : code;
}

// A candidate asked with the origin that does not answer then either is left
// out with its failure without the origin.
void Answer(Candidate *candidate, const WorkerAnswer &answer) {
    candidate->state = kAnswered;
    candidate->answer = answer;
    if (candidate->withOrigin && answer.outcome != kSourceAccepted)
        LeaveOut(candidate, answer.outcome, answer.code);
}

// The slot's candidate failed with its worker. In a worker that had served
// another source, what that one left may be to blame: asked again in a fresh
// worker. In a fresh worker it counts: a crash or a process end is asked once
// more with the origin, anything else is left out.
void Failed(Slot *slot, int32_t outcome, uint32_t code, bool ended) {
    if (slot->asked < 0) // between candidates: a thread left behind, say
        return ReleaseSlot(slot, ended);
    Candidate &failed = Plan[slot->asked];
    bool used = slot->sent > 1;
    ReleaseSlot(slot, ended);
    failed.fresh = true;
    if (used)
        return;
    if (!failed.withOrigin && (outcome == kCrashed || outcome == kEndedProcess)) {
        failed.withOrigin = true;
        failed.firstOutcome = outcome;
        failed.firstCode = code;
        return;
    }
    LeaveOut(&failed, outcome, code);
}

void Take(Slot *slot) {
    WorkerAnswer answer;
    int state = OsWorkerReceive(slot->worker, &answer);
    if (state == kOsTimedOut)
        return;
    if (state == kOsWorkerEnded) {
        unsigned long exitCode = OsWorkerEnd(slot->worker, kEndWait, kChannelLostExit);
        if (!slot->ready)
            return StartFailure(slot, static_cast<unsigned>(exitCode), true);
        // An exception code (NTSTATUS error) as exit code: the worker faulted.
        if ((exitCode & 0xC0000000UL) == 0xC0000000UL)
            return Failed(slot, kCrashed, static_cast<uint32_t>(exitCode), true);
        if (exitCode == kChannelLostExit)
            return Failed(slot, kClosedChannel, 0, true);
        return Failed(slot, kEndedProcess, static_cast<uint32_t>(exitCode), true);
    }
    if (!slot->ready) {
        if (!AnswerAcceptable(answer, kReadyMark, 0))
            return StartFailure(slot, static_cast<unsigned>(OsWorkerEnd(slot->worker, 0, 1)), true);
        slot->ready = true;
        slot->since = OsMilliseconds();
        return;
    }
    // Nothing of a damaged answer is kept; the worker that sent it is done.
    if (slot->asked < 0 || !AnswerAcceptable(answer, kAnswerMark, slot->sent))
        return slot->asked < 0 ? ReleaseSlot(slot, false) : Failed(slot, kDamagedAnswer, 0, false);
    // A worker that declined asked nothing: the candidate goes elsewhere.
    if (answer.state == kWorkerDeclined)
        return ReleaseSlot(slot, false);
    Answer(&Plan[slot->asked], answer);
    slot->asked = -1;
    // Whatever the source left there, no other source is asked in this worker.
    if (answer.state == kWorkerChanged)
        ReleaseSlot(slot, false);
}

// The candidate's full path: the worker's working folder is not the program's.
char *FullPath(const char *path) {
    char full[kFullPathRoom];
    int length = OsFullPath(path, full, sizeof full);
    return StrDup(length > 0 && length < kFullPathRoom ? full : path);
}

bool Send(Slot *slot, int index, int limit) {
    char *path = FullPath(Plan[index].path);
    WorkerRequest request = {kRequestMark, slot->sent + 1, static_cast<uint32_t>(strlen(path)),
                             Plan[index].withOrigin ? 1u : 0u};
    // One write: the request, then the path.
    auto *bytes =
        static_cast<char *>(MemAlloc(static_cast<int32_t>(sizeof request + request.length)));
    memcpy(bytes, &request, sizeof request);
    memcpy(bytes + sizeof request, path, request.length);
    free(path);
    int state =
        OsWorkerSend(slot->worker, bytes, static_cast<int>(sizeof request + request.length), limit);
    free(bytes);
    if (state != kOsDone)
        return false; // the wait finds out what became of the worker
    if (slot->ready)
        slot->since = OsMilliseconds();
    ++slot->sent;
    slot->asked = index;
    Plan[index].state = kOut;
    return true;
}

// A slot that may take the candidate now; a fresh worker for one that failed
// in a worker before. Null when none can.
Slot *SlotFor(const Candidate &candidate, int workers) {
    Slot *best = nullptr;
    Slot *free = nullptr;
    Slot *idle = nullptr;
    for (Slot &slot : Slots) {
        if (&slot - Slots >= workers)
            break;
        if (!slot.worker) {
            free = free ? free : &slot;
        } else if (slot.asked < 0) {
            idle = &slot;
            if (!candidate.fresh || slot.sent == 0)
                best = &slot;
        }
    }
    // A worker that has asked others makes way for a fresh one.
    if (!best && !free && idle && candidate.fresh) {
        ReleaseSlot(idle, false);
        free = idle;
    }
    if (best || !free)
        return best;
    // Another worker: for a candidate to be tried again, for the first, or
    // when a source is slow to answer.
    bool slow = false;
    unsigned now = OsMilliseconds();
    for (const Slot &slot : Slots)
        slow = slow || (slot.worker && slot.ready && slot.asked >= 0 && now - slot.since >= kSlow);
    bool wanted = candidate.fresh || RunningSlots() == 0 || (slow && now - LastStart >= kSlow);
    return wanted && StartSlot(free) ? free : nullptr;
}

// Sends what may go out: never a candidate the catalogue could not still take.
void Dispatch(int limit, int workers) {
    int room = kCatalogLimit - SourceCatalog.count;
    int end = Answered + room < PlanCount ? Answered + room : PlanCount;
    for (int i = Answered; i < end; ++i) {
        if (Plan[i].state != kUnsent)
            continue;
        Slot *slot = SlotFor(Plan[i], workers);
        if (slot && !Send(slot, i, limit))
            break;
    }
}

// Ends the workers whose time is up; the time to wait for the next event, at
// most kSlow while another worker may still be started.
int Deadlines(int limit, int workers) {
    unsigned now = OsMilliseconds();
    int wait = -1;
    auto sooner = [&wait](long long left) {
        int ms = left < 0 ? 0 : static_cast<int>(left);
        wait = wait < 0 || ms < wait ? ms : wait;
    };
    for (Slot &slot : Slots) {
        if (!slot.worker)
            continue;
        unsigned spent = now - slot.since;
        if (!slot.ready) {
            if (spent >= kStartLimit)
                StartFailure(&slot, OsErrorTimedOut, false);
            else
                sooner(static_cast<long long>(kStartLimit) - spent);
        } else if (slot.asked >= 0) {
            if (limit >= 0 && spent >= static_cast<unsigned>(limit))
                Failed(&slot, kTimedOut, static_cast<uint32_t>(limit / 1000), false);
            else if (limit >= 0)
                sooner(static_cast<long long>(limit) - spent);
        }
    }
    if (RunningSlots() < workers)
        sooner(kSlow);
    return wait;
}

// Where no worker can be started (a system that forbids a program to start
// itself), in this process as before: a fault or the process ending then ends
// the run naming the source, and the watchdog ends a source that hangs.
void AskHere(Candidate *candidate, int seconds) {
    if (!ScanInProcess) {
        ScanInProcess = true;
        char text[256];
        PutInProcess(text, sizeof text);
        LogPrint("%s", text);
    }
    auto *scratch = static_cast<unsigned char *>(MemAlloc(static_cast<int32_t>(kScratchSize)));
    OsForeignLimit(static_cast<unsigned>(seconds) * 1000);
    char *path = FullPath(candidate->path);
    WorkerAnswer answer;
    AskInto(path, candidate->withOrigin, scratch, &answer);
    free(path);
    // The program's own working folder is where the user's relative paths lead.
    OsRestoreWorkingFolder();
    free(scratch);
    Answer(candidate, answer);
}

void EndWorkers() {
    for (Slot &slot : Slots) {
        if (slot.worker)
            OsWorkerClose(slot.worker);
        slot.worker = nullptr;
        slot.asked = -1;
    }
}

} // namespace

void PlanCandidates(StringList paths) {
    ForgetPlan();
    int count = 0;
    while (paths[count] != nullptr)
        ++count;
    Plan = static_cast<Candidate *>(calloc(count + 1, sizeof(Candidate)));
    if (!Plan)
        Fatal("Out of memory");
    for (PlanCount = 0; PlanCount < count; ++PlanCount)
        Plan[PlanCount].path = StrDup(paths[PlanCount]);
}

CandidateOutcome AskInWorker(const char *path, TW_IDENTITY *identity, uint32_t *code,
                             CandidateNotes *notes) {
    int seconds = SourceTimeLimit();
    int workers = SourceWorkers();
    int limit = seconds > 0 ? seconds * 1000 : -1;
    // A candidate that is not the one planned next is asked on its own.
    if (Answered >= PlanCount || strcmp(Plan[Answered].path, path) != 0) {
        for (Slot &slot : Slots)
            if (slot.worker && slot.asked >= 0) // its answer would be taken for another
                ReleaseSlot(&slot, false);
        char *single[] = {const_cast<char *>(path), nullptr};
        PlanCandidates(single);
    }
    Candidate &candidate = Plan[Answered];
    while (candidate.state != kAnswered) {
        Dispatch(limit, workers);
        if (candidate.state == kUnsent && RunningSlots() == 0 && StartFailures >= kStartTries) {
            AskHere(&candidate, seconds);
            break;
        }
        int wait = Deadlines(limit, workers);
        void *running[kMostWorkers];
        Slot *owners[kMostWorkers];
        int count = 0;
        for (Slot &slot : Slots)
            if (slot.worker) {
                running[count] = slot.worker;
                owners[count++] = &slot;
            }
        int which =
            count > 0 && candidate.state != kAnswered ? OsWorkerWait(running, count, wait) : -1;
        if (which >= 0)
            Take(owners[which]);
    }
    ++Answered;
    const WorkerAnswer &answer = candidate.answer;
    *code = answer.code;
    if (answer.outcome <= kIdentityRefused)
        memcpy(identity, answer.identity, sizeof *identity);
    notes->withOrigin = candidate.withOrigin;
    PutLeftBehind(notes->left, sizeof notes->left, answer.threadsLeft, answer.modulesLeft,
                  answer.moduleLeft, answer.state == kWorkerChanged);
    return static_cast<CandidateOutcome>(answer.outcome);
}

void StartScanWorker() {
    if (RunningSlots() == 0)
        StartSlot(&Slots[0]);
}

void EndScanWorker() {
    ForgetPlan();
    EndWorkers();
    StartFailures = 0; // a later scan of the run tries again
}
