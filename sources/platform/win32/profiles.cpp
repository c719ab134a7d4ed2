// Every user of the computer on Windows: the profile list, the hives loaded
// under HKEY_USERS with the backup and restore privileges, and the window
// station.
#include "platform/profiles.h"
#include "platform/win32/internal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr DWORD kKeyNameRoom = 256; // a key's name has at most 255 characters

// A text value as a heap wide text, an expandable one (REG_EXPAND_SZ, as
// ProfileImagePath is) with its variables expanded; null when it is missing or
// no text.
wchar_t *QueryText(HKEY key, const wchar_t *name) {
    auto query = ADVAPI_CALL(RegQueryValueExW);
    DWORD type = 0;
    DWORD bytes = 0;
    if (!query || query(key, name, NULL, &type, NULL, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return nullptr;
    // Room for a NUL the stored data may lack.
    size_t room = bytes / sizeof(wchar_t) + 1;
    auto *text = static_cast<wchar_t *>(calloc(room, sizeof(wchar_t)));
    if (!text ||
        query(key, name, NULL, &type, reinterpret_cast<BYTE *>(text), &bytes) != ERROR_SUCCESS) {
        free(text);
        return nullptr;
    }
    text[bytes / sizeof(wchar_t) < room ? bytes / sizeof(wchar_t) : room - 1] = L'\0';
    if (type != REG_EXPAND_SZ)
        return text;
    DWORD needed = ExpandEnvironmentStringsW(text, NULL, 0);
    auto *expanded = needed ? static_cast<wchar_t *>(calloc(needed, sizeof(wchar_t))) : nullptr;
    if (expanded && ExpandEnvironmentStringsW(text, expanded, needed) > needed) {
        free(expanded);
        expanded = nullptr;
    }
    free(text);
    return expanded;
}

// A number value (REG_DWORD), 0 when it is missing or no number.
unsigned QueryNumber(HKEY key, const wchar_t *name) {
    auto query = ADVAPI_CALL(RegQueryValueExW);
    DWORD type = 0;
    DWORD number = 0;
    DWORD bytes = sizeof number;
    if (!query ||
        query(key, name, NULL, &type, reinterpret_cast<BYTE *>(&number), &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return number;
}

// Wide text in the code page, '?' for what it lacks (a heap text; null when out of memory).
char *AnsiText(const wchar_t *wide) {
    bool lacking = false;
    int needed = WideToAnsi(wide, nullptr, 0, &lacking);
    char *text = needed > 0 ? static_cast<char *>(malloc(needed)) : nullptr;
    if (text && WideToAnsi(wide, text, needed, &lacking) != needed) {
        free(text);
        text = nullptr;
    }
    return text;
}

// Code-page text as a heap wide text; null when out of memory.
wchar_t *WideText(const char *text) {
    int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    auto *wide = needed > 0 ? static_cast<wchar_t *>(calloc(needed, sizeof(wchar_t))) : nullptr;
    if (wide && MultiByteToWideChar(CP_ACP, 0, text, -1, wide, needed) != needed) {
        free(wide);
        wide = nullptr;
    }
    return wide;
}

// A file of a profile's folder by its full path (a heap text; null when the
// profile has no folder or memory runs out).
wchar_t *ProfileFile(const OsProfile &profile, const char *name) {
    const wchar_t *folder = static_cast<const wchar_t *>(profile.place);
    wchar_t *file = WideText(name);
    size_t length = folder ? wcslen(folder) : 0;
    size_t nameLength = file ? wcslen(file) : 0;
    auto *path = folder && *folder && file
                     ? static_cast<wchar_t *>(calloc(length + nameLength + 2, sizeof(wchar_t)))
                     : nullptr;
    if (path) {
        wmemcpy(path, folder, length);
        path[length] = L'\\';
        wmemcpy(path + length + 1, file, nameLength + 1);
    }
    free(file);
    return path;
}

// A profile record for a key and its folder (taken over; null for none).
bool SetProfile(OsProfile *profile, const wchar_t *key, wchar_t *folder, bool roaming,
                unsigned state) {
    profile->key = AnsiText(key);
    profile->folder = folder ? AnsiText(folder) : static_cast<char *>(calloc(1, 1));
    profile->place = folder;
    profile->roaming = roaming;
    profile->state = state;
    return profile->key && profile->folder;
}

void FreeProfile(OsProfile *profile) {
    free(profile->key);
    free(profile->folder);
    free(profile->place);
}

HKEY OpenProfileList() {
    auto open = ADVAPI_CALL(RegOpenKeyExW);
    HKEY list = NULL;
    LONG result = open
                      ? open(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ | KEY_WOW64_64KEY, &list)
                      : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS ? list : NULL;
}

} // namespace

OsProfile *OsProfileList(int *count) {
    *count = 0;
    auto enumerate = ADVAPI_CALL(RegEnumKeyExW);
    auto open = ADVAPI_CALL(RegOpenKeyExW);
    auto close = ADVAPI_CALL(RegCloseKey);
    HKEY list = enumerate && open && close ? OpenProfileList() : NULL;
    if (!list)
        return nullptr;
    OsProfile *profiles = static_cast<OsProfile *>(calloc(1, sizeof(OsProfile)));
    int room = 1;
    wchar_t name[kKeyNameRoom];
    DWORD length = kKeyNameRoom;
    for (DWORD i = 0;
         profiles && enumerate(list, i, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++i, length = kKeyNameRoom) {
        if (*count == room) {
            auto *grown = static_cast<OsProfile *>(realloc(profiles, 2 * room * sizeof *profiles));
            if (!grown)
                break;
            profiles = grown;
            room *= 2;
        }
        HKEY entry = NULL;
        wchar_t *folder = nullptr;
        bool roaming = false;
        unsigned state = 0;
        if (open(list, name, 0, KEY_READ, &entry) == ERROR_SUCCESS) {
            folder = QueryText(entry, L"ProfileImagePath");
            wchar_t *central = QueryText(entry, L"CentralProfile");
            roaming = central && *central;
            free(central);
            state = QueryNumber(entry, L"State");
            close(entry);
        }
        OsProfile &profile = profiles[*count];
        memset(&profile, 0, sizeof profile);
        if (SetProfile(&profile, name, folder, roaming, state))
            ++*count;
        else
            FreeProfile(&profile); // short of memory: the slot is used again
    }
    close(list);
    return profiles;
}

OsProfile *OsDefaultProfile() {
    HKEY list = OpenProfileList();
    auto close = ADVAPI_CALL(RegCloseKey);
    if (!list || !close)
        return nullptr;
    wchar_t *folder = QueryText(list, L"Default");
    if (!folder) {
        constexpr wchar_t kDefault[] = L"\\Default";
        wchar_t *profiles = QueryText(list, L"ProfilesDirectory");
        size_t length = profiles ? wcslen(profiles) : 0;
        folder = profiles ? static_cast<wchar_t *>(calloc(length + 9, sizeof(wchar_t))) : nullptr;
        if (folder) {
            wmemcpy(folder, profiles, length);
            wmemcpy(folder + length, kDefault, 9);
        }
        free(profiles);
    }
    close(list);
    auto *profile = static_cast<OsProfile *>(calloc(1, sizeof(OsProfile)));
    if (!profile) {
        free(folder);
        return nullptr;
    }
    if (folder && SetProfile(profile, L"Default", folder, false, 0))
        return profile;
    OsProfilesFree(profile, 1); // with what SetProfile took over
    return nullptr;
}

void OsProfilesFree(OsProfile *profiles, int count) {
    for (int i = 0; profiles && i < count; ++i)
        FreeProfile(&profiles[i]);
    free(profiles);
}

bool OsProfileHasFile(const OsProfile &profile, const char *name) {
    wchar_t *path = ProfileFile(profile, name);
    DWORD attributes = path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    free(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool OsProfileFolderFound(const OsProfile &profile) {
    const wchar_t *folder = static_cast<const wchar_t *>(profile.place);
    DWORD attributes = folder && *folder ? GetFileAttributesW(folder) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

bool SetHivePrivileges(DWORD attributes) {
    auto openToken = ADVAPI_CALL(OpenProcessToken);
    auto lookup = ADVAPI_CALL(LookupPrivilegeValueW);
    auto adjust = ADVAPI_CALL(AdjustTokenPrivileges);
    HANDLE token = NULL;
    if (!openToken || !lookup || !adjust ||
        !openToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    // TOKEN_PRIVILEGES with room for two.
    struct {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[2];
    } wanted = {2, {{{0, 0}, attributes}, {{0, 0}, attributes}}};
    static_assert(offsetof(decltype(wanted), privileges) == offsetof(TOKEN_PRIVILEGES, Privileges),
                  "laid out as TOKEN_PRIVILEGES");
    // A privilege the token lacks is not enabled, and the call still succeeds:
    // only its last error (ERROR_NOT_ALL_ASSIGNED) tells.
    bool enabled =
        lookup(NULL, L"SeBackupPrivilege", &wanted.privileges[0].Luid) &&
        lookup(NULL, L"SeRestorePrivilege", &wanted.privileges[1].Luid) &&
        adjust(token, FALSE, reinterpret_cast<TOKEN_PRIVILEGES *>(&wanted), 0, NULL, NULL) &&
        GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
}

} // namespace

bool OsEnableHivePrivileges() {
    return SetHivePrivileges(SE_PRIVILEGE_ENABLED);
}

void OsDisableHivePrivileges() {
    SetHivePrivileges(0);
}

char **OsHiveNames() {
    auto enumerate = ADVAPI_CALL(RegEnumKeyExW);
    if (!enumerate)
        return nullptr;
    int count = 0;
    auto **names = static_cast<char **>(calloc(1, sizeof(char *)));
    wchar_t name[kKeyNameRoom];
    DWORD length = kKeyNameRoom;
    for (DWORD i = 0;
         names && enumerate(HKEY_USERS, i, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++i, length = kKeyNameRoom) {
        auto **grown = static_cast<char **>(realloc(names, (count + 2) * sizeof(char *)));
        if (!grown)
            break;
        names = grown;
        if (char *text = AnsiText(name))
            names[count++] = text;
        names[count] = nullptr;
    }
    return names;
}

unsigned OsLoadHive(const char *name, const OsProfile &profile, const char *file) {
    auto load = ADVAPI_CALL(RegLoadKeyW);
    wchar_t *hive = WideText(name);
    wchar_t *path = ProfileFile(profile, file);
    // Windows refuses a file another name holds (ERROR_SHARING_VIOLATION); Wine loads it again.
    LONG result = !load          ? ERROR_PROC_NOT_FOUND
                  : hive && path ? load(HKEY_USERS, hive, path)
                                 : ERROR_NOT_ENOUGH_MEMORY;
    free(path);
    free(hive);
    return static_cast<unsigned>(result);
}

unsigned OsUnloadHive(const char *name) {
    auto unload = ADVAPI_CALL(RegUnLoadKeyW);
    wchar_t *hive = WideText(name);
    // Windows refuses while a key of the hive is open (ERROR_ACCESS_DENIED) and
    // keeps what was written; Wine unloads it at once and drops it.
    LONG result = hive && unload ? unload(HKEY_USERS, hive) : ERROR_NOT_ENOUGH_MEMORY;
    free(hive);
    return static_cast<unsigned>(result);
}

const unsigned OsErrorNotRegistryFile = ERROR_NOT_REGISTRY_FILE;

OsProcessMark OsProcessAt(int id) {
    OsProcessMark mark = {0, false};
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (!process) {
        // A protected process denies even this: one runs, and it is none of
        // this program's, which runs unprotected.
        mark.stamp = GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0;
        return mark;
    }
    FILETIME born, unused[3];
    wchar_t image[MAX_PATH];
    DWORD length = MAX_PATH;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        mark.stamp = GetProcessTimes(process, &born, &unused[0], &unused[1], &unused[2])
                         ? (static_cast<uint64_t>(born.dwHighDateTime) << 32) | born.dwLowDateTime
                         : 1;
        if (QueryFullProcessImageNameW(process, 0, image, &length)) {
            const wchar_t *name = wcsrchr(image, L'\\');
            name = name ? name + 1 : image;
            mark.program =
                _wcsicmp(name, L"Corvane.exe") == 0 || _wcsicmp(name, L"Corvane64.exe") == 0;
        }
    }
    CloseHandle(process);
    return mark;
}

void OsPause(unsigned milliseconds) {
    Sleep(milliseconds);
}

unsigned OsSessionId() {
    DWORD session = 1; // where it cannot be told, a user's
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session))
        session = 1;
    return session;
}

bool OsInteractiveStation() {
    auto station = USER_CALL(GetProcessWindowStation);
    auto information = USER_CALL(GetUserObjectInformationW);
    USEROBJECTFLAGS flags = {};
    DWORD size = 0;
    // Where it cannot be told, a box is shown as ever.
    if (!station || !information || !information(station(), UOI_FLAGS, &flags, sizeof flags, &size))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}
