// The debug log's hex dump: the first line is the caption, the rest the bytes;
// every row must give back exactly the bytes it stands for.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/diagnostics.h"

#include "fuzzing.h"

namespace {

int HexDigit(char c) {
    const char *digits = "0123456789ABCDEF";
    const char *at = c ? strchr(digits, c) : nullptr;
    return at ? static_cast<int>(at - digits) : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string folder = ScratchFolder() + "/";
    static const std::string log = folder + "\\Corvane.log"; // as PathJoin names it here
    setenv("TEMP", folder.c_str(), 1);
    remove(log.c_str());
    LogSetFile("Corvane.log");

    std::string caption, bytes;
    SplitAtLineFeed(std::string(reinterpret_cast<const char *>(data), size), &caption, &bytes);
    caption = caption.c_str();
    // An odd first byte asks for a negative length, which dumps no rows.
    int32_t length = static_cast<int32_t>(bytes.size());
    if (size > 0 && (data[0] & 1))
        length = -length;
    LogHexDump(caption.c_str(), length, bytes.data());

    // The lines without the date header and their "HH:MM:SS " stamps.
    std::vector<std::string> lines;
    std::ifstream in(log, std::ios::binary);
    for (std::string line; std::getline(in, line);)
        if (line.empty() || line[0] != '*')
            lines.push_back(line.substr(9));
    size_t rows = length > 0 ? (bytes.size() + 15) / 16 : 0;
    // A caption holding line feeds or carriage returns spans several lines.
    if (caption.find_first_of("\r\n") != std::string::npos)
        return 0;
    FUZZ_CHECK(lines.size() == rows + 1 && lines[0] == caption);
    for (size_t row = 0; row < rows; row++) {
        const std::string &line = lines[row + 1];
        std::string chunk = bytes.substr(row * 16, 16);
        FUZZ_CHECK(line.size() == 48 + chunk.size());
        for (size_t i = 0; i < 16; i++) {
            std::string cell = line.substr(i * 3, 3);
            if (i >= chunk.size()) {
                FUZZ_CHECK(cell == "   ");
                continue;
            }
            unsigned char b = static_cast<unsigned char>(chunk[i]);
            FUZZ_CHECK(cell[2] == ' ' && HexDigit(cell[0]) * 16 + HexDigit(cell[1]) == b);
            char shown = line[48 + i];
            FUZZ_CHECK((b & 0x7F) >= 32 && (b & 0x7F) <= 126 ? shown == (b & 0x7F) : shown == '.');
        }
    }
    return 0;
}
