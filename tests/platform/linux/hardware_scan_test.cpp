// The hardware scan on sysfs testbeds (of this test's own making, seen
// through umockdev's preload library), and the system's own use of the
// disks it finds.
#include "backends/linux/hardware_scan.h"
#include "backends/linux/sysfs_attributes.h"
#include "backends/linux/system_use.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "test_machine.h"

#ifdef LARKIN_HAVE_UMOCKDEV
#include <umockdev.h>
#endif

namespace larkin::platform::linuxhw {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(TestUsbDisks, OnlyLoopDevicesAreAccepted) {
    std::string error = "stale";
    EXPECT_EQ(ParseTestUsbDisks(" /dev/loop0, /dev/loop12,,/dev/loop0 ,", &error),
              (std::vector<std::string>{"/dev/loop0", "/dev/loop12"}));
    EXPECT_EQ(error, "");
    EXPECT_THAT(ParseTestUsbDisks("", &error), IsEmpty());
    EXPECT_EQ(error, "");

    for (const char* bad : {"/dev/sda", "/dev/loop", "/dev/loopx", "loop3", "/dev/loop3p1",
                            "/dev/loop3/../sda", "/dev/mapper/loop3", "/tmp/stick.img"}) {
        SCOPED_TRACE(bad);
        EXPECT_THAT(ParseTestUsbDisks(std::string("/dev/loop1,") + bad, &error), IsEmpty());
        EXPECT_THAT(error, AllOf(HasSubstr(std::string("\"") + bad + "\" is not a loop device"),
                                 HasSubstr("LARKIN_TEST_USB_DISKS")));
    }
}

// The file a privileged helper reads is honoured only while no one but its
// owner can have written it (root in use; this process here).
TEST(TestUsbDisks, FromTheOwnersFileOnly) {
    larkin::test::TempFolder folder;
    const std::string file = folder.path() / "list", link = folder.path() / "link";
    std::ofstream(file) << " /dev/loop7\n\n/dev/loop9\n";
    std::filesystem::create_symlink(file, link);
    const unsigned me = ::geteuid();
    const std::vector<std::string> listed = {"/dev/loop7", "/dev/loop9"};
    std::string error;
    struct Case {
        mode_t mode;
        std::string path;
        unsigned owner;
        bool honoured;
    } cases[] = {{0644, file, me, true},      {0664, file, me, false},
                 {0646, file, me, false},     {0644, link, me, false},
                 {0644, file, me + 1, false}, {0644, file + ".missing", me, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.mode));
        std::filesystem::permissions(file, static_cast<std::filesystem::perms>(c.mode));
        EXPECT_EQ(TestUsbDisksFromFile(c.path, c.owner, &error),
                  c.honoured ? listed : std::vector<std::string>());
        EXPECT_EQ(error, "");
    }
    std::filesystem::permissions(file, static_cast<std::filesystem::perms>(0644));
    std::ofstream(file, std::ios::app) << "/dev/sdb\n";
    EXPECT_THAT(TestUsbDisksFromFile(file, me, &error), IsEmpty());
    EXPECT_THAT(error, AllOf(HasSubstr(file + ": "), HasSubstr("\"/dev/sdb\"")));
}

// Beyond what the recordings show: ids and device numbers are whole or
// nothing, a file is read up to a limit, a name's closing slash is no part
// of it.
TEST(Sysfs, MalformedNumbersLongFilesAndClosingSlashes) {
    for (const char* bad : {"781", "zz12", "07811"}) EXPECT_FALSE(ParseUsbId(bad)) << bad;
    EXPECT_EQ(ParseDeviceNumber("259:0"), makedev(259, 0));
    for (const char* bad : {"8", "8:x", ":1"}) EXPECT_FALSE(ParseDeviceNumber(bad)) << bad;
    larkin::test::TempFolder folder;
    std::ofstream(folder.path() / "size") << "2048\n";
    EXPECT_EQ(ReadFileBytes(folder.path() / "size", 2), "20");
    EXPECT_EQ(BaseName("/sys/block/sdb/"), "sdb");
}

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

#ifdef LARKIN_HAVE_UMOCKDEV
class Testbed {
  public:
    // Adds devices described as umockdev records them ("P: /devices/...",
    // "A: size=...", ...); a description umockdev rejects fails the test.
    void Add(const std::string& text) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_.get(), text.c_str(), &error)) {
            ADD_FAILURE() << "umockdev rejects the testbed: " << (error ? error->message : "?");
            if (error) g_error_free(error);
        }
        LinkBlockNumbers(text);
    }

  private:
    // umockdev takes a block device for a character device unless its path
    // has a "block" folder (NVMe namespaces have none): its /sys/dev/block
    // entry is made here, as the kernel makes it.
    void LinkBlockNumbers(const std::string& text) {
        gchar* made = umockdev_testbed_get_root_dir(testbed_.get());
        const std::string root = made ? made : "";
        g_free(made);
        std::istringstream lines(text + "\n");
        std::string line, path, number;
        bool block = false;
        while (std::getline(lines, line)) {
            if (line.starts_with("P: ")) path = line.substr(3);
            if (line == "E: SUBSYSTEM=block") block = true;
            if (line.starts_with("A: dev=")) number = line.substr(7);
            if (!line.empty()) continue;
            std::string link = root + "/sys/dev/block/" + number;
            if (block && !number.empty() && !std::filesystem::is_symlink(link)) {
                std::filesystem::create_directories(root + "/sys/dev/block");
                std::filesystem::create_symlink("../.." + path, link);
            }
            path.clear();
            number.clear();
            block = false;
        }
    }

    std::unique_ptr<UMockdevTestbed, void (*)(gpointer)> testbed_{umockdev_testbed_new(),
                                                                  g_object_unref};
};

// The text of a description in tests/platform/linux/testbeds.
std::string Recording(std::string_view name) {
    std::ifstream file(std::string(LARKIN_TESTBEDS) + "/" + std::string(name));
    EXPECT_TRUE(file) << "no testbed description " << name;
    return {std::istreambuf_iterator<char>(file), {}};
}

// text with every from replaced by to; fails the test when from is absent.
std::string Replaced(std::string text, std::string_view from, std::string_view to) {
    size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "the testbed has no \"" << from << "\"";
    for (; at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

const AdapterFacts* AdapterOf(const HardwareScan& scan, const std::string& key) {
    for (const auto& adapter : scan.adapters)
        if (adapter.key == key) return &adapter;
    return nullptr;
}

const FoundDisk* DiskOf(const HardwareScan& scan, const std::string& kernelName) {
    for (const auto& disk : scan.disks)
        if (disk.kernelName == kernelName) return &disk;
    return nullptr;
}

// An adapter, and a disk, as one line of text: a table of expected lines
// says all a scan must find, and a failure shows the fact that differs.
// Facts at their defaults (no serial, no port, ...) are left out.
std::string Line(const AdapterFacts& a) {
    std::ostringstream line;
    line << a.key << (a.parentKey.empty() ? "" : " < " + a.parentKey)
         << (a.bus == Bus::Usb   ? " usb"
             : a.bus == Bus::Ata ? " ata"
                                 : " scsi")
         << (a.hub ? " hub" : "") << (a.aspiHost ? " aspi" : "");
    if (a.port) line << " port=" << *a.port;
    line << " \"" << a.description << "\"";
    if (!a.serial.empty()) line << " serial=" << a.serial;
    char ids[16];
    std::snprintf(ids, sizeof ids, " %04x:%04x", a.usbVendorId, a.usbProductId);
    if (a.usbVendorId || a.usbProductId) line << ids;
    return line.str();
}

std::string Line(const FoundDisk& d) {
    std::ostringstream line;
    line << d.kernelName << " " << major(d.device) << ":" << minor(d.device) << " " << d.node
         << (d.sgNode.empty() ? "" : " " + d.sgNode) << (d.usb ? " usb" : "")
         << (d.testStandIn ? " stand-in" : "") << (d.facts.removable ? " removable" : "")
         << (d.facts.mediaPresent ? "" : " no-media");
    if (d.scsi)
        line << " scsi=" << d.scsi->port << ":" << int(d.scsi->target) << ":" << int(d.scsi->lun);
    line << " size=" << d.facts.size << "/" << d.facts.sectorSize << " on " << d.facts.adapterKey;
    if (d.facts.target) line << " target=" << int(d.facts.target);
    line << " \"" << d.facts.vendor << "|" << d.facts.product << "|" << d.facts.revision << "\"";
    if (!d.facts.serial.empty()) line << " serial=" << d.facts.serial;
    line << " key=" << d.facts.key;
    return line.str();
}

template <typename T>
std::vector<std::string> Lines(const std::vector<T>& items) {
    std::vector<std::string> lines;
    for (const auto& item : items) lines.push_back(Line(item));
    return lines;
}

// What every scan promises: parents before children, index = place, each
// disk below a listed adapter, and no key twice.
void ExpectWellFormed(const HardwareScan& scan) {
    std::set<std::string> seen;
    for (uint32_t i = 0; i < scan.adapters.size(); ++i) {
        const auto& adapter = scan.adapters[i];
        EXPECT_EQ(adapter.index, i) << adapter.key;
        if (!adapter.parentKey.empty()) {
            EXPECT_TRUE(seen.contains(adapter.parentKey)) << adapter.key << " before its parent";
            EXPECT_TRUE(AdapterOf(scan, adapter.parentKey)->hub) << adapter.parentKey;
        }
        EXPECT_TRUE(seen.insert(adapter.key).second) << "adapter key twice: " << adapter.key;
    }
    std::set<std::string> diskKeys;
    for (const auto& disk : scan.disks) {
        EXPECT_NE(AdapterOf(scan, disk.facts.adapterKey), nullptr) << disk.kernelName;
        EXPECT_TRUE(diskKeys.insert(disk.facts.key).second) << "disk key twice: " << disk.facts.key;
        EXPECT_THAT(disk.sysPath, AllOf(::testing::StartsWith("/sys/devices/"),
                                        ::testing::EndsWith("/" + disk.kernelName)));
    }
}

class HardwareScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // umockdev_in_mock_environment() keeps its first answer, given before
        // any testbed exists; the preload list says it plainly.
        const char* preload = std::getenv("LD_PRELOAD");
        if (!preload || !std::strstr(preload, "libumockdev-preload"))
            GTEST_SKIP() << "sysfs testbeds need umockdev's preload library: run the program "
                            "under umockdev-wrapper (ctest does)";
    }

    HardwareScan Scan(const std::vector<std::string>& recordings, ScanOptions options = {}) {
        testbed_.reset();  // one testbed at a time: the old one takes its folder with it
        testbed_ = std::make_unique<Testbed>();
        for (const auto& text : recordings) testbed_->Add(text);
        problems_.clear();
        HardwareScan scan = ScanHardware(options, &problems_);
        ExpectWellFormed(scan);
        return scan;
    }

    std::unique_ptr<Testbed> testbed_;
    std::vector<std::string> problems_;
};

// Each recorded machine, read without the udev database where it has none.
TEST_F(HardwareScanTest, EachRecordedMachine) {
    struct Case {
        const char* recording;
        std::vector<std::string> adapters, disks;
    };
    const std::string nvme =
        "nvme0n1 259:0 /dev/nvme0n1 size=1000204886016/512 on "
        "nvme-pci0000:00/0000:00:1d.0/0000:3d:00.0 \"NVMe|Samsung SSD 970 EVO Plus 1TB|2B2QEXM7\" "
        "serial=S4EWNX0R123456K key=serial:NVMe/Samsung SSD 970 EVO Plus "
        "1TB/S4EWNX0R123456K/n1";
    const std::string nvmeController =
        "nvme-pci0000:00/0000:00:1d.0/0000:3d:00.0 scsi \"Standard NVM Express Controller\"";
    const Case cases[] = {
        {"usb_stick.umockdev",
         {"usb-usb1 usb hub \"USB Root Hub\" serial=0000:00:14.0 1d6b:0002",
          "usb-1-1 < usb-usb1 usb hub \"Generic USB Hub\" 05e3:0610",
          "usb-1-1.2 < usb-1-1 usb aspi port=6 \"USB Mass Storage Device\" "
          "serial=4C530001150713117254 0781:5567"},
         {"sdb 8:16 /dev/sdb /dev/sg1 usb removable scsi=6:0:0 size=15376318464/512 on usb-1-1.2 "
          "\"SanDisk|Cruzer Blade|1.00\" serial=4C530001150713117254 "
          "key=serial:SanDisk/Cruzer Blade/4C530001150713117254/0:0:0"}},
        {"card_reader.umockdev",
         {"usb-usb2 usb hub \"USB Root Hub\" serial=0000:00:1a.0 1d6b:0002",
          "usb-2-3 < usb-usb2 usb aspi port=7 \"USB Mass Storage Device\" "
          "serial=20071114173400000 0bda:0158"},
         {"sdc 8:32 /dev/sdc /dev/sg2 usb removable scsi=7:0:0 size=3963617280/512 on usb-2-3 "
          "\"Generic-|SD/MMC|1.00\" serial=20071114173400000 "
          "key=serial:Generic-/SD/MMC/20071114173400000/0:0:0",
          "sdd 8:48 /dev/sdd /dev/sg3 usb removable no-media scsi=7:0:1 size=0/512 on usb-2-3 "
          "\"Generic-|Compact Flash|1.00\" serial=20071114173400000 "
          "key=serial:Generic-/Compact Flash/20071114173400000/0:0:1",
          "sde 8:64 /dev/sde /dev/sg4 usb removable no-media scsi=7:0:2 size=0/512 on usb-2-3 "
          "\"Generic-|SM/xD-Picture|1.00\" serial=20071114173400000 "
          "key=serial:Generic-/SM/xD-Picture/20071114173400000/0:0:2",
          "sdf 8:80 /dev/sdf /dev/sg5 usb removable no-media scsi=7:0:3 size=0/512 on usb-2-3 "
          "\"Generic-|MS/MS-Pro|1.00\" serial=20071114173400000 "
          "key=serial:Generic-/MS/MS-Pro/20071114173400000/0:0:3"}},
        {"sata_disk.umockdev",
         {"ata-pci0000:00/0000:00:17.0/ata3 ata port=2 \"ATA Channel 2\""},
         {"sda 8:0 /dev/sda /dev/sg0 scsi=2:0:0 size=500107862016/512 on "
          "ata-pci0000:00/0000:00:17.0/ata3 \"ATA|Samsung SSD 860|4B6Q\" serial=S3Z9NB0K123456A "
          "key=serial:ATA/Samsung SSD 860/S3Z9NB0K123456A/0:0:0"}},
        {"nvme_disk.umockdev", {nvmeController}, {nvme}},
        {"nvme_multipath.umockdev", {nvmeController}, {nvme}},
        // Virtual, optical, an eMMC's boot areas: no disk of their own to write.
        {"not_disks_to_write.umockdev", {}, {}},
        {"virtio_and_sd_card.umockdev",
         {"virtio-pci0000:00/0000:00:02.0/virtio1 scsi \"VirtIO Block Controller\"",
          "mmc-pci0000:00/0000:00:1e.6/mmc_host/mmc0 scsi \"SD Host Controller\""},
         {"vda 254:0 /dev/vda size=274877906944/512 on virtio-pci0000:00/0000:00:02.0/virtio1 "
          "\"VirtIO|Block Device|\" serial=18366393809633909 "
          "key=serial:VirtIO/Block Device/18366393809633909/0",
          "mmcblk0 179:0 /dev/mmcblk0 size=31914983424/512 on "
          "mmc-pci0000:00/0000:00:1e.6/mmc_host/mmc0 \"SD|SD32G|\" serial=0x1234abcd "
          "key=serial:SD/SD32G/0x1234abcd/0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.recording);
        HardwareScan scan = Scan({Recording(c.recording)});
        EXPECT_THAT(problems_, IsEmpty());
        EXPECT_EQ(Lines(scan.adapters), c.adapters);
        EXPECT_EQ(Lines(scan.disks), c.disks);
    }
}

// The serial the udev database gives comes first; without it, what sysfs
// shows, down to the namespace's world-wide name.
TEST_F(HardwareScanTest, WhereTheSerialComesFrom) {
    std::string sata = Recording("sata_disk.umockdev");
    std::string withDatabase =
        Replaced(sata, "E: DEVTYPE=disk\n", "E: DEVTYPE=disk\nE: ID_SERIAL_SHORT=FROM-DATABASE\n");
    EXPECT_EQ(Scan({withDatabase}).disks.at(0).facts.serial, "FROM-DATABASE");

    std::string nvme = Recording("nvme_disk.umockdev");
    std::string noDatabase = Replaced(nvme, "E: ID_SERIAL_SHORT=S4EWNX0R123456K\n", "");
    EXPECT_EQ(Scan({noDatabase}).disks.at(0).facts.serial, "S4EWNX0R123456K");
    std::string onlyWwid =
        Replaced(noDatabase, "A: serial=S4EWNX0R123456K\\040\\040\\040\\040\\040\n", "");
    EXPECT_EQ(Scan({onlyWwid}).disks.at(0).facts.serial, "eui.0025385b01234567");

    // No serial anywhere: the disk is known by its place.
    std::string stick =
        Replaced(Recording("usb_stick.umockdev"), "A: serial=4C530001150713117254\\n\n", "");
    EXPECT_EQ(Scan({stick}).disks.at(0).facts.key, "path:usb-1-1.2/0:0:0");
}

// Two sticks of one make that claim the same serial are told apart by
// their place, each the same on every scan.
TEST_F(HardwareScanTest, TwinSticksWithOneSerial) {
    // The twin is the stick as sdc, on host8, in the hub's next socket.
    HardwareScan scan =
        Scan({Recording("usb_stick.umockdev"), Recording("usb_stick_twin.umockdev")});
    EXPECT_THAT(problems_, IsEmpty());
    ASSERT_EQ(scan.disks.size(), 2u);
    EXPECT_EQ(DiskOf(scan, "sdb")->facts.key, "path:usb-1-1.2/0:0:0");
    EXPECT_EQ(DiskOf(scan, "sdc")->facts.key, "path:usb-1-1.3/0:0:0");
    EXPECT_EQ(DiskOf(scan, "sdc")->facts.serial, "4C530001150713117254");
    EXPECT_EQ(AdapterOf(scan, "usb-1-1.3")->parentKey, "usb-1-1");
}

// Attributes no driver should show: the scan goes on, with defaults where
// they are safe and without the disk (and a line saying why) where not.
TEST_F(HardwareScanTest, GarbledAttributes) {
    std::string stick = Recording("usb_stick.umockdev");
    struct Case {
        std::string from, to, problem;
    };
    const Case leftOut[] = {
        {"A: size=30031872\\n\n", "A: size=12abc\n", "\"12abc\" is not a number"},
        {"A: size=30031872\\n\n", "A: size=99999999999999999999\n", "is not a number"},
        {"A: size=30031872\\n\n", "A: size/x=1\n", "size cannot be read"},  // a folder
        {"A: size=30031872\\n\n", "", "size cannot be read"},
        {"A: queue/logical_block_size=512\\n\n", "A: queue/logical_block_size=0\n",
         "logical block size \"0\""},
        {"A: queue/logical_block_size=512\\n\n", "A: queue/logical_block_size=513\n",
         "logical block size \"513\""},
        {"target6:0:0/6:0:0:0", "target6:0:0/6:0:x:0", "SCSI address \"6:0:x:0\""},
        {"target6:0:0/6:0:0:0", "target6:0:0/7:0:0:0", "SCSI address \"7:0:0:0\""},
    };
    for (const auto& garbled : leftOut) {
        SCOPED_TRACE(garbled.to);
        // Beside it a sound SATA disk, still listed.
        HardwareScan scan =
            Scan({Replaced(stick, garbled.from, garbled.to), Recording("sata_disk.umockdev")});
        EXPECT_THAT(Lines(scan.disks), ElementsAre(::testing::StartsWith("sda ")));
        EXPECT_THAT(problems_, ElementsAre(AllOf(HasSubstr("/dev/sdb is left out"),
                                                 HasSubstr(garbled.problem))));
    }

    // Odd bytes in texts become '_', tabs and line ends spaces, and a NUL
    // ends them; unreadable ids are 0; a removable flag that is not "1"
    // counts as fixed; a missing block size is 512.
    std::string odd =
        Replaced(stick, "A: vendor=SanDisk\\040\n", "H: vendor=53616efe446973016b20\n");
    odd = Replaced(odd, "A: idVendor=0781\n", "A: idVendor=zz81\n");
    odd = Replaced(odd, "A: removable=1\\n\n", "A: removable=yes\n");
    odd = Replaced(odd, "A: queue/logical_block_size=512\\n\n", "");
    odd = Replaced(odd, "A: serial=4C530001150713117254\\n\n", "H: serial=4c53ff0a093031004142\n");
    HardwareScan scan = Scan({odd});
    EXPECT_THAT(problems_, IsEmpty());
    EXPECT_THAT(Lines(scan.disks),
                ElementsAre("sdb 8:16 /dev/sdb /dev/sg1 usb scsi=6:0:0 size=15376318464/512 on "
                            "usb-1-1.2 \"San_Dis_k|Cruzer Blade|1.00\" serial=LS_  01 "
                            "key=serial:San_Dis_k/Cruzer Blade/LS_  01/0:0:0"));
    EXPECT_EQ(Line(*AdapterOf(scan, "usb-1-1.2")),
              "usb-1-1.2 < usb-1-1 usb aspi port=6 \"USB Mass Storage Device\" serial=LS_  01 "
              "0000:5567");
}

// Named loop devices stand in for USB sticks, each below a made-up USB
// adapter on a SCSI port no real host has.
TEST_F(HardwareScanTest, LoopDevicesStandingInForSticks) {
    HardwareScan plain =
        Scan({Recording("usb_stick.umockdev"), Recording("loop_stand_ins.umockdev")});
    EXPECT_EQ(DiskOf(plain, "loop3"), nullptr);

    ScanOptions options;
    options.testUsbDisks = {"/dev/loop3", "/dev/loop5", "/dev/loop3", "/dev/sda", "/dev/loop9"};
    HardwareScan scan =
        Scan({Recording("usb_stick.umockdev"), Recording("loop_stand_ins.umockdev")}, options);
    EXPECT_THAT(problems_, ElementsAre(HasSubstr("\"/dev/sda\" cannot stand in"),
                                       HasSubstr("/dev/loop9 cannot stand in")));
    ASSERT_EQ(scan.disks.size(), 3u);
    // Ports above the stick's host6.
    EXPECT_EQ(Line(*AdapterOf(scan, "test-usb-loop3")),
              "test-usb-loop3 usb aspi port=7 \"Larkin Test USB Stand-in\" serial=TEST-loop3 "
              "0000:0001");
    EXPECT_EQ(Line(*DiskOf(scan, "loop3")),
              "loop3 7:3 /dev/loop3 usb stand-in removable scsi=7:0:0 size=67108864/512 on "
              "test-usb-loop3 \"Larkin|Test Stick|1.0\" serial=TEST-loop3 key=test-disk-loop3");
    EXPECT_EQ(Line(*DiskOf(scan, "loop5")),
              "loop5 7:5 /dev/loop5 usb stand-in removable no-media scsi=8:0:0 size=0/512 on "
              "test-usb-loop5 \"Larkin|Test Stick|1.0\" serial=TEST-loop5 key=test-disk-loop5");
}

// The recorded machine, with what a test adds: device_stacks.umockdev has
// LVM on the SATA disk's partition, an md mirror of the stick's partition
// and the card, a crypt device over the mirror, a loop device over the SATA
// disk, and a broken pair that names each other.
class SystemUseTest : public HardwareScanTest {
  protected:
    struct Edit {
        std::string_view recording, from, to;
    };

    // Makes the testbed, with what the test adds, and scans it.
    void Machine(std::vector<std::string> more = {}, std::vector<Edit> edits = {}) {
        ScanOptions options;
        for (const auto& text : more)
            if (text.find("block/loop3\n") != std::string::npos)
                options.testUsbDisks = {"/dev/loop3"};
        std::vector<std::string> recordings;
        for (std::string_view name : {"usb_stick.umockdev", "card_reader.umockdev",
                                      "sata_disk.umockdev", "nvme_disk.umockdev"}) {
            std::string text = Recording(name);
            for (const Edit& edit : edits)
                if (edit.recording == name) text = Replaced(text, edit.from, edit.to);
            recordings.push_back(text);
        }
        recordings.insert(recordings.end(), more.begin(), more.end());
        scan_ = Scan(recordings, options);
        EXPECT_THAT(problems_, IsEmpty());
    }

    const FoundDisk& Disk(const std::string& name) {
        static const FoundDisk none;
        const FoundDisk* disk = DiskOf(scan_, name);
        EXPECT_TRUE(disk) << "no disk " << name;
        return disk ? *disk : none;
    }

    HardwareScan scan_;
};

TEST_F(SystemUseTest, DisksUnderStacksOfDevices) {
    Machine({Recording("device_stacks.umockdev")});
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
    struct stat info {};  // what is in /var/tmp, the folder itself too, rests on its disk
    ASSERT_EQ(::stat("/var/tmp", &info), 0);
    if (major(info.st_dev) == 0 || major(info.st_dev) == 7)
        GTEST_SKIP() << "/var/tmp is on no block device here";
    Machine(
        {"P: /devices/pci0000:00/0000:00:05.0/virtio9/block/vdz\nN: vdz\n"
         "E: DEVNAME=/dev/vdz\nE: DEVTYPE=disk\nE: SUBSYSTEM=block\nA: dev=" +
         std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev)) +
         "\nA: size=2048\n\nP: /devices/virtual/block/loop0\nN: loop0\n"
         "E: DEVNAME=/dev/loop0\nE: DEVTYPE=disk\nE: SUBSYSTEM=block\nA: dev=7:0\n"
         "A: loop/backing_file=/var/tmp\\n\n"});
    EXPECT_THAT(DisksUnder(makedev(7, 0)), ElementsAre("loop0", "vdz"));
}

// Why a disk may not be written, for each use the system makes of it; a
// stick or card nobody uses may be, and so may a stand-in, which is
// refused only for what would refuse a stick.
TEST_F(SystemUseTest, WhatTheSystemUsesIsNeverWritten) {
    Machine({Recording("loop3_over_missing_file.umockdev")});
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
    SystemUse unknown{.unreadable = "/proc/self/mountinfo cannot be read"};
    for (const auto& disk : scan_.disks)
        EXPECT_THAT(WriteRefusalOf(disk, unknown),
                    HasSubstr("what the running system uses is unknown (/proc/self/mountinfo "
                              "cannot be read)"))
            << disk.kernelName;
}

// A partition held (the stick's), or a whole disk (the card reader's empty
// slots), may not be written; a USB disk that says it is fixed, as USB hard
// disks do, may; a stand-in over a block device may not.
TEST_F(SystemUseTest, HeldDisksFixedUsbDisksAndStandInsOverBlockDevices) {
    Machine({Replaced(Recording("loop3_over_missing_file.umockdev"),
                      "/var/tmp/larkin-no-such-stick.img", "/dev/sda")},
            {{"usb_stick.umockdev", "A: partition=1\\n\n",
              "A: partition=1\\n\nL: "
              "holders/dm-3=../../../../../../../../../../../../virtual/block/dm-3\n"},
             {"card_reader.umockdev", "A: size=0\\n\n",
              "A: size=0\\n\nL: holders/md0=../../../../../../../../../../virtual/block/md0\n"},
             {"card_reader.umockdev", "A: removable=1\\n", "A: removable=0\\n"}});
    EXPECT_EQ(WriteRefusalOf(Disk("sdb"), {}),
              "it is in use by device mapper, md or LVM (sdb1 is held by dm-3)");
    EXPECT_EQ(WriteRefusalOf(Disk("sdc"), {}), "");
    EXPECT_THAT(WriteRefusalOf(Disk("sdd"), {}), HasSubstr("(sdd is held by md0)"));
    EXPECT_EQ(WriteRefusalOf(Disk("loop3"), {}),
              "it is a loop device over the block device /dev/sda");
}

#endif

}  // namespace
}  // namespace larkin::platform::linuxhw
