// A stored default as a deployment weighs it: whether it still names a data
// source of this program's kind, told from the file alone, never loaded.
#include "catalogue/catalogue.h"

#include <cstring>

#include "platform/system.h"
#include "support/peheader.h"
#include "support/strings.h"

// A data source answers through DS_Entry, or through ordinal 1 where the scan
// allows it, as the scan asks it.
bool DataSourceOfThisKind(const char *path) {
    size_t length = path ? strlen(path) : 0;
    return length > 3 && StrCompareNoCase(path + length - 3, ".ds") == 0 &&
           ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine) &&
           ModuleExports(path, "DS_Entry", OrdinalEntryAllowed(path) ? 1 : 0);
}
