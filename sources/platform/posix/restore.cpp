// What a data source may change for its whole process and is put back before
// the next one, on POSIX systems: PATH, the floating-point environment and the
// C library's locale. There is no windowing library to load.
#include "platform/modules.h"

#include <cfenv>
#include <clocale>
#include <cstdlib>
#include <cstring>

void OsRestoreSearchState() {
    static char *path;
    static bool saved;
    const char *now = getenv("PATH");
    if (!saved) {
        path = now ? strdup(now) : nullptr;
        saved = path != nullptr || now == nullptr;
        return;
    }
    if (path && (!now || strcmp(now, path) != 0))
        setenv("PATH", path, 1);
    else if (!path && now)
        unsetenv("PATH");
}

void OsRestoreRuntimeState() {
    static fenv_t start;
    static bool saved;
    if (!saved)
        fegetenv(&start);
    else
        fesetenv(&start);
    saved = true;
    const char *now = setlocale(LC_ALL, nullptr);
    if (now && strcmp(now, "C") != 0)
        setlocale(LC_ALL, "C");
}

void OsLoadWindowing() {}
