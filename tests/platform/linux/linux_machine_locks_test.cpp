// Volume locks on this computer's hardware beyond the rules every backend
// keeps (the conformance suite): the kernel's claim keeps out programs such
// as mkfs.fat until the volume is handed over to them;
// what another program holds, or what the system mounted, is refused; what
// the desktop mounted is unmounted and then written.
#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "hardware_machine.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

namespace larkin::test {
namespace {

using ::testing::HasSubstr;

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint32_t kFirst = 2048;

bool Control(HANDLE volume, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}
bool Lock(HANDLE volume) {
    return Control(volume, FSCTL_LOCK_VOLUME);
}

// Each test declares its machine after its sticks and mounts, so that the
// platform's handles (and claims) go before the mounts and the sticks.
class LinuxMachineLocks : public ::testing::Test {
  protected:
    // A shop stick: one FAT partition from sector 2048, no kernel
    // partitions (its volume is reached through the whole disk).
    void MakeShopStick(const LoopDevice& loop) {
        uint64_t sectors = loop.Options().size / 512;
        loop.WriteBacking(0, Mbr({{0, 0x0C, kFirst, static_cast<uint32_t>(sectors - kFirst)}}));
    }

    // The letter of the stand-in's one volume ("E:"), or "" (a failure).
    std::string LetterOf(const LoopDevice& loop) {
        auto standIn = FindStandIn(loop);
        if (!standIn) {
            ADD_FAILURE() << "no stand-in for " << loop.Node();
            return {};
        }
        auto letters = LettersOf(standIn->disk);
        if (letters.size() != 1) {
            ADD_FAILURE() << letters.size() << " volumes on " << loop.Node();
            return {};
        }
        return letters[0];
    }
};

TEST_F(LinuxMachineLocks, TheKernelClaimKeepsMkfsOutUntilTheVolumeIsHandedOver) {
    if (!HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat is missing (scripts/install-deps)";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());
    std::string format = "mkfs.fat -n OUTSIDER --offset " + std::to_string(kFirst) + " " +
                         loop.Node() + " " + std::to_string((16 * kMiB - kFirst * 512) / 1024);
    auto bootSector = loop.ReadBacking(kFirst * 512, 512);

    Handle locked = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(locked.Valid()) << GetLastError();
    ASSERT_TRUE(Lock(locked.Get())) << GetLastError();
    CommandRun refused = RunCommand(format);
    EXPECT_NE(refused.exitCode, 0) << refused.output;
    EXPECT_THAT(refused.output, HasSubstr("busy"));
    EXPECT_EQ(loop.ReadBacking(kFirst * 512, 512), bootSector);
    // Handed over once nobody holds it (the refusal while held is the
    // conformance suite's, on every backend): the tool gets the device.
    locked.Close();
    LARKIN_TOOL_VOLUME where{};
    Handle session(LarkinOpenVolumeForTool(letter.c_str(), "mkfs.fat", TRUE, &where));
    ASSERT_TRUE(session.Valid()) << GetLastError();
    EXPECT_EQ(std::string(where.path), loop.Node());
}

TEST_F(LinuxMachineLocks, ADiskAnotherProgramHoldsRefusesTheLockAndSaysWhy) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());
    Handle volume = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();

    int holder = ::open(loop.Node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    ASSERT_GE(holder, 0) << std::strerror(errno);
    ::testing::internal::CaptureStderr();
    bool locked = Lock(volume.Get());
    DWORD error = GetLastError();
    std::string said = ::testing::internal::GetCapturedStderr();
    ::close(holder);
    EXPECT_FALSE(locked);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(said, HasSubstr(loop.Node()));
    EXPECT_THAT(said, HasSubstr("in use"));
    // Refused whole: the lock it began is not kept.
    EXPECT_TRUE(Lock(volume.Get())) << GetLastError();
}

// Stand-ins whose FAT partition holds a file system the kernel mounts
// here, as a partition of its own.
class MountedStick : public LinuxMachineLocks {
  protected:
    void SetUp() override {
        if (!KernelOffers("ext2") || !HaveProgram("mkfs.ext2"))
            GTEST_SKIP() << "this kernel mounts no file system made here";
    }

    // One partition in slot (0-3) from sector 2048, held by the kernel
    // under the number it gives that slot; formatted and mounted on at.
    void MountStick(LoopDevice& loop, int slot, MountPoint& at) {
        LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
        uint64_t sectors = loop.Options().size / 512;
        loop.WriteBacking(0, Mbr({{slot, 0x0C, kFirst, static_cast<uint32_t>(sectors - kFirst)}}));
        uint32_t number = static_cast<uint32_t>(slot) + 1;
        ASSERT_TRUE(loop.AddPartition(number, kFirst * 512, (sectors - kFirst) * 512));
        partition_ = loop.PartitionNode(number);
        ASSERT_FALSE(partition_.empty());
        CommandRun mkfs = RunCommand("mkfs.ext2 -q -F " + partition_);
        ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
        ASSERT_EQ(at.Mount(partition_, "ext2"), "");
    }

    std::string partition_;
};

TEST_F(MountedStick, WhatTheSystemMountedIsNeverWritten) {
    LoopDevice loop;
    MountPoint mount("/tmp");
    ASSERT_NO_FATAL_FAILURE(MountStick(loop, 0, mount));
    if (IsSkipped()) return;
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());
    auto before = loop.ReadBacking(0, 2 * kMiB);

    LARKIN_EXPECT_FAILS(Open("\\\\.\\" + letter, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_EXPECT_FAILS(Open(standIn->interfacePath, kReadWrite).Valid(), ERROR_ACCESS_DENIED);
    LARKIN_TOOL_VOLUME where{};
    EXPECT_EQ(LarkinOpenVolumeForTool(letter.c_str(), "mkfs.fat", TRUE, &where),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Nor through the stick's SCSI target.
    bool reached = false;
    for (DWORD host = 0; host < LarkinScsiHostCount(); ++host) {
        std::vector<BYTE> sector(512, 0xEE);
        BYTE write[10] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0};
        BYTE status = 0xFF;
        DWORD error = LarkinScsiExecute(host, 0, 0, write, 10, LARKIN_SCSI_DATA_OUT, sector.data(),
                                        512, nullptr, 0, &status);
        EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS)) << "host " << host << " wrote";
        reached = reached || error == ERROR_ACCESS_DENIED;
    }
    EXPECT_TRUE(reached);

    // Read it may be.
    Handle reader = Open("\\\\.\\" + letter, GENERIC_READ);
    ASSERT_TRUE(reader.Valid()) << GetLastError();
    EXPECT_EQ(ReadAt(reader.Get(), 0, 4096), loop.ReadBacking(kFirst * 512, 4096));
    EXPECT_TRUE(mount.Mounted());
    EXPECT_TRUE(loop.ReadBacking(0, 2 * kMiB) == before);
    EXPECT_TRUE(controls::Journal().empty());
}

// What the desktop mounted (below /media) goes when the volume is locked,
// and stays away while the lock holds; a partition in any slot.
class AutomountedStick : public MountedStick, public ::testing::WithParamInterface<int> {};

TEST_P(AutomountedStick, IsUnmountedByTheLockAndThenWritten) {
    LoopDevice loop;
    MountPoint mount("/media");
    ASSERT_NO_FATAL_FAILURE(MountStick(loop, GetParam(), mount));
    if (IsSkipped()) return;
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());

    Handle volume = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();
    ::testing::internal::CaptureStderr();
    bool locked = Lock(volume.Get());
    std::string said = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(locked) << GetLastError() << ": " << said;
    EXPECT_FALSE(mount.Mounted());
    EXPECT_TRUE(Control(volume.Get(), FSCTL_DISMOUNT_VOLUME)) << GetLastError();
    // While locked the system cannot mount it again.
    EXPECT_NE(mount.Mount(partition_, "ext2"), "");

    auto data = Pattern(4096, 0x5A);
    ASSERT_TRUE(WriteAt(volume.Get(), 8192, data)) << GetLastError();
    EXPECT_EQ(loop.ReadBacking(kFirst * 512 + 8192, 4096), data);
    auto journal = controls::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0].disk, "test-disk-" + loop.KernelName());
    EXPECT_EQ(journal[0].offset, kFirst * 512u + 8192);
}

INSTANTIATE_TEST_SUITE_P(Slots, AutomountedStick, ::testing::Values(0, 1, 3));

TEST_F(MountedStick, ABusyAutomountRefusesTheLockAndStays) {
    LoopDevice loop;
    MountPoint mount("/media");
    ASSERT_NO_FATAL_FAILURE(MountStick(loop, 0, mount));
    if (IsSkipped()) return;
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &loop);
    std::string letter = LetterOf(loop);
    ASSERT_FALSE(letter.empty());
    Handle volume = Open("\\\\.\\" + letter, kReadWrite);
    ASSERT_TRUE(volume.Valid()) << GetLastError();

    int file = ::open((mount.Path() + "/open").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0) << std::strerror(errno);
    ::testing::internal::CaptureStderr();
    bool locked = Lock(volume.Get());
    DWORD error = GetLastError();
    std::string said = ::testing::internal::GetCapturedStderr();
    ::close(file);
    EXPECT_FALSE(locked);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(said, HasSubstr("busy"));
    EXPECT_TRUE(mount.Mounted());
    EXPECT_TRUE(controls::Journal().empty());
}

// SetupDiRemoveDevice on the disk with instance id diskId: its outcome.
DWORD RemoveDisk(const std::string& diskId) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_DISKDRIVE, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD outcome = ERROR_FILE_NOT_FOUND;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char id[MAX_DEVICE_ID_LEN] = {};
        if (CM_Get_Device_IDA(device.DevInst, id, sizeof id, 0) != CR_SUCCESS || id != diskId)
            continue;
        outcome = SetupDiRemoveDevice(set, &device) ? ERROR_SUCCESS : GetLastError();
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return outcome;
}

// Ejecting a stick unmounts what the desktop mounted from it first; one
// the system mounted is not ejected at all.
TEST_F(MountedStick, EjectingUnmountsWhatTheDesktopMountedAndNothingElse) {
    LoopDevice desktops, systems;
    MountPoint automount("/media"), mount("/tmp");
    ASSERT_NO_FATAL_FAILURE(MountStick(desktops, 0, automount));
    ASSERT_NO_FATAL_FAILURE(MountStick(systems, 0, mount));
    if (IsSkipped()) return;
    HardwareMachine machine;
    LARKIN_START_MACHINE(machine, &desktops, &systems);
    auto desktop = FindStandIn(desktops), system = FindStandIn(systems);
    ASSERT_TRUE(desktop && system);

    ::testing::internal::CaptureStderr();
    DWORD refused = RemoveDisk(system->diskId);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(refused, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_THAT(said, HasSubstr(systems.Node()));
    EXPECT_TRUE(mount.Mounted());

    EXPECT_EQ(RemoveDisk(desktop->diskId), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(automount.Mounted());
    EXPECT_TRUE(mount.Mounted());
    EXPECT_TRUE(controls::Journal().empty());
}

}  // namespace
}  // namespace larkin::test
