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
// An existing key opened to change it (null when it is missing or cannot be
// opened, OsLastError telling which: OsErrorFileNotFound when it is missing).
void *OsKeyOpenIn(OsRegistryRoot root, const char *path);
// A number value (REG_DWORD); removing a value (true also when it was not
// there); what was written put on disk now, so that a hive unloaded later,
// or never, keeps it. False on failure, with OsLastError.
bool OsKeySetNumber(void *key, const char *name, unsigned value);
bool OsKeyDeleteValue(void *key, const char *name);
bool OsKeyFlush(void *key);
// Removes a key that has no subkeys, with its values (true also when it was
// not there).
bool OsKeyDeleteIn(OsRegistryRoot root, const char *path);

// A text value as a heap text (released with free), the terminating NUL added
// when the stored data lacks it; null when the key or the value does not exist
// or cannot be read.
char *OsKeyReadTextIn(OsRegistryRoot root, const char *path, const char *name);

// The same in the current user's hive.
void *OsUserKeyCreate(const char *path);
char *OsUserKeyReadText(const char *path, const char *name);
