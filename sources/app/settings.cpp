// The settings file: installed per user from the program folder, read on every run.
#include "app/settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "platform/system.h"
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
char *SettingsFileIn(const char *folder, const char *program = ProgramName) {
    char *name = StrCat2(program, ".ini");
    char *path = PathJoin(folder, name);
    free(name);
    return path;
}

// The path of the other program's settings file last read, for its messages.
char *ShippedPath;

// Splits a line of the section into its key and value, trimmed, in place;
// false for a line without an equals sign.
bool SplitSetting(char *line, char **key, char **value) {
    char *equals = strchr(line, '=');
    if (equals == nullptr)
        return false;
    *equals = '\0';
    *value = TrimRight(SkipBlanks(equals + 1));
    *key = TrimRight(SkipBlanks(line));
    return true;
}

// Puts the lines of a UTF-8 file into the code page, in place. A setting the
// code page cannot write ends the run, naming it: a path of other characters
// is another path. The message keeps its key and value (bounded), so that the
// lines are released first.
void LinesInCodePage(const char *path, StringList lines, const SectionPlace &place) {
    for (int i = 0; place.utf8 && lines[i] != nullptr; ++i) {
        bool lacking = false;
        char *ansi = OsUtf8ToAnsi(lines[i], &lacking);
        if (!ansi)
            Fatal("Out of memory");
        free(lines[i]);
        lines[i] = ansi;
        char *key = nullptr;
        char *value = nullptr;
        if (!lacking || !SplitSetting(lines[i], &key, &value))
            continue;
        char keyText[128];
        char valueText[1024];
        snprintf(keyText, sizeof keyText, "%s", key);
        snprintf(valueText, sizeof valueText, "%s", value);
        ListFreeItems(lines);
        free(lines);
        Fatal("file: %s section: %s - setting '%s' on line %d cannot be written in code page "
              "%u: %s",
              path, kSection, keyText, place.firstLine + i, OsCodePage(), valueText);
    }
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
    SectionPlace place;
    LoadLines(SettingsPath, kSection, &lines, &place);
    LinesInCodePage(SettingsPath, lines, place);
    int ignored = 0;
    for (StringList line = lines; *line != nullptr; ++line) {
        char *key = nullptr;
        char *value = nullptr;
        if (!SplitSetting(*line, &key, &value))
            continue;
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

// Digits only, leading zeros allowed: a sign, a fraction or a unit is no
// silent default.
int WholeNumber(const char *text, int low, int high) {
    size_t length = strlen(text);
    const char *digits = text + strspn(text, "0");
    int value = strspn(text, "0123456789") == length && strlen(digits) <= 9 ? atoi(digits) : -1;
    return *text && value >= low && value <= high ? value : -1;
}

namespace {

constexpr int kLongestLimit = 86400;

int WholeSetting(const char *name, int fallback, int low, int high, const char *unit) {
    const char *text = VarGet(name);
    if (*text == '\0')
        return fallback;
    int value = WholeNumber(text, low, high);
    if (value < 0)
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

int SourceDepth() {
    return WholeSetting("ds_depth", 1, 1, kMostDepth, "");
}

char *ShippedSetting(const char *program, const char *key) {
    char *path = SettingsFileIn(ProgramFolderPath, program);
    StrAssign(&ShippedPath, path);
    free(path);
    StringList lines = ListNew(0);
    SectionPlace place{};
    if (FileExists(ShippedPath)) {
        free(lines);
        LoadLines(ShippedPath, kSection, &lines, &place);
        LinesInCodePage(ShippedPath, lines, place);
    }
    char *found = nullptr;
    for (StringList line = lines; *line != nullptr; ++line) {
        char *name = nullptr;
        char *value = nullptr;
        if (SplitSetting(*line, &name, &value) && StrCompareNoCase(name, key) == 0)
            StrAssign(&found, value);
    }
    ListFreeItems(lines);
    free(lines);
    if (found && !*found) {
        free(found);
        found = nullptr;
    }
    return found;
}
