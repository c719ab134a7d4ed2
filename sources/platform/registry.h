// The registry: the text values the catalogue writes and reads, in the current
// user's hive, in every user's (HKEY_USERS) and in the machine's.
#pragma once

// HKEY_CURRENT_USER, HKEY_USERS (whose keys are the hives loaded: a logged-on
// user's SID, or a hive the program loaded) and HKEY_LOCAL_MACHINE, whose
// 64-bit view both builds reach.
enum OsRegistryRoot : int { kRootCurrentUser, kRootUsers, kRootMachine };

// Create or open a key (null on failure, OsLastError then telling why), set a
// text value (REG_SZ, the terminating NUL included; false on failure, with
// OsLastError), close the key. Under HKEY_USERS only keys of a loaded hive can
// be made.
void *OsKeyCreateIn(OsRegistryRoot root, const char *path);
bool OsKeySetText(void *key, const char *name, const char *text);
void OsKeyClose(void *key);

// A text value as a heap text (released with free), the terminating NUL added
// when the stored data lacks it; null when the key or the value does not exist
// or cannot be read.
char *OsKeyReadTextIn(OsRegistryRoot root, const char *path, const char *name);

// The same in the current user's hive.
void *OsUserKeyCreate(const char *path);
char *OsUserKeyReadText(const char *path, const char *name);
