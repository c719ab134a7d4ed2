// Reading one bracketed section of a settings file.
#include "support/sectionfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scratch.h"

namespace {

class SectionFile : public testing::Test {
  protected:
    // The section's entries for the given file text; the count must match them.
    std::vector<std::string> Load(const std::string &text, const char *section = "Settings") {
        WriteBytes(path, text);
        StringList lines = nullptr;
        int count = LoadLines(path.c_str(), section, &lines);
        std::vector<std::string> entries(lines, lines + ListCount(lines));
        EXPECT_EQ(count, static_cast<int>(entries.size()));
        ListFreeItems(lines);
        free(lines);
        return entries;
    }
    ScratchFolder scratch;
    std::string path = scratch.path + "/Corvane.ini";
};

using Lines = std::vector<std::string>;

TEST_F(SectionFile, SectionEndsAtTheFirstBlankLine) {
    EXPECT_EQ(Load("[Settings]\nds_dir=C:\\Windows\\twain_32\nds_reg_dir=Software\\x\n\nother=1\n"),
              (Lines{"ds_dir=C:\\Windows\\twain_32", "ds_reg_dir=Software\\x"}));
    EXPECT_EQ(Load("[Settings]\na=1\n \t \nb=2\n"), Lines{"a=1"});
    EXPECT_EQ(Load("[Settings]\n\na=1\n"), Lines{});
}

TEST_F(SectionFile, HeaderMatching) {
    EXPECT_EQ(Load("x=0\n[SETTINGS] ; main\na=1\n"), Lines{"a=1"});
    EXPECT_EQ(Load("[settings]\na=1\n"), Lines{"a=1"});
    EXPECT_EQ(Load(" [Settings]\na=1\n"), Lines{});
    EXPECT_EQ(Load("[Setting]\na=1\n"), Lines{});
    EXPECT_EQ(Load("[Set"), Lines{});
    EXPECT_EQ(Load(""), Lines{});
    // Only the first header counts.
    EXPECT_EQ(Load("[Settings]\na=1\n\n[Settings]\nb=2\n"), Lines{"a=1"});
}

TEST_F(SectionFile, LinesAreKeptAsRead) {
    EXPECT_EQ(Load("[Settings]\n  lead=1  \n\tx\n; note\n[Settings]\n[Other]\nk=v\n\nz\n"),
              (Lines{"  lead=1  ", "\tx", "; note", "[Settings]", "[Other]", "k=v"}));
    EXPECT_EQ(Load("[Settings]\na=1\nlast"), (Lines{"a=1", "last"}));
    EXPECT_EQ(Load("[Other]\nq=1\n[Settings]\nx\n", "Other"), (Lines{"q=1", "[Settings]", "x"}));
}

TEST_F(SectionFile, LinesOfAnyLengthAreReadWhole) {
    for (size_t length : {253u, 254u, 255u, 508u, 100000u}) {
        std::string line = std::string(length - 2, 'v') + "=v";
        EXPECT_EQ(Load("[Settings]\n" + line + "\nb=2\n"), (Lines{line, "b=2"})) << length;
    }
    // No piece of a long line can pass for a header either.
    EXPECT_EQ(Load(std::string(254, ';') + "[Settings]\na=1\n"), Lines{});
}

TEST_F(SectionFile, EveryByteAndBothLineEnds) {
    EXPECT_EQ(Load("[Settings]\r\nnote=ctrl\x1Az\r\nds_reg_dir=x\nlast\r"),
              (Lines{"note=ctrl\x1Az", "ds_reg_dir=x", "last\r"}));
    EXPECT_EQ(Load("[Settings]\r\na=1\r\n\r\nb=2\r\n"), Lines{"a=1"});
    EXPECT_EQ(Load("\xEF\xBB\xBF[Settings]\r\na=1\r\n"), Lines{"a=1"});
    // Only a mark at the very start is skipped.
    EXPECT_EQ(Load("\xEF\xBB\xBF\xEF\xBB\xBF[Settings]\na=1\n"), Lines{});
    EXPECT_EQ(Load("[Settings]\n\xEF\xBB\xBF=x\n"), Lines{"\xEF\xBB\xBF=x"});
}

// UTF-8 as Notepad decides it: valid throughout and more than ASCII, with a
// mark or without; the section's first line counted from the file's first.
TEST_F(SectionFile, Utf8IsToldWithTheSectionsFirstLine) {
    const std::pair<std::string, int> cases[] = {
        {"[Settings]\nds_dir=C:\\\xE8\xA1\xA8\n", 2},
        {"\xEF\xBB\xBF; caf\xC3\xA9\r\n\r\n[Settings]\r\na=1\r\n", 4},
        {"[Settings]\na=1\n", -2},                     // ASCII: either
        {"[Settings]\na=\xC3\xA9\n\nb=caf\xE9\n", -2}, // ANSI, after the section
        {"[Settings]\na=\xC0\xAF\n", -2},              // an overlong form
    };
    for (const auto &[text, line] : cases) {
        WriteBytes(path, text);
        StringList lines = nullptr;
        SectionPlace place{};
        LoadLines(path.c_str(), "Settings", &lines, &place);
        EXPECT_EQ(place.utf8 ? place.firstLine : -place.firstLine, line) << text;
        ListFreeItems(lines);
        free(lines);
    }
}

TEST_F(SectionFile, Utf16IsRefusedByName) {
    using namespace std::string_literals;
    for (const std::string &head : {"\xFF\xFE[\0S\0"s, "\xFE\xFF\0[\0S"s, "[\0S\0"s, "\0[\0S"s}) {
        EXPECT_EXIT(Load(head), testing::ExitedWithCode(1),
                    path + " is saved as UTF-16 \\(Unicode\\): save it as ANSI or UTF-8");
    }
}

TEST_F(SectionFile, MissingFileIsFatal) {
    std::string missing = scratch.path + "/none.ini";
    StringList lines = nullptr;
    EXPECT_EXIT(LoadLines(missing.c_str(), "Settings", &lines), testing::ExitedWithCode(1),
                "LoadLines. " + missing + " file missing");
}

} // namespace
