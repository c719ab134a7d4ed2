// The default source of every user of the computer (-all), for deployment
// tools that run as the system account: the catalogue's path written into the
// registry hive of each user profile and of the Default profile, from which
// the profiles of later users are made, or what each of them holds reported.
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

// The hives this program loads are HKEY_USERS\Corvane.<process id>.<n>: never
// a SID, as the user may log on meanwhile, and both builds' own.
constexpr char kHivePrefix[] = "Corvane.";
// A hive the system still holds a moment after its keys are closed is unloaded
// again this many times, this far apart.
constexpr int kUnloadTries = 5;
constexpr unsigned kUnloadPause = 200;
// Where a run that reached every profile records the path, for detection rules.
constexpr char kRecordKey[] = "SOFTWARE\\Halvorquin\\";
constexpr char kRecordValue[] = "AllUsersDefault";

enum Reach { kLoggedOn, kLoaded, kSkipped };
const char *const kReachWords[] = {"logged on", "loaded", "skipped"};

struct Visit {
    Reach reach;
    char *before; // the stored default found (a heap text; null for none)
    bool written;
    char note[640];
};

// Users only: local and domain accounts, and Entra ID's; not the system's own
// accounts, nor the copy of a profile the system replaced (".bak").
bool UserProfile(const char *key) {
    size_t length = strlen(key);
    if (length >= 4 && StrCompareNoCase(key + length - 4, ".bak") == 0)
        return false;
    return StrNCompareNoCase(key, "S-1-5-21-", 9) == 0 ||
           StrNCompareNoCase(key, "S-1-12-1-", 9) == 0;
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

unsigned UnloadHive(const char *hive) {
    unsigned error = 0;
    for (int tries = 1; (error = OsUnloadHive(hive)) != 0 && tries < kUnloadTries; ++tries)
        OsPause(kUnloadPause);
    return error;
}

// Hives of this program whose run was killed before it unloaded them: until
// they are, their users would get a temporary profile at logon.
void UnloadStaleHives() {
    StringList names = OsHiveNames();
    size_t prefix = strlen(kHivePrefix);
    for (StringList item = names; item && *item; ++item) {
        if (StrNCompareNoCase(*item, kHivePrefix, prefix) != 0)
            continue;
        const char *id = *item + prefix;
        size_t digits = strspn(id, "0123456789");
        if (digits == 0 || id[digits] != '.' ||
            strspn(id + digits + 1, "0123456789") != strlen(id + digits + 1))
            continue;
        DecimalText process = ReadDecimal(id);
        if (process.inRange && (process.value == ProcessId() || OsProcessRunning(process.value)))
            continue;
        unsigned error = UnloadHive(*item);
        LogPrint("HKEY_USERS\\%s, left loaded by an earlier run: %s (error %u)", *item,
                 error ? "not unloaded" : "unloaded", error);
    }
    if (names)
        ListFreeItems(names);
    free(names);
}

// Reads the stored default of a hive reached and writes the path there (null:
// only reads). Nothing here may end the run, as the hive may be one loaded.
void Touch(const char *keyPath, const char *valueName, const char *source, Visit *visit) {
    visit->before = OsKeyReadTextIn(kRootUsers, keyPath, valueName);
    if (!source)
        return;
    void *key = OsKeyCreateIn(kRootUsers, keyPath);
    visit->written = key && OsKeySetText(key, valueName, source);
    unsigned error = OsLastError();
    OsKeyClose(key);
    if (!visit->written) {
        visit->reach = kSkipped;
        PutSystemError(visit->note, sizeof visit->note, "the value could not be written", error);
    }
}

void VisitProfile(const OsProfile &profile, int number, const char *source, Visit *visit) {
    memset(visit, 0, sizeof *visit);
    visit->reach = kSkipped;
    const char *valueName = VarGet("ds_reg_name");
    // A mandatory profile's hive comes back unchanged at each logon.
    if (OsProfileHasFile(profile, "NTUSER.MAN")) {
        snprintf(visit->note, sizeof visit->note, "mandatory profile (NTUSER.MAN): left alone");
    } else if (HiveLoaded(profile.key)) {
        char *keyPath = StrCat3(profile.key, "\\", VarGet("ds_reg_dir"));
        visit->reach = kLoggedOn;
        Touch(keyPath, valueName, source, visit);
        free(keyPath);
    } else if (!OsProfileHasFile(profile, "NTUSER.DAT")) {
        // Loading a missing hive file would make an empty one.
        snprintf(visit->note, sizeof visit->note, "no NTUSER.DAT in the profile folder");
    } else {
        char hive[64];
        snprintf(hive, sizeof hive, "%s%d.%d", kHivePrefix, ProcessId(), number);
        // Made before the hive is loaded: short of memory the run ends here.
        char *keyPath = StrCat3(hive, "\\", VarGet("ds_reg_dir"));
        unsigned error = OsLoadHive(hive, profile, "NTUSER.DAT");
        if (error == 0) {
            visit->reach = kLoaded;
            Touch(keyPath, valueName, source, visit);
            error = UnloadHive(hive);
            if (error != 0) {
                visit->reach = kSkipped;
                char what[128];
                snprintf(what, sizeof what,
                         "HKEY_USERS\\%s could not be unloaded (the next -all run unloads it)",
                         hive);
                PutSystemError(visit->note, sizeof visit->note, what, error);
            }
        } else {
            PutSystemError(visit->note, sizeof visit->note, "the hive could not be loaded", error);
        }
        free(keyPath);
    }
    if (visit->reach != kSkipped && profile.roaming && source)
        snprintf(visit->note, sizeof visit->note,
                 "roaming profile: its server copy may replace this at the next logon");
}

void PutField(FILE *stream, const char *text) {
    PutEscaped(stream, text ? text : "");
    fputc('|', stream);
}

// SID|folder|reach|before|after|note, or for a report SID|folder|reach|stored|note|product.
void PutVisit(FILE *stream, const OsProfile &profile, const Visit &visit, const char *source) {
    PutField(stream, profile.key);
    PutField(stream, profile.folder);
    PutField(stream, kReachWords[visit.reach]);
    PutField(stream, visit.before);
    if (source) {
        PutField(stream, visit.written ? source : visit.before);
        PutEscaped(stream, visit.note);
    } else {
        int index = CatalogIndexOf(visit.before);
        PutField(stream,
                 *visit.note || index >= 0 || !visit.before ? visit.note : "no such source");
        if (index >= 0)
            PutEscaped(stream, IdentityString(SourceCatalog.identities[index].ProductName).text);
    }
    fputc('\n', stream);
}

void RecordForMachine(const char *source) {
    char *keyPath = StrCat2(kRecordKey, ProgramName);
    void *key = OsKeyCreateIn(kRootMachine, keyPath);
    bool recorded = key && OsKeySetText(key, kRecordValue, source);
    unsigned error = OsLastError();
    OsKeyClose(key);
    if (!recorded) {
        char words[360];
        PutErrorWords(words, sizeof words, error);
        Fatal("Can't record the default of every user in HKEY_LOCAL_MACHINE\\%s: %s", keyPath,
              words);
    }
    free(keyPath);
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

void BeginAllUsers() {
    if (!OsEnableHivePrivileges())
        Fatal("-all needs administrator rights");
    UnloadStaleHives();
}

} // namespace

int AllUsersVisit(const char *source, const char *path, const char *outputFile) {
    RefuseForeignCode();
    int count = 0;
    OsProfile *profiles = OsProfileList(&count);
    if (!profiles) {
        char words[360];
        PutErrorWords(words, sizeof words, OsLastError());
        Fatal("Can't read the list of user profiles: %s", words);
    }
    OsProfile *defaults = OsDefaultProfile();
    // Without one, a record that no folder holds: skipped for want of NTUSER.DAT.
    OsProfile none = {const_cast<char *>("Default"), const_cast<char *>(""), false, nullptr};
    FILE *stream = ReportCreate(path);
    int skipped = 0;
    for (int i = 0; i <= count; ++i) {
        if (i < count && !UserProfile(profiles[i].key))
            continue;
        const OsProfile &profile = i < count ? profiles[i] : defaults ? *defaults : none;
        Visit visit;
        VisitProfile(profile, i, source, &visit);
        skipped += visit.reach == kSkipped;
        PutVisit(stream, profile, visit, source);
        free(visit.before);
    }
    OsProfilesFree(profiles, count);
    OsProfilesFree(defaults, defaults ? 1 : 0);
    ReportFinish(stream, path, outputFile);
    if (source && skipped == 0)
        RecordForMachine(source);
    return skipped > 0 ? 2 : 0;
}

int AllUsersSelectByName(const char *name, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    BeginAllUsers();
    int index = CatalogChooseByName(name); // the catalogue is made here
    return AllUsersVisit(SourceCatalog.paths[index], path, outputFile);
}

int AllUsersSelectByNumber(const char *numberText, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    BeginAllUsers();
    int index = CatalogChooseByNumber(numberText);
    return AllUsersVisit(SourceCatalog.paths[index], path, outputFile);
}

int AllUsersGetDefault(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    BeginAllUsers();
    EnsureCatalog();
    return AllUsersVisit(nullptr, path, outputFile);
}
