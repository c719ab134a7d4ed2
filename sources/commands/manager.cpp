// Actions through the TWAIN Source Manager.
#include "commands/commands.h"
#include "support/diagnostics.h"

int ManagerGetDefault(const char *) {
    Fatal("ManagerGetDefault is not available yet");
}

int ManagerList(const char *, const char *) {
    Fatal("ManagerList is not available yet");
}

int ManagerSelectByName(const char *) {
    Fatal("ManagerSelectByName is not available yet");
}

int ManagerSelectByNumber(const char *) {
    Fatal("ManagerSelectByNumber is not available yet");
}
