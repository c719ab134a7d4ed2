// The POSIX operating-system layer: directory search, folders, the file-backed
// registry and the environment.
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "scratch.h"

namespace fs = std::filesystem;

static void Touch(const std::string &path) {
    std::ofstream(path) << "x";
}

// Every entry a search reports, name to folder flag.
static std::map<std::string, bool> Search(const std::string &pattern) {
    std::map<std::string, bool> found;
    OsFindEntry entry;
    void *search = OsFindFirst(pattern.c_str(), &entry);
    if (!search)
        return found;
    do {
        EXPECT_EQ(found.count(entry.name), 0u) << entry.name;
        found[entry.name] = entry.folder;
    } while (OsFindNext(search, &entry));
    OsFindClose(search);
    return found;
}

TEST(Platform, SearchMatchesWildcardsWithoutRegardToCase) {
    ScratchFolder scratch;
    std::string dir = scratch.path;
    Touch(dir + "/X.DS");
    Touch(dir + "/a.dsx");
    Touch(dir + "/README");
    Touch(dir + "/ab.ds");
    fs::create_directory(dir + "/c.ds");

    // The program joins its paths with backslashes.
    std::map<std::string, bool> ds = Search(dir + "\\*.ds");
    EXPECT_EQ(ds, (std::map<std::string, bool>{{"X.DS", false}, {"ab.ds", false}, {"c.ds", true}}));

    std::map<std::string, bool> all = Search(dir + "/*.*");
    EXPECT_EQ(all.size(), 7u);
    EXPECT_TRUE(all["."]);
    EXPECT_TRUE(all[".."]);
    EXPECT_EQ(all.count("README"), 1u);
    EXPECT_FALSE(all["README"]);

    EXPECT_EQ(Search(dir + "/?.ds"),
              (std::map<std::string, bool>{{"X.DS", false}, {"c.ds", true}}));
    EXPECT_EQ(Search(dir + "/read*.*"), (std::map<std::string, bool>{{"README", false}}));
    EXPECT_TRUE(Search(dir + "/*.txt").empty());
    EXPECT_TRUE(Search(dir + "/missing/*.*").empty());
}

TEST(Platform, MakeDirAndDeleteFileReportFailure) {
    ScratchFolder scratch;
    std::string dir = scratch.path;
    std::string sub = dir + "\\sub";
    EXPECT_EQ(OsMakeDir(sub.c_str()), 0);
    EXPECT_TRUE(fs::is_directory(dir + "/sub"));
    EXPECT_NE(OsMakeDir(sub.c_str()), 0);

    // A file is deleted under the name the standard library made it with.
    std::string file = dir + "/sub/file";
    Touch(file);
    EXPECT_TRUE(OsFileFound(file.c_str()));
    EXPECT_EQ(OsDeleteFile(file.c_str()), 0);
    EXPECT_FALSE(OsFileFound(file.c_str()));
    EXPECT_NE(OsDeleteFile(file.c_str()), 0);
}

TEST(Platform, FileFoundRejectsPathsTooLongForOpenFile) {
    ScratchFolder scratch;
    std::string dir = scratch.path;
    std::string name(127 - dir.size() - 1, 'f');
    Touch(dir + "/" + name);
    EXPECT_TRUE(OsFileFound((dir + "/" + name).c_str())); // 127 characters
    Touch(dir + "/" + name + "g");
    EXPECT_FALSE(OsFileFound((dir + "/" + name + "g").c_str())); // 128 characters
}

TEST(Platform, RegistryKeysAreNestedFoldersAndValuesKeepTheirNul) {
    ScratchFolder scratch;
    std::string root = scratch.path + "/registry";
    setenv("CORVANE_REGISTRY_ROOT", root.c_str(), 1);

    void *key = OsUserKeyCreate("Software\\Halvorquin\\Corvane");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(fs::is_directory(root + "/Software/Halvorquin/Corvane"));
    std::string path(40, 'p');
    EXPECT_TRUE(OsKeySetText(key, "Default Source", path.c_str()));
    EXPECT_EQ(FileBytes(root + "/Software/Halvorquin/Corvane/Default Source"), path + '\0');
    EXPECT_FALSE(OsKeySetText(key, "a/b", "x"));
    OsKeyClose(key);

    // Key and value names ignore case; a shorter text replaces the whole value.
    key = OsUserKeyCreate("SOFTWARE\\halvorquin\\CORVANE");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(OsKeySetText(key, "default source", "C:\\a.ds"));
    OsKeyClose(key);
    EXPECT_EQ(FileBytes(root + "/Software/Halvorquin/Corvane/Default Source"),
              std::string("C:\\a.ds", 8));
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);

    EXPECT_EQ(OsUserKeyCreate("Software\\..\\Escape"), nullptr);
    unsetenv("CORVANE_REGISTRY_ROOT");
}

TEST(Platform, EnvironmentNamesIgnoreCase) {
    setenv("CorvaneTestValue", "found", 1);
    ASSERT_NE(OsGetEnv("CORVANETESTVALUE"), nullptr);
    EXPECT_STREQ(OsGetEnv("corvanetestvalue"), "found");
    EXPECT_EQ(OsGetEnv("CorvaneTestVal"), nullptr);
    unsetenv("CorvaneTestValue");
    EXPECT_EQ(OsGetEnv("CorvaneTestValue"), nullptr);
}

TEST(Platform, PathResultsFollowTheWindowsSizeRules) {
    char small[4];
    bool unwritable = true;
    EXPECT_EQ(OsExecutablePath(small, sizeof small, &unwritable), 4);
    EXPECT_EQ(small[3], '\0');
    char full[512];
    int length = OsExecutablePath(full, sizeof full, &unwritable);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::string(full).size(), static_cast<size_t>(length));
    EXPECT_EQ(std::string(full).substr(std::string(full).rfind('/')), "/unit_tests");

    setenv("CORVANE_WINDIR", "/opt/windows", 1);
    EXPECT_EQ(OsWindowsDirectory(small, sizeof small), 13);
    EXPECT_EQ(OsWindowsDirectory(full, sizeof full), 12);
    EXPECT_STREQ(full, "/opt/windows");
    unsetenv("CORVANE_WINDIR");
}

TEST(Platform, RegistryTextReadsBackWhatWasSet) {
    ScratchFolder scratch;
    setenv("CORVANE_REGISTRY_ROOT", (scratch.path + "/registry").c_str(), 1);
    void *key = OsUserKeyCreate("Software\\Halvorquin");
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(OsKeySetText(key, "Default Source", "C:\\twain_32\\a.ds"));
    OsKeyClose(key);
    WriteBytes(scratch.path + "/registry/Software/Halvorquin/Raw", "no terminator");

    const struct {
        const char *key, *value, *text;
    } cases[] = {
        {"software\\HALVORQUIN", "default source", "C:\\twain_32\\a.ds"},
        {"Software\\Halvorquin", "Raw", "no terminator"},
        {"Software\\Halvorquin", "Missing", nullptr},
        {"Software\\Missing", "Default Source", nullptr},
    };
    for (const auto &c : cases) {
        char *text = OsUserKeyReadText(c.key, c.value);
        EXPECT_EQ(text ? std::string(text) : "(none)", c.text ? c.text : "(none)") << c.value;
        free(text);
    }
    unsetenv("CORVANE_REGISTRY_ROOT");
}

TEST(Platform, AnsiTextBecomesUtf8) {
    char *utf8 = OsAnsiToUtf8("caf\xE9 \xFF|");
    EXPECT_STREQ(utf8, "caf\xC3\xA9 \xC3\xBF|");
    free(utf8);
}
