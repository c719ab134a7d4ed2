// Paths: PathJoin of a folder and a name, and MakeDirs of a folder chain that
// mixes both separators, made inside a scratch folder.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/files.h"
#include "support/strings.h"

#include "fuzzing.h"

namespace {

bool IsFolder(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Folder and name are the text before and after the first line feed.
    std::string folder, name;
    SplitAtLineFeed(InputText(data, size), &folder, &name);
    char *joined = PathJoin(folder.c_str(), name.c_str());
    bool separator = !folder.empty() && folder.back() != '\\';
    FUZZ_CHECK(joined == folder + (separator ? "\\" : "") + name);
    free(joined);

    // Nothing is made for an empty path, a drive, a root or a dot folder.
    static const char *const nothing[] = {"", ".", "..", "/", "\\"};
    if (size >= 2) {
        std::string drive = data[0] & 1 ? std::string(1, 'A' + data[0] % 26) + ":" : "";
        FUZZ_CHECK(!MakeDirs((drive + nothing[data[1] % 5]).c_str()));
    }

    // A chain of a few short names: every level exists afterwards.
    std::string chain;
    for (size_t i = 0; i < size && chain.size() < 200; i++)
        chain += "ab/\\"[data[i] % 4];
    std::string root = ScratchFolder() + "/m";
    FUZZ_CHECK(MakeDirs((root + "/" + chain).c_str()));
    std::string native = root + "/" + chain;
    std::replace(native.begin(), native.end(), '\\', '/');
    FUZZ_CHECK(IsFolder(native));
    std::filesystem::remove_all(root);
    return 0;
}
