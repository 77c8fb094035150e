// The volume tools on a simulated machine, called directly and through cmd
// as the engine starts it: what mkfs.fat is asked to make, what mcopy
// copies, and that every refusal leaves the disks untouched.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

using namespace larkin::test;

// The boot sector's type and label (as stored), hidden sectors, geometry,
// drive number and sectors, fsck.fat -n's verdict, then the facts the volume
// tools read: bytes used, of the data area and of the volume. For example
// "FAT16   |FREEDOS    |63|255/63|80|262081|clean|FAT16 FREEDOS 1024|0/133x/134x".
std::string VolumeSummary(const std::string& drive) {
    LARKIN_TOOL_VOLUME where{};
    HANDLE session = LarkinOpenVolumeForTool(drive.c_str(), "test", FALSE, &where);
    if (session == INVALID_HANDLE_VALUE) return "no volume " + drive;
    CloseHandle(session);
    const auto bytes = ReadAt(where.path, where.offset, where.length);
    if (bytes.size() < 512) return "unreadable volume " + drive;
    auto text = [&](size_t at) { return reinterpret_cast<const char*>(&bytes[at]); };
    // The extended block of FAT32 (no 16-bit FAT size) stands further on.
    const size_t extended = Little(bytes, 22, 2) == 0 ? 64 : 36;
    char fields[160];
    std::snprintf(fields, sizeof fields, "%.8s|%.11s|%u|%u/%u|%02X|%u|", text(extended + 18),
                  text(extended + 7), Little(bytes, 28, 4), Little(bytes, 26, 2),
                  Little(bytes, 24, 2), bytes[extended],
                  Little(bytes, 19, 2) != 0 ? Little(bytes, 19, 2) : Little(bytes, 32, 4));
    TempFolder folder;
    WriteAt(folder.path() / "volume.img", 0, bytes);
    CommandRun fsck = RunCommand("fsck.fat -n " + Quoted((folder.path() / "volume.img").string()));
    VolumeFacts facts;
    Outcome read = ReadVolumeFacts(drive, &facts);
    return fields + (fsck.exitCode == 0 ? std::string("clean") : fsck.output) + "|" +
           (read.Ok() && facts.ready ? facts.fileSystem : read.message) + " " + facts.label + " " +
           std::to_string(facts.clusterBytes) + "|" +
           std::to_string(facts.totalBytes - facts.freeBytes) + "/" +
           std::to_string(facts.totalBytes) + "/" + std::to_string(facts.volumeBytes);
}

// One line per entry ("stick1 32256+8356352 via mcopy").
std::string JournalText() {
    std::string text;
    for (const auto& entry : larkin::controls::Journal())
        text += entry.disk + " " + std::to_string(entry.offset) + "+" +
                std::to_string(entry.length) + " via " + entry.via + "\n";
    return text;
}

// FAT12 keeps within 4,084 clusters; FAT16 has 512-byte clusters to 32 MiB,
// doubling with each doubling.
TEST(DosRules, FatSizeClusterSizeLabelsAndErrorTexts) {
    for (auto [sectors, bits] :
         {std::pair{32679u, 12}, {32680u, 16}, {4194304u, 16}, {4194305u, 0}})
        EXPECT_EQ(ChooseFatBits(sectors), bits) << sectors;
    // clang-format off
    for (auto [bits, sectors, cluster] : {std::tuple{12, 2880u, 1u}, {12, 16320u, 4u}, {12, 16352u, 8u},
             {12, 32679u, 8u}, {16, 65536u, 1u}, {16, 65537u, 2u}, {16, 262081u, 4u},
             {16, 3906250u, 64u}, {16, 4194305u, 0u}, {32, 4194305u, 0u}})
        EXPECT_EQ(DosClusterSectors(bits, sectors), cluster) << bits << " " << sectors;
    // clang-format on
    for (const char* label : {"FREEDOS", "", "ELEVEN CHAR"}) EXPECT_TRUE(IsValidDosLabel(label));
    for (const char* label : {"TWELVE CHARS", "A.B", "A*B"}) EXPECT_FALSE(IsValidDosLabel(label));
    EXPECT_EQ(ErrorText(0x20001234u), "Error 536875572.");
}

TEST(DosRules, ReferencesToAFloppyNameTheBootDriveInstead) {
    const std::tuple<std::string, std::string, size_t> cases[] = {
        {"SHELL=A:\\COMMAND.COM /E:512 /MSG /P\r\n", "SHELL=C:\\COMMAND.COM /E:512 /MSG /P\r\n", 1},
        {"device=a:\\dos\\himem.sys\nLH A:\\MOUSE.COM\n",
         "device=C:\\dos\\himem.sys\nLH C:\\MOUSE.COM\n", 2},
        {"PATH=A:\\;A:\\DOS;B:\\\r\nA:\r\n@A:\\START", "PATH=C:\\;C:\\DOS;B:\\\r\nC:\r\n@C:\\START",
         3},
        {"SET COMSPEC=\"A:\\COMMAND.COM\"\n", "SET COMSPEC=\"C:\\COMMAND.COM\"\n", 1},
        // Comments, echoed text and names merely ending in A are no paths.
        {"REM A:\\OLD\n; A:\\X\n:: A:\n@echo Insert a disk in A:\nDATA:\\X\nSHELLA:\n",
         "REM A:\\OLD\n; A:\\X\n:: A:\n@echo Insert a disk in A:\nDATA:\\X\nSHELLA:\n", 0},
    };
    for (const auto& [text, pointed, count] : cases) {
        std::vector<std::string> changed;
        EXPECT_EQ(PointDriveReferences(text, 'A', 'C', &changed), pointed);
        EXPECT_EQ(changed.size(), count) << text;
    }
    std::vector<std::string> changed;
    PointDriveReferences("REM\r\nshell=a:\\command.com\r\n", 'A', 'C', &changed);
    EXPECT_EQ(changed, std::vector<std::string>{"shell=C:\\command.com"});
}

// cmd with arguments (a shell-quoted text) and input (nullptr: none) in the
// platform's machine; its standard output comes first, then its standard error.
CommandRun RunCmd(const std::string& arguments, const char* input = "\n",
                  const std::string& environment = "") {
    static TempFolder folder;
    auto in = folder.path() / "in.txt", err = folder.path() / "err.txt";
    if (input) std::ofstream(in) << input;
    return RunCommand(environment + " '" LARKIN_CMD "' " + arguments + " <" +
                      (input ? Quoted(in.string()) : std::string("/dev/null")) + " 2>" +
                      Quoted(err.string()) + "; status=$?; cat " + Quoted(err.string()) +
                      "; exit $status");
}

class VolumeTools : public ::testing::Test {
  protected:
    VolumeTools() { larkin::controls::ClearJournal(); }

    // A folder of this computer with files named and sized as given (of
    // zeros, sparse), and a sub-folder with one file of its own.
    std::filesystem::path Folder(const std::vector<std::pair<std::string, uint64_t>>& files) {
        std::filesystem::path folder = scratch_.path() / ("source" + std::to_string(++folders_));
        std::filesystem::create_directories(folder / "SUB");
        for (const auto& [name, size] : files) {
            std::ofstream(folder / name).close();
            std::filesystem::resize_file(folder / name, size);
        }
        std::ofstream(folder / "SUB" / "INNER.TXT") << "inner";
        return folder;
    }

    TestMachine machine_{MachineText("tools-two-sticks") + "[floppy]\n"};
    TempFolder scratch_;
    int folders_ = 0;
};

TEST_F(VolumeTools, CopyTakesFilesNotFoldersAndNamesEach) {
    ASSERT_TRUE(FormatFat("E:", "BOOT", 0).Ok());
    ASSERT_TRUE(FormatFat("F:", "OTHER", 0).Ok());
    auto folder = Folder({{"KERNEL.SYS", 45000}, {"COMMAND.COM", 66000}, {"empty.txt", 0}});
    larkin::controls::ClearJournal();
    // Through cmd, folders left behind, from one volume on to another as the
    // engine copies from A:, and by a pattern: KERNEL.SYS again, replaced.
    const std::vector<std::string> all = {"COMMAND.COM", "KERNEL.SYS", "empty.txt"};
    for (const auto& [from, pattern, to, names] :
         std::vector<std::tuple<std::string, std::string, std::string, std::vector<std::string>>>{
             {folder.string() + "\\", "*.*", "E:", all},
             {"E:\\", "*.*", "F:", all},
             {"E:\\", "*.SYS", "F:", {"KERNEL.SYS"}}}) {
        std::string listed;
        for (const std::string& name : names) listed += from + name + "\n";
        CommandRun run = RunCmd("/c copy '" + from + pattern + "' " + to);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.output,
                  listed + "        " + std::to_string(names.size()) + " file(s) copied.\n");
    }
    EXPECT_EQ(JournalText(),
              "stick1 32256+41910784 via mcopy\nstick2 16384+8372224 via mcopy\n"
              "stick2 16384+8372224 via mcopy\n");
    // In clusters of 1,024 and of 4,096.
    for (auto [drive, used] : {std::pair{"E:", 45056u + 66560u}, {"F:", 45056u + 69632u}}) {
        VolumeFacts facts;
        ASSERT_TRUE(ReadVolumeFacts(drive, &facts).Ok());
        EXPECT_EQ(facts.totalBytes - facts.freeBytes, used) << drive;
    }
}

// (Copies refused for the system volume, an unknown letter, an empty folder or
// want of room: through cmd; the source's links and names: by the boot source check.)
TEST_F(VolumeTools, RefusalsWriteNothing) {
    ASSERT_TRUE(FormatFat("E:", "BOOT", 0).Ok());
    auto folder = Folder({{"A.BIN", 1000}});
    auto colon = Folder({{"A:B.TXT", 10}});
    larkin::controls::ClearJournal();
    int copied = -1;

    BootVolume none;
    const std::tuple<const char*, Outcome, DWORD> cases[] = {
        {"system volume", FormatFat("C:", "X", 0), ERROR_ACCESS_DENIED},
        {"unknown letter", FormatFat("Q:", "X", 0), kErrorInvalidDrive},
        {"label too long", FormatFat("E:", "TWELVE CHARS", 0), ERROR_INVALID_NAME},
        {"no such FAT", FormatFat("E:", "X", 14), ERROR_INVALID_PARAMETER},
        {"a name FAT cannot hold", CopyFolderFiles(colon.string(), "E:", {}, &copied),
         ERROR_INVALID_NAME},
        {"boot volume: 8 MiB is FAT12", PlanBootVolumeOf("F:", &none), ERROR_NOT_SUPPORTED},
        {"boot volume: 4096-byte sectors", PlanBootVolume(64u << 20, 63, 4096, &none),
         ERROR_NOT_SUPPORTED},
        {"boot volume: one track", PlanBootVolume(63 * 512, 63, 512, &none), ERROR_NOT_SUPPORTED},
        {"boot volume: unknown letter", PlanBootVolumeOf("Q:", &none), kErrorInvalidDrive},
    };
    for (const auto& [what, outcome, code] : cases) {
        EXPECT_EQ(outcome.code, code) << what << ": " << outcome.message;
        EXPECT_FALSE(outcome.message.empty()) << what;
    }
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(JournalText(), "");

    LARKIN_TOOL_VOLUME where{};
    HANDLE held = LarkinOpenVolumeForTool("E:", "holder", TRUE, &where);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FormatFat("E:", "X", 0).code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(CopyFolderFiles(folder.string(), "E:", {}, &copied).code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetVolumeLabel("E:", "X").code, ERROR_ACCESS_DENIED);
    // format through cmd is refused after the Enter.
    CommandRun format = RunCmd("/c format E: /Q /V:FreeDOS /FS:FAT");
    EXPECT_EQ(format.exitCode, 4);
    EXPECT_EQ(format.output,
              "Insert new disk for drive E:\nand press ENTER when ready...\nFormat failed.\n"
              "Cannot lock current drive.\n");
    EXPECT_EQ(JournalText(), "stick1 32256+41910784 via holder\n");
    CloseHandle(held);
}

// Every kind of source make-bootable cannot use is refused before the first
// write, naming what is wrong: image folders and the floppy in A:.
TEST_F(VolumeTools, EachBootSourceIsCheckedBeforeTheFirstWrite) {
    const std::string floppy = (machine_.folder() / "machine.state" / "floppy.img").string();
    auto mtools = [&](const std::string& command) {
        ASSERT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 " + command).exitCode, 0) << command;
    };
    std::vector<std::pair<std::string, uint64_t>> many, longNames;
    for (int i = 0; i < 600; ++i) many.emplace_back("F" + std::to_string(i) + ".BIN", 10);
    for (int i = 0; i < 300; ++i)
        longNames.emplace_back("a rather long file name " + std::to_string(i) + ".txt", 10);
    std::string linked = Folder({{"KERNEL.SYS", 100}});
    std::filesystem::create_symlink("/etc/passwd", std::filesystem::path(linked) / "passwd");
    std::string kernel = Folder({{"KERNEL.SYS", 45000}});

    BootVolume volume;
    ASSERT_TRUE(PlanBootVolumeOf("E:", &volume).Ok());
    larkin::controls::ClearJournal();
    struct Source {
        const char* what;
        std::function<void()> setup;
        std::string source;
        DWORD code;
        std::string says;
    };
    const Source sources[] = {
        // clang-format off
        {"a good image folder", {}, kernel, 0, ""},
        {"a link in the folder", {}, linked, ERROR_ACCESS_DENIED, "passwd is a symbolic link; links are not copied"},
        {"two names one on FAT", {}, Folder({{"KERNEL.SYS", 1}, {"Kernel.Sys", 2}}), ERROR_FILE_EXISTS,
         "KERNEL.SYS and Kernel.Sys differ only in letter case"},
        {"a file larger than the volume", {}, Folder({{"BIG.BIN", 200u << 20}}), kErrorDiskFull,
         "the files take 209,715,200 bytes in clusters of 1,024"},
        {"more files than the root holds", {}, Folder(many), kErrorDiskFull,
         "the 600 files take 600 root directory entries; the drive's boot volume has 511"},
        {"long names take more entries", {}, Folder(longNames), kErrorDiskFull,
         "the 300 files take 1,200 root directory entries"},
        {"no folder", {}, (scratch_.path() / "none").string(), ERROR_PATH_NOT_FOUND, "is not there"},
        {"no such drive", {}, "B:", kErrorInvalidDrive, "there is no drive B:"},
        {"an empty floppy", {}, "A:", ERROR_FILE_NOT_FOUND, "the disk in drive A: holds no KERNEL.SYS; the boot sector written to the drive starts a FreeDOS kernel, KERNEL.SYS"},
        {"a hidden kernel", [&] {
             mtools("mcopy -i " + floppy + " " + kernel + "/KERNEL.SYS ::KERNEL.SYS");
             mtools("mattrib -i " + floppy + " +h ::KERNEL.SYS");
         }, "A:", ERROR_FILE_NOT_FOUND, "holds KERNEL.SYS as a hidden file, which copy leaves out"},
        {"another DOS's kernel", [&] {
             mtools("mdel -i " + floppy + " ::KERNEL.SYS");
             mtools("mcopy -i " + floppy + " " + kernel + "/KERNEL.SYS ::IO.SYS");
         }, "A:", ERROR_FILE_NOT_FOUND, "holds IO.SYS, the kernel of another DOS, and no KERNEL.SYS"},
        {"a boot floppy", [&] { mtools("mcopy -i " + floppy + " " + kernel + "/KERNEL.SYS ::KERNEL.SYS"); }, "A:", 0, ""},
        {"an unformatted floppy", [&] {
             std::filesystem::resize_file(floppy, 0);
             std::filesystem::resize_file(floppy, 1474560);
         }, "A:", kErrorUnrecognizedVolume, "holds no FAT file system"},
        // clang-format on
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.what);
        if (source.setup) source.setup();
        bool kernelNeeded = source.source == "A:" || source.source == "B:";
        Outcome checked = CheckBootFiles(source.source, volume, kernelNeeded);
        EXPECT_EQ(checked.code, source.code) << checked.message;
        EXPECT_NE(checked.message.find(source.says), std::string::npos) << checked.message;
    }
    EXPECT_EQ(JournalText(), "");
}

using CmdTest = VolumeTools;

// Over the whole partition (less FAT32's alignment), with the FAT of its size
// or the one asked; make-bootable's plan of E:, made before it formats, gives
// the room the format makes. The command line may come whole from the platform.
TEST_F(CmdTest, FormatAndMkdosfsMakeTheVolumeAskedAsPlanned) {
    BootVolume planned;
    ASSERT_TRUE(PlanBootVolumeOf("E:", &planned).Ok());
    EXPECT_EQ(
        std::tuple(planned.sectors, planned.rootEntries, planned.clusterBytes, planned.dataBytes),
        std::tuple(40ul * 2048 - 63, 511u, 1024u, 41730048ul));
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
              "E:", "FAT16   |FREEDOS    |63|255/63|80|81857|clean|FAT16 FREEDOS 1024|0/41730048/41910784", e},
             {"/c format F: /Q /V:FreeDOS /FS:FAT", nullptr, "", 4, {"and press ENTER when ready..."}, "F:", "", ""},
             {"", "\n\n", "LARKIN_COMMAND_LINE='cmd /c format F: /Q /FS:FAT'", 0,
              {"12 bits in each FAT entry."}, "F:", "FAT12   |NO NAME    |32|64/32|80|16352|clean|FAT12  4096|0/8347648/8372224", f},
             {"/c format F: /Q", "\nBAD.LABEL\nboot disk\n", "", 0, {"Invalid characters in volume label"},
              "F:", "FAT12   |BOOT DISK  |32|64/32|80|16352|clean|FAT12 BOOT DISK 4096|0/8347648/8372224", f + "stick2 16384+8372224 via mlabel\n"},
             {"/c mkdosfs -F 32 -n Tolmar E:", nullptr, "", 0, {"mkfs.fat"},
              "E:", "FAT32   |Tolmar     |63|255/63|80|81837|clean|FAT32 Tolmar 512|512/41239040/41910784", e},
         }) {
        // clang-format on
        SCOPED_TRACE(c.environment + c.arguments);
        larkin::controls::ClearJournal();
        CommandRun run = RunCmd(c.arguments, c.input, c.environment);
        EXPECT_EQ(run.exitCode, c.code) << run.output;
        for (const std::string& said : c.says)
            EXPECT_NE(run.output.find(said), std::string::npos) << said << "\n" << run.output;
        EXPECT_EQ(c.summary.empty() ? "" : VolumeSummary(c.drive), c.summary);
        EXPECT_EQ(JournalText(), c.journal);
    }
}

TEST_F(CmdTest, WrongLinesGetTheToolsWordsAndWriteNothing) {
    ASSERT_EQ(RunCmd("/c format F: /Q /V:SMALL /FS:FAT").exitCode, 0);
    const std::string files = "'" + Folder({{"A.BIN", 1}}).string() + "\\*.*'",
                      empty = Folder({}).string(), big = Folder({{"BIG.BIN", 9 << 20}}).string();
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
        {"/c copy '" + empty + "\\*.*' F:", 1,
         "        0 file(s) copied.\nThe system cannot find the file specified.\n"},
        {"/c copy '" + big + "\\*.*' F:", 1,
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
        CommandRun run = RunCmd(line);
        EXPECT_EQ(run.exitCode, code) << line << "\n" << run.output;
        EXPECT_EQ(run.output, words) << line;
    }
    EXPECT_EQ(JournalText(), "");

    EXPECT_EQ(RunCmd("--help", nullptr).exitCode, 0);
    EXPECT_EQ(RunCmd("format E:", nullptr).exitCode, 1);  // no /c
}

}  // namespace
}  // namespace larkin::volumetools
