// Every user of the computer: the profiles the system lists, their registry
// hives loaded and unloaded under HKEY_USERS, the privileges that takes, and
// whether anyone sees the process's boxes.
#pragma once

#include <cstdint>

// A profile of the system's list.
struct OsProfile {
    char *key;      // its key in the list: a SID, or another name the caller passes over
    char *folder;   // the profile folder, variables expanded, in the code page ('?' where it lacks)
    bool roaming;   // a server copy of the profile (CentralProfile) comes down at logon
    unsigned state; // what the profile service noted of it (its State value; 0 for none)
    void *place;    // the folder as the system's file calls take it
};

// Bits of a profile's State, as Windows' profile service sets them. They are
// in no public header of Windows (its GetProfileType tells only the caller's
// own profile, with other values): these are the values administrators'
// references give, and what a profile service that replaced a profile it
// could not load leaves: the user's key pointing at a temporary folder,
// marked temporary, and the real profile's key renamed "<SID>.bak".
constexpr unsigned kProfileMandatory = 0x0001;
constexpr unsigned kProfileTemporary = 0x0800;

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
// Whether the profile folder holds a file of this name (NTUSER.DAT, NTUSER.MAN),
// and whether the folder itself is there.
bool OsProfileHasFile(const OsProfile &profile, const char *name);
bool OsProfileFolderFound(const OsProfile &profile);

// Enables the backup and restore privileges that loading a hive takes; false
// when the process does not hold them (not an elevated administrator or the
// system account). Disabled again once the hives are done with.
bool OsEnableHivePrivileges();
void OsDisableHivePrivileges();
// The names of the hives HKEY_USERS holds: a heap array of heap texts ended by
// a null entry (free each, then the array); null when it cannot be read.
char **OsHiveNames();
// Loads the hive file of a profile's folder as HKEY_USERS\name, and unloads it
// again: 0, or the system's error (OsErrorNotRegistryFile for a file that is
// no hive).
unsigned OsLoadHive(const char *name, const OsProfile &profile, const char *file);
unsigned OsUnloadHive(const char *name);
extern const unsigned OsErrorNotRegistryFile;

// The process that runs under an id: a stamp that tells it from every other
// process that had or will have the id (when it began; 0 when no process of
// the id runs), and whether it runs one of this program's builds.
struct OsProcessMark {
    uint64_t stamp;
    bool program;
};
OsProcessMark OsProcessAt(int id);
// Waits this many milliseconds.
void OsPause(unsigned milliseconds);

// Whether the process's window station is one a user sees (WSF_VISIBLE): not
// so for services and the system account's session 0, where a box would wait
// for no one. Session 0's own interactive station has the flag too, though
// no user has looked at it since Windows Vista: the session tells that.
bool OsInteractiveStation();
unsigned OsSessionId();

// POSIX only, for the tests: whether the privileges are held (not at start),
// whether the window station is seen (at start), the session (1 at start),
// how many times running the system refuses to unload the hive loaded from a
// profile folder, and, when total is set, pauses added up there instead of
// waited.
void OsSetHivePrivilegesForTest(bool held);
void OsSetInteractiveStationForTest(bool seen);
void OsSetSessionForTest(unsigned session);
void OsSetUnloadRefusalsForTest(const char *folder, int times);
void OsSetPausesForTest(unsigned *total);
