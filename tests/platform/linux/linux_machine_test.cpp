// This computer's hardware through the Windows API, beyond the rules every
// backend keeps (the conformance suite): readers hold a stick read-only, and
// a stick gone between the listing and the open fails the open or its writes
// and comes back with its letter. (Where letters go is assignments_test's.)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "hardware_machine.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"

namespace larkin::test {
namespace {

using ::testing::AnyOf;

constexpr uint64_t kMiB = 1ull << 20;

// A stick as sold: an MBR with one FAT (LBA) partition from sector 2048.
void MakeShopStick(const LoopDevice& loop) {
    uint32_t sectors = static_cast<uint32_t>(loop.Options().size / 512);
    loop.WriteBacking(0, Mbr({{0, 0x0C, 2048, sectors - 2048}}));
}

class LinuxMachine : public ::testing::Test {
  protected:
    HardwareMachine machine_;
};

// The block devices this process has open for writing, by device number.
std::set<dev_t> DevicesOpenForWriting() {
    std::set<dev_t> devices;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        struct stat status {};
        if (::stat(entry.path().c_str(), &status) != 0 || !S_ISBLK(status.st_mode)) continue;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string field;
        unsigned long flags = 0;
        while (info >> field)
            if (field == "flags:") info >> std::oct >> flags >> std::dec;
        if ((flags & O_ACCMODE) != O_RDONLY) devices.insert(status.st_rdev);
    }
    return devices;
}

// A reader, by disk or by volume, holds the stick read-only: it never stands
// in the way of the system's own use of it. A writer holds it for writing.
TEST_F(LinuxMachine, HandlesThatOnlyReadHoldTheStickReadOnly) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);
    struct stat node {};
    ASSERT_EQ(::stat(loop.Node().c_str(), &node), 0);

    std::string driveName = "\\\\.\\PhysicalDrive" + std::to_string(standIn->disk);
    Handle drive = Open(driveName, GENERIC_READ);
    Handle volume = Open("\\\\.\\" + letters[0], GENERIC_READ);
    ASSERT_TRUE(drive.Valid() && volume.Valid()) << GetLastError();
    EXPECT_EQ(DevicesOpenForWriting().count(node.st_rdev), 0u);
    Handle writer = Open(driveName, kReadWrite);
    ASSERT_TRUE(writer.Valid()) << GetLastError();
    EXPECT_EQ(DevicesOpenForWriting().count(node.st_rdev), 1u);
}

TEST_F(LinuxMachine, AStickGoneBetweenTheListingAndTheOpen) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    MakeShopStick(loop);
    LARKIN_START_MACHINE(machine_, &loop);
    auto standIn = FindStandIn(loop);
    ASSERT_TRUE(standIn);
    auto letters = LettersOf(standIn->disk);
    ASSERT_EQ(letters.size(), 1u);

    const std::string node = loop.Node();
    ASSERT_TRUE(loop.Vanish()) << node << " could not be taken away";
    // Before the platform looks again the open may still succeed (then
    // nothing can be written), or be refused.
    Handle volume = Open("\\\\.\\" + letters[0], kReadWrite);
    if (volume.Valid()) {
        EXPECT_FALSE(WriteAt(volume.Get(), 0, Pattern(512, 10)));
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    } else {
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_FILE_NOT_FOUND));
    }
    Handle drive = Open(standIn->interfacePath, kReadWrite);
    if (drive.Valid()) {
        EXPECT_FALSE(WriteAt(drive.Get(), 0, Pattern(512, 11)));
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED));
    } else {
        EXPECT_THAT(GetLastError(), AnyOf(ERROR_NOT_READY, ERROR_FILE_NOT_FOUND));
    }
    volume.Close();
    drive.Close();
    // Once the platform looks again (here: starts again), the stick is not
    // there at all.
    LARKIN_START_MACHINE(machine_, &loop);
    EXPECT_FALSE(FindStandIn(loop));
    LARKIN_EXPECT_FAILS(Open("\\\\.\\" + letters[0], GENERIC_READ).Valid(), ERROR_FILE_NOT_FOUND);
    LARKIN_EXPECT_FAILS(Open(standIn->interfacePath, GENERIC_READ).Valid(), ERROR_FILE_NOT_FOUND);
    for (const auto& entry : controls::Journal()) EXPECT_FALSE(entry.completed);

    // Plugged in again on its number, it comes back with its letter.
    ASSERT_EQ(loop.Replug(), "");
    if (loop.Node() != node) GTEST_SKIP() << node << " was taken meanwhile";
    LARKIN_START_MACHINE(machine_, &loop);
    auto back = FindStandIn(loop);
    ASSERT_TRUE(back);
    EXPECT_EQ(LettersOf(back->disk), letters);
}

}  // namespace
}  // namespace larkin::test
