// The process-wide values: the program's name, version, title and folders.
#include "app/program.h"

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"

// Corvane, or Corvane64 for the 64-bit build: see the platform layer.
const char *const ProgramName = OsProgramName;
char ProgramVersion[16];
char *ProgramFolderPath;
char *UserDataPath;

namespace {

constexpr int kModulePathSize = 512;

char TitleBuffer[64];

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

} // namespace

const char *ProgramTitle() {
    snprintf(TitleBuffer, sizeof TitleBuffer, "%s Ver %s", ProgramName, ProgramVersion);
    return TitleBuffer;
}

char *ProgramFolder() {
    char path[kModulePathSize];
    bool unwritable = false;
    int length = OsExecutablePath(path, kModulePathSize, &unwritable);
    if (length <= 0 || length >= kModulePathSize)
        length = 0;
    path[length] = '\0';

    // The folder ends where the last run of separators starts, found going
    // forward: a byte before a separator may be the second of a character.
    const char *end = nullptr;
    bool afterColon = false; // the character before that run is a ':'
    const char *previous = nullptr;
    for (const char *c = path; *c != '\0'; c = NextChar(c)) {
        if (IsPathSeparator(*c) && (previous == nullptr || !IsPathSeparator(*previous))) {
            end = c;
            afterColon = previous != nullptr && *previous == ':';
        }
        previous = c;
    }
    if (end == nullptr)
        return StrDup(".");
    // A root keeps its separator: "C:\" and "\".
    if (end == path || afterColon)
        ++end;
    path[end - path] = '\0';
    // Every file call would meet '?'s: the settings could not even be installed.
    if (unwritable)
        Fatal("The folder %s cannot be written in code page %u and has no short (8.3) name: move "
              "%s to a folder whose name code page %u can write, or enable short names on its "
              "drive",
              path, OsCodePage(), ProgramName, OsCodePage());
    return StrDup(path);
}

char *UserDataFolder(const char *maker, const char *program) {
    bool unwritable = false;
    char *appData = OsGetEnvFolder("AppData", &unwritable);
    // An empty value would put the settings in whatever the working folder is.
    if (appData == nullptr || *appData == '\0')
        Fatal("The APPDATA environment variable is missing.");
    if (unwritable)
        Fatal("The folder %s (AppData) cannot be written in code page %u and has no short (8.3) "
              "name: set AppData to a folder whose name code page %u can write, or enable short "
              "names on its drive",
              appData, OsCodePage(), OsCodePage());
    char *vendor = PathJoin(appData, maker);
    char *folder = PathJoin(vendor, program);
    free(vendor);
    free(appData);
    return folder;
}
