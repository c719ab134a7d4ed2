// The current user's registry on POSIX systems, kept as a folder tree.
#include "platform/registry.h"
#include "platform/posix/internal.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The current user's registry is a folder tree: CORVANE_REGISTRY_ROOT, else
// $HOME/.corvane-registry. A key is a folder, a subkey a folder inside it, and
// a text value a file named after the value ("@" for the unnamed default
// value) holding the text with its terminating NUL. Names are matched without
// regard to case, as the registry does; a new one is made as written.

static bool SameTextBlind(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (Fold(*a) != Fold(*b))
            return false;
    return *a == *b;
}

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
