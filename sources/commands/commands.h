// The actions: through the Source Manager, and on the program's own catalogue.
#pragma once

#include <cstdio>

#include "TWLINK/twain.h"
#include "platform/files.h"

constexpr int kCatalogLimit = 50;

struct SourceCatalogTable {
    TW_IDENTITY *identities; // kCatalogLimit records
    char **paths;            // kCatalogLimit heap texts
    int32_t count;
};
extern SourceCatalogTable SourceCatalog;

// What the scan learned of each candidate file, in scan order, for the check.
enum CandidateOutcome : int32_t {
    kSourceAccepted,  // code: the source's number
    kNotLoaded,       // code: the system's error
    kNoEntry,         // neither DS_Entry nor (where allowed) ordinal 1
    kIdentityRefused, // code: the entry's TWAIN result
    kCatalogFull,     // not loaded: the catalogue already held its limit
    kUnwritableName,  // a file or folder the code page has no name for, never looked up
    // Left out, the worker ended: code the exception, the exit code, the seconds.
    kCrashed,
    kEndedProcess,
    kTimedOut,
    kDamagedAnswer, // its worker's answer was not one: something wrote into the channel
    kClosedChannel, // its worker's channel broke, with no fault and no process end
};

struct CandidateRecord {
    char *path; // heap text
    int32_t outcome;
    uint32_t code;
};

// Grows as candidates are met; emptied when a scan starts.
struct CandidateTable {
    CandidateRecord *records;
    int32_t count;
    int32_t room;
};
extern CandidateTable ScanCandidates;

int ManagerGetDefault(const char *outputFile);
int ManagerList(const char *templateText, const char *outputFile);
int ManagerSelectByName(const char *name);
int ManagerSelectByNumber(const char *numberText);
// Sets a listing variable (M, F, P, D) to a name, each line break a blank, so
// that every source keeps to its line.
void SetListingName(const char *variable, const char *text);

int ScanDataSources(const char *folder);
void AddDataSource(const char *folder, const char *name);
// Loads the module, asks it for its identity and frees it, in this process:
// what came of it, with the system's error or the entry's result in *code.
CandidateOutcome AskModule(const char *path, TW_IDENTITY *identity, uint32_t *code);
// The same in the scan's workers, started as needed; a left-out candidate
// (crashed, ended the process, timed out, ...) leaves the identity alone.
CandidateOutcome AskInWorker(const char *path, TW_IDENTITY *identity, uint32_t *code);
// Every candidate of the scan (full paths), in the order they will be asked:
// the workers may take later ones while one is slow, never more than the
// catalogue could still accept.
void PlanCandidates(char **paths);
// Starts the first worker before it is needed, so that its start overlaps
// the program's own work; closed unused when no scan comes.
void StartScanWorker();
void EndScanWorker();
// When no worker could be started, the sources were asked in this process:
// the system's error of the last start, for the check.
extern bool ScanInProcess;
extern unsigned ScanStartError;
void PutInProcess(char *text, size_t size);
// The setting ds_timeout: seconds each foreign call may take, 0 for no limit.
int SourceTimeLimit();
// The setting ds_workers: how many workers may ask data sources side by side.
constexpr int kMostWorkers = 16;
int SourceWorkers();
bool LeftOut(int32_t outcome);
// What became of a left-out candidate, as the check and the log say it.
void PutLeftOut(char *text, size_t size, int32_t outcome, uint32_t code);

void EnsureCatalog();
int CatalogList(const char *templateText, const char *outputFile);
int CatalogSelectByName(const char *name);
int CatalogSelectByNumber(const char *numberText);
int WriteUserRegistryValue(const char *keyPath, const char *valueName, const char *text);

// The check report (-c) and the JSON listing (-lj), in both modes.
int CatalogCheck(const char *outputFile);
int ManagerCheck(const char *outputFile);
// "not loaded: " with the system's message and error for a module file.
void PutNotLoaded(FILE *stream, const char *path, unsigned error);
// Why the system did not load a module file: the system's message and error,
// or the DLLs it needs that are missing; a hint where the message misleads.
constexpr int kNotLoadedSize = 1024;
void NotLoadedText(char *buf, size_t size, const char *path, unsigned error);
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
