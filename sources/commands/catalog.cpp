// Listing the catalogue and making one of its sources the default in the registry.
#include <cstdlib>
#include <cstring>

#include "app/report.h"
#include "commands/commands.h"
#include "platform/platform.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

void EnsureCatalog() {
    const char *folder = VarGet("ds_dir");
    if (SourceCatalog.count <= 0)
        ScanDataSources(folder);
}

namespace {

// The first source whose product name holds the text, letter case of a-z ignored.
int FindByName(const char *name) {
    for (int i = 0; i < SourceCatalog.count; ++i)
        if (FindNoCase(IdentityString(SourceCatalog.identities[i].ProductName).text, name))
            return i;
    return -1;
}

int WriteDefault(int index) {
    return WriteUserRegistryValue(VarGet("ds_reg_dir"), VarGet("ds_reg_name"),
                                  SourceCatalog.paths[index]);
}

} // namespace

void SetListingName(const char *variable, const char *text) {
    char *line = JoinLines(StrDup(text));
    VarSet(variable, line);
    free(line);
}

int CatalogList(const char *templateText, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    EnsureCatalog();
    FILE *stream = ReportCreate(path);
    for (int i = 0; i < SourceCatalog.count; ++i) {
        const TW_IDENTITY &identity = SourceCatalog.identities[i];
        char number[16];
        FormatDecimal(number, sizeof number, i + 1);
        SetListingName("M", IdentityString(identity.Manufacturer).text);
        SetListingName("F", IdentityString(identity.ProductFamily).text);
        SetListingName("P", IdentityString(identity.ProductName).text);
        SetListingName("D", SourceCatalog.paths[i]);
        VarSet("N", number);
        char *line = ExpandTemplate(templateText);
        PutLine(stream, line);
        free(line);
    }
    ReportFinish(stream, path, outputFile);
    return 0;
}

int CatalogSelectByName(const char *name) {
    EnsureCatalog();
    int index = FindByName(name);
    if (index < 0)
        Fatal("Scanner: %s - not found", name);
    int code = WriteDefault(index);
    if (code != 0)
        Fatal("set %s failed. rc=%d", name, code);
    return 0;
}

int CatalogSelectByNumber(const char *numberText) {
    EnsureCatalog();
    DecimalText typed = ReadDecimal(numberText);
    if (!typed.inRange)
        Fatal("Scanner number %.*s - not found", typed.typedLength, typed.typed);
    int number = typed.value;
    if (number < 1 || number > SourceCatalog.count)
        Fatal("Scanner number %d - not found", number);
    int code = WriteDefault(number - 1);
    if (code != 0)
        Fatal("set -n %d failed. rc=%d", number, code);
    return 0;
}

int WriteUserRegistryValue(const char *keyPath, const char *valueName, const char *text) {
    if (text == nullptr)
        return 1;
    void *key = OsUserKeyCreate(keyPath);
    if (key == nullptr)
        return 2;
    bool written = OsKeySetText(key, valueName, text);
    OsKeyClose(key);
    return written ? 0 : 3;
}
