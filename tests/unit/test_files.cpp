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

#include <csignal>
#include <sys/resource.h>

#include "platform/system.h"
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

TEST_F(Files, MakeDirsMakesTheWholeChainWhicheverSeparators) {
    // Backslashes are the program's own; the native layer turns them into slashes.
    for (const char *chain : {"/a/b\\c", "/d\\e/f", "/g//h\\\\i\\", "\\j/k/l/"}) {
        EXPECT_TRUE(MakeDirs((dir + chain).c_str())) << chain;
        std::string native = dir + chain;
        std::replace(native.begin(), native.end(), '\\', '/');
        EXPECT_TRUE(fs::is_directory(native)) << chain;
    }
}

TEST_F(Files, MakeDirsSplitsAtCharactersOfCodePage932) {
    OsSetCodePage(932); // 表 (95 5C) and ソ (83 5C) end in the byte of a backslash
    EXPECT_TRUE(MakeDirs((dir + "\\\x95\x5C\\\x83\x5C").c_str()));
    EXPECT_TRUE(fs::is_directory(dir + "/\x95\x5C/\x83\x5C"));
    OsSetCodePage(1252);
}

TEST_F(Files, MakeDirsLeavesRootsAndDotsAlone) {
    for (const char *path : {"", ".", "..", "/", "\\", "C:", "C:\\", "C:/", "C:.", "C:.."})
        EXPECT_FALSE(MakeDirs(path)) << path;
    EXPECT_FALSE(MakeDirs(nullptr));
}

// Every byte is copied and read, Ctrl-Z (0x1A) included; CR LF reads as one
// line feed, which this system's text mode writes back as it is.
TEST_F(Files, CopiesAndReadsSeeEveryByte) {
    std::string block(4095, 'b'); // its CR LF straddles the copy's 4096-byte blocks
    const struct {
        std::string bytes, text;
    } cases[] = {
        {"", ""},
        {"note=ctrl\x1Az\r\nds_reg_dir=x\r\n", "note=ctrl\x1Az\nds_reg_dir=x\n"},
        {"bare\nlone\rcr\r\r\nend\r", "bare\nlone\rcr\r\nend\r"},
        {block + "\r\n\x1A\r", block + "\n\x1A\r"},
        {std::string("nul\0byte\n", 9), std::string("nul\0byte\n", 9)},
    };
    std::string source = dir + "/source.ini";
    std::string target = dir + "/target.ini";
    for (const auto &c : cases) {
        Write(source, c.bytes);
        Write(target, std::string(9000, 'z'));
        EXPECT_TRUE(FileCopy(source.c_str(), target.c_str()));
        EXPECT_EQ(Read(target), c.text);
        char *text = ReadAll(source.c_str());
        EXPECT_EQ(std::string(text), c.text.substr(0, c.text.find('\0')));
        free(text);
    }
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "*")), (Names{"source.ini", "target.ini"}));
}

// A full disk: the copy fails as a whole and the user's file stays as it was.
TEST_F(Files, FileCopyThatCannotBeCompletedLeavesTheOldFile) {
    std::string source = dir + "/shipped.ini";
    std::string target = dir + "/user.ini";
    Write(source, std::string(100000, 's'));
    Write(target, "[Settings]\nds_dir=mine\n");
    auto fullDisk = [&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {50000, 50000};
        setrlimit(RLIMIT_FSIZE, &limit);
        FileCopy(source.c_str(), target.c_str());
    };
    EXPECT_EXIT(fullDisk(), testing::ExitedWithCode(1), "Can't write " + target);
    EXPECT_EQ(Read(target), "[Settings]\nds_dir=mine\n");
    EXPECT_EQ(Take(ListFiles(dir.c_str(), "*")), (Names{"shipped.ini", "user.ini"}));
}

TEST_F(Files, FileCopyFailuresAreFatal) {
    std::string missing = dir + "/missing.ini";
    EXPECT_EXIT(FileCopy(missing.c_str(), (dir + "/t").c_str()), testing::ExitedWithCode(1),
                "Can't open " + missing);
    Write(dir + "/s", "x");
    for (std::string target : {dir + "/no/t", dir}) {
        EXPECT_EXIT(FileCopy((dir + "/s").c_str(), target.c_str()), testing::ExitedWithCode(1),
                    "Can't create " + target);
    }
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
