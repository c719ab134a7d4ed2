// The command line: ArgsSplit, ArgsCount, ArgsTakeValue as start-up uses it,
// and the driver's walk, with the settings and the actions replaced by
// stand-ins that record their calls.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TWLINK/TWLINK.h"
#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "main/driver.h"
#include "main/args.h"
#include "support/strings.h"

#include "fuzzing.h"

namespace {

struct Call {
    std::string action;
    const char *value;      // the option's value, or null
    const char *outputFile; // for the reporting actions
};
std::vector<Call> Calls;

int Record(const char *action, const char *value, const char *outputFile = nullptr) {
    Calls.push_back({action, value, outputFile});
    return 0;
}

bool InList(char **list, int count, const char *entry) {
    for (int i = 0; i < count; i++)
        if (list[i] == entry)
            return true;
    return false;
}

} // namespace

// Linked in place of the real ones, which read files and load modules.
void SettingsLoad() {
    Record("load", nullptr);
}
void SettingsInstall() {
    Record("install", nullptr);
}
int ManagerGetDefault(const char *outputFile) {
    return Record("-g", nullptr, outputFile);
}
int ManagerList(const char *templateText, const char *outputFile) {
    return Record("manager list", templateText, outputFile);
}
int ManagerSelectByName(const char *name) {
    return Record("manager -s", name);
}
int ManagerSelectByNumber(const char *number) {
    return Record("manager -n", number);
}
int CatalogList(const char *templateText, const char *outputFile) {
    return Record("list", templateText, outputFile);
}
int CatalogSelectByName(const char *name) {
    return Record("-s", name);
}
int CatalogSelectByNumber(const char *number) {
    return Record("-n", number);
}
int ManagerCheck(const char *outputFile) {
    return Record("manager -c", nullptr, outputFile);
}
int CatalogCheck(const char *outputFile) {
    return Record("-c", nullptr, outputFile);
}
int ManagerListJson(const char *outputFile) {
    return Record("manager -lj", nullptr, outputFile);
}
int CatalogListJson(const char *outputFile) {
    return Record("-lj", nullptr, outputFile);
}
int AllUsersSelectByName(const char *name, const char *outputFile) {
    return Record("all -s", name, outputFile);
}
int AllUsersSelectByNumber(const char *number, const char *outputFile) {
    return Record("all -n", number, outputFile);
}
int AllUsersGetDefault(const char *outputFile) {
    return Record("all -g", nullptr, outputFile);
}
int AllUsersRemove(const char *outputFile) {
    return Record("all -u", nullptr, outputFile);
}
int CatalogRemoveDefault() {
    return Record("-u", nullptr);
}
int LogonSetDefault(const char *path) {
    return Record("-logon", path);
}
SelectMode Selecting;
bool TwUnloadManager() {
    return false;
}
int ScanWorkerMain(void *) {
    return 0;
}
void StartScanWorker() {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    setenv("CORVANE_MESSAGE_FILE", "/dev/null", 1); // usage boxes go nowhere
    int limit = data[0] % (kArgLimit + 1);
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    text = text.c_str(); // a command line ends at its first NUL

    char *list[kArgLimit + 1];
    int count = ArgsSplit(text.c_str(), limit, list);
    int all = ArgsCount(text.c_str());
    FUZZ_CHECK(count >= 0 && count <= limit && count == (all < limit ? all : limit));
    FUZZ_CHECK(list[count] == nullptr);
    char *owned[kArgLimit + 1];
    memcpy(owned, list, sizeof list);
    for (int i = 0; i < count; i++)
        FUZZ_CHECK(strlen(list[i]) <= text.size());

    // Start-up takes the first -dbg= switch out; the rest keep their order.
    int before = count;
    const char *level = ArgsTakeValue(&count, list, "-dbg=", "0");
    FUZZ_CHECK(list[count] == nullptr);
    if (count == before) {
        FUZZ_CHECK(strcmp(level, "0") == 0 && memcmp(list, owned, sizeof(char *) * count) == 0);
    } else {
        FUZZ_CHECK(count == before - 1);
        int taken = 0;
        while (taken < count && list[taken] == owned[taken])
            taken++;
        FUZZ_CHECK(StrNCompareNoCase(owned[taken], "-dbg=", 5) == 0 && level == owned[taken] + 5);
        FUZZ_CHECK(memcmp(list + taken, owned + taken + 1, sizeof(char *) * (count - taken)) == 0);
    }

    // The walk. The single-argument forms are looked for in both entries, the
    // program path included; -help would start a browser.
    Calls.clear();
    Selecting = SelectMode();
    char *walked[kArgLimit + 1];
    memcpy(walked, list, sizeof list);
    auto single = [&](const char *word) {
        return count == 2 &&
               (StrCompareNoCase(list[0], word) == 0 || StrCompareNoCase(list[1], word) == 0);
    };
    if (!single("-help")) {
        bool alone = single("-?") || single("-ver") || single("-!");
        int result = RunCommandLine(count, list);
        FUZZ_CHECK(result == 0 || result == 1);
        // Only the single-argument forms skip the settings; only -! installs them.
        FUZZ_CHECK(alone == (Calls.empty() || Calls[0].action != "load"));
        if (count == 1)
            FUZZ_CHECK(Calls.size() == 2 && Calls[1].action == "-g" && !Calls[1].outputFile);
        bool everyUser = false, manager = false; // -all and -2 never meet
        for (size_t i = 1; i < Calls.size(); i++) {
            const Call &call = Calls[i];
            everyUser = everyUser || call.action.rfind("all ", 0) == 0;
            manager = manager || call.action.rfind("manager ", 0) == 0;
            FUZZ_CHECK(!(everyUser && manager));
            FUZZ_CHECK(call.action != "load" && call.action != "install");
            // Values and output files are the command line's own entries.
            if (call.value && call.action != "list" && call.action != "manager list")
                FUZZ_CHECK(InList(walked, count, call.value));
            FUZZ_CHECK(!call.outputFile || InList(walked, count, call.outputFile));
        }
    }
    for (int i = 0; i < before; i++)
        free(owned[i]);
    return 0;
}
