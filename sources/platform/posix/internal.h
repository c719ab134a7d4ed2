// What the POSIX files of the platform layer share among themselves; nothing
// above the layer includes this.
#pragma once

// An ASCII letter's lower case, as the system folds names.
int Fold(char c);

// A heap copy of a path with the Windows separators turned into slashes (never
// the second byte of a character); null when memory runs out.
char *NativePath(const char *path);
// A heap text joining folder and name with a slash; null when memory runs out.
char *JoinNative(const char *folder, const char *name);

// The error of the latest module that did not load, for OsLastError.
extern unsigned LastError;

// This process is the scan's worker (a fork): a fault ends it by its signal.
extern bool WorkerMode;

// The registry's folder trees (registry.cpp): the folder of a root, and of a
// key, made when create is set (heap texts; null when missing or out of
// memory); an entry of a folder by its name, letter case ignored.
#include "platform/registry.h"
char *RegistryRootFolder(OsRegistryRoot root);
char *RegistryKeyFolder(OsRegistryRoot root, const char *path, bool create);
char *ExistingEntry(const char *folder, const char *name);

// In a worker (lifetime.cpp): it ends when its parent, of this process id, ends.
void WatchParent(int parent);
