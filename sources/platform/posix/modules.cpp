// Loading and freeing foreign modules on POSIX systems: shared objects.
#include "platform/modules.h"
#include "platform/posix/internal.h"

#include <dlfcn.h>
#include <strings.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// dlopen sets no error number of its own: a file that is there but does not
// load counts as not executable.
unsigned LastError;

void *OsLoadModule(const char *path) {
    char *native = NativePath(path);
    if (!native) {
        LastError = ENOMEM;
        return nullptr;
    }
    void *module = dlopen(native, RTLD_NOW | RTLD_LOCAL);
    if (!module)
        LastError = access(native, F_OK) == 0 ? ENOEXEC : ENOENT;
    free(native);
    return module;
}

void *OsModuleSymbol(void *module, const char *name) {
    return module ? dlsym(module, name) : nullptr;
}

// Shared objects have no export ordinals.
void *OsModuleOrdinal(void *, unsigned) {
    return nullptr;
}

void OsFreeModule(void *module) {
    if (module)
        dlclose(module);
}

bool OsModuleLoaded(const char *name) {
    void *module = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
    if (module)
        dlclose(module);
    return module != nullptr;
}

// The stand-in for the system's API set schema: it resolves the core sets,
// which every Windows with a schema has, and nothing else.
bool OsApiSetResolved(const char *name) {
    return strncasecmp(name, "api-ms-win-core-", 16) == 0;
}
