// The default at every user's next sign-in, through Active Setup: Windows runs
// the StubPath of each component under HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft
// \Active Setup\Installed Components once for each user, as that user, before
// the desktop, whenever the component's Version is higher than the one the
// user's own hive noted the last time. It reaches the users that loading hives
// cannot: roaming profiles whose server copy is newer, profiles whose hive
// lives in a disk attached at sign-in, temporary profiles, users not yet in
// the profile list. What it runs is this program, with -logon and exactly the
// path deployed: no driver is asked at sign-in.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "app/program.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

// Both builds in the 64-bit view, where Windows' 64-bit Explorer runs them;
// each build its own component, as each has its own default.
constexpr char kComponents[] =
    "SOFTWARE\\Microsoft\\Active Setup\\Installed Components\\Halvorquin.";
// Folders under the Windows folder that deployment tools copy a package into
// and empty once the install is done (Configuration Manager, Intune, PDQ),
// besides the temporary folders themselves.
constexpr const char *kDeploymentCaches[] = {"Temp", "SystemTemp", "ccmcache", "IMECache",
                                             "AdminArsenal"};
// An Active Setup version: four numbers, compared in turn.
constexpr int kVersionParts = 4;
constexpr unsigned kVersionPartLimit = 65535;

char *ComponentKey() {
    return StrCat2(kComponents, ProgramName);
}

const char *KindWords() {
    return OsProgramMachine == 0x14C ? "32-bit" : "64-bit";
}

// Whether the folder holds the path, at any depth, both in their long forms.
bool FolderHolds(const char *folder, const char *path) {
    if (!folder || !*folder)
        return false;
    char longFolder[1024], longPath[1024];
    int folderLength = OsLongPath(folder, longFolder, sizeof longFolder);
    int pathLength = OsLongPath(path, longPath, sizeof longPath);
    const char *f = folderLength > 0 && folderLength < static_cast<int>(sizeof longFolder)
                        ? longFolder
                        : folder;
    const char *p =
        pathLength > 0 && pathLength < static_cast<int>(sizeof longPath) ? longPath : path;
    size_t length = strlen(f);
    while (length > 0 && (f[length - 1] == '\\' || f[length - 1] == '/'))
        --length;
    return length > 0 && StrNCompareNoCase(p, f, length) == 0 &&
           (p[length] == '\\' || p[length] == '/');
}

void ReadVersion(const char *text, unsigned parts[kVersionParts]) {
    for (int i = 0; i < kVersionParts; ++i) {
        parts[i] = 0;
        if (text && *text) {
            DecimalText number = ReadDecimal(text);
            parts[i] = number.inRange && number.value > 0 ? static_cast<unsigned>(number.value) : 0;
            const char *comma = strchr(text, ',');
            text = comma ? comma + 1 : "";
        }
    }
}

// A version higher than the stored one: the date and time now (year,
// monthday, hourminute, second), or, where the clock is not past the stored
// one, the stored version with its last number one higher.
void NextVersion(const char *stored, char *out, size_t size) {
    unsigned old[kVersionParts], now[kVersionParts] = {0, 0, 0, 0};
    ReadVersion(stored, old);
    time_t clock = time(nullptr);
    if (const struct tm *local = localtime(&clock)) {
        now[0] = static_cast<unsigned>(local->tm_year + 1900);
        now[1] = static_cast<unsigned>((local->tm_mon + 1) * 100 + local->tm_mday);
        now[2] = static_cast<unsigned>(local->tm_hour * 100 + local->tm_min);
        now[3] = static_cast<unsigned>(local->tm_sec);
    }
    int i = 0;
    while (i < kVersionParts && now[i] == old[i])
        ++i;
    if (i == kVersionParts || now[i] < old[i]) {
        memcpy(now, old, sizeof now);
        for (int j = kVersionParts - 1; j >= 0 && ++now[j] > kVersionPartLimit; --j)
            now[j] = 0;
    }
    snprintf(out, size, "%u,%u,%u,%u", now[0], now[1], now[2], now[3]);
}

// The program this run is, by its full path; empty when it cannot be told.
void ProgramPath(char *path, int size, bool *unwritable) {
    int length = OsExecutablePath(path, size, unwritable);
    if (length <= 0 || length >= size)
        path[0] = '\0';
}

void PutComponentLine(FILE *stream, const char *where, const char *how, const char *before,
                      const char *after, const char *note) {
    const char *fields[] = {"Active Setup", where, how, before, after, note};
    PutReportLine(stream, fields, 6);
}

} // namespace

bool SignInRefusal(const char *program, bool unwritable, char *why, size_t size) {
    char windows[512];
    int length = OsWindowsDirectory(windows, sizeof windows);
    if (!*program || unwritable) {
        snprintf(why, size, "its path cannot be written in code page %u", OsCodePage());
        return true;
    }
    for (const char *variable : {"TEMP", "TMP"}) {
        if (FolderHolds(OsGetEnv(variable), program)) {
            snprintf(why, size, "it is in the temporary folder %s", OsGetEnv(variable));
            return true;
        }
    }
    for (const char *cache : kDeploymentCaches) {
        char *folder = length > 0 && length < static_cast<int>(sizeof windows)
                           ? PathJoin(windows, cache)
                           : nullptr;
        bool held = folder && FolderHolds(folder, program);
        if (held)
            snprintf(why, size,
                     "it is in %s, which deployment tools empty once the install is done", folder);
        free(folder);
        if (held)
            return true;
    }
    if (OsOthersMayChange(program)) {
        snprintf(why, size, "accounts other than the administrators may change it or its folder");
        return true;
    }
    return false;
}

void AtLogonCheckProgram() {
    char program[1024], why[700];
    bool unwritable = false;
    ProgramPath(program, sizeof program, &unwritable);
    if (SignInRefusal(program, unwritable, why, sizeof why))
        Fatal("-atlogon: %s would run as every user who signs in, but %s. Copy it (with its .ini "
              "file) to a folder that only administrators may change, such as "
              "C:\\Program Files\\Corvane, and run it from there",
              *program ? program : ProgramName, why);
}

int AtLogonSet(FILE *stream, const char *source, bool asked) {
    char *keyPath = ComponentKey();
    char *where = StrCat2("HKEY_LOCAL_MACHINE\\", keyPath);
    char *oldSource = OsKeyReadTextIn(kRootMachine, keyPath, "Source");
    char *oldStub = OsKeyReadTextIn(kRootMachine, keyPath, "StubPath");
    char *oldVersion = OsKeyReadTextIn(kRootMachine, keyPath, "Version");
    int unreached = 0;
    char program[1024], why[700], note[900];
    bool unwritable = false;
    ProgramPath(program, sizeof program, &unwritable);
    if (!asked && !oldStub) {
        // Nothing registered, nothing asked.
    } else if (!asked && SignInRefusal(program, unwritable, why, sizeof why)) {
        // Left in place, it would set the old default at sign-in.
        bool removed = OsKeyDeleteIn(kRootMachine, keyPath);
        unsigned error = OsLastError();
        if (removed)
            snprintf(note, sizeof note,
                     "removed: it would set %s at sign-in, and this program may not be run "
                     "there: %s",
                     oldSource ? oldSource : "an older default", why);
        else
            snprintf(note, sizeof note, "could not be removed (error %u)", error);
        unreached += !removed;
        PutComponentLine(stream, where, removed ? "removed" : "skipped", oldSource,
                         removed ? "" : oldSource, note);
    } else {
        size_t stubSize = strlen(program) + strlen(source) + 32;
        char *stub = static_cast<char *>(MemAlloc(static_cast<int32_t>(stubSize)));
        snprintf(stub, stubSize, "\"%s\" %s-logon \"%s\"", program, Selecting.keep ? "-keep " : "",
                 source);
        char version[64];
        if (oldStub && oldVersion && strcmp(oldStub, stub) == 0)
            snprintf(version, sizeof version, "%s", oldVersion); // the same deployment again
        else
            NextVersion(oldVersion, version, sizeof version);
        char *name = StrCat2(ProgramName, " default scanner");
        void *key = OsKeyCreateIn(kRootMachine, keyPath);
        bool done = key && OsKeySetText(key, "", name) && OsKeySetText(key, "StubPath", stub) &&
                    OsKeySetText(key, "Version", version) &&
                    OsKeySetNumber(key, "IsInstalled", 1) && OsKeySetText(key, "Source", source);
        unsigned error = OsLastError();
        OsKeyClose(key);
        if (done)
            snprintf(note, sizeof note, "version %s: sets it at each user's next sign-in", version);
        else
            snprintf(note, sizeof note, "could not be registered (error %u)", error);
        unreached += !done;
        PutComponentLine(stream, where, done ? "registered" : "skipped", oldSource,
                         done ? source : oldSource, note);
        free(name);
        free(stub);
    }
    free(oldVersion);
    free(oldStub);
    free(oldSource);
    free(where);
    free(keyPath);
    return unreached;
}

int AtLogonRemove(FILE *stream) {
    char *keyPath = ComponentKey();
    char *where = StrCat2("HKEY_LOCAL_MACHINE\\", keyPath);
    char *oldStub = OsKeyReadTextIn(kRootMachine, keyPath, "StubPath");
    char *oldSource = OsKeyReadTextIn(kRootMachine, keyPath, "Source");
    bool removed = !oldStub || OsKeyDeleteIn(kRootMachine, keyPath);
    if (oldStub) {
        char note[120] = "";
        if (!removed)
            snprintf(note, sizeof note, "could not be removed (error %u)", OsLastError());
        PutComponentLine(stream, where, removed ? "removed" : "skipped", oldSource,
                         removed ? "" : oldSource, note);
    }
    free(oldSource);
    free(oldStub);
    free(where);
    free(keyPath);
    return removed ? 0 : 1;
}

void AtLogonReport(FILE *stream) {
    char *keyPath = ComponentKey();
    char *where = StrCat2("HKEY_LOCAL_MACHINE\\", keyPath);
    char *stub = OsKeyReadTextIn(kRootMachine, keyPath, "StubPath");
    char *source = OsKeyReadTextIn(kRootMachine, keyPath, "Source");
    char *version = OsKeyReadTextIn(kRootMachine, keyPath, "Version");
    char note[1200] = "";
    if (stub)
        snprintf(note, sizeof note, "version %s: runs %s", version ? version : "?", stub);
    IdentityText product = StoredProduct(source);
    const char *fields[] = {"Active Setup",     where, stub ? "registered" : "not registered",
                            stub ? source : "", note,  product.text};
    PutReportLine(stream, fields, 6);
    free(version);
    free(source);
    free(stub);
    free(where);
    free(keyPath);
}

int LogonSetDefault(const char *path) {
    RefuseSystemAccount();
    if (!DataSourceOfThisKind(path))
        Fatal("-logon: %s is no %s data source that is there: the default was not changed", path,
              KindWords());
    const char *keyPath = VarGet("ds_reg_dir");
    const char *valueName = VarGet("ds_reg_name");
    if (char *kept = KeptChoice()) {
        LogPrint("-logon: kept %s, the user's own choice", kept);
        free(kept);
        return 0;
    }
    int code = WriteUserRegistryValue(keyPath, valueName, path);
    if (code != 0)
        Fatal("set %s failed. rc=%d", path, code);
    LogPrint("-logon: the default is %s", path);
    return 0;
}
