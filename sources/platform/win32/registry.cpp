// The registry on Windows, through the registry library loaded on first use.
#include "platform/registry.h"
#include "platform/win32/internal.h"

#include <cstdlib>
#include <cstring>

namespace {

HKEY RootKey(OsRegistryRoot root) {
    return root == kRootUsers     ? HKEY_USERS
           : root == kRootMachine ? HKEY_LOCAL_MACHINE
                                  : HKEY_CURRENT_USER;
}

// The machine's keys of the 64-bit view, from the 32-bit build too: one record
// for both builds, where a detection rule looks by default.
REGSAM View(OsRegistryRoot root) {
    return root == kRootMachine ? KEY_WOW64_64KEY : 0;
}

} // namespace

void *OsKeyCreateIn(OsRegistryRoot root, const char *path) {
    HKEY key = NULL;
    auto create = ADVAPI_CALL(RegCreateKeyExA);
    LONG result = create ? create(RootKey(root), path, 0, NULL, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE | View(root), NULL, &key, NULL)
                         : ERROR_PROC_NOT_FOUND;
    if (result == ERROR_SUCCESS)
        return key;
    SetLastError(static_cast<DWORD>(result)); // the registry returns its error
    return nullptr;
}

void *OsUserKeyCreate(const char *path) {
    return OsKeyCreateIn(kRootCurrentUser, path);
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    if (!key || !text) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD bytes = static_cast<DWORD>(strlen(text) + 1);
    auto set = ADVAPI_CALL(RegSetValueExA);
    LONG result = set ? set(static_cast<HKEY>(key), name, 0, REG_SZ,
                            reinterpret_cast<const BYTE *>(text), bytes)
                      : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

void OsKeyClose(void *key) {
    auto close = ADVAPI_CALL(RegCloseKey);
    if (key && close)
        close(static_cast<HKEY>(key));
}

char *OsKeyReadTextIn(OsRegistryRoot root, const char *path, const char *name) {
    HKEY key = NULL;
    auto open = ADVAPI_CALL(RegOpenKeyExA);
    auto query = ADVAPI_CALL(RegQueryValueExA);
    auto close = ADVAPI_CALL(RegCloseKey);
    if (!open || !query || !close ||
        open(RootKey(root), path, 0, KEY_READ | View(root), &key) != ERROR_SUCCESS)
        return nullptr;
    char *text = nullptr;
    DWORD type = 0;
    DWORD bytes = 0;
    if (query(key, name, NULL, &type, NULL, &bytes) == ERROR_SUCCESS) {
        // Room for a NUL the stored data may lack; a value may grow between the calls.
        DWORD room = bytes + 1;
        text = static_cast<char *>(calloc(room, 1));
        if (text && query(key, name, NULL, &type, reinterpret_cast<BYTE *>(text), &bytes) !=
                        ERROR_SUCCESS) {
            free(text);
            text = nullptr;
        }
        if (text)
            text[bytes < room ? bytes : room - 1] = '\0';
    }
    close(key);
    return text;
}

char *OsUserKeyReadText(const char *path, const char *name) {
    return OsKeyReadTextIn(kRootCurrentUser, path, name);
}

void *OsKeyOpenIn(OsRegistryRoot root, const char *path) {
    HKEY key = NULL;
    auto open = ADVAPI_CALL(RegOpenKeyExA);
    LONG result = open ? open(RootKey(root), path, 0, KEY_READ | KEY_WRITE | View(root), &key)
                       : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS ? key : nullptr;
}

bool OsKeySetNumber(void *key, const char *name, unsigned value) {
    auto set = ADVAPI_CALL(RegSetValueExA);
    DWORD number = value;
    LONG result = !key  ? ERROR_INVALID_PARAMETER
                  : set ? set(static_cast<HKEY>(key), name, 0, REG_DWORD,
                              reinterpret_cast<const BYTE *>(&number), sizeof number)
                        : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

bool OsKeyDeleteValue(void *key, const char *name) {
    auto remove = ADVAPI_CALL(RegDeleteValueA);
    LONG result = !key     ? ERROR_INVALID_PARAMETER
                  : remove ? remove(static_cast<HKEY>(key), name)
                           : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

// Windows writes a loaded hive's changes out lazily, and at its unload; an
// unload the system still refuses after every try leaves them in memory until
// the next run unloads the hive. Flushed, they are on disk either way. (Wine
// keeps a hive it loaded in memory only, and drops its changes at the unload.)
bool OsKeyFlush(void *key) {
    auto flush = ADVAPI_CALL(RegFlushKey);
    LONG result = !key    ? ERROR_INVALID_PARAMETER
                  : flush ? flush(static_cast<HKEY>(key))
                          : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

bool OsKeyDeleteIn(OsRegistryRoot root, const char *path) {
    auto remove = ADVAPI_CALL(RegDeleteKeyExA);
    LONG result = remove ? remove(RootKey(root), path, View(root), 0) : ERROR_PROC_NOT_FOUND;
    SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
