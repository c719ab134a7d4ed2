// What becomes of a worker's answer, or of a failure: a source is left out
// only for what it does in a worker that has asked no other source. A failure
// or a refusal in a worker that had served another source is asked again in a
// fresh worker, since what that one left may be to blame; a time-out only when
// the worker shows that something other than the source holds it (another
// thread has the system's loader), so that a hung source costs one limit and
// shows its boxes once. A crash or a process end is asked again in a fresh
// worker with the program's identity as the origin; failing there too, the
// source is left out with its first failure. A worker that a source left
// changed, or where a thread it did not start came to run, asks no other.
#include "catalogue/workers.h"
#include "platform/system.h"
#include "platform/worker.h"

namespace {

// Start-up is not the candidate's time.
constexpr unsigned kStartLimit = 60000;
// For a worker whose channel broke: time to end by itself and tell how.
constexpr int kEndWait = 10000;

// Left out: the failure without the origin, where there was one.
void LeaveOut(Candidate *candidate, int32_t outcome, uint32_t code) {
    candidate->state = kAnswered;
    candidate->answer.outcome = candidate->withOrigin ? candidate->firstOutcome : outcome;
    candidate->answer.code = candidate->withOrigin ? candidate->firstCode : code;
}

// The slot's candidate failed with its worker.
void Failed(Slot *slot, int32_t outcome, uint32_t code, bool ended) {
    if (slot->asked < 0) // between candidates: a thread left behind, say
        return ReleaseSlot(slot, ended);
    Candidate &failed = Plan[slot->asked];
    bool used = slot->sent > 1;
    bool again = outcome == kTimedOut ? used && OsWorkerLoaderHeld(slot->worker) : used;
    ReleaseSlot(slot, ended);
    if ((outcome == kCrashed || outcome == kEndedProcess) && !failed.withOrigin) {
        failed.fresh = true;
        failed.withOrigin = true;
        failed.firstOutcome = outcome;
        failed.firstCode = code;
    } else if (again) {
        failed.fresh = true;
    } else {
        LeaveOut(&failed, outcome, code);
    }
}

// An answer that a used worker may have caused: it did not answer, for a
// reason other than the file being built for another machine.
bool Doubtful(const WorkerAnswer &answer) {
    return answer.outcome != kSourceAccepted &&
           !(answer.outcome == kNotLoaded && answer.code == OsErrorBadFormat);
}

} // namespace

void Answer(Candidate *candidate, const WorkerAnswer &answer) {
    candidate->state = kAnswered;
    candidate->answer = answer;
    if (candidate->withOrigin && answer.outcome != kSourceAccepted)
        LeaveOut(candidate, answer.outcome, answer.code);
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
    Candidate &candidate = Plan[slot->asked];
    if (slot->sent > 1 && (answer.state == kWorkerSpoiled || Doubtful(answer))) {
        candidate.fresh = true;
        return ReleaseSlot(slot, false);
    }
    Answer(&candidate, answer);
    slot->asked = -1;
    // Whatever the source left there, no other source is asked in this worker.
    if (answer.state != kWorkerAsBefore)
        ReleaseSlot(slot, false);
}

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
    // While another worker may still be started.
    if (RunningSlots() < workers)
        sooner(kSlow);
    return wait;
}
