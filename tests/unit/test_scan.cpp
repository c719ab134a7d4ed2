// The catalogue scan of modules that do not load (the native layer loads no
// Windows modules); the sources that answer are tested end to end.
#include "commands/commands.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/variables.h"

#include "scratch.h"

namespace {

// An empty catalogue is scanned again by the next action. LeakSanitizer finds
// the earlier scan's tables and scratch path at exit if the rescan lost them.
TEST(Scan, RescanOfAnEmptyCatalogueKeepsNoOldTables) {
    ScratchFolder scratch;
    WriteBytes(scratch.path + "/text.ds", "not a module");
    for (int scan = 0; scan < 3; ++scan) {
        ScanDataSources(scratch.path.c_str());
        EXPECT_EQ(SourceCatalog.count, 0);
        EXPECT_EQ(std::string(SourceCatalog.paths[0]), scratch.path + "\\text.ds");
    }
}

// As the system account the selections end the run; the check says whose default it shows.
TEST(Scan, SystemAccountSetsNoDefault) {
    ScratchFolder scratch;
    for (const char *name : {"ds_dir", "ds_reg_dir", "ds_reg_name"})
        VarSet(name, scratch.path.c_str());
    std::string report = scratch.path + "/check.txt";
    OsSetLocalSystemForTest(true);
    EXPECT_EXIT(CatalogSelectByName("x"), testing::ExitedWithCode(1), "runs as the system account");
    EXPECT_EXIT(CatalogSelectByNumber("1"), testing::ExitedWithCode(1), "logged-on user");
    CatalogCheck(report.c_str());
    OsSetLocalSystemForTest(false);
    EXPECT_EQ(FileBytes(report), "whose default: the system account's, not a user's (run -c as "
                                 "the logged-on user to see theirs)\ndefault: none\n");
}

} // namespace
