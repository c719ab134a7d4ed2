// Files and folders.
#pragma once

#include "support/strings.h"

bool FileExists(const char *path);
bool FileCopy(const char *source, const char *destination);
// Entries whose names the ANSI code page cannot write are left out: no ANSI
// call could reach them. Their names ('?' for what the code page lacks) go to
// *unwritable when it is given. *failure, when given, is the system's error
// when the folder could not be searched, and 0 when it was (matches or not).
StringList ListFiles(const char *folder, const char *pattern, StringList *unwritable = nullptr,
                     unsigned *failure = nullptr);
StringList ListFolders(const char *folder, const char *pattern, StringList *unwritable = nullptr,
                       unsigned *failure = nullptr);
bool MakeDirs(const char *path);
char *ReadAll(const char *path);
