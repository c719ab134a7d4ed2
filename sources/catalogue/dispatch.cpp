// Which worker takes which candidate. A worker serves one folder (ds_dir, or
// one of the folders below it: one vendor's), so that nothing a vendor's driver
// leaves in a process (a DLL directory, the default DLL folders, a library
// loaded under a common name) reaches another vendor's. A worker holds one
// candidate at a time, so that none waits behind a slow one. A new folder gets
// a worker of its own as soon as there is room for one, so that its start
// overlaps the work of the folder before; while a source is slow to answer,
// more workers start for the same folder, up to ds_workers. A worker whose
// folder has nothing more to ask is given up for another folder's. A worker
// that is ended may take a while to be gone (a process in a driver's I/O ends
// when the I/O does): the next one for its folder starts once it is gone, so
// that a device or a lock it held is free again.
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "catalogue/workers.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"

bool ScanInProcess;
unsigned ScanStartError;
Candidate *Plan;
int PlanCount;
int Answered;
Slot Slots[kMostWorkers];
int StartFailures;

namespace {

// A folder with this much left to ask gets a second worker at once, slow or
// not: the two ask side by side, as two processors can. Fewer are not worth a
// process's start.
constexpr int kSecondWorkerWork = 8;

unsigned LastStart;
int WindowEnd; // Plan[WindowEnd] and later may not go out yet
int Started;   // workers started in this run

// Workers ended that may not be gone yet, by folder; given up after kGoneLimit.
constexpr int kMostEnding = 2 * kMostWorkers;
constexpr unsigned kGoneLimit = 3000;
struct Ending {
    void *worker;
    int folder;
    unsigned since;
};
Ending Endings[kMostEnding];
int EndingCount;

const char *const kReasons[] = {
    "ahead of the scan", "for a folder with none", "to ask a source afresh",
    "a second for a folder of 8 or more sources to ask", "beside a slow source"};

// How many of the folder's candidates wait to go out, counted up to most.
int FolderWork(int folder, int most) {
    int waiting = 0;
    for (int i = Answered; i < WindowEnd && waiting < most; ++i)
        waiting += Plan[i].folder == folder && Plan[i].state == kUnsent;
    return waiting;
}

bool Request(Slot *slot, const Candidate &candidate, int limit) {
    const char *path = candidate.path;
    WorkerRequest request = {kRequestMark, slot->sent + 1, static_cast<uint32_t>(strlen(path)),
                             candidate.withOrigin ? 1u : 0u};
    // One write: the request, then the path.
    auto *bytes =
        static_cast<char *>(MemAlloc(static_cast<int32_t>(sizeof request + request.length)));
    memcpy(bytes, &request, sizeof request);
    memcpy(bytes + sizeof request, path, request.length);
    int state =
        OsWorkerSend(slot->worker, bytes, static_cast<int>(sizeof request + request.length), limit);
    free(bytes);
    slot->sent += state == kOsDone ? 1 : 0;
    return state == kOsDone; // else the wait finds out what became of the worker
}

bool Send(Slot *slot, int index, int limit) {
    // On trial, its suspect goes first, as it went then, and nothing between.
    int ahead = Plan[index].trial ? Plan[index].after : -1;
    if ((ahead >= 0 && !Request(slot, Plan[ahead], limit)) || !Request(slot, Plan[index], limit))
        return false;
    if (slot->ready)
        slot->since = OsMilliseconds();
    slot->ahead = ahead;
    slot->asked = index;
    slot->folder = Plan[index].folder;
    Plan[index].state = kOut;
    return true;
}

// A slot that may take the candidate now, null when none can: an idle worker
// of its folder (one that has served no source, for a candidate to be asked
// afresh), else a new one when its folder has none, when it is to be asked
// afresh, or when a source is slow.
Slot *SlotFor(const Candidate &candidate, int workers) {
    Slot *free = nullptr;
    Slot *spare = nullptr; // an idle worker that may be given up for this candidate
    int serving = 0;       // workers that serve its folder, or may still take any
    for (int i = 0; i < workers; ++i) {
        Slot &slot = Slots[i];
        if (!slot.worker) {
            free = free ? free : &slot;
            continue;
        }
        bool own = slot.folder == candidate.folder || slot.folder < 0;
        serving += own;
        if (slot.asked >= 0)
            continue;
        if (own && (!candidate.fresh || slot.sent == 0))
            return &slot;
        if (!own && FolderWork(slot.folder, 1) == 0)
            spare = &slot;
        else if (candidate.fresh && !spare)
            spare = &slot;
    }
    bool slow = false;
    unsigned now = OsMilliseconds();
    for (const Slot &slot : Slots)
        slow = slow || (slot.worker && slot.ready && slot.asked >= 0 && now - slot.since >= kSlow);
    StartReason reason = candidate.fresh ? kAfresh : serving == 0 ? kForFolder : kSecond;
    bool wanted =
        candidate.fresh || serving == 0 ||
        (serving == 1 && FolderWork(candidate.folder, kSecondWorkerWork) == kSecondWorkerWork);
    if (!wanted && slow && now - LastStart >= kSlow) {
        wanted = true;
        reason = kBesideSlow;
    }
    if (!wanted || (!free && !spare) || StillEnding(candidate.folder))
        return nullptr;
    if (!free) {
        ReleaseSlot(spare, false);
        free = spare;
    }
    return StartSlot(free, reason) ? free : nullptr;
}

} // namespace

int RunningSlots() {
    int running = 0;
    for (const Slot &slot : Slots)
        running += slot.worker != nullptr;
    return running;
}

bool StartSlot(Slot *slot, StartReason reason) {
    for (; StartFailures < kStartTries; ++StartFailures) {
        bool inJob = true;
        slot->worker = OsWorkerStart(sizeof(WorkerAnswer), &inJob);
        if (slot->worker) {
            slot->ready = false;
            slot->sent = 0;
            slot->asked = slot->ahead = slot->last = -1;
            slot->folder = -1;
            slot->since = LastStart = OsMilliseconds();
            if (DebugLevel != 0)
                LogPrint("worker %d started: %s", ++Started, kReasons[reason]);
            if (DebugLevel != 0 && !inJob)
                LogPrint("worker %d could not join %s's job: it ends itself when %s ends", Started,
                         ProgramName, ProgramName);
            return true;
        }
        ScanStartError = OsLastError();
    }
    return false;
}

void ReleaseSlot(Slot *slot, bool ended) {
    if (slot->asked >= 0)
        Plan[slot->asked].state = kUnsent;
    if (!ended) {
        OsWorkerClose(slot->worker);
        if (slot->folder < 0 || EndingCount == kMostEnding)
            OsWorkerGone(slot->worker, true);
        else
            Endings[EndingCount++] = {slot->worker, slot->folder, OsMilliseconds()};
    }
    slot->worker = nullptr;
    slot->asked = slot->ahead = -1;
}

bool StillEnding(int folder) {
    bool ending = false;
    unsigned now = OsMilliseconds();
    for (int i = 0; i < EndingCount;) {
        const Ending &worker = Endings[i];
        if (OsWorkerGone(worker.worker, now - worker.since >= kGoneLimit)) {
            Endings[i] = Endings[--EndingCount];
            continue;
        }
        ending = ending || folder < 0 || worker.folder == folder;
        ++i;
    }
    return ending;
}

void StartFailure(Slot *slot, unsigned error, bool ended) {
    ReleaseSlot(slot, ended);
    ScanStartError = error;
    ++StartFailures;
}

void Dispatch(int limit, int workers) {
    int room = kCatalogLimit - SourceCatalog.count;
    WindowEnd = Answered + room < PlanCount ? Answered + room : PlanCount;
    for (int i = Answered; i < WindowEnd; ++i) {
        if (Plan[i].state != kUnsent)
            continue;
        Slot *slot = SlotFor(Plan[i], workers);
        if (slot && !Send(slot, i, limit))
            break;
    }
}

// At the end of the scan none is waited for.
void EndWorkers() {
    for (Slot &slot : Slots) {
        if (slot.worker) {
            OsWorkerClose(slot.worker);
            OsWorkerGone(slot.worker, true);
        }
        slot.worker = nullptr;
        slot.asked = -1;
    }
    while (EndingCount > 0)
        OsWorkerGone(Endings[--EndingCount].worker, true);
}
