// The lines of the reports of -all, the system's words for an error in them,
// and the product a stored path names there.
#include <cstdlib>
#include <cstring>

#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"

// The system's words for an error: "message (error N)".
void PutErrorWords(char *words, size_t size, unsigned error) {
    char message[320];
    if (!OsErrorText(error, "", message, sizeof message))
        snprintf(message, sizeof message, "unknown error");
    snprintf(words, size, "%s (error %u)", message, error);
}

void PutSystemError(char *note, size_t size, const char *what, unsigned error) {
    char words[360];
    PutErrorWords(words, sizeof words, error);
    snprintf(note, size, "%s: %s", what, words);
}

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
