// Every user's default (-all) in the POSIX layer's registry trees: which
// profiles are reached and how, the write into a hive loaded and unloaded
// again, and what the system's refusals become.
#include "commands/commands.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/profiles.h"
#include "support/variables.h"

#include "scratch.h"

namespace {

namespace fs = std::filesystem;

constexpr char kList[] = "/SOFTWARE/Microsoft/Windows NT/CurrentVersion/ProfileList/";
constexpr char kOld[] = "C:\\old.ds";

// Shapes: L logged on, D NTUSER.DAT, M NTUSER.MAN, R roaming, B its hive loaded
// elsewhere, U its unloading refused five times (every try). Lines follow
// "key|folder|"; null for a key that is no user's. "Default" is the Default profile.
struct Row {
    const char *key, *shape, *set, *reported;
    bool written;
};
const Row kRows[] = {
    {"S-1-12-1-7-1005", "DR",
     "loaded|C:\\old.ds|{src}|roaming profile: its server copy may replace this at the next logon",
     "loaded|{src}|no such source|", true},
    {"S-1-5-18", "D", nullptr, nullptr, false},
    {"S-1-5-21-7-1001", "L", "logged on|C:\\old.ds|{src}|", "logged on|{src}|no such source|",
     true},
    {"S-1-5-21-7-1002", "D", "loaded|C:\\old.ds|{src}|", "loaded|{src}|no such source|", true},
    {"S-1-5-21-7-1002.bak", "D", nullptr, nullptr, false},
    {"S-1-5-21-7-1003", "", "skipped|||no NTUSER.DAT in the profile folder",
     "skipped||no NTUSER.DAT in the profile folder|", false},
    {"S-1-5-21-7-1004", "DM", "skipped|||mandatory profile (NTUSER.MAN): left alone",
     "skipped||mandatory profile (NTUSER.MAN): left alone|", false},
    {"S-1-5-21-7-1006", "DB",
     "skipped|||the hive could not be loaded: Device or resource busy (error 16)",
     "skipped||the hive could not be loaded: Device or resource busy (error 16)|", false},
    {"S-1-5-21-7-1007", "DU",
     "skipped|C:\\old.ds|{src}|HKEY_USERS\\{hive} could not be unloaded (the next -all run "
     "unloads it): Device or resource busy (error 16)",
     "loaded|{src}|no such source|", true},
    {"Default", "D", "loaded|C:\\old.ds|{src}|", "loaded|{src}|no such source|", true},
};

void Put(const std::string &file, const std::string &text) {
    fs::create_directories(fs::path(file).parent_path());
    WriteBytes(file, text + '\0');
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    return text;
}

// The names of the hives this program holds loaded.
std::string OwnHives(const std::string &users) {
    std::string names;
    for (const auto &entry : fs::directory_iterator(users))
        if (entry.path().filename().string().rfind("Corvane.", 0) == 0)
            names += entry.path().filename().string();
    return names;
}

TEST(AllUsers, EveryProfileIsReachedOrNamed) {
    ScratchFolder scratch;
    std::string reg = scratch.path + "/reg", users = scratch.path + "/users";
    std::string src = scratch.path + "/ds/flatbed.ds", out = scratch.path + "/out.txt";
    setenv("CORVANE_REGISTRY_ROOT", reg.c_str(), 1);
    setenv("CORVANE_TEST_USERS", users.c_str(), 1);
    fs::create_directories(scratch.path + "/ds");
    VarSet("ds_dir", (scratch.path + "/ds").c_str());
    VarSet("ds_reg_dir", "Software\\TWAIN");
    VarSet("ds_reg_name", "Default Source");
    Put(reg + ".machine" + kList + "ProfilesDirectory", "%CORVANE_TEST_USERS%");
    fs::create_directories(reg + ".users");
    std::string set, reported;
    for (const Row &row : kRows) {
        std::string folder = users + "/" + row.key, shape = row.shape;
        std::string key = reg + ".machine" + kList + row.key + "/";
        if (shape.find('D') != std::string::npos)
            Put(folder + "/NTUSER.DAT/Software/TWAIN/Default Source", kOld);
        if (shape.find('L') != std::string::npos)
            Put(reg + ".users/" + row.key + "/Software/TWAIN/Default Source", kOld);
        if (shape.find('M') != std::string::npos)
            Put(folder + "/NTUSER.MAN", "");
        if (shape.find('R') != std::string::npos)
            Put(key + "CentralProfile", "\\\\server\\profiles\\user");
        if (shape.find('B') != std::string::npos)
            fs::create_directory_symlink(folder + "/NTUSER.DAT", reg + ".users/Elsewhere");
        if (shape.find('U') != std::string::npos)
            OsSetUnloadRefusalsForTest(folder.c_str(), 5);
        if (std::string(row.key) != "Default")
            Put(key + "ProfileImagePath", "%CORVANE_TEST_USERS%\\" + std::string(row.key));
        std::string head = std::string(row.key) + "|" + users + "\\" + row.key + "|";
        set += row.set ? head + row.set + "\n" : "";
        reported += row.reported ? head + row.reported + "\n" : "";
    }

    OsSetHivePrivilegesForTest(true);
    EXPECT_EQ(AllUsersVisit(src.c_str(), out.c_str(), out.c_str()), 2);
    std::string hive = OwnHives(reg + ".users");
    EXPECT_EQ(FileBytes(out), Replace(Replace(set, "{src}", src), "{hive}", hive));
    for (const Row &row : kRows) {
        std::string loggedOn = reg + ".users/" + row.key, folder = users + "/" + row.key;
        std::string hiveFile = fs::exists(loggedOn) ? loggedOn : folder + "/NTUSER.DAT";
        if (fs::exists(hiveFile)) {
            EXPECT_EQ(FileBytes(hiveFile + "/Software/TWAIN/Default Source"),
                      (row.written ? src : kOld) + '\0')
                << row.key;
        }
    }
    EXPECT_FALSE(fs::exists(reg + ".machine/SOFTWARE/Halvorquin")); // not every profile

    // A run that was killed left its hive loaded: the next -all run unloads it.
    fs::rename(reg + ".users/" + hive, reg + ".users/Corvane.999999999.8");
    EXPECT_EQ(AllUsersGetDefault(out.c_str()), 2);
    EXPECT_EQ(FileBytes(out), Replace(reported, "{src}", src));
    EXPECT_EQ(OwnHives(reg + ".users"), "");

    // Every profile reached: the machine's record for detection rules.
    for (const char *skipped : {"S-1-5-21-7-1003", "S-1-5-21-7-1004", "S-1-5-21-7-1006"})
        fs::remove_all(reg + ".machine" + kList + skipped);
    EXPECT_EQ(AllUsersVisit(src.c_str(), out.c_str(), out.c_str()), 0);
    EXPECT_EQ(FileBytes(reg + ".machine/SOFTWARE/Halvorquin/Corvane/AllUsersDefault"), src + '\0');

    OsSetHivePrivilegesForTest(false);
    EXPECT_EXIT(AllUsersGetDefault(out.c_str()), testing::ExitedWithCode(1),
                "-all needs administrator rights");
    unsetenv("CORVANE_REGISTRY_ROOT");
}

} // namespace
