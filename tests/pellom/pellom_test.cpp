#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "allocation_faults.h"
#include "cdb_length.h"
#include "core_test_support.h"
#include "corvid/core_module.h"
#include "pellom/pellom.h"
#include "wnaspi32/wnaspi32.h"

namespace larkin::test {
namespace {

struct PellomApi {
    larkin::Library library{LoadLibraryA("Pellom")};
    LARKIN_BIND(PELLOM_INIT, initPellom, "initPellom");
    LARKIN_BIND(CORE_LOAD_CORE_MODULE, loadCoreModule, "LoadCoreModule");
    LARKIN_BIND(PELLOM_UNLOAD_CORE_MODULE, unloadCoreModule, "UnloadCoreModule");
    LARKIN_BIND(CORE_GET_DEVICE_COUNT, getDeviceCount, "GetDeviceCount");
    LARKIN_BIND(CORE_GET_DRIVE_INFORMATION, getDriveInformation, "GetDriveInformation");
    LARKIN_BIND(CORE_SET_CORE_OPTIONS, setCoreOptions, "SetCoreOptions");
    LARKIN_BIND(CORE_EXECUTE_SCSI, executeScsi, "ExecuteSCSI");
    LARKIN_BIND(CORE_SENSE, sense, "Sense");
    LARKIN_BIND(CORE_BUFFER_CONTROL, bufferControl, "BufferControl");
    LARKIN_BIND(CORE_BUFFER_SIZE, bufferSize, "BufferSize");
    LARKIN_BIND(CORE_SET_DATA_PATTERN, setDataPattern, "SetDataPattern");
    LARKIN_BIND(CORE_SET_WATCHDOG_TIMER, setWatchdogTimer, "SetWatchdogTimer");
    LARKIN_BIND(CORE_RELEASE_CONTROLLER, releaseController, "ReleaseController");

    std::string infos(int local, std::initializer_list<const char*> keys) const {
        std::string text;
        for (const char* key : keys) {
            char buffer[512] = {};
            int size = sizeof buffer;
            getDriveInformation(local, key, buffer, &size);
            text += std::string(buffer) + "|";
        }
        return text;
    }
    // length bytes of a buffer (code 0: dataIn, 32: dataOut).
    std::vector<BYTE> read(int local, int code, int offset, int length) const {
        std::vector<BYTE> bytes(static_cast<size_t>(length));
        bufferControl(local, code, offset, length, bytes.data());
        return bytes;
    }
    void write(int local, int code, int offset, std::vector<BYTE> bytes) const {
        bufferControl(local, code, offset, static_cast<int>(bytes.size()), bytes.data());
    }
};

// Without verran Pellom probes the physical drives; with aspi the first SCSI
// port does not open, so the ASPI manager is used.
struct PellomSession : CoreSession<PellomApi> {
    PellomSession(const char* name, bool verran = true, bool aspi = false) : CoreSession(name) {
        if (!verran) faults.WithoutVerran();
        if (aspi) faults.Fail("CreateFileA", "scsi0:");
    }
};

using Cdb = std::array<BYTE, 16>;
// READ(10), or WRITE(10) with opcode 0x2A.
Cdb Read10(uint32_t lba, uint16_t blocks, BYTE opcode = 0x28) {
    return {opcode,    0, BYTE(lba >> 24),   BYTE(lba >> 16), BYTE(lba >> 8),
            BYTE(lba), 0, BYTE(blocks >> 8), BYTE(blocks)};
}
Cdb ModeSense10(BYTE byte9) {
    return {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, byte9};
}
const Cdb kTestUnitReady{};
const Cdb kReadCapacity{0x25};
const Cdb kStartStopUnit{0x1B};  // not supported by the machine's disks

struct Transport {
    const char* machine;
    bool aspi;
    int adapters;                 // LoadCoreModule's result
    const char* trace;            // its trace lines' prefix
    std::vector<BYTE> lastBlock;  // of the disk in slot 1, as READ CAPACITY gives it
    std::string capacityTrace;    // READ CAPACITY on slot 1, without the prefix
};
// clang-format off
const Transport kSpti{"pellom-three-disks-one-unplugged", false, 2, "Pellom:SptiCommon:", {0, 0, 0x1F, 0xFF},
    "Device 1 Byte Count -8|Command 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "|IOCTRL Status 1 Command Status 0  Target Status 0|"};
const Transport kAspi{"pellom-two-aspi-adapters", true, 1, "Pellom:AspiOnly:", {0, 0, 0x3F, 0xFF},
    "Device 1 Adapter 1  Target 2  Byte Count -8|Command 25 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "|Command Status 1  Target Status 0|"};
// clang-format on

struct Aspi {
    larkin::Library library{LoadLibraryA("wnaspi32")};
    LARKIN_BIND(GET_ASPI32_SUPPORT_INFO, supportInfo, "GetASPI32SupportInfo");
    LARKIN_BIND(SEND_ASPI32_COMMAND, send, "SendASPI32Command");
};

class PellomProbe : public ::testing::Test {
  protected:
    PellomSession& On(const Transport& t) { return session.emplace(t.machine, false, t.aspi); }
    PellomApi& Ready(const Transport& transport = kSpti) {
        PellomApi& pellom = On(transport).Load();
        EXPECT_EQ(pellom.loadCoreModule(), transport.adapters);
        EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
        return pellom;
    }
    std::optional<PellomSession> session;
};

TEST_F(PellomProbe, PhysicalDrivesFillSlotsInOrderAndAnswerKeysInAnyCaseCutToTheCapacity) {
    PellomApi& pellom = On(kSpti).Load();
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);  // nothing loaded yet
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session->boxes.Texts(), "Use SPTI/ASPI|Info|0\n");
    EXPECT_EQ(pellom.getDeviceCount(5, "USB"), 2);
    auto keys = {"ADAPTER", "AdapterInfo", "DriveInfo",    "DriveSN",     "DriveFW",    "DriveName",
                 "Drive",   "MountInfo",   "FriendlyName", "AdapterType", "DriveNumber"};
    EXPECT_EQ(pellom.infos(1, keys),
              "PhysicalDrive 2|PhysicalDrive1 |ACME    Disk Two         SCSI Disk Drive|"
              "SN222222|2.00|||||||");
    EXPECT_THAT(TraceLines(),
                Contains("Pellom:SptiCommon:Index 1 ACME    Disk Two         SCSI Disk Drive"));
    // The length given back, and 24 'x' after a call given `room` of them.
    auto ask = [&](const char* key, int room) {
        std::string buffer(24, 'x');
        EXPECT_EQ(pellom.getDriveInformation(0, key, buffer.data(), &room), 0);
        return std::to_string(room) + ":" + buffer;
    };
    using namespace std::string_literals;
    EXPECT_EQ(ask(nullptr, 16), "115:'DriveSN','Driv\0xxxxxxxx"s);
    EXPECT_EQ(ask("", 16), ask(nullptr, 16));
    EXPECT_EQ(ask("driveinfo", 24), "40:ACME    Disk Zero      \0"s);
    EXPECT_EQ(ask("Serial", 20), "0:" + std::string(20, '\0') + "xxxx");
    EXPECT_EQ(ask("Adapter", 0), "15:" + std::string(24, 'x'));
    EXPECT_EQ(pellom.getDriveInformation(0, "Adapter", nullptr, nullptr), 0);  // no size
    // Every load starts from an empty table, and asks again.
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session->boxes.shown.size(), 2u);
    EXPECT_EQ(pellom.infos(0, {"Adapter"}), "|");
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
}

TEST_F(PellomProbe, CommandsSenseAndVerifiedReadsOnEitherTransport) {
    for (const Transport& t : {kSpti, kAspi}) {
        SCOPED_TRACE(t.trace);
        PellomApi& pellom = Ready(t);
        std::filesystem::remove("Corvid.log");
        // Both do nothing: the table and the trace below are as without them.
        pellom.initPellom();
        pellom.releaseController(1);
        EXPECT_EQ(pellom.executeScsi(1, kReadCapacity.data(), -8), 0);
        EXPECT_EQ(pellom.read(1, 0, 0, 4), t.lastBlock);
        EXPECT_EQ(TraceText(t.trace), t.capacityTrace);
        EXPECT_EQ(pellom.executeScsi(0, kStartStopUnit.data(), 0), 2);
        EXPECT_THAT(TraceLines(), Contains(std::string(t.trace) +
                                           "AutoSense 70 00 05 00 00 00 00 0a 00 00 00 00 20 00 "
                                           "00 00 00 00 "));
        auto sense = [&](int local) {
            BYTE data[32] = {};
            EXPECT_EQ(pellom.sense(local, data), 0);
            return (data[2] & 0x0F) * 0x100 + data[12];
        };
        const std::string requestSense = std::string(t.trace) + "Command 03 00 00 00 20";
        EXPECT_EQ(sense(0), 0x520);  // ILLEGAL REQUEST, opcode
        EXPECT_EQ(TraceLines(requestSense).size(), 0u);
        EXPECT_EQ(sense(0), 0x520);  // the disk held its sense once
        EXPECT_EQ(TraceLines(requestSense).size(), 1u);
        EXPECT_EQ(sense(0), 0);
        EXPECT_EQ(pellom.executeScsi(1, kStartStopUnit.data(), 0), 2);
        EXPECT_EQ(pellom.executeScsi(1, kTestUnitReady.data(), 0), 0);
        EXPECT_EQ(sense(1), 0);

        const BYTE pattern[] = {'L', 'a', 'r', 'k'};
        pellom.setDataPattern(0, "w", pattern, 4, 4096);
        EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8, 0x2A).data(), 4096), 0);
        EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 0);
        EXPECT_EQ(pellom.setCoreOptions(0x0F10), 0x0F10);
        EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 0);
        EXPECT_EQ(pellom.read(0, 0, 4092, 4), std::vector<BYTE>(pattern, pattern + 4));
        pellom.write(0, 48, 4095, {0});
        EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 100);
        pellom.setCoreOptions(0x0F00);
        EXPECT_EQ(pellom.executeScsi(0, Read10(3, 8).data(), -4096), 0);
        // 2048 blocks fill the buffer exactly (the count asks for more); 4000
        // do not fit, and the disk refuses rather than writing past it.
        EXPECT_EQ(pellom.executeScsi(0, Read10(0, 2048).data(), -2000000), 0);
        EXPECT_EQ(pellom.executeScsi(0, Read10(0, 4000).data(), -2048000), 2);
        // MODE SENSE(10) with byte 9's length, up to 16; through ASPI always 10.
        EXPECT_EQ(pellom.executeScsi(0, ModeSense10(6).data(), -255), t.aspi ? 0 : 2);
        EXPECT_EQ(pellom.executeScsi(0, ModeSense10(0x12).data(), -255), 0);
        EXPECT_EQ(pellom.read(0, 0, 8, 1)[0], 0x05);  // page 5
    }
    PellomApi& pellom = Ready();
    for (int slot : {2, 99, 100})
        EXPECT_EQ(pellom.executeScsi(slot, kTestUnitReady.data(), 0), -2) << slot;
    EXPECT_EQ(pellom.executeScsi(0, nullptr, 0), -2);
    session->faults.Fail("DeviceIoControl", "PhysicalDrive0", 1);
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

TEST_F(PellomProbe, BuffersMoveOnlyBytesInsideAndTakePatternsAndLoadsResetTheWatchdog) {
    PellomApi& pellom = Ready();
    EXPECT_EQ(pellom.bufferSize(57), 1048576);
    pellom.write(0, 16, 1048570, {1, 2, 3, 4, 5, 6});
    std::vector<BYTE> data(10, 9);
    EXPECT_EQ(pellom.bufferControl(0, 0, 1048570, 10, data.data()), 10);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 2, 3, 4, 5, 6, 9, 9, 9, 9}));
    EXPECT_EQ(pellom.bufferControl(0, 0, 0, -3, data.data()), 0);
    BYTE head[4] = {7, 7, 7, 7};
    EXPECT_EQ(pellom.bufferControl(0, 80, -2, 4, head), 4);
    EXPECT_EQ(pellom.read(0, 32, 0, 2), (std::vector<BYTE>{7, 7}));
    // Codes: 16 and 0 use dataIn, 48 and 32 dataOut, 64 reads dataIn.
    pellom.write(1, 16, 0, {0xA1});
    pellom.write(1, 48, 0, {0xB1});
    EXPECT_EQ(pellom.read(1, 0, 0, 1)[0] + pellom.read(1, 64, 0, 1)[0], 0xA1 * 2);
    EXPECT_EQ(pellom.read(1, 32, 0, 1)[0], 0xB1);
    pellom.write(1, 80, 0, {0xC1});
    EXPECT_EQ(pellom.read(1, 32, 0, 1)[0], 0xC1);
    EXPECT_EQ(pellom.bufferControl(2, 0, 0, 1, data.data()), 0);

    const BYTE abc[] = {'A', 'B', 'C'};
    pellom.setDataPattern(0, "w", abc, 3, 5);
    std::vector<BYTE> out = pellom.read(0, 32, 0, 12);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCABABCABAB");
    EXPECT_EQ(pellom.read(0, 32, 1048575, 1)[0], 'A');  // 1048575 % 5 == 0

    pellom.setDataPattern(0, "R", abc + 1, 0, 1);  // length 0: every byte pattern[0]
    EXPECT_EQ(pellom.read(0, 0, 0, 1048576), std::vector<BYTE>(1048576, 'B'));
    pellom.setDataPattern(0, "r", nullptr, -3, 0);
    std::vector<BYTE> in = pellom.read(0, 0, 0, 65537);
    for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(in[i], i % 255) << i;
    EXPECT_EQ(in[65536], 'B');  // the rest is unchanged
    pellom.setDataPattern(0, "x", nullptr, -1, 7);
    out = pellom.read(0, 32, 0, 1048576);
    for (size_t i = 7; i < out.size(); ++i) ASSERT_EQ(out[i], out[i % 7]) << i;
    pellom.setDataPattern(0, "w", nullptr, -2, 0);
    out = pellom.read(0, 32, 0, 4096);
    std::sort(out.begin(), out.end());
    EXPECT_GT(std::unique(out.begin(), out.end()) - out.begin(), 100);

    std::vector<BYTE> before = pellom.read(0, 32, 0, 64);
    pellom.setDataPattern(0, "w", abc, 3, 0);
    pellom.setDataPattern(0, "w", nullptr, 2, 4);
    pellom.setDataPattern(0, "w", abc, -4, 4);
    EXPECT_EQ(pellom.read(0, 32, 0, 64), before);

    for (auto [local, value, was] :
         {std::array{0, 0, 10}, {0, -5, 10}, {0, 30, 10}, {0, 0, 30}, {99, 77, 10}, {100, 5, 0}})
        EXPECT_EQ(pellom.setWatchdogTimer(local, value), was) << local << " " << value;
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(pellom.setWatchdogTimer(0, 0) + pellom.setWatchdogTimer(99, 0), 20);
}

TEST_F(PellomProbe, AspiWalkFindsTargetsByAdapterAndIdOnlyThroughAManagerAndFillsOnlyTheTable) {
    PellomApi& pellom = Ready(kAspi);
    auto keys = {"Adapter", "Drive", "AdapterInfo", "DriveInfo", "DriveSN", "DriveFW"};
    EXPECT_EQ(pellom.infos(1, keys),
              "Adapter 1|Target 2|ASPI for WIN32 - USBSTOR - Adapter 1 - ID 5|"
              "ACME    Stick B          Target 2|CCCC2222|0.2B|");
    std::vector<std::string> lines = TraceLines();
    EXPECT_EQ(lines.front(), "Pellom:AspiOnly:LoadASPI() 2 Adapters");
    EXPECT_THAT(lines, Contains("Pellom:AspiOnly:Adapter 0  Target 1  Command 12  Status 130-0"));
    EXPECT_THAT(lines, Contains("Pellom:AspiOnly:ACME    Stick B          Target 2"));
    EXPECT_EQ(TraceLines("Pellom:AspiOnly:Adapter ").size(), 32u);  // 2 adapters x 16 ids

    PellomApi& none = On({"pellom-usb-adapter-no-aspi", true, 0, "", {}, ""}).Load();
    EXPECT_EQ(Aspi().supportInfo(), DWORD{SS_NO_ADAPTERS} << 8);
    EXPECT_EQ(none.loadCoreModule(), 0);
    EXPECT_EQ(none.getDeviceCount(0, "USB"), 0);
    session->faults.Fail("LoadLibraryA", "wnaspi32");
    EXPECT_EQ(none.loadCoreModule(), 0);
    EXPECT_EQ(none.executeScsi(0, kTestUnitReady.data(), 0), -2);

    // More targets than slots fill exactly the table.
    PellomApi& many = On({"pellom-112-aspi-sticks", true, 1, "", {}, ""}).Load();
    many.setCoreOptions(0);  // 112 inquiries are enough without their trace
    ASSERT_EQ(many.loadCoreModule(), 1);
    EXPECT_EQ(many.getDeviceCount(0, "USB"), 100);
    EXPECT_EQ(many.infos(99, {"Adapter", "Drive"}), "Adapter 6|Target 3|");
    EXPECT_EQ(many.executeScsi(99, kTestUnitReady.data(), 0), 0);
}

TEST(PellomVerran, UsbStickIsFoundWithVerransNamesUntilUnloadedOrUnopenable) {
    if (!larkin::Library(LoadLibraryA("Verran"))) GTEST_SKIP() << "Verran is not built";
    PellomSession session("pellom-fixed-disk-and-usb-stick");
    PellomApi& pellom = session.Load();
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_TRUE(session.boxes.shown.empty());
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);
    EXPECT_EQ(pellom.infos(0, {"DriveName"}).rfind("\\\\?\\usbstor#disk&ven_sandisk", 0), 0u);
    EXPECT_EQ(
        pellom.infos(0, {"MountInfo", "FRIENDLYNAME", "DriveNumber", "AdapterType", "AdapterInfo",
                         "Adapter", "Drive", "DriveInfo", "DriveSN", "DriveFW"}),
        "E:|SanDisk Cruzer Blade USB Device|1|USB|USB Mass Storage Device|Adapter 0|"
        "Drive 0|E:|4C530001|1.26|");
    EXPECT_EQ(TraceText("Pellom:ScanOnly:"), "Adapter 0 of 1 -- Drive Count = 1|Index 0 E:|");
    EXPECT_EQ(pellom.executeScsi(0, kReadCapacity.data(), -32), 0);
    EXPECT_EQ(pellom.read(0, 0, 0, 4), (std::vector<BYTE>{0, 0, 0x1F, 0xFF}));  // 4 MiB
    EXPECT_EQ(pellom.getDeviceCount(0, nullptr), 2);

    pellom.unloadCoreModule();
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 0);
    EXPECT_EQ(pellom.executeScsi(0, kTestUnitReady.data(), 0), -2);
    EXPECT_EQ(pellom.loadCoreModule(), 2);
    EXPECT_EQ(session.boxes.shown.size(), 1u);
    EXPECT_EQ(pellom.getDeviceCount(0, "USB"), 2);
    EXPECT_EQ(pellom.infos(1, {"Adapter"}), "PhysicalDrive 1|");

    session.faults.Fail("CreateFileA", "usbstor#disk");
    PellomApi& again = session.Load();
    ASSERT_EQ(again.loadCoreModule(), 2);
    ASSERT_EQ(again.getDeviceCount(0, "USB"), 1);
    EXPECT_EQ(again.infos(0, {"FriendlyName", "DriveSN"}), "SanDisk Cruzer Blade USB Device||");
    EXPECT_EQ(again.executeScsi(0, kTestUnitReady.data(), 0), -1);
}

// Each allocation in turn failing (only the libraries' own, if named): no
// transport, no targets, or the whole answer.
void SweepLoadAndCount(PellomApi& pellom, int transport, int stickCount,
                       std::initializer_list<const char*> libraries = {}) {
    int noTransport = 0, noTargets = 0;
    long point = 0;
    for (;; point = allocation::NextPoint(point)) {
        allocation::FailAfter(point, libraries);
        int loaded = pellom.loadCoreModule();
        int count = pellom.getDeviceCount(0, "USB");
        if (!allocation::Failed()) {
            EXPECT_EQ(loaded * 100 + count, transport * 100 + stickCount);
            break;
        }
        EXPECT_TRUE((loaded == transport || loaded == 0) && (count == stickCount || count == 0))
            << "allocation " << point;
        noTransport += loaded == 0;
        noTargets += loaded == transport && count == 0;
        EXPECT_EQ(pellom.executeScsi(0, kReadCapacity.data(), -8),
                  count > 0 ? 0 : PELLOM_NO_BUFFERS)
            << "allocation " << point;
    }
    EXPECT_GT(noTransport, 0) << "over " << point << " allocations";
    EXPECT_GT(noTargets, 0) << "over " << point << " allocations";
}

// Load and count on pass-through, then commands and patterns without memory
// for their parts, then load and count on the ASPI manager, whose requests
// that cannot be queued must end Pellom's busy waits. There only the two
// libraries' own allocations fail: out of memory inside the loader's search
// for wnaspi32 ends the process.
TEST(PellomMemoryFault, LoadCountCommandsAndPatternsGiveNothingFoundAndNeverHang) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    std::optional<PellomSession> session{std::in_place, "pellom-bare-stick-and-fixed-disk"};
    PellomApi& pellom = session->Load();
    SweepLoadAndCount(pellom, 2, 1);  // ends loaded, the stick in slot 0
    std::filesystem::remove("Corvid.log");
    int runs = 0, done = 0;
    for (long point = 0;; ++point, ++runs) {
        allocation::FailAfter(point);
        int result = pellom.executeScsi(0, Read10(0, 1).data(), -512);
        if (!allocation::Failed()) {
            EXPECT_EQ(result, PELLOM_GOOD);
            break;
        }
        EXPECT_TRUE(result == PELLOM_GOOD || result == PELLOM_REQUEST_FAILED) << point;
        done += result == PELLOM_GOOD;
    }
    EXPECT_GT(done, 0);
    // Three lines a run when nothing fails; some were lost.
    EXPECT_LT(TraceLines("Pellom:").size(), static_cast<size_t>(3 * runs + 3));

    pellom.write(0, CORE_BUFFER_W_WRITE, 0, {1, 2, 3, 4});
    allocation::FailAfter(0);
    pellom.setDataPattern(0, "w", nullptr, PELLOM_PATTERN_RANDOM_BLOCK, 4096);
    ASSERT_TRUE(allocation::Failed());
    EXPECT_EQ(pellom.read(0, CORE_BUFFER_W_READ, 0, 4), (std::vector<BYTE>{1, 2, 3, 4}));

    session.emplace("pellom-one-aspi-stick", false, true);
    SweepLoadAndCount(session->Load(), 1, 1, {"libPellom", "libwnaspi32"});
}

TEST(HungStick, CommandFailsWhenTheWatchdogRunsOutWhileOtherCallsGoOn) {
    PellomSession session("hung-stick", false);
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
    auto waiting = [](const sim::DiskStatus& disk) {
        return disk.id == "hung" && disk.commandsWaiting;
    };
    while (!answered && std::ranges::none_of(sim::Disks(), waiting)) std::this_thread::yield();
    ASSERT_FALSE(answered) << "the machine could not be asked while the command waited";
    Handle disk(CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr));
    ASSERT_TRUE(disk);
    std::array<BYTE, 512> sector{};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(disk.get(), sector.data(), sector.size(), &read, nullptr));
    EXPECT_FALSE(answered) << "a read of another disk waited for the hung stick";

    // Taken as thousands of seconds, the watchdog would leave the command
    // waiting for hours; unplugging the stick ends that wait.
    if (command.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the command outlived its watchdog";
        sim::Plug("hung", false);
    }
    EXPECT_EQ(command.get(), 1);  // not sent: the pass-through failed
}

#pragma pack(push, 1)
struct WideRequest {
    SRB_ExecSCSICmd srb;
    BYTE moreSense[16];
};
#pragma pack(pop)

// An execute request of six command bytes, with room for 32 sense bytes.
WideRequest Request(BYTE target, BYTE opcode, BYTE* data = nullptr, DWORD length = 0,
                    BYTE adapter = 0, BYTE cdbLength = 6) {
    WideRequest request{};
    request.srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.srb.SRB_HaId = adapter;
    request.srb.SRB_Target = target;
    request.srb.SRB_Flags = data ? SRB_DIR_IN : 0;
    request.srb.SRB_BufPointer = data;
    request.srb.SRB_BufLen = length;
    request.srb.SRB_SenseLen = 32;
    request.srb.SRB_CDBLen = cdbLength;
    request.srb.CDBByte[0] = opcode;
    request.srb.CDBByte[4] = static_cast<BYTE>(length);
    return request;
}

// What Pellom's tests cannot see: requests complete after SendASPI32Command
// returns, each through a pause of the platform's; refusals have their codes.
TEST(Wnaspi32, CompletesRequestsAfterReturningAndRefusesBadOnesAtOnce) {
    TestMachine machine(MachineText("pellom-one-aspi-stick"));
    Aspi aspi;
    EXPECT_EQ(aspi.supportInfo(), (DWORD{SS_COMP} << 8) | 1);
    BYTE data[96] = {};
    WideRequest requests[] = {Request(0, 0x12, data, sizeof data), Request(0, 0x1B),
                              Request(3, 0x12, data, sizeof data),  // no such target
                              Request(0, 0x12, data, sizeof data, 4),
                              Request(0, 0x12, data, sizeof data, 0, 17)};
    std::ranges::fill(requests[1].moreSense, 0xEE);
    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x55;
    // What SendASPI32Command returned, and the status once complete, in hex.
    std::ostringstream results;
    auto send = [&](auto& request) {
        DWORD sent = aspi.send(&request);
        std::atomic_ref<BYTE> status(request.SRB_Status);
        while (sent == SS_PENDING && status.load(std::memory_order_acquire) == SS_PENDING)
            std::this_thread::yield();
        results << std::hex << sent << "/" << int{request.SRB_Status} << " ";
    };
    controls::ClearPauses();
    for (WideRequest& request : requests) send(request.srb);
    send(rescan);
    send(unknown);
    // Done, check condition, no device; bad adapter, bad length; rescan; unknown command.
    EXPECT_EQ(results.str(), "0/1 0/4 0/82 81/81 e0/e0 0/1 80/80 ");
    EXPECT_EQ(controls::Pauses(), std::vector<DWORD>(4, 1));
    EXPECT_EQ(requests[1].moreSense[15], 0);  // the sense area was widened
    EXPECT_EQ(requests[2].srb.SRB_HaStat, HASTAT_SEL_TO);
}

}  // namespace
}  // namespace larkin::test
