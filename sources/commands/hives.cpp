// The hives this program loads into HKEY_USERS: their names, which tell the
// run that loaded each for sure, their unloading for as long as the system
// needs, and those that runs which ended left loaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commands.h"
#include "platform/profiles.h"
#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

// The hives this program loads are HKEY_USERS\Corvane.<process id>.<when its
// process began>.<n>: never a SID, as the user may log on meanwhile; both
// builds' own; and their run is known for sure, since ids are soon reused.
constexpr char kHivePrefix[] = "Corvane.";
// Antivirus and backup tools hold a hive freshly loaded for seconds: its
// unload is tried again after pauses that double from the first, for about
// ten seconds in all.
constexpr unsigned kFirstUnloadPause = 100;
constexpr unsigned kUnloadPatience = 10000;

uint64_t OwnStamp() {
    static uint64_t stamp;
    if (!stamp)
        stamp = OsProcessAt(ProcessId()).stamp;
    return stamp;
}

// Whether the run that loaded a hive of this program's name has ended. The name
// tells the run by its process id and when that process began; a name of an
// earlier version tells only the id, whose run is taken as going on while a
// process of that id runs one of this program's builds.
bool OwnerGone(const char *name) {
    const char *id = name + strlen(kHivePrefix);
    size_t digits = strspn(id, "0123456789");
    if (digits == 0 || id[digits] != '.')
        return false; // not a name this program gives
    const char *rest = id + digits + 1;
    bool stamped = strspn(rest, "0123456789ABCDEFabcdef") == 16 && rest[16] == '.';
    const char *number = stamped ? rest + 17 : rest;
    DecimalText process = ReadDecimal(id);
    if (!process.inRange || !*number || strspn(number, "0123456789") != strlen(number))
        return false;
    OsProcessMark mark = OsProcessAt(process.value);
    if (stamped)
        return mark.stamp != strtoull(rest, nullptr, 16);
    return mark.stamp == 0 || !mark.program;
}

} // namespace

bool HiveLoaded(const char *name) {
    StringList names = OsHiveNames();
    bool found = false;
    for (StringList item = names; item && *item; ++item)
        found = found || StrCompareNoCase(*item, name) == 0;
    if (names)
        ListFreeItems(names);
    free(names);
    return found;
}

// 0 once the hive is no longer loaded (by this call or by another's).
unsigned UnloadHive(const char *hive) {
    unsigned error = 0;
    unsigned pause = kFirstUnloadPause;
    for (unsigned waited = 0;
         (error = OsUnloadHive(hive)) != 0 && HiveLoaded(hive) && waited < kUnloadPatience;
         pause *= 2) {
        pause = pause < kUnloadPatience - waited ? pause : kUnloadPatience - waited;
        OsPause(pause);
        waited += pause;
    }
    return error != 0 && HiveLoaded(hive) ? error : 0;
}

void OwnHiveName(char *name, size_t size, int number) {
    snprintf(name, size, "%s%d.%016llX.%d", kHivePrefix, ProcessId(),
             static_cast<unsigned long long>(OwnStamp()), number);
}

// Hives of this program whose run ended before it unloaded them (a deployment
// tool killed it): until they are unloaded, their users get a temporary
// profile at sign-in. One line each; the number of those still loaded.
int UnloadStaleHives(FILE *stream, AllUsersDeed deed) {
    StringList names = OsHiveNames();
    int held = 0;
    for (StringList item = names; item && *item; ++item) {
        if (StrNCompareNoCase(*item, kHivePrefix, strlen(kHivePrefix)) != 0 || !OwnerGone(*item))
            continue;
        unsigned error = UnloadHive(*item);
        char where[300], note[480];
        snprintf(where, sizeof where, "HKEY_USERS\\%s", *item);
        if (error == 0)
            snprintf(note, sizeof note, "left loaded by a run that ended: unloaded");
        else
            PutSystemError(note, sizeof note,
                           "left loaded by a run that ended, and could not be unloaded", error);
        held += error != 0;
        const char *how = error ? "skipped" : "unloaded";
        const char *set[] = {where, "", how, "", "", note};
        const char *report[] = {where, "", how, "", note, ""};
        PutReportLine(stream, deed == kAllReport ? report : set, 6);
    }
    if (names)
        ListFreeItems(names);
    free(names);
    return held;
}
