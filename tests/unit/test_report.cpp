// Where a report goes: the -o file, or the temporary file named by process id.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/report.h"
#include "support/diagnostics.h"
#include "support/strings.h"

#include "scratch.h"

namespace {

std::string TempName() {
    return std::to_string(ProcessId()) + ".stdout.txt";
}

// The program keeps the temporary path to the end; the test releases it.
std::string Temporary() {
    const char *path = ReportPath(nullptr);
    std::string out = path;
    free(const_cast<char *>(path));
    return out;
}

struct TempVariable {
    std::string saved;
    bool had;
    TempVariable() {
        const char *v = getenv("TEMP");
        had = v != nullptr;
        if (had)
            saved = v;
    }
    ~TempVariable() {
        if (had)
            setenv("TEMP", saved.c_str(), 1);
        else
            unsetenv("TEMP");
    }
};

TEST(ReportPath, OutputFileIsUsedAsIs) {
    const char *out = "";
    EXPECT_EQ(ReportPath(out), out); // an empty name is a path, not "none"
}

TEST(ReportPath, TemporaryNameJoinsTempOnce) {
    TempVariable keep;
    setenv("TEMP", "C:\\Temp\\", 1);
    EXPECT_EQ(Temporary(), "C:\\Temp\\" + TempName());
    setenv("TEMP", "C:\\Temp", 1);
    EXPECT_EQ(Temporary(), "C:\\Temp\\" + TempName());
    setenv("TEMP", "", 1);
    EXPECT_EQ(Temporary(), TempName());
    unsetenv("TEMP");
    EXPECT_EQ(Temporary(), "C:\\temp\\" + TempName());
}

TEST(ReportFinish, TemporaryReportIsShownAndLeavesNoFile) {
    TempVariable keep;
    ScratchFolder scratch;
    setenv("TEMP", scratch.path.c_str(), 1);
    std::string messages = scratch.path + "/messages.txt";
    setenv("CORVANE_MESSAGE_FILE", messages.c_str(), 1);
    const char *path = ReportPath(nullptr);
    FILE *stream = ReportCreate(path);
    PutLine(stream, "1=Flatbed Pro");
    ReportFinish(stream, path, nullptr);
    unsetenv("CORVANE_MESSAGE_FILE");
    EXPECT_EQ(FileBytes(messages), "[information] Corvane\n1=Flatbed Pro\n\n[end]\n");
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
    free(const_cast<char *>(path));
}

} // namespace
