// The actions: through the Source Manager, and on the program's own catalogue
// (whose scan is in catalogue/).
#pragma once

#include <cstdio>

#include "TWLINK/twain.h"
#include "platform/files.h"

int ManagerGetDefault(const char *outputFile);
int ManagerList(const char *templateText, const char *outputFile);
int ManagerSelectByName(const char *name);
int ManagerSelectByNumber(const char *numberText);
// Sets a listing variable (M, F, P, D) to a name, each line break a blank, so
// that every source keeps to its line.
void SetListingName(const char *variable, const char *text);

void EnsureCatalog();
int CatalogList(const char *templateText, const char *outputFile);
int CatalogSelectByName(const char *name);
int CatalogSelectByNumber(const char *numberText);
int WriteUserRegistryValue(const char *keyPath, const char *valueName, const char *text);
// The index of the catalogue's first source whose product name holds the
// text, or of the source of that number; the run ends when there is none.
int CatalogChooseByName(const char *name);
int CatalogChooseByNumber(const char *numberText);

// The default source of every user of the computer (-all): written into each
// user profile's registry hive and the Default profile's, or reported from
// them, one line per profile. 0 when every profile was reached, 2 when some
// were skipped.
int AllUsersSelectByName(const char *name, const char *outputFile);
int AllUsersSelectByNumber(const char *numberText, const char *outputFile);
int AllUsersGetDefault(const char *outputFile);
// Writes the path into every profile (null: reports what each has), once the
// privileges are enabled and the catalogue is made; the report goes to path.
int AllUsersVisit(const char *source, const char *path, const char *outputFile);

// The check report (-c) and the JSON listing (-lj), in both modes.
int CatalogCheck(const char *outputFile);
int ManagerCheck(const char *outputFile);
// What keeps a folder from being searched: "does not exist", ...
const char *FolderProblem(OsFolderState state);
// Ends the run for -n with a number that names no source, shown as typed.
[[noreturn]] void NumberNotFound(const char *numberText);
// Ends the run when it would set the system account's own default.
void RefuseSystemAccount();
int CatalogListJson(const char *outputFile);
int ManagerListJson(const char *outputFile);
// Writes the opening of a JSON listing, one source's object, or its close.
void PutJsonOpen(FILE *stream);
void PutJsonSource(FILE *stream, int number, const TW_IDENTITY &identity, const char *file,
                   bool isDefault);
void PutJsonClose(FILE *stream, int count);
// The registry's stored default as a heap text (null when there is none), and
// the index of the catalogue source it names (-1 for none).
char *CatalogStoredDefault(int *index);
// The index of the catalogue source a stored path names, or -1.
int CatalogIndexOf(const char *stored);
