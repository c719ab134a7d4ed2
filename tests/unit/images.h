// Windows module images built byte by byte for the tests of what is read from
// their headers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A DOS header pointing at a PE header at offset with the given machine.
inline std::string Module(uint32_t offset, uint16_t machine, const char *signature = "PE") {
    std::string bytes(offset + 6, '\0');
    bytes[0] = 'M', bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        bytes[0x3C + i] = static_cast<char>(offset >> (8 * i));
    bytes.replace(offset, 2, signature);
    bytes[offset + 4] = static_cast<char>(machine & 0xFF);
    bytes[offset + 5] = static_cast<char>(machine >> 8);
    return bytes;
}

// A PE32 (or PE32+) image whose one section, at address and file offset
// 0x200, holds the import descriptors and, from 0x300, the names.
inline std::string Importing(bool plus, const std::vector<std::string> &names) {
    std::string bytes = Module(0x80, plus ? 0x8664 : 0x14C) + std::string(0x37A, '\0');
    auto put = [&bytes](size_t at, size_t value) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
    };
    size_t optional = 0x98, length = plus ? 240 : 224, directories = optional + (plus ? 112 : 96);
    put(0x86, 1); // one section, after the optional header
    put(0x94, length);
    put(optional, plus ? 0x20B : 0x10B);
    put(directories - 4, 16); // sixteen directories, the second the imports
    put(directories + 8, 0x200);
    for (size_t field : {12, 16, 20}) // the section's address, size and file offset
        put(optional + length + field, 0x200);
    for (size_t i = 0; i < names.size(); ++i) {
        put(0x200 + 20 * i + 12, 0x300 + 0x20 * i);
        bytes.replace(0x300 + 0x20 * i, names[i].size(), names[i]);
    }
    return bytes;
}

// A PE32 image whose export directory, at 0x200 in its one section, gives the
// functions their addresses from the ordinal base and names the first ones.
inline std::string Exporting(uint32_t base, std::vector<uint32_t> addresses,
                             std::vector<std::string> names) {
    std::string bytes = Importing(false, {});
    auto put = [&bytes](size_t at, size_t value) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<char>(value >> (8 * i));
    };
    put(0xF8, 0x200); // the exports' directory in place of the imports'
    put(0x100, 0);
    const size_t fields[] = {base, addresses.size(), names.size(), 0x240, 0x280, 0x2A0};
    for (size_t i = 0; i < 6; ++i)
        put(0x210 + 4 * i, fields[i]); // from the directory's ordinal base on
    for (size_t i = 0; i < addresses.size(); ++i)
        put(0x240 + 4 * i, addresses[i]);
    for (size_t i = 0; i < names.size(); ++i) {
        put(0x280 + 4 * i, 0x300 + 0x20 * i);
        bytes[0x2A0 + 2 * i] = static_cast<char>(i);
        bytes.replace(0x300 + 0x20 * i, names[i].size(), names[i]);
    }
    return bytes;
}
