// The process-wide store of named text variables and listing templates.
#include "support/variables.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/diagnostics.h"
#include "support/strings.h"

namespace {

struct Variable {
    char *name; // letter case of the first VarSet
    char *value;
};

Variable VarTable[kVarLimit];
int VarCount = 0;

int VarFind(const char *name) {
    for (int i = 0; i < VarCount; i++) {
        if (StrCompareNoCase(VarTable[i].name, name) == 0)
            return i;
    }
    return -1;
}

} // namespace

int VarSet(const char *name, const char *value) {
    if (DebugLevel & 16)
        LogPrint("(VarSet) %s,%s", name, value);
    int index = VarFind(name);
    if (index >= 0) {
        StrAssign(&VarTable[index].value, value);
        return 1;
    }
    if (VarCount >= kVarLimit)
        return 1;
    VarTable[VarCount].value = StrDup(value);
    VarTable[VarCount].name = StrDup(name);
    VarCount++;
    return 1;
}

const char *VarGet(const char *name) {
    int index = VarFind(name);
    return index >= 0 ? VarTable[index].value : "";
}

bool VarKnown(const char *name) {
    return VarFind(name) >= 0;
}

int VarRoom() {
    return kVarLimit - VarCount;
}

void VarClear() {
    for (int i = 0; i < VarCount; i++) {
        free(VarTable[i].name);
        free(VarTable[i].value);
        VarTable[i] = Variable{};
    }
    VarCount = 0;
}

namespace {

// A block size for MemAlloc: sizes it cannot take become -1, which it refuses
// with its out-of-memory message.
int32_t BlockSize(size_t characters) {
    return characters < INT32_MAX ? static_cast<int32_t>(characters + 1) : -1;
}

} // namespace

char *ExpandTemplate(const char *text) {
    // needed is the length the result can reach; the block grows at least
    // twofold when it is short, so long templates expand in linear time.
    size_t needed = strlen(text);
    size_t room = needed;
    char *result = static_cast<char *>(MemAlloc(BlockSize(room)));
    size_t used = 0;
    const char *scan = text;
    while (*scan) {
        if (*scan != '%') {
            result[used++] = *scan++;
            continue;
        }
        if (scan[1] == '%') {
            result[used++] = '%';
            scan += 2;
            continue;
        }
        const char *close = strchr(scan + 1, '%');
        if (!close) {
            result[used++] = *scan++;
            continue;
        }

        size_t nameLength = static_cast<size_t>(close - scan - 1);
        char *name = static_cast<char *>(MemAlloc(BlockSize(nameLength)));
        memcpy(name, scan + 1, nameLength);
        name[nameLength] = '\0';
        const char *value = VarGet(name);
        free(name);

        size_t valueLength = strlen(value);
        if (valueLength > nameLength + 2)
            needed += valueLength - nameLength - 2;
        if (needed > room) {
            size_t doubled = room * 2;
            room = needed < doubled && doubled < INT32_MAX ? doubled : needed;
            char *grown = static_cast<char *>(MemAlloc(BlockSize(room)));
            memcpy(grown, result, used);
            free(result);
            result = grown;
        }
        memcpy(result + used, value, valueLength);
        used += valueLength;
        scan = close + 1;
    }
    result[used] = '\0';
    return result;
}
