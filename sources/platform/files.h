// Files and folders: the directory search, creating, replacing and deleting
// files, and whether a folder can be searched.
#pragma once

#include <cstdio>

// Directory search by pattern ("*" any run, "?" one character, "*.*" every
// name, letter case ignored).
struct OsFindEntry {
    char name[3 * 260]; // any name of the file system in any ANSI code page
    bool folder;
    // The code page cannot write the name (name has '?' for what it lacks): no
    // call that takes an ANSI path reaches the entry.
    bool unwritable;
};
// Starts a search; null when nothing matches or the folder cannot be searched.
void *OsFindFirst(const char *pattern, OsFindEntry *entry);
bool OsFindNext(void *search, OsFindEntry *entry);
void OsFindClose(void *search);

// _mkdir and _unlink: 0 on success.
int OsMakeDir(const char *path);
int OsDeleteFile(const char *path);

// Moves a finished file over another in one step (the target may exist); false
// when it cannot, the target then unchanged.
bool OsReplaceFile(const char *from, const char *to);

// Creates a file that does not exist yet and opens it as fopen's "w+" does
// (text mode); null when it cannot, *taken then telling whether something of
// that name is in the way.
FILE *OsCreateNewFile(const char *path, bool *taken);

// Whether the system finds a file at the path (OpenFile with OF_EXIST).
bool OsFileFound(const char *path);

// Whether a folder can be searched; when not, why, with the system's error in
// *error.
enum OsFolderState : int {
    kFolderSearchable,
    kFolderMissing,
    kFolderNotFolder, // a file of that name
    kFolderUnsearchable,
};
OsFolderState OsFolderCheck(const char *path, unsigned *error);
