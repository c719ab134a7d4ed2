// The machine a module was built for, from its PE header.
#include "support/peheader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

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

// A PE32 (or PE32+) image whose one section, at file offset 0x200 and address
// 0x1000, holds the import descriptors and after them the names.
static std::string Importing(bool plus, const std::vector<std::string> &names) {
    std::string bytes = Module(0x80, plus ? 0x8664 : 0x14C) + std::string(0x400 - 0x86, '\0');
    auto put = [&bytes](size_t at, uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
    };
    uint32_t optionalSize = plus ? 240 : 224;
    size_t optional = 0x98, directories = optional + (plus ? 112 : 96);
    size_t section = optional + optionalSize;
    put(0x86, 1, 2); // one section
    put(0x94, optionalSize, 2);
    put(optional, plus ? 0x20B : 0x10B, 2);
    put(directories - 4, 16, 4);     // sixteen data directories,
    put(directories + 8, 0x1000, 4); // the second one the imports
    put(section + 12, 0x1000, 4);    // address, size and offset in the file
    put(section + 16, 0x200, 4);
    put(section + 20, 0x200, 4);
    for (size_t i = 0; i < names.size(); ++i) {
        put(0x200 + 20 * i + 12, static_cast<uint32_t>(0x1100 + 0x20 * i), 4);
        bytes.replace(0x300 + 0x20 * i, names[i].size(), names[i]);
    }
    return bytes;
}

static std::vector<std::string> Names(StringList list) {
    std::vector<std::string> names(list, list + ListCount(list));
    ListFreeItems(list);
    free(list);
    return names;
}

static std::vector<std::string> Imports(const std::string &bytes) {
    return Names(ImageImports(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()));
}

TEST(PeHeader, ImportedDllsOrNoneOfADamagedImage) {
    const std::vector<std::string> two = {"KERNEL32.dll", "libsane-1.dll"};
    std::string damaged = Importing(false, two);
    damaged.replace(0x320, 0xE0, std::string(0xE0, 'x')); // the second name never ends
    const struct {
        const char *what;
        std::string bytes;
        std::vector<std::string> names;
    } cases[] = {
        {"PE32", Importing(false, two), two},
        {"PE32+", Importing(true, two), two},
        {"each name once", Importing(false, {"a.dll", "A.DLL", "b.dll"}), {"a.dll", "b.dll"}},
        {"name cut off", damaged, {"KERNEL32.dll"}},
        {"section cut short", Importing(true, two).substr(0, 0x210), {}},
        {"headers cut short", Importing(true, two).substr(0, 0xA0), {}},
        {"no module", "MZ", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Imports(c.bytes), c.names) << c.what;
    ScratchFolder scratch;
    WriteBytes(scratch.path + "/module.ds", Importing(true, two));
    EXPECT_EQ(Names(ModuleImports((scratch.path + "/module.ds").c_str())), two);
    // The linker's own modules, where the Windows builds are there to read.
    for (std::string folder : {CORVANE_WINDOWS_FIXTURES, CORVANE_WINDOWS64_FIXTURES}) {
        std::vector<std::string> names = Names(ModuleImports((folder + "/testds.ds").c_str()));
        if (std::ifstream(folder + "/testds.ds")) {
            ASSERT_FALSE(names.empty()) << folder;
            EXPECT_EQ(names[0], "KERNEL32.dll") << folder;
        }
    }
}
