// Every user's default (-all) in the POSIX layer's registry trees: which
// profiles are reached and how, the write into a hive loaded and unloaded
// again, what the system's refusals become, the machine's record, Active
// Setup, and hives left by runs that ended.
#include "commands/commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "app/program.h"
#include "platform/profiles.h"
#include "support/variables.h"

#include "images.h"
#include "scratch.h"

namespace {

namespace fs = std::filesystem;

constexpr char kList[] = "/SOFTWARE/Microsoft/Windows NT/CurrentVersion/ProfileList/";
constexpr char kOld[] = "C:\\old.ds";

// Shapes: L logged on, D NTUSER.DAT, N an NTUSER.DAT that is no hive, M
// NTUSER.MAN, R roaming, B its hive loaded elsewhere, U its unloading refused
// at every try, G no folder, E no folder named, K a default of this program's
// kind stored; state is the list's State. Lines follow "key|folder|"; null for
// a key that is no user's. "Default" is the Default profile.
struct Row {
    const char *key, *shape;
    unsigned state;
    const char *set, *reported;
};
const Row kRows[] = {
    {"S-1-12-1-7-1005", "DR", 0,
     "loaded|C:\\old.ds|{src}|roaming profile: its server copy may replace this at the next logon",
     "loaded|{src}|no such source|"},
    {"S-1-5-18", "D", 0, nullptr, nullptr},
    // Logged on, its folder holding the hive file that is loaded.
    {"S-1-5-21-7-1001", "LD", 0, "logged on|C:\\old.ds|{src}|", "logged on|{src}|no such source|"},
    {"S-1-5-21-7-1002", "D", 0, "loaded|C:\\old.ds|{src}|", "loaded|{src}|no such source|"},
    {"S-1-5-21-7-1002.bak", "D", 0, nullptr, nullptr},
    {"S-1-5-21-7-1003", "", 0, "passed over|||no NTUSER.DAT in the profile folder",
     "passed over||no NTUSER.DAT in the profile folder|"},
    {"S-1-5-21-7-1004", "DM", 0,
     "passed over|||mandatory profile: Windows restores it at every sign-in",
     "passed over||mandatory profile: Windows restores it at every sign-in|"},
    {"S-1-5-21-7-1006", "DB", 0,
     "skipped|||the hive could not be loaded: Device or resource busy (error 16)",
     "skipped||the hive could not be loaded: Device or resource busy (error 16)|"},
    {"S-1-5-21-7-1007", "DU", 0,
     "skipped|C:\\old.ds|{src}|HKEY_USERS\\{hive} could not be unloaded (the next -all run "
     "unloads it): Device or resource busy (error 16)",
     "loaded|{src}|no such source|"},
    {"S-1-5-21-7-1008", "D", kProfileTemporary,
     "passed over|||temporary profile: Windows deletes it at sign-out; the user's own profile is "
     "S-1-5-21-7-1008.bak",
     "passed over||temporary profile: Windows deletes it at sign-out; the user's own profile is "
     "S-1-5-21-7-1008.bak|"},
    {"S-1-5-21-7-1008.bak", "D", 0,
     "loaded|C:\\old.ds|{src}|the user's own profile, for which a temporary one stands in: "
     "written offline",
     "loaded|{src}|the user's own profile, for which a temporary one stands in: read offline|"},
    {"S-1-5-21-7-1009", "D", kProfileMandatory,
     "passed over|||mandatory profile: Windows restores it at every sign-in",
     "passed over||mandatory profile: Windows restores it at every sign-in|"},
    {"S-1-5-21-7-1010", "G", 0, "passed over|||the profile folder does not exist",
     "passed over||the profile folder does not exist|"},
    {"S-1-5-21-7-1011", "N", 0,
     "passed over|||NTUSER.DAT is no registry hive: Exec format error (error 8)",
     "passed over||NTUSER.DAT is no registry hive: Exec format error (error 8)|"},
    {"S-1-5-21-7-1012", "E", 0, "passed over|||the profile list names no folder for it",
     "passed over||the profile list names no folder for it|"},
    {"S-1-5-21-7-1013", "DK", 0, "loaded|{own}|{own}|kept: the user's own choice",
     "loaded|{own}|no such source|"},
    {"Default", "D", 0, "loaded|C:\\old.ds|{src}|", "loaded|{src}|no such source|"},
};

void Put(const std::string &file, const std::string &text) {
    fs::create_directories(fs::path(file).parent_path());
    WriteBytes(file, text);
}

std::string Replace(std::string text, const std::string &from, const std::string &to) {
    for (size_t at; (at = text.find(from)) != std::string::npos;)
        text.replace(at, from.size(), to);
    return text;
}

// The names of the hives this program holds loaded, but one.
std::string OwnHives(const std::string &users, const std::string &but) {
    std::string names;
    for (const auto &entry : fs::directory_iterator(users)) {
        std::string name = entry.path().filename().string();
        names += name.rfind("Corvane.", 0) == 0 && name != but ? name : "";
    }
    return names;
}

// A data source of this program's kind as its headers tell: x86, DS_Entry.
void PutModule(const std::string &path) {
    Put(path, Exporting(1, {0x1000}, {"DS_Entry"}));
}

struct Fixture {
    ScratchFolder scratch;
    std::string reg = scratch.path + "/reg", users = scratch.path + "/users";
    std::string src = scratch.path + "/ds/flatbed.ds", own = scratch.path + "/ds/own.ds";
    std::string out = scratch.path + "/out.txt";
    std::string set, reported;
    Fixture() {
        setenv("CORVANE_REGISTRY_ROOT", reg.c_str(), 1);
        setenv("CORVANE_TEST_USERS", users.c_str(), 1);
        PutModule(own);
        VarSet("ds_dir", (scratch.path + "/ds").c_str());
        VarSet("ds_reg_dir", "Software\\TWAIN");
        VarSet("ds_reg_name", "Default Source");
        Put(reg + ".machine" + kList + "ProfilesDirectory", "%CORVANE_TEST_USERS%");
        fs::create_directories(reg + ".users");
        for (const Row &row : kRows)
            Add(row);
    }
    ~Fixture() {
        unsetenv("CORVANE_REGISTRY_ROOT");
        OsSetUnloadRefusalsForTest(nullptr, 0);
        Selecting = SelectMode();
    }
    void Add(const Row &row) {
        std::string folder = users + "/" + row.key, shape = row.shape;
        std::string key = reg + ".machine" + kList + row.key + "/";
        auto has = [&](char c) { return shape.find(c) != std::string::npos; };
        std::string stored = std::string(has('K') ? own : kOld) + '\0';
        if (has('D'))
            Put(folder + "/NTUSER.DAT/Software/TWAIN/Default Source", stored);
        if (has('L'))
            fs::create_directory_symlink(folder + "/NTUSER.DAT", reg + ".users/" + row.key);
        if (has('N'))
            Put(folder + "/NTUSER.DAT", "regf");
        if (has('M'))
            Put(folder + "/NTUSER.MAN", "");
        if (has('R'))
            Put(key + "CentralProfile", std::string("\\\\server\\profiles\\user") + '\0');
        if (has('B'))
            fs::create_directory_symlink(folder + "/NTUSER.DAT", reg + ".users/Elsewhere");
        if (has('U'))
            OsSetUnloadRefusalsForTest(folder.c_str(), 8);
        if (!has('G') && !has('E'))
            fs::create_directories(folder);
        if (row.state)
            Put(key + "State", std::string(reinterpret_cast<const char *>(&row.state), 4));
        if (std::string(row.key) != "Default")
            Put(key + "ProfileImagePath",
                (has('E') ? std::string() : "%CORVANE_TEST_USERS%\\" + std::string(row.key)) +
                    '\0');
        std::string head =
            std::string(row.key) + "|" + (has('E') ? "" : users + "\\" + row.key) + "|";
        set += row.set ? head + row.set + "\n" : "";
        reported += row.reported ? head + row.reported + "\n" : "";
    }
    std::string Stored(const Row &row) {
        std::string loggedOn = reg + ".users/" + row.key, folder = users + "/" + row.key;
        std::string file = (fs::exists(loggedOn) ? loggedOn : folder + "/NTUSER.DAT") +
                           "/Software/TWAIN/Default Source";
        return fs::exists(file) ? FileBytes(file) : "none";
    }
    std::string Report() {
        return std::regex_replace(FileBytes(out), std::regex("version [0-9,]+"), "version V");
    }
};

TEST(AllUsers, EveryProfileIsReachedOrNamed) {
    Fixture f;
    std::string machine = f.reg + ".machine/SOFTWARE/", setup = "Active Setup|HKEY_LOCAL_MACHINE\\"
                                                                "SOFTWARE\\Microsoft\\Active Setup"
                                                                "\\Installed Components\\"
                                                                "Halvorquin.Corvane|";
    std::string record = "Record|HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorquin\\Corvane|";
    // Hives that earlier runs left: one of a run that ended long ago (named as
    // an earlier version did), one of a run going on (this test's parent) and
    // one of a run that had the same id but began at another time.
    uint64_t parent = OsProcessAt(getppid()).stamp;
    char alive[64], reused[64];
    snprintf(alive, sizeof alive, "Corvane.%d.%016llX.3", getppid(),
             static_cast<unsigned long long>(parent));
    snprintf(reused, sizeof reused, "Corvane.%d.%016llX.4", getppid(),
             static_cast<unsigned long long>(parent + 1));
    for (const char *name :
         {"Corvane.0.8", static_cast<const char *>(alive), static_cast<const char *>(reused)})
        fs::create_directory_symlink(f.scratch.path, f.reg + ".users/" + name);

    // With -keep and -atlogon: the hive whose unloading is refused is tried for
    // about ten seconds; two profiles are not reached, so nothing is recorded.
    OsSetHivePrivilegesForTest(true);
    Selecting = {true, true};
    unsigned paused = 0;
    OsSetPausesForTest(&paused);
    EXPECT_EQ(AllUsersVisit(kAllSet, f.src.c_str(), f.out.c_str(), f.out.c_str()), 2);
    OsSetPausesForTest(nullptr);
    EXPECT_EQ(paused, 10000u);
    EXPECT_TRUE(fs::is_symlink(f.reg + ".users/" + alive));
    std::string held = OwnHives(f.reg + ".users", alive);
    std::string stale = "||unloaded|||left loaded by a run that ended: unloaded\n";
    EXPECT_EQ(f.Report(),
              "HKEY_USERS\\Corvane.0.8" + stale + "HKEY_USERS\\" + reused + stale +
                  Replace(Replace(Replace(f.set, "{src}", f.src), "{hive}", held), "{own}", f.own) +
                  setup + "registered||" + f.src +
                  "|version V: sets it at each user's next sign-in\n" + record +
                  "none|||left as it was: not every profile was reached\n");
    for (const Row &row : kRows) {
        std::string shape = row.shape;
        bool written = row.set && (std::string(row.set).find("|{src}|") != std::string::npos);
        EXPECT_EQ(f.Stored(row), shape.find('D') == std::string::npos   ? "none"
                                 : written                              ? f.src + '\0'
                                 : shape.find('K') != std::string::npos ? f.own + '\0'
                                                                        : std::string(kOld) + '\0')
            << row.key;
    }
    EXPECT_EQ(FileBytes(machine + "Microsoft/Active Setup/Installed Components/Halvorquin.Corvane/"
                                  "StubPath"),
              "\"" + fs::read_symlink("/proc/self/exe").string() + "\" -keep -logon \"" + f.src +
                  "\"" + '\0');
    EXPECT_FALSE(fs::exists(machine + "Halvorquin"));

    // The next run unloads the hive a run that ended left, and reports.
    Selecting = SelectMode();
    fs::rename(f.reg + ".users/" + held, f.reg + ".users/Corvane.999999999.8");
    EXPECT_EQ(AllUsersGetDefault(f.out.c_str()), 2);
    EXPECT_EQ(f.Report(),
              "HKEY_USERS\\Corvane.999999999.8||unloaded||left loaded by a run that ended: "
              "unloaded|\n" +
                  Replace(Replace(f.reported, "{src}", f.src), "{own}", f.own) + setup +
                  "registered|" + f.src + "|version V: runs \"" +
                  fs::read_symlink("/proc/self/exe").string() + "\" -keep -logon \"" + f.src +
                  "\"|\n" + record + "none|||\n");
    EXPECT_EQ(OwnHives(f.reg + ".users", alive), "");
    EXPECT_TRUE(fs::is_symlink(f.reg + ".users/" + alive));

    // Every profile that can be reached is: the machine's record, with when
    // and by which version, whatever was passed over.
    for (const char *refused : {"S-1-5-21-7-1006", "S-1-5-21-7-1007"})
        fs::remove_all(f.reg + ".machine" + kList + refused);
    Selecting = {false, true};
    EXPECT_EQ(AllUsersVisit(kAllSet, f.src.c_str(), f.out.c_str(), f.out.c_str()), 0);
    EXPECT_EQ(FileBytes(machine + "Halvorquin/Corvane/AllUsersDefault"), f.src + '\0');
    EXPECT_EQ(FileBytes(machine + "Halvorquin/Corvane/AllUsersDefaultVersion"),
              std::string(ProgramVersion) + '\0');
    EXPECT_TRUE(fs::exists(machine + "Halvorquin/Corvane/AllUsersDefaultWritten"));

    // Undone: every value, the record and the component are gone.
    EXPECT_EQ(AllUsersRemove(f.out.c_str()), 0);
    for (const Row &row : kRows) {
        std::string reached = row.set ? std::string(row.set).substr(0, 6) : "";
        if (reached == "loaded" || reached == "logged") {
            EXPECT_EQ(f.Stored(row), "none") << row.key;
        }
    }
    EXPECT_EQ(FileBytes(f.out).substr(FileBytes(f.out).rfind("\nActive Setup") + 1),
              setup + "removed|" + f.src + "||\n" + record + "removed|" + f.src + "||\n");
    EXPECT_FALSE(fs::exists(machine + "Halvorquin/Corvane/AllUsersDefault"));
    EXPECT_FALSE(fs::exists(machine + "Microsoft/Active Setup/Installed Components/"
                                      "Halvorquin.Corvane"));

    OsSetHivePrivilegesForTest(false);
    EXPECT_EXIT(AllUsersGetDefault(f.out.c_str()), testing::ExitedWithCode(1),
                "-all needs administrator rights");
}

// A program run at every user's sign-in must be one only administrators can
// change, and must stay where it is.
TEST(AllUsers, SignInRunsOnlyWhatAdministratorsKeep) {
    ScratchFolder scratch;
    std::string kept = scratch.path + "/Program Files/Corvane", temp = scratch.path + "/Temp";
    fs::create_directories(kept);
    fs::create_directories(temp);
    chmod(scratch.path.c_str(), 0755);
    Put(kept + "/Corvane.exe", "");
    chmod((kept + "/Corvane.exe").c_str(), 0755);
    Put(temp + "/Corvane.exe", "");
    setenv("TEMP", temp.c_str(), 1);
    char why[700];
    EXPECT_FALSE(SignInRefusal((kept + "/Corvane.exe").c_str(), false, why, sizeof why)) << why;
    EXPECT_TRUE(SignInRefusal((temp + "/Corvane.exe").c_str(), false, why, sizeof why));
    EXPECT_EQ(why, "it is in the temporary folder " + temp);
    chmod(kept.c_str(), 0777);
    EXPECT_TRUE(SignInRefusal((kept + "/Corvane.exe").c_str(), false, why, sizeof why));
    EXPECT_STREQ(why, "accounts other than the administrators may change it or its folder");
    unsetenv("TEMP");
}

} // namespace
