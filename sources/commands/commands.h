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
// Ends the run for an empty name given to -s (or one of blanks only: an unset
// variable in a script), which every product name holds.
void RefuseEmptyName(const char *name);
// The index of the catalogue's first source whose product name holds the
// text, or of the source of that number; the run ends when there is none.
int CatalogChooseByName(const char *name);
int CatalogChooseByNumber(const char *numberText);

// How -s and -n set a default, as the options to their left say: -keep keeps
// a user's own choice (a stored default that still names a data source of this
// program's kind); -atlogon, with -all, also sets the default at each user's
// next sign-in, through Active Setup.
struct SelectMode {
    bool keep;
    bool atLogon;
};
extern SelectMode Selecting;

// With -keep, the current user's stored default where it still names a data
// source of this program's kind (a heap text), else null: then it stays.
char *KeptChoice();
// Removes the current user's stored default (-u); the Source Managers then use
// their first source.
int CatalogRemoveDefault();

// The default source of every user of the computer (-all): written into each
// user profile's registry hive and the Default profile's, removed from them,
// or reported from them, one line per profile. 0 when every profile that can
// be reached was, 2 when some were not this time (each named in the report).
int AllUsersSelectByName(const char *name, const char *outputFile);
int AllUsersSelectByNumber(const char *numberText, const char *outputFile);
int AllUsersGetDefault(const char *outputFile);
int AllUsersRemove(const char *outputFile);
// What -all does to every profile: reports, sets the source, or removes it.
enum AllUsersDeed { kAllReport, kAllSet, kAllRemove };
// Once the catalogue is made (for a report or a setting): enables the
// privileges, does the deed to every profile, and reports to path.
int AllUsersVisit(AllUsersDeed deed, const char *source, const char *path, const char *outputFile);
// One line of an -all report: the fields between vertical bars, each control
// character escaped; the log gets the line too.
void PutReportLine(FILE *stream, const char *const *fields, int count);
// The system's words for an error, "message (error N)", and a note "what: "
// followed by them.
void PutErrorWords(char *words, size_t size, unsigned error);
void PutSystemError(char *note, size_t size, const char *what, unsigned error);

// The hives -all loads: this run's name for its nth (HKEY_USERS\Corvane.<process
// id>.<when its process began>.<n>), whether one of a name is loaded, its
// unload for as long as the system holds it (0 once it is no longer loaded,
// else the system's error), and the hives that runs which ended left loaded,
// unloaded with a report line each (the number still held).
void OwnHiveName(char *name, size_t size, int number);
bool HiveLoaded(const char *name);
unsigned UnloadHive(const char *hive);
int UnloadStaleHives(FILE *stream, AllUsersDeed deed);

// The machine's record for detection rules: its report line, and for a
// setting or removal that reached every profile it can (complete) the record
// written or removed; false when that failed, *error telling why, and the run
// then ends with RecordFailed after its report.
bool PutRecord(FILE *stream, AllUsersDeed deed, const char *source, bool complete, unsigned *error);
[[noreturn]] void RecordFailed(unsigned error);
// The product name of the catalogue source a stored path names; empty for none.
IdentityText StoredProduct(const char *stored);

// Active Setup, the path Windows gives for a default at every user's next
// sign-in: the check that this program may be run there (the run ends when
// not), and the component registered, removed or reported, one report line;
// 1 when it could not be done this time.
void AtLogonCheckProgram();
// Why a program at this path may not be run at sign-in (in why), or false
// when it may: a path the code page cannot write, a temporary folder or a
// deployment tool's cache, a file or folder others than the administrators
// may change.
bool SignInRefusal(const char *program, bool unwritable, char *why, size_t size);
int AtLogonSet(FILE *stream, const char *source, bool asked);
int AtLogonRemove(FILE *stream);
void AtLogonReport(FILE *stream);
// What the component runs at sign-in (-logon): the current user's default set
// to exactly this data-source file, with no box and what happened in the log.
int LogonSetDefault(const char *path);

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
