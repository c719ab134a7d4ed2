// Files and folders on the native file system.
#include "support/files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scratch.h"

namespace fs = std::filesystem;

namespace {

class Files : public testing::Test {
  protected:
    ScratchFolder scratch;
    std::string dir = scratch.path;
};

const auto Write = WriteBytes;
const auto Read = FileBytes;

// The list's entries, sorted, and the list released.
std::vector<std::string> Take(StringList list) {
    std::vector<std::string> names(list, list + ListCount(list));
    ListFreeItems(list);
    free(list);
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

TEST_F(Files, ListingsSeparateFilesFromFolders) {
    Write(dir + "/X.DS", "x");
    Write(dir + "/b.txt", "b");
    fs::create_directory(dir + "/c.ds");
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "*.ds")), Names{"X.DS"});
    EXPECT_EQ(Take(ListFolders(dir.c_str(), "*.*")), Names{"c.ds"});
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "")), (Names{"X.DS", "b.txt"}));
    EXPECT_EQ(Take(ListFolders(dir.c_str(), "")), Names{"c.ds"});
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "*.none")), Names{});
    EXPECT_EQ(Take(ListFiles((dir + "/missing").c_str(), "*.*")), Names{});
}

TEST_F(Files, ListingHoldsLongNames) {
    std::string name(200, 'n');
    Write(dir + "/" + name + ".ds", "");
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "*.ds")), Names{name + ".ds"});
}

TEST_F(Files, MakeDirsCreatesEveryMissingLevel) {
    EXPECT_TRUE(MakeDirs((dir + "/A/B/").c_str()));
    EXPECT_TRUE(fs::is_directory(dir + "/A/B"));
    EXPECT_TRUE(MakeDirs((dir + "/A/B").c_str())); // existing: still true
    EXPECT_TRUE(MakeDirs((dir + "/A/B/C").c_str()));
    EXPECT_TRUE(fs::is_directory(dir + "/A/B/C"));
}

TEST_F(Files, MakeDirsSplitsAtTheLastForwardSlashFirst) {
    // Split at the slash, the parent is dir and "p\q" is made in one step,
    // which fails here because p does not exist; a backslash split would make p.
    EXPECT_TRUE(MakeDirs((dir + "/p\\q").c_str()));
    EXPECT_FALSE(fs::exists(dir + "/p"));
}

TEST_F(Files, MakeDirsLeavesRootsAndDotsAlone) {
    for (const char *path : {"", ".", "..", "/", "\\", "C:", "C:\\", "C:/", "C:.", "C:.."})
        EXPECT_FALSE(MakeDirs(path)) << path;
    EXPECT_FALSE(MakeDirs(nullptr));
}

TEST_F(Files, FileCopyReplacesTheDestination) {
    std::string source = dir + "/source.ini";
    std::string target = dir + "/target.ini";
    std::string text(1500, 'a');
    text += "\nlast line\n";
    Write(source, text);
    Write(target, std::string(4000, 'z'));
    EXPECT_TRUE(FileCopy(source.c_str(), target.c_str()));
    EXPECT_EQ(Read(target), text);

    Write(source, "");
    EXPECT_TRUE(FileCopy(source.c_str(), target.c_str()));
    EXPECT_EQ(Read(target), "");
}

TEST_F(Files, FileCopyFailuresAreFatal) {
    std::string missing = dir + "/missing.ini";
    EXPECT_EXIT(FileCopy(missing.c_str(), (dir + "/t").c_str()), testing::ExitedWithCode(1),
                "Can't open " + missing);
    Write(dir + "/s", "x");
    std::string target = dir + "/no/t";
    EXPECT_EXIT(FileCopy((dir + "/s").c_str(), target.c_str()), testing::ExitedWithCode(1),
                "Can't create " + target);
}

TEST_F(Files, ExistsAndReadAll) {
    std::string path = dir + "/f.txt";
    EXPECT_FALSE(FileExists(path.c_str()));
    EXPECT_FALSE(FileExists(dir.c_str()));
    Write(path, "");
    EXPECT_TRUE(FileExists(path.c_str()));
    char *empty = ReadAll(path.c_str());
    EXPECT_STREQ(empty, "");
    free(empty);

    Write(path, "one\ntwo\n");
    char *text = ReadAll(path.c_str());
    EXPECT_STREQ(text, "one\ntwo\n");
    free(text);

    std::string missing = dir + "/missing";
    EXPECT_EXIT(ReadAll(missing.c_str()), testing::ExitedWithCode(1),
                "Can't read file: " + missing);
}

} // namespace
