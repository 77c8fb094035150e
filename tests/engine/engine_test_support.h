// Machines, fixtures and probes shared by the engine's tests.
#ifndef LARKIN_TESTS_ENGINE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_SUPPORT_H

#include <gmock/gmock.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "boot_harness.h"
#include "devices/device_table.h"
#include "exports/message_channel.h"
#include "exports/services.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "win32/windows.h"

namespace tessel::test {

using larkin::test::Little;
using larkin::test::ReadAt;
using larkin::test::boot::ReadFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace controls = larkin::controls;

// The engine on a machine of the test's own, as after a fresh load.
class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(
        const std::string& toml = larkin::test::MachineText("engine-sticks-e-and-blank")) {
        Restart(toml);
    }
    ~EngineTest() override {
        controls::ClearFaults();
        ReleaseServices(false);
    }
    void Restart(const std::string& toml) {
        controls::ClearFaults();
        if (machine_) ReleaseServices(false);
        machine_.emplace(toml);
        for (DeviceTable* table : {&CurrentTable, &BaselineTable, &ProbeTable}) *table = {};
        SetProgressCallback(nullptr);
        EXPECT_TRUE(BindServices()) << GetLastError();
        controls::ClearPauses();
    }

    std::optional<larkin::test::TestMachine> machine_;
};

// System disk C:, a floppy A:, time_scale 0, and on a USB adapter the stick
// stick1 at E: (disk 1) with one FAT16 (LBA) partition, not formatted, one
// track in.
inline std::string StickMachine(std::uint64_t bytes = 20 * 1024 * 1024,
                                std::uint32_t sectorsPerTrack = 63, std::uint32_t heads = 255) {
    std::ostringstream toml;
    toml << larkin::test::MachineText("engine-system-disk-and-floppy")
         << "[[adapter]]\nid = \"usb1\"\nclass = \"USB\"\naspi = true\n[[adapter.disk]]\n"
         << "id = \"stick1\"\nsize = " << bytes << "\nheads = " << heads
         << "\nsectors_per_track = " << sectorsPerTrack
         << "\nfriendly_name = \"SanDisk Cruzer Blade USB Device\"\nletters = [\"E:\"]\n"
         << "[[adapter.disk.partition]]\ntype = 0x0E\nstart = " << sectorsPerTrack << "\n";
    return toml.str();
}

inline std::filesystem::path DiskImage(std::string_view id) {
    for (const auto& disk : larkin::sim::Disks())
        if (disk.id == id) return disk.image;
    return {};
}

// Sector 0: boot code of fill, the entries (status, type, first sector,
// length) and 55 AA.
inline std::vector<std::uint8_t> MbrSector(
    std::initializer_list<std::array<std::uint32_t, 4>> entries, std::uint8_t fill = 0) {
    std::vector<std::uint8_t> bytes(446, fill);
    bytes.resize(512);
    larkin::test::SetLittle(bytes, 510, 2, 0xAA55);
    std::size_t at = 446;
    for (const auto& [status, type, first, length] : entries) {
        bytes[at] = static_cast<std::uint8_t>(status),
        bytes[at + 4] = static_cast<std::uint8_t>(type);
        larkin::test::SetLittle(bytes, at + 8, 4, first);
        larkin::test::SetLittle(bytes, at + 12, 4, length);
        at += 16;
    }
    return bytes;
}

inline std::set<std::string> WrittenDisks() {
    std::set<std::string> disks;
    for (const auto& entry : controls::Journal()) disks.insert(entry.disk);
    return disks;
}

// \\.\PhysicalDriveN through the platform.
inline HANDLE OpenDisk(int number, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    std::string path = "\\\\.\\PhysicalDrive" + std::to_string(number);
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// Bytes of a disk image, read from outside the platform.
inline std::vector<std::uint8_t> ImageBytes(std::string_view id, std::uint64_t offset,
                                            std::size_t length) {
    return ReadAt(DiskImage(id), offset, length);
}

// fsck.fat -n over the partition's sectors finds nothing wrong.
inline ::testing::AssertionResult CleanVolume(std::string_view id, std::uint64_t firstSector,
                                              std::uint64_t sectors) {
    using larkin::test::Quoted;
    larkin::test::TempFolder folder;
    std::string copy = Quoted((folder.path() / "volume.img").string());
    auto run = larkin::test::RunCommand(
        "dd if=" + Quoted(DiskImage(id).string()) + " of=" + copy +
        " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(firstSector * 512) +
        " count=" + std::to_string(sectors * 512) + " conv=sparse status=none && fsck.fat -n " +
        copy);
    if (run.exitCode == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << run.output;
}

// What op writes to the standard output, its standard input reading input.
inline std::string CapturedOutput(const std::function<void()>& op, std::string_view input = "") {
    larkin::test::TempFolder folder;
    std::ofstream(folder.path() / "input", std::ios::binary) << input;
    std::freopen((folder.path() / "input").c_str(), "r", stdin);
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    op();
    std::fflush(stdout);
    std::freopen("/dev/null", "r", stdin);
    return ::testing::internal::GetCapturedStdout();
}

// Puts a disk image back as saved (only the changed chunks, for speed) and
// has the system read its table again.
inline void PutBack(const std::string& id, std::span<const std::uint8_t> saved, int diskNumber) {
    constexpr std::size_t kChunk = 1024 * 1024;
    const auto image = DiskImage(id);
    for (std::size_t at = 0; at < saved.size(); at += kChunk) {
        const auto chunk = saved.subspan(at, std::min(kChunk, saved.size() - at));
        if (!std::ranges::equal(chunk, ReadAt(image, at, chunk.size())))
            larkin::test::WriteAt(image, at, chunk);
    }
    DWORD returned = 0;
    HANDLE drive = OpenDisk(diskNumber);
    DeviceIoControl(drive, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned,
                    nullptr);
    CloseHandle(drive);
}

// Fails each platform call of op's clean run in turn (a loop's first, second
// and last round), checks no run leaves more handles open than the clean one,
// then runs check, the failing call in its trace; prepare runs before each.
// Returns how many runs had a fault.
inline int FailEachCallInTurn(const std::function<void()>& op, const std::function<void()>& check,
                              const std::function<void()>& prepare = {}) {
    auto openedSince = [](const std::vector<HANDLE>& before) {
        return std::ranges::count_if(controls::OpenHandles(), [&](HANDLE handle) {
            return std::ranges::find(before, handle) == before.end();
        });
    };
    auto prepared = [&] {
        controls::ClearFaults();
        if (prepare) prepare();
        return controls::OpenHandles();
    };
    // A run may replace handles a service keeps (Pellom's ports), but repeated
    // runs must not add to them.
    auto start = prepared();
    op();
    auto keptAfterOne = openedSince(start);
    for (int run = 0; run < 2; ++run) prepared(), op();
    EXPECT_EQ(openedSince(start), keptAfterOne) << "clean runs leave handles open";

    auto before = prepared();
    controls::RecordCalls(true);
    op();
    controls::RecordCalls(false);
    auto cleanOpen = openedSince(before);
    auto calls = controls::RecordedCalls();

    // A call is failed where it follows a given call on a given device for
    // the first, second and last time: every place in the flow, without each
    // round of its loops.
    auto place = [&](std::size_t i) {
        return (i ? calls[i - 1].call : "") + ">" + calls[i].call + "@" + calls[i].device;
    };
    std::map<std::string, std::size_t> lastAt;
    for (std::size_t i = 0; i < calls.size(); ++i) lastAt[place(i)] = i;
    int faultedRuns = 0;
    std::map<std::string, int> seen, seenAt;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto& record = calls[i];
        int n = seen[record.call]++;
        if (seenAt[place(i)]++ >= 2 && lastAt[place(i)] != i) continue;
        before = prepared();
        controls::InjectFault({record.call, "", 0, n, 1, 0x20001234u});
        op();
        controls::ClearFaults();
        ++faultedRuns;
        SCOPED_TRACE(record.call + " call " + std::to_string(n) + " (" + record.device +
                     ") failing");
        EXPECT_LE(openedSince(before), cleanOpen);
        check();
    }
    return faultedRuns;
}

}  // namespace tessel::test

#endif
