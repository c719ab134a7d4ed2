// Start-up: the way into and out of a run.
#pragma once

// Start-up: everything between the process entry and the driver; returns the exit code.
int StartUp();
// The end of every run, after the driver and at every fatal error: a loaded
// Source Manager is freed under the guard and the process ends at once with
// the code; without one the code comes back for the usual exit.
int EndRun(int code);
