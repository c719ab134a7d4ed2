// Start-up: the process-wide values, the argument list and its splitting.
#include "app/program.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TWLINK/TWLINK.h"
#include "app/driver.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "platform/worker.h"
#include "support/diagnostics.h"
#include "support/strings.h"

// Corvane, or Corvane64 for the 64-bit build: see the platform layer.
const char *const ProgramName = OsProgramName;
char ProgramVersion[16];
char *ProgramFolderPath;
char *UserDataPath;

namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 13;
constexpr int kModulePathSize = 512;

char TitleBuffer[64];
char *ArgList[kArgLimit + 1];

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

void RemoveEntry(int *count, char **list, int index) {
    for (int i = index; i < *count - 1; ++i)
        list[i] = list[i + 1];
    *count -= 1;
    list[*count] = nullptr;
}

} // namespace

const char *ProgramTitle() {
    snprintf(TitleBuffer, sizeof TitleBuffer, "%s Ver %s", ProgramName, ProgramVersion);
    return TitleBuffer;
}

namespace {

// Reads the entry that starts at p (a non-separator) into entry, when there is
// one to fill, and returns the position after it.
const char *ScanEntry(const char *p, char *entry) {
    size_t length = 0;
    if (*p == '"') {
        ++p;
        while (*p != '\0') {
            if (*p == '"') {
                if (p[1] == '"') {
                    if (entry)
                        entry[length++] = '"';
                    p += 2;
                    continue;
                }
                ++p;
                break;
            }
            if (entry)
                entry[length++] = *p;
            ++p;
        }
    } else {
        while (*p != '\0' && !IsSeparator(*p)) {
            if (entry)
                entry[length++] = *p;
            ++p;
        }
    }
    if (entry)
        entry[length] = '\0';
    return p;
}

const char *SkipSeparators(const char *p) {
    while (IsSeparator(*p))
        ++p;
    return p;
}

} // namespace

int ArgsSplit(const char *text, int limit, char **list) {
    // One work buffer as long as the whole text holds any entry.
    char *entry = static_cast<char *>(malloc(strlen(text) + 1));
    if (entry == nullptr)
        Fatal("out of memory");
    int count = 0;
    const char *p = SkipSeparators(text);
    while (count < limit && *p != '\0') {
        p = SkipSeparators(ScanEntry(p, entry));
        list[count++] = StrDup(entry);
    }
    list[count] = nullptr;
    free(entry);
    return count;
}

int ArgsCount(const char *text) {
    int count = 0;
    for (const char *p = SkipSeparators(text); *p != '\0';
         p = SkipSeparators(ScanEntry(p, nullptr)))
        ++count;
    return count;
}

bool ArgsTake(int *count, char **list, const char *word) {
    for (int i = 0; i < *count; ++i) {
        const char *a = list[i];
        const char *b = word;
        while (*a != '\0' && *b != '\0' &&
               tolower(static_cast<unsigned char>(*a)) == tolower(static_cast<unsigned char>(*b))) {
            ++a;
            ++b;
        }
        if (*a == '\0' && *b == '\0') {
            RemoveEntry(count, list, i);
            return true;
        }
    }
    return false;
}

const char *ArgsTakeValue(int *count, char **list, const char *prefix, const char *fallback) {
    size_t n = strlen(prefix);
    for (int i = 0; i < *count; ++i) {
        if (StrNCompareNoCase(list[i], prefix, n) == 0) {
            const char *value = list[i] + n; // the removed entry stays allocated
            RemoveEntry(count, list, i);
            return value;
        }
    }
    return fallback;
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

int StartUp() {
    // The scan's worker reads no settings, writes no log and shows no box.
    if (void *channel = OsWorkerChannel())
        return ScanWorkerMain(channel);
    snprintf(ProgramVersion, sizeof ProgramVersion, "%d.%02d", kVersionMajor, kVersionMinor);
    int count = ArgsSplit(OsCommandLine(), kArgLimit, ArgList);
    // Arguments past the list's room would be dropped unseen, their errors and
    // a -dbg= switch among them, and the run reported as a success.
    int given = ArgsCount(OsCommandLine());
    if (given > kArgLimit)
        Fatal("Too many arguments (%d): at most %d are taken", given - 1, kArgLimit - 1);
    ProgramFolderPath = ProgramFolder();
    UserDataPath = UserDataFolder("Halvorquin", ProgramName);
    char *logName = StrCat2(ProgramName, ".log");
    LogSetFile(logName);
    free(logName);
    // Beyond the int range atoi's result is undefined: such a level is no level.
    DebugLevel = ReadDecimal(ArgsTakeValue(&count, ArgList, "-dbg=", "0")).value;
    if (DebugLevel > 0)
        LogPrint("Cmdline: %s", OsCommandLine());
    return EndRun(RunCommandLine(count, ArgList));
}

int EndRun(int code) {
    OsForeignExitCode(code);
    if (!TwUnloadManager())
        return code;
    // Whatever the Source Manager left loaded would be detached unguarded by
    // the usual exit; the reports are complete, so nothing else needs to run.
    OsEndProcess(code);
}
