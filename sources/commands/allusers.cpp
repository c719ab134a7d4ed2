// The default source of every user of the computer (-all), for deployment
// tools that run as the system account: the catalogue's path written into the
// registry hive of each user profile and of the Default profile, from which
// the profiles of later users are made, removed from them, or what each of
// them holds reported; and the machine's record that a detection rule reads.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "TWLINK/TWLINK.h"
#include "app/program.h"
#include "app/report.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/profiles.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

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
// Where a run that reached every profile it can records the path, with when
// and by which version, for detection rules.
constexpr char kRecordKey[] = "SOFTWARE\\Halvorquin\\";
constexpr char kRecordValue[] = "AllUsersDefault";
constexpr char kRecordWhen[] = "AllUsersDefaultWritten";
constexpr char kRecordVersion[] = "AllUsersDefaultVersion";

// How a profile was reached. Passed over: its own files make it unreachable,
// and no later run could change that; skipped: the system refused for now.
enum Reach { kLoggedOn, kLoaded, kPassedOver, kSkipped };
const char *const kReachWords[] = {"logged on", "loaded", "passed over", "skipped"};

struct Visit {
    Reach reach;
    char *before; // the stored default found (a heap text; null for none)
    bool changed; // the value was written or removed
    char note[640];
};

bool IsBackup(const char *key) {
    size_t length = strlen(key);
    return length >= 4 && StrCompareNoCase(key + length - 4, ".bak") == 0;
}

// Users only: local and domain accounts, and Entra ID's; not the system's own
// accounts.
bool UserKey(const char *key) {
    return StrNCompareNoCase(key, "S-1-5-21-", 9) == 0 ||
           StrNCompareNoCase(key, "S-1-12-1-", 9) == 0;
}

// The profile of the same SID that a ".bak" key is the backup of, when it is
// a temporary one standing in for it; else null.
const OsProfile *TemporaryTwin(const OsProfile *profiles, int count, const char *key) {
    size_t length = strlen(key);
    for (int i = 0; IsBackup(key) && i < count; ++i)
        if (strlen(profiles[i].key) == length - 4 &&
            StrNCompareNoCase(profiles[i].key, key, length - 4) == 0 &&
            (profiles[i].state & kProfileTemporary))
            return &profiles[i];
    return nullptr;
}

// A user's key, or the copy of a profile the system replaced (".bak") when the
// profile standing in for it is a temporary one: that copy is the user's own.
bool Visited(const OsProfile *profiles, int count, int i) {
    const char *key = profiles[i].key;
    return UserKey(key) && (!IsBackup(key) || TemporaryTwin(profiles, count, key));
}

// The system's words for an error: "message (error N)".
void PutErrorWords(char *words, size_t size, unsigned error) {
    char message[320];
    if (!OsErrorText(error, "", message, sizeof message))
        snprintf(message, sizeof message, "unknown error");
    snprintf(words, size, "%s (error %u)", message, error);
}

void PutSystemError(char *note, size_t size, const char *what, unsigned error) {
    char words[360];
    PutErrorWords(words, sizeof words, error);
    snprintf(note, size, "%s: %s", what, words);
}

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
    const char *rest = id + digits + 1;
    size_t stampDigits = strspn(rest, "0123456789ABCDEFabcdef");
    bool stamped = stampDigits == 16 && rest[16] == '.';
    const char *number = stamped ? rest + 17 : rest;
    DecimalText process = ReadDecimal(id);
    if (digits == 0 || id[digits] != '.' || !process.inRange || !*number ||
        strspn(number, "0123456789") != strlen(number))
        return false; // not a name this program gives
    OsProcessMark mark = OsProcessAt(process.value);
    if (stamped)
        return mark.stamp != strtoull(rest, nullptr, 16);
    return mark.stamp == 0 || !mark.program;
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

// Reads the stored default of a hive reached, and writes or removes it. Nothing
// here may end the run, as the hive may be one loaded.
void Touch(const char *keyPath, AllUsersDeed deed, const char *source, Visit *visit) {
    const char *valueName = VarGet("ds_reg_name");
    visit->before = OsKeyReadTextIn(kRootUsers, keyPath, valueName);
    if (deed == kAllReport || (deed == kAllRemove && !visit->before))
        return;
    if (deed == kAllSet && Selecting.keep && DataSourceOfThisKind(visit->before)) {
        snprintf(visit->note, sizeof visit->note, "kept: the user's own choice");
        return;
    }
    void *key =
        deed == kAllSet ? OsKeyCreateIn(kRootUsers, keyPath) : OsKeyOpenIn(kRootUsers, keyPath);
    visit->changed = key && (deed == kAllSet ? OsKeySetText(key, valueName, source)
                                             : OsKeyDeleteValue(key, valueName));
    unsigned error = OsLastError();
    if (visit->changed)
        OsKeyFlush(key);
    OsKeyClose(key);
    if (!visit->changed) {
        visit->reach = kSkipped;
        PutSystemError(visit->note, sizeof visit->note,
                       deed == kAllSet ? "the value could not be written"
                                       : "the value could not be removed",
                       error);
    }
}

// A hive file loaded under this program's name, touched and unloaded.
void TouchOffline(const OsProfile &profile, int number, AllUsersDeed deed, const char *source,
                  Visit *visit) {
    char hive[64];
    snprintf(hive, sizeof hive, "%s%d.%016llX.%d", kHivePrefix, ProcessId(),
             static_cast<unsigned long long>(OwnStamp()), number);
    // Made before the hive is loaded: short of memory the run ends here.
    char *keyPath = StrCat3(hive, "\\", VarGet("ds_reg_dir"));
    unsigned error = OsLoadHive(hive, profile, "NTUSER.DAT");
    // Wine leaves the key of a file it refused as no hive: nothing of this run
    // may stay.
    if (error != 0 && HiveLoaded(hive))
        UnloadHive(hive);
    if (error == 0) {
        visit->reach = kLoaded;
        Touch(keyPath, deed, source, visit);
        error = UnloadHive(hive);
        if (error != 0) {
            visit->reach = kSkipped;
            char what[160];
            snprintf(what, sizeof what,
                     "HKEY_USERS\\%s could not be unloaded (the next -all run unloads it)", hive);
            PutSystemError(visit->note, sizeof visit->note, what, error);
        }
    } else if (error == OsErrorNotRegistryFile) {
        PutSystemError(visit->note, sizeof visit->note, "NTUSER.DAT is no registry hive", error);
    } else if (error == OsErrorFileNotFound) {
        snprintf(visit->note, sizeof visit->note, "no NTUSER.DAT in the profile folder");
    } else {
        visit->reach = kSkipped;
        PutSystemError(visit->note, sizeof visit->note, "the hive could not be loaded", error);
    }
    free(keyPath);
}

void VisitProfile(const OsProfile &profile, int number, const char *backupKey, AllUsersDeed deed,
                  const char *source, Visit *visit) {
    memset(visit, 0, sizeof *visit);
    visit->reach = kPassedOver;
    bool backup = IsBackup(profile.key);
    if (profile.state & kProfileTemporary) {
        // Windows made it at a sign-in that could not load the user's own
        // profile, and deletes it at sign-out.
        snprintf(visit->note, sizeof visit->note,
                 "temporary profile: Windows deletes it at sign-out%s%s",
                 backupKey ? "; the user's own profile is " : "", backupKey ? backupKey : "");
    } else if ((profile.state & kProfileMandatory) || OsProfileHasFile(profile, "NTUSER.MAN")) {
        snprintf(visit->note, sizeof visit->note,
                 "mandatory profile: Windows restores it at every sign-in");
    } else if (!backup && HiveLoaded(profile.key)) {
        char *keyPath = StrCat3(profile.key, "\\", VarGet("ds_reg_dir"));
        visit->reach = kLoggedOn;
        Touch(keyPath, deed, source, visit);
        free(keyPath);
    } else if (!*profile.folder) {
        snprintf(visit->note, sizeof visit->note, "the profile list names no folder for it");
    } else if (!OsProfileFolderFound(profile)) {
        snprintf(visit->note, sizeof visit->note, "the profile folder does not exist");
    } else if (!OsProfileHasFile(profile, "NTUSER.DAT")) {
        // Loading a missing hive file would make an empty one.
        snprintf(visit->note, sizeof visit->note, "no NTUSER.DAT in the profile folder");
    } else {
        TouchOffline(profile, number, deed, source, visit);
    }
    bool reached = visit->reach == kLoggedOn || visit->reach == kLoaded;
    if (reached && !*visit->note && backup)
        snprintf(visit->note, sizeof visit->note,
                 "the user's own profile, for which a temporary one stands in: %s offline",
                 deed == kAllReport ? "read"
                 : deed == kAllSet  ? "written"
                                    : "removed");
    else if (reached && !*visit->note && profile.roaming && deed == kAllSet)
        snprintf(visit->note, sizeof visit->note,
                 "roaming profile: its server copy may replace this at the next logon");
}

// SID|folder|reach|before|after|note, or for a report SID|folder|reach|stored|note|product.
void PutVisit(FILE *stream, const OsProfile &profile, const Visit &visit, AllUsersDeed deed,
              const char *source) {
    const char *after = !visit.changed ? visit.before : deed == kAllSet ? source : "";
    if (deed != kAllReport) {
        const char *fields[] = {profile.key,  profile.folder, kReachWords[visit.reach],
                                visit.before, after,          visit.note};
        PutReportLine(stream, fields, 6);
        return;
    }
    int index = CatalogIndexOf(visit.before);
    const char *note = *visit.note || index >= 0 || !visit.before ? visit.note : "no such source";
    IdentityText product = StoredProduct(visit.before);
    const char *fields[] = {profile.key,  profile.folder, kReachWords[visit.reach],
                            visit.before, note,           product.text};
    PutReportLine(stream, fields, 6);
}

char *RecordKey() {
    return StrCat2(kRecordKey, ProgramName);
}

// The record's line, and the record written (after a setting that reached every
// profile it can) or removed (after a removal that did): false when it could
// not be, *error then telling why.
bool PutRecord(FILE *stream, AllUsersDeed deed, const char *source, bool complete,
               unsigned *error) {
    char *keyPath = RecordKey();
    char *where = StrCat2("HKEY_LOCAL_MACHINE\\", keyPath);
    char *before = OsKeyReadTextIn(kRootMachine, keyPath, kRecordValue);
    char *when = OsKeyReadTextIn(kRootMachine, keyPath, kRecordWhen);
    char *version = OsKeyReadTextIn(kRootMachine, keyPath, kRecordVersion);
    bool done = true;
    char note[200] = "";
    const char *how = before ? "recorded" : "none";
    if (deed == kAllReport) {
        if (before)
            snprintf(note, sizeof note, "written %s by version %s", when ? when : "?",
                     version ? version : "?");
        IdentityText product = StoredProduct(before);
        const char *fields[] = {"Record", where, how, before, note, product.text};
        PutReportLine(stream, fields, 6);
    } else {
        char stamp[32] = "";
        time_t now = time(nullptr);
        if (const struct tm *local = localtime(&now))
            strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", local);
        bool change = complete && (deed == kAllSet || before);
        void *key = !change           ? nullptr
                    : deed == kAllSet ? OsKeyCreateIn(kRootMachine, keyPath)
                                      : OsKeyOpenIn(kRootMachine, keyPath);
        if (change)
            done = key && (deed == kAllSet ? OsKeySetText(key, kRecordValue, source) &&
                                                 OsKeySetText(key, kRecordWhen, stamp) &&
                                                 OsKeySetText(key, kRecordVersion, ProgramVersion)
                                           : OsKeyDeleteValue(key, kRecordValue) &&
                                                 OsKeyDeleteValue(key, kRecordWhen) &&
                                                 OsKeyDeleteValue(key, kRecordVersion));
        *error = OsLastError();
        OsKeyClose(key);
        if (!complete)
            snprintf(note, sizeof note, "left as it was: not every profile was reached");
        else if (!done)
            PutSystemError(note, sizeof note, "could not be changed", *error);
        how = !complete || !done ? how : deed == kAllSet ? "recorded" : before ? "removed" : "none";
        const char *after = complete && done ? (deed == kAllSet ? source : "") : before;
        const char *fields[] = {"Record", where, how, before, after, note};
        PutReportLine(stream, fields, 6);
    }
    free(version);
    free(when);
    free(before);
    free(where);
    free(keyPath);
    return done;
}

// A user's hive is loaded only while no driver has run in this process: one
// that crashed or hung then would leave it loaded.
void RefuseForeignCode() {
    if (TwSessionState >= TWAIN_SM_LOADED)
        Fatal("%s loads no user's registry hive once the TWAIN Source Manager has run in it (-g "
              "without -all): put -all first on the command line",
              ProgramName);
    if (ScanInProcess)
        Fatal("%s loads no user's registry hive once data sources were asked in it (no worker "
              "could be started: %s -c tells why)",
              ProgramName, ProgramName);
}

} // namespace

int AllUsersVisit(AllUsersDeed deed, const char *source, const char *path, const char *outputFile) {
    RefuseForeignCode();
    // Only now, the drivers asked: none ever runs able to use them.
    if (!OsEnableHivePrivileges())
        Fatal("-all needs administrator rights");
    int count = 0;
    OsProfile *profiles = OsProfileList(&count);
    if (!profiles) {
        char words[360];
        PutErrorWords(words, sizeof words, OsLastError());
        Fatal("Can't read the list of user profiles: %s", words);
    }
    OsProfile *defaults = OsDefaultProfile();
    // Without one, a record that names no folder: passed over.
    OsProfile none = {const_cast<char *>("Default"), const_cast<char *>(""), false, 0, nullptr};
    FILE *stream = ReportCreate(path);
    int unreached = UnloadStaleHives(stream, deed);
    for (int i = 0; i <= count; ++i) {
        if (i < count && !Visited(profiles, count, i))
            continue;
        const OsProfile &profile = i < count ? profiles[i] : defaults ? *defaults : none;
        const char *backupKey = nullptr;
        for (int j = 0; i < count && j < count; ++j)
            if (TemporaryTwin(profiles, count, profiles[j].key) == &profile)
                backupKey = profiles[j].key;
        Visit visit;
        VisitProfile(profile, i, backupKey, deed, source, &visit);
        unreached += visit.reach == kSkipped;
        PutVisit(stream, profile, visit, deed, source);
        free(visit.before);
    }
    OsProfilesFree(profiles, count);
    OsProfilesFree(defaults, defaults ? 1 : 0);
    OsDisableHivePrivileges();
    // Where a component sets the default at sign-in, it follows each setting.
    if (deed == kAllReport)
        AtLogonReport(stream);
    else if (deed == kAllRemove)
        unreached += AtLogonRemove(stream);
    else
        unreached += AtLogonSet(stream, source, Selecting.atLogon);
    unsigned error = 0;
    bool recorded = PutRecord(stream, deed, source, unreached == 0, &error);
    ReportFinish(stream, path, outputFile);
    if (!recorded) {
        char *keyPath = RecordKey();
        char words[360];
        PutErrorWords(words, sizeof words, error);
        Fatal("Can't record the default of every user in HKEY_LOCAL_MACHINE\\%s: %s", keyPath,
              words);
    }
    return unreached > 0 ? 2 : 0;
}

int AllUsersSelectByName(const char *name, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    if (Selecting.atLogon)
        AtLogonCheckProgram();
    int index = CatalogChooseByName(name); // the catalogue is made here
    return AllUsersVisit(kAllSet, SourceCatalog.paths[index], path, outputFile);
}

int AllUsersSelectByNumber(const char *numberText, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    if (Selecting.atLogon)
        AtLogonCheckProgram();
    int index = CatalogChooseByNumber(numberText);
    return AllUsersVisit(kAllSet, SourceCatalog.paths[index], path, outputFile);
}

int AllUsersGetDefault(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    EnsureCatalog();
    return AllUsersVisit(kAllReport, nullptr, path, outputFile);
}

int AllUsersRemove(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    return AllUsersVisit(kAllRemove, nullptr, path, outputFile);
}
