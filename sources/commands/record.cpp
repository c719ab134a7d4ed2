// The machine's record of the default of every user, which detection rules of
// deployment tools read: the path, with when and by which version it was
// written, under HKEY_LOCAL_MACHINE in the 64-bit view from both builds.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/program.h"
#include "commands/commands.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

// Where a run that reached every profile it can records the path, with when
// and by which version, for detection rules.
constexpr char kRecordKey[] = "SOFTWARE\\Halvorquin\\";
constexpr char kRecordValue[] = "AllUsersDefault";
constexpr char kRecordWhen[] = "AllUsersDefaultWritten";
constexpr char kRecordVersion[] = "AllUsersDefaultVersion";

char *RecordKey() {
    return StrCat2(kRecordKey, ProgramName);
}

} // namespace

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

void RecordFailed(unsigned error) {
    char *keyPath = RecordKey();
    char words[360];
    PutErrorWords(words, sizeof words, error);
    Fatal("Can't record the default of every user in HKEY_LOCAL_MACHINE\\%s: %s", keyPath, words);
}
