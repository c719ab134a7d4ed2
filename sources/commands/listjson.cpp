// The listing as JSON (-lj): one array, one object per source on its own line,
// UTF-8, for scripts that must read every name back exactly.
#include <cstdlib>

#include "app/report.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/json.h"

namespace {

// Identity strings and paths are ANSI code-page text.
void PutJsonText(FILE *stream, const char *key, const char *ansi) {
    char *utf8 = OsAnsiToUtf8(ansi);
    if (!utf8)
        Fatal("Out of memory");
    char *json = JsonString(utf8);
    fprintf(stream, ", \"%s\": %s", key, json);
    free(json);
    free(utf8);
}

} // namespace

void PutJsonOpen(FILE *stream) {
    fputs("[", stream);
}

// The first object starts a new line; each later one ends the line before it with a comma.
void PutJsonSource(FILE *stream, int number, const TW_IDENTITY &identity, const char *file,
                   bool isDefault) {
    fprintf(stream, "%s{\"number\": %d", number > 1 ? ",\n" : "\n", number);
    PutJsonText(stream, "manufacturer", IdentityString(identity.Manufacturer).text);
    PutJsonText(stream, "family", IdentityString(identity.ProductFamily).text);
    PutJsonText(stream, "product", IdentityString(identity.ProductName).text);
    if (file)
        PutJsonText(stream, "file", file);
    else
        fputs(", \"file\": null", stream);
    fprintf(stream, ", \"default\": %s}", isDefault ? "true" : "false");
}

void PutJsonClose(FILE *stream, int count) {
    fputs(count > 0 ? "\n]\n" : "]\n", stream);
}

int CatalogListJson(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    EnsureCatalog();
    int defaultIndex = -1;
    free(CatalogStoredDefault(&defaultIndex));
    FILE *stream = ReportCreate(path);
    PutJsonOpen(stream);
    for (int i = 0; i < SourceCatalog.count; ++i)
        PutJsonSource(stream, i + 1, SourceCatalog.identities[i], SourceCatalog.paths[i],
                      i == defaultIndex);
    PutJsonClose(stream, SourceCatalog.count);
    ReportFinish(stream, path, outputFile);
    return 0;
}
