// The catalogue scan of modules that do not load (the native layer loads no
// Windows modules); the sources that answer are tested end to end.
#include "commands/commands.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
