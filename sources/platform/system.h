// The program's place in the system: its command line, paths and build names,
// the environment, the code page, boxes and debug output, error texts and the
// account it runs as.
#pragma once

// Message box styles (the Windows values).
constexpr unsigned kBoxPlain = 0x00;   // MB_OK, no icon
constexpr unsigned kBoxWarning = 0x30; // MB_OK | MB_ICONEXCLAMATION

// The whole command line of the process, exactly as the system holds it.
const char *OsCommandLine();

// Path of the running executable, in the code page. Where the code page cannot
// write a path, the ANSI calls reach it by its short (8.3) form; where it has
// none the code page can write, the path keeps '?' for what the code page lacks
// and *unwritable is set. Stores at most size bytes and returns the number of
// characters stored; 0 on failure, size when the path did not fit.
int OsExecutablePath(char *buf, int size, bool *unwritable);

// The Windows directory. Returns the length of the name, or the size needed
// (including the NUL) when buf is too small, or 0 on failure.
int OsWindowsDirectory(char *buf, int size);

// What tells the builds apart, chosen here once: the program's name (the 64-bit
// build is the program Corvane64) and the build's own TWAIN Source Manager, the
// file OsManagerFile in the folder OsManagerFolder names: TWAIN_32.DLL in the
// Windows directory for 32 bits, TWAINDSM.DLL in the system directory for 64
// bits (Windows has no 64-bit TWAIN_32.DLL). OsManagerFolder returns what
// OsWindowsDirectory returns.
extern const char OsProgramName[];
extern const char OsManagerFile[];
// The PE machine value the program is built for (0x14C x86, 0x8664 x64).
extern const unsigned OsProgramMachine;
int OsManagerFolder(char *buf, int size);

// The system directory (GetSystemDirectoryA): returns what OsWindowsDirectory
// returns.
int OsSystemDirectory(char *buf, int size);

// The full form of a path, a relative one taken from the working directory.
// Returns its length, or the size needed (including the NUL) when buf is too
// small, or 0 on failure.
int OsFullPath(const char *path, char *buf, int size);

// An environment variable, names matched without regard to case; null when unset.
const char *OsGetEnv(const char *name);
// An environment variable that names a folder (AppData, TEMP), in the code page
// as OsExecutablePath gives a path; a heap text (released with free), null when
// unset or when memory runs out.
char *OsGetEnvFolder(const char *name, bool *unwritable);

int OsProcessId();

// Milliseconds from a fixed moment, going on from 0 after about 49 days.
unsigned OsMilliseconds();

// A message box with no owner window; returns the button pressed, 0 on failure.
int OsMessageBox(const char *text, const char *caption, unsigned style);

// One text to the system debugger channel.
void OsDebugString(const char *text);

// Hands a web address to the shell's default verb (no owner, hidden).
void OsOpenUrl(const char *url);

// Windows: whether a handle names a window, and the hidden proxy window
// (class "STATIC", title "Acquire Proxy", never shown); null when it cannot be made.
bool OsIsWindow(void *window);
void *OsCreateProxyWindow();

// The system's ANSI code page, in which the program's texts, paths and names
// are written: its number (GetACP), and whether a byte leads a double-byte
// character in it.
unsigned OsCodePage();
bool OsLeadByte(unsigned char c);
// Native layer only, for tests: the code page it stands for, 932 (Shift-JIS
// lead bytes 0x81-0x9F and 0xE0-0xFC) or a single-byte one; 1252 at start.
void OsSetCodePage(unsigned codePage);

// ANSI code-page text converted to UTF-8, as a heap text (released with free);
// null when memory runs out.
char *OsAnsiToUtf8(const char *text);
// UTF-8 text converted to the code page, as a heap text (released with free),
// '?' for each character the code page has none for (*lacking then set),
// never a look-alike; null when memory runs out.
char *OsUtf8ToAnsi(const char *text, bool *lacking);

// The system's error code of the latest failed call (GetLastError), to be read
// straight after the call that failed.
unsigned OsLastError();

// System error codes the program explains (the Windows values on Windows).
extern const unsigned OsErrorFileNotFound;
extern const unsigned OsErrorAccessDenied;
extern const unsigned OsErrorModuleNotFound; // the module, or a DLL it needs, is missing
extern const unsigned OsErrorBadFormat;      // the module, or a DLL it needs, is no valid module
extern const unsigned OsErrorInitFailed;     // the module's start-up code refused to load
extern const unsigned OsErrorTimedOut;       // what was waited for did not come in time

// The system's message for an error code, without its line end, its inserts
// (such as the file in "%1 is not a valid Win32 application.") naming the
// subject; false when the system has none.
bool OsErrorText(unsigned code, const char *subject, char *buf, int size);

// Whether the process runs as the local system account (S-1-5-18), whose
// registry hive belongs to no user.
bool OsIsLocalSystem();
// POSIX only, for the tests: the answer OsIsLocalSystem gives.
void OsSetLocalSystemForTest(bool system);
