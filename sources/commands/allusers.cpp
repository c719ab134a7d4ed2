// The default source of every user of the computer (-all), for deployment
// tools that run as the system account: the catalogue's path written into the
// registry hive of each user profile and of the Default profile, from which
// the profiles of later users are made, removed from them, or what each of
// them holds reported; and the machine's record that a detection rule reads.
#include <cstdlib>
#include <cstring>

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
    OwnHiveName(hive, sizeof hive, number);
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
        // The key of the user's own profile behind a temporary one.
        const char *backupKey = nullptr;
        for (int j = 0; (profile.state & kProfileTemporary) && j < count; ++j)
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
    if (!recorded)
        RecordFailed(error);
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
