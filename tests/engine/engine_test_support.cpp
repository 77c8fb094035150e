#include "engine_test_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "exports/services.h"

namespace tessel::test {

void EngineTest::Restart(const std::string& toml) {
    if (machine_) {
        controls::ClearFaults();
        ReleaseServices(false);
        machine_.reset();
    }
    machine_.emplace(toml);
    for (DeviceTable* table : {&CurrentTable, &BaselineTable, &ProbeTable}) {
        ClearRows(*table);
        table->count = 0;
    }
    SetProgressCallback(nullptr);
    EXPECT_TRUE(BindServices()) << GetLastError();
    controls::ClearPauses();
}

EngineTest::~EngineTest() {
    controls::ClearFaults();
    ReleaseServices(false);
}

std::string StickMachine(std::uint64_t bytes, std::uint32_t sectorsPerTrack, std::uint32_t heads) {
    std::ostringstream toml;
    toml << larkin::test::MachineText("engine-system-disk-and-floppy")
         << "[[adapter]]\nid = \"usb1\"\nclass = \"USB\"\naspi = true\n[[adapter.disk]]\n"
         << "id = \"stick1\"\nsize = " << bytes << "\nheads = " << heads
         << "\nsectors_per_track = " << sectorsPerTrack
         << "\nfriendly_name = \"SanDisk Cruzer Blade USB Device\"\nletters = [\"E:\"]\n"
         << "[[adapter.disk.partition]]\ntype = 0x0E\nstart = " << sectorsPerTrack << "\n";
    return toml.str();
}

std::filesystem::path DiskImage(std::string_view id) {
    for (const auto& disk : larkin::sim::Disks())
        if (disk.id == id) return disk.image;
    return {};
}

bool PutOnFloppy(const std::filesystem::path& file, std::string_view name) {
    const auto floppy = std::filesystem::path(larkin::sim::StateDirectory()) / "floppy.img";
    return larkin::test::boot::CopyIn(floppy, 0, file, name);
}

std::set<std::string> WrittenDisks() {
    std::set<std::string> disks;
    for (const auto& entry : controls::Journal()) disks.insert(entry.disk);
    return disks;
}

HANDLE OpenDisk(int number, DWORD access) {
    std::string path = "\\\\.\\PhysicalDrive" + std::to_string(number);
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::vector<std::uint8_t> ImageBytes(std::string_view id, std::uint64_t offset,
                                     std::uint64_t length) {
    std::ifstream image(DiskImage(id), std::ios::binary);
    image.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> bytes(length);
    image.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

::testing::AssertionResult CleanVolume(std::string_view id, std::uint64_t firstSector,
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

std::string CapturedOutput(const std::function<void()>& op) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    op();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

namespace {

constexpr DWORD kInjectedError = 0x20001234u;

int OpenedSince(const std::vector<HANDLE>& before) {
    int opened = 0;
    for (HANDLE handle : controls::OpenHandles())
        opened += std::find(before.begin(), before.end(), handle) == before.end();
    return opened;
}

}  // namespace

int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check,
                       const std::function<void()>& prepare) {
    auto prepared = [&] {
        controls::ClearFaults();
        if (prepare) prepare();
        return controls::OpenHandles();
    };
    // A run may replace handles a service keeps (Pellom's ports), but repeated
    // runs must not add to them.
    auto start = prepared();
    op();
    int keptAfterOne = OpenedSince(start);
    for (int run = 0; run < 2; ++run) prepared(), op();
    EXPECT_EQ(OpenedSince(start), keptAfterOne) << "clean runs leave handles open";

    auto before = prepared();
    controls::RecordCalls(true);
    op();
    controls::RecordCalls(false);
    int cleanOpen = OpenedSince(before);
    auto calls = controls::RecordedCalls();

    // A call is failed where it follows a given call on a given device for
    // the first, second and last time: every place in the flow, without each
    // round of its loops.
    std::vector<std::string> places;
    std::map<std::string, std::size_t> lastAt;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        places.push_back((i ? calls[i - 1].call : "") + ">" + calls[i].call + "@" +
                         calls[i].device);
        lastAt[places.back()] = i;
    }
    int faultedRuns = 0;
    std::map<std::string, int> seen, seenAt;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto& record = calls[i];
        int n = seen[record.call]++;
        if (seenAt[places[i]]++ >= 2 && lastAt[places[i]] != i) continue;
        before = prepared();
        controls::InjectFault({record.call, "", 0, n, 1, kInjectedError});
        op();
        controls::ClearFaults();
        ++faultedRuns;
        SCOPED_TRACE(record.call + " call " + std::to_string(n) + " (" + record.device +
                     ") failing");
        EXPECT_LE(OpenedSince(before), cleanOpen);
        check(record.call, n);
    }
    return faultedRuns;
}

ScopedInput::ScopedInput(std::string_view text) {
    std::ofstream(folder_.path() / "input", std::ios::binary) << text;
    std::freopen((folder_.path() / "input").c_str(), "r", stdin);
}

ScopedInput::~ScopedInput() {
    std::freopen("/dev/null", "r", stdin);
}

}  // namespace tessel::test
