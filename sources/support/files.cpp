// Files and folders.
#include "support/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "support/diagnostics.h"

bool FileExists(const char *path) {
    FILE *file = fopen(path, "r");
    if (!file)
        return false;
    // Some systems open a folder for reading; its first read then fails.
    fgetc(file);
    bool readable = !ferror(file);
    fclose(file);
    return readable;
}

bool FileCopy(const char *source, const char *destination) {
    FILE *in = fopen(source, "r");
    if (!in)
        Fatal("Can't open %s", source);
    FILE *out = fopen(destination, "w");
    if (!out)
        Fatal("Can't create %s", destination);
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
        fwrite(buffer, 1, got, out);
    fclose(out);
    fclose(in);
    return true;
}

static StringList ListEntries(const char *folder, const char *pattern, bool folders) {
    StringList list = ListNew(0);
    char *search = PathJoin(folder, *pattern ? pattern : "*.*");
    OsFindEntry entry;
    void *handle = OsFindFirst(search, &entry);
    if (handle) {
        do {
            if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0)
                continue;
            if (entry.folder == folders)
                ListAppend(&list, entry.name);
        } while (OsFindNext(handle, &entry));
        OsFindClose(handle);
    }
    free(search);
    return list;
}

StringList ListFiles(const char *folder, const char *pattern) {
    return ListEntries(folder, pattern, false);
}

StringList ListFolders(const char *folder, const char *pattern) {
    return ListEntries(folder, pattern, true);
}

bool MakeDirs(const char *path) {
    if (!path)
        return false;
    const char *rest = (path[0] && path[1] == ':') ? path + 2 : path;
    if (*rest == '\0' || strcmp(rest, ".") == 0 || strcmp(rest, "..") == 0 ||
        strcmp(rest, "/") == 0 || strcmp(rest, "\\") == 0)
        return false;

    // Forward slashes win: the parent ends at the last one even if a backslash follows.
    const char *cut = strrchr(path, '/');
    if (!cut)
        cut = strrchr(path, '\\');
    if (cut) {
        size_t length = static_cast<size_t>(cut - path);
        char *parent = static_cast<char *>(MemAlloc(static_cast<int32_t>(length + 1)));
        memcpy(parent, path, length);
        parent[length] = '\0';
        MakeDirs(parent);
        free(parent);
    }
    OsMakeDir(path);
    return true;
}

char *ReadAll(const char *path) {
    FILE *file = fopen(path, "r");
    if (!file)
        Fatal("Can't read file: %s", path);
    long size = 0;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    if (size < 0)
        size = 0;
    fseek(file, 0, SEEK_SET);
    char *text = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (!text)
        Fatal("ReadAll: Out of memory");
    size_t got = fread(text, 1, static_cast<size_t>(size), file);
    text[got] = '\0';
    fclose(file);
    return text;
}
