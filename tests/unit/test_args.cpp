// Splitting the command line and taking arguments out of the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/program.h"
#include "main/args.h"

namespace {

std::vector<std::string> Split(const char *text, int limit = kArgLimit) {
    char *list[kArgLimit + 1];
    int count = ArgsSplit(text, limit, list);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.emplace_back(list[i]);
        free(list[i]);
    }
    EXPECT_EQ(list[count], nullptr);
    return out;
}

using Args = std::vector<std::string>;

TEST(ArgsSplit, SeparatorsAndPlainEntries) {
    EXPECT_EQ(Split(" \t\r\nprog  -l\t-s x \n"), (Args{"prog", "-l", "-s", "x"}));
    EXPECT_EQ(Split(""), Args{});
    EXPECT_EQ(Split(" \t "), Args{});
    // Vertical tab, form feed and high bytes are ordinary characters.
    EXPECT_EQ(Split("a\vb\fc \xe9t\xe9"), (Args{"a\vb\fc", "\xe9t\xe9"}));
}

TEST(ArgsSplit, Quotes) {
    EXPECT_EQ(Split("\"C:\\Program Files\\Corvane.exe\" -s \"Flatbed Pro\""),
              (Args{"C:\\Program Files\\Corvane.exe", "-s", "Flatbed Pro"}));
    EXPECT_EQ(Split("p \"say \"\"hi\"\"\""), (Args{"p", "say \"hi\""}));
    EXPECT_EQ(Split("p \"\" x"), (Args{"p", "", "x"}));
    // The closing quote ends the entry; the next character starts another.
    EXPECT_EQ(Split("p \"ab\"cd"), (Args{"p", "ab", "cd"}));
    // A quote inside an unquoted entry is ordinary; an unclosed one runs to the end.
    EXPECT_EQ(Split("p a\"b \"open end"), (Args{"p", "a\"b", "open end"}));
}

TEST(ArgsSplit, StopsAtTheLimit) {
    std::string text = "prog";
    for (int i = 1; i <= 40; ++i)
        text += " a" + std::to_string(i);
    Args args = Split(text.c_str());
    ASSERT_EQ(args.size(), 30u);
    EXPECT_EQ(args[29], "a29");
    EXPECT_EQ(Split("a b c d", 2), (Args{"a", "b"}));
}

TEST(ArgsCount, CountsWhatSplittingFindsWithoutALimit) {
    const struct {
        const char *text;
        int count;
    } cases[] = {{"", 0},
                 {" \t", 0},
                 {"p", 1},
                 {"p \"a b\"c d", 4},
                 {"p \"open end", 2},
                 {"p \"\"\"\" x", 3},
                 {"p a\"b\" c", 3}};
    for (const auto &c : cases) {
        EXPECT_EQ(ArgsCount(c.text), c.count) << c.text;
        EXPECT_EQ(static_cast<int>(Split(c.text).size()), c.count) << c.text;
    }
    std::string many = "prog";
    for (int i = 1; i <= 40; ++i)
        many += " a" + std::to_string(i);
    EXPECT_EQ(ArgsCount(many.c_str()), 41);
}

TEST(UserDataFolder, EmptyAppDataCountsAsMissing) {
    setenv("AppData", "", 1);
    EXPECT_EXIT(UserDataFolder("Halvorquin", "Corvane"), testing::ExitedWithCode(1),
                "The APPDATA environment variable is missing.");
    setenv("AppData", "Z:/users/me", 1);
    char *folder = UserDataFolder("Halvorquin", "Corvane");
    EXPECT_STREQ(folder, "Z:/users/me\\Halvorquin\\Corvane");
    free(folder);
    unsetenv("AppData");
}

// The entries stay allocated when taken out of the list; the test releases them.
struct List {
    char *items[kArgLimit + 1];
    char *owned[kArgLimit + 1];
    int count;
    int split;
    explicit List(const char *text) {
        count = split = ArgsSplit(text, kArgLimit, items);
        std::copy(items, items + split, owned);
    }
    ~List() {
        for (int i = 0; i < split; ++i)
            free(owned[i]);
    }
    Args Rest() const {
        Args out;
        for (int i = 0; i < count; ++i)
            out.emplace_back(items[i]);
        return out;
    }
};

TEST(ArgsTake, RemovesTheFirstWholeMatchIgnoringCase) {
    List l("prog -HELP -help x");
    EXPECT_TRUE(ArgsTake(&l.count, l.items, "-help"));
    EXPECT_EQ(l.Rest(), (Args{"prog", "-help", "x"}));
    EXPECT_EQ(l.items[3], nullptr);
    EXPECT_FALSE(ArgsTake(&l.count, l.items, "-hel"));
    EXPECT_FALSE(ArgsTake(&l.count, l.items, "-helpx"));
    EXPECT_FALSE(ArgsTake(&l.count, l.items, ""));
    EXPECT_EQ(l.count, 3);
}

TEST(ArgsTake, EmptyWordMatchesOnlyAnEmptyEntry) {
    List l("prog \"\" y");
    EXPECT_TRUE(ArgsTake(&l.count, l.items, ""));
    EXPECT_EQ(l.Rest(), (Args{"prog", "y"}));
}

TEST(ArgsTakeValue, TakesTheFirstPrefixedEntry) {
    List l("prog -DBG=2 -ver -dbg=7");
    EXPECT_STREQ(ArgsTakeValue(&l.count, l.items, "-dbg=", "0"), "2");
    EXPECT_EQ(l.Rest(), (Args{"prog", "-ver", "-dbg=7"}));

    List none("prog -dbg 5");
    EXPECT_STREQ(ArgsTakeValue(&none.count, none.items, "-dbg=", "0"), "0");
    EXPECT_EQ(none.count, 3);

    List blank("prog -dbg= 5");
    EXPECT_STREQ(ArgsTakeValue(&blank.count, blank.items, "-dbg=", "0"), "");
    EXPECT_EQ(blank.Rest(), (Args{"prog", "5"}));
}

} // namespace
