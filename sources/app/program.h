// Process-wide values fixed at start-up, the argument list and its splitting.
#pragma once

extern const char *const ProgramName;
extern char ProgramVersion[16];
extern char *ProgramFolderPath;
extern char *UserDataPath;

constexpr int kArgLimit = 30;

const char *ProgramTitle();
char *ProgramFolder();
char *UserDataFolder(const char *maker, const char *program);

int ArgsSplit(const char *text, int limit, char **list);
// The number of entries ArgsSplit would find without a limit.
int ArgsCount(const char *text);
bool ArgsTake(int *count, char **list, const char *word);
const char *ArgsTakeValue(int *count, char **list, const char *prefix, const char *fallback);

// Start-up: everything between the process entry and the driver; returns the exit code.
int StartUp();
// The end of every run, after the driver and at every fatal error: a loaded
// Source Manager is freed under the guard and the process ends at once with
// the code; without one the code comes back for the usual exit.
int EndRun(int code);
