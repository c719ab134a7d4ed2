// Listing the catalogue and making one of its sources the default in the registry.
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "app/report.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

SelectMode Selecting;

void EnsureCatalog() {
    const char *folder = VarGet("ds_dir");
    if (SourceCatalog.count <= 0)
        ScanDataSources(folder);
}

// Deployment tools run scripts as the system account unless told otherwise;
// its registry hive is its own, and no user would ever see a default there
// (the catalogue's value, or the one a Source Manager's MSG_SET writes).
void RefuseSystemAccount() {
    if (OsIsLocalSystem())
        Fatal("%s runs as the system account: the default source would go to the system "
              "account, not to a user. Run the command as the logged-on user (the deployment "
              "tool's \"run as the logged-on user\" setting, or a logon script), or put -all "
              "before -s, -n or -u to set it for every user of the computer.",
              ProgramName);
}

namespace {

// What an empty listing shown in a box says instead of nothing; a file stays
// empty, for scripts.
void PutEmptyCatalog(FILE *stream) {
    char *dsDir = CatalogFolder(VarGet("ds_dir"));
    unsigned error = 0;
    OsFolderState state = ScanFolderState(dsDir, &error);
    char message[512] = "";
    if (state == kFolderUnsearchable && OsErrorText(error, dsDir, message, sizeof message))
        fprintf(stream, "%s %s: %s\n", dsDir, FolderProblem(state), message);
    else if (state != kFolderSearchable)
        fprintf(stream, "%s %s\n", dsDir, FolderProblem(state));
    else
        fprintf(stream, "No TWAIN data sources in %s\n", dsDir);
    if (ScanCandidates.count > 0)
        fprintf(stream, "None of the *.ds files there answers: %s -c tells why\n", ProgramName);
    free(dsDir);
}

int WriteDefault(int index) {
    if (char *kept = KeptChoice()) {
        free(kept);
        return 0;
    }
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
    if (SourceCatalog.count == 0 && outputFile == nullptr)
        PutEmptyCatalog(stream);
    ReportFinish(stream, path, outputFile);
    return 0;
}

void RefuseEmptyName(const char *name) {
    if (*SkipBlanks(name) == '\0')
        Fatal("The scanner name after -s is empty: nothing was set");
}

int CatalogChooseByName(const char *name) {
    RefuseEmptyName(name);
    EnsureCatalog();
    for (int i = 0; i < SourceCatalog.count; ++i)
        if (FindNoCase(IdentityString(SourceCatalog.identities[i].ProductName).text, name))
            return i;
    Fatal("Scanner: %s - not found", name);
}

int CatalogChooseByNumber(const char *numberText) {
    EnsureCatalog();
    DecimalText typed = ReadDecimal(numberText);
    if (!typed.inRange || typed.value < 1 || typed.value > SourceCatalog.count)
        NumberNotFound(numberText);
    return typed.value - 1;
}

int CatalogSelectByName(const char *name) {
    RefuseSystemAccount();
    int code = WriteDefault(CatalogChooseByName(name));
    if (code != 0)
        Fatal("set %s failed. rc=%d", name, code);
    return 0;
}

int CatalogSelectByNumber(const char *numberText) {
    RefuseSystemAccount();
    int index = CatalogChooseByNumber(numberText);
    int code = WriteDefault(index);
    if (code != 0)
        Fatal("set -n %d failed. rc=%d", index + 1, code);
    return 0;
}

// With -keep, a stored default that still names a data source of this
// program's kind stays: the user chose it.
char *KeptChoice() {
    char *stored =
        Selecting.keep ? OsUserKeyReadText(VarGet("ds_reg_dir"), VarGet("ds_reg_name")) : nullptr;
    if (DataSourceOfThisKind(stored))
        return stored;
    free(stored);
    return nullptr;
}

int CatalogRemoveDefault() {
    RefuseSystemAccount();
    void *key = OsKeyOpenIn(kRootCurrentUser, VarGet("ds_reg_dir"));
    unsigned error = OsLastError();
    bool removed =
        key ? OsKeyDeleteValue(key, VarGet("ds_reg_name")) : error == OsErrorFileNotFound;
    error = key ? OsLastError() : error;
    OsKeyClose(key);
    if (!removed) {
        char words[360];
        PutErrorWords(words, sizeof words, error);
        Fatal("Can't remove the default source HKEY_CURRENT_USER\\%s\\%s: %s", VarGet("ds_reg_dir"),
              VarGet("ds_reg_name"), words);
    }
    return 0;
}

void NumberNotFound(const char *numberText) {
    DecimalText typed = ReadDecimal(numberText);
    // A text without digits is shown as typed, not as the 0 it counts as.
    char last = typed.typedLength > 0 ? typed.typed[typed.typedLength - 1] : '\0';
    if (last < '0' || last > '9')
        Fatal("Scanner number %s - not found", numberText);
    if (!typed.inRange)
        Fatal("Scanner number %.*s - not found", typed.typedLength, typed.typed);
    Fatal("Scanner number %d - not found", typed.value);
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
