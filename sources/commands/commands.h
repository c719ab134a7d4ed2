// The actions: through the Source Manager, and on the program's own catalogue.
#pragma once

#include "TWLINK/twain.h"

constexpr int kCatalogLimit = 50;

struct SourceCatalogTable {
    TW_IDENTITY *identities; // kCatalogLimit records
    char **paths;            // kCatalogLimit heap texts
    int32_t count;
};
extern SourceCatalogTable SourceCatalog;

int ManagerGetDefault(const char *outputFile);
int ManagerList(const char *templateText, const char *outputFile);
int ManagerSelectByName(const char *name);
int ManagerSelectByNumber(const char *numberText);

int ScanDataSources(const char *folder);
void AddDataSource(const char *folder, const char *name);

int CatalogList(const char *templateText, const char *outputFile);
int CatalogSelectByName(const char *name);
int CatalogSelectByNumber(const char *numberText);
int WriteUserRegistryValue(const char *keyPath, const char *valueName, const char *text);
