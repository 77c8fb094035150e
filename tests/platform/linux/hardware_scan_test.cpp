#include "backends/linux/hardware_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "testbed.h"

namespace larkin::platform::linuxhw {
namespace {

using larkin::testing::Replaced;
using larkin::testing::Testbed;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

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

std::string Problems(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& line : problems) text += line + "\n";
    return text;
}

// The adapter's facts, compared one by one so that a failure names the one
// that differs.
void ExpectAdapter(const HardwareScan& scan, const AdapterFacts& want) {
    SCOPED_TRACE("adapter " + want.key);
    const AdapterFacts* got = AdapterOf(scan, want.key);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->parentKey, want.parentKey);
    EXPECT_EQ(got->bus, want.bus);
    EXPECT_EQ(got->hub, want.hub);
    EXPECT_EQ(got->port, want.port);
    EXPECT_EQ(got->aspiHost, want.aspiHost);
    EXPECT_EQ(got->hostScsiId, 7);
    EXPECT_EQ(got->description, want.description);
    EXPECT_EQ(got->serial, want.serial);
    EXPECT_EQ(got->usbVendorId, want.usbVendorId);
    EXPECT_EQ(got->usbProductId, want.usbProductId);
    EXPECT_EQ(got->instanceId, "");
}

struct WantDisk {
    std::string kernelName, key, adapterKey;
    uint8_t target = 0;
    std::string vendor, product, revision, serial;
    uint64_t size = 0;
    uint32_t sectorSize = 512;
    bool removable = false, mediaPresent = true;
    std::string node, sgNode;
    dev_t device = 0;
    bool usb = false, testStandIn = false;
    std::optional<ScsiAddress> scsi;
};

void ExpectDisk(const HardwareScan& scan, const WantDisk& want) {
    SCOPED_TRACE("disk " + want.kernelName);
    const FoundDisk* got = DiskOf(scan, want.kernelName);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->facts.key, want.key);
    EXPECT_EQ(got->facts.adapterKey, want.adapterKey);
    EXPECT_EQ(got->facts.target, want.target);
    EXPECT_EQ(got->facts.vendor, want.vendor);
    EXPECT_EQ(got->facts.product, want.product);
    EXPECT_EQ(got->facts.revision, want.revision);
    EXPECT_EQ(got->facts.serial, want.serial);
    EXPECT_EQ(got->facts.size, want.size);
    EXPECT_EQ(got->facts.sectorSize, want.sectorSize);
    EXPECT_EQ(got->facts.removable, want.removable);
    EXPECT_EQ(got->facts.mediaPresent, want.mediaPresent);
    EXPECT_EQ(got->facts.system, false);
    EXPECT_EQ(got->facts.writeRefusal, "");
    EXPECT_EQ(got->node, want.node);
    EXPECT_EQ(got->sgNode, want.sgNode);
    EXPECT_EQ(got->device, want.device);
    EXPECT_EQ(got->usb, want.usb);
    EXPECT_EQ(got->testStandIn, want.testStandIn);
    EXPECT_THAT(got->sysPath, ::testing::StartsWith("/sys/devices/"));
    EXPECT_THAT(got->sysPath, ::testing::EndsWith("/" + want.kernelName));
    ASSERT_EQ(got->scsi.has_value(), want.scsi.has_value());
    if (want.scsi) {
        EXPECT_EQ(got->scsi->port, want.scsi->port);
        EXPECT_EQ(got->scsi->target, want.scsi->target);
        EXPECT_EQ(got->scsi->lun, want.scsi->lun);
    }
}

// What every scan promises: parents before children, index = place, each
// disk below a listed adapter, no key twice.
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
    }
}

class HardwareScanTest : public ::testing::Test {
  protected:
    void SetUp() override { LARKIN_NEED_TESTBED(); }

    HardwareScan Scan(const std::vector<std::string>& recordings, ScanOptions options = {}) {
        testbed_.reset();  // one testbed at a time: the old one takes its folder with it
        testbed_ = std::make_unique<Testbed>();
        for (const auto& text : recordings) testbed_->Add(text);
        problems_.clear();
        HardwareScan scan = ScanHardware(options, &problems_);
        ExpectWellFormed(scan);
        return scan;
    }

    static std::string Recording(std::string_view name) { return Testbed::Recording(name); }

    std::unique_ptr<Testbed> testbed_;
    std::vector<std::string> problems_;
};

// A SanDisk stick behind a Genesys hub on the first xHCI root hub, read
// without the udev database.
TEST_F(HardwareScanTest, UsbStickBehindAHub) {
    HardwareScan scan = Scan({Recording("usb_stick.umockdev")});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.adapters.size(), 3u);
    ExpectAdapter(scan, {.key = "usb-usb1",
                         .bus = Bus::Usb,
                         .hub = true,
                         .description = "USB Root Hub",
                         .serial = "0000:00:14.0",
                         .usbVendorId = 0x1d6b,
                         .usbProductId = 0x0002});
    ExpectAdapter(scan, {.key = "usb-1-1",
                         .parentKey = "usb-usb1",
                         .bus = Bus::Usb,
                         .hub = true,
                         .description = "Generic USB Hub",
                         .usbVendorId = 0x05e3,
                         .usbProductId = 0x0610});
    ExpectAdapter(scan, {.key = "usb-1-1.2",
                         .parentKey = "usb-1-1",
                         .bus = Bus::Usb,
                         .port = 6,
                         .aspiHost = true,
                         .description = "USB Mass Storage Device",
                         .serial = "4C530001150713117254",
                         .usbVendorId = 0x0781,
                         .usbProductId = 0x5567});
    ASSERT_EQ(scan.disks.size(), 1u);
    ExpectDisk(scan, {.kernelName = "sdb",
                      .key = "serial:SanDisk/Cruzer Blade/4C530001150713117254/0:0:0",
                      .adapterKey = "usb-1-1.2",
                      .vendor = "SanDisk",
                      .product = "Cruzer Blade",
                      .revision = "1.00",
                      .serial = "4C530001150713117254",  // the USB device's, with no database
                      .size = 30031872ull * 512,
                      .removable = true,
                      .node = "/dev/sdb",
                      .sgNode = "/dev/sg1",
                      .device = makedev(8, 16),
                      .usb = true,
                      .scsi = ScsiAddress{6, 0, 0}});
}

// A four-slot card reader: one adapter, a disk for each LUN, media only in
// the SD slot, all with the reader's one serial.
TEST_F(HardwareScanTest, CardReaderWithSeveralLuns) {
    HardwareScan scan = Scan({Recording("card_reader.umockdev")});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.adapters.size(), 2u);
    ExpectAdapter(scan, {.key = "usb-usb2",
                         .bus = Bus::Usb,
                         .hub = true,
                         .description = "USB Root Hub",
                         .serial = "0000:00:1a.0",
                         .usbVendorId = 0x1d6b,
                         .usbProductId = 0x0002});
    ExpectAdapter(scan, {.key = "usb-2-3",
                         .parentKey = "usb-usb2",
                         .bus = Bus::Usb,
                         .port = 7,
                         .aspiHost = true,
                         .description = "USB Mass Storage Device",
                         .serial = "20071114173400000",
                         .usbVendorId = 0x0bda,
                         .usbProductId = 0x0158});
    ASSERT_EQ(scan.disks.size(), 4u);
    const char* products[] = {"SD/MMC", "Compact Flash", "SM/xD-Picture", "MS/MS-Pro"};
    for (uint8_t lun = 0; lun < 4; ++lun) {
        std::string name = std::string("sd") + static_cast<char>('c' + lun);
        ExpectDisk(scan, {.kernelName = name,
                          .key = "serial:Generic-/" + std::string(products[lun]) +
                                 "/20071114173400000/0:0:" + std::to_string(lun),
                          .adapterKey = "usb-2-3",
                          .vendor = "Generic-",
                          .product = products[lun],
                          .revision = "1.00",
                          .serial = "20071114173400000",
                          .size = lun == 0 ? 7741440ull * 512 : 0,
                          .removable = true,
                          .mediaPresent = lun == 0,
                          .node = "/dev/" + name,
                          .sgNode = "/dev/sg" + std::to_string(2 + lun),
                          .device = makedev(8, 32 + 16 * lun),
                          .usb = true,
                          .scsi = ScsiAddress{7, 0, lun}});
    }
}

// A SATA disk on the AHCI controller's third port: an ATA channel of its
// own; its serial from the unit serial number page, blanks gone.
TEST_F(HardwareScanTest, FixedSataDisk) {
    HardwareScan scan = Scan({Recording("sata_disk.umockdev")});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.adapters.size(), 1u);
    ExpectAdapter(scan, {.key = "ata-pci0000:00/0000:00:17.0/ata3",
                         .bus = Bus::Ata,
                         .port = 2,
                         .description = "ATA Channel 2"});
    ASSERT_EQ(scan.disks.size(), 1u);
    ExpectDisk(scan, {.kernelName = "sda",
                      .key = "serial:ATA/Samsung SSD 860/S3Z9NB0K123456A/0:0:0",
                      .adapterKey = "ata-pci0000:00/0000:00:17.0/ata3",
                      .vendor = "ATA",
                      .product = "Samsung SSD 860",
                      .revision = "4B6Q",
                      .serial = "S3Z9NB0K123456A",
                      .size = 976773168ull * 512,
                      .node = "/dev/sda",
                      .sgNode = "/dev/sg0",
                      .device = makedev(8, 0),
                      .scsi = ScsiAddress{2, 0, 0}});
}

// The NVMe system disk: no SCSI address, no generic node, a controller as
// its adapter.
TEST_F(HardwareScanTest, NvmeDisk) {
    HardwareScan scan = Scan({Recording("nvme_disk.umockdev")});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.adapters.size(), 1u);
    ExpectAdapter(scan, {.key = "nvme-pci0000:00/0000:00:1d.0/0000:3d:00.0",
                         .bus = Bus::Scsi,
                         .description = "Standard NVM Express Controller"});
    ASSERT_EQ(scan.disks.size(), 1u);
    ExpectDisk(scan, {.kernelName = "nvme0n1",
                      .key = "serial:NVMe/Samsung SSD 970 EVO Plus 1TB/S4EWNX0R123456K/n1",
                      .adapterKey = "nvme-pci0000:00/0000:00:1d.0/0000:3d:00.0",
                      .vendor = "NVMe",
                      .product = "Samsung SSD 970 EVO Plus 1TB",
                      .revision = "2B2QEXM7",
                      .serial = "S4EWNX0R123456K",
                      .size = 1953525168ull * 512,
                      .node = "/dev/nvme0n1",
                      .device = makedev(259, 0)});
}

// With native multipath the namespace hangs below a virtual subsystem and
// the per-controller paths are hidden disks.
TEST_F(HardwareScanTest, NvmeBelowItsSubsystem) {
    std::string multipath = Recording("nvme_multipath.umockdev");
    HardwareScan scan = Scan({multipath});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.disks.size(), 1u);
    ExpectDisk(scan, {.kernelName = "nvme0n1",
                      .key = "serial:NVMe/Samsung SSD 970 EVO Plus 1TB/S4EWNX0R123456K/n1",
                      .adapterKey = "nvme-pci0000:00/0000:00:1d.0/0000:3d:00.0",
                      .vendor = "NVMe",
                      .product = "Samsung SSD 970 EVO Plus 1TB",
                      .revision = "2B2QEXM7",
                      .serial = "S4EWNX0R123456K",
                      .size = 1953525168ull * 512,
                      .node = "/dev/nvme0n1",
                      .device = makedev(259, 0)});
}

// A virtual machine's virtio disk (its serial on the block device) and an
// SD card in a built-in slot.
TEST_F(HardwareScanTest, VirtioDiskAndSdCard) {
    std::string devices = Recording("virtio_and_sd_card.umockdev");
    HardwareScan scan = Scan({devices});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.adapters.size(), 2u);
    ExpectAdapter(scan, {.key = "virtio-pci0000:00/0000:00:02.0/virtio1",
                         .bus = Bus::Scsi,
                         .description = "VirtIO Block Controller"});
    ExpectAdapter(scan, {.key = "mmc-pci0000:00/0000:00:1e.6/mmc_host/mmc0",
                         .bus = Bus::Scsi,
                         .description = "SD Host Controller"});
    ExpectDisk(scan, {.kernelName = "vda",
                      .key = "serial:VirtIO/Block Device/18366393809633909/0",
                      .adapterKey = "virtio-pci0000:00/0000:00:02.0/virtio1",
                      .vendor = "VirtIO",
                      .product = "Block Device",
                      .serial = "18366393809633909",
                      .size = 536870912ull * 512,
                      .node = "/dev/vda",
                      .device = makedev(254, 0)});
    ExpectDisk(scan, {.kernelName = "mmcblk0",
                      .key = "serial:SD/SD32G/0x1234abcd/0",
                      .adapterKey = "mmc-pci0000:00/0000:00:1e.6/mmc_host/mmc0",
                      .vendor = "SD",
                      .product = "SD32G",
                      .serial = "0x1234abcd",
                      .size = 62333952ull * 512,
                      .node = "/dev/mmcblk0",
                      .device = makedev(179, 0)});
}

TEST_F(HardwareScanTest, AMachineWithAllOfThem) {
    HardwareScan scan = Scan({Recording("usb_stick.umockdev"), Recording("card_reader.umockdev"),
                              Recording("sata_disk.umockdev"), Recording("nvme_disk.umockdev")});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    EXPECT_EQ(scan.adapters.size(), 7u);
    EXPECT_EQ(scan.disks.size(), 7u);
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
    HardwareScan scan = Scan({onlyWwid});
    EXPECT_EQ(scan.disks.at(0).facts.serial, "eui.0025385b01234567");

    // No serial anywhere: the disk is known by its place.
    std::string stick =
        Replaced(Recording("usb_stick.umockdev"), "A: serial=4C530001150713117254\\n\n", "");
    scan = Scan({stick});
    ASSERT_EQ(scan.disks.size(), 1u);
    EXPECT_EQ(scan.disks[0].facts.serial, "");
    EXPECT_EQ(scan.disks[0].facts.key, "path:usb-1-1.2/0:0:0");
}

// A stick keeps its disk key wherever it is plugged in; its adapter is
// known by the socket, whatever SCSI host the kernel gives it this time.
TEST_F(HardwareScanTest, KeysAcrossARePlug) {
    std::string stick = Recording("usb_stick.umockdev");
    HardwareScan first = Scan({stick});
    ASSERT_EQ(first.disks.size(), 1u);

    std::string sameSocket = Replaced(Replaced(Replaced(stick, "host6", "host9"), "6:0:0", "9:0:0"),
                                      "block/sdb", "block/sdd");
    sameSocket = Replaced(Replaced(sameSocket, "sdb", "sdd"), "MINOR=16", "MINOR=48");
    HardwareScan again = Scan({sameSocket});
    ASSERT_EQ(again.disks.size(), 1u);
    EXPECT_EQ(again.disks[0].facts.key, first.disks[0].facts.key);
    EXPECT_EQ(again.disks[0].facts.adapterKey, "usb-1-1.2");
    EXPECT_EQ(AdapterOf(again, "usb-1-1.2")->port, 9u);

    std::string otherSocket = Replaced(stick, "1-1.2", "1-1.4");
    HardwareScan moved = Scan({otherSocket});
    ASSERT_EQ(moved.disks.size(), 1u);
    EXPECT_EQ(moved.disks[0].facts.key, first.disks[0].facts.key);
    EXPECT_EQ(moved.disks[0].facts.adapterKey, "usb-1-1.4");
}

// Two sticks of one make that claim the same serial are told apart by
// their place, each the same on every scan.
TEST_F(HardwareScanTest, TwinSticksWithOneSerial) {
    std::string stick = Recording("usb_stick.umockdev");
    std::string twin =
        stick.substr(stick.find("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2"));
    twin = Replaced(Replaced(Replaced(twin, "1-1.2", "1-1.3"), "host6", "host8"), "6:0:0", "8:0:0");
    twin = Replaced(Replaced(Replaced(twin, "sdb", "sdc"), "MINOR=16", "MINOR=32"), "8:16", "8:32");
    twin = Replaced(Replaced(twin, "MINOR=17", "MINOR=33"), "8:17", "8:33");
    twin =
        Replaced(Replaced(Replaced(twin, "sg1", "sg2"), "MINOR=1\n", "MINOR=2\n"), "21:1", "21:2");
    HardwareScan scan = Scan({stick, twin});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.disks.size(), 2u);
    EXPECT_EQ(DiskOf(scan, "sdb")->facts.key, "path:usb-1-1.2/0:0:0");
    EXPECT_EQ(DiskOf(scan, "sdc")->facts.key, "path:usb-1-1.3/0:0:0");
    EXPECT_EQ(DiskOf(scan, "sdc")->facts.serial, "4C530001150713117254");
    EXPECT_EQ(AdapterOf(scan, "usb-1-1.3")->parentKey, "usb-1-1");
}

// Devices that are no disk of their own to write: none is listed, and none
// is a problem.
TEST_F(HardwareScanTest, VirtualAndOpticalDevicesAreNotListed) {
    std::string devices;
    int minor = 0;
    for (const char* name : {"loop0", "zram0", "dm-0", "md0", "md127", "ram0", "nbd0"}) {
        devices +=
            "P: /devices/virtual/block/" + std::string(name) + "\nN: " + name +
            "\nE: DEVNAME=/dev/" + name +
            "\nE: DEVTYPE=disk\nE: SUBSYSTEM=block\nE: MAJOR=7\nE: MINOR=" + std::to_string(minor) +
            "\nA: dev=7:" + std::to_string(minor) + "\nA: size=2048\n\n";
        ++minor;
    }
    devices += Recording("optical_and_emmc_boot.umockdev");
    HardwareScan scan = Scan({devices});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    EXPECT_THAT(scan.disks, IsEmpty());
    EXPECT_THAT(scan.adapters, IsEmpty());
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
        EXPECT_EQ(DiskOf(scan, "sdb"), nullptr);
        EXPECT_NE(DiskOf(scan, "sda"), nullptr);
        ASSERT_EQ(problems_.size(), 1u) << Problems(problems_);
        EXPECT_THAT(problems_[0], HasSubstr("/dev/sdb is left out"));
        EXPECT_THAT(problems_[0], HasSubstr(garbled.problem));
    }

    // Odd bytes in texts become '_'; unreadable ids are 0; a removable flag
    // that is not "1" counts as fixed; a missing block size is 512.
    std::string odd =
        Replaced(stick, "A: vendor=SanDisk\\040\n", "H: vendor=53616efe446973016b20\n");
    odd = Replaced(odd, "A: idVendor=0781\n", "A: idVendor=zz81\n");
    odd = Replaced(odd, "A: removable=1\\n\n", "A: removable=yes\n");
    odd = Replaced(odd, "A: queue/logical_block_size=512\\n\n", "");
    odd = Replaced(odd, "A: serial=4C530001150713117254\\n\n", "H: serial=4c53ff0a3031\n");
    HardwareScan scan = Scan({odd});
    EXPECT_THAT(problems_, IsEmpty()) << Problems(problems_);
    ASSERT_EQ(scan.disks.size(), 1u);
    const FoundDisk& disk = scan.disks[0];
    EXPECT_EQ(disk.facts.vendor, "San_Dis_k");
    EXPECT_EQ(disk.facts.serial, "LS_ 01");
    EXPECT_FALSE(disk.facts.removable);
    EXPECT_EQ(disk.facts.sectorSize, 512u);
    EXPECT_EQ(AdapterOf(scan, "usb-1-1.2")->usbVendorId, 0);
    EXPECT_EQ(AdapterOf(scan, "usb-1-1.2")->usbProductId, 0x5567);
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
    ASSERT_EQ(problems_.size(), 2u) << Problems(problems_);
    EXPECT_THAT(problems_[0], HasSubstr("\"/dev/sda\" cannot stand in"));
    EXPECT_THAT(problems_[1], HasSubstr("/dev/loop9 cannot stand in"));
    ASSERT_EQ(scan.disks.size(), 3u);
    ExpectAdapter(scan, {.key = "test-usb-loop3",
                         .bus = Bus::Usb,
                         .port = 7,  // above the stick's host6
                         .aspiHost = true,
                         .description = "Larkin Test USB Stand-in",
                         .serial = "TEST-loop3",
                         .usbVendorId = 0x0000,
                         .usbProductId = 0x0001});
    EXPECT_EQ(AdapterOf(scan, "test-usb-loop5")->port, 8u);
    ExpectDisk(scan, {.kernelName = "loop3",
                      .key = "test-disk-loop3",
                      .adapterKey = "test-usb-loop3",
                      .vendor = "Larkin",
                      .product = "Test Stick",
                      .revision = "1.0",
                      .serial = "TEST-loop3",
                      .size = 131072ull * 512,
                      .removable = true,
                      .node = "/dev/loop3",
                      .device = makedev(7, 3),
                      .usb = true,
                      .testStandIn = true,
                      .scsi = ScsiAddress{7, 0, 0}});
    ExpectDisk(scan, {.kernelName = "loop5",
                      .key = "test-disk-loop5",
                      .adapterKey = "test-usb-loop5",
                      .vendor = "Larkin",
                      .product = "Test Stick",
                      .revision = "1.0",
                      .serial = "TEST-loop5",
                      .removable = true,
                      .mediaPresent = false,
                      .node = "/dev/loop5",
                      .device = makedev(7, 5),
                      .usb = true,
                      .testStandIn = true,
                      .scsi = ScsiAddress{8, 0, 0}});
}

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
        EXPECT_THAT(error, HasSubstr(std::string("\"") + bad + "\" is not a loop device"));
        EXPECT_THAT(error, HasSubstr("LARKIN_TEST_USB_DISKS"));
    }
}

TEST(TestUsbDisks, FromTheEnvironment) {
    std::string error;
    ::unsetenv("LARKIN_TEST_USB_DISKS");
    EXPECT_THAT(TestUsbDisksFromEnvironment(&error), IsEmpty());
    EXPECT_EQ(error, "");
    ::setenv("LARKIN_TEST_USB_DISKS", "/dev/loop4", 1);
    EXPECT_EQ(TestUsbDisksFromEnvironment(&error), std::vector<std::string>{"/dev/loop4"});
    ::setenv("LARKIN_TEST_USB_DISKS", "/dev/loop4,/dev/nvme0n1", 1);
    EXPECT_THAT(TestUsbDisksFromEnvironment(&error), IsEmpty());
    EXPECT_THAT(error, HasSubstr("\"/dev/nvme0n1\""));
    ::unsetenv("LARKIN_TEST_USB_DISKS");
}

// The file a privileged helper reads is honoured only while no one but its
// owner can have written it (root in use; this process here).
TEST(TestUsbDisks, FromTheOwnersFileOnly) {
    std::string folder = ::testing::TempDir() + "test-usb-disks.XXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    std::string file = folder + "/list", link = folder + "/link";
    {
        std::FILE* out = std::fopen(file.c_str(), "w");
        ASSERT_NE(out, nullptr);
        std::fputs(" /dev/loop7\n\n/dev/loop9\n", out);
        std::fclose(out);
    }
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    unsigned me = ::geteuid();
    std::string error;
    struct Case {
        mode_t mode;
        const char* path;
        unsigned owner;
        bool honoured;
    } cases[] = {{0644, "list", me, true},      {0664, "list", me, false},
                 {0646, "list", me, false},     {0644, "link", me, false},
                 {0644, "list", me + 1, false}, {0644, "missing", me, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.mode));
        ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
        std::vector<std::string> nodes =
            TestUsbDisksFromFile(folder + "/" + c.path, c.owner, &error);
        const std::vector<std::string> listed = {"/dev/loop7", "/dev/loop9"};
        EXPECT_EQ(nodes, c.honoured ? listed : std::vector<std::string>());
        EXPECT_EQ(error, "");
    }
    ::chmod(file.c_str(), 0644);
    std::FILE* out = std::fopen(file.c_str(), "a");
    ASSERT_NE(out, nullptr);
    std::fputs("/dev/sdb\n", out);
    std::fclose(out);
    EXPECT_THAT(TestUsbDisksFromFile(file, me, &error), IsEmpty());
    EXPECT_THAT(error, HasSubstr(file + ": "));
    EXPECT_THAT(error, HasSubstr("\"/dev/sdb\""));
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace larkin::platform::linuxhw
