// larkin-cli on this computer's hardware with no machine file: a loop
// device stands in for a USB stick fresh from the shop.
#include <gmock/gmock.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "loop_device.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using namespace larkin::test;
using namespace ::testing;

class HardwareStick : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* program : {"mkfs.fat", "mcopy", "fsck.fat"})
            if (!HaveProgram(program))
                GTEST_SKIP() << program << " is missing (scripts/install-deps)";
    }

    // A stick as sold: an MBR with one FAT32 (LBA) partition from its second
    // MiB, counted in the stick's own sectors.
    void MakeShopStick(LoopDevice& loop) {
        const uint32_t sectorSize = loop.Options().sectorSize, first = (1 << 20) / sectorSize;
        const auto sectors = static_cast<uint32_t>(loop.Options().size / sectorSize);
        std::array<std::byte, 512> mbr{};
        auto put32 = [&](size_t at, uint32_t value) {
            for (int i = 0; i < 4; ++i) mbr[at + i] = std::byte(value >> (8 * i));
        };
        mbr[446 + 4] = std::byte{0x0C};
        put32(446 + 8, first);
        put32(446 + 12, sectors - first);
        mbr[510] = std::byte{0x55};
        mbr[511] = std::byte{0xAA};
        loop.WriteBacking(0, mbr);
        CommandRun mkfs = RunCommand("mkfs.fat -S " + std::to_string(sectorSize) +
                                     " -n SHOPSTICK --offset 2048 " + Quoted(loop.BackingFile()) +
                                     " " + std::to_string(((sectors - first) * sectorSize) >> 10));
        ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
    }

    // The letter list --json gives the stand-in (of 128 MiB).
    std::string Letter(const LoopDevice& loop) {
        CommandRun list = Cli(loop.Node(), "list --json");
        std::smatch found;
        EXPECT_TRUE(std::regex_search(list.output, found,
                                      std::regex("\"mount\": \"([D-Z]:)\", \"friendly_name\": "
                                                 "\"[^\"]*\", \"size_bytes\": 134217728")))
            << list.output;
        return found.empty() ? "" : found[1].str();
    }

    // larkin-cli on this computer, the given devices passed as USB sticks.
    CommandRun Cli(const std::string& disks, const std::string& arguments) {
        return RunCommand("cd " + Quoted(folder_.path().string()) +
                          " && env -u LARKIN_MACHINE LARKIN_TIME_SCALE=0 LARKIN_TEST_USB_DISKS=" +
                          disks + " LARKIN_STATE_DIR=" + Quoted(State()) + " " +
                          Quoted(LARKIN_BIN "/larkin-cli") + " " + arguments + " </dev/null");
    }

    std::string State() const { return (folder_.path() / "state").string(); }

    TempFolder folder_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The stick's sectors and the source: the demo image folder, or a boot
// floppy's image file whose CONFIG.SYS names A:. A stick of 4096-byte
// sectors cannot take the 512-byte sectors the boot records are made of:
// the program fails before it writes anything.
struct Stick {
    const char* name;
    uint32_t sectorSize;
    bool fromFloppy;
};
class HardwareStickFrom : public HardwareStick, public WithParamInterface<Stick> {};

TEST_P(HardwareStickFrom, ListedMadeBootableVerifiedAndBootsOrRefusedBeforeAnyWrite) {
    const Stick stick = GetParam();
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 128ull << 20, .sectorSize = stick.sectorSize});
    MakeShopStick(loop);

    const std::string letter = Letter(loop);

    std::string floppy = (folder_.path() / "boot.img").string(), source = "--image LarkinDemo";
    if (stick.fromFloppy) {
        CommandRun made = RunCommand("mkfs.fat -C " + Quoted(floppy) +
                                     " 1440 && printf 'SHELL=A:\\\\COMMAND.COM /P\\r\\n' > " +
                                     Quoted(floppy + ".sys") + " && mcopy -i " + Quoted(floppy) +
                                     " " + Quoted(LARKIN_BIN "/File_Images/LarkinDemo/KERNEL.SYS") +
                                     " ::" + " && mcopy -i " + Quoted(floppy) + " " +
                                     Quoted(floppy + ".sys") + " ::CONFIG.SYS");
        ASSERT_EQ(made.exitCode, 0) << made.output;
        source = "--floppy-image " + Quoted(floppy);
    }
    std::string before = Slurp(floppy);
    auto stickBefore = loop.ReadBacking(0, 4 << 20);
    CommandRun boot = Cli(loop.Node(), "boot " + letter + " " + source + " --yes");
    std::ifstream journal(State() + "/journal");
    std::set<std::string> written;
    for (std::string line; std::getline(journal, line);) {
        std::istringstream fields(line);
        std::string mark, key, disk;
        if (fields >> mark >> key >> disk && mark == "+") written.insert(disk);
    }
    if (stick.sectorSize == 4096) {
        EXPECT_EQ(boot.exitCode, 6) << boot.output;
        EXPECT_THAT(boot.output, HasSubstr("the drive has sectors of 4,096 bytes"));
        EXPECT_TRUE(loop.ReadBacking(0, 4 << 20) == stickBefore) << "the stick was changed";
        EXPECT_TRUE(written.empty()) << PrintToString(written);
        return;
    }
    ASSERT_EQ(boot.exitCode, 0) << boot.output;
    EXPECT_THAT(boot.output, HasSubstr("This erases everything on " + letter));
    if (stick.fromFloppy) {
        EXPECT_THAT(boot.output, HasSubstr("CONFIG.SYS on " + letter + " named drive A:"));
        EXPECT_THAT(boot.output, HasSubstr("    SHELL=C:\\COMMAND.COM /P\n"));
        EXPECT_EQ(Slurp(floppy), before) << "the floppy image was written";
    } else {
        // mcopy's warnings on a device may stand before a file's name.
        EXPECT_THAT(boot.output,
                    HasSubstr("  KERNEL.SYS\n  License.rtf\n  fi.ini\n3 file(s) copied."));
    }
    CommandRun verify = Cli(loop.Node(), "verify " + letter);
    EXPECT_EQ(verify.exitCode, 0) << verify.output;
    EXPECT_THAT(verify.output, Not(HasSubstr("FAIL")));

    // Every write the platform made went to the stand-in, and only there.
    ASSERT_EQ(written.size(), 1u) << "disks written: " << PrintToString(written);
    EXPECT_THAT(*written.begin(), HasSubstr(loop.KernelName()));

    if (!HaveProgram("qemu-system-i386")) GTEST_SKIP() << "qemu-system-i386 is missing: not booted";
    CommandRun booted = RunCommand(Quoted(LARKIN_SOURCE_DIR "/scripts/boot-disk") + " " +
                                   Quoted(loop.BackingFile()) + " 60");
    EXPECT_EQ(booted.exitCode, 0) << booted.output;
}

INSTANTIATE_TEST_SUITE_P(Sticks, HardwareStickFrom,
                         Values(Stick{"ImageFolder", 512, false},
                                Stick{"FloppyImageFile", 512, true},
                                Stick{"SectorsOf4096Bytes", 4096, false}),
                         [](const auto& stick) { return std::string(stick.param.name); });

// The desktop's mount (through a loop device at the partition's offset) and
// a partition node of the old table do not stop the format; another
// program's exclusive open refuses the whole operation.
TEST_F(HardwareStick, WhatKeepsTheStickIsUnmountedOrRefusesBeforeTheFirstWrite) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    enum class Keeper { OffsetMount, PartitionNode, ExclusiveOpen };
    for (Keeper keeper : {Keeper::OffsetMount, Keeper::PartitionNode, Keeper::ExclusiveOpen}) {
        SCOPED_TRACE(static_cast<int>(keeper));
        LoopDevice loop;
        LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 128ull << 20});
        MakeShopStick(loop);
        std::string mountPoint = "/media/larkin-test-" + loop.KernelName();
        int exclusive = -1;
        if (keeper == Keeper::OffsetMount) {
            // ext2: this kernel may mount no FAT; the partition's type keeps
            // its volume and letter.
            CommandRun mkfs = RunCommand("mke2fs -q -F -E offset=1048576 " + loop.Node() + " 16M");
            ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
            std::filesystem::create_directories(mountPoint);
            CommandRun mount =
                RunCommand("mount -o offset=1048576 " + loop.Node() + " " + mountPoint);
            if (mount.exitCode != 0) GTEST_SKIP() << "cannot mount here: " << mount.output;
        } else if (keeper == Keeper::PartitionNode) {
            CommandRun added = RunCommand("partx -a " + loop.Node());
            if (!std::filesystem::exists(loop.Node() + "p1"))
                GTEST_SKIP() << "no partition node: " << added.output;
        } else {
            exclusive = ::open(loop.Node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            ASSERT_GE(exclusive, 0);
        }
        auto before = loop.ReadBacking(0, 2 << 20);
        const std::string letter = Letter(loop);
        CommandRun boot = Cli(loop.Node(), "boot " + letter + " --image LarkinDemo --yes");
        if (exclusive >= 0) ::close(exclusive);
        bool stillMounted = RunCommand("mountpoint -q " + mountPoint).exitCode == 0;
        if (stillMounted) RunCommand("umount " + mountPoint);
        std::filesystem::remove(mountPoint);
        EXPECT_FALSE(stillMounted) << "written while mounted";
        if (keeper != Keeper::ExclusiveOpen) {
            EXPECT_EQ(boot.exitCode, 0) << boot.output;
            EXPECT_EQ(Cli(loop.Node(), "verify " + letter).exitCode, 0);
        } else {
            EXPECT_EQ(boot.exitCode, 6) << boot.output;
            EXPECT_THAT(boot.output, HasSubstr("is in use: another program holds it"));
            EXPECT_THAT(boot.output, HasSubstr("Nothing was changed."));
            EXPECT_TRUE(loop.ReadBacking(0, 2 << 20) == before) << "the stick was changed";
        }
    }
}

TEST_F(HardwareStick, WithoutRootAndNotElevatingDrivesAreOnlyRead) {
    if (::geteuid() != 0 || !HaveProgram("setpriv")) GTEST_SKIP() << "needs root and setpriv";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 128ull << 20});
    MakeShopStick(loop);
    auto before = loop.ReadBacking(0, 64 * 1024);
    std::string asNobody =
        "cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups env "
        "-u LARKIN_MACHINE HOME=/nonexistent LARKIN_TEST_USB_DISKS=" +
        loop.Node() + " " + Quoted(LARKIN_BIN "/larkin-cli");
    CommandRun list = RunCommand(asNobody + " list");
    EXPECT_EQ(list.exitCode, 0) << list.output;
    EXPECT_THAT(list.output, HasSubstr("needs root"));
    // Told not to ask polkit, it says what to do instead.
    CommandRun boot = RunCommand(asNobody + " boot D: --image LarkinDemo --yes --no-elevate");
    EXPECT_EQ(boot.exitCode, 6) << boot.output;
    EXPECT_THAT(boot.output, HasSubstr("larkin-cli: writing to a drive needs root"));
    EXPECT_EQ(loop.ReadBacking(0, 64 * 1024), before);
}

TEST_F(HardwareStick, OnlyLoopDevicesPassAsStandIns) {
    CommandRun refused = Cli("/dev/loop0,/dev/sda", "list");
    EXPECT_NE(refused.exitCode, 0) << refused.output;
    EXPECT_THAT(refused.output, HasSubstr("/dev/sda"));
}

}  // namespace
