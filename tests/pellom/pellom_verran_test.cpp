// Pellom with Verran: the class-filtered scan fills the slots with Verran's
// names. Skipped while libVerran.so is not built beside the tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pellom_session.h"

namespace larkin::test {
namespace {

// A fixed disk on an ATA adapter and, on a USB adapter, a stick holding E:.
constexpr const char* kMachine = R"(
[machine]
time_scale = 0
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "fixed"
size = "4MiB"
vendor = "WDC"
product = "Fixed"
[[adapter]]
id = "usb1"
class = "USB"
description = "USB Mass Storage Device"
[[adapter.disk]]
id = "stick"
size = "4MiB"
vendor = "SanDisk"
product = "Cruzer Blade"
revision = "1.26"
serial = "4C530001230612"
friendly_name = "SanDisk Cruzer Blade USB Device"
letters = ["E:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
)";

class PellomVerran : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!LibraryBesideProgram("Verran")) GTEST_SKIP() << "libVerran.so is not built";
    }
    PellomSession session{kMachine};
};

TEST_F(PellomVerran, UsbStickIsFoundWithVerransNames) {
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_TRUE(session.boxes().shown().empty());
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);
    EXPECT_EQ(pellom.info(0, "DriveName").rfind("\\\\?\\usbstor#disk&ven_sandisk", 0), 0u)
        << pellom.info(0, "DriveName");
    EXPECT_EQ(pellom.info(0, "MountInfo"), "E:");
    EXPECT_EQ(pellom.info(0, "FRIENDLYNAME"), "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(pellom.info(0, "DriveNumber"), "1");
    EXPECT_EQ(pellom.info(0, "AdapterType"), "USB");
    EXPECT_EQ(pellom.info(0, "AdapterInfo"), "USB Mass Storage Device");
    EXPECT_EQ(pellom.info(0, "Adapter"), "Adapter 0");
    EXPECT_EQ(pellom.info(0, "Drive"), "Drive 0");
    EXPECT_EQ(pellom.info(0, "DriveInfo"), "E:");  // a lettered drive is described by its letter
    EXPECT_EQ(pellom.info(0, "DriveSN"), "4C530001");
    EXPECT_EQ(pellom.info(0, "DriveFW"), "1.26");

    std::vector<std::string> lines = TraceLines();
    EXPECT_TRUE(HasLine(lines, "Pellom:ScanOnly:Adapter 0 of 1 -- Drive Count = 1"));
    EXPECT_TRUE(HasLine(lines, "Pellom:ScanOnly:Index 0 E:"));

    EXPECT_EQ(pellom.executeScsi(0, kReadCapacity.data(), -32), 0);
    EXPECT_EQ(BigEndian32(pellom.read(0, 0, 0, 4), 0), 4u * 1024 * 1024 / 512 - 1);

    // Without a filter every class is scanned.
    EXPECT_EQ(pellom.getDeviceCount(0, nullptr), 2);
}

TEST_F(PellomVerran, DriveThatCannotBeOpenedIsListedButRefusesCommands) {
    session.faults().Fail("CreateFileA", "usbstor#disk");
    PellomApi& pellom = session.Load();
    ASSERT_EQ(pellom.loadCoreModule(), 2);
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);
    EXPECT_EQ(pellom.info(0, "FriendlyName"), "SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(pellom.info(0, "DriveSN"), "");  // its INQUIRY could not be sent
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -1);
}

TEST_F(PellomVerran, AfterUnloadCoreModuleVerranIsNoLongerUsed) {
    PellomApi& pellom = session.Load();
    ASSERT_EQ(pellom.loadCoreModule(), 2);
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);
    pellom.unloadCoreModule();
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
    // Loading again falls back to the physical-drive probe.
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session.boxes().shown().size(), 1u);
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
    EXPECT_EQ(pellom.info(1, "Adapter"), "PhysicalDrive 1");
}

}  // namespace
}  // namespace larkin::test
