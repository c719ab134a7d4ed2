// What the check and the log say of a candidate: its failure, what it left
// behind, and what else the scan noted of it.
#include <cstdio>
#include <cstring>

#include "app/program.h"
#include "catalogue/catalogue.h"

bool LeftOut(int32_t outcome) {
    return outcome >= kCrashed;
}

void PutLeftOut(char *text, size_t size, int32_t outcome, uint32_t code) {
    if (outcome == kCrashed)
        snprintf(text, size, "crashed (exception 0x%08X)", static_cast<unsigned>(code));
    else if (outcome == kEndedProcess)
        snprintf(text, size, "ended the process (exit code %u)", static_cast<unsigned>(code));
    else if (outcome == kTimedOut)
        snprintf(text, size, "did not answer within %u s", static_cast<unsigned>(code));
    else if (outcome == kDamagedAnswer)
        snprintf(text, size, "sent a damaged answer");
    else
        snprintf(text, size, "closed the worker's channel");
}

void PutInProcess(char *text, size_t size) {
    snprintf(text, size,
             "data sources were asked in %s's own process: the scan's worker could not be "
             "started (error %u)",
             ProgramName, ScanStartError);
}

void PutLeftBehind(char *text, size_t size, unsigned threads, unsigned modules, const char *module,
                   bool changed) {
    *text = '\0';
    if (modules > 1)
        snprintf(text, size, "left %s and %u more librar%s loaded", module, modules - 1,
                 modules == 2 ? "y" : "ies");
    else if (modules == 1)
        snprintf(text, size, "left %s loaded", module);
    size_t used = strlen(text);
    if (threads > 0)
        snprintf(text + used, size - used, "%s%u thread%s running", used ? " and " : "left ",
                 threads, threads == 1 ? "" : "s");
    else if (changed && used == 0) // a thread of its holds the loader, not counted yet
        snprintf(text, size, "left the system's loader locked");
}

void PutLeftChanged(char *text, size_t size, const char *after) {
    const char *slash = strrchr(after, '\\');
    snprintf(text, size, "left the worker changed: %s failed after it there and answered alone",
             slash ? slash + 1 : after);
}

void PutNotes(char *text, size_t size, bool accepted, const CandidateNotes &notes) {
    *text = '\0';
    if (accepted && notes.withOrigin && notes.firstOutcome == kCrashed)
        snprintf(text, size,
                 "crashed with exception 0x%08X when first asked, answered when asked again "
                 "with %s's identity",
                 static_cast<unsigned>(notes.firstCode), ProgramName);
    else if (accepted && notes.withOrigin && notes.firstOutcome == kEndedProcess)
        snprintf(text, size,
                 "ended the process with exit code %u when first asked, answered when asked "
                 "again with %s's identity",
                 static_cast<unsigned>(notes.firstCode), ProgramName);
    else if (accepted && notes.withOrigin)
        snprintf(text, size, "answered when given %s's identity", ProgramName);
    size_t used = strlen(text);
    if (*notes.left)
        snprintf(text + used, size - used, "%s%s", used ? "; " : "", notes.left);
}
