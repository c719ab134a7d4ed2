// A stored default as a deployment weighs it: whether it still names a data
// source of this program's kind, told from the file alone, never loaded.
#include "catalogue/catalogue.h"

#include <cstring>

#include "platform/system.h"
#include "support/peheader.h"
#include "support/strings.h"

bool DataSourceOfThisKind(const char *path) {
    size_t length = path ? strlen(path) : 0;
    return length > 3 && StrCompareNoCase(path + length - 3, ".ds") == 0 &&
           ModuleMachine(path) == static_cast<int32_t>(OsProgramMachine);
}
