// Files and folders.
#pragma once

#include "support/strings.h"

bool FileExists(const char *path);
bool FileCopy(const char *source, const char *destination);
StringList ListFiles(const char *folder, const char *pattern);
StringList ListFolders(const char *folder, const char *pattern);
bool MakeDirs(const char *path);
char *ReadAll(const char *path);
