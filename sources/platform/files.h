// Files and folders: the directory search, creating, replacing and deleting
// files, whether a folder can be searched, and the working folder.
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
// Starts a search; null when nothing matches or the folder cannot be searched,
// OsLastError then telling which: OsErrorFileNotFound when nothing matches.
// As for the system's ANSI search, the pattern must fit in 259 characters.
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

// Appends the text to the file (created when missing) in one write, its line
// feeds as a text-mode stream writes them (CR LF on Windows). The file is open
// for appending only, so the system puts the write at its end: processes that
// append at once never overwrite or split each other's text. False when the
// text is not written whole.
bool OsAppendText(const char *path, const char *text);

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

// The working folder while a data source is loaded, asked and freed: its own
// folder, as the Source Managers make it, so that the libraries it imports or
// loads by bare name from there are found. OsSetWorkingFolder changes it only
// where it differs, and the first change notes the folder it replaces, which
// OsRestoreWorkingFolder puts back; false when the folder cannot be entered.
bool OsSetWorkingFolder(const char *folder);
void OsRestoreWorkingFolder();

// Whether an account other than the system's own and the administrators' may
// change or replace the file or folder: its owner is another account, or its
// access list lets another write into it, delete it or change who may; or one
// of the folders above it lets another rename or delete what it holds. True
// also when that cannot be told.
bool OsOthersMayChange(const char *path);

// The long form of an existing path (each short 8.3 name spelled out): its
// length, or the size needed (including the NUL) when buf is too small, or 0
// on failure.
int OsLongPath(const char *path, char *buf, int size);
