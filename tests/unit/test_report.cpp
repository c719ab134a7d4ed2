// Where a report goes: the -o file, or the temporary file named by process id.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/report.h"
#include "support/diagnostics.h"

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

} // namespace
