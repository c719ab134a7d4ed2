// Message boxes and their unattended records, the fatal-error routine, the
// debug log and its hex dump.
#include "support/diagnostics.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/modules.h"
#include "platform/profiles.h"
#include "platform/system.h"

#include "scratch.h"

namespace {

constexpr char kTitle[] = "Corvane Ver 1.13";

class Diagnostics : public testing::Test {
  protected:
    void SetUp() override {
        // The log is the folder joined with a backslash, so end the folder in a slash
        // to keep the file inside it on this system.
        setenv("TEMP", (dir + "/").c_str(), 1);
        LogSetFile("test.log");
        log = dir + "/\\test.log";
        records = dir + "/boxes.txt";
        unsetenv("CORVANE_MESSAGE_FILE");
        DiagnosticsSetRun(kTitle, nullptr);
    }
    void TearDown() override {
        unsetenv("CORVANE_MESSAGE_FILE");
        unsetenv("TEMP");
    }
    std::vector<std::string> LogLines() const {
        std::ifstream in(log, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string Records() const {
        return FileBytes(records);
    }
    ScratchFolder scratch;
    std::string dir = scratch.path;
    std::string log, records;
};

// A logged line without its "HH:MM:SS " stamp.
std::string Unstamped(const std::string &line) {
    EXPECT_TRUE(std::regex_match(line.substr(0, 9), std::regex("\\d\\d:\\d\\d:\\d\\d "))) << line;
    return line.substr(9);
}

TEST_F(Diagnostics, EachRunStartsWithADateHeader) {
    LogPrint("Cmdline: %s", "x");
    LogPrint("second %d", 2);
    LogSetFile("test.log"); // as a new run does
    LogPrint("third");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 9u);
    std::regex date("\\* (Sun|Mon|Tue|Wed|Thu|Fri|Sat) \\d\\d [A-Z][a-z][a-z] \\d{4}");
    for (size_t first : {0u, 5u}) {
        EXPECT_EQ(lines[first], "*");
        EXPECT_TRUE(std::regex_match(lines[first + 1], date)) << lines[first + 1];
        EXPECT_EQ(lines[first + 2], "*");
    }
    EXPECT_EQ(Unstamped(lines[3]), "Cmdline: x");
    EXPECT_EQ(Unstamped(lines[4]), "second 2");
    EXPECT_EQ(Unstamped(lines[8]), "third");
}

TEST_F(Diagnostics, LongMessagesAreWrittenWhole) {
    std::string fits(507, 'f');
    std::string longer = "Cmdline: " + std::string(3000, 'L');
    LogPrint("%s", fits.c_str());
    LogPrint("%s", longer.c_str());
    LogWrite("%s", longer.c_str());
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(Unstamped(lines[3]), fits);
    EXPECT_EQ(Unstamped(lines[4]), longer);
    EXPECT_EQ(lines[5], longer);
}

TEST_F(Diagnostics, MissingLogFolderIsSilent) {
    setenv("TEMP", (dir + "/none/").c_str(), 1);
    LogSetFile("test.log");
    LogPrint("lost");
    EXPECT_FALSE(std::filesystem::exists(dir + "/none"));
    // The date header was lost with the line: the first line written has it.
    std::filesystem::create_directory(dir + "/none");
    LogPrint("kept");
    log = dir + "/none/\\test.log";
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "*");
    EXPECT_EQ(Unstamped(lines[3]), "kept");
}

TEST_F(Diagnostics, HexDumpRows) {
    const unsigned char four[] = {0x41, 0x42, 0x00, 0xFF};
    unsigned char seventeen[17];
    for (int i = 0; i < 16; i++)
        seventeen[i] = static_cast<unsigned char>(0x30 + i);
    seventeen[10] = 0x7F;
    seventeen[11] = 0x0A;
    seventeen[16] = 0xC1;
    LogHexDump("none", 0, nullptr);
    LogHexDump("four", 4, four);
    LogHexDump("TW_IDENTITY : ", 17, seventeen);

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(Unstamped(lines[3]), "none");
    EXPECT_EQ(Unstamped(lines[4]), "four");
    EXPECT_EQ(Unstamped(lines[5]), "41 42 00 FF" + std::string(37, ' ') + "AB..");
    EXPECT_EQ(Unstamped(lines[6]), "TW_IDENTITY : ");
    EXPECT_EQ(Unstamped(lines[7]), "30 31 32 33 34 35 36 37 38 39 7F 0A 3C 3D 3E 3F "
                                   "0123456789..<=>?");
    EXPECT_EQ(Unstamped(lines[8]), "C1" + std::string(46, ' ') + "A");
}

TEST_F(Diagnostics, HexDumpOfAnIdentity) {
    unsigned char identity[156] = {};
    LogHexDump("TW_IDENTITY : ", 156, identity);
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u + 11u);
    std::string hex;
    for (int i = 0; i < 12; i++)
        hex += "00 ";
    EXPECT_EQ(Unstamped(lines.back()), hex + std::string(12, ' ') + std::string(12, '.'));
}

TEST_F(Diagnostics, MessageRecords) {
    setenv("CORVANE_MESSAGE_FILE", records.c_str(), 1);
    EXPECT_EQ(MessageOut("two\nlines", "Caption", kBoxPlain), 1);
    EXPECT_EQ(MessageOut("careful", "Other", kBoxWarning | 1), 1);
    EXPECT_EQ(ShowMessage(""), 1);
    EXPECT_EQ(Records(), "[information] Caption\ntwo\nlines\n[end]\n"
                         "[warning] Other\ncareful\n[end]\n"
                         "[information] " +
                             std::string(kTitle) + "\n\n[end]\n");
}

TEST_F(Diagnostics, UnwritableRecordFileShowsTheBox) {
    setenv("CORVANE_MESSAGE_FILE", (dir + "/none/boxes.txt").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageOut("shown", "Caption", kBoxPlain), OsMessageBox("", "", kBoxPlain));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("shown"), std::string::npos);
}

// Where no one sees a box it would wait for no one: the log has it instead. A
// window station no user sees, and session 0, whose own station says it is seen.
TEST_F(Diagnostics, NoBoxWhereNoOneSeesIt) {
    testing::internal::CaptureStderr();
    OsSetInteractiveStationForTest(false);
    EXPECT_EQ(MessageOut("first\nsecond", "Caption", kBoxWarning), 1);
    OsSetInteractiveStationForTest(true);
    OsSetSessionForTest(0);
    EXPECT_EQ(MessageOut("first\nsecond", "Caption", kBoxWarning), 1);
    OsSetSessionForTest(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 11u);
    for (size_t at : {3, 7}) {
        EXPECT_EQ(Unstamped(lines[at]), "[warning] Caption");
        EXPECT_EQ(std::vector<std::string>(lines.begin() + at + 1, lines.begin() + at + 4),
                  (std::vector<std::string>{"first", "second", "[end]"}));
    }
}

// The record of a fatal error, written by the dying child process.
TEST_F(Diagnostics, FatalShowsUpTo499CharactersWhole) {
    std::string title = kTitle;
    std::string text(499, 'm');
    EXPECT_EXIT(
        {
            setenv("CORVANE_MESSAGE_FILE", records.c_str(), 1);
            Fatal("%s", text.c_str());
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Records(), "[warning] " + title + "\n" + text + "\n[end]\n");
}

TEST_F(Diagnostics, FatalCutsLongerTextsTo500) {
    std::string title = kTitle;
    for (size_t length : {500u, 2000u}) {
        std::filesystem::remove(records);
        std::string text(length, 'm');
        EXPECT_EXIT(
            {
                setenv("CORVANE_MESSAGE_FILE", records.c_str(), 1);
                Fatal("%s", text.c_str());
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(Records(), "[warning] " + title + "\n" + text.substr(0, 496) + " ...\n[end]\n");
    }
}

TEST_F(Diagnostics, FatalWithAnEmptyMessageStillExits) {
    EXPECT_EXIT(WarnAndExit(""), testing::ExitedWithCode(1), "");
    // The end of the run that start-up handed over decides the exit.
    DiagnosticsSetRun(kTitle, [](int code) { return code + 2; });
    EXPECT_EXIT(WarnAndExit(""), testing::ExitedWithCode(3), "");
    DiagnosticsSetRun(kTitle, nullptr);
    EXPECT_EXIT(Fatal("Can't open %s", "C:\\x.ini"), testing::ExitedWithCode(1),
                "Can't open C:.x\\.ini");
}

// A fault in foreign code is reported like a fatal error, and then nothing of
// the program runs any more, its exit handlers included.
TEST_F(Diagnostics, FaultInForeignCodeEndsTheRunAtOnce) {
    std::string title = kTitle;
    EXPECT_EXIT(
        {
            setenv("CORVANE_MESSAGE_FILE", records.c_str(), 1);
            atexit([] {
                if (FILE *file = fopen(getenv("CORVANE_MESSAGE_FILE"), "a"))
                    fputs("exit handlers ran\n", file);
            });
            OsForeignBegin("C:\\twain_32\\crash.ds", "DS_Entry");
            raise(SIGSEGV);
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(Records(), "[warning] " + title +
                             "\nC:\\twain_32\\crash.ds crashed (exception 0x0000000B)\n[end]\n");
}

} // namespace
