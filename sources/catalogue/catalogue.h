// The source catalogue: the scan of data-source files in ds_dir and the
// folders below it (ds_depth levels), the table of the sources that answered,
// what became of every candidate, and the workers that ask them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "TWLINK/twain.h"
#include "app/settings.h"
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
    kUnsearchable,    // a sub-folder the system could not search; code: its error
    // Left out, the worker ended: code the exception, the exit code, the seconds.
    kCrashed,
    kEndedProcess,
    kTimedOut,
    kDamagedAnswer, // its worker's answer was not one: something wrote into the channel
    kClosedChannel, // its worker's channel broke, with no fault and no process end
};

// What the scan notes of a candidate besides its outcome.
struct CandidateNotes {
    // It answered only when given the program's identity as the origin: at
    // once, when it refused to answer without one, or when asked again after
    // it crashed or ended the process (firstOutcome, firstCode; else
    // kSourceAccepted).
    bool withOrigin;
    int32_t firstOutcome;
    uint32_t firstCode;
    // What it left in its worker ("left vhelper.dll loaded"), else empty.
    char left[128];
};

struct CandidateRecord {
    char *path; // heap text
    int32_t outcome;
    uint32_t code;
    CandidateNotes notes;
};

// Grows as candidates are met; emptied when a scan starts.
struct CandidateTable {
    CandidateRecord *records;
    int32_t count;
    int32_t room;
};
extern CandidateTable ScanCandidates;

// Whether a path (a stored default, or one deployed) names a data-source file
// of this program's kind: a .ds file that is there, built for this program's
// machine, with an entry the scan would ask. Told from the file's headers,
// never loaded; nothing here ends the run.
bool DataSourceOfThisKind(const char *path);

// A folder (ds_dir) as the scan takes it: its full path, a relative one taken
// against the working folder, so that every path listed, reported or stored is
// one a Source Manager can use (a heap text).
char *CatalogFolder(const char *folder);
// The full form of a path (as given when it has none; a heap text).
char *FullPath(const char *path);
int ScanDataSources(const char *folder);
// Whether ds_dir can be searched, as the system says it and as the latest
// scan found it (a search pattern too long for the system, say).
OsFolderState ScanFolderState(const char *folder, unsigned *error);
void AddDataSource(const char *folder, const char *name);
// Whether a source without DS_Entry is asked through its export of ordinal 1:
// not where its path names wiatwain.ds, the system's bridge to WIA.
bool OrdinalEntryAllowed(const char *path);
// Loads the module (by its full path) with its own folder as the working
// folder and the loader's search put back, asks it for its identity as the
// standard asks, with no origin (withOrigin: with the program's identity), and
// frees it, in this process: what came of it, with the system's error or the
// entry's result in *code, and what it left behind. A source that refuses to
// answer without an origin is asked once more with the program's identity;
// *answeredWithOrigin tells that it answered then.
struct OsLeftBehind;
CandidateOutcome AskModule(const char *path, bool withOrigin, TW_IDENTITY *identity, uint32_t *code,
                           bool *answeredWithOrigin, OsLeftBehind *left);
// The same in the scan's workers, started as needed; a left-out candidate
// (crashed, ended the process, timed out, ...) leaves the identity alone.
CandidateOutcome AskInWorker(const char *path, TW_IDENTITY *identity, uint32_t *code,
                             CandidateNotes *notes);
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
bool LeftOut(int32_t outcome);
// What became of a left-out candidate, as the check and the log say it.
void PutLeftOut(char *text, size_t size, int32_t outcome, uint32_t code);
// What a source left in its worker, as the check and the log say it
// ("left vhelper.dll loaded and 1 thread running"); empty when nothing.
void PutLeftBehind(char *text, size_t size, unsigned threads, unsigned modules, const char *module,
                   bool changed);
// What the check and the log say of a source that left its worker changed:
// the source after it there (after, a path) failed and then answered alone.
void PutLeftChanged(char *text, size_t size, const char *after);
// The same noted of a candidate already taken: the check says it, the log
// adds it.
void NoteLeftChanged(const char *path, const char *after);
// The check's and the log's words for what is noted of a candidate: "answered
// when given Corvane's identity" (or what it did when first asked, and that it
// answered when asked again with it), what it left; empty when nothing is noted.
void PutNotes(char *text, size_t size, bool accepted, const CandidateNotes &notes);
// "not loaded: " with the system's message and error for a module file.
void PutNotLoaded(FILE *stream, const char *path, unsigned error, const char *working);
// Why the system did not load a module file: the system's message and error,
// or the DLLs it needs that the loader does not find or cannot load; a hint
// where the message misleads. working is the working folder while it was
// loaded, or null for its own folder (a data source's).
constexpr int kNotLoadedSize = 1024;
void NotLoadedText(char *buf, size_t size, const char *path, unsigned error, const char *working);
// Whether a data source of this machine needs a DLL that the loader does not
// find where it looks, or finds and cannot load: the same in every process.
bool DllsKeepOut(const char *path);
