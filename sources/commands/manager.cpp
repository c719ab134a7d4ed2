// Actions through the TWAIN Source Manager: get the default, list, select.
#include <cstdlib>
#include <cstring>

#include "TWLINK/TWLINK.h"
#include "app/report.h"
#include "commands/commands.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

void OpenManager() {
    // Optional: a Source Manager file of the user's choice instead of the build's own.
    TwSetManagerPath(VarGet("dsm_path"));
    if (!TwOpenManager(nullptr))
        Fatal("Can't open TWAIN Source Manager");
}

bool Identity(TW_UINT16 msg, TW_IDENTITY *identity) {
    return TwManagerCall(DG_CONTROL, DAT_IDENTITY, msg, identity);
}

void FirstSource(TW_IDENTITY *identity) {
    if (!Identity(MSG_GETFIRST, identity))
        Fatal("No TWAIN Sources available");
}

} // namespace

int ManagerGetDefault(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    OpenManager();
    TW_IDENTITY identity{};
    if (!Identity(MSG_GETDEFAULT, &identity))
        Fatal("No default TWAIN source available");
    FILE *stream = ReportCreate(path);
    PutLine(stream, IdentityString(identity.ProductName).text);
    ReportFinish(stream, path, outputFile);
    return 0;
}

int ManagerList(const char *templateText, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    FILE *stream = ReportCreate(path);
    int number = 1;
    do {
        char text[16];
        FormatDecimal(text, sizeof text, number);
        VarSet("M", IdentityString(identity.Manufacturer).text);
        VarSet("F", IdentityString(identity.ProductFamily).text);
        VarSet("P", IdentityString(identity.ProductName).text);
        VarSet("D", "");
        VarSet("N", text);
        char *line = ExpandTemplate(templateText);
        PutLine(stream, line);
        free(line);
        ++number;
    } while (Identity(MSG_GETNEXT, &identity));
    ReportFinish(stream, path, outputFile);
    return 0;
}

int ManagerSelectByName(const char *name) {
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    char *wanted = StrDup(name);
    StrUpper(wanted);
    do {
        char *product = StrDup(IdentityString(identity.ProductName).text);
        StrUpper(product);
        bool found = strstr(product, wanted) != nullptr;
        free(product);
        if (found) {
            free(wanted);
            // A refused default must not look like success to a script.
            if (!Identity(MSG_SET, &identity))
                Fatal("set %s failed. rc=%d", name, TwResultCode());
            return 0;
        }
    } while (Identity(MSG_GETNEXT, &identity));
    free(wanted);
    Fatal("Scanner: %s - not found", name);
}

int ManagerSelectByNumber(const char *numberText) {
    int number = atoi(numberText);
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    for (int position = 1; position != number; ++position)
        if (!Identity(MSG_GETNEXT, &identity))
            Fatal("Scanner number %d - not found", number);
    if (DebugLevel != 0)
        LogHexDump("TW_IDENTITY : ", sizeof identity, &identity);
    if (!Identity(MSG_SET, &identity))
        Fatal("set -n %d failed. rc=%d", number, TwResultCode());
    return 0;
}
