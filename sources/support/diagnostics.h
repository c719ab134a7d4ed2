// Message boxes, the fatal-error routine, the debug log and its hex dump.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define CORVANE_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define CORVANE_PRINTF(f, a)
#endif

extern int32_t DebugLevel;

// Tests only, never set by the program: when set, it takes the place of the
// warning box and the exit of WarnAndExit, and must not return.
extern void (*FatalTestHook)(const char *text);

// Every box of the program goes through here: with CORVANE_MESSAGE_FILE set it
// becomes a record in that file instead (see the README).
int MessageOut(const char *text, const char *caption, unsigned style);

// Start-up hands over the title of every box and the end of a run, through
// which a fatal error passes its exit code; until then boxes have no title
// and a fatal error exits at once.
void DiagnosticsSetRun(const char *title, int (*endRun)(int code));
// No box at all for the rest of the run, as where no one sees one: what a box
// would say goes to the message file or the log.
void DiagnosticsNoBoxes();

int ShowMessage(const char *text);
[[noreturn]] void WarnAndExit(const char *text);
[[noreturn]] void Fatal(const char *format, ...) CORVANE_PRINTF(1, 2);

void LogSetFile(const char *name);
void LogWrite(const char *format, ...) CORVANE_PRINTF(1, 2);
void LogPrint(const char *format, ...) CORVANE_PRINTF(1, 2);
void LogHexDump(const char *caption, int32_t length, const void *bytes);

int ProcessId();
