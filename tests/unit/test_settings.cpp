// The settings file: how many keys it may store.
#include "app/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/program.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

#include "scratch.h"

namespace {

struct ManyKeys {
    int extra;           // keys besides the three required ones
    const char *listing; // listing names among them
    bool ignored;        // whether some key is left out
};

void PrintTo(const ManyKeys &c, std::ostream *out) {
    *out << c.extra << " keys, listing names \"" << c.listing << "\"";
}

class SettingsKeys : public testing::TestWithParam<ManyKeys> {
  protected:
    void SetUp() override {
        VarClear();
        // Folders end in a slash so that the backslash-joined names stay inside.
        setenv("TEMP", (scratch.path + "/").c_str(), 1);
        LogSetFile("Corvane.log");
        UserDataPath = StrDup((scratch.path + "/").c_str());
    }
    void TearDown() override {
        VarClear();
        free(UserDataPath);
        free(SettingsPath);
        UserDataPath = SettingsPath = nullptr;
        unsetenv("TEMP");
    }
    ScratchFolder scratch;
};

// The listing's five names always fit, whatever the settings file holds.
TEST_P(SettingsKeys, ListingNamesAlwaysFit) {
    const ManyKeys &c = GetParam();
    std::string text = "[Settings]\nds_dir=d\nds_reg_dir=r\nds_reg_name=n\n";
    for (const char *name = c.listing; *name; name++)
        text += std::string(1, *name) + "=from file\n";
    for (int i = 0; i < c.extra - static_cast<int>(strlen(c.listing)); i++)
        text += "key" + std::to_string(i) + "=" + std::to_string(i) + "\n";
    text += "ds_dir=changed\n"; // a known key is always updated
    WriteBytes(scratch.path + "/\\Corvane.ini", text);

    SettingsLoad();
    EXPECT_STREQ(VarGet("ds_dir"), "changed");
    for (const char *name : {"M", "F", "P", "D", "N"})
        VarSet(name, "listed");
    for (const char *name : {"M", "F", "P", "D", "N"})
        EXPECT_STREQ(VarGet(name), "listed") << name;
    EXPECT_EQ(VarRoom(), 0);
    std::string log = FileBytes(scratch.path + "/\\Corvane.log");
    EXPECT_EQ(log.find("Too many settings") != std::string::npos, c.ignored) << log;
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsKeys,
                         testing::Values(ManyKeys{115, "", false}, ManyKeys{116, "", true},
                                         ManyKeys{117, "NP", false}, ManyKeys{118, "NP", true},
                                         ManyKeys{400, "MFPDN", true}));

} // namespace
