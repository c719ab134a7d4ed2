// The machine a module was built for and the DLLs it imports, from its PE
// header, and what the check makes of them.
#include "support/peheader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "catalogue/catalogue.h"
#include "platform/system.h"

#include "images.h"
#include "scratch.h"

TEST(PeHeader, MachineOrWhyThereIsNone) {
    const struct {
        const char *what;
        std::string bytes;
        int32_t machine;
    } cases[] = {
        {"x86", Module(0x80, 0x14C), 0x14C},
        {"x64", Module(0x100, 0x8664), 0x8664},
        {"arm64", Module(0x40, 0xAA64), 0xAA64},
        {"empty", "", kMachineNoModule},
        {"text", "hello, this is no module at all, just some words to fill 64 bytes",
         kMachineNoModule},
        {"no PE signature", Module(0x80, 0x14C, "NE"), kMachineNoModule},
        {"cut short", Module(0x80, 0x14C).substr(0, 0x84), kMachineNoModule},
        {"offset past the end", Module(0x80, 0x14C).substr(0, 0x40) + std::string(4, '\xFF'),
         kMachineNoModule},
    };
    ScratchFolder scratch;
    for (const auto &c : cases) {
        std::string path = scratch.path + "/module.ds";
        WriteBytes(path, c.bytes);
        EXPECT_EQ(ModuleMachine(path.c_str()), c.machine) << c.what;
    }
    EXPECT_EQ(ModuleMachine((scratch.path + "/missing.ds").c_str()), kMachineUnread);
}

TEST(PeHeader, ImportedDllsOrNoneOfADamagedImage) {
    const std::vector<std::string> two = {"KERNEL32.dll", "libsane-1.dll"};
    std::string unended = Importing(false, two).replace(0x320, 0xE0, std::string(0xE0, 'x'));
    const struct {
        const char *what;
        std::string bytes;
        std::vector<std::string> names;
    } cases[] = {
        {"PE32", Importing(false, two), two},
        {"PE32+", Importing(true, two), two},
        {"each name once", Importing(true, {"a.dll", "A.DLL"}), {"a.dll"}},
        {"a name that never ends", unended, {"KERNEL32.dll"}},
        {"section cut short", Importing(true, two).substr(0, 0x210), {}},
        {"headers cut short", Importing(true, two).substr(0, 0xA0), {}},
    };
    ScratchFolder scratch;
    for (const auto &c : cases) {
        WriteBytes(scratch.path + "/module.ds", c.bytes);
        StringList list = ModuleImports((scratch.path + "/module.ds").c_str());
        EXPECT_EQ(std::vector<std::string>(list, list + ListCount(list)), c.names) << c.what;
        ListFreeItems(list);
        free(list);
    }
}

// DS_Entry by name, else the function of ordinal 1, as GetProcAddress finds them.
TEST(PeHeader, EntryExportedByNameOrOrdinal) {
    const std::tuple<std::string, uint32_t, bool> cases[] = {
        {Exporting(1, {0x1000, 0x1010}, {"Other", "DS_Entry"}), 0, true},
        {Exporting(1, {0x1000}, {}), 1, true},
        {Exporting(2, {0x1000}, {}), 1, false},                  // below the base
        {Exporting(1, {0}, {"DS_Entry"}), 1, false},             // no address
        {Exporting(1, {0x1000}, {"ds_entry"}), 0, false},        // letter case
        {Exporting(1, {0x1000}, {}).substr(0, 0x230), 1, false}, // cut short
    };
    ScratchFolder scratch;
    for (const auto &[bytes, ordinal, exported] : cases) {
        WriteBytes(scratch.path + "/module.ds", bytes);
        EXPECT_EQ(ModuleExports((scratch.path + "/module.ds").c_str(), "DS_Entry", ordinal),
                  exported);
    }
}

// The check's diagnosis of a module that needs a missing DLL: each DLL the
// loader would not find while the source's folder is the working folder, or
// finds and cannot load, through the vendor's own DLLs. (Natively a backslash
// is part of a name: "bin\\x.dll" is x.dll in the PATH folder bin.)
TEST(PeHeader, MissingDllsAreLookedForWhereTheLoaderLooks) {
    const std::string nowhere = "needs vhelper.dll, which is not found (error 8)";
    const std::string there = "Exec format error (error 8); the file is there, but a DLL it needs "
                              "is missing";
    const std::string own = Importing(false, {}), other = Importing(true, {});
    const std::string cut = own.substr(0, 0x200);
    auto chain = [](const char *name, const char *next) {
        return std::make_pair(std::string("vendor\\") + name, Importing(false, {next}));
    };
    const struct {
        const char *what;
        std::vector<std::pair<std::string, std::string>> files;
        std::string said;
        unsigned error = OsErrorModuleNotFound;
    } cases[] = {
        {"beside the source", {{"vendor\\vhelper.dll", own}}, there},
        {"nowhere", {{"elsewhere.dll", own}}, nowhere},
        {"beside it, its own import nowhere",
         {chain("vhelper.dll", "vcore.dll")},
         "needs vcore.dll (for vhelper.dll), which is not found (error 8)"},
        {"in the program's working folder only", {{"work/.\\vhelper.dll", own}}, nowhere},
        {"beside it, built for the other machine",
         {{"vendor\\vhelper.dll", other}},
         "vhelper.dll, beside the source, is built for 64-bit Windows (error 8)"},
        {"the same, as a bad format",
         {{"vendor\\vhelper.dll", other}},
         "vhelper.dll, beside the source, is built for 64-bit Windows (error 80)",
         OsErrorBadFormat},
        {"built for the other machine, on PATH only",
         {{"bin\\vhelper.dll", other}},
         "vhelper.dll, in the PATH folder {scratch}/bin, is built for 64-bit Windows (error 8)"},
        {"passed over for its own on PATH",
         {{"vendor\\vhelper.dll", other}, {"bin\\vhelper.dll", own}},
         there},
        {"cut short beside it, where the search stops",
         {{"vendor\\vhelper.dll", cut}, {"bin\\vhelper.dll", own}},
         "vhelper.dll, beside the source, is not a valid Windows module (error 8)"},
        {"one of its own imports missing, another built for the other machine",
         {{"vendor\\vhelper.dll", Importing(false, {"vcore.dll", "vmore.dll"})},
          {"vendor\\vcore.dll", other}},
         "needs vmore.dll (for vhelper.dll), which is not found; vcore.dll (for vhelper.dll), "
         "beside the source, is built for 64-bit Windows (error 8)"},
        {"four of the vendor's deep",
         {chain("vhelper.dll", "v2.dll"), chain("v2.dll", "v3.dll"), chain("v3.dll", "v4.dll"),
          chain("v4.dll", "v5.dll")},
         "needs v5.dll (for v4.dll), which is not found (error 8)"},
        {"API sets, the runtime's not resolved",
         {{"vendor\\vhelper.dll", Importing(false, {"api-ms-win-core-file-l1-1-0.dll",
                                                    "api-ms-win-crt-heap-l1-1-0.dll"})}},
         "needs api-ms-win-crt-heap-l1-1-0.dll (for vhelper.dll), which is not found (error 8); "
         "install the Universal C Runtime (the Windows update, or the vendor's Visual C++ "
         "runtime)"},
    };
    std::string cwd = std::filesystem::current_path();
    const char *path = getenv("PATH");
    std::string savedPath = path ? path : "";
    for (const auto &c : cases) {
        ScratchFolder scratch;
        std::filesystem::create_directory(scratch.path + "/work");
        std::string source = scratch.path + "/vendor\\source.ds";
        WriteBytes(source, Importing(false, {"vhelper.dll"}));
        for (const auto &file : c.files)
            WriteBytes(scratch.path + "/" + file.first, file.second);
        setenv("PATH", (scratch.path + "/bin").c_str(), 1);
        std::filesystem::current_path(scratch.path + "/work");
        char said[kNotLoadedSize];
        NotLoadedText(said, sizeof said, source.c_str(), c.error, nullptr);
        std::filesystem::current_path(cwd);
        std::string expected = c.said;
        // A DLL named keeps it out in every process: it is not asked again.
        EXPECT_EQ(DllsKeepOut(source.c_str()), expected != there) << c.what;
        if (size_t at = expected.find("{scratch}"); at != std::string::npos)
            expected.replace(at, 9, scratch.path);
        EXPECT_EQ(said, expected) << c.what;
    }
    setenv("PATH", savedPath.c_str(), 1);
}
