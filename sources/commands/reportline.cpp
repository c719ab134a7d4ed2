// The lines of the reports of -all, and the product a stored path names there.
#include <cstdlib>
#include <cstring>

#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "support/diagnostics.h"
#include "support/strings.h"

IdentityText StoredProduct(const char *stored) {
    int index = CatalogIndexOf(stored);
    IdentityText none{};
    return index >= 0 ? IdentityString(SourceCatalog.identities[index].ProductName) : none;
}

void PutReportLine(FILE *stream, const char *const *fields, int count) {
    size_t length = 1;
    for (int i = 0; i < count; ++i)
        length += strlen(fields[i] ? fields[i] : "") + 1;
    char *line = static_cast<char *>(MemAlloc(static_cast<int32_t>(length)));
    char *end = line;
    for (int i = 0; i < count; ++i) {
        size_t part = strlen(fields[i] ? fields[i] : "");
        memcpy(end, fields[i] ? fields[i] : "", part);
        end += part;
        if (i + 1 < count)
            *end++ = '|';
    }
    *end = '\0';
    PutEscaped(stream, line);
    fputc('\n', stream);
    LogPrint("-all: %s", JoinLines(line));
    free(line);
}
