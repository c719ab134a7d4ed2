// Why the system did not load a module whose file is there: the DLLs it needs
// that the loader does not find where it looks, or finds and cannot load.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "app/program.h"
#include "catalogue/catalogue.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/files.h"
#include "support/peheader.h"
#include "support/strings.h"

namespace {

constexpr int kSystemFolderSize = 260;
// How far the check follows a vendor's DLLs into the DLLs they import.
constexpr int kDeepestImport = 4;

// Appends to the text in buf, bounded by its size.
void Append(char *buf, size_t size, const char *format, ...) CORVANE_PRINTF(3, 4);
void Append(char *buf, size_t size, const char *format, ...) {
    size_t used = strlen(buf);
    va_list args;
    va_start(args, format);
    vsnprintf(buf + used, size - used, format, args);
    va_end(args);
}

// Where the loader looks for a DLL, in its order; the folders of PATH come last.
enum DllPlace { kProgramFolder, kSystemFolder, kWindowsFolder, kWorkingFolder, kPathFolder };

// What the loader makes of a DLL's file.
enum DllFit { kDllUsable, kDllOtherMachine, kDllDamaged };

// The file the loader takes for a DLL, or stops at, and the first it passed
// over (built for another machine); heap texts, null when none.
struct DllLookup {
    char *path;
    DllPlace place;
    DllFit fit;
    char *passed;
    DllPlace passedPlace;
    int32_t passedMachine;
};

struct DllSearch {
    const char *working; // the working folder while the module loads
    bool ownFolder;      // which is the module's own: a data source's
    StringList seen;     // the DLLs looked for already
    StringList missing;  // "b.dll", "c.dll (for b.dll)"
    StringList unusable; // "b.dll, beside the source, is built for 64-bit Windows"
    bool runtime;        // a DLL of the Universal C Runtime is missing
};

DllFit Fit(const char *path, int32_t *machine) {
    *machine = ModuleMachine(path);
    int32_t own = static_cast<int32_t>(OsProgramMachine);
    if (*machine == kMachineNoModule || (*machine == own && !ModuleWhole(path)))
        return kDllDamaged;
    // A file that cannot be read is the loader's to judge.
    return *machine >= 0 && *machine != own ? kDllOtherMachine : kDllUsable;
}

// The folders the loader searches, in its order; an empty text for one the
// system does not name.
StringList SearchFolders(const char *working) {
    StringList folders = ListNew(0);
    ListAppend(&folders, ProgramFolderPath ? ProgramFolderPath : "");
    char folder[kSystemFolderSize];
    for (bool windows : {false, true}) {
        int length = windows ? OsWindowsDirectory(folder, kSystemFolderSize)
                             : OsSystemDirectory(folder, kSystemFolderSize);
        ListAppend(&folders, length > 0 && length < kSystemFolderSize ? folder : "");
    }
    ListAppend(&folders, working);
    const char *variable = OsGetEnv("PATH");
    char *path = StrDup(variable ? variable : "");
    for (char *item = path; item;) {
        char *end = strchr(item, ';');
        if (end)
            *end = '\0';
        if (*item != '\0')
            ListAppend(&folders, item);
        item = end ? end + 1 : nullptr;
    }
    free(path);
    return folders;
}

// Looks for a DLL as the loader does: it passes over a file built for another
// machine and goes on, and takes (or stops at, when it is damaged) the first
// other file.
void FindDll(const char *working, const char *name, DllLookup *lookup) {
    memset(lookup, 0, sizeof *lookup);
    StringList folders = SearchFolders(working);
    for (int i = 0; folders[i] && !lookup->path; ++i) {
        char *path = *folders[i] != '\0' ? PathJoin(folders[i], name) : nullptr;
        if (!path || !FileExists(path)) {
            free(path);
            continue;
        }
        int32_t machine = 0;
        DllFit fit = Fit(path, &machine);
        DllPlace place = i < kPathFolder ? static_cast<DllPlace>(i) : kPathFolder;
        if (fit != kDllOtherMachine) {
            lookup->path = path;
            lookup->place = place;
            lookup->fit = fit;
        } else if (!lookup->passed) {
            lookup->passed = path;
            lookup->passedPlace = place;
            lookup->passedMachine = machine;
        } else {
            free(path);
        }
    }
    ListFreeItems(folders);
    free(folders);
}

// "vhelper.dll, beside the source, is ...", into the search's unusable DLLs.
void NoteUnusable(DllSearch *search, const char *dll, DllPlace place, const char *path,
                  int32_t machine) {
    char text[kNotLoadedSize];
    snprintf(text, sizeof text, "%s, ", dll);
    if (place == kProgramFolder) {
        Append(text, sizeof text, "beside %s.exe", OsProgramName);
    } else if (place == kSystemFolder || place == kWindowsFolder) {
        Append(text, sizeof text, "in the %s folder",
               place == kSystemFolder ? "system" : "Windows");
    } else if (place == kWorkingFolder) {
        Append(text, sizeof text,
               search->ownFolder ? "beside the source" : "in the working folder");
    } else {
        const char *slash = LastChar(path, '\\');
        Append(text, sizeof text, "in the PATH folder %.*s",
               static_cast<int>(slash ? slash - path : 0), path);
    }
    if (machine == kMachineX86 || machine == kMachineX64)
        Append(text, sizeof text, ", is built for %d-bit Windows",
               machine == kMachineX86 ? 32 : 64);
    else if (machine >= 0)
        Append(text, sizeof text, ", is built for machine 0x%04X", static_cast<unsigned>(machine));
    else
        Append(text, sizeof text, ", is not a valid Windows module");
    ListAppend(&search->unusable, text);
}

bool ApiSet(const char *name) {
    return StrNCompareNoCase(name, "api-ms-", 7) == 0 || StrNCompareNoCase(name, "ext-ms-", 7) == 0;
}

// Notes each DLL the module at path needs, directly or through a DLL of the
// vendor's own (not the system's), that the loader does not find or cannot
// load. Modules loaded already and API sets the system resolves need no file;
// an API set it does not is looked for as any DLL; a name holding a path is
// not looked for.
void CollectDlls(DllSearch *search, const char *path, const char *through, int depth) {
    StringList imports = ModuleImports(path);
    for (StringList name = imports; *name; ++name) {
        bool known = false;
        for (StringList old = search->seen; *old && !known; ++old)
            known = StrCompareNoCase(*old, *name) == 0;
        if (known || strpbrk(*name, "\\/:") != nullptr || OsModuleLoaded(*name) ||
            (ApiSet(*name) && OsApiSetResolved(*name)))
            continue;
        ListAppend(&search->seen, *name);
        char dll[kNotLoadedSize];
        snprintf(dll, sizeof dll, "%s%s%s%s", *name, through ? " (for " : "",
                 through ? through : "", through ? ")" : "");
        DllLookup found;
        FindDll(search->working, *name, &found);
        if (found.path && found.fit == kDllDamaged) {
            NoteUnusable(search, dll, found.place, found.path, kMachineNoModule);
        } else if (!found.path && found.passed) {
            NoteUnusable(search, dll, found.passedPlace, found.passed, found.passedMachine);
        } else if (!found.path) {
            ListAppend(&search->missing, dll);
            search->runtime =
                search->runtime || StrNCompareNoCase(*name, "api-ms-win-crt-", 15) == 0;
        } else if (depth < kDeepestImport && found.place != kSystemFolder &&
                   found.place != kWindowsFolder) {
            CollectDlls(search, found.path, *name, depth + 1);
        }
        free(found.path);
        free(found.passed);
    }
    ListFreeItems(imports);
    free(imports);
}

// "needs a.dll and c.dll (for b.dll), which are not found; d.dll, beside the
// source, is built for 64-bit Windows" for the DLLs that keep the module from
// loading; false when there are none. working is the folder the loader takes
// for the working folder, or null for the module's own.
bool PutDllProblems(char *buf, size_t size, const char *path, const char *working, bool *runtime) {
    char *folder = StrDup(path);
    const char *slash = LastChar(folder, '\\');
    if (slash)
        folder[slash - folder] = '\0';
    // A data source is loaded with its own folder as the working folder.
    const char *own = slash ? folder : ".";
    DllSearch search = {
        working ? working : own, !working, ListNew(0), ListNew(0), ListNew(0), false};
    CollectDlls(&search, path, nullptr, 0);
    int count = ListCount(search.missing);
    for (int i = 0; i < count; ++i)
        Append(buf, size, "%s%s",
               i == 0          ? "needs "
               : i + 1 < count ? ", "
                               : " and ",
               search.missing[i]);
    if (count > 0)
        Append(buf, size, ", which %s not found", count == 1 ? "is" : "are");
    for (StringList dll = search.unusable; *dll; ++dll)
        Append(buf, size, "%s%s", *buf ? "; " : "", *dll);
    *runtime = search.runtime;
    bool any = *buf != '\0';
    for (StringList list : {search.seen, search.missing, search.unusable}) {
        ListFreeItems(list);
        free(list);
    }
    free(folder);
    return any;
}

} // namespace

bool DllsKeepOut(const char *path) {
    char text[kNotLoadedSize] = "";
    bool runtime = false;
    return ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine) &&
           PutDllProblems(text, sizeof text, path, nullptr, &runtime);
}

void NotLoadedText(char *buf, size_t size, const char *path, unsigned error, const char *working) {
    *buf = '\0';
    // Windows gives the same error for a missing module and for a missing DLL
    // that a module there needs; one it cannot load may give either that or
    // the error of a damaged module.
    bool module = ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine);
    bool missingDll = error == OsErrorModuleNotFound && module;
    bool badDll = error == OsErrorBadFormat && module && ModuleWhole(path);
    bool runtime = false;
    if ((missingDll || badDll) && PutDllProblems(buf, size, path, working, &runtime)) {
        Append(buf, size, " (error %u)", error);
        if (runtime)
            Append(buf, size,
                   "; install the Universal C Runtime (the Windows update, or the vendor's "
                   "Visual C++ runtime)");
        return;
    }
    if (!OsErrorText(error, FileName(path), buf, static_cast<int>(size)))
        snprintf(buf, size, "unknown error");
    Append(buf, size, " (error %u)", error);
    if (missingDll)
        Append(buf, size, "; the file is there, but a DLL it needs is missing");
    else if (error == OsErrorInitFailed)
        Append(buf, size, "; its start-up code refused to load");
    else if (error == OsErrorAccessDenied)
        Append(buf, size, "; this user may not read or run it: see the file's permissions");
}

void PutNotLoaded(FILE *stream, const char *path, unsigned error, const char *working) {
    char text[kNotLoadedSize];
    NotLoadedText(text, sizeof text, path, error, working);
    fputs("not loaded: ", stream);
    PutEscaped(stream, text); // a system message may run over several lines
}
