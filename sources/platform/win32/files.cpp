// Files and folders on Windows: the search by wide names, creating, replacing
// and deleting files, the state of a folder, and the working folder.
#include "platform/files.h"
#include "platform/win32/internal.h"

#include <aclapi.h>
#include <sddl.h>

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

namespace {

// What lets an account change or replace a file or folder (FILE_WRITE_DATA,
// that is FILE_ADD_FILE, FILE_APPEND_DATA or FILE_ADD_SUBDIRECTORY,
// FILE_DELETE_CHILD, DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE,
// GENERIC_ALL), and what lets it rename or delete a folder's entries, and so
// the folder below it.
constexpr DWORD kChangeRights =
    0x2 | 0x4 | 0x40 | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr DWORD kRenameRights = 0x40 | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// The system, the administrators, TrustedInstaller, and the two that stand
// for the owner (CREATOR OWNER is only ever inherited; OWNER RIGHTS is the
// owner, itself one of the first three).
constexpr const char *kTrusted[] = {
    "S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
    "S-1-3-0", "S-1-3-4"};

bool TrustedSid(PSID sid) {
    auto text = ADVAPI_CALL(ConvertSidToStringSidA);
    char *name = nullptr;
    if (!sid || !text || !text(sid, &name))
        return false;
    bool trusted = false;
    for (const char *one : kTrusted)
        trusted = trusted || strcmp(name, one) == 0;
    LocalFree(name);
    return trusted;
}

// One object: its owner and the entries of its access list that apply to it
// (not those only inherited by what it holds); deny entries are not counted,
// which can only make the answer stricter.
bool OthersHold(const wchar_t *path, DWORD rights) {
    auto security = ADVAPI_CALL(GetNamedSecurityInfoW);
    PSID owner = NULL;
    PACL list = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!security ||
        security(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                 &owner, NULL, &list, NULL, &descriptor) != ERROR_SUCCESS)
        return true;
    // No access list at all lets everyone do everything.
    bool others = !TrustedSid(owner) || !list;
    const BYTE *entry = list ? reinterpret_cast<const BYTE *>(list + 1) : nullptr;
    for (WORD i = 0; !others && list && i < list->AceCount; ++i) {
        const auto *header = reinterpret_cast<const ACE_HEADER *>(entry);
        bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE ||
                      header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
        if (allows && !(header->AceFlags & INHERIT_ONLY_ACE)) {
            const auto *ace = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(entry);
            others = (ace->Mask & rights) && !TrustedSid(const_cast<DWORD *>(&ace->SidStart));
        }
        entry += header->AceSize;
    }
    LocalFree(descriptor);
    return others;
}

} // namespace

bool OsOthersMayChange(const char *path) {
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) == 0)
        return true;
    bool others = OthersHold(wide, kChangeRights);
    // The folders above: its own folder as the file itself, the rest for
    // what would let another rename it away and put another in its place.
    for (int level = 0; !others; ++level) {
        wchar_t *cut = wcsrchr(wide, L'\\');
        if (!cut || cut == wide || cut[-1] == L'\\')
            break;
        cut[cut[-1] == L':' ? 1 : 0] = L'\0'; // a drive's root keeps its backslash
        others = OthersHold(wide, level == 0 ? kChangeRights : kRenameRights);
        if (cut[-1] == L':')
            break;
    }
    return others;
}

int OsLongPath(const char *path, char *buf, int size) {
    DWORD length = GetLongPathNameA(path, buf, static_cast<DWORD>(size));
    return static_cast<int>(length);
}
