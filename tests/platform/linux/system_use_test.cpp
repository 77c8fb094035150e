#include "backends/linux/system_use.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "testbed.h"

namespace larkin::platform::linuxhw {
namespace {

using larkin::testing::Replaced;
using larkin::testing::Testbed;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(MountInfo, FieldsEscapesAndTheAutomounter) {
    const char* text =
        "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw,errors=remount-ro\n"
        "23 22 259:1 / /boot/efi rw,relatime shared:2 - vfat /dev/nvme0n1p1 rw,fmask=0077\n"
        "24 22 0:21 / /proc rw,nosuid - proc proc rw\n"
        "25 22 8:17 / /media/ann/MY\\040STICK rw,nosuid shared:3 master:1 - vfat /dev/sdb1 rw\n"
        "26 22 8:33 / /run/media/ann/CARD rw - exfat /dev/sdc1 rw\n"
        "27 22 8:1 / /mnt/back\\134slash\\011tab rw - ext4 /dev/sda1 rw\n"
        "this is no mount\n"
        "28 22 8:49 / /media rw - ext4 /dev/sdd1 rw\n"
        "29 22 8:65 / /mediax/y rw - ext4 /dev/sde1 rw\n"
        "30 22 x:1 / /bad rw - ext4 /dev/x rw\n"
        "31 22 8:2 / /short rw\n"
        "32 22 8:3 / /no-source rw - ext4\n"
        "33 22 8:4 / /odd\\09escape rw - ext4 /dev/sda4 rw";  // no newline at the end
    std::vector<std::string> lines;
    for (const Mount& m : ParseMountInfo(text))
        lines.push_back(std::to_string(major(m.device)) + ":" + std::to_string(minor(m.device)) +
                        " " + m.mountPoint + " " + m.fileSystem + " " + m.source +
                        (m.automounted ? " automounted" : ""));
    EXPECT_THAT(lines, ElementsAre("259:2 / ext4 /dev/nvme0n1p2",
                                   "259:1 /boot/efi vfat /dev/nvme0n1p1", "0:21 /proc proc proc",
                                   "8:17 /media/ann/MY STICK vfat /dev/sdb1 automounted",
                                   "8:33 /run/media/ann/CARD exfat /dev/sdc1 automounted",
                                   "8:1 /mnt/back\\slash\ttab ext4 /dev/sda1",
                                   // the folder itself is no automounted stick
                                   "8:49 /media ext4 /dev/sdd1", "8:65 /mediax/y ext4 /dev/sde1",
                                   // not three octal digits: kept
                                   "8:4 /odd\\09escape ext4 /dev/sda4"));
}

// Paths unescaped; a file rests on the device it lives on.
TEST(Swaps, PathsAndTheirDevices) {
    const char* text =
        "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
        "/dev/nvme0n1p3                          partition\t8388604\t\t0\t\t-2\n"
        "/var/swap\\040file                       file\t\t1048572\t\t0\t\t-3\n"
        "/old/swap\\040(deleted)                  file\t\t1048572\t\t0\t\t-4\n"
        "\n";
    EXPECT_THAT(ParseSwaps(text),
                ElementsAre("/dev/nvme0n1p3", "/var/swap file", "/old/swap (deleted)"));
    EXPECT_THAT(ParseSwaps("Filename Type Size Used Priority\n"), IsEmpty());

    struct stat info {};
    ASSERT_EQ(::stat("/proc/self/exe", &info), 0);
    if (major(info.st_dev) != 0) {
        EXPECT_EQ(SwapDevice("/proc/self/exe", {}), info.st_dev);
    }

    // Gone, or on a file system without a number of its own: the innermost
    // mount that holds it, by whole folder names.
    const std::vector<Mount> mounts = {{.device = makedev(259, 2), .mountPoint = "/"},
                                       {.device = makedev(8, 1), .mountPoint = "/srv"},
                                       {.device = makedev(8, 17), .mountPoint = "/srv/swapdisk"},
                                       {.device = makedev(0, 40), .mountPoint = "/srv/tmp"}};
    EXPECT_EQ(SwapDevice("/srv/swap/gone (deleted)", mounts), makedev(8, 1));
    EXPECT_EQ(SwapDevice("/srv/swapdisk/file", mounts), makedev(8, 17));
    EXPECT_EQ(SwapDevice("/elsewhere/file", mounts), makedev(259, 2));
    EXPECT_FALSE(SwapDevice("/srv/tmp/file", mounts));  // tmpfs: no disk
    EXPECT_FALSE(SwapDevice("/srv/file", {}));
}

// The recorded machine, with what a test adds: device_stacks.umockdev has
// LVM on the SATA disk's partition, an md mirror of the stick's partition
// and the card, a crypt device over the mirror, a loop device over the SATA
// disk, and a broken pair that names each other.
class SystemUseTest : public ::testing::Test {
  protected:
    void SetUp() override { LARKIN_NEED_TESTBED(); }

    struct Edit {
        std::string_view recording, from, to;
    };

    // Makes the testbed, with what the test adds, and scans it.
    void Machine(std::vector<std::string> more = {}, std::vector<Edit> edits = {}) {
        testbed_ = std::make_unique<Testbed>();
        for (std::string_view name : {"usb_stick.umockdev", "card_reader.umockdev",
                                      "sata_disk.umockdev", "nvme_disk.umockdev"}) {
            std::string text = Testbed::Recording(name);
            for (const Edit& edit : edits)
                if (edit.recording == name) text = Replaced(text, edit.from, edit.to);
            testbed_->Add(text);
        }
        for (const auto& text : more) testbed_->Add(text);
        ScanOptions options;
        for (const auto& text : more)
            if (text.find("block/loop3\n") != std::string::npos)
                options.testUsbDisks = {"/dev/loop3"};
        std::vector<std::string> problems;
        scan_ = ScanHardware(options, &problems);
        EXPECT_THAT(problems, IsEmpty());
    }

    const FoundDisk& Disk(const std::string& name) {
        for (const auto& disk : scan_.disks)
            if (disk.kernelName == name) return disk;
        ADD_FAILURE() << "no disk " << name;
        static const FoundDisk none;
        return none;
    }

    std::unique_ptr<Testbed> testbed_;
    HardwareScan scan_;
};

TEST_F(SystemUseTest, DisksUnderStacksOfDevices) {
    Machine({Testbed::Recording("device_stacks.umockdev")});
    EXPECT_THAT(DisksUnder(makedev(8, 17)), ElementsAre("sdb"));  // a partition: its disk
    EXPECT_THAT(DisksUnder(makedev(8, 16)), ElementsAre("sdb"));
    EXPECT_THAT(DisksUnder(makedev(259, 3)), ElementsAre("nvme0n1"));
    EXPECT_THAT(DisksUnder(makedev(253, 0)), ElementsAre("dm-0", "sda"));
    EXPECT_THAT(DisksUnder(makedev(9, 0)), ElementsAre("md0", "sdb", "sdc"));
    EXPECT_THAT(DisksUnder(makedev(253, 1)), ElementsAre("dm-1", "md0", "sdb", "sdc"));
    EXPECT_THAT(DisksUnder(makedev(7, 1)), ElementsAre("loop1", "sda"));  // over /dev/sda
    EXPECT_THAT(DisksUnder(makedev(253, 7)), ElementsAre("dm-7", "dm-8"));
    EXPECT_THAT(DisksUnder(makedev(8, 240)), IsEmpty());  // no such device
    EXPECT_THAT(DisksUnder(makedev(0, 21)), IsEmpty());   // proc, tmpfs, ...

    // The system on a crypt device over the mirror rests on both members.
    SystemUse use{.mounts = ParseMountInfo("1 0 253:1 / / rw - ext4 /dev/mapper/root rw\n")};
    EXPECT_TRUE(HoldsSystem(Disk("sdb"), use));
    EXPECT_TRUE(HoldsSystem(Disk("sdc"), use));
    EXPECT_FALSE(HoldsSystem(Disk("sda"), use));
    EXPECT_FALSE(HoldsSystem(Disk("nvme0n1"), use));
}

TEST_F(SystemUseTest, ALoopDeviceRestsOnTheDiskOfItsBackingFile) {
    char path[] = "/var/tmp/larkin-backing-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    struct Removed {
        const char* path;
        ~Removed() { ::unlink(path); }
    } removed{path};
    struct stat info {};
    ASSERT_EQ(::fstat(fd, &info), 0);
    ::close(fd);
    if (major(info.st_dev) == 0 || major(info.st_dev) == 7)
        GTEST_SKIP() << "/var/tmp is on no block device here";
    std::string major_ = std::to_string(major(info.st_dev)),
                minor_ = std::to_string(minor(info.st_dev));
    Machine(
        {"P: /devices/pci0000:00/0000:00:05.0/virtio9/block/vdz\nN: vdz\n"
         "E: DEVNAME=/dev/vdz\nE: DEVTYPE=disk\nE: SUBSYSTEM=block\nE: MAJOR=" +
         major_ + "\nE: MINOR=" + minor_ + "\nA: dev=" + major_ + ":" + minor_ +
         "\nA: size=2048\n\nP: /devices/virtual/block/loop0\nN: loop0\n"
         "E: DEVNAME=/dev/loop0\nE: DEVTYPE=disk\nE: SUBSYSTEM=block\nE: MAJOR=7\n"
         "E: MINOR=0\nA: dev=7:0\nA: loop/backing_file=" +
         std::string(path) + "\\n\n"});
    EXPECT_THAT(DisksUnder(makedev(7, 0)), ElementsAre("loop0", "vdz"));
}

// Why a disk may not be written, for each use the system makes of it; a
// stick or card nobody uses may be, and so may a stand-in, which is
// refused only for what would refuse a stick.
TEST_F(SystemUseTest, WhatTheSystemUsesIsNeverWritten) {
    Machine({Testbed::Recording("loop3_over_missing_file.umockdev")});
    struct Row {
        const char* disk;
        std::string mountinfo;  // mounts, from device to file system
        std::vector<dev_t> swaps;
        std::string refusal;
    };
    const std::string outside = "it is mounted outside /media and /run/media ";
    const Row rows[] = {
        {"sdb", "", {}, ""},
        {"sdc", "", {}, ""},
        {"sdd", "", {}, ""},
        {"loop3", "", {}, ""},
        {"sdb", "8:17 / /media/ann/STICK rw - vfat /dev/sdb1", {}, ""},
        {"sdb", "8:17 / /run/media/ann/STICK rw - vfat /dev/sdb1", {}, ""},
        {"sdb", "8:17 / /mnt/stick rw - vfat /dev/sdb1", {}, outside + "(/dev/sdb1 at /mnt/stick)"},
        {"sdb", "8:16 / /srv rw - vfat /dev/sdb", {}, outside + "(/dev/sdb at /srv)"},
        {"loop3", "7:3 / /mnt/img rw - vfat /dev/loop3", {}, outside + "(/dev/loop3 at /mnt/img)"},
        {"sdb", "", {makedev(8, 17)}, "it holds active swap (/dev/sdb1)"},
        {"sdc", "", {makedev(8, 32)}, "it holds active swap (/dev/sdc)"},
        {"loop3", "", {makedev(7, 3)}, "it holds active swap (/dev/loop3)"},
        {"sda", "", {}, "it is a fixed disk that is not on USB"},
        {"nvme0n1",
         "259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n23 22 259:1 / /boot/efi rw - vfat /dev/nvme0n1p1",
         {},
         "it holds the running system (/); " + outside +
             "(/dev/nvme0n1p1 at /boot/efi); it is a fixed disk that is not on USB"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.disk) + " " + row.mountinfo);
        SystemUse use{.swaps = row.swaps};
        if (!row.mountinfo.empty()) use.mounts = ParseMountInfo("40 22 " + row.mountinfo + " rw\n");
        EXPECT_EQ(WriteRefusalOf(Disk(row.disk), use), row.refusal);
        EXPECT_EQ(HoldsSystem(Disk(row.disk), use), row.refusal.find("(/)") != std::string::npos);
    }
    // Even a removable USB stick, when the system runs from it.
    for (const char* path : kSystemPaths) {
        SCOPED_TRACE(path);
        SystemUse use{
            .mounts = {{.device = makedev(8, 17), .mountPoint = path, .source = "/dev/sdb1"}}};
        EXPECT_TRUE(HoldsSystem(Disk("sdb"), use));
        EXPECT_THAT(WriteRefusalOf(Disk("sdb"), use),
                    HasSubstr("it holds the running system (" + std::string(path) + ")"));
        EXPECT_FALSE(HoldsSystem(Disk("sdc"), use));
    }
    auto mounts =
        MountsOn(Disk("sdb"),
                 {.mounts = ParseMountInfo("40 22 8:17 / /media/ann/S rw - vfat /dev/sdb1 rw\n")});
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].mountPoint, "/media/ann/S");
    EXPECT_TRUE(mounts[0].automounted);
    EXPECT_THAT(MountsOn(Disk("sdc"), {.mounts = mounts}), IsEmpty());

    SystemUse unknown{.unreadable = "/proc/self/mountinfo cannot be read"};
    for (const auto& disk : scan_.disks)
        EXPECT_THAT(WriteRefusalOf(disk, unknown),
                    HasSubstr("what the running system uses is unknown (/proc/self/mountinfo "
                              "cannot be read)"))
            << disk.kernelName;
}

// A partition held (the stick's), or a whole disk (the card reader's empty slots).
TEST_F(SystemUseTest, HeldByDeviceMapperOrMd) {
    Machine({},
            {{"usb_stick.umockdev", "A: partition=1\\n\n",
              "A: partition=1\\n\nL: "
              "holders/dm-3=../../../../../../../../../../../../virtual/block/dm-3\n"},
             {"card_reader.umockdev", "A: size=0\\n\n",
              "A: size=0\\n\nL: holders/md0=../../../../../../../../../../virtual/block/md0\n"}});
    EXPECT_EQ(WriteRefusalOf(Disk("sdb"), {}),
              "it is in use by device mapper, md or LVM (sdb1 is held by dm-3)");
    EXPECT_EQ(WriteRefusalOf(Disk("sdc"), {}), "");
    EXPECT_THAT(WriteRefusalOf(Disk("sdd"), {}), HasSubstr("(sdd is held by md0)"));
}

// A USB disk that says it is fixed, as USB hard disks do, may be written;
// a stand-in over a block device may not.
TEST_F(SystemUseTest, FixedUsbDisksAndStandInsOverBlockDevices) {
    Machine({Replaced(Testbed::Recording("loop3_over_missing_file.umockdev"),
                      "/var/tmp/larkin-no-such-stick.img", "/dev/sda")},
            {{"usb_stick.umockdev", "A: removable=1\\n", "A: removable=0\\n"}});
    EXPECT_EQ(WriteRefusalOf(Disk("sdb"), {}), "");
    EXPECT_EQ(WriteRefusalOf(Disk("loop3"), {}),
              "it is a loop device over the block device /dev/sda");
}

}  // namespace
}  // namespace larkin::platform::linuxhw
