// How the scan's workers end with the program, on POSIX systems: a worker, a
// fork, has the system kill it when its parent ends. There are no jobs.
#include "platform/posix/internal.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

void WatchParent(int parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) // the parent ended before the watch began
        _exit(1);
}
