// The operating-system layer on Windows: thin wrappers over the ANSI system calls.
#include "platform/platform.h"

#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *OsCommandLine() {
    return GetCommandLineA();
}

int OsExecutablePath(char *buf, int size) {
    if (size <= 0)
        return 0;
    return static_cast<int>(GetModuleFileNameA(NULL, buf, static_cast<DWORD>(size)));
}

int OsWindowsDirectory(char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetWindowsDirectoryA(buf, static_cast<UINT>(size)));
}

int OsSystemDirectory(char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetSystemDirectoryA(buf, static_cast<UINT>(size)));
}

#if defined(_WIN64)
const char OsProgramName[] = "Corvane64";
const char OsManagerFile[] = "TWAINDSM.DLL";
const unsigned OsProgramMachine = IMAGE_FILE_MACHINE_AMD64;

int OsManagerFolder(char *buf, int size) {
    return OsSystemDirectory(buf, size);
}
#else
const char OsProgramName[] = "Corvane";
const char OsManagerFile[] = "TWAIN_32.DLL";
const unsigned OsProgramMachine = IMAGE_FILE_MACHINE_I386;

int OsManagerFolder(char *buf, int size) {
    return OsWindowsDirectory(buf, size);
}
#endif

int OsFullPath(const char *path, char *buf, int size) {
    if (size < 0)
        return 0;
    return static_cast<int>(GetFullPathNameA(path, static_cast<DWORD>(size), buf, NULL));
}

const char *OsGetEnv(const char *name) {
    // The run-time's getenv already matches names without regard to case.
    return getenv(name);
}

int OsProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

static void *ProcAddress(FARPROC proc);

// The windowing and shell libraries are loaded on first use, not imported: a
// listing to a file needs neither, and loading them costs every start more
// than all the program's own work. They come from the system folder by full
// path and stay loaded until the process ends.
static void *SystemLibraryCall(HMODULE *library, const char *file, const char *name) {
    if (!*library) {
        char path[MAX_PATH + 16];
        UINT length = GetSystemDirectoryA(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return nullptr;
        snprintf(path + length, sizeof path - length, "\\%s", file);
        *library = LoadLibraryA(path);
        if (!*library)
            return nullptr;
    }
    return ProcAddress(GetProcAddress(*library, name));
}

static HMODULE UserLibrary;
static HMODULE ShellLibrary;

static void *UserCall(const char *name) {
    return SystemLibraryCall(&UserLibrary, "user32.dll", name);
}

static void *ShellCall(const char *name) {
    return SystemLibraryCall(&ShellLibrary, "shell32.dll", name);
}

int OsMessageBox(const char *text, const char *caption, unsigned style) {
    using Call = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    Call call = reinterpret_cast<Call>(UserCall("MessageBoxA"));
    return call ? call(NULL, text, caption, style) : 0;
}

void OsDebugString(const char *text) {
    OutputDebugStringA(text);
}

void OsOpenUrl(const char *url) {
    using Call = HINSTANCE(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
    Call call = reinterpret_cast<Call>(ShellCall("ShellExecuteA"));
    if (call)
        call(NULL, "", url, "", "C:\\", SW_HIDE);
}

unsigned OsCodePage() {
    return GetACP();
}

bool OsLeadByte(unsigned char c) {
    static bool known;
    static bool lead[256];
    if (!known) {
        CPINFO info;
        if (GetCPInfo(CP_ACP, &info))
            for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2)
                for (int b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b)
                    lead[b] = true;
        known = true;
    }
    return lead[c];
}

// The search runs on the names as the file system keeps them: the ANSI search
// hands back a name its code page cannot write as '?'s or as a look-alike,
// under which nothing can be found again.
static void FillEntry(const WIN32_FIND_DATAW &data, OsFindEntry *entry) {
    // UTF-8 writes every name, and takes neither the flag nor the question.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL lacking = FALSE;
    int length = WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, data.cFileName, -1,
                                     entry->name, sizeof entry->name, NULL, utf8 ? NULL : &lacking);
    if (length == 0)
        entry->name[0] = '\0';
    entry->unwritable = length == 0 || lacking;
    entry->folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void *OsFindFirst(const char *pattern, OsFindEntry *entry) {
    // As for the ANSI search, the pattern must fit MAX_PATH.
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, pattern, -1, wide, MAX_PATH) == 0)
        return nullptr;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(wide, &data);
    if (search == INVALID_HANDLE_VALUE)
        return nullptr;
    FillEntry(data, entry);
    return search;
}

bool OsFindNext(void *search, OsFindEntry *entry) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(static_cast<HANDLE>(search), &data))
        return false;
    FillEntry(data, entry);
    return true;
}

void OsFindClose(void *search) {
    if (search)
        FindClose(static_cast<HANDLE>(search));
}

int OsMakeDir(const char *path) {
    return _mkdir(path);
}

int OsDeleteFile(const char *path) {
    return _unlink(path);
}

bool OsReplaceFile(const char *from, const char *to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

FILE *OsCreateNewFile(const char *path, bool *taken) {
    int file = _open(path, _O_CREAT | _O_EXCL | _O_RDWR | _O_TEXT, _S_IREAD | _S_IWRITE);
    FILE *stream = file >= 0 ? _fdopen(file, "w+") : nullptr;
    if (stream)
        return stream;
    // A folder of that name may refuse access rather than report that it exists.
    *taken = file < 0 && (errno == EEXIST || GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES);
    if (file >= 0) {
        _close(file);
        _unlink(path);
    }
    return nullptr;
}

bool OsFileFound(const char *path) {
    // OpenFile copies the path into an OFSTRUCT of OFS_MAXPATHNAME bytes; a longer
    // path would overflow it, so such a path counts as not found.
    if (strlen(path) >= OFS_MAXPATHNAME)
        return false;
    OFSTRUCT ofs;
    memset(&ofs, 0, sizeof ofs);
    return OpenFile(path, &ofs, OF_EXIST) != HFILE_ERROR;
}

OsFolderState OsFolderCheck(const char *path, unsigned *error) {
    *error = 0;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError();
        return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND
                   ? kFolderMissing
                   : kFolderUnsearchable;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = ERROR_DIRECTORY;
        return kFolderNotFolder;
    }
    size_t end = strlen(path);
    bool separated = end > 0 && strchr("\\/:", path[end - 1]) != nullptr;
    char pattern[MAX_PATH + 8];
    int length = snprintf(pattern, sizeof pattern, "%s%s*", path, separated ? "" : "\\");
    if (length < 0 || length >= static_cast<int>(sizeof pattern))
        return kFolderSearchable; // the scan's own search tells
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        return kFolderSearchable;
    }
    *error = GetLastError();
    // An empty drive root has no entries at all, not even "." and "..".
    return *error == ERROR_FILE_NOT_FOUND ? kFolderSearchable : kFolderUnsearchable;
}

namespace {

const char *ForeignFile; // the module being called, null outside foreign code
LPTOP_LEVEL_EXCEPTION_FILTER OuterFilter;
LONG Reporting;

DWORD StartupFault; // an error raised while a module starts, or 0

[[noreturn]] void EndForeignFault(DWORD code) {
    // A second fault, while the first is being reported, ends the run at once.
    if (InterlockedExchange(&Reporting, 1) == 0)
        ForeignFault(ForeignFile, code);
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1); // not reached
}

LONG WINAPI ForeignFaultFilter(EXCEPTION_POINTERS *info) {
    if (ForeignFile == nullptr)
        return OuterFilter ? OuterFilter(info) : EXCEPTION_CONTINUE_SEARCH;
    EndForeignFault(info->ExceptionRecord->ExceptionCode);
}

// Notes errors raised while a module starts; the loader itself catches a fault
// in a module's DllMain, and LoadLibraryA then only fails.
LONG WINAPI NoteStartupFault(EXCEPTION_POINTERS *info) {
    DWORD code = info->ExceptionRecord->ExceptionCode;
    if ((code & 0xC0000000) == 0xC0000000 && StartupFault == 0)
        StartupFault = code;
    return EXCEPTION_CONTINUE_SEARCH;
}

// Ours is set again at every call and return: a module may set a filter of its
// own, which must not outlive the module.
void KeepFaultFilter() {
    static bool installed;
    LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(ForeignFaultFilter);
    if (!installed)
        OuterFilter = previous;
    installed = true;
}

} // namespace

void OsForeignBegin(const char *file) {
    KeepFaultFilter();
    ForeignFile = file ? file : "";
}

void OsForeignEnd() {
    ForeignFile = nullptr;
    KeepFaultFilter();
}

void *OsLoadModule(const char *path) {
    if (ForeignFile == nullptr)
        return LoadLibraryA(path);
    StartupFault = 0;
    void *watch = AddVectoredExceptionHandler(1, NoteStartupFault);
    HMODULE module = LoadLibraryA(path);
    DWORD error = GetLastError(); // for OsLastError
    if (watch)
        RemoveVectoredExceptionHandler(watch);
    // A module that faulted while starting and did not load: no going on.
    if (module == NULL && StartupFault != 0)
        EndForeignFault(StartupFault);
    SetLastError(error);
    return module;
}

// Through an integer, so that no warning about mismatched function types arises.
static void *ProcAddress(FARPROC proc) {
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(proc));
}

void *OsModuleSymbol(void *module, const char *name) {
    return ProcAddress(GetProcAddress(static_cast<HMODULE>(module), name));
}

void *OsModuleOrdinal(void *module, unsigned ordinal) {
    return ProcAddress(
        GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(static_cast<WORD>(ordinal))));
}

void OsFreeModule(void *module) {
    if (module)
        FreeLibrary(static_cast<HMODULE>(module));
}

bool OsModuleLoaded(const char *name) {
    return GetModuleHandleA(name) != NULL;
}

void *OsUserKeyCreate(const char *path) {
    HKEY key = NULL;
    LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                              KEY_READ | KEY_WRITE, NULL, &key, NULL);
    if (rc != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    if (!key || !text)
        return false;
    DWORD bytes = static_cast<DWORD>(strlen(text) + 1);
    LONG rc = RegSetValueExA(static_cast<HKEY>(key), name, 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(text), bytes);
    return rc == ERROR_SUCCESS;
}

void OsKeyClose(void *key) {
    if (key)
        RegCloseKey(static_cast<HKEY>(key));
}

bool OsIsWindow(void *window) {
    using Call = BOOL(WINAPI *)(HWND);
    Call call = reinterpret_cast<Call>(UserCall("IsWindow"));
    return call && call(static_cast<HWND>(window)) != FALSE;
}

void *OsCreateProxyWindow() {
    using Call = HWND(WINAPI *)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                                HINSTANCE, LPVOID);
    Call call = reinterpret_cast<Call>(UserCall("CreateWindowExA"));
    if (!call)
        return nullptr;
    return call(0, "STATIC", "Acquire Proxy", WS_POPUPWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, NULL, NULL);
}

unsigned OsLastError() {
    return GetLastError();
}

const unsigned OsErrorFileNotFound = ERROR_FILE_NOT_FOUND;
const unsigned OsErrorAccessDenied = ERROR_ACCESS_DENIED;
const unsigned OsErrorModuleNotFound = ERROR_MOD_NOT_FOUND;
const unsigned OsErrorInitFailed = ERROR_DLL_INIT_FAILED;

bool OsErrorText(unsigned code, const char *subject, char *buf, int size) {
    if (size <= 0)
        return false;
    // Every insert (%1, %2, ...) names the subject, as the system's own dialogs
    // name the file; a message whose inserts cannot take it is shown with its
    // markers instead.
    DWORD_PTR inserts[99];
    for (DWORD_PTR &insert : inserts)
        insert = reinterpret_cast<DWORD_PTR>(subject);
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, NULL, code, 0,
                       buf, static_cast<DWORD>(size), reinterpret_cast<va_list *>(inserts));
    if (length == 0)
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
                                code, 0, buf, static_cast<DWORD>(size), NULL);
    while (length > 0 &&
           (buf[length - 1] == '\r' || buf[length - 1] == '\n' || buf[length - 1] == ' '))
        --length;
    buf[length] = '\0';
    return length > 0;
}

char *OsUserKeyReadText(const char *path, const char *name) {
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    char *text = nullptr;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &bytes) == ERROR_SUCCESS) {
        // Room for a NUL the stored data may lack; a value may grow between the calls.
        DWORD room = bytes + 1;
        text = static_cast<char *>(calloc(room, 1));
        if (text && RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(text),
                                     &bytes) != ERROR_SUCCESS) {
            free(text);
            text = nullptr;
        }
        if (text)
            text[bytes < room ? bytes : room - 1] = '\0';
    }
    RegCloseKey(key);
    return text;
}

bool OsIsLocalSystem() {
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    bool isSystem = GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                    CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize) &&
                    EqualSid(info.user.User.Sid, system);
    CloseHandle(token);
    return isSystem;
}

char *OsAnsiToUtf8(const char *text) {
    int wide = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    wchar_t *buffer = wide > 0 ? static_cast<wchar_t *>(calloc(wide, sizeof(wchar_t))) : nullptr;
    if (buffer && MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, wide) > 0) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, -1, NULL, 0, NULL, NULL);
        char *utf8 = bytes > 0 ? static_cast<char *>(malloc(bytes)) : nullptr;
        if (utf8 && WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, bytes, NULL, NULL) > 0) {
            free(buffer);
            return utf8;
        }
        free(utf8);
    }
    free(buffer);
    // Text the code page cannot convert keeps its ASCII; every other byte becomes '?'.
    char *copy = strdup(text);
    if (copy)
        for (char *c = copy; *c; ++c)
            if (static_cast<unsigned char>(*c) >= 0x80)
                *c = '?';
    return copy;
}
