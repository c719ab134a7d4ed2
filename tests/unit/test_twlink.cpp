// The TWAIN session layer against a scripted stand-in for DSM_Entry.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "TWLINK/TWLINK.h"

#include "scratch.h"

namespace {

struct Call {
    TW_IDENTITY *dest;
    TW_UINT32 dg;
    TW_UINT16 dat;
    TW_UINT16 msg;
    void *data;
};

std::vector<Call> Calls;
std::deque<TW_UINT16> Results; // one per call; TWRC_SUCCESS once used up
TW_UINT16 Condition = 0;       // what a status query reports
TW_UINT16 EventMessage = 0;    // what MSG_PROCESSEVENT leaves in the event
TW_UINT16 PendingCount = 0;    // what MSG_ENDXFER leaves in Count
TW_IMAGEMEMXFER SeenBlock;     // the block as the source received it

TW_UINT16 TW_CALLINGSTYLE FakeEntry(TW_IDENTITY *origin, TW_IDENTITY *dest, TW_UINT32 dg,
                                    TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    EXPECT_EQ(origin, &AppIdentity);
    Calls.push_back({dest, dg, dat, msg, data});
    if (dat == DAT_STATUS)
        static_cast<TW_STATUS *>(data)->ConditionCode = Condition;
    if (dat == DAT_EVENT)
        static_cast<TW_EVENT *>(data)->TWMessage = EventMessage;
    if (dat == DAT_PENDINGXFERS)
        static_cast<TW_PENDINGXFERS *>(data)->Count = PendingCount;
    if (dat == DAT_IMAGEMEMXFER)
        SeenBlock = *static_cast<TW_IMAGEMEMXFER *>(data);
    TW_UINT16 result = TWRC_SUCCESS;
    if (!Results.empty()) {
        result = Results.front();
        Results.pop_front();
    }
    return result;
}

// Packed 32-bit fields are compared by value (+field): gtest would bind a
// reference to a misaligned address.
class TwLink : public ::testing::Test {
  protected:
    void SetUp() override {
        TwResetForTest();
        Calls.clear();
        Results.clear();
        Condition = 0;
        EventMessage = 0;
        PendingCount = 0;
    }
    void Connect(int32_t state) {
        Session.entry = FakeEntry;
        TwSessionState = state;
    }
};

TEST_F(TwLink, AppIdentityHoldsTheProgramsValuesZeroFilled) {
    EXPECT_EQ(+AppIdentity.Id, 0u);
    EXPECT_EQ(AppIdentity.Version.MajorNum, 1);
    EXPECT_EQ(AppIdentity.Version.MinorNum, 0);
    EXPECT_EQ(AppIdentity.Version.Language, TWLG_USA);
    EXPECT_EQ(AppIdentity.Version.Country, TWCY_USA);
    EXPECT_EQ(AppIdentity.ProtocolMajor, 1);
    EXPECT_EQ(AppIdentity.ProtocolMinor, 7);
    EXPECT_EQ(+AppIdentity.SupportedGroups, 3u);
    const char *expected[] = {"Unknown Version", "Unspecified Developer", "TWAIN Application",
                              "TWLINK Client"};
    const char *fields[] = {AppIdentity.Version.Info, AppIdentity.Manufacturer,
                            AppIdentity.ProductFamily, AppIdentity.ProductName};
    for (int i = 0; i < 4; ++i) {
        char padded[sizeof(TW_STR32)] = {};
        memcpy(padded, expected[i], strlen(expected[i]));
        EXPECT_EQ(memcmp(fields[i], padded, sizeof padded), 0) << expected[i];
    }
}

TEST_F(TwLink, ManagerCallWithoutManagerMakesNoCall) {
    EXPECT_EQ(TwResultCode(), 0);
    TW_IDENTITY id{};
    EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id));
    EXPECT_EQ(TwResultCode(), 1);
    EXPECT_EQ(TwSessionState, 1);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(TwLink, FailedIdentityQueriesLeaveStateAndSource) {
    Connect(TWAIN_SOURCE_OPEN);
    snprintf(Session.sourceIdentity.ProductName, sizeof(TW_STR32), "Open One");
    TW_IDENTITY before = Session.sourceIdentity;
    for (TW_UINT16 msg : {MSG_GETFIRST, MSG_GETNEXT, MSG_GETDEFAULT, MSG_SET}) {
        Results = {TWRC_ENDOFLIST};
        TW_IDENTITY id{};
        EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, msg, &id)) << msg;
        EXPECT_EQ(TwResultCode(), TWRC_ENDOFLIST);
        EXPECT_EQ(TwSessionState, TWAIN_SOURCE_OPEN);
        EXPECT_EQ(memcmp(&Session.sourceIdentity, &before, sizeof before), 0);
        EXPECT_EQ(Calls.back().dest, nullptr);
        EXPECT_EQ(Calls.back().data, &id);
    }
    EXPECT_EQ(Calls.size(), 4u);
    EXPECT_EQ(Session.failureKind, 0);
}

TEST_F(TwLink, ResultCodeIsWidenedWithItsSign) {
    Connect(3);
    Results = {0xFFFF};
    EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, nullptr));
    EXPECT_EQ(TwResultCode(), -1);
}

TEST_F(TwLink, OpenedSourceIsCopied) {
    Connect(3);
    TW_IDENTITY source{};
    source.Id = 42;
    snprintf(source.ProductName, sizeof source.ProductName, "Flatbed Pro");
    EXPECT_TRUE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source));
    EXPECT_EQ(TwSessionState, TWAIN_SOURCE_OPEN);
    EXPECT_EQ(memcmp(&Session.sourceIdentity, &source, sizeof source), 0);
}

TEST_F(TwLink, FirstFailedOpenIsRecordedWithItsCondition) {
    Connect(3);
    Condition = 9;
    Results = {TWRC_FAILURE, TWRC_SUCCESS};
    TW_IDENTITY source{};
    EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source));
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[1].dest, nullptr);
    EXPECT_EQ(Calls[1].dg, DG_CONTROL);
    EXPECT_EQ(Calls[1].dat, DAT_STATUS);
    EXPECT_EQ(Calls[1].msg, MSG_GET);
    EXPECT_EQ(TwResultCode(), TWRC_FAILURE);
    EXPECT_EQ(TwSessionState, 3);
    EXPECT_EQ(Session.failureKind, 4);
    EXPECT_EQ(Session.failureResult, 1);
    EXPECT_EQ(Session.failureCondition, 9);

    // Later failures leave the first one on record and ask nothing.
    Results = {TWRC_CHECKSTATUS};
    EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source));
    EXPECT_EQ(Calls.size(), 3u);
    EXPECT_EQ(TwResultCode(), TWRC_CHECKSTATUS);
    EXPECT_EQ(Session.failureResult, 1);
    EXPECT_EQ(Session.failureCondition, 9);
}

TEST_F(TwLink, FailedOpenBelowState3AsksNoStatus) {
    Connect(TWAIN_SM_LOADED);
    Results = {0xFFFE};
    EXPECT_FALSE(TwManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, nullptr));
    EXPECT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Session.failureKind, 4);
    EXPECT_EQ(Session.failureResult, -2);
    EXPECT_EQ(Session.failureCondition, TWCC_BUMMER);
}

TEST_F(TwLink, CheckStatusCountsAsEnabled) {
    Connect(TWAIN_SOURCE_OPEN);
    Results = {TWRC_CHECKSTATUS};
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, nullptr));
    EXPECT_EQ(TwSessionState, TWAIN_SOURCE_ENABLED);
}

TEST_F(TwLink, FailedEnableIsRecordedThroughTheSource) {
    Connect(TWAIN_SOURCE_OPEN);
    Condition = 4;
    Results = {TWRC_FAILURE, TWRC_SUCCESS};
    EXPECT_FALSE(TwSourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, nullptr));
    ASSERT_EQ(Calls.size(), 2u);
    EXPECT_EQ(Calls[1].dest, &Session.sourceIdentity);
    EXPECT_EQ(Calls[1].dat, DAT_STATUS);
    EXPECT_EQ(TwSessionState, TWAIN_SOURCE_OPEN);
    EXPECT_EQ(TwResultCode(), TWRC_FAILURE);
    EXPECT_EQ(Session.failureKind, 5);
    EXPECT_EQ(Session.failureResult, 1);
    EXPECT_EQ(Session.failureCondition, 4);
}

TEST_F(TwLink, EndOfTransferDependsOnPendingCount) {
    Connect(7);
    TW_PENDINGXFERS pending{};
    PendingCount = 2;
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending));
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
    PendingCount = 0;
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending));
    EXPECT_EQ(TwSessionState, TWAIN_SOURCE_ENABLED);
}

TEST_F(TwLink, MemoryTransfer) {
    Connect(TWAIN_TRANSFER_READY);
    Session.stripCount = 5;
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, nullptr));
    EXPECT_EQ(Session.stripCount, 0u);

    TW_IMAGEMEMXFER block{};
    block.Memory.Length = 4096;
    Results = {TWRC_FAILURE};
    EXPECT_FALSE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
    EXPECT_EQ(SeenBlock.Compression, TWON_DONTCARE16);
    EXPECT_EQ(+SeenBlock.BytesPerRow, TWON_DONTCARE32);
    EXPECT_EQ(+SeenBlock.YOffset, TWON_DONTCARE32);
    EXPECT_EQ(+SeenBlock.BytesWritten, TWON_DONTCARE32);
    EXPECT_EQ(+SeenBlock.Memory.Length, 4096u);

    EXPECT_TRUE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(TwSessionState, 7);
    Results = {TWRC_XFERDONE};
    EXPECT_TRUE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(Session.stripCount, 2u);
    Results = {TWRC_FAILURE};
    EXPECT_FALSE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(TwSessionState, 7);

    Connect(TWAIN_TRANSFER_READY);
    Results = {TWRC_CANCEL, TWRC_CHECKSTATUS};
    EXPECT_FALSE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(Session.cancelled, 1);
    EXPECT_FALSE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
    EXPECT_EQ(Session.stripCount, 2u);
}

TEST_F(TwLink, MemoryBlockIsPrefilledEvenWithoutManager) {
    TwSessionState = TWAIN_TRANSFER_READY;
    TW_IMAGEMEMXFER block{};
    EXPECT_FALSE(TwSourceCall(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &block));
    EXPECT_EQ(block.Compression, TWON_DONTCARE16);
    EXPECT_EQ(+block.Columns, TWON_DONTCARE32);
    EXPECT_EQ(+block.BytesWritten, TWON_DONTCARE32);
    EXPECT_EQ(TwResultCode(), TWRC_FAILURE);
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
}

TEST_F(TwLink, NativeAndFileTransfer) {
    for (TW_UINT16 dat : {DAT_IMAGENATIVEXFER, DAT_IMAGEFILEXFER}) {
        Connect(TWAIN_TRANSFER_READY);
        Results = {TWRC_XFERDONE};
        EXPECT_TRUE(TwSourceCall(DG_IMAGE, dat, MSG_GET, nullptr));
        EXPECT_EQ(TwSessionState, 7);

        Connect(TWAIN_TRANSFER_READY);
        Results = {TWRC_CANCEL};
        EXPECT_FALSE(TwSourceCall(DG_IMAGE, dat, MSG_GET, nullptr));
        EXPECT_EQ(TwSessionState, 7);

        Results = {TWRC_FAILURE};
        EXPECT_FALSE(TwSourceCall(DG_IMAGE, dat, MSG_GET, nullptr));
        EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
    }
}

TEST_F(TwLink, ProcessEvent) {
    TW_EVENT event{};
    Connect(TWAIN_SOURCE_ENABLED);
    EventMessage = 0;
    Results = {TWRC_DSEVENT};
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event));
    EXPECT_EQ(TwSessionState, TWAIN_SOURCE_ENABLED);

    EventMessage = MSG_XFERREADY;
    Results = {TWRC_NOTDSEVENT};
    EXPECT_FALSE(TwSourceCall(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event));
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);

    Connect(TWAIN_SOURCE_ENABLED);
    Results = {TWRC_DSEVENT};
    EXPECT_TRUE(TwSourceCall(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event));
    EXPECT_EQ(TwSessionState, TWAIN_TRANSFER_READY);
}

TEST_F(TwLink, SourceCallWithoutOpenSourceStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Connect(3);
    EXPECT_DEATH(TwSourceCall(DG_CONTROL, DAT_STATUS, MSG_GET, nullptr),
                 "Assertion failed: nState >= TWAIN_SOURCE_OPEN, file TWLINK, line [0-9]+");
}

class TwLinkOpen : public TwLink {
  protected:
    void SetUp() override {
        TwLink::SetUp();
        messages = scratch.path + "/messages.txt";
        setenv("CORVANE_MESSAGE_FILE", messages.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("CORVANE_MESSAGE_FILE");
    }
    ScratchFolder scratch;
    std::string messages;
};

const char kNoProxy[] = "[warning] TWAIN Error\nTWLINK: Unable to create proxy window\n[end]\n";

TEST_F(TwLinkOpen, StaleWindowIsReportedAndOpenGoesOn) {
    Connect(TWAIN_SM_LOADED);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(TwOpenManager(reinterpret_cast<void *>(0x1234)));
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_NE(trace.find("TWLK:State 3\n"), std::string::npos) << trace;
    EXPECT_EQ(FileBytes(messages),
              std::string("[warning] TWAIN Error\nTWLINK: window handle is invalid\n[end]\n") +
                  kNoProxy);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].dest, nullptr);
    EXPECT_EQ(Calls[0].dat, DAT_PARENT);
    EXPECT_EQ(Calls[0].msg, MSG_OPENDSM);
    EXPECT_EQ(Calls[0].data, &Session.parentWindow);
    EXPECT_EQ(Session.parentWindow, nullptr);
    EXPECT_EQ(TwSessionState, 3);

    // Already open: nothing is sent again.
    EXPECT_TRUE(TwOpenManager(nullptr));
    EXPECT_EQ(Calls.size(), 1u);
}

TEST_F(TwLinkOpen, RefusedOpenStaysLoaded) {
    Connect(TWAIN_SM_LOADED);
    Results = {TWRC_FAILURE};
    EXPECT_FALSE(TwOpenManager(nullptr));
    EXPECT_EQ(FileBytes(messages), kNoProxy);
    EXPECT_EQ(TwSessionState, TWAIN_SM_LOADED);
    EXPECT_EQ(TwResultCode(), TWRC_FAILURE);
    // The retry opens without loading the library again.
    EXPECT_TRUE(TwOpenManager(nullptr));
    EXPECT_EQ(Calls.size(), 2u);
    EXPECT_EQ(TwSessionState, 3);
}

TEST_F(TwLinkOpen, MissingManagerFailsTheOpen) {
    setenv("CORVANE_WINDIR", scratch.path.c_str(), 1);
    Session.lastResult = TWRC_ENDOFLIST;
    EXPECT_FALSE(TwOpenManager(nullptr));
    unsetenv("CORVANE_WINDIR");
    EXPECT_EQ(TwSessionState, 1);
    EXPECT_EQ(TwResultCode(), TWRC_ENDOFLIST);
    EXPECT_EQ(Session.entry, nullptr);
    EXPECT_EQ(Session.module, nullptr);
}

TEST_F(TwLink, WindowsDirectoryTooLongCountsAsMissing) {
    // 200 does not fit the buffer at all; 120 fits, but not with the file name.
    for (size_t length : {200u, 120u, 115u}) {
        std::string folder = "/tmp/" + std::string(length - 5, 'w');
        setenv("CORVANE_WINDIR", folder.c_str(), 1);
        EXPECT_FALSE(TwLoadManager()) << length;
        EXPECT_EQ(TwSessionState, 1);
        EXPECT_EQ(Session.entry, nullptr);
    }
    unsetenv("CORVANE_WINDIR");
}

TEST_F(TwLink, ManagerFileTriedIsTheChosenOneByItsFullPathElseTheBuildsOwn) {
    std::string cwd = std::filesystem::current_path();
    std::string tooLong(kTwManagerPathSize, 'x');
    struct {
        const char *chosen;
        std::string tried;
    } cases[] = {
        {nullptr, "/opt/windows\\TWAIN_32.DLL"},
        {"", "/opt/windows\\TWAIN_32.DLL"},
        {"/opt/other/dsm.dll", "/opt/other/dsm.dll"},
        {"sub\\dsm.dll", cwd + "/sub\\dsm.dll"},
        {tooLong.c_str(), ""}, // not loadable, and no stand-in either
    };
    setenv("CORVANE_WINDIR", "/opt/windows", 1);
    for (const auto &c : cases) {
        TwResetForTest();
        TwSetManagerPath(c.chosen);
        EXPECT_FALSE(TwLoadManager()) << c.tried;
        EXPECT_EQ(TwManagerPath(), c.tried);
        EXPECT_EQ(TwSessionState, 1);
    }
    unsetenv("CORVANE_WINDIR");

    // Once loaded, the file stays what it was.
    TwSetManagerPath("/opt/other/dsm.dll");
    Connect(TWAIN_SM_LOADED);
    TwSetManagerPath(nullptr);
    EXPECT_EQ(TwManagerPath(), std::string("/opt/other/dsm.dll"));
}

TEST_F(TwLink, FailedLoadSaysWhy) {
    ScratchFolder scratch;
    std::string text = scratch.path + "/text.dll";
    WriteBytes(text, "no module");
    std::string missing = scratch.path + "/missing.dll";
    const struct {
        const char *chosen;
        int32_t failure;
    } cases[] = {
        {missing.c_str(), kTwManagerNotFound},
        {text.c_str(), kTwManagerNotLoaded},
        {nullptr, kTwManagerNotFound}, // the build's own, in a folder without it
    };
    setenv("CORVANE_WINDIR", scratch.path.c_str(), 1);
    for (const auto &c : cases) {
        TwResetForTest();
        TwSetManagerPath(c.chosen);
        EXPECT_FALSE(TwLoadManager());
        EXPECT_EQ(Session.loadFailure, c.failure) << TwManagerPath();
        if (c.failure == kTwManagerNotLoaded) {
            EXPECT_NE(Session.loadError, 0u);
        }
    }
    unsetenv("CORVANE_WINDIR");
}

} // namespace
