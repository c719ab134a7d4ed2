// Files and folders on POSIX systems: the search with Windows' wildcards,
// creating, replacing and deleting files, the state of a folder, and the
// working folder.
#include "platform/files.h"
#include "platform/system.h"
#include "platform/posix/internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A heap copy of a path with the Windows separators turned into slashes (never
// the second byte of a character); null when memory runs out.
char *NativePath(const char *path) {
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
char *JoinNative(const char *folder, const char *name) {
    size_t size = strlen(folder) + strlen(name) + 2;
    char *joined = static_cast<char *>(malloc(size));
    if (joined)
        snprintf(joined, size, "%s/%s", folder, name);
    return joined;
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
    LastError = search->dir ? ENOENT : static_cast<unsigned>(errno);
    // As Windows' ANSI search, no pattern past 259 characters.
    if (strlen(pattern) >= 260)
        LastError = ENAMETOOLONG;
    if (!search->dir || LastError == ENAMETOOLONG || !OsFindNext(search, entry)) {
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

bool OsAppendText(const char *path, const char *text) {
    int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (file < 0)
        return false;
    size_t size = strlen(text);
    bool whole = write(file, text, size) == static_cast<ssize_t>(size);
    return close(file) == 0 && whole;
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

static char *FormerFolder;

bool OsSetWorkingFolder(const char *folder) {
    char *native = NativePath(folder);
    char *current = getcwd(nullptr, 0);
    bool same = native && current && strcmp(native, current) == 0;
    if (!same && !FormerFolder) {
        FormerFolder = current;
        current = nullptr;
    }
    bool entered = native && (same || chdir(native) == 0);
    free(current);
    free(native);
    return entered;
}

void OsRestoreWorkingFolder() {
    if (!FormerFolder)
        return;
    // A folder gone in the meantime leaves nowhere else to go.
    int back = chdir(FormerFolder);
    (void)back;
    free(FormerFolder);
    FormerFolder = nullptr;
}

// The system's own account is root; others may change what another owns, what
// its group or everyone may write, and what a folder above lets them rename
// (one they may write without the sticky bit).
bool OsOthersMayChange(const char *path) {
    char *native = NativePath(path);
    struct stat info;
    bool others = !native || stat(native, &info) != 0 || info.st_uid != 0 || (info.st_mode & 022);
    for (int level = 0; native && !others; ++level) {
        char *cut = strrchr(native, '/');
        if (!cut)
            break;
        cut[cut == native ? 1 : 0] = '\0';
        others = stat(native, &info) != 0 || info.st_uid != 0 ||
                 (level == 0 ? (info.st_mode & 022) != 0
                             : (info.st_mode & 022) != 0 && !(info.st_mode & S_ISVTX));
        if (cut == native)
            break;
    }
    free(native);
    return others;
}

int OsLongPath(const char *path, char *buf, int size) {
    char *native = NativePath(path);
    char *real = native ? realpath(native, nullptr) : nullptr;
    int length = real ? static_cast<int>(strlen(real)) : 0;
    if (real && length < size)
        memcpy(buf, real, static_cast<size_t>(length) + 1);
    free(real);
    free(native);
    return !real ? 0 : length < size ? length : length + 1;
}
