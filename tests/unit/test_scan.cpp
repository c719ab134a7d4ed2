// The catalogue scan of modules that do not load (the native layer loads no
// Windows modules); the sources that answer are tested end to end.
#include "catalogue/catalogue.h"
#include "commands/commands.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/program.h"
#include "app/settings.h"
#include "platform/system.h"
#include "support/diagnostics.h"
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
    ProgramFolderPath = scratch.path.data(); // where the other program's settings would be
    std::string report = scratch.path + "/check.txt";
    OsSetLocalSystemForTest(true);
    EXPECT_EXIT(CatalogSelectByName("x"), testing::ExitedWithCode(1), "runs as the system account");
    EXPECT_EXIT(CatalogSelectByNumber("1"), testing::ExitedWithCode(1), "logged-on user.*-all");
    // MSG_SET too writes the system account's own default, before anything is loaded.
    EXPECT_EXIT(ManagerSelectByName("x"), testing::ExitedWithCode(1), "runs as the system account");
    EXPECT_EXIT(ManagerSelectByNumber("1"), testing::ExitedWithCode(1), "logged-on user");
    CatalogCheck(report.c_str());
    OsSetLocalSystemForTest(false);
    EXPECT_EQ(FileBytes(report), "whose default: the system account's, not a user's (run -c as "
                                 "the logged-on user, or -all -g, to see theirs)\ndefault: none\n");
    ProgramFolderPath = nullptr;
}

} // namespace

namespace {

TEST(Scan, TimeLimitAndWorkerSettingsTakeWholeNumbersInRangeOnly) {
    SettingsPath = const_cast<char *>("Corvane.ini");
    const std::pair<const char *, int> limits[] = {
        {"", 30}, {"0", 0}, {"2", 2}, {"86400", 86400}, {"000005", 5}, {"0000000030", 30}};
    for (auto [text, seconds] : limits) {
        VarSet("ds_timeout", text);
        EXPECT_EQ(SourceTimeLimit(), seconds) << text;
    }
    for (const char *text : {"-1", "+2", "1.5", "30s", "86401", "0x10", "9999999999"}) {
        VarSet("ds_timeout", text);
        EXPECT_EXIT(SourceTimeLimit(), testing::ExitedWithCode(1), "") << text;
    }
    VarSet("ds_timeout", "");
    for (auto [text, workers] : {std::pair{"", 4}, {"1", 1}, {"16", 16}, {"03", 3}}) {
        VarSet("ds_workers", text);
        EXPECT_EQ(SourceWorkers(), workers) << text;
    }
    for (const char *text : {"0", "17", "-1", "2.5", "four"}) {
        VarSet("ds_workers", text);
        EXPECT_EXIT(SourceWorkers(), testing::ExitedWithCode(1),
                    "setting 'ds_workers' is not a whole number from 1 to 16")
            << text;
    }
    VarSet("ds_workers", "");
}

// Loading a FIFO waits for a writer that never comes: the candidate is left out
// after the limit, and a fresh worker goes on with the others.
TEST(Scan, CandidateThatNeverAnswersIsLeftOut) {
    ScratchFolder scratch;
    WriteBytes(scratch.path + "/a.ds", "not a module");
    WriteBytes(scratch.path + "/c.ds", "not a module");
    ASSERT_EQ(mkfifo((scratch.path + "/b.ds").c_str(), 0600), 0);
    VarSet("ds_timeout", "1");
    ScanDataSources(scratch.path.c_str());
    VarSet("ds_timeout", "");
    ASSERT_EQ(ScanCandidates.count, 3);
    for (int i = 0; i < 3; ++i) {
        const CandidateRecord &record = ScanCandidates.records[i];
        bool fifo = std::string(record.path) == scratch.path + "\\b.ds";
        EXPECT_EQ(record.outcome, fifo ? kTimedOut : kNotLoaded) << record.path;
        EXPECT_EQ(record.code, fifo ? 1u : static_cast<unsigned>(ENOEXEC)) << record.path;
    }
}

// With no descriptor to spare no worker can be started: the sources are asked
// in this process, the log says so once, and the start is not tried for each.
TEST(Scan, WithoutAWorkerTheSourcesAreAskedHereAndTheLogSaysSoOnce) {
    ScratchFolder scratch;
    for (const char *name : {"/a.ds", "/b.ds", "/c.ds"})
        WriteBytes(scratch.path + name, "not a module");
    setenv("TEMP", (scratch.path + "/").c_str(), 1);
    LogSetFile("scan.log");
    rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> taken;
    for (int fd; (fd = dup(0)) >= 0;)
        taken.push_back(fd);
    close(taken.back()); // one to search folders and load modules with, not two for a channel
    taken.pop_back();
    std::string working = std::filesystem::current_path().string();
    ScanDataSources(scratch.path.c_str());
    // Each source's folder was the working folder while it was asked, and no longer.
    EXPECT_EQ(std::filesystem::current_path().string(), working);
    for (int fd : taken)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    unsetenv("TEMP");
    EXPECT_TRUE(ScanInProcess);
    ASSERT_EQ(ScanCandidates.count, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(ScanCandidates.records[i].outcome, kNotLoaded);
    std::string log = FileBytes(scratch.path + "/\\scan.log");
    std::string line = "data sources were asked in Corvane's own process: the scan's worker could "
                       "not be started (error ";
    EXPECT_EQ(log.find(line), log.rfind(line)) << log;
    EXPECT_NE(log.find(line), std::string::npos) << log;
}

// A folder with many sources to ask gets a second worker at once, a small one
// none; the debug log says why each worker started.
TEST(Scan, OnlyALargeFolderGetsASecondWorkerAtOnce) {
    const struct { int top, sub, seconds; } rows[] = {{12, 0, 1}, {4, 4, 0}, {2, 12, 1}};
    DebugLevel = 1;
    for (const auto &row : rows) {
        ScratchFolder scratch;
        std::filesystem::create_directory(scratch.path + "/sub");
        for (int i = 0; i < row.top + row.sub; ++i)
            WriteBytes(scratch.path + (i < row.top ? "/" : "/sub/") + std::to_string(i) + ".ds",
                       "not a module");
        setenv("TEMP", (scratch.path + "/").c_str(), 1);
        LogSetFile("workers.log");
        ScanDataSources(scratch.path.c_str());
        std::string log = FileBytes(scratch.path + "/\\workers.log");
        int seconds = 0;
        for (size_t at = 0; (at = log.find("a second for a folder", at)) != std::string::npos; ++at)
            ++seconds;
        EXPECT_EQ(seconds, row.seconds) << log;
    }
    DebugLevel = 0;
    unsetenv("TEMP");
}

} // namespace
