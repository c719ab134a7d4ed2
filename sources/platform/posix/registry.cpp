// The registry on POSIX systems, kept as folder trees.
#include "platform/registry.h"
#include "platform/posix/internal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The current user's registry is a folder tree: CORVANE_REGISTRY_ROOT, else
// $HOME/.corvane-registry; HKEY_USERS and HKEY_LOCAL_MACHINE are the trees
// beside it, that name with ".users" and ".machine" added. A key is a folder,
// a subkey a folder inside it, and a text value a file named after the value
// ("@" for the unnamed default value) holding the text with its terminating
// NUL. Names are matched without regard to case, as the registry does; a new
// one is made as written. Under HKEY_USERS a loaded hive is a folder or a link
// to a hive file, itself a folder tree (see profiles.cpp).

static bool SameTextBlind(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (Fold(*a) != Fold(*b))
            return false;
    return *a == *b;
}

// The name to use for an entry of a folder: an existing entry that matches
// without regard to case, else the name itself. A heap text; null when out of memory.
char *ExistingEntry(const char *folder, const char *name) {
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

static bool IsFolder(const char *path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

static bool MakeFolder(const char *path) {
    return mkdir(path, 0777) == 0 || (errno == EEXIST && IsFolder(path));
}

char *RegistryRootFolder(OsRegistryRoot root) {
    const char *base = getenv("CORVANE_REGISTRY_ROOT");
    const char *home = getenv("HOME");
    const char *end = root == kRootUsers ? ".users" : root == kRootMachine ? ".machine" : "";
    char text[4096];
    int length = base && *base   ? snprintf(text, sizeof text, "%s%s", base, end)
                 : home && *home ? snprintf(text, sizeof text, "%s/.corvane-registry%s", home, end)
                                 : -1;
    return length > 0 && static_cast<size_t>(length) < sizeof text ? strdup(text) : nullptr;
}

char *RegistryKeyFolder(OsRegistryRoot root, const char *path, bool create) {
    char *key = RegistryRootFolder(root);
    char *names = strdup(path ? path : "");
    bool ok = key && names && (create ? MakeFolder(key) : IsFolder(key));
    bool first = true;
    // Empty parts (doubled or trailing backslashes) are passed over.
    for (char *part = names; ok && part && *part;) {
        char *end = strchr(part, '\\');
        if (end)
            *end = '\0';
        if (*part) {
            ok = UsableName(part);
            char *next = ok ? ExistingEntry(key, part) : nullptr;
            free(key);
            key = next;
            // HKEY_USERS holds only the hives loaded: none is made by a key.
            bool make = create && !(first && root == kRootUsers);
            ok = key && (make ? MakeFolder(key) : IsFolder(key));
            first = false;
        }
        part = end ? end + 1 : nullptr;
    }
    free(names);
    if (!ok) {
        LastError = errno == 0 || errno == EEXIST ? ENOENT : static_cast<unsigned>(errno);
        free(key);
        return nullptr;
    }
    return key;
}

void *OsKeyCreateIn(OsRegistryRoot root, const char *path) {
    errno = 0;
    return RegistryKeyFolder(root, path, true);
}

void *OsUserKeyCreate(const char *path) {
    return OsKeyCreateIn(kRootCurrentUser, path);
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    LastError = EINVAL;
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
    LastError = ok ? 0 : static_cast<unsigned>(errno);
    free(path);
    return ok;
}

void OsKeyClose(void *key) {
    free(key);
}

char *OsKeyReadTextIn(OsRegistryRoot root, const char *path, const char *name) {
    errno = 0;
    char *key = RegistryKeyFolder(root, path, false);
    if (!name || !*name)
        name = "@";
    char *file = key && UsableName(name) ? ExistingEntry(key, name) : nullptr;
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

char *OsUserKeyReadText(const char *path, const char *name) {
    return OsKeyReadTextIn(kRootCurrentUser, path, name);
}

void *OsKeyOpenIn(OsRegistryRoot root, const char *path) {
    errno = 0;
    return RegistryKeyFolder(root, path, false);
}

// A number value is a file of its four bytes, least significant first.
bool OsKeySetNumber(void *key, const char *name, unsigned value) {
    char bytes[5] = {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                     static_cast<char>((value >> 16) & 0xFF),
                     static_cast<char>((value >> 24) & 0xFF), '\0'};
    char *path =
        key && name && UsableName(name) ? ExistingEntry(static_cast<char *>(key), name) : nullptr;
    FILE *file = path ? fopen(path, "wb") : nullptr;
    bool ok = file && fwrite(bytes, 1, 4, file) == 4;
    ok = file && fclose(file) == 0 && ok;
    LastError = ok ? 0 : errno ? static_cast<unsigned>(errno) : EINVAL;
    free(path);
    return ok;
}

bool OsKeyDeleteValue(void *key, const char *name) {
    if (!name || !*name)
        name = "@";
    char *path = key && UsableName(name) ? ExistingEntry(static_cast<char *>(key), name) : nullptr;
    bool ok = path && (unlink(path) == 0 || errno == ENOENT);
    LastError = ok ? 0 : path ? static_cast<unsigned>(errno) : EINVAL;
    free(path);
    return ok;
}

bool OsKeyFlush(void *key) {
    return key != nullptr; // the values are files, written whole
}

bool OsKeyDeleteIn(OsRegistryRoot root, const char *path) {
    errno = 0;
    char *key = RegistryKeyFolder(root, path, false);
    if (!key)
        return LastError == ENOENT;
    bool ok = true;
    if (DIR *dir = opendir(key)) {
        while (dirent *item = readdir(dir)) {
            if (!UsableName(item->d_name))
                continue;
            char *value = JoinNative(key, item->d_name);
            ok = value && unlink(value) == 0 && ok; // a subkey (a folder) stays, and so the key
            free(value);
        }
        closedir(dir);
    }
    ok = ok && rmdir(key) == 0;
    LastError = ok ? 0 : static_cast<unsigned>(errno);
    free(key);
    return ok;
}
