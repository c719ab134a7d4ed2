// What becomes of a worker's answer, or of a failure: a source is left out
// only for what it does in a worker that has asked no other source, and an
// earlier source is blamed only where its effect is seen again. A failure in
// a worker that had served another source is asked again alone, in a fresh
// worker, as a failure there would be (a crash or a process end with the
// program's identity as the origin). When it answers there, it is tried: asked
// once more in a fresh worker right after the source it failed after, as then.
// Only when the failure comes back is that source noted as having left the
// worker changed, and the tried one listed as alone; when it does not, nobody
// is blamed, and the source stands as a fresh worker has it (left out for a
// refusal or a failed load, listed with a note after a crash). A failure the
// file itself explains (no entry, no module for this machine, a DLL the
// loader does not find or cannot load) is the same in every process: it
// stands wherever it came, and such a file is never loaded again for a trial. A time-out is asked
// again only when the worker shows that something other than the source
// holds it (another thread has the system's loader), so that a hung source
// costs one limit and shows its boxes once. A worker that a source left
// changed, or where a thread it did not start came to run, asks no other.
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

// Asked again in a fresh worker: after is the source the worker asked before
// it (-1 for none to suspect).
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
    bool suspectAnswered = slot->ahead < 0;
    int after = slot->last;
    bool held = outcome == kTimedOut && used && OsWorkerLoaderHeld(slot->worker);
    bool fault = outcome == kCrashed || outcome == kEndedProcess;
    ReleaseSlot(slot, ended);
    if (failed.trial) {
        Settle(&failed, fault && suspectAnswered);
    } else if (outcome == kTimedOut && held) {
        AskAfresh(&failed, -1);
    } else if (fault && !failed.withOrigin) {
        AskAfresh(&failed, used ? after : -1);
        failed.withOrigin = true;
        failed.firstOutcome = outcome;
        failed.firstCode = code;
    } else if (outcome != kTimedOut && used) {
        // A damaged answer or a closed channel is what the source did to it.
        AskAfresh(&failed, -1);
    } else {
        LeaveOut(&failed, outcome, code);
    }
}

// Whether the file explains a source's failure, as it does in every process:
// no entry (its DllMain ran, and would run again), not a module, built for
// another machine, cut short, not to be read, or needing a DLL that the
// loader does not find or cannot load.
bool Explained(const char *path, const WorkerAnswer &answer) {
    if (answer.outcome != kNotLoaded)
        return answer.outcome == kNoEntry;
    return answer.code == OsErrorBadFormat ||
           ModuleMachine(path) != static_cast<int32_t>(OsProgramMachine) || !ModuleWhole(path) ||
           (answer.code == OsErrorModuleNotFound && DllsKeepOut(path));
}

} // namespace

void Answer(Candidate *candidate, const WorkerAnswer &answer) {
    candidate->state = kAnswered;
    candidate->answer = answer;
    if (candidate->withOrigin && answer.outcome != kSourceAccepted)
        LeaveOut(candidate, answer.outcome, answer.code);
    // It answers alone where it failed after another: it goes on trial.
    if (candidate->after >= 0 && answer.outcome == kSourceAccepted) {
        candidate->state = kUnsent;
        candidate->trial = true;
    }
}

void Settle(Candidate *candidate, bool again) {
    candidate->state = kAnswered;
    candidate->trial = false;
    if (again) {
        // The other's doing: listed as it answered alone.
        Candidate &before = Plan[candidate->after];
        before.changed = static_cast<int>(candidate - Plan);
        if (candidate->after < Answered)
            NoteLeftChanged(before.path, candidate->path);
        candidate->withOrigin = false;
    } else if (!candidate->withOrigin) {
        // Its own: a refusal or a failed load stands, as in a fresh worker.
        candidate->answer.outcome = candidate->firstOutcome;
        candidate->answer.code = candidate->firstCode;
    }
    candidate->after = -1;
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
    // The suspect asked ahead of a candidate on trial: the trial holds only
    // while it leaves the worker as it found it, as it did then.
    if (slot->ahead >= 0) {
        slot->ahead = -1;
        slot->since = OsMilliseconds();
        if (AnswerAcceptable(answer, kAnswerMark, slot->sent - 1) &&
            answer.state == kWorkerAsBefore)
            return;
        Candidate &tried = Plan[slot->asked];
        ReleaseSlot(slot, false);
        return Settle(&tried, false);
    }
    // Nothing of a damaged answer is kept; the worker that sent it is done.
    if (slot->asked < 0 || !AnswerAcceptable(answer, kAnswerMark, slot->sent))
        return slot->asked < 0 ? ReleaseSlot(slot, false) : Failed(slot, kDamagedAnswer, 0, false);
    Candidate &candidate = Plan[slot->asked];
    if (candidate.trial) {
        bool again = answer.outcome != kSourceAccepted && answer.state != kWorkerDeclined &&
                     answer.state != kWorkerSpoiled;
        ReleaseSlot(slot, false);
        return Settle(&candidate, again);
    }
    // A worker that declined asked nothing: the candidate goes elsewhere.
    if (answer.state == kWorkerDeclined)
        return ReleaseSlot(slot, false);
    bool explained = Explained(candidate.path, answer);
    // A thread it did not start spoils its answer, but is no sign of the source before it.
    if (slot->sent > 1 && !explained && answer.state == kWorkerSpoiled) {
        AskAfresh(&candidate, -1);
        return ReleaseSlot(slot, false);
    }
    if (slot->sent > 1 && !explained && answer.outcome != kSourceAccepted) {
        AskAfresh(&candidate, slot->last);
        candidate.firstOutcome = answer.outcome;
        candidate.firstCode = answer.code;
        return ReleaseSlot(slot, false);
    }
    Answer(&candidate, answer);
    if (!explained) // such a file is not loaded again to try another source
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
