// Every user of the computer: the profiles the system lists, their registry
// hives loaded and unloaded under HKEY_USERS, the privileges that takes, and
// whether anyone sees the process's boxes.
#pragma once

// A profile of the system's list.
struct OsProfile {
    char *key;    // its key in the list: a SID, or another name the caller passes over
    char *folder; // the profile folder, variables expanded, in the code page ('?' where it lacks)
    bool roaming; // a server copy of the profile (CentralProfile) comes down at logon
    void *place;  // the folder as the system's file calls take it
};

// Every key of the system's profile list (ProfileList), in its order: a heap
// array of *count records, released with OsProfilesFree; null, OsLastError
// telling why, when the list cannot be read.
OsProfile *OsProfileList(int *count);
// The Default profile, from which the profiles of users new to the computer
// are made: the list's Default value, else its ProfilesDirectory joined with
// "Default"; its key is "Default". A heap record, released with
// OsProfilesFree; null when the list names neither.
OsProfile *OsDefaultProfile();
void OsProfilesFree(OsProfile *profiles, int count);
// Whether the profile folder holds a file of this name (NTUSER.DAT, NTUSER.MAN).
bool OsProfileHasFile(const OsProfile &profile, const char *name);

// Enables the backup and restore privileges that loading a hive takes; false
// when the process does not hold them (not an elevated administrator or the
// system account).
bool OsEnableHivePrivileges();
// The names of the hives HKEY_USERS holds: a heap array of heap texts ended by
// a null entry (free each, then the array); null when it cannot be read.
char **OsHiveNames();
// Loads the hive file of a profile's folder as HKEY_USERS\name, and unloads it
// again: 0, or the system's error.
unsigned OsLoadHive(const char *name, const OsProfile &profile, const char *file);
unsigned OsUnloadHive(const char *name);

// Whether a process of this id is running.
bool OsProcessRunning(int id);
// Waits this many milliseconds.
void OsPause(unsigned milliseconds);

// Whether the process's window station is one a user sees (WSF_VISIBLE): not
// so for services and the system account's session 0, where a box would wait
// for no one.
bool OsInteractiveStation();

// POSIX only, for the tests: whether the privileges are held (not at start),
// whether the window station is seen (at start), and how many times running
// the system refuses to unload the hive loaded from a profile folder.
void OsSetHivePrivilegesForTest(bool held);
void OsSetInteractiveStationForTest(bool seen);
void OsSetUnloadRefusalsForTest(const char *folder, int times);
