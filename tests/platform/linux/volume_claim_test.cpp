// The kernel's side of a volume lock, where the Windows API does not reach
// (the locks themselves are tested through it, in linux_machine_locks_test):
// a missing node, and a claim that one mount refuses unmounts nothing.
#include "backends/linux/volume_claim.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "loop_device.h"

namespace larkin::platform::linuxhw {
namespace {

using test::LoopDevice;
using test::LoopOptions;

bool Mounted(const std::string& folder) {
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == folder) return true;
    }
    return false;
}

bool KernelOffers(const std::string& fileSystem) {
    std::ifstream filesystems("/proc/filesystems");
    std::string line;
    while (std::getline(filesystems, line))
        if (line.substr(line.find_last_of(" \t") + 1) == fileSystem) return true;
    return false;
}

// An empty folder for a mount, unmounted and removed at the end.
class MountFolder {
  public:
    MountFolder() {
        std::string path = "/tmp/larkin-mount-XXXXXX";
        if (::mkdtemp(path.data())) path_ = path;
    }
    ~MountFolder() {
        if (path_.empty()) return;
        while (Mounted(path_) && ::umount2(path_.c_str(), MNT_DETACH) == 0) {
        }
        ::rmdir(path_.c_str());
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

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
    Mount MountOn(const MountFolder& folder, bool automounted) {
        if (::mount(loop_.Node().c_str(), folder.Path().c_str(), fileSystem_.c_str(), 0, nullptr) !=
            0) {
            ADD_FAILURE() << "mounting " << loop_.Node() << ": " << std::strerror(errno);
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
    MountFolder desktops, systems;
    Mount desktop = MountOn(desktops, true);
    Mount system = MountOn(systems, false);
    std::string why;
    EXPECT_EQ(UnmountAutomounted({desktop, system}, &why), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Mounted(desktops.Path()));
    EXPECT_TRUE(Mounted(systems.Path()));
    EXPECT_NE(why.find(systems.Path()), std::string::npos) << why;
}

}  // namespace
}  // namespace larkin::platform::linuxhw
