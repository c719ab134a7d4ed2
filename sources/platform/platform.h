// The operating-system layer: every call into the system goes through here.
// win32.cpp makes the real Windows calls; posix.cpp makes the nearest real
// equivalents so that everything above this layer also runs natively.
#pragma once

#include <cstddef>
#include <cstdio>

// Message box styles (the Windows values).
constexpr unsigned kBoxPlain = 0x00;   // MB_OK, no icon
constexpr unsigned kBoxWarning = 0x30; // MB_OK | MB_ICONEXCLAMATION

// The whole command line of the process, exactly as the system holds it.
const char *OsCommandLine();

// Path of the running executable. Stores at most size bytes and returns the
// number of characters stored; 0 on failure, size when the path did not fit.
int OsExecutablePath(char *buf, int size);

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

int OsProcessId();

// A message box with no owner window; returns the button pressed, 0 on failure.
int OsMessageBox(const char *text, const char *caption, unsigned style);

// One text to the system debugger channel.
void OsDebugString(const char *text);

// Hands a web address to the shell's default verb (no owner, hidden).
void OsOpenUrl(const char *url);

// The system's ANSI code page, in which the program's texts, paths and names
// are written: its number (GetACP), and whether a byte leads a double-byte
// character in it.
unsigned OsCodePage();
bool OsLeadByte(unsigned char c);
// Native layer only, for tests: the code page it stands for, 932 (Shift-JIS
// lead bytes 0x81-0x9F and 0xE0-0xFC) or a single-byte one; 1252 at start.
void OsSetCodePage(unsigned codePage);

// Directory search by pattern ("*" any run, "?" one character, "*.*" every
// name, letter case ignored).
struct OsFindEntry {
    char name[3 * 260]; // any name of the file system in any ANSI code page
    bool folder;
    // The code page cannot write the name (name has '?' for what it lacks): no
    // call that takes an ANSI path reaches the entry.
    bool unwritable;
};
// Starts a search; null when nothing matches or the folder cannot be searched.
void *OsFindFirst(const char *pattern, OsFindEntry *entry);
bool OsFindNext(void *search, OsFindEntry *entry);
void OsFindClose(void *search);

// _mkdir and _unlink: 0 on success.
int OsMakeDir(const char *path);
int OsDeleteFile(const char *path);

// Moves a finished file over another in one step (the target may exist); false
// when it cannot, the target then unchanged.
bool OsReplaceFile(const char *from, const char *to);

// Creates a file that does not exist yet and opens it as fopen's "w+" does
// (text mode); null when it cannot, *taken then telling whether something of
// that name is in the way.
FILE *OsCreateNewFile(const char *path, bool *taken);

// Whether the system finds a file at the path (OpenFile with OF_EXIST).
bool OsFileFound(const char *path);

// Whether a folder can be searched; when not, why, with the system's error in
// *error.
enum OsFolderState : int {
    kFolderSearchable,
    kFolderMissing,
    kFolderNotFolder, // a file of that name
    kFolderUnsearchable,
};
OsFolderState OsFolderCheck(const char *path, unsigned *error);

// Module loading. Symbols come back as untyped addresses to be cast to the
// entry point's type.
void *OsLoadModule(const char *path);
void *OsModuleSymbol(void *module, const char *name);
void *OsModuleOrdinal(void *module, unsigned ordinal);
void OsFreeModule(void *module);

// Whether a module of that name is loaded in the process already (the loader
// then takes it without a search).
bool OsModuleLoaded(const char *name);

// Current user's registry: create or open a key (null on failure), set a text
// value (REG_SZ, the terminating NUL included), close the key.
void *OsUserKeyCreate(const char *path);
bool OsKeySetText(void *key, const char *name, const char *text);
void OsKeyClose(void *key);

// Windows: whether a handle names a window, and the hidden proxy window
// (class "STATIC", title "Acquire Proxy", never shown); null when it cannot be made.
bool OsIsWindow(void *window);
void *OsCreateProxyWindow();

// The system's error code of the latest failed call (GetLastError), to be read
// straight after the call that failed.
unsigned OsLastError();

// System error codes the program explains (the Windows values on Windows).
extern const unsigned OsErrorFileNotFound;
extern const unsigned OsErrorAccessDenied;
extern const unsigned OsErrorModuleNotFound; // the module, or a DLL it needs, is missing
extern const unsigned OsErrorInitFailed;     // the module's start-up code refused to load

// The system's message for an error code, without its line end, its inserts
// (such as the file in "%1 is not a valid Win32 application.") naming the
// subject; false when the system has none.
bool OsErrorText(unsigned code, const char *subject, char *buf, int size);

// Current user's registry: a text value as a heap text (released with free),
// the terminating NUL added when the stored data lacks it; null when the key or
// the value does not exist or cannot be read.
char *OsUserKeyReadText(const char *path, const char *name);

// ANSI code-page text converted to UTF-8, as a heap text (released with free);
// null when memory runs out.
char *OsAnsiToUtf8(const char *text);

// Whether the process runs as the local system account (S-1-5-18), whose
// registry hive belongs to no user.
bool OsIsLocalSystem();
// POSIX only, for the tests: the answer OsIsLocalSystem gives.
void OsSetLocalSystemForTest(bool system);

// Foreign code: the Source Manager and its sources run inside this process,
// the catalogue's data sources inside the scan's worker. Every load, entry call
// and unload of a foreign module happens between OsForeignBegin (with the
// module's file and what is asked of it, such as "MSG_GETNEXT") and
// OsForeignEnd. In the program a fault that the module does not handle itself,
// at any time once foreign code has run, ends the process: ForeignFault reports
// it, blaming the module holding the faulting address, and the process ends
// with exit code 1 at once, running nothing more of its own (no exit handlers,
// no unloading). So does a call that runs past the limit of OsForeignLimit
// (ForeignTimeout) and the process ending inside a call (ForeignExit). In the
// worker any such fault ends the worker with the exception code as its exit code.
void OsForeignBegin(const char *file, const char *call);
void OsForeignEnd();
// Milliseconds a foreign call may take in this process; 0 for no limit (the start).
void OsForeignLimit(unsigned milliseconds);

// Provided above this layer: reports a fault in foreign code (the module's
// file, or null for code in no module, and the exception code or the signal
// number on POSIX), a call past its limit, and the process ending in a call
// (the exit code, or -1 when unknown).
void ForeignFault(const char *file, unsigned long code);
void ForeignTimeout(const char *file, const char *call, unsigned seconds);
void ForeignExit(const char *file, long code);

// The scan's worker: a second run of this executable that does the foreign
// work for the program, over a private two-way channel, in a job that ends it
// when this process ends. Null when it cannot be started.
void *OsWorkerStart();
enum OsTransfer : int { kOsDone, kOsTimedOut, kOsWorkerEnded };
// Sends or receives exactly size bytes within the time limit (negative: none).
int OsWorkerSend(void *worker, const void *data, int size, int milliseconds);
int OsWorkerReceive(void *worker, void *data, int size, int milliseconds);
// Ends the worker (when it still runs) and releases it; its exit code. An exit
// code with the top two bits set is an exception code (on POSIX: 0xC0000000
// with the signal number).
unsigned long OsWorkerEnd(void *worker);
// Closes the channel and releases the worker, which then ends by itself (and
// with this process at the latest), without waiting for it.
void OsWorkerClose(void *worker);

// In the worker: the channel to the program, else null. Also makes this the
// worker: no system boxes, and a fault ends it with the exception code.
void *OsWorkerChannel();
bool OsChannelRead(void *channel, void *data, int size);
bool OsChannelWrite(void *channel, const void *data, int size);
// Provided above this layer: the worker's loop; its exit code.
int ScanWorkerMain(void *channel);
