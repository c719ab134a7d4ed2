// Files and folders.
#include "support/files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "platform/system.h"
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

namespace {

// Copies the rest of in to out as a text-mode read would see it, CR LF as one
// line feed, but up to the true end: a Ctrl-Z byte (0x1A) is just a byte.
// False when a write fails.
bool CopyText(FILE *in, FILE *out) {
    char block[4096];
    char text[sizeof block + 1];
    bool heldReturn = false; // a carriage return that ended the last block
    size_t got;
    while ((got = fread(block, 1, sizeof block, in)) > 0) {
        size_t length = 0;
        for (size_t i = 0; i < got; i++) {
            if (heldReturn && block[i] != '\n')
                text[length++] = '\r';
            heldReturn = block[i] == '\r';
            if (!heldReturn)
                text[length++] = block[i];
        }
        if (fwrite(text, 1, length, out) != length)
            return false;
    }
    return !heldReturn || fputc('\r', out) != EOF;
}

} // namespace

bool FileCopy(const char *source, const char *destination) {
    FILE *in = fopen(source, "rb");
    if (!in)
        Fatal("Can't open %s", source);
    // The copy is made beside the destination and replaces it only when it is
    // complete, so a full disk never leaves a cut-off file in its place.
    char number[16];
    FormatDecimal(number, sizeof number, ProcessId());
    char *temporary = StrCat3(destination, ".", number);
    FILE *out = fopen(temporary, "w");
    if (!out) {
        fclose(in);
        Fatal("Can't create %s", destination);
    }
    bool written = CopyText(in, out);
    bool read = !ferror(in);
    fclose(in);
    written = fclose(out) == 0 && written;
    bool replaced = read && written && OsReplaceFile(temporary, destination);
    if (!replaced) {
        remove(temporary);
        if (!read)
            Fatal("Can't open %s", source);
        if (!written)
            Fatal("Can't write %s", destination);
        Fatal("Can't create %s", destination);
    }
    free(temporary);
    return true;
}

static StringList ListEntries(const char *folder, const char *pattern, bool folders,
                              StringList *unwritable, unsigned *failure) {
    StringList list = ListNew(0);
    char *search = PathJoin(folder, *pattern ? pattern : "*.*");
    OsFindEntry entry;
    void *handle = OsFindFirst(search, &entry);
    unsigned error = handle ? 0 : OsLastError();
    if (failure)
        *failure = error == OsErrorFileNotFound ? 0 : error;
    if (handle) {
        do {
            if (strcmp(entry.name, ".") == 0 || strcmp(entry.name, "..") == 0)
                continue;
            if (entry.folder != folders)
                continue;
            if (!entry.unwritable)
                ListAppend(&list, entry.name);
            else if (unwritable)
                ListAppend(unwritable, entry.name);
        } while (OsFindNext(handle, &entry));
        OsFindClose(handle);
    }
    free(search);
    return list;
}

StringList ListFiles(const char *folder, const char *pattern, StringList *unwritable,
                     unsigned *failure) {
    return ListEntries(folder, pattern, false, unwritable, failure);
}

StringList ListFolders(const char *folder, const char *pattern, StringList *unwritable,
                       unsigned *failure) {
    return ListEntries(folder, pattern, true, unwritable, failure);
}

namespace {

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

// Whether a path names nothing to create: empty, a drive, a root or a dot.
bool NothingToCreate(const char *path) {
    const char *rest = (path[0] && path[1] == ':') ? path + 2 : path;
    return *rest == '\0' || strcmp(rest, ".") == 0 || strcmp(rest, "..") == 0 ||
           strcmp(rest, "/") == 0 || strcmp(rest, "\\") == 0;
}

} // namespace

bool MakeDirs(const char *path) {
    if (!path || NothingToCreate(path))
        return false;
    // Every level from the top down, cut at either separator, so that a chain
    // that mixes them is made whole, and without recursion however deep it is.
    char *level = StrDup(path);
    for (char *c = level; *c; c = const_cast<char *>(NextChar(c))) {
        if (!IsPathSeparator(*c))
            continue;
        *c = '\0';
        if (!NothingToCreate(level))
            OsMakeDir(level);
        *c = path[c - level];
    }
    OsMakeDir(path);
    free(level);
    return true;
}

// Drops the carriage return of each CR LF pair in place, as a text-mode read
// does; returns the new length.
static size_t JoinLineEnds(char *text, size_t length) {
    size_t kept = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] != '\r' || i + 1 == length || text[i + 1] != '\n')
            text[kept++] = text[i];
    }
    return kept;
}

char *ReadAll(const char *path) {
    // Binary, so that a Ctrl-Z byte (0x1A) does not end the text early.
    FILE *file = fopen(path, "rb");
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
    text[JoinLineEnds(text, got)] = '\0';
    fclose(file);
    return text;
}
