// Files and folders.
#pragma once

#include "support/strings.h"

bool FileExists(const char *path);
bool FileCopy(const char *source, const char *destination);
// Entries whose names the ANSI code page cannot write are left out: no ANSI
// call could reach them. Their names ('?' for what the code page lacks) go to
// *unwritable when it is given.
StringList ListFiles(const char *folder, const char *pattern, StringList *unwritable = nullptr);
StringList ListFolders(const char *folder, const char *pattern, StringList *unwritable = nullptr);
bool MakeDirs(const char *path);
char *ReadAll(const char *path);
