// The settings file: LoadLines and the key=value reading of SettingsLoad, on
// whatever bytes the file holds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/program.h"
#include "app/settings.h"
#include "platform/system.h"
#include "support/sectionfile.h"
#include "support/strings.h"
#include "support/variables.h"

#include "fuzzing.h"

namespace {

// The file's lines as a reader sees them: after a UTF-8 mark, split at line
// feeds, a carriage return before a line feed dropped, cut at a NUL byte.
std::vector<std::string> FileLines(std::string text) {
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (end != std::string::npos && !line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line.c_str());
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

bool Blank(const std::string &line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

std::string Trimmed(const std::string &text) {
    size_t first = text.find_first_not_of(" \t");
    std::string rest = first == std::string::npos ? "" : text.substr(first);
    return rest.substr(0, rest.find_last_not_of(' ') + 1);
}

bool Utf16(const uint8_t *data, size_t size) {
    return size >= 2 &&
           ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF) ||
            ((data[0] == 0) != (data[1] == 0)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string folder = ScratchFolder() + "/";
    static const std::string file = folder + "\\Corvane.ini"; // as PathJoin names it here
    setenv("TEMP", folder.c_str(), 1);
    LogSetFile("Corvane.log");
    free(UserDataPath);
    UserDataPath = StrDup(folder.c_str());
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::ofstream(file, std::ios::binary) << bytes;

    StringList lines = nullptr;
    SectionPlace place{};
    std::string message;
    bool fatal =
        EndsInFatal([&] { LoadLines(file.c_str(), "Settings", &lines, &place); }, &message);
    FUZZ_CHECK(fatal == Utf16(data, size));
    if (fatal) {
        FUZZ_CHECK(message == file + " is saved as UTF-16 (Unicode): save it as ANSI or UTF-8");
        return 0;
    }

    // The entries are the file's lines in order: those after the first header
    // line up to the first blank one.
    std::vector<std::string> expected;
    std::vector<std::string> all = FileLines(bytes);
    size_t at = 0;
    while (at < all.size() && StrNCompareNoCase(all[at].c_str(), "[Settings]", 10) != 0)
        at++;
    for (at++; at < all.size() && !Blank(all[at]); at++)
        expected.push_back(all[at]);
    std::vector<std::string> entries(lines, lines + ListCount(lines));
    FUZZ_CHECK(entries == expected);
    ListFreeItems(lines);
    free(lines);

    // Each key holds the value of its last line, as far as the store took it;
    // the listing's names always still fit.
    VarClear();
    free(SettingsPath);
    SettingsPath = nullptr;
    fatal = EndsInFatal(SettingsLoad, &message);
    std::map<std::string, std::string> last;
    int unwritable = 0; // the line of the first setting the code page cannot write
    for (size_t i = 0; i < entries.size(); i++) {
        // A UTF-8 file's lines come in the code page.
        bool lacking = false;
        char *ansi = place.utf8 ? OsUtf8ToAnsi(entries[i].c_str(), &lacking) : nullptr;
        std::string entry = ansi ? ansi : entries[i];
        free(ansi);
        size_t equals = entry.find('=');
        if (equals == std::string::npos)
            continue;
        if (lacking) {
            unwritable = place.firstLine + static_cast<int>(i);
            break;
        }
        std::string key = Trimmed(entry.substr(0, equals));
        for (auto &known : last)
            if (StrCompareNoCase(known.first.c_str(), key.c_str()) == 0)
                key = known.first;
        last[key] = Trimmed(entry.substr(equals + 1));
    }
    for (const auto &setting : last)
        if (VarKnown(setting.first.c_str()))
            FUZZ_CHECK(setting.second == VarGet(setting.first.c_str()));
    int unknown = 0;
    for (const char *name : {"N", "M", "F", "P", "D"})
        unknown += !VarKnown(name);
    FUZZ_CHECK(VarRoom() >= unknown);
    bool complete = *VarGet("ds_dir") && *VarGet("ds_reg_dir") && *VarGet("ds_reg_name");
    FUZZ_CHECK(unwritable ? fatal : fatal != complete);
    if (unwritable)
        FUZZ_CHECK(message.find("' on line " + std::to_string(unwritable) +
                                " cannot be written in code page ") != std::string::npos);
    else if (fatal)
        FUZZ_CHECK(message.find("' missing") != std::string::npos);
    return 0;
}
