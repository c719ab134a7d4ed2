// The operating-system layer on POSIX systems: the nearest real equivalents of
// the Windows calls, so that the program's own code also runs natively.
//
// Paths handed to this layer are joined with backslashes, as on Windows; the
// calls that take a file path turn every backslash into a slash first.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

// The code page the tests choose: 932 has double-byte characters, any other
// number stands for a single-byte one.
static unsigned CodePage = 1252;

unsigned OsCodePage() {
    return CodePage;
}

void OsSetCodePage(unsigned codePage) {
    CodePage = codePage;
}

bool OsLeadByte(unsigned char c) {
    return CodePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

// A heap copy of a path with the Windows separators turned into slashes (never
// the second byte of a character); null when memory runs out.
static char *NativePath(const char *path) {
    char *copy = strdup(path);
    if (!copy)
        return nullptr;
    for (char *c = copy; *c; ++c) {
        if (*c == '\\')
            *c = '/';
        else if (OsLeadByte(static_cast<unsigned char>(*c)) && c[1])
            ++c;
    }
    return copy;
}

// A heap text joining folder and name with a slash; null when memory runs out.
static char *JoinNative(const char *folder, const char *name) {
    size_t size = strlen(folder) + strlen(name) + 2;
    char *joined = static_cast<char *>(malloc(size));
    if (joined)
        snprintf(joined, size, "%s/%s", folder, name);
    return joined;
}

static int Fold(char c) {
    return tolower(static_cast<unsigned char>(c));
}

static bool SameTextBlind(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (Fold(*a) != Fold(*b))
            return false;
    return *a == *b;
}

// Appends one argument to the command line, quoted the way the program's own
// splitting reads it back: a quoted argument with every inner quote doubled.
static size_t PutArgument(char *out, const char *arg) {
    size_t n = 0;
    bool quote = *arg == '\0' || strpbrk(arg, " \t\r\n\"") != nullptr;
    if (quote)
        out[n++] = '"';
    for (const char *c = arg; *c; ++c) {
        if (*c == '"')
            out[n++] = '"';
        out[n++] = *c;
    }
    if (quote)
        out[n++] = '"';
    return n;
}

const char *OsCommandLine() {
    static char *line = nullptr;
    if (line)
        return line;
    char *raw = nullptr;
    size_t length = 0;
    size_t room = 0;
    if (FILE *file = fopen("/proc/self/cmdline", "rb")) {
        for (;;) {
            if (length == room) {
                // One byte more than the room, for a NUL after the last argument.
                size_t larger = room ? room * 2 : 4096;
                char *grown = static_cast<char *>(realloc(raw, larger + 1));
                if (!grown)
                    break;
                raw = grown;
                room = larger;
            }
            size_t got = fread(raw + length, 1, room - length, file);
            if (got == 0)
                break;
            length += got;
        }
        fclose(file);
    }
    if (raw)
        raw[length] = '\0';
    // Each argument may double in size and gain two quotes and a blank.
    size_t size = length * 2 + 3 * (length + 1) + 1;
    line = static_cast<char *>(malloc(size));
    if (!line) {
        free(raw);
        return "";
    }
    size_t n = 0;
    for (size_t start = 0; start < length;) {
        const char *arg = raw + start;
        if (n > 0)
            line[n++] = ' ';
        n += PutArgument(line + n, arg);
        start += strlen(arg) + 1;
    }
    line[n] = '\0';
    free(raw);
    return line;
}

int OsExecutablePath(char *buf, int size) {
    if (size <= 0)
        return 0;
    ssize_t got = readlink("/proc/self/exe", buf, static_cast<size_t>(size));
    if (got <= 0)
        return 0;
    if (got >= size) {
        // Like GetModuleFileNameA: truncated to size - 1 characters, result size.
        buf[size - 1] = '\0';
        return size;
    }
    buf[got] = '\0';
    return static_cast<int>(got);
}

// There is no Windows directory here. CORVANE_WINDIR names the folder that
// stands for it, else WINDIR (as a Windows environment would set it); without
// either, /usr/lib, where shared libraries such as a source manager would live.
int OsWindowsDirectory(char *buf, int size) {
    const char *folder = OsGetEnv("CORVANE_WINDIR");
    if (!folder || !*folder)
        folder = OsGetEnv("WINDIR");
    if (!folder || !*folder)
        folder = "/usr/lib";
    size_t length = strlen(folder);
    if (size < 0 || length + 1 > static_cast<size_t>(size))
        return static_cast<int>(length + 1);
    memcpy(buf, folder, length + 1);
    return static_cast<int>(length);
}

// Stands for the system directory as OsWindowsDirectory stands for the
// Windows directory.
int OsSystemDirectory(char *buf, int size) {
    return OsWindowsDirectory(buf, size);
}

// The native stand-in takes the 32-bit build's names.
const char OsProgramName[] = "Corvane";
const char OsManagerFile[] = "TWAIN_32.DLL";
const unsigned OsProgramMachine = 0x14C; // as the 32-bit build

int OsManagerFolder(char *buf, int size) {
    return OsWindowsDirectory(buf, size);
}

// A path is absolute when it starts with a separator of either kind; any other
// is joined to the working directory with a slash.
int OsFullPath(const char *path, char *buf, int size) {
    char folder[4096] = "";
    bool absolute = *path == '/' || *path == '\\';
    if (!absolute && !getcwd(folder, sizeof folder))
        return 0;
    int length = snprintf(nullptr, 0, "%s%s%s", folder, absolute ? "" : "/", path);
    if (length < 0 || size < 0 || length + 1 > size)
        return length < 0 ? 0 : length + 1;
    snprintf(buf, static_cast<size_t>(size), "%s%s%s", folder, absolute ? "" : "/", path);
    return length;
}

const char *OsGetEnv(const char *name) {
    if (!name || !*name || strchr(name, '='))
        return nullptr;
    size_t length = strlen(name);
    for (char **item = environ; item && *item; ++item) {
        const char *entry = *item;
        size_t i = 0;
        while (i < length && entry[i] && Fold(entry[i]) == Fold(name[i]))
            ++i;
        if (i == length && entry[i] == '=')
            return entry + i + 1;
    }
    return nullptr;
}

int OsProcessId() {
    return static_cast<int>(getpid());
}

// No window system: the box becomes a line on the error stream, confirmed at once.
int OsMessageBox(const char *text, const char *caption, unsigned) {
    fprintf(stderr, "[%s] %s\n", caption ? caption : "Error", text ? text : "");
    fflush(stderr);
    return 1; // IDOK
}

void OsDebugString(const char *text) {
    fputs(text ? text : "", stderr);
    fflush(stderr);
}

// The desktop's opener takes the place of the shell. The child is not waited
// for, as the shell does not wait either; it is silent and reads nothing.
void OsOpenUrl(const char *url) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char program[] = "xdg-open";
    char *argument = strdup(url ? url : "");
    if (argument) {
        char *argv[] = {program, argument, nullptr};
        pid_t child;
        posix_spawnp(&child, program, &actions, nullptr, argv, environ);
        free(argument);
    }
    posix_spawn_file_actions_destroy(&actions);
}

// Whether the rest of a pattern is a dot and nothing but stars: as on Windows,
// such a tail also matches the end of a name without an extension.
static bool OptionalExtension(const char *pattern) {
    if (*pattern != '.')
        return false;
    ++pattern;
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

// Windows-style wildcard match, letter case ignored: '*' any run, '?' one character.
static bool WildMatch(const char *pattern, const char *name) {
    const char *star = nullptr;  // pattern just after the latest '*'
    const char *retry = nullptr; // where in the name that '*' ends for now
    while (*name) {
        if (*pattern == '*') {
            star = ++pattern;
            retry = name;
        } else if (*pattern && (*pattern == '?' || Fold(*pattern) == Fold(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star;
            name = ++retry;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0' || OptionalExtension(pattern);
}

struct PosixSearch {
    DIR *dir;
    char *folder;
    char *pattern;
};

static void FreeSearch(PosixSearch *search) {
    if (search->dir)
        closedir(search->dir);
    free(search->folder);
    free(search->pattern);
    free(search);
}

bool OsFindNext(void *handle, OsFindEntry *entry) {
    PosixSearch *search = static_cast<PosixSearch *>(handle);
    if (!search)
        return false;
    while (dirent *item = readdir(search->dir)) {
        if (strlen(item->d_name) >= sizeof entry->name)
            continue;
        if (!WildMatch(search->pattern, item->d_name))
            continue;
        snprintf(entry->name, sizeof entry->name, "%s", item->d_name);
        entry->folder = false;
        entry->unwritable = false;
        if (char *path = JoinNative(search->folder, item->d_name)) {
            struct stat info;
            entry->folder = stat(path, &info) == 0 && S_ISDIR(info.st_mode);
            free(path);
        }
        return true;
    }
    return false;
}

void *OsFindFirst(const char *pattern, OsFindEntry *entry) {
    char *path = NativePath(pattern);
    if (!path)
        return nullptr;
    PosixSearch *search = static_cast<PosixSearch *>(calloc(1, sizeof(PosixSearch)));
    if (!search) {
        free(path);
        return nullptr;
    }
    char *slash = strrchr(path, '/');
    if (slash) {
        search->pattern = strdup(slash + 1);
        // A pattern right below the root keeps the root as its folder.
        slash[slash == path ? 1 : 0] = '\0';
        search->folder = path;
    } else {
        search->pattern = path;
        search->folder = strdup(".");
    }
    if (!search->pattern || !search->folder) {
        FreeSearch(search);
        return nullptr;
    }
    search->dir = opendir(search->folder);
    if (!search->dir || !OsFindNext(search, entry)) {
        FreeSearch(search);
        return nullptr;
    }
    return search;
}

void OsFindClose(void *search) {
    if (search)
        FreeSearch(static_cast<PosixSearch *>(search));
}

int OsMakeDir(const char *path) {
    char *native = NativePath(path);
    if (!native)
        return -1;
    int rc = mkdir(native, 0777);
    free(native);
    return rc == 0 ? 0 : -1;
}

// Under the name as given: the files it deletes were made by the standard
// library's streams, which take the name as it is.
int OsDeleteFile(const char *path) {
    return unlink(path) == 0 ? 0 : -1;
}

// The paths as given, like the standard streams that wrote the files.
bool OsReplaceFile(const char *from, const char *to) {
    return rename(from, to) == 0;
}

// Under the name as given, like the standard streams.
FILE *OsCreateNewFile(const char *path, bool *taken) {
    int file = open(path, O_CREAT | O_EXCL | O_RDWR, 0666);
    FILE *stream = file >= 0 ? fdopen(file, "w+") : nullptr;
    if (stream)
        return stream;
    *taken = file < 0 && errno == EEXIST;
    if (file >= 0) {
        close(file);
        unlink(path);
    }
    return nullptr;
}

// The length limit is that of OpenFile's OFSTRUCT, so both systems agree.
bool OsFileFound(const char *path) {
    if (strlen(path) >= 128)
        return false;
    char *native = NativePath(path);
    if (!native)
        return false;
    bool found = access(native, F_OK) == 0;
    free(native);
    return found;
}

OsFolderState OsFolderCheck(const char *path, unsigned *error) {
    *error = 0;
    char *native = NativePath(path);
    if (!native) {
        *error = ENOMEM;
        return kFolderUnsearchable;
    }
    struct stat info;
    OsFolderState state = kFolderSearchable;
    if (stat(native, &info) != 0) {
        *error = static_cast<unsigned>(errno);
        state = errno == ENOENT || errno == ENOTDIR ? kFolderMissing : kFolderUnsearchable;
    } else if (!S_ISDIR(info.st_mode)) {
        *error = ENOTDIR;
        state = kFolderNotFolder;
    } else if (DIR *dir = opendir(native)) {
        closedir(dir);
    } else {
        *error = static_cast<unsigned>(errno);
        state = kFolderUnsearchable;
    }
    free(native);
    return state;
}

// dlopen sets no error number of its own: a file that is there but does not
// load counts as not executable.
static unsigned LastError;

void *OsLoadModule(const char *path) {
    char *native = NativePath(path);
    if (!native) {
        LastError = ENOMEM;
        return nullptr;
    }
    void *module = dlopen(native, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        LastError = access(native, F_OK) == 0 ? ENOEXEC : ENOENT;
    free(native);
    return module;
}

void *OsModuleSymbol(void *module, const char *name) {
    return module ? dlsym(module, name) : nullptr;
}

// Shared objects have no export ordinals.
void *OsModuleOrdinal(void *, unsigned) {
    return nullptr;
}

void OsFreeModule(void *module) {
    if (module)
        dlclose(module);
}

bool OsModuleLoaded(const char *name) {
    void *module = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (module)
        dlclose(module);
    return module != nullptr;
}

// The current user's registry is a folder tree: CORVANE_REGISTRY_ROOT, else
// $HOME/.corvane-registry. A key is a folder, a subkey a folder inside it, and
// a text value a file named after the value ("@" for the unnamed default
// value) holding the text with its terminating NUL. Names are matched without
// regard to case, as the registry does; a new one is made as written.

// The name to use for an entry of a folder: an existing entry that matches
// without regard to case, else the name itself. A heap text; null when out of memory.
static char *ExistingEntry(const char *folder, const char *name) {
    if (DIR *dir = opendir(folder)) {
        while (dirent *item = readdir(dir)) {
            if (SameTextBlind(item->d_name, name)) {
                char *found = JoinNative(folder, item->d_name);
                closedir(dir);
                return found;
            }
        }
        closedir(dir);
    }
    return JoinNative(folder, name);
}

static bool UsableName(const char *name) {
    return !strchr(name, '/') && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

static bool MakeFolder(const char *path) {
    struct stat info;
    if (mkdir(path, 0777) == 0)
        return true;
    return errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static char *RegistryRoot() {
    const char *root = getenv("CORVANE_REGISTRY_ROOT");
    if (root && *root)
        return strdup(root);
    const char *home = getenv("HOME");
    if (!home || !*home)
        return nullptr;
    return JoinNative(home, ".corvane-registry");
}

void *OsUserKeyCreate(const char *path) {
    char *key = RegistryRoot();
    char *names = strdup(path ? path : "");
    bool ok = key && names && MakeFolder(key);
    // Empty parts (doubled or trailing backslashes) are passed over.
    for (char *part = names; ok && part && *part;) {
        char *end = strchr(part, '\\');
        if (end)
            *end = '\0';
        if (*part) {
            ok = UsableName(part);
            if (ok) {
                char *next = ExistingEntry(key, part);
                free(key);
                key = next;
                ok = key && MakeFolder(key);
            }
        }
        part = end ? end + 1 : nullptr;
    }
    free(names);
    if (!ok) {
        free(key);
        return nullptr;
    }
    return key;
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    if (!key || !text)
        return false;
    if (!name || !*name)
        name = "@";
    if (!UsableName(name))
        return false;
    char *path = ExistingEntry(static_cast<const char *>(key), name);
    if (!path)
        return false;
    bool ok = false;
    if (FILE *file = fopen(path, "wb")) {
        size_t bytes = strlen(text) + 1;
        ok = fwrite(text, 1, bytes, file) == bytes;
        ok = fclose(file) == 0 && ok;
    }
    free(path);
    return ok;
}

void OsKeyClose(void *key) {
    free(key);
}

// There is no window system here: no handle names a window, and no proxy
// window can be made.
bool OsIsWindow(void *) {
    return false;
}

void *OsCreateProxyWindow() {
    return nullptr;
}

unsigned OsLastError() {
    return LastError;
}

// dlopen's failure for a file that is there stands for the missing DLL; no
// start-up code refuses here.
const unsigned OsErrorFileNotFound = ENOENT;
const unsigned OsErrorAccessDenied = EACCES;
const unsigned OsErrorModuleNotFound = ENOEXEC;
const unsigned OsErrorInitFailed = ~0u;

bool OsErrorText(unsigned code, const char *, char *buf, int size) {
    if (size <= 0)
        return false;
    snprintf(buf, static_cast<size_t>(size), "%s", strerror(static_cast<int>(code)));
    return *buf != '\0';
}

char *OsUserKeyReadText(const char *path, const char *name) {
    char *key = RegistryRoot();
    char *names = strdup(path ? path : "");
    bool ok = key && names;
    struct stat info;
    for (char *part = names; ok && part && *part;) {
        char *end = strchr(part, '\\');
        if (end)
            *end = '\0';
        if (*part) {
            char *next = UsableName(part) ? ExistingEntry(key, part) : nullptr;
            free(key);
            key = next;
            ok = key && stat(key, &info) == 0 && S_ISDIR(info.st_mode);
        }
        part = end ? end + 1 : nullptr;
    }
    free(names);
    if (!name || !*name)
        name = "@";
    char *file = ok && UsableName(name) ? ExistingEntry(key, name) : nullptr;
    free(key);
    if (!file)
        return nullptr;
    char *text = nullptr;
    if (FILE *in = fopen(file, "rb")) {
        if (fseek(in, 0, SEEK_END) == 0) {
            long size = ftell(in);
            rewind(in);
            text =
                size >= 0 ? static_cast<char *>(calloc(static_cast<size_t>(size) + 1, 1)) : nullptr;
            if (text &&
                fread(text, 1, static_cast<size_t>(size), in) != static_cast<size_t>(size)) {
                free(text);
                text = nullptr;
            }
        }
        fclose(in);
    }
    free(file);
    return text;
}

// Here the ANSI code page is taken to be ISO 8859-1: every byte is its own
// code point.
char *OsAnsiToUtf8(const char *text) {
    char *utf8 = static_cast<char *>(malloc(strlen(text) * 2 + 1));
    if (!utf8)
        return nullptr;
    char *out = utf8;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; ++c) {
        if (*c < 0x80) {
            *out++ = static_cast<char>(*c);
        } else {
            *out++ = static_cast<char>(0xC0 | (*c >> 6));
            *out++ = static_cast<char>(0x80 | (*c & 0x3F));
        }
    }
    *out = '\0';
    return utf8;
}

// There is no system account here: the tests choose the answer.
static bool LocalSystem;

bool OsIsLocalSystem() {
    return LocalSystem;
}

void OsSetLocalSystemForTest(bool system) {
    LocalSystem = system;
}

// Faults in foreign code arrive as signals; the handlers are the program's only
// while a foreign module runs, and the previous ones return after it. In the
// worker a fault ends it by the signal itself.
static const int ForeignSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
static struct sigaction OuterActions[sizeof ForeignSignals / sizeof ForeignSignals[0]];
static const char *volatile ForeignFile;
static volatile sig_atomic_t Reporting;
static bool WorkerMode;

static void ForeignSignal(int signal) {
    const char *file = ForeignFile;
    if (WorkerMode) {
        ::signal(signal, SIG_DFL);
        raise(signal);
    }
    if (file && !Reporting) {
        Reporting = 1;
        ForeignFault(file, static_cast<unsigned long>(signal));
    }
    _exit(1);
}

// The watchdog's limit; an alarm stands for its thread.
static unsigned CallLimit;
static const char *ForeignCall = "";

static void CallTimedOut(int) {
    const char *file = ForeignFile;
    if (file && !Reporting) {
        Reporting = 1;
        ForeignTimeout(file, ForeignCall, CallLimit / 1000);
    }
    _exit(1);
}

void OsForeignBegin(const char *file, const char *call) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = ForeignSignal;
    sigemptyset(&action.sa_mask);
    ForeignCall = call ? call : "";
    ForeignFile = file ? file : "";
    for (size_t i = 0; i < sizeof ForeignSignals / sizeof ForeignSignals[0]; ++i)
        sigaction(ForeignSignals[i], &action, &OuterActions[i]);
    if (CallLimit > 0 && !WorkerMode) {
        signal(SIGALRM, CallTimedOut);
        alarm((CallLimit + 999) / 1000);
    }
}

void OsForeignEnd() {
    if (!ForeignFile)
        return;
    if (CallLimit > 0 && !WorkerMode)
        alarm(0);
    ForeignFile = nullptr;
    for (size_t i = 0; i < sizeof ForeignSignals / sizeof ForeignSignals[0]; ++i)
        sigaction(ForeignSignals[i], &OuterActions[i], nullptr);
}

void OsForeignLimit(unsigned milliseconds) {
    CallLimit = milliseconds;
}

// The worker is a fork of this process on one end of a socket pair (no
// SIGPIPE for a peer that is gone), killed when this process ends.
struct PosixWorker {
    pid_t pid;
    int socket;
};

void *OsWorkerStart() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        return nullptr;
    PosixWorker *worker = static_cast<PosixWorker *>(calloc(1, sizeof(PosixWorker)));
    pid_t pid = worker ? fork() : -1;
    if (pid == 0) {
        close(ends[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        WorkerMode = true;
        _exit(ScanWorkerMain(&ends[1]));
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        free(worker);
        return nullptr;
    }
    worker->pid = pid;
    worker->socket = ends[0];
    return worker;
}

static long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static int Transfer(void *handle, void *data, int size, int milliseconds, bool send) {
    PosixWorker *worker = static_cast<PosixWorker *>(handle);
    char *bytes = static_cast<char *>(data);
    long long deadline = NowMs() + milliseconds;
    for (int done = 0; done < size;) {
        struct pollfd wait = {worker->socket, static_cast<short>(send ? POLLOUT : POLLIN), 0};
        int left = milliseconds < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - NowMs()));
        int ready = poll(&wait, 1, left);
        if (ready == 0)
            return kOsTimedOut;
        if (ready < 0 && errno == EINTR)
            continue;
        ssize_t moved = ready < 0 ? -1
                        : send    ? ::send(worker->socket, bytes + done, size - done, MSG_NOSIGNAL)
                                  : recv(worker->socket, bytes + done, size - done, 0);
        if (moved <= 0)
            return kOsWorkerEnded;
        done += static_cast<int>(moved);
    }
    return kOsDone;
}

int OsWorkerSend(void *worker, const void *data, int size, int milliseconds) {
    return Transfer(worker, const_cast<void *>(data), size, milliseconds, true);
}

int OsWorkerReceive(void *worker, void *data, int size, int milliseconds) {
    return Transfer(worker, data, size, milliseconds, false);
}

unsigned long OsWorkerEnd(void *handle) {
    PosixWorker *worker = static_cast<PosixWorker *>(handle);
    close(worker->socket);
    int status = 0;
    if (waitpid(worker->pid, &status, WNOHANG) == 0) {
        kill(worker->pid, SIGKILL);
        waitpid(worker->pid, &status, 0);
        status = 0x100; // ended here: exit code 1
    }
    free(worker);
    if (WIFSIGNALED(status))
        return 0xC0000000UL | static_cast<unsigned long>(WTERMSIG(status));
    return WIFEXITED(status) ? static_cast<unsigned long>(WEXITSTATUS(status)) : 1;
}

void OsWorkerClose(void *worker) {
    OsWorkerEnd(worker);
}

// A worker here is always a fork, handed its channel directly.
void *OsWorkerChannel() {
    return nullptr;
}

bool OsChannelRead(void *channel, void *data, int size) {
    char *bytes = static_cast<char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = recv(*static_cast<int *>(channel), bytes + done, size - done, 0);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}

bool OsChannelWrite(void *channel, const void *data, int size) {
    const char *bytes = static_cast<const char *>(data);
    for (int done = 0; done < size;) {
        ssize_t moved = send(*static_cast<int *>(channel), bytes + done, size - done, MSG_NOSIGNAL);
        if (moved <= 0)
            return false;
        done += static_cast<int>(moved);
    }
    return true;
}
