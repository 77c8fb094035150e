// The kernel's side of a volume lock, where the Windows API does not reach
// (the locks themselves are tested through it, in linux_machine_locks_test):
// a missing node, and a claim that one mount refuses unmounts nothing.
#include "backends/linux/volume_claim.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loop_device.h"

namespace larkin::platform::linuxhw {
namespace {

using test::KernelOffers;
using test::LoopDevice;
using test::LoopOptions;
using test::MountPoint;

int RunQuietly(const std::vector<std::string>& argv) {
    std::string log;
    return RunProgram(argv, &log);
}

// A loop device with a file system the kernel can mount.
class MountedVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        LARKIN_ATTACH_LOOP(loop_, LoopOptions{.size = 32ull << 20});
        std::string mkfs;
        if (KernelOffers("vfat") && !(mkfs = FindProgram("mkfs.fat")).empty()) {
            fileSystem_ = "vfat";
            ASSERT_EQ(RunQuietly({mkfs, "-I", loop_.Node()}), 0);
        } else if (KernelOffers("ext2") && !(mkfs = FindProgram("mke2fs")).empty()) {
            fileSystem_ = "ext2";
            ASSERT_EQ(RunQuietly({mkfs, "-q", "-F", "-t", "ext2", loop_.Node()}), 0);
        } else {
            GTEST_SKIP() << "no file system both made here and mounted by this kernel";
        }
    }

    // Mounts the volume on a folder (a failure where it cannot).
    Mount MountOn(MountPoint& folder, bool automounted) {
        if (std::string problem = folder.Mount(loop_.Node(), fileSystem_); !problem.empty()) {
            ADD_FAILURE() << problem;
            return {};
        }
        struct stat status {};
        ::stat(folder.Path().c_str(), &status);
        return Mount{status.st_dev, folder.Path(), loop_.Node(), fileSystem_, automounted};
    }

    LoopDevice loop_;
    std::string fileSystem_;
};

TEST(VolumeClaim, MissingNodeIsNotReady) {
    VolumeClaim claim;
    std::string why;
    EXPECT_EQ(VolumeClaim::Take("/dev/no-such-volume", {}, &claim, &why), ERROR_NOT_READY);
    EXPECT_FALSE(claim.Held());
    EXPECT_FALSE(why.empty());
}

TEST_F(MountedVolume, NothingIsUnmountedWhenOneMountRefuses) {
    MountPoint desktops("/tmp"), systems("/tmp");
    Mount desktop = MountOn(desktops, true);
    Mount system = MountOn(systems, false);
    std::string why;
    EXPECT_EQ(UnmountAutomounted({desktop, system}, &why), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(desktops.Mounted());
    EXPECT_TRUE(systems.Mounted());
    EXPECT_NE(why.find(systems.Path()), std::string::npos) << why;
}

}  // namespace
}  // namespace larkin::platform::linuxhw
