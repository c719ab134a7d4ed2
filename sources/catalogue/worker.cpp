// The scan's workers: the data sources are loaded, asked and freed in other
// runs of the program, so that none of them can end, hang or corrupt the run,
// and each as if it were alone. The program knows every candidate before the
// first is asked, and hands them to workers (dispatch.cpp), several side by
// side; the answers are taken in scan order (answers.cpp), so every output is
// what asking each source alone would give. What a worker itself does is in
// workerloop.cpp.
#include <cstdlib>
#include <cstring>

#include "catalogue/workers.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

void ForgetPlan() {
    for (int i = 0; i < PlanCount; ++i)
        free(Plan[i].path);
    free(Plan);
    Plan = nullptr;
    PlanCount = Answered = 0;
}

// The length of the path's folder, up to its last backslash.
size_t FolderLength(const char *path) {
    const char *slash = LastChar(path, '\\');
    return slash ? static_cast<size_t>(slash - path) : 0;
}

// Where no worker can be started (a system that forbids a program to start
// itself), in this process as before: a fault or the process ending then ends
// the run naming the source, and the watchdog ends a source that hangs.
void AskHere(Candidate *candidate, int seconds) {
    // Nothing here is as in a fresh worker: no trial, nobody blamed.
    if (candidate->trial)
        return Settle(candidate, false);
    if (!ScanInProcess) {
        ScanInProcess = true;
        char text[256];
        PutInProcess(text, sizeof text);
        LogPrint("%s", text);
    }
    auto *scratch = static_cast<unsigned char *>(MemAlloc(static_cast<int32_t>(kScratchSize)));
    OsForeignLimit(static_cast<unsigned>(seconds) * 1000);
    WorkerAnswer answer;
    AskInto(candidate->path, candidate->withOrigin, scratch, &answer);
    // The program's own working folder is where the user's relative paths lead.
    OsRestoreWorkingFolder();
    free(scratch);
    Answer(candidate, answer);
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
    for (PlanCount = 0; PlanCount < count; ++PlanCount) {
        Candidate &candidate = Plan[PlanCount];
        candidate.path = StrDup(paths[PlanCount]);
        candidate.after = candidate.changed = -1;
        // The scan lists each folder's files together.
        const char *before = PlanCount > 0 ? Plan[PlanCount - 1].path : nullptr;
        size_t length = FolderLength(candidate.path);
        bool same = before && FolderLength(before) == length &&
                    strncmp(before, candidate.path, length) == 0;
        candidate.folder = PlanCount == 0 ? 0 : Plan[PlanCount - 1].folder + (same ? 0 : 1);
    }
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
    notes->withOrigin = candidate.withOrigin || answer.withOrigin == 1;
    notes->firstOutcome = candidate.withOrigin ? candidate.firstOutcome : kSourceAccepted;
    notes->firstCode = candidate.withOrigin ? candidate.firstCode : 0;
    PutLeftBehind(notes->left, sizeof notes->left, answer.threadsLeft, answer.modulesLeft,
                  answer.moduleLeft, answer.state == kWorkerChanged);
    if (candidate.changed >= 0)
        PutLeftChanged(notes->left, sizeof notes->left, Plan[candidate.changed].path);
    return static_cast<CandidateOutcome>(answer.outcome);
}

void StartScanWorker() {
    if (RunningSlots() == 0)
        StartSlot(&Slots[0], kAhead);
}

void EndScanWorker() {
    ForgetPlan();
    EndWorkers();
    StartFailures = 0; // a later scan of the run tries again
}
