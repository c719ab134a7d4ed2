// What becomes of a worker's answer, or of a failure: a source is left out
// only for what it does in a worker that has asked no other source. A failure
// in a worker that had served another source is asked again in a fresh
// worker, as it was asked, since what that one left may be to blame: when one
// that crashed, ended the process, failed to load or refused answers there,
// the source asked before it in that worker is noted as having left the
// worker changed. A failure the file itself explains (no entry, no
// module for this machine) is the same in every process, and is not asked
// again. A time-out is asked again only when the worker shows that something
// other than the source holds it (another thread has the system's loader), so
// that a hung source costs one limit and shows its boxes once. A crash or a
// process end in a fresh worker is asked again in a fresh worker with the
// program's identity as the origin; failing there too, the source is left out
// with its first failure. A worker that a source left changed, or where a
// thread it did not start came to run, asks no other.
#include "catalogue/workers.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/peheader.h"

namespace {

// Start-up is not the candidate's time.
constexpr unsigned kStartLimit = 60000;
// For a worker whose channel broke: time to end by itself and tell how.
constexpr int kEndWait = 10000;
// How often a worker that was ended is looked at, while one may wait for it.
constexpr int kEndingPoll = 5;

// Left out: the failure without the origin, where there was one.
void LeaveOut(Candidate *candidate, int32_t outcome, uint32_t code) {
    candidate->state = kAnswered;
    candidate->answer.outcome = candidate->withOrigin ? candidate->firstOutcome : outcome;
    candidate->answer.code = candidate->withOrigin ? candidate->firstCode : code;
}

// Asked again in a fresh worker, as it was asked: after is the source the
// worker asked before it (-1 for none to suspect).
void AskAfresh(Candidate *candidate, int after) {
    candidate->fresh = true;
    candidate->after = after;
}

// The slot's candidate failed with its worker.
void Failed(Slot *slot, int32_t outcome, uint32_t code, bool ended) {
    if (slot->asked < 0) // between candidates: a thread left behind, say
        return ReleaseSlot(slot, ended);
    Candidate &failed = Plan[slot->asked];
    bool used = slot->sent > 1;
    int after = slot->last;
    bool held = outcome == kTimedOut && used && OsWorkerLoaderHeld(slot->worker);
    ReleaseSlot(slot, ended);
    if (outcome == kTimedOut && held) {
        AskAfresh(&failed, -1);
    } else if (outcome != kTimedOut && used) {
        // A damaged answer or a closed channel is what the source did to it.
        AskAfresh(&failed, outcome == kCrashed || outcome == kEndedProcess ? after : -1);
    } else if ((outcome == kCrashed || outcome == kEndedProcess) && !failed.withOrigin) {
        AskAfresh(&failed, -1);
        failed.withOrigin = true;
        failed.firstOutcome = outcome;
        failed.firstCode = code;
    } else {
        LeaveOut(&failed, outcome, code);
    }
}

// Whether a source's failure in a used worker may be another source's doing:
// not when the file explains it, as it does in every process (no entry, not a
// module, built for another machine, cut short, not to be read).
bool Doubtful(const char *path, const WorkerAnswer &answer) {
    if (answer.outcome == kSourceAccepted || answer.outcome == kNoEntry)
        return false;
    return answer.outcome != kNotLoaded ||
           (answer.code != OsErrorBadFormat &&
            ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine) && ModuleWhole(path));
}

} // namespace

void Answer(Candidate *candidate, const WorkerAnswer &answer) {
    candidate->state = kAnswered;
    candidate->answer = answer;
    if (candidate->withOrigin && answer.outcome != kSourceAccepted)
        LeaveOut(candidate, answer.outcome, answer.code);
    // It answers alone where it failed after another: that one changed the worker.
    if (candidate->after < 0 || answer.outcome != kSourceAccepted)
        return;
    Candidate &before = Plan[candidate->after];
    before.changed = static_cast<int>(candidate - Plan);
    if (candidate->after < Answered)
        NoteLeftChanged(before.path, candidate->path);
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
    // A thread it did not start spoils its answer, but is no sign of the source before it.
    if (slot->sent > 1 && answer.state == kWorkerSpoiled) {
        AskAfresh(&candidate, -1);
        return ReleaseSlot(slot, false);
    }
    if (slot->sent > 1 && Doubtful(candidate.path, answer)) {
        AskAfresh(&candidate, slot->last);
        return ReleaseSlot(slot, false);
    }
    Answer(&candidate, answer);
    slot->last = slot->asked;
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
    // While another worker may still be started, or one ended may be gone.
    if (RunningSlots() < workers)
        sooner(kSlow);
    if (StillEnding(-1))
        sooner(kEndingPoll);
    return wait;
}
