// Heap strings, comparison, trimming, folding and string lists.
#include "support/strings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/system.h"

namespace {

std::string Take(char *heap) {
    std::string text = heap;
    free(heap);
    return text;
}

TEST(StringsPathJoin, OneBackslashWhereNeeded) {
    EXPECT_EQ(Take(PathJoin("", "Corvane.log")), "Corvane.log");
    EXPECT_EQ(Take(PathJoin("C:\\", "x")), "C:\\x");
    EXPECT_EQ(Take(PathJoin("C:\\temp", "x")), "C:\\temp\\x");
    // Only the backslash counts as a separator, and nothing is removed.
    EXPECT_EQ(Take(PathJoin("C:/dir/", "x")), "C:/dir/\\x");
    EXPECT_EQ(Take(PathJoin("C:\\temp", "\\x")), "C:\\temp\\\\x");
}

TEST(StringsCompare, WholeStringsIgnoringAsciiCase) {
    EXPECT_EQ(StrCompareNoCase("-L", "-l"), 0);
    EXPECT_EQ(StrCompareNoCase("", ""), 0);
    EXPECT_NE(StrCompareNoCase("-l", "-ll"), 0);
    EXPECT_NE(StrCompareNoCase("-ll", "-l"), 0);
    EXPECT_EQ(StrCompareNoCase("a", "b"), -1);
    EXPECT_EQ(StrCompareNoCase("B", "a"), 1);
    EXPECT_EQ(StrCompareNoCase("", "a"), -'a');
    EXPECT_EQ(StrCompareNoCase("a", ""), 'a');
    // Bytes above 127 never fold: a capital and a small accented letter differ.
    EXPECT_NE(StrCompareNoCase("\xC9", "\xE9"), 0);
    EXPECT_NE(StrCompareNoCase("[", "{"), 0);
}

TEST(StringsCompare, PrefixFollowsStrnicmp) {
    EXPECT_EQ(StrNCompareNoCase("-DBG=2", "-dbg=", 5), 0);
    EXPECT_EQ(StrNCompareNoCase("[SETTINGS] ; main", "[Settings]", 10), 0);
    EXPECT_NE(StrNCompareNoCase("[Set", "[Settings]", 10), 0);
    EXPECT_EQ(StrNCompareNoCase("ab", "ab", 10), 0);
    EXPECT_EQ(StrNCompareNoCase("abc", "abd", 2), 0);
    EXPECT_LT(StrNCompareNoCase("abc", "ABD", 3), 0);
}

TEST(StringsTrim, TrimRightCutsOnlyBlanks) {
    char text[] = "abc   ";
    EXPECT_EQ(TrimRight(text), text);
    EXPECT_STREQ(text, "abc");
    char blanks[] = "   ";
    EXPECT_STREQ(TrimRight(blanks), "");
    char tab[] = "abc\t";
    EXPECT_STREQ(TrimRight(tab), "abc\t");
}

TEST(StringsTrim, SkipBlanksStopsAtOtherCharacters) {
    const char text[] = " \t x";
    EXPECT_EQ(SkipBlanks(text), text + 3);
    const char only[] = " \t ";
    EXPECT_EQ(SkipBlanks(only), only + 3);
    const char linefeed[] = "\nx";
    EXPECT_EQ(SkipBlanks(linefeed), linefeed);
}

TEST(StringsUpper, OnlyAsciiLettersChange) {
    char text[] = "flatbed scanner 2a \xE9{z}";
    StrUpper(text);
    EXPECT_STREQ(text, "FLATBED SCANNER 2A \xE9{Z}");
}

TEST(StringsAssign, OwnTextIsSafe) {
    char *slot = nullptr;
    StrAssign(&slot, "first");
    EXPECT_STREQ(slot, "first");
    StrAssign(&slot, slot);
    EXPECT_STREQ(slot, "first");
    StrAssign(&slot, slot + 2);
    EXPECT_STREQ(slot, "rst");
    free(slot);
}

TEST(StringsList, NewAppendAndFree) {
    StringList list = ListNew(-3);
    ASSERT_EQ(list[0], nullptr);
    EXPECT_EQ(ListCount(list), 0);
    StringList first = list;
    char *a = ListAppend(&list, "a");
    EXPECT_NE(list, first);
    EXPECT_EQ(list[0], a);
    StringList second = list;
    ListAppend(&list, "b");
    EXPECT_NE(list, second);
    EXPECT_EQ(ListCount(list), 2);
    EXPECT_STREQ(list[0], "a");
    EXPECT_STREQ(list[1], "b");
    EXPECT_EQ(list[2], nullptr);
    ListFreeItems(list);
    free(list);

    StringList blanks = ListNew(2);
    EXPECT_EQ(ListCount(blanks), 2);
    EXPECT_STREQ(blanks[1], "");
    ListFreeItems(blanks);
    free(blanks);
}

// Code page 932: the second byte of 表 (95 5C) and ソ (83 5C) is a backslash's,
// of ス (83 58) an X's, of キ (83 4C) an L's; it never counts on its own.
TEST(StringsCodePage, PathsAndNamesByCharacters) {
    OsSetCodePage(932);
    EXPECT_EQ(Take(PathJoin("C:\\ds\x95\x5C", "x")), "C:\\ds\x95\x5C\\x");
    EXPECT_EQ(Take(PathJoin("\x83\x5C\\", "x")), "\x83\x5C\\x");
    const char *path = "C:\\\x95\x5C\x83\x5C";
    EXPECT_EQ(LastChar(path, '\\'), path + 2);
    EXPECT_EQ(StrCompareNoCase("A\x83\x58", "a\x83\x58"), 0);
    EXPECT_NE(StrCompareNoCase("\x83\x58", "\x83\x78"), 0);
    // -s: where the name first is, a-z folded, at whole characters only.
    const char *japanese = "\x83\x58\x83\x4C\x83\x83\x83\x69"; // スキャナ
    const struct {
        const char *text, *part;
        int at;
    } rows[] = {{japanese, "x", -1},          {japanese, "l", -1},
                {japanese, "\x83\x4C", 2},    {japanese, "X\x83", -1},
                {"\x83\x78", "\x83\x58", -1}, {"ab\x83\x78", "B\x83\x78", 1}};
    for (const auto &row : rows) {
        const char *found = FindNoCase(row.text, row.part);
        EXPECT_EQ(found ? found - row.text : -1, row.at) << row.text << " / " << row.part;
    }
    OsSetCodePage(1252); // there 83 58 is two characters, the second an X
    EXPECT_EQ(FindNoCase(japanese, "x"), japanese + 1);
}

TEST(StringsFormat, BoundedBySize) {
    char small[6];
    FormatSectionHeader(small, sizeof small, "Settings");
    EXPECT_STREQ(small, "[Sett");
    char header[32];
    FormatSectionHeader(header, sizeof header, "Settings");
    EXPECT_STREQ(header, "[Settings]");
    char number[4];
    FormatDecimal(number, sizeof number, -12345);
    EXPECT_STREQ(number, "-12");
}

// The atoi rules, and beyond the int range no number but the text as typed.
TEST(StringsDecimal, AtoiRulesWithinTheIntRange) {
    struct Row {
        const char *text;
        bool inRange;
        int value;
        std::string typed;
    };
    const Row rows[] = {
        {"2", true, 2, "2"},
        {" \t\v+2x", true, 2, "+2"},
        {"abc", true, 0, ""},
        {"-", true, 0, "-"},
        {"-1", true, -1, "-1"},
        {"2147483647", true, 2147483647, "2147483647"},
        {"-2147483648", true, -2147483647 - 1, "-2147483648"},
        {"2147483648", false, 0, "2147483648"},
        {"-2147483649", false, 0, "-2147483649"},
        {"4294967297", false, 0, "4294967297"},
        {" 000099999999999999999999999999x", false, 0, "000099999999999999999999999999"},
        {"00000000000000000000000000000001", true, 1, "00000000000000000000000000000001"},
    };
    for (const Row &row : rows) {
        DecimalText number = ReadDecimal(row.text);
        EXPECT_EQ(number.inRange, row.inRange) << row.text;
        EXPECT_EQ(number.value, row.value) << row.text;
        EXPECT_EQ(std::string(number.typed, static_cast<size_t>(number.typedLength)), row.typed)
            << row.text;
    }
}

} // namespace
