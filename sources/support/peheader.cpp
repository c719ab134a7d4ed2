// The machine a Windows module was built for, from its PE header: the DOS
// header's "MZ" and, at the offset stored at 0x3C, "PE\0\0" and the machine.
#include "support/peheader.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr long kNewHeaderField = 0x3C;

uint32_t Little(const unsigned char *bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

int32_t ModuleMachine(const char *path) {
    FILE *file = fopen(path, "rb");
    if (!file)
        return kMachineUnread;
    int32_t machine = kMachineNoModule;
    unsigned char dos[kNewHeaderField + 4];
    if (fread(dos, 1, sizeof dos, file) == sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
        uint32_t offset = Little(dos + kNewHeaderField, 4);
        unsigned char pe[6];
        // An offset past what a long holds points past any real file.
        if (offset <= 0x7FFFFFFF && fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
            fread(pe, 1, sizeof pe, file) == sizeof pe && memcmp(pe, "PE\0\0", 4) == 0)
            machine = static_cast<int32_t>(Little(pe + 4, 2));
    }
    fclose(file);
    return machine;
}
