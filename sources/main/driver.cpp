// The command-line driver: single-argument forms, then the walk over the options.
#include "main/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "app/program.h"
#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "main/args.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"

#include "buildtime.h" // generated

namespace {

// The program names itself (Corvane or Corvane64) at both %s.
constexpr char kUsageFormat[] =
    "Usage:\n\n%s ([OPTS] ACTION)*\n\nACTIONs are:\n-g\tGet current scanner name\n-l\tList "
    "installed scanner(s)\n-ll fmt\tLong List of installed scanner(s), with additional "
    "detail\n\tfmt can contain:\n\t%%N%% = scanner number\n\t%%M%% = manufacturer name\n\t%%F%% = "
    "scanner family name\n\t%%P%% = scanner product name\n\t%%D%% = data source file\n-la\tList "
    "all info about installed scanner(s)\n-lj\tList all info about installed scanner(s) as "
    "JSON\n-c\tCheck installed scanner(s): why one is missing\n-s name\tSet current scanner by "
    "name. name can be a partial match.\n-n num\tSet current scanner by number (1...)\n-u\tUnset "
    "current scanner (TWAIN then uses the first one)\n-logon file\tSet current scanner to this "
    "data source file, with no box (at sign-in)\n\nOPTS are:\n-o outfile\tSend output to outfile "
    "(use with -l, -ll, -la, -lj, -c or -g)\n-2\tUse DSM Version 2 (not shipped by default with "
    "Windows)\n\tNOTE: -s and -n won't work in -2 unless you add twaindsm.dll\n-all\tApply -s, "
    "-n, -u and -g to every user of the computer, present and future\n\t(run as administrator; "
    "not with -2)\n-keep\tWith -s and -n, keep a scanner the user chose\n-atlogon\tWith -all, "
    "also set it at each user's next sign-in\n\n%s -help\nShow online help.\n\nThe default (no "
    "opts or actions) is -g.";

} // namespace

const char *UsageText() {
    static char text[sizeof kUsageFormat + 32];
    snprintf(text, sizeof text, kUsageFormat, ProgramName, ProgramName);
    return text;
}

namespace {

struct Option {
    const char *word;
    int values;
};

constexpr Option OptionTable[] = {
    {"-o", 1},   {"-2", 0}, {"-l", 0},    {"-la", 0},      {"-ll", 1},
    {"-n", 1},   {"-s", 1}, {"-g", 0},    {"-c", 0},       {"-lj", 0},
    {"-all", 0}, {"-u", 0}, {"-keep", 0}, {"-atlogon", 0}, {"-logon", 1},
};
constexpr int kOptionCount = sizeof OptionTable / sizeof OptionTable[0];
static_assert(kOptionCount == 15, "fifteen options");

enum OptionIndex {
    kOutput,
    kManagerMode,
    kList,
    kListAll,
    kListFormat,
    kNumber,
    kName,
    kGet,
    kCheck,
    kListJson,
    kAllUsers,
    kRemove,
    kKeep,
    kAtLogon,
    kLogon
};

constexpr char kShortTemplate[] = "%N%=%P%";
constexpr char kFullTemplate[] = "%N%|%M%|%F%|%P%|%D%";
constexpr char kHelpSite[] = "https://www.halvorquin.com";
// Both builds share the product's help pages.
constexpr char kProductName[] = "Corvane";

int FindOption(const char *argument) {
    int index = 0;
    while (index < kOptionCount && StrCompareNoCase(OptionTable[index].word, argument) != 0)
        ++index;
    return index;
}

// The usage with the line that names the wrong argument above it; exit code 1.
int UsageError(const char *before, const char *argument, const char *after) {
    char *line = StrCat3(before, argument, after);
    char *text = StrCat3(line, "\n\n", UsageText());
    ShowMessage(text);
    free(text);
    free(line);
    return 1;
}

// The forms that work only alone: -?, -help, -ver, -!.
bool SingleArgumentForm(const char *argument) {
    for (const char *form : {"-?", "-help", "-ver", "-!"})
        if (StrCompareNoCase(form, argument) == 0)
            return true;
    return false;
}

void ShowVersion() {
    char text[64];
    snprintf(text, sizeof text, "Build date:\t%s\nBuild time:\t%s\n", BuildDate, BuildTime);
    ShowMessage(text);
}

// Whether the walk will reach a catalogue action before -2 or an argument it
// stops at: the scan's first worker may then start while the settings are read.
// After -all, -g too reads the catalogue, to name the sources stored.
bool CatalogueAhead(int count, char **list) {
    bool allUsers = false;
    for (int position = 1; position < count;) {
        int index = FindOption(list[position]);
        if (index == kOptionCount || index == kManagerMode ||
            position + OptionTable[index].values >= count)
            return false;
        bool elsewhere = index == kOutput || index == kAllUsers || index == kKeep ||
                         index == kAtLogon || index == kRemove || index == kLogon ||
                         (index == kGet && !allUsers);
        if (!elsewhere)
            return true;
        allUsers = allUsers || index == kAllUsers;
        position += 1 + OptionTable[index].values;
    }
    return false;
}

// -logon runs at sign-in, before the desktop, where no box may wait.
bool SignInRun(int count, char **list) {
    for (int position = 1; position < count; ++position)
        if (FindOption(list[position]) == kLogon)
            return true;
    return false;
}

// The Source Manager sets only the current user's default.
int AllUsersWithManager() {
    return UsageError("", "-all and -2",
                      " cannot be used together: the TWAIN Source Manager sets only the current "
                      "user's default");
}

} // namespace

void OpenHelpPage() {
    constexpr char kPath[] = "/Products/";
    size_t size = strlen(kHelpSite) + strlen(kPath) + strlen(kProductName) + 1 +
                  strlen(ProgramVersion) + strlen("/Help/") + 1;
    char *address = static_cast<char *>(MemAlloc(static_cast<int32_t>(size)));
    snprintf(address, size, "%s%s%s/%s/Help/", kHelpSite, kPath, kProductName, ProgramVersion);
    OsOpenUrl(address); // lives until the process ends
}

int RunCommandLine(int count, char **list) {
    if (count == 2) {
        if (ArgsTake(&count, list, "-?")) {
            ShowMessage(UsageText());
            return 0;
        }
        if (ArgsTake(&count, list, "-help")) {
            OpenHelpPage();
            return 0;
        }
        if (ArgsTake(&count, list, "-ver")) {
            ShowVersion();
            return 0;
        }
        if (ArgsTake(&count, list, "-!")) {
            SettingsInstall();
            return 0;
        }
    }

    if (SignInRun(count, list))
        DiagnosticsNoBoxes();
    if (CatalogueAhead(count, list))
        StartScanWorker();
    SettingsLoad();

    if (count == 1)
        return ManagerGetDefault(nullptr);
    if (count < 1)
        return 0;

    const char *outputFile = nullptr;
    bool managerMode = false;
    bool allUsers = false;
    // 2 once an -all action skipped a profile.
    int result = 0;
    int position = 1;
    while (position < count) {
        const char *argument = list[position];
        int index = FindOption(argument);
        int values = index < kOptionCount ? OptionTable[index].values : 0;
        if (index == kOptionCount && SingleArgumentForm(argument))
            return UsageError("", argument, " works only alone on the command line");
        if (index == kOptionCount)
            return UsageError("Unknown option: ", argument, "");
        if (position + values >= count)
            return UsageError("", argument, " needs a value");
        const char *value = values > 0 ? list[position + 1] : nullptr;
        switch (index) {
        case kOutput:
            outputFile = strcmp(value, "-") == 0 ? nullptr : value;
            break;
        case kManagerMode:
            if (allUsers)
                return AllUsersWithManager();
            managerMode = true;
            break;
        case kAllUsers:
            if (managerMode)
                return AllUsersWithManager();
            allUsers = true;
            break;
        case kList:
        case kListAll:
        case kListFormat: {
            const char *templateText = index == kList      ? kShortTemplate
                                       : index == kListAll ? kFullTemplate
                                                           : value;
            if (managerMode)
                ManagerList(templateText, outputFile);
            else
                CatalogList(templateText, outputFile);
            break;
        }
        case kNumber:
        case kName:
            if (Selecting.atLogon && !allUsers)
                return UsageError("", "-atlogon",
                                  " works only with -all: it sets the default at the next sign-in "
                                  "of every user");
            if (Selecting.keep && managerMode)
                return UsageError("", "-keep and -2",
                                  " cannot be used together: the TWAIN Source Manager names a "
                                  "default even where no one chose one");
            if (index == kName && allUsers)
                result |= AllUsersSelectByName(value, outputFile);
            else if (index == kName && managerMode)
                ManagerSelectByName(value);
            else if (index == kName)
                CatalogSelectByName(value);
            else if (allUsers)
                result |= AllUsersSelectByNumber(value, outputFile);
            else if (managerMode)
                ManagerSelectByNumber(value);
            else
                CatalogSelectByNumber(value);
            break;
        case kRemove:
            if (allUsers)
                result |= AllUsersRemove(outputFile);
            else
                CatalogRemoveDefault();
            break;
        case kKeep:
            Selecting.keep = true;
            break;
        case kAtLogon:
            Selecting.atLogon = true;
            break;
        case kLogon:
            if (allUsers)
                return UsageError("", "-all and -logon",
                                  " cannot be used together: -logon sets the default of the user "
                                  "who signs in");
            LogonSetDefault(value);
            break;
        case kGet:
            if (allUsers)
                result |= AllUsersGetDefault(outputFile);
            else
                ManagerGetDefault(outputFile);
            break;
        case kCheck:
            if (managerMode)
                ManagerCheck(outputFile);
            else
                CatalogCheck(outputFile);
            break;
        case kListJson:
            if (managerMode)
                ManagerListJson(outputFile);
            else
                CatalogListJson(outputFile);
            break;
        }
        position += 1 + values;
    }
    return result;
}
