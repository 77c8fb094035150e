// The volume tools on a simulated machine: what mkfs.fat is asked to make,
// what mcopy copies, and that every refusal leaves the disks untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fat_volume_probe.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "machines.h"
#include "test_machine.h"
#include "volume_tools.h"

namespace larkin::volumetools {
namespace {

using larkin::test::JournalText;
using larkin::test::TempFolder;
using larkin::test::TestMachine;

TEST(DosRules, FatSizeAndClusterSizeFollowTheVolumeSize) {
    EXPECT_EQ(ChooseFatBits(32679), 12);
    EXPECT_EQ(ChooseFatBits(32680), 16);
    EXPECT_EQ(ChooseFatBits(4194304), 16);
    EXPECT_EQ(ChooseFatBits(4194305), 0);
    // FAT12 keeps within 4,084 clusters.
    EXPECT_EQ(DosClusterSectors(12, 2880), 1u);
    EXPECT_EQ(DosClusterSectors(12, 16320), 4u);
    EXPECT_EQ(DosClusterSectors(12, 16352), 8u);
    EXPECT_EQ(DosClusterSectors(12, 32679), 8u);
    // FAT16: 512-byte clusters to 32 MiB, doubling with each doubling.
    EXPECT_EQ(DosClusterSectors(16, 65536), 1u);
    EXPECT_EQ(DosClusterSectors(16, 65537), 2u);
    EXPECT_EQ(DosClusterSectors(16, 262081), 4u);
    EXPECT_EQ(DosClusterSectors(16, 3906250), 64u);
    EXPECT_EQ(DosClusterSectors(16, 4194305), 0u);
    EXPECT_EQ(DosClusterSectors(32, 4194305), 0u);
}

TEST(DosRules, LabelsAndErrorTexts) {
    EXPECT_TRUE(IsValidDosLabel("FREEDOS"));
    EXPECT_TRUE(IsValidDosLabel(""));
    EXPECT_TRUE(IsValidDosLabel("ELEVEN CHAR"));
    EXPECT_FALSE(IsValidDosLabel("TWELVE CHARS"));
    EXPECT_FALSE(IsValidDosLabel("A.B"));
    EXPECT_FALSE(IsValidDosLabel("A*B"));
    EXPECT_EQ(ErrorText(kErrorDiskFull), "There is not enough space on the disk.");
    EXPECT_EQ(ErrorText(ERROR_NOT_READY), "The device is not ready.");
    EXPECT_EQ(ErrorText(0x20001234u), "Error 536875572.");
}

class VolumeTools : public ::testing::Test {
  protected:
    VolumeTools() { larkin::sim::ClearJournal(); }

    // A folder of this computer with files named and sized as given, and a
    // sub-folder with one file of its own.
    std::filesystem::path Folder(const std::vector<std::pair<std::string, size_t>>& files) {
        std::filesystem::path folder = scratch_.path() / ("source" + std::to_string(++folders_));
        std::filesystem::create_directories(folder / "SUB");
        for (const auto& [name, size] : files)
            std::ofstream(folder / name, std::ios::binary) << std::string(size, 'x');
        std::ofstream(folder / "SUB" / "INNER.TXT") << "inner";
        return folder;
    }

    TestMachine machine_{larkin::test::kToolSticks};
    TempFolder scratch_;
    int folders_ = 0;
};

TEST_F(VolumeTools, FormatWritesTheVolumesPlaceAndGeometry) {
    FormatReport report;
    Outcome made = FormatFat("E:", "FREEDOS", 0, &report);
    ASSERT_TRUE(made.Ok()) << made.message << report.toolOutput;
    EXPECT_EQ(report.fatBits, 16);
    EXPECT_EQ(report.sectors, 40u * 2048 - 63);
    EXPECT_EQ(JournalText(), "stick1 32256+41910784 via mkfs.fat\n");

    auto boot = larkin::test::ReadBootSector("E:");
    ASSERT_TRUE(boot.read);
    EXPECT_EQ(boot.hiddenSectors, 63u);
    EXPECT_EQ(boot.heads, 255);
    EXPECT_EQ(boot.sectorsPerTrack, 63);
    EXPECT_EQ(boot.driveNumber, 0x80);
    EXPECT_EQ(boot.label, "FREEDOS    ");
    EXPECT_EQ(boot.fileSystemType, "FAT16   ");
    EXPECT_EQ(boot.sectorsPerCluster, 2);  // 40 MiB: 1 KiB clusters
    std::string fsck;
    EXPECT_EQ(larkin::test::CheckVolume("E:", &fsck), 0) << fsck;

    VolumeFacts facts;
    ASSERT_TRUE(ReadVolumeFacts("E:", &facts).Ok());
    EXPECT_TRUE(facts.ready);
    EXPECT_EQ(facts.fileSystem, "FAT16");
    EXPECT_EQ(facts.label, "FREEDOS");
    EXPECT_EQ(facts.clusterBytes, 1024u);
    EXPECT_EQ(facts.freeBytes, facts.totalBytes);
    EXPECT_EQ(facts.volumeBytes, (40u << 20) - 63 * 512);
    EXPECT_GT(facts.totalBytes, 40u * 1000 * 1000);
}

TEST_F(VolumeTools, SmallVolumeIsFat12AndFat32IsMadeOnRequest) {
    ASSERT_TRUE(FormatFat("F:", "", 0).Ok());
    auto boot = larkin::test::ReadBootSector("F:");
    EXPECT_EQ(boot.fileSystemType, "FAT12   ");
    EXPECT_EQ(boot.hiddenSectors, 32u);
    EXPECT_EQ(boot.heads, 64);
    EXPECT_EQ(boot.sectorsPerTrack, 32);
    EXPECT_EQ(boot.driveNumber, 0x80);
    VolumeFacts facts;
    ASSERT_TRUE(ReadVolumeFacts("F:", &facts).Ok());
    EXPECT_EQ(facts.fileSystem, "FAT12");
    EXPECT_EQ(facts.label, "");

    FormatReport report;
    ASSERT_TRUE(FormatFat("E:", "Tolmar", 32, &report).Ok()) << report.toolOutput;
    boot = larkin::test::ReadBootSector("E:");
    EXPECT_EQ(boot.fileSystemType, "FAT32   ");
    EXPECT_EQ(boot.label, "Tolmar     ");
    EXPECT_EQ(boot.driveNumber, 0x80);
    EXPECT_EQ(boot.hiddenSectors, 63u);
    std::string fsck;
    EXPECT_EQ(larkin::test::CheckVolume("E:", &fsck), 0) << fsck;

    ASSERT_TRUE(SetVolumeLabel("E:", "RENAMED").Ok());
    ASSERT_TRUE(ReadVolumeFacts("E:", &facts).Ok());
    EXPECT_EQ(facts.fileSystem, "FAT32");
    EXPECT_EQ(facts.label, "RENAMED");
}

TEST_F(VolumeTools, CopyTakesFilesNotFoldersAndNamesEach) {
    ASSERT_TRUE(FormatFat("E:", "BOOT", 0).Ok());
    ASSERT_TRUE(FormatFat("F:", "OTHER", 0).Ok());
    auto folder = Folder({{"KERNEL.SYS", 45000}, {"COMMAND.COM", 66000}, {"empty.txt", 0}});
    larkin::sim::ClearJournal();
    std::vector<std::string> heard;
    int copied = -1;
    Outcome outcome = CopyFolderFiles(
        folder.string(), "E:", [&](std::string_view name) { heard.emplace_back(name); }, &copied);
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    EXPECT_EQ(copied, 3);
    EXPECT_EQ(heard, (std::vector<std::string>{"COMMAND.COM", "KERNEL.SYS", "empty.txt"}));
    EXPECT_EQ(JournalText(), "stick1 32256+41910784 via mcopy\n");
    VolumeFacts facts;
    ASSERT_TRUE(ReadVolumeFacts("E:", &facts).Ok());
    EXPECT_EQ(facts.totalBytes - facts.freeBytes, 45056u + 66560u);

    // From one volume to another, and by a pattern.
    heard.clear();
    outcome = CopyMatchingFiles(
        "E:\\", "*.SYS", "F:", [&](std::string_view name) { heard.emplace_back(name); }, &copied);
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    EXPECT_EQ(heard, (std::vector<std::string>{"KERNEL.SYS"}));
    outcome = CopyFolderFiles("E:", "F:", {}, &copied);
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    EXPECT_EQ(copied, 3);  // KERNEL.SYS again, replaced
    ASSERT_TRUE(ReadVolumeFacts("F:", &facts).Ok());
    uint64_t cluster = facts.clusterBytes;
    EXPECT_EQ(cluster, 4096u);
    EXPECT_EQ(facts.totalBytes - facts.freeBytes, (45000 + cluster - 1) / cluster * cluster +
                                                      (66000 + cluster - 1) / cluster * cluster);
}

TEST_F(VolumeTools, RefusalsWriteNothing) {
    ASSERT_TRUE(FormatFat("E:", "BOOT", 0).Ok());
    ASSERT_TRUE(FormatFat("F:", "SMALL", 0).Ok());
    auto folder = Folder({{"A.BIN", 1000}});
    auto empty = scratch_.path() / "empty";
    std::filesystem::create_directories(empty / "SUB");
    auto tooBig = Folder({{"BIG.BIN", 9u << 20}});
    larkin::sim::ClearJournal();
    int copied = -1;

    struct Case {
        std::string what;
        Outcome outcome;
        DWORD code;
    };
    std::vector<Case> cases = {
        {"system volume", FormatFat("C:", "X", 0), ERROR_ACCESS_DENIED},
        {"copy to the system volume", CopyFolderFiles(folder.string(), "C:", {}, &copied),
         ERROR_ACCESS_DENIED},
        {"unknown letter", FormatFat("Q:", "X", 0), kErrorInvalidDrive},
        {"copy to an unknown letter", CopyFolderFiles(folder.string(), "Q:", {}, &copied),
         kErrorInvalidDrive},
        {"copy from an unknown letter", CopyFolderFiles("Q:\\", "E:", {}, &copied),
         kErrorInvalidDrive},
        {"label too long", FormatFat("E:", "TWELVE CHARS", 0), ERROR_INVALID_NAME},
        {"no such FAT", FormatFat("E:", "X", 14), ERROR_INVALID_PARAMETER},
        {"missing folder", CopyFolderFiles((scratch_.path() / "none").string(), "E:", {}, &copied),
         ERROR_PATH_NOT_FOUND},
        {"folder without files", CopyFolderFiles(empty.string(), "E:", {}, &copied),
         ERROR_FILE_NOT_FOUND},
        {"no room", CopyFolderFiles(tooBig.string(), "F:", {}, &copied), kErrorDiskFull},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.outcome.code, c.code) << c.what << ": " << c.outcome.message;
        EXPECT_FALSE(c.outcome.message.empty()) << c.what;
    }
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(JournalText(), "");

    // A volume another program holds is refused while it holds it.
    LARKIN_TOOL_VOLUME where{};
    HANDLE held = LarkinOpenVolumeForTool("E:", "holder", TRUE, &where);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(FormatFat("E:", "X", 0).code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(CopyFolderFiles(folder.string(), "E:", {}, &copied).code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(SetVolumeLabel("E:", "X").code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(JournalText(), "stick1 32256+41910784 via holder\n");
    CloseHandle(held);
}

}  // namespace
}  // namespace larkin::volumetools
