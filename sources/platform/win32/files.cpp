// Files and folders on Windows: the search by wide names, creating, replacing
// and deleting files, the state of a folder, and the working folder.
#include "platform/files.h"
#include "platform/win32/internal.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <direct.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The search runs on the names as the file system keeps them: the ANSI search
// hands back a name its code page cannot write as '?'s or as a look-alike,
// under which nothing can be found again.
static void FillEntry(const WIN32_FIND_DATAW &data, OsFindEntry *entry) {
    bool lacking = false;
    int length = WideToAnsi(data.cFileName, entry->name, sizeof entry->name, &lacking);
    bool fits = length > 0 && length <= static_cast<int>(sizeof entry->name);
    if (!fits)
        entry->name[0] = '\0';
    entry->unwritable = !fits || lacking;
    entry->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void *OsFindFirst(const char *pattern, OsFindEntry *entry) {
    // As for the ANSI search, the pattern must fit MAX_PATH.
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide, MAX_PATH) == 0) {
        if (GetLastError() == ERROR_INSUFFICIENT_BUFFER)
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide, &data);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_NO_MORE_FILES)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    FillEntry(data, entry);
    return search;
}

bool OsFindNext(void *search, OsFindEntry *entry) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(static_cast<HANDLE>(search), &data))
        return false;
    FillEntry(data, entry);
    return true;
}

void OsFindClose(void *search) {
    if (search)
        FindClose(static_cast<HANDLE>(search));
}

int OsMakeDir(const char *path) {
    return _mkdir(path);
}

int OsDeleteFile(const char *path) {
    return _unlink(path);
}

bool OsReplaceFile(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

FILE *OsCreateNewFile(const char *path, bool *taken) {
    int file = _open(path, _O_CREAT | _O_EXCL | _O_RDWR | _O_TEXT, _S_IREAD | _S_IWRITE);
    FILE *stream = file >= 0 ? _fdopen(file, "w+") : nullptr;
    if (stream)
        return stream;
    // A folder of that name may refuse access rather than report that it exists.
    *taken = file < 0 && (errno == EEXIST || GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES);
    if (file >= 0) {
        _close(file);
        _unlink(path);
    }
    return nullptr;
}

bool OsAppendText(const char *path, const char *text) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end.
    // FILE_READ_DATA only because a lock needs it.
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    size_t feeds = 0;
    for (const char *c = text; *c != '\0'; ++c)
        feeds += *c == '\n';
    size_t size = strlen(text) + feeds;
    char *bytes = size < MAXDWORD ? static_cast<char *>(malloc(size + 1)) : nullptr;
    bool whole = false;
    if (bytes) {
        char *out = bytes;
        for (const char *c = text; *c != '\0'; ++c) {
            if (*c == '\n')
                *out++ = '\r';
            *out++ = *c;
        }
        // Wine finds the end and writes there in two steps: a lock on a byte far
        // past any file's end makes each writer wait for the one before.
        OVERLAPPED beyond = {};
        beyond.OffsetHigh = 0x40000000;
        bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond) != FALSE;
        DWORD written = 0;
        whole = WriteFile(file, bytes, static_cast<DWORD>(size), &written, NULL) && written == size;
        if (locked)
            UnlockFileEx(file, 0, 1, 0, &beyond);
        free(bytes);
    }
    CloseHandle(file);
    return whole;
}

bool OsFileFound(const char *path) {
    // OpenFile copies the path into an OFSTRUCT of OFS_MAXPATHNAME bytes; a longer
    // path would overflow it, so such a path counts as not found.
    if (strlen(path) >= OFS_MAXPATHNAME)
        return false;
    OFSTRUCT ofs;
    memset(&ofs, 0, sizeof ofs);
    return OpenFile(path, &ofs, OF_EXIST) != HFILE_ERROR;
}

OsFolderState OsFolderCheck(const char *path, unsigned *error) {
    *error = 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND
                   ? kFolderMissing
                   : kFolderUnsearchable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = ERROR_DIRECTORY;
        return kFolderNotFolder;
    }
    size_t end = strlen(path);
    bool separated = end > 0 && strchr("\\/:", path[end - 1]) != nullptr;
    char pattern[MAX_PATH + 8];
    int length = snprintf(pattern, sizeof pattern, "%s%s*", path, separated ? "" : "\\");
    if (length < 0 || length >= static_cast<int>(sizeof pattern))
        return kFolderSearchable; // the scan's own search tells
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        return kFolderSearchable;
    }
    *error = GetLastError();
    // An empty drive root has no entries at all, not even "." and "..".
    return *error == ERROR_FILE_NOT_FOUND ? kFolderSearchable : kFolderUnsearchable;
}

// The working folder the program had, by its wide name (it may hold any
// name); null while it is in place.
static wchar_t *FormerFolder;

bool OsSetWorkingFolder(const char *folder) {
    // Reading it costs no call into the system: only a change does.
    char current[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryA(sizeof current, current);
    if (length > 0 && length < sizeof current && strcmp(current, folder) == 0)
        return true;
    if (!FormerFolder) {
        DWORD room = GetCurrentDirectoryW(0, NULL);
        FormerFolder = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
        if (FormerFolder && GetCurrentDirectoryW(room, FormerFolder) == 0) {
            free(FormerFolder);
            FormerFolder = nullptr;
        }
    }
    return SetCurrentDirectoryA(folder) != FALSE;
}

void OsRestoreWorkingFolder() {
    if (!FormerFolder)
        return;
    SetCurrentDirectoryW(FormerFolder);
    free(FormerFolder);
    FormerFolder = nullptr;
}
