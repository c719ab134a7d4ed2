// The program's place in Windows: its command line, paths and build names, the
// environment, the code page, boxes, the shell and the proxy window, error
// texts and the account; and the system libraries loaded on first use.
#include "platform/system.h"
#include "platform/win32/internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using QueryProcess = LONG(WINAPI *)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

// PROCESS_BASIC_INFORMATION with its fields named: the SDKs name some of them
// Reserved.
struct BasicInformation {
    LONG exitStatus;
    PEB *environment;
    ULONG_PTR affinityMask;
    LONG basePriority;
    ULONG_PTR processId;
    ULONG_PTR parentId;
};
static_assert(sizeof(BasicInformation) == sizeof(PROCESS_BASIC_INFORMATION), "its layout");

bool ReadBasicInformation(HANDLE process, BasicInformation *basic) {
    auto query = reinterpret_cast<QueryProcess>(NtdllCall("NtQueryInformationProcess"));
    memset(basic, 0, sizeof *basic);
    return query && query(process, ProcessBasicInformation, basic, sizeof *basic, NULL) == 0;
}

} // namespace

DWORD ParentProcessId() {
    BasicInformation basic;
    return ReadBasicInformation(GetCurrentProcess(), &basic) ? static_cast<DWORD>(basic.parentId)
                                                             : 0;
}

void *ProcessBlockOf(HANDLE process) {
    BasicInformation basic;
    return ReadBasicInformation(process, &basic) ? basic.environment : nullptr;
}

PEB *ProcessBlock() {
    static PEB *block;
    BasicInformation basic;
    if (!block && ReadBasicInformation(GetCurrentProcess(), &basic))
        block = basic.environment;
    return block;
}

const char *OsCommandLine() {
    return GetCommandLineA();
}

int WideToAnsi(const wchar_t *wide, char *buf, int size, bool *lacking) {
    // UTF-8 writes everything, and takes neither the flag nor the question.
    bool utf8 = GetACP() == CP_UTF8;
    DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used = FALSE;
    int needed = WideCharToMultiByte(CP_ACP, flags, wide, -1, NULL, 0, NULL, utf8 ? NULL : &used);
    *lacking = needed == 0 || used;
    if (needed > 0 && needed <= size)
        WideCharToMultiByte(CP_ACP, flags, wide, -1, buf, size, NULL, NULL);
    return needed;
}

// A path as the ANSI calls reach it: its name in the code page, else its short
// (8.3) form, else the name with '?'s and *unwritable set. Returns what
// WideToAnsi returns.
static int AnsiPath(const wchar_t *path, char *buf, int size, bool *unwritable) {
    int needed = WideToAnsi(path, buf, size, unwritable);
    if (!*unwritable)
        return needed;
    // Where short names are off, the "short" form is the long one again.
    DWORD room = GetShortPathNameW(path, NULL, 0);
    wchar_t *shortForm = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
    DWORD got = shortForm ? GetShortPathNameW(path, shortForm, room) : 0;
    bool lacking = true;
    int shortNeeded = got > 0 && got < room ? WideToAnsi(shortForm, buf, size, &lacking) : 0;
    free(shortForm);
    if (!lacking) {
        *unwritable = false;
        return shortNeeded;
    }
    return WideToAnsi(path, buf, size, &lacking);
}

int OsExecutablePath(char *buf, int size, bool *unwritable) {
    *unwritable = false;
    if (size <= 0)
        return 0;
    // The ANSI call would hand back '?' for what the code page lacks.
    wchar_t *wide = static_cast<wchar_t *>(calloc(size, sizeof(wchar_t)));
    DWORD got = wide ? GetModuleFileNameW(NULL, wide, static_cast<DWORD>(size)) : 0;
    int length = got >= static_cast<DWORD>(size) ? size : 0;
    if (got > 0 && length == 0) {
        int needed = AnsiPath(wide, buf, size, unwritable);
        length = needed > size ? size : needed > 0 ? needed - 1 : 0;
    }
    free(wide);
    return length;
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
    // By the wide call: a working folder the code page cannot write is reached
    // by its short name, where the ANSI call would give '?'s.
    int room = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
    auto *wide = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
    DWORD needed = wide && MultiByteToWideChar(CP_ACP, 0, path, -1, wide, room)
                       ? GetFullPathNameW(wide, 0, NULL, NULL)
                       : 0;
    auto *full = needed > 0 ? static_cast<wchar_t *>(calloc(needed, sizeof(wchar_t))) : nullptr;
    bool unwritable = false;
    int length = 0;
    if (full && GetFullPathNameW(wide, needed, full, NULL) < needed) {
        length = AnsiPath(full, buf, size, &unwritable);
        length = length > size ? length : length > 0 ? length - 1 : 0;
    }
    free(full);
    free(wide);
    return length;
}

const char *OsGetEnv(const char *name) {
    // The run-time's getenv already matches names without regard to case.
    return getenv(name);
}

char *OsGetEnvFolder(const char *name, bool *unwritable) {
    *unwritable = false;
    wchar_t wideName[64];
    if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, 64) == 0)
        return nullptr;
    // The size with the NUL: 1 for an empty value, 0 for none.
    DWORD room = GetEnvironmentVariableW(wideName, NULL, 0);
    wchar_t *wide = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
    DWORD got = wide ? GetEnvironmentVariableW(wideName, wide, room) : 0;
    char *value = nullptr;
    if (wide && got < room) {
        int needed = AnsiPath(wide, nullptr, 0, unwritable);
        value = needed > 0 ? static_cast<char *>(malloc(needed)) : nullptr;
        if (value && AnsiPath(wide, value, needed, unwritable) != needed) {
            free(value);
            value = nullptr;
        }
    }
    free(wide);
    return value;
}

int OsProcessId() {
    return static_cast<int>(GetCurrentProcessId());
}

unsigned OsMilliseconds() {
    return GetTickCount();
}

// Through an integer, so that no warning about mismatched function types arises.
void *ProcAddress(FARPROC proc) {
    return reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(proc));
}

void *NtdllCall(const char *name) {
    return ProcAddress(GetProcAddress(GetModuleHandleA("ntdll.dll"), name));
}

// The windowing, shell and registry libraries are loaded on first use, not
// imported: a listing to a file needs none of them, and loading them costs
// every start (the scan's worker's too) more than all the program's own work. They come from the
// system folder by full path and stay loaded until the process ends.
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

void *UserLibraryCall(const char *name) {
    return SystemLibraryCall(&UserLibrary, "user32.dll", name);
}

static void *ShellCall(const char *name) {
    return SystemLibraryCall(&ShellLibrary, "shell32.dll", name);
}

static HMODULE AdvapiLibrary;

void *AdvapiLibraryCall(const char *name) {
    return SystemLibraryCall(&AdvapiLibrary, "advapi32.dll", name);
}

int OsMessageBox(const char *text, const char *caption, unsigned style) {
    using Call = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
    Call call = reinterpret_cast<Call>(UserLibraryCall("MessageBoxA"));
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

bool OsIsWindow(void *window) {
    using Call = BOOL(WINAPI *)(HWND);
    Call call = reinterpret_cast<Call>(UserLibraryCall("IsWindow"));
    return call && call(static_cast<HWND>(window)) != FALSE;
}

void *OsCreateProxyWindow() {
    using Call = HWND(WINAPI *)(DWORD, LPCSTR, LPCSTR, DWORD, int, int, int, int, HWND, HMENU,
                                HINSTANCE, LPVOID);
    Call call = reinterpret_cast<Call>(UserLibraryCall("CreateWindowExA"));
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
const unsigned OsErrorBadFormat = ERROR_BAD_EXE_FORMAT;
const unsigned OsErrorInitFailed = ERROR_DLL_INIT_FAILED;
const unsigned OsErrorTimedOut = ERROR_TIMEOUT;

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
bool OsIsLocalSystem() {
    auto openToken = ADVAPI_CALL(OpenProcessToken);
    auto tokenInformation = ADVAPI_CALL(GetTokenInformation);
    auto wellKnownSid = ADVAPI_CALL(CreateWellKnownSid);
    auto equalSid = ADVAPI_CALL(EqualSid);
    HANDLE token = NULL;
    if (!openToken || !tokenInformation || !wellKnownSid || !equalSid ||
        !openToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD size = 0;
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD systemSize = sizeof system;
    bool isSystem = tokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                    wellKnownSid(WinLocalSystemSid, NULL, system, &systemSize) &&
                    equalSid(info.user.User.Sid, system);
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

// WideToAnsi takes no best-fit character: Windows would otherwise write an
// accented letter that code page 932 lacks as the plain one, naming another
// folder. Wine has best-fit tables of its own, so only Windows shows which
// characters the flag keeps from being changed.
char *OsUtf8ToAnsi(const char *text, bool *lacking) {
    *lacking = false;
    int wide = MultiByteToWideChar(CP_UTF8, 0, text, -1, NULL, 0);
    wchar_t *buffer = wide > 0 ? static_cast<wchar_t *>(calloc(wide, sizeof(wchar_t))) : nullptr;
    char *ansi = nullptr;
    if (buffer && MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, wide) > 0) {
        int needed = WideToAnsi(buffer, nullptr, 0, lacking);
        ansi = needed > 0 ? static_cast<char *>(malloc(needed)) : nullptr;
        bool again = false;
        if (ansi && WideToAnsi(buffer, ansi, needed, &again) != needed) {
            free(ansi);
            ansi = nullptr;
        }
    }
    free(buffer);
    return ansi;
}
