// Listing the catalogue and choosing the default source from it.
#include "commands/commands.h"
#include "support/diagnostics.h"

int CatalogList(const char *, const char *) {
    Fatal("CatalogList is not available yet");
}

int CatalogSelectByName(const char *) {
    Fatal("CatalogSelectByName is not available yet");
}

int CatalogSelectByNumber(const char *) {
    Fatal("CatalogSelectByNumber is not available yet");
}
