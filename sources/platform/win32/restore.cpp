// What a data source may change for its whole process and is put back before
// the next one, on Windows: where the loader looks for libraries, the
// floating-point control words and the C run-times' locale. Also the
// windowing library, loaded before the first source.
#include "platform/modules.h"
#include "platform/win32/internal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#if defined(_MSC_VER)
#include <xmmintrin.h>
#endif

namespace {

// The processor's floating-point control: the x87 control word and, where the
// processor has SSE, MXCSR.
struct FloatControl {
    unsigned short x87;
    unsigned int mxcsr;
};

bool HasSse() {
    return sizeof(void *) == 8 || IsProcessorFeaturePresent(PF_XMMI_INSTRUCTIONS_AVAILABLE);
}

void ReadFloatControl(FloatControl *control) {
#if defined(__GNUC__)
    __asm__ __volatile__("fnstcw %0" : "=m"(control->x87));
    if (HasSse())
        __asm__ __volatile__("stmxcsr %0" : "=m"(control->mxcsr));
#else
#if defined(_M_IX86)
    unsigned short x87;
    __asm fnstcw x87;
    control->x87 = x87;
#endif
    if (HasSse())
        control->mxcsr = _mm_getcsr();
#endif
}

// Pending x87 exceptions are cleared first: the restored word must not raise
// one a source left.
void WriteFloatControl(const FloatControl &control) {
#if defined(__GNUC__)
    __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(control.x87));
    if (HasSse())
        __asm__ __volatile__("ldmxcsr %0" : : "m"(control.mxcsr));
#else
#if defined(_M_IX86)
    unsigned short x87 = control.x87;
    __asm fnclex;
    __asm fldcw x87;
#endif
    if (HasSse())
        _mm_setcsr(control.mxcsr);
#endif
}

constexpr int kAllCategories = 0; // LC_ALL in every C run-time
using SetLocale = char *(__cdecl *)(int category, const char *locale);

void PutLocaleBack() {
    for (int i = 0; i < MarkedRuntimeCount; ++i) {
        auto set = reinterpret_cast<SetLocale>(
            ProcAddress(GetProcAddress(MarkedRuntimes[i], "setlocale")));
        const char *now = set ? set(kAllCategories, nullptr) : nullptr;
        if (now && strcmp(now, "C") != 0)
            set(kAllCategories, "C");
    }
}

// Whether Windows puts libraries into every program as it loads the windowing
// library (AppInit_DLLs, with LoadAppInit_DLLs 1), read with the system's own
// calls: nothing is loaded for it. Nothing else from outside the system's
// folders comes with the library itself (hooks and input methods come with
// windows and messages), and loading it costs a worker more than its sources
// (under Wine, which has no AppInit_DLLs, 20 to 30 ms).
bool AppInitInEffect() {
    using OpenKey = LONG(NTAPI *)(HANDLE * key, ACCESS_MASK access, OBJECT_ATTRIBUTES * name);
    using QueryValue = LONG(NTAPI *)(HANDLE key, UNICODE_STRING * name, int what, void *data,
                                     ULONG size, ULONG *returned);
    auto open = reinterpret_cast<OpenKey>(NtdllCall("NtOpenKey"));
    auto query = reinterpret_cast<QueryValue>(NtdllCall("NtQueryValueKey"));
    wchar_t keyName[] = L"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\"
                        L"CurrentVersion\\Windows";
    UNICODE_STRING name = {sizeof keyName - sizeof(wchar_t), sizeof keyName, keyName};
    OBJECT_ATTRIBUTES attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    HANDLE key = NULL;
    if (!open || !query || open(&key, KEY_QUERY_VALUE, &attributes) != 0)
        return false;
    // KEY_VALUE_PARTIAL_INFORMATION: index, type, length, then the data.
    ULONG value[3 + 64];
    ULONG got = 0;
    wchar_t loadName[] = L"LoadAppInit_DLLs";
    wchar_t listName[] = L"AppInit_DLLs";
    UNICODE_STRING load = {sizeof loadName - sizeof(wchar_t), sizeof loadName, loadName};
    UNICODE_STRING list = {sizeof listName - sizeof(wchar_t), sizeof listName, listName};
    constexpr int kPartial = 2; // KeyValuePartialInformation
    bool inEffect = query(key, &load, kPartial, value, sizeof value, &got) == 0 &&
                    value[1] == REG_DWORD && value[2] == 4 && value[3] == 1;
    LONG listed = query(key, &list, kPartial, value, sizeof value, &got);
    // A list longer than the room is not empty either.
    inEffect = inEffect && (listed == static_cast<LONG>(0x80000005) || // STATUS_BUFFER_OVERFLOW
                            (listed == 0 && value[2] > sizeof(wchar_t) &&
                             reinterpret_cast<const wchar_t *>(value + 3)[0] != L'\0'));
    CloseHandle(key);
    return inEffect;
}

} // namespace

void OsRestoreSearchState() {
    static wchar_t *path;
    static bool saved;
    // Also an empty DLL directory, which takes the working folder (the
    // source's own) out of the search; Wine takes an empty one for none.
    SetDllDirectoryW(NULL);
    DWORD room = GetEnvironmentVariableW(L"PATH", NULL, 0);
    auto *now = room > 0 ? static_cast<wchar_t *>(calloc(room, sizeof(wchar_t))) : nullptr;
    if (now && GetEnvironmentVariableW(L"PATH", now, room) >= room) {
        free(now);
        return; // it changed while read: left for the next look
    }
    if (!saved) {
        path = now;
        saved = now != nullptr || room == 0;
        return;
    }
    if ((now == nullptr) != (path == nullptr) || (now && wcscmp(now, path) != 0))
        SetEnvironmentVariableW(L"PATH", path);
    free(now);
}

void OsRestoreRuntimeState() {
    static FloatControl start;
    static bool saved;
    if (!saved)
        ReadFloatControl(&start);
    else
        WriteFloatControl(start);
    saved = true;
    PutLocaleBack();
}

void OsLoadWindowing() {
    wchar_t path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length > 0 && length < MAX_PATH && AppInitInEffect()) {
        wcscpy(path + length, L"\\user32.dll");
        LoadLibraryW(path);
    }
}
