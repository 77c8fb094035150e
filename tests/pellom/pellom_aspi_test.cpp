// Pellom on the ASPI manager (the first SCSI port made to fail): the walk
// over host adapters and target ids, and commands through request blocks;
// and the ASPI manager stand-in on its own.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "allocation_faults.h"
#include "pellom_session.h"
#include "wnaspi32/wnaspi32.h"
#include "larkin/test_controls.h"

namespace larkin::test {
namespace {

class PellomAspi : public ::testing::Test {
  protected:
    PellomAspi() : session(MachineText("pellom-two-aspi-adapters")) {
        session.faults.WithoutVerran();
        session.faults.WithoutSpti();
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
    auto keys = {"Adapter", "Drive", "AdapterInfo", "DriveInfo", "DriveSN", "DriveFW", "DriveName"};
    EXPECT_EQ(pellom.infos(0, keys),
              "Adapter 0|Target 0|ASPI for WIN32 - USBSTOR - Adapter 0 - ID 7|"
              "ACME    Stick A          Target 0|AAAA1111|0.1A||");
    EXPECT_EQ(pellom.infos(1, keys),
              "Adapter 1|Target 2|ASPI for WIN32 - USBSTOR - Adapter 1 - ID 5|"
              "ACME    Stick B          Target 2|CCCC2222|0.2B||");
    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(lines.front(), "Pellom:AspiOnly:LoadASPI() 2 Adapters");
    EXPECT_THAT(lines, Contains("Pellom:AspiOnly:Adapter 0  Target 0  Command 12  Status 1-0"));
    EXPECT_THAT(lines, Contains("Pellom:AspiOnly:Adapter 0  Target 1  Command 12  Status 130-0"));
    EXPECT_THAT(lines, Contains("Pellom:AspiOnly:ACME    Stick B          Target 2"));
    EXPECT_EQ(TraceLines("Pellom:AspiOnly:Adapter ").size(), 32u);  // 2 adapters x 16 ids
}

TEST_F(PellomAspi, CommandsRunThroughRequestBlocks) {
    PellomApi& pellom = Ready();
    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(pellom.executeScsi(1, kReadCapacity.data(), -8), 0);
    EXPECT_EQ(BigEndian32(pellom.read(1, 0, 0, 4), 0), 8u * 1024 * 1024 / 512 - 1);
    EXPECT_THAT(TraceLines(),
                testing::ElementsAre(
                    "Pellom:AspiOnly:Device 1 Adapter 1  Target 2  Byte Count -8",
                    "Pellom:AspiOnly:Command 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
                    "Pellom:AspiOnly:Command Status 1  Target Status 0"));

    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(pellom.executeScsi(0, kStartStopUnit.data(), 0), 2);
    EXPECT_THAT(TraceLines(), Contains("Pellom:AspiOnly:Command Status 4  Target Status 2"));
    EXPECT_THAT(TraceLines(), Contains("Pellom:AspiOnly:AutoSense 70 00 05 00 00 00 00 0a 00 00 "
                                       "00 00 20 00 00 00 00 00 "));
    BYTE sense[32] = {};
    EXPECT_EQ(pellom.sense(0, sense), 0);
    EXPECT_EQ(sense[12], 0x20);
    EXPECT_EQ(TraceLines("Pellom:AspiOnly:Command 03").size(), 0u);
    EXPECT_EQ(pellom.sense(0, sense), 0);  // now through REQUEST SENSE
    EXPECT_EQ(TraceLines("Pellom:AspiOnly:Command 03").size(), 1u);

    // Write, read back and verify.
    const BYTE pattern[] = {0x5A, 0xA5};
    pellom.setDataPattern(0, "w", pattern, 2, 4096);
    EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8, 0x2A).data(), 4096), 0);
    pellom.setCoreOptions(0x0F10);
    EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 0);
    EXPECT_EQ(pellom.read(0, 0, 4094, 2), (std::vector<BYTE>{0x5A, 0xA5}));
    pellom.setCoreOptions(0x0F00);
    // The length is clamped to the buffer.
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 2048).data(), -2000000), 0);
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 4000).data(), -2048000), 2);
    // Through ASPI a MODE SENSE(10) is always announced with 10 bytes.
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(6).data(), -255), 0);
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(0x12).data(), -255), 0);
}

TEST(PellomAspiLoading, NoManagerOrNoHostAdapterMeansNoTransport) {
    PellomSession session("[machine]\ntime_scale = 0\n[[adapter]]\nid = \"u\"\nclass = \"USB\"\n");
    session.faults.WithoutVerran();
    session.faults.WithoutSpti();
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.loadCoreModule(), 0);  // wnaspi32 loads but reports no adapter
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);
    session.faults.Fail("LoadLibraryA", "wnaspi32");
    EXPECT_EQ(pellom.loadCoreModule(), 0);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
}

TEST(PellomAspiLoading, MoreTargetsThanSlotsFillExactlyTheTable) {
    // Seven host adapters with sixteen sticks each: 112 targets for 100 slots.
    std::string toml = "[machine]\ntime_scale = 0\n";
    for (int a = 0; a < 7; ++a) {
        toml += "[[adapter]]\nid = \"u" + std::to_string(a) + "\"\nclass = \"USB\"\naspi = true\n";
        for (int t = 0; t < 16; ++t)
            toml += "[[adapter.disk]]\nid = \"s" + std::to_string(a) + "_" + std::to_string(t) +
                    "\"\nsize = \"1MiB\"\ntarget = " + std::to_string(t) + "\n";
    }
    PellomSession session(toml);
    session.faults.WithoutVerran();
    session.faults.WithoutSpti();
    PellomApi& pellom = session.Load();
    pellom.setCoreOptions(0);  // 112 inquiries are enough without their trace
    ASSERT_EQ(pellom.loadCoreModule(), 1);
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 100);
    EXPECT_EQ(pellom.infos(99, {"Adapter", "Drive"}), "Adapter 6|Target 3|");
    EXPECT_EQ(pellom.executeScsi(99, kTestUnitReady.data(), 0), 0);
    // The next load empties every slot, the last one too.
    ASSERT_EQ(pellom.loadCoreModule(), 1);
    EXPECT_EQ(pellom.executeScsi(99, kTestUnitReady.data(), 0), -2);
    EXPECT_EQ(pellom.info(99, "Adapter"), "");
}

struct Aspi {
    larkin::Library library{LoadLibraryA("wnaspi32")};
    GET_ASPI32_SUPPORT_INFO supportInfo =
        Bind<GET_ASPI32_SUPPORT_INFO>(library, "GetASPI32SupportInfo");
    SEND_ASPI32_COMMAND send = Bind<SEND_ASPI32_COMMAND>(library, "SendASPI32Command");
};

BYTE WaitFor(BYTE& status) {
    std::atomic_ref<BYTE> polled(status);
    while (polled.load(std::memory_order_acquire) == SS_PENDING) std::this_thread::yield();
    return status;
}

// An execute request with a 32-byte sense area.
#pragma pack(push, 1)
struct WideRequest {
    SRB_ExecSCSICmd srb;
    BYTE moreSense[16];
};
#pragma pack(pop)

WideRequest Request(BYTE target, BYTE opcode, BYTE* data = nullptr, DWORD length = 0) {
    WideRequest request{};
    request.srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.srb.SRB_Target = target;
    request.srb.SRB_Flags = data ? SRB_DIR_IN : 0;
    request.srb.SRB_BufPointer = data;
    request.srb.SRB_BufLen = length;
    request.srb.SRB_SenseLen = 32;
    request.srb.SRB_CDBLen = 6;
    request.srb.CDBByte[0] = opcode;
    request.srb.CDBByte[4] = static_cast<BYTE>(length);
    return request;
}

// What Pellom's tests cannot see: requests complete after SendASPI32Command
// returns, through a pause of the platform's; refusals have their codes.
TEST(Wnaspi32, CompletesRequestsAfterReturningAndRefusesBadOnesAtOnce) {
    {
        TestMachine empty("[machine]\ntime_scale = 0\n");
        EXPECT_EQ(Aspi().supportInfo(), DWORD{SS_NO_ADAPTERS} << 8);
    }
    TestMachine machine(MachineText("pellom-one-aspi-stick"));
    Aspi aspi;
    EXPECT_EQ(aspi.supportInfo(), (DWORD{SS_COMP} << 8) | 1);
    BYTE data[96] = {};
    WideRequest request = Request(0, 0x12, data, sizeof data);
    controls::ClearPauses();
    EXPECT_EQ(aspi.send(&request), SS_PENDING);
    EXPECT_EQ(WaitFor(request.srb.SRB_Status), SS_COMP);
    EXPECT_EQ(controls::Pauses(), std::vector<DWORD>{1});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 15), "ACME    Stick  ");

    // CHECK CONDITION: the whole widened sense area is the manager's to fill.
    WideRequest check = Request(0, 0x1B);
    std::memset(check.moreSense, 0xEE, sizeof check.moreSense);
    EXPECT_EQ(aspi.send(&check), SS_PENDING);
    EXPECT_EQ(WaitFor(check.srb.SRB_Status), SS_ERR);
    EXPECT_EQ(check.srb.SRB_TargStat, 2);
    EXPECT_EQ(check.moreSense[15], 0);

    WideRequest absent = Request(3, 0x12, data, sizeof data);
    EXPECT_EQ(aspi.send(&absent), SS_PENDING);
    EXPECT_EQ(WaitFor(absent.srb.SRB_Status), SS_NO_DEVICE);
    EXPECT_EQ(absent.srb.SRB_HaStat, HASTAT_SEL_TO);

    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    EXPECT_EQ(aspi.send(&rescan), SS_PENDING);
    EXPECT_EQ(WaitFor(rescan.SRB_Status), SS_COMP);

    WideRequest badAdapter = Request(0, 0x12, data, sizeof data);
    badAdapter.srb.SRB_HaId = 4;
    EXPECT_EQ(aspi.send(&badAdapter), SS_INVALID_HA);
    WideRequest badLength = Request(0, 0x12, data, sizeof data);
    badLength.srb.SRB_CDBLen = 17;
    EXPECT_EQ(aspi.send(&badLength), SS_INVALID_SRB);
    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x55;
    EXPECT_EQ(aspi.send(&unknown), SS_INVALID_CMD);
}

// A request the manager cannot queue fails at once, its status set, so that
// a caller polling it never waits for ever; one failing later completes with
// an error. The next request works.
TEST(Wnaspi32, OutOfMemoryFailsTheRequestWithoutLeavingItPending) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    TestMachine machine(MachineText("pellom-one-aspi-stick"));
    int refused = 0;
    long point = 0;
    for (;; ++point) {
        Aspi aspi;  // loaded afresh: its first request starts the worker
        BYTE data[96] = {};
        WideRequest request = Request(0, 0x12, data, sizeof data);
        // Only the library's own allocations: the platform's answer to a
        // lack of memory (no such adapter) is the platform's tests' concern.
        allocation::FailAfter(point, {"wnaspi32"});
        DWORD sent = aspi.send(&request);
        BYTE status = sent == SS_PENDING ? WaitFor(request.srb.SRB_Status) : BYTE(sent);
        bool failed = allocation::Failed();
        EXPECT_EQ(request.srb.SRB_Status, status);
        if (!failed) {
            EXPECT_EQ(status, SS_COMP);
            break;
        }
        // Out of memory in the platform's host list reads as no such adapter.
        EXPECT_TRUE(status == SS_INSUFFICIENT_RESOURCES || status == SS_INVALID_HA ||
                    status == SS_ERR || status == SS_COMP)
            << "allocation " << point << " gave " << int{status};
        refused += sent == SS_INSUFFICIENT_RESOURCES;
    }
    EXPECT_GT(refused, 0) << "over " << point << " allocations";
}

}  // namespace
}  // namespace larkin::test
