// Every user of the computer on POSIX systems, in the registry's folder trees
// (registry.cpp): the profile list is a key of HKEY_LOCAL_MACHINE's tree as on
// Windows, a profile folder a folder named by its ProfileImagePath, a hive file
// in it a folder tree of its own, and loading one a link to it in
// HKEY_USERS's tree. Privileges, the window station and the system's refusals
// to unload are what the tests choose.
#include "platform/profiles.h"
#include "platform/posix/internal.h"
#include "platform/system.h"

#include <dirent.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kProfileList[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

bool PrivilegesHeld;
bool StationSeen = true;
unsigned Session = 1;
char *RefusingFolder;
int Refusals;
unsigned *PauseTotal;

// The text with each %NAME% of a variable that is set replaced by its value,
// as the system expands a REG_EXPAND_SZ value (a heap text; null when out of memory).
char *Expand(const char *text) {
    size_t room = strlen(text) + 1;
    char *out = static_cast<char *>(malloc(room));
    size_t length = 0;
    for (const char *c = text; out && *c;) {
        const char *end = *c == '%' ? strchr(c + 1, '%') : nullptr;
        char name[256] = "";
        const char *value = nullptr;
        if (end && static_cast<size_t>(end - c - 1) < sizeof name) {
            memcpy(name, c + 1, end - c - 1);
            name[end - c - 1] = '\0';
            value = OsGetEnv(name);
        }
        const char *piece = value ? value : c;
        size_t pieceLength = value ? strlen(value) : 1;
        char *grown = static_cast<char *>(realloc(out, room += pieceLength));
        if (!grown) {
            free(out);
            return nullptr;
        }
        out = grown;
        memcpy(out + length, piece, pieceLength);
        length += pieceLength;
        c = value ? end + 1 : c + 1;
    }
    if (out)
        out[length] = '\0';
    return out;
}

// A value of a key of the profile list, expanded (a heap text, or null).
char *ListValue(const char *key, const char *name) {
    char path[1024];
    snprintf(path, sizeof path, "%s%s%s", kProfileList, *key ? "\\" : "", key);
    char *text = OsKeyReadTextIn(kRootMachine, path, name);
    char *expanded = text ? Expand(text) : nullptr;
    free(text);
    return expanded;
}

// A number value of a key of the profile list (four bytes, least significant
// first; see registry.cpp), 0 when it has none.
unsigned ListNumber(const char *key, const char *name) {
    char path[1024];
    snprintf(path, sizeof path, "%s\\%s", kProfileList, key);
    char *folder = RegistryKeyFolder(kRootMachine, path, false);
    char *file = folder ? ExistingEntry(folder, name) : nullptr;
    FILE *in = file ? fopen(file, "rb") : nullptr;
    unsigned char bytes[4] = {0, 0, 0, 0};
    bool read = in && fread(bytes, 1, 4, in) == 4;
    if (in)
        fclose(in);
    free(file);
    free(folder);
    return read ? bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<unsigned>(bytes[3]) << 24
                : 0;
}

bool SetProfile(OsProfile *profile, const char *key, char *folder, bool roaming, unsigned state) {
    profile->key = strdup(key);
    profile->folder = folder ? folder : strdup("");
    profile->place = folder ? NativePath(folder) : nullptr;
    profile->roaming = roaming;
    profile->state = state;
    return profile->key && profile->folder && (!folder || profile->place);
}

void FreeProfile(OsProfile *profile) {
    free(profile->key);
    free(profile->folder);
    free(profile->place);
}

int CompareProfiles(const void *a, const void *b) {
    return strcmp(static_cast<const OsProfile *>(a)->key, static_cast<const OsProfile *>(b)->key);
}

int CompareNames(const void *a, const void *b) {
    return strcmp(*static_cast<char *const *>(a), *static_cast<char *const *>(b));
}

// The HKEY_USERS entry of a hive name, letter case ignored (a heap text, or null).
char *HiveEntry(const char *name) {
    char *users = RegistryRootFolder(kRootUsers);
    char *entry = users && !strchr(name, '/') ? ExistingEntry(users, name) : nullptr;
    free(users);
    return entry;
}

} // namespace

OsProfile *OsProfileList(int *count) {
    *count = 0;
    errno = 0;
    char *folder = RegistryKeyFolder(kRootMachine, kProfileList, false);
    DIR *dir = folder ? opendir(folder) : nullptr;
    free(folder);
    if (!dir)
        return nullptr;
    OsProfile *profiles = static_cast<OsProfile *>(calloc(1, sizeof(OsProfile)));
    int room = 1;
    while (dirent *item = profiles ? readdir(dir) : nullptr) {
        if (item->d_name[0] == '.' && (!item->d_name[1] || !strcmp(item->d_name, "..")))
            continue;
        if (*count == room) {
            auto *grown = static_cast<OsProfile *>(realloc(profiles, 2 * room * sizeof *profiles));
            if (!grown)
                break;
            profiles = grown;
            room *= 2;
        }
        char *central = ListValue(item->d_name, "CentralProfile");
        OsProfile &profile = profiles[*count];
        memset(&profile, 0, sizeof profile);
        if (SetProfile(&profile, item->d_name, ListValue(item->d_name, "ProfileImagePath"),
                       central && *central, ListNumber(item->d_name, "State")))
            ++*count;
        else
            FreeProfile(&profile);
        free(central);
    }
    closedir(dir);
    // The registry lists keys by name.
    if (profiles)
        qsort(profiles, static_cast<size_t>(*count), sizeof *profiles, CompareProfiles);
    return profiles;
}

OsProfile *OsDefaultProfile() {
    char *folder = ListValue("", "Default");
    if (!folder) {
        char *profiles = ListValue("", "ProfilesDirectory");
        folder = profiles ? static_cast<char *>(malloc(strlen(profiles) + 9)) : nullptr;
        if (folder)
            snprintf(folder, strlen(profiles) + 9, "%s\\Default", profiles);
        free(profiles);
    }
    auto *profile = static_cast<OsProfile *>(calloc(1, sizeof(OsProfile)));
    if (!profile) {
        free(folder);
        return nullptr;
    }
    if (folder && SetProfile(profile, "Default", folder, false, 0))
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
    const char *folder = static_cast<const char *>(profile.place);
    char *path = folder && *folder ? JoinNative(folder, name) : nullptr;
    struct stat info;
    bool found = path && stat(path, &info) == 0;
    free(path);
    return found;
}

bool OsProfileFolderFound(const OsProfile &profile) {
    const char *folder = static_cast<const char *>(profile.place);
    struct stat info;
    return folder && *folder && stat(folder, &info) == 0 && S_ISDIR(info.st_mode);
}

bool OsEnableHivePrivileges() {
    return PrivilegesHeld;
}

void OsDisableHivePrivileges() {}

char **OsHiveNames() {
    char *users = RegistryRootFolder(kRootUsers);
    DIR *dir = users ? opendir(users) : nullptr;
    free(users);
    auto **names = static_cast<char **>(calloc(1, sizeof(char *)));
    int count = 0;
    while (dirent *item = dir && names ? readdir(dir) : nullptr) {
        if (item->d_name[0] == '.')
            continue;
        auto **grown = static_cast<char **>(realloc(names, (count + 2) * sizeof(char *)));
        if (!grown)
            break;
        names = grown;
        names[count] = strdup(item->d_name);
        count += names[count] != nullptr;
        names[count] = nullptr;
    }
    if (dir)
        closedir(dir);
    // The registry lists keys by name.
    if (names)
        qsort(names, static_cast<size_t>(count), sizeof *names, CompareNames);
    return names;
}

unsigned OsLoadHive(const char *name, const OsProfile &profile, const char *file) {
    const char *folder = static_cast<const char *>(profile.place);
    char *target = folder ? JoinNative(folder, file) : nullptr;
    char *users = RegistryRootFolder(kRootUsers);
    char *entry = HiveEntry(name);
    struct stat info;
    unsigned error = !PrivilegesHeld                              ? EPERM
                     : !target || !entry || !users                ? ENOMEM
                     : stat(target, &info) != 0                   ? ENOENT
                     : !S_ISDIR(info.st_mode)                     ? OsErrorNotRegistryFile
                     : lstat(entry, &info) == 0                   ? EEXIST
                     : mkdir(users, 0777) != 0 && errno != EEXIST ? static_cast<unsigned>(errno)
                                                                  : 0;
    // As on Windows, a hive file that is loaded already is busy.
    DIR *dir = error == 0 ? opendir(users) : nullptr;
    while (dirent *item = dir ? readdir(dir) : nullptr) {
        char *other = JoinNative(users, item->d_name);
        char linked[4096];
        ssize_t length = other ? readlink(other, linked, sizeof linked - 1) : -1;
        if (length > 0 && (linked[length] = '\0', strcmp(linked, target) == 0))
            error = EBUSY;
        free(other);
    }
    if (dir)
        closedir(dir);
    if (error == 0 && symlink(target, entry) != 0)
        error = static_cast<unsigned>(errno);
    free(entry);
    free(users);
    free(target);
    return error;
}

unsigned OsUnloadHive(const char *name) {
    char *entry = HiveEntry(name);
    char linked[4096];
    ssize_t length = entry ? readlink(entry, linked, sizeof linked - 1) : -1;
    unsigned error = !entry ? ENOMEM : length < 0 ? EINVAL : 0; // only a loaded file unloads
    if (error == 0 && RefusingFolder) {
        linked[length] = '\0';
        char *refused = JoinNative(RefusingFolder, "");
        if (refused && strncmp(linked, refused, strlen(refused)) == 0 && Refusals > 0) {
            --Refusals;
            error = EBUSY;
        }
        free(refused);
    }
    if (error == 0 && unlink(entry) != 0)
        error = static_cast<unsigned>(errno);
    free(entry);
    return error;
}

const unsigned OsErrorNotRegistryFile = ENOEXEC;

// When the process began, in clock ticks since the system started (the 22nd
// field of its stat file, after the name in parentheses, which may hold any
// character), and whether it runs a program named as one of the builds.
OsProcessMark OsProcessAt(int id) {
    OsProcessMark mark = {0, false};
    char path[64], text[1024] = "";
    snprintf(path, sizeof path, "/proc/%d/stat", id);
    FILE *in = id > 0 ? fopen(path, "r") : nullptr;
    size_t length = in ? fread(text, 1, sizeof text - 1, in) : 0;
    if (in)
        fclose(in);
    text[length] = '\0';
    const char *open = strchr(text, '(');
    const char *close = strrchr(text, ')');
    const char *field = close;
    for (int n = 2; field && n < 22; ++n)
        field = strchr(field + 1, ' ');
    if (!field || !open || close < open)
        return mark;
    mark.stamp = strtoull(field + 1, nullptr, 10) + 1; // never 0 for one that runs
    std::string name(open + 1, close);
    mark.program = name == "Corvane" || name == "Corvane64";
    return mark;
}

void OsPause(unsigned milliseconds) {
    if (PauseTotal) {
        *PauseTotal += milliseconds;
        return;
    }
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000),
                             static_cast<long>(milliseconds % 1000) * 1000000};
    nanosleep(&pause, nullptr);
}

bool OsInteractiveStation() {
    return StationSeen;
}

unsigned OsSessionId() {
    return Session;
}

void OsSetSessionForTest(unsigned session) {
    Session = session;
}

void OsSetPausesForTest(unsigned *total) {
    PauseTotal = total;
}

void OsSetHivePrivilegesForTest(bool held) {
    PrivilegesHeld = held;
}

void OsSetInteractiveStationForTest(bool seen) {
    StationSeen = seen;
}

void OsSetUnloadRefusalsForTest(const char *folder, int times) {
    free(RefusingFolder);
    RefusingFolder = folder ? NativePath(folder) : nullptr;
    Refusals = times;
}
