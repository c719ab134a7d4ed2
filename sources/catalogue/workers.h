// The scan's workers as the program keeps them: the plan of every candidate,
// in scan order, and the slots of the workers that ask them. worker.cpp runs
// the scan's side (the plan, the wait, the in-process fallback), dispatch.cpp
// decides which worker takes which candidate, answers.cpp what becomes of an
// answer or a failure.
#pragma once

#include <cstdint>

#include "catalogue/catalogue.h"
#include "catalogue/channel.h"

enum PlanState : int { kUnsent, kOut, kAnswered };

struct Slot {
    void *worker;   // null: free
    bool ready;     // its ready message has come
    uint32_t sent;  // sequence number of the latest request
    int asked;      // the candidate it holds, or -1
    int ahead;      // the suspect asked ahead of it on trial, until it answers, or -1
    int last;       // the last candidate whose code ran in it, or -1
    int folder;     // the folder it serves, or -1 before its first candidate
    unsigned since; // when its start, or its candidate's time, began
};

struct Candidate {
    char *path;           // as the scan found it
    int folder;           // the same number for the candidates of one folder
    int state;            // a PlanState
    bool fresh;           // to be asked in a worker that has served no other source
    bool withOrigin;      // to be asked with the program's identity as the origin
    int32_t firstOutcome; // its failure when it is asked again: without the origin,
    uint32_t firstCode;   // or after another source
    // It failed after this candidate in a worker and is asked again afresh,
    // or -1: when it answers there, it is tried.
    int after;
    // On trial: asked after that candidate in a fresh worker, as it was then;
    // when it fails again, that one left the worker changed.
    bool trial;
    int changed; // it left its worker changed: this candidate failed after it, or -1
    WorkerAnswer answer;
};

extern Candidate *Plan;
extern int PlanCount;
extern int Answered; // Plan[Answered] is the next the scan takes
extern Slot Slots[kMostWorkers];
// A start can fail for a moment (Wine, under load, now and then fails a
// process start): it is tried again before the sources are asked in here.
constexpr int kStartTries = 3;
extern int StartFailures; // in this run; at kStartTries no worker is started any more

// dispatch.cpp
int RunningSlots();
// Why a worker starts, as the debug log says it.
enum StartReason : int { kAhead, kForFolder, kAfresh, kSecond, kBesideSlow };
bool StartSlot(Slot *slot, StartReason reason);
// Its candidate goes back to be sent again; its worker is ended (unless it
// has ended already), and the next worker for its folder starts once it is gone.
void ReleaseSlot(Slot *slot, bool ended);
// Forgets the workers that have gone since they were ended; whether one of
// the folder (any, for -1) may still be ending.
bool StillEnding(int folder);
// A worker that never became ready did not start: nothing is blamed.
void StartFailure(Slot *slot, unsigned error, bool ended);
// Sends what may go out to the workers that may take it: never a candidate
// the catalogue could not still accept.
void Dispatch(int limit, int workers);
// An answer this late marks a slow source: another worker may start then.
constexpr unsigned kSlow = 50;
void EndWorkers();

// answers.cpp
// Takes what the worker sent, or what became of it.
void Take(Slot *slot);
// Ends the workers whose time is up; the time to wait for the next event.
int Deadlines(int limit, int workers);
void Answer(Candidate *candidate, const WorkerAnswer &answer);
// Ends a candidate's trial: its failure came back after its suspect (again),
// which is then noted, or it did not, and nobody is blamed.
void Settle(Candidate *candidate, bool again);
