// The current user's registry on Windows, through the registry library loaded
// on first use.
#include "platform/registry.h"
#include "platform/win32/internal.h"

#include <cstdlib>
#include <cstring>

void *OsUserKeyCreate(const char *path) {
    HKEY key = NULL;
    auto create = ADVAPI_CALL(RegCreateKeyExA);
    if (!create || create(HKEY_CURRENT_USER, path, 0, NULL, REG_OPTION_NON_VOLATILE,
                          KEY_READ | KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool OsKeySetText(void *key, const char *name, const char *text) {
    if (!key || !text)
        return false;
    DWORD bytes = static_cast<DWORD>(strlen(text) + 1);
    auto set = ADVAPI_CALL(RegSetValueExA);
    return set && set(static_cast<HKEY>(key), name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text),
                      bytes) == ERROR_SUCCESS;
}

void OsKeyClose(void *key) {
    auto close = ADVAPI_CALL(RegCloseKey);
    if (key && close)
        close(static_cast<HKEY>(key));
}

char *OsUserKeyReadText(const char *path, const char *name) {
    HKEY key = NULL;
    auto open = ADVAPI_CALL(RegOpenKeyExA);
    auto query = ADVAPI_CALL(RegQueryValueExA);
    auto close = ADVAPI_CALL(RegCloseKey);
    if (!open || !query || !close ||
        open(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
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
