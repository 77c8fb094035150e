// This computer's hardware through the Windows API, beyond what every backend
// keeps: sticks, and a floppy image as drive A:. Each test declares its machine after its sticks
// and mounts, so that the platform's handles (and claims) go first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

#include "hardware_machine.h"
#include "larkin/test_controls.h"

namespace larkin::test {
namespace {

using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint32_t kFirst = 2048;

// Runs call, keeping what it says on standard error.
template <typename Call>
auto Saying(std::string& said, Call call) {
    ::testing::internal::CaptureStderr();
    auto result = call();
    said = ::testing::internal::GetCapturedStderr();
    return result;
}

// Whether this process has node open for writing.
bool OpenForWriting(const std::string& node) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        if (std::filesystem::read_symlink(entry, error) != node) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string field;
        unsigned long flags = 0;
        while (info >> field)
            if (field == "flags:") info >> std::oct >> flags >> std::dec;
        if ((flags & O_ACCMODE) != O_RDONLY) return true;
    }
    return false;
}

// A reader, by disk or by volume, holds the stick read-only: it never stands
// in the way of the system's own use of it. Another program's exclusive
// open refuses the lock, whole and saying why; a lock keeps mkfs.fat out
// (the kernel's claim).
// Gone between the listing and the open, the stick can be neither opened
// nor written.
TEST(LinuxMachine, WhoHoldsAStickAndHowItGoes) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    HardwareMachine machine;
    ASSERT_EQ(machine.Start({&loop}), "");
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());
    std::string driveName = "\\\\.\\PhysicalDrive" + std::to_string(standIn->disk);
    {
        Handle drive = Open(driveName, GENERIC_READ);
        Handle volume = Open("\\\\.\\" + letter, GENERIC_READ);
        ASSERT_TRUE(drive.Valid() && volume.Valid()) << GetLastError();
        EXPECT_FALSE(OpenForWriting(loop.Node()));
        Handle writer = Open(driveName, kReadWrite);
        ASSERT_TRUE(writer.Valid()) << GetLastError();
        EXPECT_TRUE(OpenForWriting(loop.Node()));
    }

    Handle locked = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(locked.Valid()) << GetLastError();
    int holder = ::open(loop.Node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    std::string said;
    LARKIN_EXPECT_FAILS(Saying(said, [&] { return Control(locked.Get(), FSCTL_LOCK_VOLUME); }),
                        ERROR_ACCESS_DENIED);
    ::close(holder);
    EXPECT_THAT(said, AllOf(HasSubstr(loop.Node()), HasSubstr("in use")));

    ASSERT_TRUE(Control(locked.Get(), FSCTL_LOCK_VOLUME))
        << GetLastError();  // the refused lock was not kept
    if (HaveProgram("mkfs.fat")) {
        auto bootSector = loop.ReadBacking(kFirst * 512, 512);
        CommandRun run =
            RunCommand("mkfs.fat -n OUTSIDER --offset " + std::to_string(kFirst) + " " +
                       loop.Node() + " " + std::to_string((16 * kMiB - kFirst * 512) / 1024));
        EXPECT_NE(run.exitCode, 0) << run.output;
        EXPECT_THAT(run.output, HasSubstr("busy"));
        EXPECT_EQ(loop.ReadBacking(kFirst * 512, 512), bootSector);
    }
    locked.Close();

    ASSERT_TRUE(loop.Vanish()) << loop.Node() << " could not be taken away";
    // Before the platform looks again the open may still succeed (then
    // nothing can be written), or be refused.
    for (const std::string& name : {"\\\\.\\" + letter, standIn->interfacePath}) {
        Handle handle = Open(name, kReadWrite);
        if (handle.Valid()) {
            EXPECT_FALSE(WriteAt(handle.Get(), 0, Pattern(512, 10)));
            EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
        } else {
            EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_FILE_NOT_FOUND));
        }
    }
    // Once the platform looks again (here: starts again), the stick is not
    // there at all.
    ASSERT_EQ(machine.Start({&loop}), "");
    EXPECT_FALSE(FindStandIn(loop));
    LARKIN_EXPECT_FAILS(Open("\\\\.\\" + letter, GENERIC_READ).Valid(), ERROR_FILE_NOT_FOUND);
    LARKIN_EXPECT_FAILS(Open(standIn->interfacePath, GENERIC_READ).Valid(), ERROR_FILE_NOT_FOUND);
    for (const auto& entry : controls::Journal()) EXPECT_FALSE(entry.completed);
}

// Stand-ins whose FAT partition holds a file system the kernel mounts
// here, as a partition of its own.
class MountedStick : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!KernelOffers("ext2") || !HaveProgram("mkfs.ext2"))
            GTEST_SKIP() << "this kernel mounts no file system made here";
    }

    // A stick with one partition in slot (0-3) from sector 2048, held by
    // the kernel under the number it gives that slot; formatted and mounted
    // on a new folder below parent (mounts_.back()).
    void MountStick(LoopDevice& loop, int slot, const std::string& parent) {
        MountPoint& at = mounts_.emplace_back(parent);
        LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
        MakeShopStick(loop, slot);
        uint32_t number = static_cast<uint32_t>(slot) + 1;
        ASSERT_TRUE(loop.AddPartition(number, kFirst * 512, 16 * kMiB - kFirst * 512));
        partition_ = loop.PartitionNode(number);
        ASSERT_FALSE(partition_.empty());
        CommandRun mkfs = RunCommand("mkfs.ext2 -q -F " + partition_);
        ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
        ASSERT_EQ(at.Mount(partition_, "ext2"), "");
    }

    // In this order, so that the platform's handles and claims go first,
    // then the mounts.
    LoopDevice loop_, other_;
    std::deque<MountPoint> mounts_;
    HardwareMachine machine_;
    std::string partition_;
};

// What the desktop mounted (below /media) goes when the volume is locked,
// and stays away while the lock holds; a partition in any slot. While a
// file on it is open, the lock is refused and the mount stays.
class AutomountedStick : public MountedStick, public ::testing::WithParamInterface<int> {};

TEST_P(AutomountedStick, IsUnmountedByTheLockAndThenWritten) {
    ASSERT_NO_FATAL_FAILURE(MountStick(loop_, GetParam(), "/media"));
    if (IsSkipped()) return;
    ASSERT_EQ(machine_.Start({&loop_}), "");
    std::string letter = LetterOf(loop_);
    ASSERT_FALSE(letter.empty());
    Handle volume = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();

    int file = ::open((mounts_[0].Path() + "/open").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0) << std::strerror(errno);
    std::string said;
    LARKIN_EXPECT_FAILS(Saying(said, [&] { return Control(volume.Get(), FSCTL_LOCK_VOLUME); }),
                        ERROR_ACCESS_DENIED);
    ::close(file);
    EXPECT_THAT(said, HasSubstr("busy"));
    EXPECT_TRUE(mounts_[0].Mounted());

    ASSERT_TRUE(Saying(said, [&] { return Control(volume.Get(), FSCTL_LOCK_VOLUME); }))
        << GetLastError() << ": " << said;
    EXPECT_FALSE(mounts_[0].Mounted());
    // While locked the system cannot mount it again.
    EXPECT_NE(mounts_[0].Mount(partition_, "ext2"), "");

    auto data = Pattern(4096, 0x5A);
    ASSERT_TRUE(WriteAt(volume.Get(), 8192, data)) << GetLastError();
    EXPECT_EQ(loop_.ReadBacking(kFirst * 512 + 8192, 4096), data);
}

INSTANTIATE_TEST_SUITE_P(Slots, AutomountedStick, ::testing::Values(0, 1, 3));

// SetupDiRemoveDevice on the disk whose interface path is given: its outcome.
DWORD RemoveDisk(std::string path) {
    // The disk's instance id, as its path spells it.
    path = path.substr(4, path.rfind('#') - 4);
    std::replace(path.begin(), path.end(), '#', '\\');
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, path.c_str(), nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    DWORD outcome = !SetupDiEnumDeviceInfo(set, 0, &device) ? ERROR_FILE_NOT_FOUND
                    : SetupDiRemoveDevice(set, &device)     ? ERROR_SUCCESS
                                                            : GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return outcome;
}

// What the system mounted is never written in any way, only read, nor
// ejected; ejecting a stick beside it unmounts what the desktop mounted
// from that one first.
TEST_F(MountedStick, WhatTheSystemMountedIsNeitherWrittenNorEjected) {
    LoopDevice &desktops = loop_, &systems = other_;
    ASSERT_NO_FATAL_FAILURE(MountStick(desktops, 0, "/media"));
    ASSERT_NO_FATAL_FAILURE(MountStick(systems, 0, "/tmp"));
    if (IsSkipped()) return;
    MountPoint &automount = mounts_[0], &mount = mounts_[1];
    ASSERT_EQ(machine_.Start({&systems}), "");
    auto system = FindStandIn(systems);
    ASSERT_TRUE(system);
    std::string letter = LetterOf(systems);
    ASSERT_FALSE(letter.empty());
    auto before = systems.ReadBacking(0, 2 * kMiB);

    LARKIN_EXPECT_FAILS(Open("\\\\.\\" + letter, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(Open(system->interfacePath, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(ToolGets(letter.c_str()), ERROR_ACCESS_DENIED);
    // Nor through the stick's SCSI target.
    bool reached = false;
    for (DWORD host = 0; host < LarkinScsiHostCount(); ++host) {
        std::vector<BYTE> sector(512, 0xEE);
        BYTE status = 0xFF;
        DWORD error = Aspi(host, Cdb10(0x2A, 0, 1), LARKIN_SCSI_DATA_OUT, sector, &status);
        EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS)) << "host " << host << " wrote";
        reached = reached || error == ERROR_ACCESS_DENIED;
    }
    EXPECT_TRUE(reached);
    {
        Handle reader = Open("\\\\.\\" + letter, GENERIC_READ);
        ASSERT_TRUE(reader.Valid()) << GetLastError();
        EXPECT_EQ(ReadAt(reader.Get(), 0, 4096), systems.ReadBacking(kFirst * 512, 4096));
    }
    EXPECT_TRUE(systems.ReadBacking(0, 2 * kMiB) == before);

    ASSERT_EQ(machine_.Start({&desktops, &systems}), "");
    auto desktop = FindStandIn(desktops);
    ASSERT_TRUE(desktop);
    std::string said;
    EXPECT_EQ(Saying(said, [&] { return RemoveDisk(system->interfacePath); }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(said, HasSubstr(systems.Node()));
    EXPECT_EQ(RemoveDisk(desktop->interfacePath), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(automount.Mounted());
    EXPECT_TRUE(mount.Mounted());
    EXPECT_TRUE(controls::Journal().empty());
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A floppy image file as the disk in drive A: on this computer: listed,
// read through \\.\A: and by the outside tools, never written, and refused
// with a line naming the file when it is no floppy's image.
class FloppyImage : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveProgram("mkfs.fat") || !HaveProgram("mcopy") || !HaveProgram("mdir"))
            GTEST_SKIP() << "dosfstools or mtools is missing (scripts/install-deps)";
        ASSERT_EQ(machine_.Start({}), "");
    }
    // A formatted floppy of kib KiB holding one file.
    std::string MakeFloppy(const std::string& name, int kib) {
        std::string path = (folder_.path() / name).string();
        CommandRun made = RunCommand(
            "mkfs.fat -C -n DOSDISK " + Quoted(path) + " " + std::to_string(kib) +
            " && printf 'SHELL=A:\\\\COMMAND.COM\\r\\n' > " + Quoted(path + ".sys") +
            " && mcopy -i " + Quoted(path) + " " + Quoted(path + ".sys") + " ::CONFIG.SYS");
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return path;
    }
    DWORD Use(const std::string& path, std::string* why = nullptr) {
        char text[512] = {};
        DWORD error = LarkinUseFloppyImage(path.c_str(), text, sizeof text);
        if (why) *why = text;
        return error;
    }

    HardwareMachine machine_;
    TempFolder folder_;
};

// Replaced while open, the image is another disk; cut short, no disk.
TEST_F(FloppyImage, EveryFloppySizeIsDriveAReadOnlyAndAnotherDiskOnceReplaced) {
    for (int kib : {160, 180, 320, 360, 720, 1200, 1440, 2880}) {
        SCOPED_TRACE(kib);
        std::string path = MakeFloppy("disk" + std::to_string(kib) + ".img", kib);
        std::string before = Slurp(path);
        ASSERT_EQ(Use(path), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(GetLogicalDrives() & 1u);

        Handle drive = Open("\\\\.\\A:", GENERIC_READ);
        ASSERT_TRUE(drive.Valid()) << GetLastError();
        auto last = ReadAt(drive.Get(), uint64_t(kib) * 1024 - 512, 512);
        ASSERT_TRUE(last);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(last->data()), 512),
                  before.substr(before.size() - 512));
        EXPECT_FALSE(ReadAt(drive.Get(), uint64_t(kib) * 1024, 512));
        EXPECT_FALSE(WriteAt(drive.Get(), 0, std::vector<std::byte>(512)));
        LARKIN_EXPECT_FAILS(Open("\\\\.\\A:", kReadWrite).Valid(), ERROR_WRITE_PROTECT);
        // Nor is it reached as a plain file, where the drive's rules do not hold.
        EXPECT_FALSE(Open(path, kReadWrite).Valid());

        // The outside tools read the volume where the platform says it is,
        // and are never handed it for writing.
        LARKIN_TOOL_VOLUME where{};
        Handle reading(LarkinOpenVolumeForTool("A:", "mdir", FALSE, &where));
        ASSERT_TRUE(reading.Valid());
        CommandRun listing = RunCommand("MTOOLSRC=/dev/null mdir -b -i " + Quoted(where.path) +
                                        "@@" + std::to_string(where.offset) + " ::/");
        EXPECT_THAT(listing.output, HasSubstr("CONFIG.SYS"));
        EXPECT_FALSE(Handle(LarkinOpenVolumeForTool("A:", "mcopy", TRUE, &where)).Valid());
        EXPECT_EQ(Slurp(path), before);
    }

    const std::string path = (folder_.path() / "disk2880.img").string();
    Handle drive = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(ReadAt(drive.Get(), 0, 512));
    std::filesystem::rename(folder_.path() / "disk720.img", path);
    LARKIN_EXPECT_FAILS(ReadAt(drive.Get(), 0, 512), ERROR_MEDIA_CHANGED);
    // A new open reads the disk now in the drive.
    Handle again = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(again.Valid());
    EXPECT_TRUE(ReadAt(again.Get(), 720 * 1024 - 512, 512));
    // Cut short, the drive is empty: not ready, and said once.
    std::filesystem::resize_file(path, 100 * 1024);
    LARKIN_EXPECT_FAILS(ReadAt(again.Get(), 0, 512), ERROR_MEDIA_CHANGED);
    Handle empty = Open("\\\\.\\A:", GENERIC_READ);
    ASSERT_TRUE(empty.Valid());
    LARKIN_EXPECT_FAILS(ReadAt(empty.Get(), 0, 512), ERROR_NOT_READY);
    std::filesystem::remove(path);
    EXPECT_FALSE(ReadAt(Open("\\\\.\\A:", GENERIC_READ).Get(), 0, 512));
    EXPECT_EQ(GetDriveTypeA("A:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
    ASSERT_EQ(Use(""), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(GetLogicalDrives() & 1u);
}

TEST_F(FloppyImage, AFileThatIsNoFloppyIsRefusedWithALineNamingIt) {
    std::string good = MakeFloppy("good.img", 1440);
    std::string large = Slurp(MakeFloppy("large.img", 2880));
    auto write = [&](const std::string& name, const std::string& bytes) {
        std::string path = (folder_.path() / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    std::string bytes = Slurp(good);
    // A hard disk's first sector: no boot sector, one partition entry.
    auto mbr = Mbr({{0, 0x06, 1, 0x40}});
    std::string table(reinterpret_cast<const char*>(mbr.data()), mbr.size());
    std::string disk = table + std::string(4 * 1024 * 1024 - 512, '\0');
    struct Case {
        std::string path;
        DWORD error;
        std::string says;
    };
    std::vector<Case> cases = {
        {(folder_.path() / "missing.img").string(), ERROR_FILE_NOT_FOUND, "No such file"},
        {folder_.path().string(), ERROR_ACCESS_DENIED, "is a folder"},
        {write("short.img", bytes.substr(0, 1000 * 1024)), ERROR_UNRECOGNIZED_VOLUME,
         "no floppy has that size"},
        {write("odd.img", bytes + std::string(512, '\0')), ERROR_UNRECOGNIZED_VOLUME,
         "no floppy has that size"},
        {write("disk.img", disk), ERROR_UNRECOGNIZED_VOLUME, "image of a hard disk"},
        {write("table.img", table + bytes.substr(512)), ERROR_UNRECOGNIZED_VOLUME,
         "image of a hard disk"},
        {write("blank.img", std::string(1440 * 1024, '\0')), ERROR_UNRECOGNIZED_VOLUME,
         "no FAT file system"},
        // A 2.88 MB disk cut short at a size floppies have.
        {write("cut.img", large.substr(0, 1440 * 1024)), ERROR_UNRECOGNIZED_VOLUME,
         "cut short or made for another disk"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.path);
        std::string why;
        EXPECT_EQ(Use(test.path, &why), test.error);
        EXPECT_THAT(why, AllOf(HasSubstr(test.path), HasSubstr(test.says)));
        EXPECT_FALSE(GetLogicalDrives() & 1u);
    }
}

}  // namespace
}  // namespace larkin::test
