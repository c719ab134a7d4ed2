// Why the system did not load a module whose file is there: the DLLs it needs
// that the loader does not find where it looks.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "app/program.h"
#include "commands/commands.h"
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

// The file of a DLL in a folder, as a heap text; null when it is not there.
char *InFolder(const char *folder, const char *name) {
    char *path = PathJoin(folder, name);
    if (FileExists(path))
        return path;
    free(path);
    return nullptr;
}

char *InPathFolder(const char *name) {
    const char *variable = OsGetEnv("PATH");
    char *folders = StrDup(variable ? variable : "");
    char *found = nullptr;
    for (char *folder = folders; folder && !found;) {
        char *end = strchr(folder, ';');
        if (end)
            *end = '\0';
        found = *folder != '\0' ? InFolder(folder, name) : nullptr;
        folder = end ? end + 1 : nullptr;
    }
    free(folders);
    return found;
}

// The system's folder or Windows' (into buf), or null when it cannot be read.
const char *SystemFolder(bool windows, char (&buf)[kSystemFolderSize]) {
    int length = windows ? OsWindowsDirectory(buf, kSystemFolderSize)
                         : OsSystemDirectory(buf, kSystemFolderSize);
    return length > 0 && length < kSystemFolderSize ? buf : nullptr;
}

// Where the loader finds a DLL that a data source, or a DLL of its, imports
// while the source's own folder is the working folder: the program's folder,
// the system folder, the Windows folder, the working folder, then the folders
// of PATH. Null when it finds none; *shared tells whether it is the system's.
char *FindDll(const char *sourceFolder, const char *name, bool *shared) {
    char system[kSystemFolderSize];
    char windows[kSystemFolderSize];
    const char *folders[] = {ProgramFolderPath, SystemFolder(false, system),
                             SystemFolder(true, windows), sourceFolder};
    for (int i = 0; i < 4; ++i) {
        *shared = i == 1 || i == 2;
        if (char *found = folders[i] ? InFolder(folders[i], name) : nullptr)
            return found;
    }
    *shared = false;
    return InPathFolder(name);
}

// Adds to *missing each DLL the module at path needs, directly or through a
// DLL of the vendor's own (not the system's), that the loader does not find:
// "b.dll", or "c.dll (for b.dll)". API sets (api-ms-*, ext-ms-*) and modules
// loaded already need no file; a name holding a path is not looked for.
void CollectMissing(const char *sourceFolder, const char *path, const char *through, int depth,
                    StringList *seen, StringList *missing) {
    StringList imports = ModuleImports(path);
    for (StringList name = imports; *name; ++name) {
        bool known = false;
        for (StringList old = *seen; *old && !known; ++old)
            known = StrCompareNoCase(*old, *name) == 0;
        if (known || StrNCompareNoCase(*name, "api-ms-", 7) == 0 ||
            StrNCompareNoCase(*name, "ext-ms-", 7) == 0 || strpbrk(*name, "\\/:") != nullptr ||
            OsModuleLoaded(*name))
            continue;
        ListAppend(seen, *name);
        bool shared = false;
        char *found = FindDll(sourceFolder, *name, &shared);
        if (!found) {
            char entry[kNotLoadedSize];
            snprintf(entry, sizeof entry, "%s%s%s%s", *name, through ? " (for " : "",
                     through ? through : "", through ? ")" : "");
            ListAppend(missing, entry);
        } else if (depth < kDeepestImport && !shared) {
            CollectMissing(sourceFolder, found, *name, depth + 1, seen, missing);
        }
        free(found);
    }
    ListFreeItems(imports);
    free(imports);
}

// "needs a.dll and c.dll (for b.dll), which are not found" for the DLLs the
// loader cannot find; false when it finds them all.
bool PutMissingDlls(char *buf, size_t size, const char *path) {
    char *folder = StrDup(path);
    const char *slash = LastChar(folder, '\\');
    if (slash)
        folder[slash - folder] = '\0';
    StringList seen = ListNew(0);
    StringList missing = ListNew(0);
    CollectMissing(slash ? folder : ".", path, nullptr, 0, &seen, &missing);
    int count = ListCount(missing);
    for (int i = 0; i < count; ++i)
        Append(buf, size, "%s%s", i == 0 ? "needs " : i + 1 < count ? ", " : " and ", missing[i]);
    if (count > 0)
        Append(buf, size, ", which %s not found", count == 1 ? "is" : "are");
    ListFreeItems(seen);
    free(seen);
    ListFreeItems(missing);
    free(missing);
    free(folder);
    return count > 0;
}

} // namespace

void NotLoadedText(char *buf, size_t size, const char *path, unsigned error) {
    *buf = '\0';
    // Windows gives the same error for a missing module and for a missing DLL
    // that a module there needs.
    bool module = ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine);
    bool missingDll = error == OsErrorModuleNotFound && module;
    if (missingDll && PutMissingDlls(buf, size, path)) {
        Append(buf, size, " (error %u)", error);
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

void PutNotLoaded(FILE *stream, const char *path, unsigned error) {
    char text[kNotLoadedSize];
    NotLoadedText(text, sizeof text, path, error);
    fputs("not loaded: ", stream);
    PutEscaped(stream, text); // a system message may run over several lines
}
