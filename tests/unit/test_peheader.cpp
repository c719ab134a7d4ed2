// The machine a module was built for, from its PE header.
#include "support/peheader.h"

#include <gtest/gtest.h>

#include <string>

#include "scratch.h"

// A DOS header pointing at a PE header at offset with the given machine.
static std::string Module(uint32_t offset, uint16_t machine, const char *signature = "PE") {
    std::string bytes(offset + 6, '\0');
    bytes[0] = 'M', bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        bytes[0x3C + i] = static_cast<char>(offset >> (8 * i));
    bytes.replace(offset, 2, signature);
    bytes[offset + 4] = static_cast<char>(machine & 0xFF);
    bytes[offset + 5] = static_cast<char>(machine >> 8);
    return bytes;
}

TEST(PeHeader, MachineOrWhyThereIsNone) {
    const struct {
        const char *what;
        std::string bytes;
        int32_t machine;
    } cases[] = {
        {"x86", Module(0x80, 0x14C), 0x14C},
        {"x64", Module(0x100, 0x8664), 0x8664},
        {"arm64", Module(0x40, 0xAA64), 0xAA64},
        {"empty", "", kMachineNoModule},
        {"text", "hello, this is no module at all, just some words to fill 64 bytes",
         kMachineNoModule},
        {"no PE signature", Module(0x80, 0x14C, "NE"), kMachineNoModule},
        {"cut short", Module(0x80, 0x14C).substr(0, 0x84), kMachineNoModule},
        {"offset past the end", Module(0x80, 0x14C).substr(0, 0x40) + std::string(4, '\xFF'),
         kMachineNoModule},
    };
    ScratchFolder scratch;
    for (const auto &c : cases) {
        std::string path = scratch.path + "/module.ds";
        WriteBytes(path, c.bytes);
        EXPECT_EQ(ModuleMachine(path.c_str()), c.machine) << c.what;
    }
    EXPECT_EQ(ModuleMachine((scratch.path + "/missing.ds").c_str()), kMachineUnread);
}
