// The kernel's side of a volume lock: what the desktop mounted goes, what
// the system mounted or what is busy refuses, and the exclusive open keeps
// out mounts and exclusive openers such as mkfs.fat until it is released.
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

TEST(VolumeClaim, KeepsOutExclusiveOpenersUntilReleased) {
    std::string mkfs = FindProgram("mkfs.fat");
    if (mkfs.empty()) GTEST_SKIP() << "mkfs.fat is not installed";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16ull << 20});

    VolumeClaim claim;
    std::string why;
    ASSERT_EQ(VolumeClaim::Take(loop.Node(), {}, &claim, &why), ERROR_SUCCESS) << why;
    EXPECT_TRUE(claim.Held());
    EXPECT_NE(RunQuietly({mkfs, "-I", loop.Node()}), 0);

    VolumeClaim second;
    EXPECT_EQ(VolumeClaim::Take(loop.Node(), {}, &second, &why), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(second.Held());
    EXPECT_NE(why.find(loop.Node()), std::string::npos) << why;
    EXPECT_NE(why.find("in use"), std::string::npos) << why;

    claim.Release();
    EXPECT_FALSE(claim.Held());
    EXPECT_EQ(RunQuietly({mkfs, "-I", loop.Node()}), 0);
    EXPECT_EQ(VolumeClaim::Take(loop.Node(), {}, &second, &why), ERROR_SUCCESS) << why;
}

TEST(VolumeClaim, MissingNodeIsNotReady) {
    VolumeClaim claim;
    std::string why;
    EXPECT_EQ(VolumeClaim::Take("/dev/no-such-volume", {}, &claim, &why), ERROR_NOT_READY);
    EXPECT_FALSE(claim.Held());
    EXPECT_FALSE(why.empty());
}

TEST_F(MountedVolume, WhatTheDesktopMountedIsUnmountedAndKeptUnmounted) {
    MountFolder folder;
    Mount mount = MountOn(folder, true);
    ASSERT_TRUE(Mounted(folder.Path()));

    VolumeClaim claim;
    std::string why;
    ASSERT_EQ(VolumeClaim::Take(loop_.Node(), {mount}, &claim, &why), ERROR_SUCCESS) << why;
    EXPECT_TRUE(claim.Held());
    EXPECT_FALSE(Mounted(folder.Path()));
    // While claimed, the system cannot mount it again.
    EXPECT_NE(::mount(loop_.Node().c_str(), folder.Path().c_str(), fileSystem_.c_str(), 0, nullptr),
              0);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_FALSE(Mounted(folder.Path()));
}

TEST_F(MountedVolume, WhatTheSystemMountedRefusesTheClaim) {
    MountFolder folder;
    Mount mount = MountOn(folder, false);
    VolumeClaim claim;
    std::string why;
    EXPECT_EQ(VolumeClaim::Take(loop_.Node(), {mount}, &claim, &why), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(claim.Held());
    EXPECT_TRUE(Mounted(folder.Path()));
    EXPECT_NE(why.find(folder.Path()), std::string::npos) << why;
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

TEST_F(MountedVolume, BusyMountRefusesTheClaimAndStays) {
    MountFolder folder;
    Mount mount = MountOn(folder, true);
    int open = ::open((folder.Path() + "/held").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(open, 0) << std::strerror(errno);

    VolumeClaim claim;
    std::string why;
    EXPECT_EQ(VolumeClaim::Take(loop_.Node(), {mount}, &claim, &why), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(claim.Held());
    EXPECT_TRUE(Mounted(folder.Path()));
    EXPECT_NE(why.find("busy"), std::string::npos) << why;
    ::close(open);

    EXPECT_EQ(VolumeClaim::Take(loop_.Node(), {mount}, &claim, &why), ERROR_SUCCESS) << why;
    EXPECT_FALSE(Mounted(folder.Path()));
}

}  // namespace
}  // namespace larkin::platform::linuxhw
