// Pellom on pass-through: the probe without Verran, keys, commands, sense,
// buffers and patterns; the scan through Verran; out of memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "allocation_faults.h"
#include "cdb_length.h"
#include "corvid/core_module.h"
#include "larkin/simulation.h"
#include "pellom_session.h"

namespace larkin::test {
namespace {

class PellomProbe : public ::testing::Test {
  protected:
    PellomProbe() : session(MachineText("pellom-three-disks-one-unplugged")) {
        session.faults.WithoutVerran();
    }
    // Loaded and counted: slots 0 and 1.
    PellomApi& Ready() {
        PellomApi& pellom = session.Load();
        EXPECT_EQ(pellom.loadCoreModule(), 2);
        EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
        return pellom;
    }
    PellomSession session;
};

TEST_F(PellomProbe, FillsSlotsInOrderSkippingMissingDrives) {
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);  // nothing loaded yet
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    ASSERT_EQ(session.boxes.shown.size(), 1u);
    const ShownBox& box = session.boxes.shown[0];
    EXPECT_EQ(box.text + "|" + box.caption + "|" + std::to_string(box.type),
              "Use SPTI/ASPI|Info|0");
    EXPECT_EQ(box.owner, nullptr);

    EXPECT_EQ(pellom.getDeviceCount(5, "USB"), 2);
    auto keys = {"Adapter", "AdapterInfo", "DriveInfo", "DriveSN", "DriveFW"};
    EXPECT_EQ(pellom.infos(0, keys),
              "PhysicalDrive 0|PhysicalDrive0 |ACME    Disk Zero        SCSI Disk Drive|"
              "SN000001|1.00|");
    // Slot 1 is drive 2, described by its slot number.
    EXPECT_EQ(pellom.infos(1, keys),
              "PhysicalDrive 2|PhysicalDrive1 |ACME    Disk Two         SCSI Disk Drive|"
              "SN222222|2.00|");
    EXPECT_EQ(pellom.infos(1, {"Drive", "DriveName", "MountInfo", "FriendlyName", "AdapterType",
                               "DriveNumber"}),
              "||||||");

    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(lines.front(), "Pellom:SptiCommon:LoadSPTI() 1 Adapters");
    EXPECT_THAT(lines,
                Contains("Pellom:SptiCommon:Index 1 ACME    Disk Two         SCSI Disk Drive"));

    // Every load starts from an empty table, and asks again.
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session.boxes.shown.size(), 2u);
    EXPECT_EQ(pellom.info(0, "Adapter"), "");
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
}

TEST_F(PellomProbe, KeysAreMatchedInAnyCaseAndCutToTheCapacity) {
    PellomApi& pellom = Ready();
    EXPECT_EQ(pellom.info(1, "ADAPTER"), "PhysicalDrive 2");
    EXPECT_EQ(pellom.info(1, "driveinfo"), pellom.info(1, "DriveInfo"));
    // The length given back, and 24 'x' after a call given `room` of them.
    auto ask = [&](const char* key, int room) {
        std::string buffer(24, 'x');
        EXPECT_EQ(pellom.getDriveInformation(0, key, buffer.data(), &room), 0);
        return std::to_string(room) + ":" + buffer;
    };
    using namespace std::string_literals;
    // No key: the list of keys, 115 characters, cut to the room.
    EXPECT_EQ(ask("", 16), "115:'DriveSN','Driv\0xxxxxxxx"s);
    EXPECT_EQ(ask(nullptr, 16), "115:'DriveSN','Driv\0xxxxxxxx"s);
    EXPECT_EQ(ask("DriveInfo", 24), "40:ACME    Disk Zero      \0"s);
    // An unknown key: length 0 and the room zeroed.
    EXPECT_EQ(ask("Serial", 20), "0:" + std::string(20, '\0') + "xxxx");
    // No room: nothing copied, the full length reported.
    EXPECT_EQ(ask("Adapter", 0), "15:" + std::string(24, 'x'));
    char none[1] = {'x'};
    EXPECT_EQ(pellom.getDriveInformation(0, "Adapter", none, nullptr), 0);
}

TEST_F(PellomProbe, CheckConditionKeepsSenseForOneSenseCall) {
    PellomApi& pellom = Ready();
    std::filesystem::remove("Corvid.log");
    EXPECT_EQ(pellom.executeScsi(0, kStartStopUnit.data(), 0), 2);
    EXPECT_THAT(
        TraceLines(),
        testing::ElementsAre(
            "Pellom:SptiCommon:Device 0 Byte Count 0",
            "Pellom:SptiCommon:Command 1b 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ",
            "Pellom:SptiCommon:IOCTRL Status 1 Command Status 0  Target Status 2",
            "Pellom:SptiCommon:AutoSense 70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00 "));

    // The first Sense gives the kept bytes without sending anything.
    BYTE sense[32] = {};
    EXPECT_EQ(pellom.sense(0, sense), 0);
    EXPECT_EQ(sense[2] & 0x0F, 5);  // ILLEGAL REQUEST
    EXPECT_EQ(sense[12], 0x20);     // invalid command operation code
    EXPECT_EQ(TraceLines().size(), 4u);

    // The second sends REQUEST SENSE; the disk still holds its sense once.
    std::memset(sense, 0, sizeof sense);
    EXPECT_EQ(pellom.sense(0, sense), 0);
    EXPECT_THAT(TraceLines(), Contains("Pellom:SptiCommon:Command 03 00 00 00 20 00 00 00 00 00 "
                                       "00 00 00 00 00 00 "));
    EXPECT_EQ(sense[12], 0x20);
    EXPECT_EQ(pellom.sense(0, sense), 0);
    EXPECT_EQ(sense[2] & 0x0F, 0);  // NO SENSE now

    // A good command clears what a check condition left.
    EXPECT_EQ(pellom.executeScsi(1, kStartStopUnit.data(), 0), 2);
    EXPECT_EQ(pellom.executeScsi(1, kTestUnitReady.data(), 0), 0);
    EXPECT_EQ(pellom.sense(1, sense), 0);
    EXPECT_EQ(sense[2] & 0x0F, 0);
}

TEST_F(PellomProbe, CommandsRunOnFilledSlotsInsideTheBufferAndVerifyReads) {
    PellomApi& pellom = Ready();
    for (int slot : {2, 99, 100})
        EXPECT_EQ(pellom.executeScsi(slot, kTestUnitReady.data(), 0), -2) << slot;
    EXPECT_EQ(pellom.executeScsi(0, nullptr, 0), -2);
    EXPECT_EQ(pellom.executeScsi(0, kReadCapacity.data(), -32), 0);
    std::vector<BYTE> capacity = pellom.read(0, 0, 0, 8);
    EXPECT_EQ(BigEndian32(capacity, 0), 4u * 1024 * 1024 / 512 - 1);
    EXPECT_EQ(BigEndian32(capacity, 4), 512u);
    // 2048 blocks fill the buffer exactly (the count asks for more); 4000
    // do not fit, and the disk refuses rather than writing past it.
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 2048).data(), -2000000), 0);
    EXPECT_EQ(pellom.executeScsi(0, Read10(0, 4000).data(), -2048000), 2);

    // Read verification compares with the dataOut buffer, with its bit only.
    const BYTE pattern[] = {'L', 'a', 'r', 'k'};
    pellom.setDataPattern(0, "w", pattern, 4, 512);
    EXPECT_EQ(pellom.executeScsi(0, Read10(8, 1, 0x2A).data(), 512), 0);
    EXPECT_EQ(pellom.setCoreOptions(0x0F10), 0x0F10);
    EXPECT_EQ(pellom.executeScsi(0, Read10(8, 1).data(), -512), 0);
    EXPECT_EQ(pellom.read(0, 0, 0, 4), std::vector<BYTE>(pattern, pattern + 4));
    pellom.write(0, 48, 511, {0});
    EXPECT_EQ(pellom.executeScsi(0, Read10(8, 1).data(), -512), 100);
    pellom.setCoreOptions(0x0F00);
    EXPECT_EQ(pellom.executeScsi(0, Read10(8, 1).data(), -512), 0);

    // MODE SENSE(10) is announced with the length byte 9 gives, up to 16:
    // 6 is too short for the disk, 0x12 (18) runs with 16.
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(6).data(), -255), 2);
    EXPECT_EQ(pellom.executeScsi(0, ModeSense10(0x12).data(), -255), 0);
    EXPECT_EQ(pellom.read(0, 0, 8, 1)[0], 0x05);  // page 5

    // A pass-through request the platform refuses.
    session.faults.Fail("DeviceIoControl", "PhysicalDrive0", 1);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), 1);
}

TEST(PellomCdbLength, GroupsGiveTheTableLengthAndPassThroughOverridesSome) {
    const struct {
        BYTE opcode, byte9, length, passThroughLength;
    } cases[] = {{0x00, 0, 6, 6},    {0x1F, 0, 6, 6},      {0x28, 0, 10, 10},
                 {0x5A, 0, 10, 10},  {0x7F, 0, 10, 10},    {0x88, 0, 16, 16},
                 {0xA8, 0, 12, 12},  {0xC0, 0, 6, 6},      {0xE0, 0, 10, 10},
                 {0xFF, 0, 10, 10},  {0xF0, 0, 10, 16},    {0xF1, 0, 10, 16},
                 {0x5A, 12, 10, 12}, {0x5A, 0x12, 10, 16}, {0x5A, 0xFF, 10, 16},
                 {0x28, 12, 10, 10}};  // byte 9 counts for MODE SENSE(10) only
    for (const auto& c : cases) {
        std::array<BYTE, 16> cdb{c.opcode};
        cdb[9] = c.byte9;
        EXPECT_EQ(pellom::CdbLength(cdb.data(), false), c.length) << int(c.opcode);
        EXPECT_EQ(pellom::CdbLength(cdb.data(), true), c.passThroughLength) << int(c.opcode);
    }
}

TEST_F(PellomProbe, BufferControlMovesOnlyBytesInsideTheBufferAndLoadsResetTheWatchdog) {
    PellomApi& pellom = Ready();
    EXPECT_EQ(pellom.bufferSize(0), 1048576);
    EXPECT_EQ(pellom.bufferSize(57), 1048576);

    pellom.write(0, 16, 1048570, {1, 2, 3, 4, 5, 6});
    BYTE data[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(pellom.bufferControl(0, 0, 1048570, 10, data), 10);
    const BYTE expected[10] = {1, 2, 3, 4, 5, 6, 9, 9, 9, 9};
    EXPECT_TRUE(std::equal(data, data + 10, expected));
    EXPECT_EQ(pellom.bufferControl(0, 0, 0, -3, data), 0);

    // Before the start: only the bytes from position 0 on move.
    BYTE head[4] = {7, 7, 7, 7};
    EXPECT_EQ(pellom.bufferControl(0, 80, -2, 4, head), 4);
    EXPECT_EQ(pellom.read(0, 32, 0, 2), (std::vector<BYTE>{7, 7}));

    // Codes: 16 and 0 use dataIn, 48 and 32 dataOut, 64 reads dataIn.
    pellom.write(1, 16, 0, {0xA1});
    pellom.write(1, 48, 0, {0xB1});
    EXPECT_EQ(pellom.read(1, 0, 0, 1)[0], 0xA1);
    EXPECT_EQ(pellom.read(1, 64, 0, 1)[0], 0xA1);
    EXPECT_EQ(pellom.read(1, 32, 0, 1)[0], 0xB1);
    pellom.write(1, 80, 0, {0xC1});
    EXPECT_EQ(pellom.read(1, 32, 0, 1)[0], 0xC1);

    // A slot discovery never filled has no buffers.
    EXPECT_EQ(pellom.bufferControl(2, 0, 0, 1, data), 0);

    // The watchdog changes only for positive values; each load resets it.
    EXPECT_EQ(pellom.setWatchdogTimer(0, 0), 10);
    EXPECT_EQ(pellom.setWatchdogTimer(0, -5), 10);
    EXPECT_EQ(pellom.setWatchdogTimer(0, 30), 10);
    EXPECT_EQ(pellom.setWatchdogTimer(0, 0), 30);
    EXPECT_EQ(pellom.setWatchdogTimer(99, 77), 10);
    EXPECT_EQ(pellom.setWatchdogTimer(100, 5), 0);
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(pellom.setWatchdogTimer(0, 0), 10);
    EXPECT_EQ(pellom.setWatchdogTimer(99, 0), 10);
    pellom.releaseController(0);
    pellom.initPellom();
}

TEST_F(PellomProbe, DataPatternsFillTheChosenBuffer) {
    PellomApi& pellom = Ready();
    const BYTE abc[] = {'A', 'B', 'C'};
    pellom.setDataPattern(0, "w", abc, 3, 5);
    std::vector<BYTE> out = pellom.read(0, 32, 0, 12);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCABABCABAB");
    EXPECT_EQ(pellom.read(0, 32, 1048575, 1)[0], 'A');  // 1048575 % 5 == 0

    pellom.setDataPattern(0, "R", abc + 1, 0, 1);  // length 0: every byte pattern[0]
    std::vector<BYTE> in = pellom.read(0, 0, 0, 1048576);
    EXPECT_TRUE(std::all_of(in.begin(), in.end(), [](BYTE b) { return b == 'B'; }));

    pellom.setDataPattern(0, "r", nullptr, -3, 0);
    in = pellom.read(0, 0, 0, 65537);
    for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(in[i], i % 255) << i;
    EXPECT_EQ(in[65536], 'B');  // the rest is unchanged

    pellom.setDataPattern(0, "x", nullptr, -1, 7);
    out = pellom.read(0, 32, 0, 1048576);
    for (size_t i = 7; i < out.size(); ++i) ASSERT_EQ(out[i], out[i % 7]) << i;

    pellom.setDataPattern(0, "w", nullptr, -2, 0);
    out = pellom.read(0, 32, 0, 4096);
    std::sort(out.begin(), out.end());
    EXPECT_GT(std::unique(out.begin(), out.end()) - out.begin(), 100);

    // Meaningless requests leave the buffer alone.
    std::vector<BYTE> before = pellom.read(0, 32, 0, 64);
    pellom.setDataPattern(0, "w", abc, 3, 0);
    pellom.setDataPattern(0, "w", nullptr, 2, 4);
    pellom.setDataPattern(0, "w", abc, -4, 4);
    EXPECT_EQ(pellom.read(0, 32, 0, 64), before);
}

// With Verran the class-filtered scan fills the slots with Verran's names.
class PellomVerran : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!LibraryBesideProgram("Verran")) GTEST_SKIP() << "libVerran.so is not built";
    }
    PellomSession session{MachineText("pellom-fixed-disk-and-usb-stick")};
};

TEST_F(PellomVerran, UsbStickIsFoundWithVerransNamesUntilUnloadedOrUnopenable) {
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_TRUE(session.boxes.shown.empty());
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);
    std::string name = pellom.info(0, "DriveName");
    EXPECT_EQ(name.rfind("\\\\?\\usbstor#disk&ven_sandisk", 0), 0u) << name;
    // A lettered drive is described by its letter.
    EXPECT_EQ(
        pellom.infos(0, {"MountInfo", "FRIENDLYNAME", "DriveNumber", "AdapterType", "AdapterInfo",
                         "Adapter", "Drive", "DriveInfo", "DriveSN", "DriveFW"}),
        "E:|SanDisk Cruzer Blade USB Device|1|USB|USB Mass Storage Device|Adapter 0|"
        "Drive 0|E:|4C530001|1.26|");
    EXPECT_THAT(TraceLines(), Contains("Pellom:ScanOnly:Adapter 0 of 1 -- Drive Count = 1"));
    EXPECT_THAT(TraceLines(), Contains("Pellom:ScanOnly:Index 0 E:"));
    EXPECT_EQ(pellom.executeScsi(0, kReadCapacity.data(), -32), 0);
    EXPECT_EQ(BigEndian32(pellom.read(0, 0, 0, 4), 0), 4u * 1024 * 1024 / 512 - 1);
    // Without a filter every class is scanned.
    EXPECT_EQ(pellom.getDeviceCount(0, nullptr), 2);

    // After UnloadCoreModule a load falls back to the physical-drive probe.
    pellom.unloadCoreModule();
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session.boxes.shown.size(), 1u);
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
    EXPECT_EQ(pellom.info(1, "Adapter"), "PhysicalDrive 1");

    // A drive that cannot be opened is listed but refuses commands.
    session.faults.Fail("CreateFileA", "usbstor#disk");
    session.Unload();
    PellomApi& again = session.Load();
    ASSERT_EQ(again.loadCoreModule(), 2);
    ASSERT_EQ(again.getDeviceCount(0, "USB"), 1);
    EXPECT_EQ(again.infos(0, {"FriendlyName", "DriveSN"}), "SanDisk Cruzer Blade USB Device||");
    EXPECT_EQ(again.executeScsi(0, kTestUnitReady.data(), 0), -1);
}

// Out of memory inside Pellom and the ASPI manager: every export gives its
// failure result, nothing escapes, no caller waits for ever, and the module
// works again once memory is back.

class PellomMemoryFault : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    }
    void TearDown() override { allocation::Failed(); }
    // Pellom with Verran, loaded and counted on pass-through (2).
    PellomApi& Ready() {
        PellomApi& pellom = session.Load();
        EXPECT_EQ(pellom.loadCoreModule(), 2);
        EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 1);
        return pellom;
    }
    PellomSession session{MachineText("pellom-bare-stick-and-fixed-disk")};
};

// Loading and counting with each allocation in turn failing (only the
// libraries' own, if named): no transport, no targets, or the whole answer.
void SweepLoadAndCount(PellomApi& pellom, int transport, int stickCount,
                       std::initializer_list<const char*> libraries = {}) {
    int noTransport = 0, noTargets = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point, libraries);
        int loaded = pellom.loadCoreModule();
        int count = pellom.getDeviceCount(0, "USB");
        if (!allocation::Failed()) {
            EXPECT_EQ(loaded, transport);
            EXPECT_EQ(count, stickCount);
            break;
        }
        EXPECT_TRUE(loaded == transport || loaded == 0) << "allocation " << point;
        EXPECT_TRUE(count == stickCount || count == 0) << "allocation " << point;
        noTransport += loaded == 0;
        noTargets += loaded == transport && count == 0;
        // A slot that was counted works; one that was not gives -2.
        BYTE capacity[16] = {0x25};
        EXPECT_EQ(pellom.executeScsi(0, capacity, -8), count > 0 ? 0 : PELLOM_NO_BUFFERS)
            << "allocation " << point;
    }
    EXPECT_GT(noTransport, 0) << "over " << point << " allocations";
    EXPECT_GT(noTargets, 0) << "over " << point << " allocations";
}

TEST_F(PellomMemoryFault, LoadAndCountOnPassThroughGiveNothingFound) {
    SweepLoadAndCount(session.Load(), 2, 1);
}

// The ASPI manager's requests that cannot be queued fail at once with
// SS_INSUFFICIENT_RESOURCES; Pellom's busy waits on them end. Only the two
// libraries' own allocations fail: out of memory inside the loader's search
// for wnaspi32 ends the process.
TEST(PellomAspiMemoryFault, LoadAndCountGiveNothingFoundAndNeverHang) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    PellomSession session(MachineText("pellom-one-aspi-stick"));
    session.faults.WithoutVerran();
    session.faults.WithoutSpti();
    SweepLoadAndCount(session.Load(), 1, 1, {"libPellom", "libwnaspi32"});
}

// Trace lines that cannot be made are lost; the command itself runs.
TEST_F(PellomMemoryFault, CommandsRunWhenTheirTraceLinesCannotBeMade) {
    PellomApi& pellom = Ready();
    Cdb read = Read10(0, 1);
    std::filesystem::remove("Corvid.log");
    int runs = 0, done = 0;
    for (long point = 0;; ++point) {
        allocation::FailAfter(point);
        int result = pellom.executeScsi(0, read.data(), -512);
        ++runs;
        if (!allocation::Failed()) {
            EXPECT_EQ(result, PELLOM_GOOD);
            break;
        }
        // Out of memory in the platform's pass-through fails the request.
        EXPECT_TRUE(result == PELLOM_GOOD || result == PELLOM_REQUEST_FAILED)
            << "allocation " << point << " gave " << result;
        done += result == PELLOM_GOOD;
    }
    EXPECT_GT(done, 0);
    // Each run writes three lines when nothing fails; some were lost.
    EXPECT_LT(TraceLines("Pellom:").size(), static_cast<size_t>(3 * runs));
}

TEST_F(PellomMemoryFault, PatternThatCannotBeMadeLeavesTheBuffer) {
    PellomApi& pellom = Ready();
    pellom.write(0, CORE_BUFFER_W_WRITE, 0, {1, 2, 3, 4});
    allocation::FailAfter(0);
    pellom.setDataPattern(0, "w", nullptr, PELLOM_PATTERN_RANDOM_BLOCK, 4096);
    ASSERT_TRUE(allocation::Failed());
    EXPECT_EQ(pellom.read(0, CORE_BUFFER_W_READ, 0, 4), (std::vector<BYTE>{1, 2, 3, 4}));
}

// A stick that never answers: the command fails when its watchdog (in
// seconds) runs out, and the rest of the process goes on meanwhile.
TEST(HungStick, CommandFailsWhenTheWatchdogRunsOutWhileOtherCallsGoOn) {
    PellomSession session(MachineText("hung-stick"));
    session.faults.WithoutVerran();
    PellomApi& pellom = session.Load();
    ASSERT_EQ(pellom.loadCoreModule(), 2);
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);  // the stick; the system disk is left out

    std::atomic<bool> answered{false};
    auto command = std::async(std::launch::async, [&] {
        int result = pellom.executeScsi(0, kTestUnitReady.data(), 0);
        answered = true;
        return result;
    });
    // Once the command waits on the stick, the system disk opens and reads;
    // the default watchdog of 10 s (a second here) is not waited for.
    auto waiting = [] {
        for (const auto& disk : sim::Disks())
            if (disk.id == "hung") return disk.commandsWaiting > 0;
        return false;
    };
    while (!answered && !waiting()) std::this_thread::yield();
    ASSERT_FALSE(answered) << "the machine could not be asked while the command waited";
    HANDLE disk =
        CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::array<BYTE, 512> sector{};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(disk, sector.data(), sector.size(), &read, nullptr));
    CloseHandle(disk);
    EXPECT_FALSE(answered) << "a read of another disk waited for the hung stick";

    // Taken as thousands of seconds, the watchdog would leave the command
    // waiting for hours; unplugging the stick ends that wait.
    if (command.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the command outlived its watchdog";
        sim::Plug("hung", false);
    }
    EXPECT_EQ(command.get(), 1);  // not sent: the pass-through failed
}

}  // namespace
}  // namespace larkin::test
