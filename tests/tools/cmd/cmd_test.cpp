// cmd as the engine starts it, on a simulated machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fat_volume_probe.h"
#include "larkin/platform.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using namespace larkin::test;
using CmdRun = CommandRun;

// Runs cmd with arguments (a shell-quoted text) and input on its standard
// input (nullptr: none at all), in the machine the platform runs on; its
// standard output comes first, then its standard error.
CmdRun RunCmd(const std::string& arguments, const char* input = "\n",
              const std::string& environment = "") {
    static TempFolder folder;
    auto in = folder.path() / "in.txt", err = folder.path() / "err.txt";
    if (input) std::ofstream(in) << input;
    return RunCommand(environment + " '" LARKIN_CMD "' " + arguments + " <" +
                      (input ? Quoted(in.string()) : std::string("/dev/null")) + " 2>" +
                      Quoted(err.string()) + "; status=$?; cat " + Quoted(err.string()) +
                      "; exit $status");
}

class CmdTest : public ::testing::Test {
  protected:
    CmdTest() { larkin::controls::ClearJournal(); }
    TestMachine machine_{MachineText("tools-two-sticks")};
};

// The Windows command line comes whole from the platform when set.
TEST_F(CmdTest, FormatAndMkdosfsMakeTheVolumeAsked) {
    const std::string e = "stick1 32256+41910784 via mkfs.fat\n",
                      f = "stick2 16384+8372224 via mkfs.fat\n";
    struct Case {
        std::string arguments;
        const char* input;
        std::string environment;
        int code;
        std::vector<std::string> says;
        const char* drive;
        std::string summary, journal;
    };
    // clang-format off
    for (const Case& c : std::vector<Case>{
             {"/c format E: /Q /V:FreeDOS /FS:FAT", "\n", "", 0,
              {"Insert new disk for drive E:\nand press ENTER when ready...", "QuickFormatting 39M\n",
               "Format complete.\n", "    1,024 bytes in each allocation unit.", "16 bits in each FAT entry."},
              "E:", "FAT16   |FREEDOS    |63|255/63|80|81857|clean", e},
             {"/c format F: /Q /V:FreeDOS /FS:FAT", nullptr, "", 4, {"and press ENTER when ready..."}, "F:", "", ""},
             {"", "\n", "LARKIN_COMMAND_LINE='cmd /c format F: /Q /V:FreeDOS /FS:FAT'", 0,
              {"12 bits in each FAT entry."}, "F:", "FAT12   |FREEDOS    |32|64/32|80|16352|clean", f},
             {"/c format F: /Q", "\nBAD.LABEL\nboot disk\n", "", 0, {"Invalid characters in volume label"},
              "F:", "FAT12   |BOOT DISK  |32|64/32|80|16352|clean", f + "stick2 16384+8372224 via mlabel\n"},
             {"/c mkdosfs -F 32 -n Tolmar E:", nullptr, "", 0, {"mkfs.fat"},
              "E:", "FAT32   |Tolmar     |63|255/63|80|81837|clean", e},
         }) {
        // clang-format on
        SCOPED_TRACE(c.environment + c.arguments);
        larkin::controls::ClearJournal();
        CmdRun run = RunCmd(c.arguments, c.input, c.environment);
        EXPECT_EQ(run.exitCode, c.code) << run.output;
        for (const std::string& said : c.says)
            EXPECT_NE(run.output.find(said), std::string::npos) << said << "\n" << run.output;
        if (!c.summary.empty()) {
            EXPECT_EQ(VolumeSummary(c.drive), c.summary);
        }
        EXPECT_EQ(JournalText(), c.journal);
    }
}

// Folders stay behind; from one volume on to another as the engine copies
// from A:.
TEST_F(CmdTest, CopyTakesTheFilesOfAFolderNotItsSubFolders) {
    ASSERT_EQ(RunCmd("/c format E: /Q /V:BOOT /FS:FAT").exitCode, 0);
    ASSERT_EQ(RunCmd("/c format F: /Q /V:OTHER /FS:FAT").exitCode, 0);
    TempFolder source;
    std::filesystem::create_directories(source.path() / "SUB");
    for (const char* name : {"KERNEL.SYS", "COMMAND.COM", "SUB/INNER.TXT"})
        std::ofstream(source.path() / name) << name;
    larkin::controls::ClearJournal();
    const std::string folder = source.path().string() + "\\";
    for (const auto& [from, to] : {std::pair{folder, "E:"}, {std::string("E:\\"), "F:"}}) {
        CmdRun run = RunCmd("/c copy '" + from + "*.*' " + to);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output,
                  from + "COMMAND.COM\n" + from + "KERNEL.SYS\n        2 file(s) copied.\n");
    }
    EXPECT_EQ(JournalText(), "stick1 32256+41910784 via mcopy\nstick2 16384+8372224 via mcopy\n");
}

TEST_F(CmdTest, WrongLinesGetTheToolsWordsAndWriteNothing) {
    ASSERT_EQ(RunCmd("/c format F: /Q /V:SMALL /FS:FAT").exitCode, 0);
    TempFolder source, empty, big;
    std::ofstream(source.path() / "A.BIN") << "a";
    std::filesystem::create_directories(empty.path() / "SUB");
    std::ofstream(empty.path() / "SUB" / "B.BIN") << "b";
    std::ofstream(big.path() / "BIG.BIN") << std::string(9 << 20, 'x');
    std::string files = "'" + source.path().string() + "\\*.*'";
    larkin::controls::ClearJournal();

    const std::tuple<std::string, int, std::string> cases[] = {
        {"/c format", 1, "Required parameter missing -\n"},
        {"/c format Q: /Q", 4, "Invalid drive specification.\n"},
        {"/c format E /Q", 4, "Invalid drive specification.\n"},
        {"/c format E: /Z", 1, "Invalid parameter - /Z\n"},
        {"/c format E: /FS:NTFS", 1, "Invalid parameter - /FS:NTFS\n"},
        {"/c format E: /V:A.B", 1, "Invalid characters in volume label\n"},
        {"/c format C: /Q /V:X /FS:FAT", 4, "Cannot lock current drive.\n"},
        {"/c copy", 1, "The syntax of the command is incorrect.\n"},
        {"/c copy " + files + " E: /Q", 1, "Invalid switch - /Q\n"},
        {"/c copy " + files + " Q:", 1,
         "        0 file(s) copied.\nThe system cannot find the drive specified.\n"},
        {"/c copy 'Q:\\*.*' E:", 1,
         "        0 file(s) copied.\nThe system cannot find the drive specified.\n"},
        {"/c copy " + files + " C:", 1, "        0 file(s) copied.\nAccess is denied.\n"},
        {"/c copy '" + empty.path().string() + "\\*.*' F:", 1,
         "        0 file(s) copied.\nThe system cannot find the file specified.\n"},
        {"/c copy '" + big.path().string() + "\\*.*' F:", 1,
         "        0 file(s) copied.\nThere is not enough space on the disk.\n"},
        {"/c xcopy A: E:", 1,
         "'xcopy' is not recognized as an internal or external command,\n"
         "operable program or batch file.\n"},
        {"/c mkdosfs -x E:", 1,
         "mkdosfs: invalid option -- 'x'\nUsage: mkdosfs [OPTIONS] TARGET [BLOCKS]\n"
         "Try 'mkdosfs --help' for more information.\n"},
        {"/c mkdosfs -F 32 -n Tolmar C:", 1,
         "mkdosfs: unable to open C:: Device or resource busy\n"},
        {"/c mkdosfs -F 32 -n Tolmar Q:", 1,
         "mkdosfs: unable to open Q:: No such file or directory\n"},
    };
    for (const auto& [line, code, words] : cases) {
        CmdRun run = RunCmd(line);
        EXPECT_EQ(run.exitCode, code) << line << "\n" << run.output;
        EXPECT_EQ(run.output, words) << line;
    }
    EXPECT_EQ(JournalText(), "");

    // A volume held by a handle of another process: refused after the
    // Enter, untouched (copy and mkdosfs are refused by the volume tools).
    LARKIN_TOOL_VOLUME where{};
    HANDLE held = LarkinOpenVolumeForTool("F:", "holder", TRUE, &where);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CmdRun format = RunCmd("/c format F: /Q /V:FreeDOS /FS:FAT");
    EXPECT_EQ(format.exitCode, 4);
    EXPECT_NE(format.output.find("and press ENTER when ready..."), std::string::npos);
    EXPECT_NE(format.output.find("Cannot lock current drive.\n"), std::string::npos);
    EXPECT_EQ(JournalText(), "stick2 16384+8372224 via holder\n");
    CloseHandle(held);

    EXPECT_EQ(RunCmd("--help", nullptr).exitCode, 0);
    EXPECT_EQ(RunCmd("format E:", nullptr).exitCode, 1);  // no /c
}

}  // namespace
