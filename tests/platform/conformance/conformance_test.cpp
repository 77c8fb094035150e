// The Windows rules of the platform, each written once and checked on every
// backend that runs here: the simulated machine, and loop devices standing
// in for USB sticks (as root), with 512- and 4096-byte sectors. Every case
// reaches its sticks through the Windows API alone, as the libraries do, and
// checks what the stick stores past the platform.
#include <gmock/gmock.h>

#include <cstdio>
#include <fstream>

#include "hardware_machine.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

namespace larkin::test {
namespace {

using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr uint64_t kMiB = 1ull << 20;

// A USB stick to plug in.
struct StickLayout {
    uint64_t size = 32ull << 20;
    uint32_t sectorSize = 512;
    bool partitioned = true;  // an MBR with one FAT32 (LBA) partition from the second MiB
    bool readOnly = false;    // its write-protect switch set
    bool media = true;        // false: a card reader's slot without a card
};

// The machine a case runs on: the simulated machine, or this computer with
// loop devices standing in for USB sticks.
class BackendUnderTest {
  public:
    virtual ~BackendUnderTest() = default;

    // Plugs in sticks of these layouts and starts the platform on them:
    // "" when started, else why not. *skip is set (and the reason given)
    // where this backend cannot make such a stick here.
    virtual std::string Start(const std::vector<StickLayout>& sticks, bool* skip) = 0;
    // Pulls the stick out while handles on it stay open.
    virtual void PullOut(size_t stick) = 0;

    // The stick's disk number, as \\.\PhysicalDriveN and the device numbers give it.
    uint32_t DiskNumber(size_t stick) const { return made_.at(stick).disk; }
    // The stick's name in the write journal.
    const std::string& JournalKey(size_t stick) const { return made_.at(stick).journalKey; }
    // The file that holds the stick's bytes (an image, a loop device's backing file).
    const std::string& BackingFile(size_t stick) const { return made_.at(stick).file; }
    // What the stick stores, read past the platform.
    std::vector<std::byte> Stored(size_t stick, uint64_t offset, size_t length) const {
        std::ifstream file(BackingFile(stick), std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset));
        std::vector<std::byte> bytes(length);
        EXPECT_TRUE(
            file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length)));
        return bytes;
    }

  protected:
    struct Made {
        uint32_t disk;
        std::string journalKey, file;
    };
    std::vector<Made> made_;  // filled by Start
};

class Simulated : public BackendUnderTest {
  public:
    std::string Start(const std::vector<StickLayout>& sticks, bool* skip) override {
        std::string toml = MachineText("platform-system-disk");
        for (size_t i = 0; i < sticks.size(); ++i) {
            const StickLayout& stick = sticks[i];
            if (stick.sectorSize != 512 || stick.readOnly || stick.size % kMiB != 0) {
                *skip = true;
                return "the simulated machine has no such stick";
            }
            std::string n = std::to_string(i);
            toml += "\n[[adapter]]\nid = \"usb" + n + "\"\nclass = \"USB\"\naspi = true\n";
            // Letters come from the machine file here: four for each stick,
            // one for each volume it may get.
            std::string letters;
            for (size_t v = 0; v < 4; ++v)
                letters += std::string(letters.empty() ? "\"" : ", \"") +
                           static_cast<char>('E' + 4 * i + v) + ":\"";
            toml += "[[adapter.disk]]\nid = \"stick" + n + "\"\nsize = \"" +
                    std::to_string(stick.size / kMiB) + "MiB\"\nletters = [" + letters + "]\n";
            if (!stick.media) toml += "media = false\n";
            if (stick.partitioned && stick.media)
                toml += "[[adapter.disk.partition]]\ntype = 0x0C\nstart = " +
                        std::to_string(kMiB / 512) + "\n";
        }
        machine_.emplace(toml);
        if (!machine_->started()) return machine_->error();
        for (const auto& disk : sim::Disks())  // the sticks follow the system's disk
            if (disk.id != "system") made_.push_back({disk.number, disk.id, disk.image});
        controls::ClearJournal();
        return {};
    }
    void PullOut(size_t stick) override { EXPECT_TRUE(sim::Plug(JournalKey(stick), false)); }

  private:
    std::optional<TestMachine> machine_;
};

class LoopDevices : public BackendUnderTest {
  public:
    std::string Start(const std::vector<StickLayout>& sticks, bool* skip) override {
        std::vector<const LoopDevice*> devices;
        for (const StickLayout& stick : sticks) {
            auto& loop = loops_.emplace_back(std::make_unique<LoopDevice>());
            std::string problem = loop->Attach({.size = stick.media ? stick.size : 0,
                                                .sectorSize = stick.sectorSize,
                                                .readOnly = stick.readOnly});
            if (!problem.empty()) {
                *skip = loop->Unavailable();
                return problem;
            }
            if (stick.partitioned && stick.media) MakeShopStick(*loop);
            devices.push_back(loop.get());
        }
        if (std::string problem = machine_.Start(devices); !problem.empty()) return problem;
        for (const auto& loop : loops_) {
            auto standIn = FindStandIn(*loop);
            if (!standIn) return "no stand-in for " + loop->Node();
            made_.push_back(
                {standIn->disk, "test-disk-" + loop->KernelName(), loop->BackingFile()});
        }
        return {};
    }
    void PullOut(size_t stick) override { loops_.at(stick)->Detach(); }

  private:
    // The machine goes first: its handles close before the sticks go.
    std::vector<std::unique_ptr<LoopDevice>> loops_;
    HardwareMachine machine_;
};

// A call on a stick that is gone, or has no media: it fails as Windows fails it.
void ExpectGone(bool done) {
    EXPECT_FALSE(done);
    EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
}

struct Row {
    bool simulated;
    uint32_t sectorSize;
};
void PrintTo(const Row& row, std::ostream* out) {
    *out << (row.simulated ? "Simulated" : "LoopDevices") << row.sectorSize;
}

uint32_t BigEndian32(const BYTE* at) {
    return uint32_t{at[0]} << 24 | uint32_t{at[1]} << 16 | uint32_t{at[2]} << 8 | at[3];
}

class Conformance : public ::testing::TestWithParam<Row> {
  protected:
    StickLayout Stick(bool partitioned = true, bool readOnly = false) const {
        return {
            .sectorSize = GetParam().sectorSize, .partitioned = partitioned, .readOnly = readOnly};
    }
    uint32_t Sector() const { return GetParam().sectorSize; }
    // A failure of the case where the name does not open.
    static Handle Opened(const std::string& name, DWORD access = kReadWrite) {
        Handle handle = Open(name, access);
        EXPECT_TRUE(handle.Valid()) << name << ": " << GetLastError();
        return handle;
    }
    std::string DiskName(size_t stick) const {
        return "\\\\.\\PhysicalDrive" + std::to_string(backend_->DiskNumber(stick));
    }
    // The letter of the stick's one volume, "E:"; "" (a failure) when it has another count.
    std::string Letter(size_t stick) const {
        auto letters = LettersOf(backend_->DiskNumber(stick));
        EXPECT_EQ(letters.size(), 1u) << "volumes on stick " << stick;
        return letters.size() == 1 ? letters[0] : "";
    }
    // The journal, an entry a line; an entry of another disk than stick 0 names it.
    std::vector<std::string> Journal() const {
        std::vector<std::string> lines;
        for (const auto& entry : controls::Journal())
            lines.push_back((entry.disk == backend_->JournalKey(0) ? "" : entry.disk + " ") +
                            Entry(entry.offset, entry.length, entry.via, entry.completed));
        return lines;
    }
    static std::string Entry(uint64_t offset, uint64_t length, const std::string& via,
                             bool completed = true) {
        return std::to_string(offset) + "+" + std::to_string(length) + " " + via +
               (completed ? "" : " unfinished");
    }
    std::unique_ptr<BackendUnderTest> backend_ =
        GetParam().simulated ? std::unique_ptr<BackendUnderTest>(std::make_unique<Simulated>())
                             : std::make_unique<LoopDevices>();
};

// Starts the row's backend on these sticks; skips where it cannot make them.
#define LARKIN_START_STICKS(...)                                       \
    do {                                                               \
        bool skip_ = false;                                            \
        std::string problem_ = backend_->Start({__VA_ARGS__}, &skip_); \
        if (skip_) GTEST_SKIP() << problem_;                           \
        ASSERT_EQ(problem_, "");                                       \
    } while (false)

// A stick is a removable USB disk with a lettered volume over its
// partition; the system's own disks are listed beside it.
TEST_P(Conformance, AStickIsARemovableUsbDiskWithALetteredVolumeBesideTheSystemsOwnDisks) {
    LARKIN_START_STICKS(Stick(), Stick(false));
    const uint32_t disk = backend_->DiskNumber(0);
    std::string interfacePath;
    bool systemDisks = false;
    for (const auto& path : DiskInterfacePaths()) {
        auto number = DeviceNumber(path);
        if (number && number->DeviceNumber == disk) interfacePath = path;
        if (!number || number->DeviceNumber == disk ||
            number->DeviceNumber == backend_->DiskNumber(1))
            continue;
        // The running system's disks are never opened for writing, whichever
        // way a program asks.
        systemDisks = true;
        LARKIN_EXPECT_FAILS(Open(path, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(Open("\\\\.\\PhysicalDrive" + std::to_string(number->DeviceNumber), kReadWrite)
                         .Valid());
    }
    if (systemDisks) {
        EXPECT_EQ(GetDriveTypeA("C:\\"), static_cast<UINT>(DRIVE_FIXED));
        LARKIN_EXPECT_FAILS(Open("\\\\.\\C:", kReadWrite).Valid(), ERROR_ACCESS_DENIED);
        LARKIN_EXPECT_FAILS(ToolGets("C:"), ERROR_ACCESS_DENIED);
    }
    EXPECT_THAT(interfacePath, StartsWith("\\\\?\\usbstor#disk&ven_"));
    // The interface path opens the disk in any letter case.
    for (char& c : interfacePath)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    Handle drive = Opened(interfacePath, GENERIC_READ);

    std::vector<BYTE> buffer(256);
    ASSERT_TRUE(
        Control(drive.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(), 256));
    DISK_GEOMETRY_EX geometry{};
    std::memcpy(&geometry, buffer.data(), offsetof(DISK_GEOMETRY_EX, Data));
    EXPECT_EQ(std::tuple(geometry.Geometry.BytesPerSector, geometry.Geometry.MediaType,
                         geometry.DiskSize.QuadPart),
              std::tuple(Sector(), DWORD{RemovableMedia}, static_cast<LONGLONG>(32 * kMiB)));
    LARKIN_EXPECT_FAILS(
        Control(drive.Get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, buffer.data(), 16),
        ERROR_INSUFFICIENT_BUFFER);

    // One volume, partition 1 of the same disk (which Letter() checks), where
    // the table puts it; the blank stick has none.
    std::string letter = Letter(0);
    ASSERT_NE(letter, "");
    EXPECT_NE(letter, "C:");
    EXPECT_EQ(GetDriveTypeA((letter + "\\").c_str()), static_cast<UINT>(DRIVE_REMOVABLE));
    EXPECT_EQ(ExtentOf(letter), std::pair(kMiB, 31 * kMiB));
    EXPECT_EQ(DeviceNumber("\\\\.\\" + letter)->PartitionNumber, 1u);
    EXPECT_TRUE(LettersOf(backend_->DiskNumber(1)).empty());
    EXPECT_TRUE(controls::Journal().empty());
}

// Raw I/O moves whole sectors of the stick's own size, a volume handle sees
// its partition alone, control codes need the access they declare, and
// every write is on record under the stick's name.
TEST_P(Conformance, WritesLandWhereTheyAimAndTheJournalNamesTheStick) {
    LARKIN_START_STICKS(Stick());
    const uint32_t sector = Sector();
    auto before = backend_->Stored(0, 0, 4 * kMiB);
    Handle volume = Opened("\\\\.\\" + Letter(0));
    ASSERT_TRUE(Control(volume.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    auto onVolume = Pattern(2 * sector, 0x52);
    ASSERT_TRUE(WriteAt(volume.Get(), 2 * sector, onVolume)) << GetLastError();
    LARKIN_EXPECT_FAILS(WriteAt(volume.Get(), 31 * kMiB - sector, Pattern(2 * sector, 1)),
                        ERROR_SECTOR_NOT_FOUND);
    volume.Close();

    Handle drive = Opened(DiskName(0));
    auto onDisk = Pattern(sector, 0x77);
    ASSERT_TRUE(WriteAt(drive.Get(), 100 * sector, onDisk)) << GetLastError();
    EXPECT_EQ(ReadAt(drive.Get(), 100 * sector, sector), onDisk);
    // Parts of sectors are refused, in length and in place.
    LARKIN_EXPECT_FAILS(ReadAt(drive.Get(), 0, sector / 2), ERROR_INVALID_PARAMETER);
    LARKIN_EXPECT_FAILS(WriteAt(drive.Get(), sector / 2, Pattern(sector, 2)),
                        ERROR_INVALID_PARAMETER);
    LARKIN_EXPECT_FAILS(WriteAt(drive.Get(), 0, Pattern(sector / 2, 3)), ERROR_INVALID_PARAMETER);
    Handle query = Opened(DiskName(0), 0), reader = Opened(DiskName(0), GENERIC_READ);
    LARKIN_EXPECT_FAILS(WriteAt(reader.Get(), 0, Pattern(sector, 4)), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeviceNumber(DiskName(0))) << "a handle for no access";
    GET_LENGTH_INFORMATION length{};
    LARKIN_EXPECT_FAILS(
        Control(query.Get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length),
        ERROR_ACCESS_DENIED);
    EXPECT_TRUE(
        Control(reader.Get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length));
    EXPECT_EQ(length.Length.QuadPart, static_cast<LONGLONG>(32 * kMiB));
    // A reader may not rewrite the table nor pass commands.
    std::vector<BYTE> layout(1024), data(sector);
    LARKIN_EXPECT_FAILS(Control(reader.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(), 1024),
                        ERROR_ACCESS_DENIED);
    PassThrough record{};
    LARKIN_EXPECT_FAILS(
        SendCommand(reader.Get(), Cdb10(0x28, 0, 1), SCSI_IOCTL_DATA_IN, data, record),
        ERROR_ACCESS_DENIED);

    // The file behind the stick is the stick: never a plain file, which
    // would be written past the guard and the journal.
    for (DWORD disposition : {DWORD{OPEN_EXISTING}, DWORD{CREATE_ALWAYS}}) {
        LARKIN_EXPECT_FAILS(Open(backend_->BackingFile(0), kReadWrite, 0, disposition).Valid(),
                            ERROR_ACCESS_DENIED);
    }

    auto expected = before;
    std::copy(onVolume.begin(), onVolume.end(), expected.begin() + kMiB + 2 * sector);
    std::copy(onDisk.begin(), onDisk.end(), expected.begin() + 100 * sector);
    EXPECT_TRUE(backend_->Stored(0, 0, 4 * kMiB) == expected) << "bytes changed beyond the writes";
    EXPECT_THAT(Journal(), ElementsAre(Entry(kMiB + 2 * sector, 2 * sector, "WriteFile"),
                                       Entry(100 * sector, sector, "WriteFile")));
}

// A lock holds against every other handle and process, until its handle
// closes or its process dies; an outside program gets the volume locked.
TEST_P(Conformance, AVolumeLockKeepsOutEveryOtherHandleAndProcessUntilItGoes) {
    LARKIN_START_STICKS(Stick());
    const std::string letter = Letter(0), volume = "\\\\.\\" + letter;
    const std::vector<std::byte> data = Pattern(Sector(), 9);
    Handle first = Opened(volume), second = Opened(volume);
    ASSERT_TRUE(Control(first.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    LARKIN_EXPECT_FAILS(Control(second.Get(), FSCTL_LOCK_VOLUME), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(WriteAt(second.Get(), 0, data), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(Open(volume, GENERIC_READ).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(Control(second.Get(), FSCTL_UNLOCK_VOLUME), ERROR_NOT_LOCKED);
    ASSERT_TRUE(Control(first.Get(), FSCTL_UNLOCK_VOLUME));
    ASSERT_TRUE(Control(second.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    second.Close();
    ASSERT_TRUE(Control(first.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    first.Close();

    Handle mine = Opened(volume);
    auto before = backend_->Stored(0, 0, 2 * kMiB);
    ChildHolding child([&] {
        HANDLE handle =
            CreateFileA(volume.c_str(), kReadWrite, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        return handle != INVALID_HANDLE_VALUE && Control(handle, FSCTL_LOCK_VOLUME);
    });
    ASSERT_TRUE(child.Succeeded());
    LARKIN_EXPECT_FAILS(Control(mine.Get(), FSCTL_LOCK_VOLUME), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(WriteAt(mine.Get(), 0, data), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(Open(volume, GENERIC_READ).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(ToolGets(volume.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(backend_->Stored(0, 0, 2 * kMiB) == before);
    EXPECT_TRUE(controls::Journal().empty());

    child.Kill();
    ASSERT_TRUE(Control(mine.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    EXPECT_TRUE(WriteAt(mine.Get(), 0, data)) << GetLastError();
    EXPECT_EQ(backend_->Stored(0, kMiB, Sector()), data);
    mine.Close();

    // An outside program gets it locked, and the journal covers the whole
    // volume until the program is done.
    LARKIN_TOOL_VOLUME where{};
    Handle session(LarkinOpenVolumeForTool(letter.c_str(), "mkfs.fat", TRUE, &where));
    ASSERT_TRUE(session.Valid()) << GetLastError();
    EXPECT_EQ(std::tuple(where.offset, where.length, where.bytesPerSector, where.hiddenSectors),
              std::tuple(kMiB, 31 * kMiB, Sector(), kMiB / Sector()));
    LARKIN_EXPECT_FAILS(Open(volume, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
    if (Sector() == 512 && HaveProgram("mkfs.fat")) {
        CommandRun made =
            RunCommand("mkfs.fat -n TOOLMADE --offset " + std::to_string(where.offset / 512) + " " +
                       Quoted(where.path) + " " + std::to_string(where.length / 1024));
        EXPECT_EQ(made.exitCode, 0) << made.output;
        auto boot = backend_->Stored(0, kMiB, 90);
        EXPECT_NE(std::string(reinterpret_cast<const char*>(boot.data()), 90).find("TOOLMADE"),
                  std::string::npos);
    }
    // Unfinished while the program may still be writing.
    EXPECT_THAT(Journal(), ElementsAre(Entry(kMiB, Sector(), "WriteFile"),
                                       Entry(where.offset, where.length, "mkfs.fat", false)));
    session.Close();
    EXPECT_THAT(Journal(), ElementsAre(Entry(kMiB, Sector(), "WriteFile"),
                                       Entry(where.offset, where.length, "mkfs.fat")));
    Handle again = Open(volume, kReadWrite);
    EXPECT_TRUE(Control(again.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
}

// The drive layout a library sets: slot 0 empty, a FAT16 partition, one of
// a type no volume is made of and a FAT32 one. Its offsets count bytes, the
// table counts the stick's sectors; the volumes are those of the new table,
// numbered as the system numbers partitions (each entry that holds one).
TEST_P(Conformance, ANewDriveLayoutGivesTheVolumesOfTheNewTable) {
    LARKIN_START_STICKS(Stick());
    Handle drive = Opened(DiskName(0));
    constexpr DWORD kSize = DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX);
    std::vector<BYTE> buffer(kSize);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    layout->Mbr.Signature = 0x1A2B3C4D;
    // Each entry's type, and its offset and length in MiB.
    const int wanted[4][3] = {{0, 0, 0}, {0x0E, 1, 4}, {0x83, 5, 4}, {0x0C, 9, 23}};
    for (int i = 0; i < 4; ++i) {
        auto& entry = layout->PartitionEntry[i];
        entry.PartitionStyle = PARTITION_STYLE_MBR;
        entry.Mbr.PartitionType = static_cast<BYTE>(wanted[i][0]);
        entry.StartingOffset.QuadPart = static_cast<LONGLONG>(wanted[i][1] * kMiB);
        entry.PartitionLength.QuadPart = static_cast<LONGLONG>(wanted[i][2] * kMiB);
        entry.RewritePartition = TRUE;
    }
    auto set = [&] {
        return Control(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), kSize);
    };
    // Not whole sectors of the stick, or past its end: refused, nothing written.
    layout->PartitionEntry[1].StartingOffset.QuadPart += Sector() / 2;
    LARKIN_EXPECT_FAILS(set(), ERROR_INVALID_PARAMETER);
    layout->PartitionEntry[1].StartingOffset.QuadPart -= Sector() / 2;
    layout->PartitionEntry[3].PartitionLength.QuadPart += static_cast<LONGLONG>(kMiB);
    LARKIN_EXPECT_FAILS(set(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(controls::Journal().empty());
    layout->PartitionEntry[3].PartitionLength.QuadPart -= static_cast<LONGLONG>(kMiB);
    ASSERT_TRUE(set()) << GetLastError();

    auto table = backend_->Stored(0, 0, 512);
    uint32_t second[2];  // the second entry's first sector and count, little-endian as here
    std::memcpy(second, &table[446 + 16 + 8], sizeof second);
    EXPECT_THAT(second, ElementsAre(kMiB / Sector(), 4 * kMiB / Sector()));
    EXPECT_EQ(std::to_integer<int>(table[446 + 48 + 4]), 0x0C);

    std::vector<BYTE> readBack(kSize);
    ASSERT_TRUE(
        Control(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, readBack.data(), kSize));
    auto* read = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(readBack.data());
    ASSERT_EQ(read->PartitionCount, 4u);
    std::vector<DWORD> numbers;
    for (DWORD i = 0; i < 4; ++i) numbers.push_back(read->PartitionEntry[i].PartitionNumber);
    EXPECT_THAT(numbers, ElementsAre(0u, 1u, 2u, 3u));
    const auto& fat16 = read->PartitionEntry[1].Mbr;
    EXPECT_EQ(std::tuple(read->PartitionStyle, read->Mbr.Signature, fat16.PartitionType,
                         fat16.BootIndicator, fat16.HiddenSectors),
              std::tuple(DWORD{PARTITION_STYLE_MBR}, 0x1A2B3C4Du, 0x0E, FALSE, kMiB / Sector()));

    using Extent = std::pair<uint64_t, uint64_t>;
    std::vector<std::pair<uint32_t, Extent>> volumes;
    for (const auto& volume : LetteredVolumes()) {
        if (volume.error != ERROR_SUCCESS || volume.disk != backend_->DiskNumber(0)) continue;
        auto extent = ExtentOf(volume.letter);
        ASSERT_TRUE(extent) << volume.letter;
        volumes.emplace_back(volume.partition, *extent);
    }
    std::sort(volumes.begin(), volumes.end());
    EXPECT_THAT(volumes, ElementsAre(std::pair(1u, Extent(kMiB, 4 * kMiB)),
                                     std::pair(3u, Extent(9 * kMiB, 23 * kMiB))));
    EXPECT_THAT(Journal(), ElementsAre(Entry(0, 512, "drive layout")));
}

// Whatever holds a FAT file system gets a volume once the properties are
// updated: a partition of a type no volume is made of, or a whole stick.
TEST_P(Conformance, WrittenBytesGiveTheVolumesTheirFileSystemsAsk) {
    if (!HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    LARKIN_START_STICKS(Stick(false));
    EXPECT_TRUE(LettersOf(backend_->DiskNumber(0)).empty());
    Handle drive = Opened(DiskName(0));
    // The first sectors of a FAT file system of length bytes, written at offset.
    auto writeFat = [&](uint64_t offset, uint64_t length) {
        std::string image =
            ::testing::TempDir() + "conformance-fat-" + std::to_string(::getpid()) + ".img";
        auto made =
            RunCommand("rm -f " + Quoted(image) + " && mkfs.fat -C -S " + std::to_string(Sector()) +
                       " " + Quoted(image) + " " + std::to_string(length / 1024));
        ASSERT_EQ(made.exitCode, 0) << made.output;
        std::ifstream in(image, std::ios::binary);
        std::vector<std::byte> start(256 * 1024);
        in.read(reinterpret_cast<char*>(start.data()), static_cast<std::streamsize>(start.size()));
        std::remove(image.c_str());
        ASSERT_TRUE(WriteAt(drive.Get(), offset, start)) << GetLastError();
    };
    std::vector<std::byte> first(Sector());
    auto mbr = Mbr({{0, 0x83, static_cast<uint32_t>(kMiB / Sector()),
                     static_cast<uint32_t>(8 * kMiB / Sector())}});
    std::copy(mbr.begin(), mbr.end(), first.begin());
    ASSERT_TRUE(WriteAt(drive.Get(), 0, first)) << GetLastError();
    writeFat(kMiB, 8 * kMiB);
    ASSERT_TRUE(Control(drive.Get(), IOCTL_DISK_UPDATE_PROPERTIES)) << GetLastError();
    EXPECT_EQ(ExtentOf(Letter(0)), std::pair(kMiB, 8 * kMiB));

    writeFat(0, 32 * kMiB);
    ASSERT_TRUE(Control(drive.Get(), IOCTL_DISK_UPDATE_PROPERTIES)) << GetLastError();
    std::string letter = Letter(0);
    EXPECT_EQ(ExtentOf(letter), std::pair(uint64_t{0}, 32 * kMiB));
    auto number = DeviceNumber("\\\\.\\" + letter);
    ASSERT_TRUE(number) << GetLastError();
    EXPECT_EQ(number->PartitionNumber, 0u);
}

TEST_P(Conformance, TheStickAnswersScsiCommandsAsAUsbStick) {
    LARKIN_START_STICKS(Stick());
    const uint32_t sector = Sector();
    Handle drive = Opened(DiskName(0));
    PassThrough record{};
    std::vector<BYTE> inquiry(36);
    ASSERT_TRUE(
        SendCommand(drive.Get(), {0x12, 0, 0, 0, 36, 0}, SCSI_IOCTL_DATA_IN, inquiry, record))
        << GetLastError();
    // A removable disk.
    EXPECT_EQ(std::tuple(record.request.ScsiStatus, inquiry[0] & 0x1F, inquiry[1] & 0x80),
              std::tuple(SCSISTAT_GOOD, 0, 0x80));

    std::vector<BYTE> capacity(8);
    ASSERT_TRUE(SendCommand(drive.Get(), Cdb10(0x25, 0, 0), SCSI_IOCTL_DATA_IN, capacity, record));
    EXPECT_EQ(BigEndian32(&capacity[0]), 32 * kMiB / sector - 1);  // the last block
    EXPECT_EQ(BigEndian32(&capacity[4]), sector);

    std::vector<BYTE> blocks(2 * sector);
    ASSERT_TRUE(SendCommand(drive.Get(), Cdb10(0x28, 0, 2), SCSI_IOCTL_DATA_IN, blocks, record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    auto stored = backend_->Stored(0, 0, 2 * sector);
    EXPECT_EQ(std::memcmp(blocks.data(), stored.data(), blocks.size()), 0);

    auto written = Pattern(sector, 0x44);
    std::vector<BYTE> out(sector);
    std::memcpy(out.data(), written.data(), sector);
    ASSERT_TRUE(SendCommand(drive.Get(), Cdb10(0x2A, 60, 1), SCSI_IOCTL_DATA_OUT, out, record));
    EXPECT_EQ(record.request.ScsiStatus, SCSISTAT_GOOD);
    EXPECT_EQ(backend_->Stored(0, 60 * sector, sector), written);
    // A block past the end is the target's CHECK CONDITION, nothing moved.
    ASSERT_TRUE(SendCommand(drive.Get(), Cdb10(0x28, 32 * kMiB / sector, 1), SCSI_IOCTL_DATA_IN,
                            out, record));
    EXPECT_EQ(std::tuple(record.request.ScsiStatus, record.sense[2] & 0x0F),
              std::tuple(SCSISTAT_CHECK_CONDITION, 0x05));  // ILLEGAL REQUEST
    // More than sixteen command bytes are no command.
    EXPECT_FALSE(
        SendCommand(drive.Get(), std::vector<BYTE>(18, 0x28), SCSI_IOCTL_DATA_IN, out, record));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_THAT(Journal(), ElementsAre(Entry(60 * sector, sector, "SCSI WRITE(10)")));

    // ASPI reaches the same target through its host.
    bool answered = false;
    for (DWORD host = 0; host < LarkinScsiHostCount(); ++host) {
        std::vector<BYTE> again(36);
        BYTE status = 0xFF;
        if (Aspi(host, {0x12, 0, 0, 0, 36, 0}, LARKIN_SCSI_DATA_IN, again, &status) ==
                ERROR_SUCCESS &&
            again == inquiry)
            answered = answered || status == SCSISTAT_GOOD;
    }
    EXPECT_TRUE(answered);
}

// Pulled out while its handles are open: each call fails as Windows fails
// it, and the journal holds what may have changed.
TEST_P(Conformance, AStickPulledOutWhileOpenFailsItsHandles) {
    LARKIN_START_STICKS(Stick());
    const uint32_t sector = Sector();
    const uint32_t disk = backend_->DiskNumber(0);
    Handle volume = Opened("\\\\.\\" + Letter(0));
    ASSERT_TRUE(Control(volume.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    Handle drive = Opened(DiskName(0));
    ASSERT_TRUE(WriteAt(volume.Get(), 0, Pattern(sector, 1))) << GetLastError();

    backend_->PullOut(0);
    std::vector<BYTE> layout(4096);
    ExpectGone(WriteAt(volume.Get(), sector, Pattern(sector, 2)));
    ExpectGone(WriteAt(drive.Get(), 0, Pattern(sector, 3)));
    ExpectGone(!!ReadAt(drive.Get(), 0, sector));
    ExpectGone(
        Control(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(), 4096));

    // The one write that reached the stick is on record as done; whatever
    // began after it as unfinished.
    auto journal = controls::Journal();
    ASSERT_GE(journal.size(), 1u);
    EXPECT_TRUE(journal[0].completed);
    for (const auto& entry : journal) EXPECT_EQ(entry.disk, backend_->JournalKey(0));
    for (size_t i = 1; i < journal.size(); ++i) EXPECT_FALSE(journal[i].completed);
    EXPECT_TRUE(LettersOf(disk).empty());
}

// A reader's slot without a card: the disk and its letter open, and every
// transfer fails as not ready.
TEST_P(Conformance, AnEmptySlotOpensWithItsLetterAndMovesNothing) {
    LARKIN_START_STICKS(StickLayout{.sectorSize = Sector(), .partitioned = false, .media = false});
    Handle drive = Opened(DiskName(0));
    ExpectGone(!!ReadAt(drive.Get(), 0, Sector()));
    ExpectGone(WriteAt(drive.Get(), 0, Pattern(Sector(), 8)));
    std::vector<BYTE> layout(4096);
    LARKIN_EXPECT_FAILS(
        Control(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(), 4096),
        ERROR_NOT_READY);

    std::vector<std::string> slots;
    for (const auto& volume : LetteredVolumes())
        if (volume.error == ERROR_NOT_READY) slots.push_back(volume.letter);
    ASSERT_EQ(slots.size(), 1u);
    EXPECT_FALSE(ExtentOf(slots[0]));
    Handle slot = Opened("\\\\.\\" + slots[0]);
    LARKIN_EXPECT_FAILS(ReadAt(slot.Get(), 0, Sector()), ERROR_NOT_READY);
    LARKIN_EXPECT_FAILS(WriteAt(slot.Get(), 0, Pattern(Sector(), 9)), ERROR_NOT_READY);
    slot.Close();
    LARKIN_EXPECT_FAILS(ToolGets(slots[0].c_str()), ERROR_NOT_READY);
    for (const auto& entry : controls::Journal()) EXPECT_FALSE(entry.completed) << entry.via;
}

TEST_P(Conformance, AWriteProtectedStickIsReadAndLockedButNeverWritten) {
    LARKIN_START_STICKS(Stick(true, true));
    const uint32_t sector = Sector();
    auto before = backend_->Stored(0, 0, 2 * kMiB);
    Handle volume = Opened("\\\\.\\" + Letter(0));
    EXPECT_TRUE(Control(volume.Get(), FSCTL_LOCK_VOLUME)) << GetLastError();
    EXPECT_EQ(ReadAt(volume.Get(), 0, sector), backend_->Stored(0, kMiB, sector));
    LARKIN_EXPECT_FAILS(WriteAt(volume.Get(), 0, Pattern(sector, 4)), ERROR_WRITE_PROTECT);

    Handle drive = Opened(DiskName(0));
    LARKIN_EXPECT_FAILS(WriteAt(drive.Get(), 0, Pattern(sector, 5)), ERROR_WRITE_PROTECT);
    std::vector<BYTE> layout(DRIVE_LAYOUT_HEADER_SIZE + 4 * sizeof(PARTITION_INFORMATION_EX));
    ASSERT_TRUE(Control(drive.Get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.data(),
                        static_cast<DWORD>(layout.size())));
    EXPECT_FALSE(Control(drive.Get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(),
                         static_cast<DWORD>(layout.size())));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_PROTECT));
    // The SCSI target says DATA PROTECT, as a stick with its switch set.
    std::vector<BYTE> out(sector);
    PassThrough record{};
    ASSERT_TRUE(SendCommand(drive.Get(), Cdb10(0x2A, 0, 1), SCSI_IOCTL_DATA_OUT, out, record));
    EXPECT_EQ(std::tuple(record.request.ScsiStatus, record.sense[2] & 0x0F, record.sense[12]),
              std::tuple(SCSISTAT_CHECK_CONDITION, 0x07, 0x27));  // WRITE PROTECTED
    EXPECT_TRUE(backend_->Stored(0, 0, 2 * kMiB) == before);
    for (const auto& entry : controls::Journal()) EXPECT_FALSE(entry.completed) << entry.via;
}

INSTANTIATE_TEST_SUITE_P(Backends, Conformance,
                         ::testing::Values(Row{true, 512}, Row{false, 512}, Row{false, 4096}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace larkin::test
