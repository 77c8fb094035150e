// Pellom on the ASPI manager (the first SCSI port made to fail): the walk
// over host adapters and target ids, and commands through request blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pellom_session.h"

namespace larkin::test {
namespace {

// Two ASPI host adapters: a stick at target 0 of the first, one at target 2
// of the second.
constexpr const char* kMachine = R"(
[machine]
time_scale = 0
[[adapter]]
id = "usb0"
class = "USB"
aspi = true
[[adapter.disk]]
id = "a"
size = "4MiB"
vendor = "ACME"
product = "Stick A"
revision = "0.1A"
serial = "AAAA1111BBBB"
target = 0
[[adapter]]
id = "usb1"
class = "USB"
aspi = true
scsi_id = 5
[[adapter.disk]]
id = "b"
size = "8MiB"
vendor = "ACME"
product = "Stick B"
revision = "0.2B"
serial = "CCCC2222"
target = 2
)";

class PellomAspi : public ::testing::Test {
  protected:
    PellomAspi() : session(kMachine) {
        session.faults().WithoutVerran();
        session.faults().WithoutSpti();
    }

    PellomApi& Ready() {
        PellomApi& pellom = session.Load();
        EXPECT_EQ(pellom.loadCoreModule(), 1);
        EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
        return pellom;
    }

    PellomSession session;
};

TEST_F(PellomAspi, WalkFindsTargetsByAdapterAndId) {
    PellomApi& pellom = Ready();
    EXPECT_EQ(pellom.info(0, "Adapter"), "Adapter 0");
    EXPECT_EQ(pellom.info(0, "Drive"), "Target 0");
    EXPECT_EQ(pellom.info(0, "AdapterInfo"), "ASPI for WIN32 - USBSTOR - Adapter 0 - ID 7");
    EXPECT_EQ(pellom.info(0, "DriveInfo"), "ACME    Stick A          Target 0");
    EXPECT_EQ(pellom.info(0, "DriveSN"), "AAAA1111");
    EXPECT_EQ(pellom.info(0, "DriveFW"), "0.1A");
    EXPECT_EQ(pellom.info(1, "Adapter"), "Adapter 1");
    EXPECT_EQ(pellom.info(1, "Drive"), "Target 2");
    EXPECT_EQ(pellom.info(1, "AdapterInfo"), "ASPI for WIN32 - USBSTOR - Adapter 1 - ID 5");
    EXPECT_EQ(pellom.info(1, "DriveInfo"), "ACME    Stick B          Target 2");
    EXPECT_EQ(pellom.info(1, "DriveName"), "");

    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(lines.front(), "Pellom:AspiOnly:LoadASPI() 2 Adapters");
    EXPECT_TRUE(HasLine(lines, "Pellom:AspiOnly:Adapter 0  Target 0  Command 12  Status 1-0"));
    EXPECT_TRUE(HasLine(lines, "Pellom:AspiOnly:Adapter 0  Target 1  Command 12  Status 130-0"));
    EXPECT_TRUE(HasLine(lines, "Pellom:AspiOnly:ACME    Stick B          Target 2"));
    EXPECT_EQ(CountPrefix(lines, "Pellom:AspiOnly:Adapter "), 32u);  // 2 adapters x 16 ids
}

TEST_F(PellomAspi, CommandsRunThroughRequestBlocks) {
    PellomApi& pellom = Ready();
    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(pellom.executeScsi(1, kReadCapacity.data(), -8), 0);
    EXPECT_EQ(BigEndian32(pellom.read(1, 0, 0, 4), 0), 8u * 1024 * 1024 / 512 - 1);
    std::vector<std::string> expected = {
        "Pellom:AspiOnly:Device 1 Adapter 1  Target 2  Byte Count -8",
        "Pellom:AspiOnly:Command 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "Pellom:AspiOnly:Command Status 1  Target Status 0",
    };
    EXPECT_EQ(TraceLines(), expected);

    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(pellom.executeScsi(0, kStartStopUnit.data(), 0), 2);
    EXPECT_TRUE(HasLine(TraceLines(), "Pellom:AspiOnly:Command Status 4  Target Status 2"));
    EXPECT_TRUE(HasLine(TraceLines(),
                        "Pellom:AspiOnly:AutoSense 70 00 05 00 00 00 00 0a 00 00 "
                        "00 00 20 00 00 00 00 00 "));
    BYTE sense[32] = {};
    EXPECT_EQ(pellom.sense(0, sense), 0);
    EXPECT_EQ(sense[12], 0x20);
    EXPECT_EQ(CountPrefix(TraceLines(), "Pellom:AspiOnly:Command 03"), 0u);
    EXPECT_EQ(pellom.sense(0, sense), 0);  // now through REQUEST SENSE
    EXPECT_EQ(CountPrefix(TraceLines(), "Pellom:AspiOnly:Command 03"), 1u);

    // Write, read back and verify.
    const BYTE pattern[] = {0x5A, 0xA5};
    pellom.setDataPattern(0, "w", pattern, 2, 4096);
    EXPECT_EQ(pellom.executeScsi(0, Write10(3, 8).data(), 4096), 0);
    pellom.setCoreOptions(0x0F10);
    EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 0);
    EXPECT_EQ(pellom.read(0, 0, 4094, 2), (std::vector<BYTE>{0x5A, 0xA5}));
    pellom.setCoreOptions(0x0F00);

    // Through ASPI a MODE SENSE(10) is always announced with 10 bytes.
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(6).data(), -255), 0);
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(0x12).data(), -255), 0);
}

TEST_F(PellomAspi, LengthIsClampedToTheBuffer) {
    PellomApi& pellom = Ready();
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 2048).data(), -2000000), 0);
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 4000).data(), -2048000), 2);
}

TEST(PellomAspiLoading, NoManagerOrNoHostAdapterMeansNoTransport) {
    PellomSession session("[machine]\ntime_scale = 0\n[[adapter]]\nid = \"u\"\nclass = \"USB\"\n");
    session.faults().WithoutVerran();
    session.faults().WithoutSpti();
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.loadCoreModule(), 0);  // wnaspi32 loads but reports no adapter
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);
    session.faults().Fail("LoadLibraryA", "wnaspi32");
    EXPECT_EQ(pellom.loadCoreModule(), 0);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
}

// Seven host adapters with sixteen sticks each: 112 targets for 100 slots.
std::string CrowdedMachine() {
    std::string toml = "[machine]\ntime_scale = 0\n";
    for (int a = 0; a < 7; ++a) {
        toml += "[[adapter]]\nid = \"u" + std::to_string(a) + "\"\nclass = \"USB\"\naspi = true\n";
        for (int t = 0; t < 16; ++t)
            toml += "[[adapter.disk]]\nid = \"s" + std::to_string(a) + "_" + std::to_string(t) +
                    "\"\nsize = \"1MiB\"\ntarget = " + std::to_string(t) + "\n";
    }
    return toml;
}

TEST(PellomAspiLoading, MoreTargetsThanSlotsFillExactlyTheTable) {
    PellomSession session(CrowdedMachine());
    session.faults().WithoutVerran();
    session.faults().WithoutSpti();
    PellomApi& pellom = session.Load();
    pellom.setCoreOptions(0);  // 112 inquiries are enough without their trace
    ASSERT_EQ(pellom.loadCoreModule(), 1);
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 100);
    EXPECT_EQ(pellom.info(99, "Adapter"), "Adapter 6");
    EXPECT_EQ(pellom.info(99, "Drive"), "Target 3");
    EXPECT_EQ(pellom.executeScsi(99, kTestUnitReady.data(), 0), 0);
    // The next load empties every slot, the last one too.
    ASSERT_EQ(pellom.loadCoreModule(), 1);
    EXPECT_EQ(pellom.executeScsi(99, kTestUnitReady.data(), 0), -2);
    EXPECT_EQ(pellom.info(99, "Adapter"), "");
}

}  // namespace
}  // namespace larkin::test
