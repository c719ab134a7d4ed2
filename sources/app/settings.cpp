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
    for (StringList line = lines; *line != nullptr; ++line) {
        char *equals = strchr(*line, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        char *value = TrimRight(SkipBlanks(equals + 1));
        char *key = TrimRight(SkipBlanks(*line));
        VarSet(key, value);
    }
    ListFreeItems(lines);
    free(lines);

    for (const char *key : kRequired)
        if (*VarGet(key) == '\0')
            Fatal("file: %s section: %s - setting '%s' missing", SettingsPath, kSection, key);
}
