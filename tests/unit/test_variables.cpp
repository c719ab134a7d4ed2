// The variable store and template expansion.
#include "support/variables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "support/diagnostics.h"

#include "scratch.h"

namespace {

class Variables : public testing::Test {
  protected:
    void SetUp() override {
        VarClear();
    }
    void TearDown() override {
        VarClear();
    }
};

std::string Expand(const char *text) {
    char *result = ExpandTemplate(text);
    std::string expanded = result;
    free(result);
    return expanded;
}

TEST_F(Variables, NamesIgnoreCaseAndKeepOneEntry) {
    EXPECT_EQ(VarSet("N", "1"), 1);
    VarSet("n", "2");
    EXPECT_STREQ(VarGet("N"), "2");
    EXPECT_STREQ(VarGet("n"), "2");
    EXPECT_STREQ(VarGet("NN"), "");
    EXPECT_STREQ(VarGet(""), "");
    VarSet("", "empty name");
    VarSet("b c", "blank");
    EXPECT_STREQ(VarGet(""), "empty name");
    EXPECT_STREQ(VarGet("B C"), "blank");
    VarSet("x", "self");
    VarSet("x", VarGet("x"));
    EXPECT_STREQ(VarGet("X"), "self");
}

TEST_F(Variables, StoreHoldsAtMost123Names) {
    for (int i = 0; i < kVarLimit; i++) {
        std::string name = "v" + std::to_string(i);
        VarSet(name.c_str(), name.c_str());
    }
    VarSet("extra", "dropped");
    EXPECT_STREQ(VarGet("extra"), "");
    VarSet("V0", "changed");
    EXPECT_STREQ(VarGet("v0"), "changed");
    EXPECT_STREQ(VarGet("v122"), "v122");
    // The first-set spelling is kept: the template reference finds it either way.
    EXPECT_EQ(Expand("%V0%"), "changed");
}

TEST_F(Variables, ExpandsReferences) {
    VarSet("N", "1");
    VarSet("P", "Flatbed Pro");
    EXPECT_EQ(Expand("%N%=%P%"), "1=Flatbed Pro");
    EXPECT_EQ(Expand("%n%=%p%"), "1=Flatbed Pro");
    VarSet("M", "Maker");
    VarSet("F", "Family");
    VarSet("D", "");
    EXPECT_EQ(Expand("%N%|%M%|%F%|%P%|%D%"), "1|Maker|Family|Flatbed Pro|");
}

TEST_F(Variables, PercentSignRules) {
    VarSet("N", "7");
    EXPECT_EQ(Expand("100%"), "100%");
    EXPECT_EQ(Expand("a%b"), "a%b");
    EXPECT_EQ(Expand("50%% off"), "50% off");
    EXPECT_EQ(Expand("%%N%%"), "%N%");
    EXPECT_EQ(Expand("%N%%"), "7%");
    EXPECT_EQ(Expand("a%b c%d"), "ad");
    EXPECT_EQ(Expand("[%X%]"), "[]");
    EXPECT_EQ(Expand("%"), "%");
    EXPECT_EQ(Expand(""), "");
}

TEST_F(Variables, LongValuesGrowTheResult) {
    std::string path(200, 'p');
    VarSet("D", path.c_str());
    VarSet("N", "12345678");
    EXPECT_EQ(Expand("%D%"), path);
    EXPECT_EQ(Expand("<%N%|%D%|%D%>"), "<12345678|" + path + "|" + path + ">");
}

// Growth is geometric: this expansion copied its result some 30,000 times over
// when each reference grew it by just its shortfall.
TEST_F(Variables, LongTemplatesExpandInLinearTime) {
    std::string path(300, 'p');
    VarSet("D", path.c_str());
    std::string text, expected;
    for (int i = 0; i < 30000; i++) {
        text += "%D%;";
        expected += path + ";";
    }
    EXPECT_EQ(Expand(text.c_str()), expected);
}

TEST_F(Variables, TraceNeedsBit16) {
    ScratchFolder scratch;
    std::string folder = scratch.path + "/";
    setenv("TEMP", folder.c_str(), 1);
    LogSetFile("vars.log");
    DebugLevel = 15;
    VarSet("quiet", "1");
    DebugLevel = 48;
    VarSet("loud", "2");
    DebugLevel = 0;
    // The log sits where the program puts it, the folder joined with a backslash.
    std::string log = folder + "\\vars.log";
    std::string text = FileBytes(log);
    EXPECT_EQ(text.find("quiet"), std::string::npos);
    EXPECT_NE(text.find(" (VarSet) loud,2\n"), std::string::npos);
    unsetenv("TEMP");
}

} // namespace
