#include "backends/linux/file_system_probe.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "machine/volume_extents.h"
#include "runtime/posix.h"
#include "test_machine.h"

namespace larkin::platform::linuxhw {
namespace {

class FileSystemProbe : public ::testing::Test {
  protected:
    void SetUp() override {
        mkfs_ = FindProgram("mkfs.fat");
        if (mkfs_.empty()) GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
        std::ofstream{image_};
        std::filesystem::resize_file(image_, 32 << 20);
    }
    void Format(uint64_t offsetSectors, const char* label, std::vector<std::string> options = {},
                std::string kib = "8192") {
        std::vector<std::string> command = {mkfs_, "-n", label, "--offset",
                                            std::to_string(offsetSectors)};
        command.insert(command.end(), options.begin(), options.end());
        command.insert(command.end(), {image_.string(), kib});
        std::string log;
        ASSERT_EQ(RunProgram(command, &log), 0) << log;
    }

    std::string mkfs_;
    test::TempFolder folder_;
    std::filesystem::path image_ = folder_.path() / "probe.img";
};

TEST_F(FileSystemProbe, FindsTheFileSystemWhereItIsAndNowhereElse) {
    Format(2048, "STICK");
    UniqueFd fd(::open(image_.c_str(), O_RDONLY | O_CLOEXEC));
    auto found = ProbeFileSystem(fd.Get(), 2048 * 512, 8192 * 1024);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->type, "vfat");
    EXPECT_EQ(found->label, "STICK");
    EXPECT_TRUE(IsLetteredFileSystem(found->type));
    EXPECT_FALSE(ProbeFileSystem(fd.Get(), 0, 2048 * 512));      // blank before it
    EXPECT_FALSE(ProbeFileSystem(fd.Get(), 2048 * 512, 0));      // an empty stretch
    EXPECT_FALSE(ProbeFileSystem(-1, 2048 * 512, 8192 * 1024));  // no device
}

// Where no blkid runs (the simulated machine), the boot sector alone says
// whether a stretch holds a FAT file system: it must agree with blkid.
TEST_F(FileSystemProbe, TheBootSectorAloneAgreesWithBlkid) {
    UniqueFd fd(::open(image_.c_str(), O_RDONLY | O_CLOEXEC));
    auto bootSectorSays = [&] {
        std::array<uint8_t, 512> sector{};
        EXPECT_EQ(::pread(fd.Get(), sector.data(), sector.size(), 0), 512);
        return FileSystemOfBootSector(sector);
    };
    EXPECT_EQ(bootSectorSays(), "");  // blank
    for (auto [bits, clusterSectors, kib] :
         {std::tuple("12", "4", "8192"), std::tuple("16", "1", "8192"),
          std::tuple("32", "1", "32768")}) {
        Format(0, "STICK", {"-F", bits, "-s", clusterSectors}, kib);
        auto found = ProbeFileSystem(fd.Get(), 0, 32 << 20);
        ASSERT_TRUE(found) << "FAT" << bits;
        EXPECT_EQ(bootSectorSays(), found->type) << "FAT" << bits;
    }
}

}  // namespace
}  // namespace larkin::platform::linuxhw
