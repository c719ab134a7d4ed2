// The program's place in a POSIX system: the nearest real equivalents of its
// command line, paths, environment, code page, boxes and error texts on
// Windows, and answers the tests choose where there is none.
#include "platform/system.h"
#include "platform/posix/internal.h"

#include <fcntl.h>
#include <iconv.h>
#include <spawn.h>
#include <time.h>
#include <unistd.h>

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

int Fold(char c) {
    return tolower(static_cast<unsigned char>(c));
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

// Paths have no code page here: every one can be written.
int OsExecutablePath(char *buf, int size, bool *unwritable) {
    *unwritable = false;
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

char *OsGetEnvFolder(const char *name, bool *unwritable) {
    *unwritable = false;
    const char *value = OsGetEnv(name);
    return value ? strdup(value) : nullptr;
}

int OsProcessId() {
    return static_cast<int>(getpid());
}

unsigned OsMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned>(now.tv_sec * 1000LL + now.tv_nsec / 1000000);
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
const unsigned OsErrorBadFormat = ELIBBAD;
const unsigned OsErrorInitFailed = ~0u;
const unsigned OsErrorTimedOut = ETIMEDOUT;

bool OsErrorText(unsigned code, const char *, char *buf, int size) {
    if (size <= 0)
        return false;
    snprintf(buf, static_cast<size_t>(size), "%s", strerror(static_cast<int>(code)));
    return *buf != '\0';
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

// The code page the tests choose, through the C library's converter; what it
// cannot write becomes '?', one for each character.
char *OsUtf8ToAnsi(const char *text, bool *lacking) {
    *lacking = false;
    char name[16];
    snprintf(name, sizeof name, "CP%u", CodePage);
    iconv_t converter = iconv_open(name, "UTF-8");
    size_t left = strlen(text);
    size_t room = left * 2 + 1; // a code page takes at most two bytes a character
    char *ansi =
        converter != reinterpret_cast<iconv_t>(-1) ? static_cast<char *>(malloc(room)) : nullptr;
    char *in = const_cast<char *>(text);
    char *out = ansi;
    while (ansi && left > 0 &&
           iconv(converter, &in, &left, &out, &room) == static_cast<size_t>(-1)) {
        *lacking = true;
        *out++ = '?';
        room--;
        // Past the lead byte and its continuation bytes.
        do {
            ++in, --left;
        } while (left > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
    }
    if (ansi)
        *out = '\0';
    if (converter != reinterpret_cast<iconv_t>(-1))
        iconv_close(converter);
    return ansi;
}

// There is no system account here: the tests choose the answer.
static bool LocalSystem;

bool OsIsLocalSystem() {
    return LocalSystem;
}

void OsSetLocalSystemForTest(bool system) {
    LocalSystem = system;
}
