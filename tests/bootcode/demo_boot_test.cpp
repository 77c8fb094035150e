// The demo boot image from File_Images, put on a drive the way the
// make-bootable flow does it, and booted.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>

#include "boot_harness.h"
#include "templates/boot_patch.h"
#include "templates/boot_records.h"
#include "test_machine.h"

namespace larkin::test::boot {
namespace {

using namespace larkin::templates;

TEST(DemoImage, FolderHoldsItsDescriptionAgreementAndKernel) {
    std::filesystem::path folder = BinDir() / "File_Images" / "LarkinDemo";
    std::ifstream ini(folder / "fi.ini");
    std::vector<std::string> lines;
    for (std::string line; std::getline(ini, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line.substr(line.find('=') + 1));
    }
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "LarkinDemo");
    EXPECT_TRUE(std::filesystem::exists(folder / lines[2])) << lines[2];
    EXPECT_EQ(ReadFile(folder / lines[2]).at(0), '{') << "an RTF document";
    EXPECT_FALSE(lines[3].empty());
    EXPECT_GT(std::filesystem::file_size(folder / "KERNEL.SYS"), 0u);
}

TEST(DemoImage, BootsAndSaysWhereFrom) {
    if (!HaveProgram("qemu-system-i386")) {
        GTEST_SKIP() << "qemu-system-i386 is not installed (scripts/install-deps)";
    }
    TempFolder folder;
    std::filesystem::path disk = folder.path() / "disk.img";
    const std::uint32_t hidden = 32;
    const std::uint32_t sectors = 62'468;  // a 32,000,000-byte drive
    MakeEmptyDisk(disk, hidden + sectors);
    SectorBytes mbr = kMbrTemplate;
    ASSERT_EQ(PatchMbrPartition(mbr, hidden, sectors), PatchResult::ok);
    WriteAt(disk, 0, mbr);
    ASSERT_TRUE(Format(disk, hidden, sectors, {"-F", "16", "-h", "32", "-n", "FreeDOS"}));
    SectorBytes boot = kFreeDosBootSector;
    ASSERT_EQ(PatchFreeDosBootSector(boot, ReadSector(disk, hidden), hidden, sectors),
              PatchResult::ok);
    WriteAt(disk, hidden * 512, boot);
    for (const auto& file :
         std::filesystem::directory_iterator(BinDir() / "File_Images" / "LarkinDemo")) {
        std::string name = file.path().filename().string();
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_TRUE(CopyIn(disk, hidden, file.path(), name));
    }

    Qemu qemu({"-drive", "file=" + disk.string() + ",format=raw,if=ide"});
    ASSERT_TRUE(qemu.WaitFor("Press any key to restart.")) << qemu.console();
    const std::string& console = qemu.console();
    EXPECT_NE(console.find("This computer has started from a USB drive made by Larkin."),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("Boot drive:    80h"), std::string::npos) << console;
    EXPECT_NE(console.find("Disk services: LBA extensions present"), std::string::npos) << console;
    EXPECT_NE(console.find("sectors per track"), std::string::npos) << console;
    qemu.SendKey(' ');
    EXPECT_TRUE(qemu.WaitFor("Booting from Hard Disk", 2)) << qemu.console();
}

}  // namespace
}  // namespace larkin::test::boot
