// The settings file: installed per user from the program folder, read on every run.
#include "app/settings.h"

#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/sectionfile.h"
#include "support/strings.h"
#include "support/variables.h"

char *SettingsPath;

namespace {

constexpr char kSection[] = "Settings";
constexpr const char *kRequired[] = {"ds_dir", "ds_reg_dir", "ds_reg_name"};
// Set by every listing; the settings must leave room for them in the store.
constexpr const char *kListingNames[] = {"N", "M", "F", "P", "D"};

// Whether storing the key still leaves room for every listing name.
bool LeavesListingRoom(const char *key) {
    constexpr int kListingCount = sizeof kListingNames / sizeof kListingNames[0];
    if (VarRoom() > kListingCount || VarKnown(key))
        return true;
    int needed = 1;
    for (const char *name : kListingNames)
        if (!VarKnown(name) && StrCompareNoCase(name, key) != 0)
            needed++;
    return needed <= VarRoom();
}

// The program's name with ".ini": each build has its settings of its own.
char *SettingsFileIn(const char *folder) {
    char *name = StrCat2(ProgramName, ".ini");
    char *path = PathJoin(folder, name);
    free(name);
    return path;
}

} // namespace

void SettingsInstall() {
    LogPrint("(Re)Installing files in %s", UserDataPath);
    char *folder = StrDup(UserDataPath);
    MakeDirs(folder);
    free(folder);
    char *source = SettingsFileIn(ProgramFolderPath);
    char *destination = SettingsFileIn(UserDataPath);
    FileCopy(source, destination);
    free(source);
    free(destination);
}

void SettingsLoad() {
    SettingsPath = SettingsFileIn(UserDataPath);
    if (!FileExists(SettingsPath))
        SettingsInstall();

    StringList lines = nullptr;
    LoadLines(SettingsPath, kSection, &lines);
    int ignored = 0;
    for (StringList line = lines; *line != nullptr; ++line) {
        char *equals = strchr(*line, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        char *value = TrimRight(SkipBlanks(equals + 1));
        char *key = TrimRight(SkipBlanks(*line));
        if (!LeavesListingRoom(key)) {
            // One line for them all: a huge file must not flood the log.
            if (ignored++ == 0)
                LogPrint("Too many settings in %s: '%s' and every new key after it ignored",
                         SettingsPath, key);
            continue;
        }
        VarSet(key, value);
    }
    ListFreeItems(lines);
    free(lines);

    for (const char *key : kRequired)
        if (*VarGet(key) == '\0')
            Fatal("file: %s section: %s - setting '%s' missing", SettingsPath, kSection, key);
}

namespace {

constexpr int kLongestLimit = 86400;

// A whole number from low to high: digits only, leading zeros allowed; a
// sign, a fraction or a unit is no silent default.
int WholeSetting(const char *name, int fallback, int low, int high, const char *unit) {
    const char *text = VarGet(name);
    if (*text == '\0')
        return fallback;
    size_t length = strlen(text);
    const char *digits = text + strspn(text, "0");
    int value = strspn(text, "0123456789") == length && strlen(digits) <= 9 ? atoi(digits) : -1;
    if (value < low || value > high)
        Fatal("file: %s section: Settings - setting '%s' is not a whole number %sfrom %d to %d: %s",
              SettingsPath, name, unit, low, high, text);
    return value;
}

} // namespace

int SourceTimeLimit() {
    return WholeSetting("ds_timeout", 30, 0, kLongestLimit, "of seconds ");
}

int SourceWorkers() {
    return WholeSetting("ds_workers", 4, 1, kMostWorkers, "");
}
