// Block devices below the Windows API, on loop devices with 512- and
// 4096-byte sectors, and the file systems found on them.
#include "backends/linux/block_device.h"
#include "backends/linux/file_system_probe.h"
#include "backends/linux/scsi_generic.h"
#include "backends/linux/volume_claim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "loop_device.h"
#include "machine/volume_extents.h"
#include "run_command.h"
#include "runtime/posix.h"
#include "test_machine.h"

namespace larkin::platform::linuxhw {
namespace {

using namespace larkin::test;

constexpr uint64_t kMiB = 1ull << 20;

using Held = std::map<uint32_t, LoopPartition>;

BlockDevice OpenOrFail(const std::string& node, bool write) {
    DWORD error = ERROR_GEN_FAILURE;
    BlockDevice disk = BlockDevice::Open(node, write, &error);
    EXPECT_EQ(error, ERROR_SUCCESS) << node;
    return disk;
}

// length bytes of memory, offset past a page boundary (O_DIRECT wants
// them on one).
std::span<std::byte> AtPage(std::vector<std::byte>& memory, size_t offset, size_t length) {
    memory.resize(4096 + offset + length);
    size_t skip = (4096 - reinterpret_cast<uintptr_t>(memory.data()) % 4096) % 4096;
    return std::span(memory).subspan(skip + offset, length);
}

using BlockDeviceIo = ::testing::TestWithParam<uint32_t>;

INSTANTIATE_TEST_SUITE_P(SectorSizes, BlockDeviceIo, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

// Whatever the offset, length and memory, the bytes asked for change and the
// rest of each sector they touch stays; nothing past the end is reached.
TEST_P(BlockDeviceIo, TransfersOfAnyShapeTouchOnlyTheirBytes) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 8 * kMiB, .sectorSize = GetParam()});
    const uint64_t sector = GetParam();
    const uint64_t region = 4 * kMiB;
    auto before = Pattern(region, 7);
    loop.WriteBacking(0, before);
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    ASSERT_TRUE(disk.IsOpen());
    // A loop device answers no HDIO_GETGEO: the usual geometry stands in.
    EXPECT_EQ(std::pair(disk.Shape().heads, disk.Shape().sectorsPerTrack), std::pair(255u, 63u));
    EXPECT_EQ(disk.CurrentSize(), 8 * kMiB);

    struct Case {
        uint64_t offset, length;
        size_t memoryOffset;  // from a page boundary
    };
    const Case cases[] = {
        {1, 10, 0},                                 // inside one sector
        {sector - 3, 7, 0},                         // across a sector boundary
        {2 * sector + 100, 3 * sector, 0},          // partial sectors at both ends
        {4 * sector + 100, sector - 100, 0},        // partial start, aligned end
        {8 * sector, sector / 2, 0},                // aligned start, partial end
        {12 * sector, 2 * sector, 1},               // aligned on the disk, not in memory
        {20 * sector + sector - 1, sector + 2, 3},  // one byte, a sector, two bytes
        {sector + 5, 3 * kMiB + 123, 0},            // more than one buffer
        {16 * sector, 2 * sector, 0},               // whole sectors, straight from memory
    };
    uint8_t seed = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length
                                        << " memory +" << c.memoryOffset);
        auto data = Pattern(c.length, ++seed);
        std::vector<std::byte> memory, readMemory;
        auto source = AtPage(memory, c.memoryOffset, c.length);
        std::copy(data.begin(), data.end(), source.begin());
        ASSERT_EQ(disk.Write(c.offset, source), ERROR_SUCCESS);
        std::copy(data.begin(), data.end(), before.begin() + static_cast<long>(c.offset));
        EXPECT_TRUE(loop.ReadBacking(0, region) == before);

        auto target = AtPage(readMemory, c.memoryOffset, c.length);
        ASSERT_EQ(disk.Read(c.offset, target), ERROR_SUCCESS);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), target.begin()));
    }

    const uint64_t size = disk.Shape().size;
    std::vector<std::byte> two(2), one(1);
    EXPECT_EQ(disk.Read(size - 1, two), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(disk.Read(size, one), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(disk.Write(size - 1, two), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(disk.Write(UINT64_MAX, two), ERROR_SECTOR_NOT_FOUND);  // wraps round
    EXPECT_EQ(disk.Read(UINT64_MAX - 1, two), ERROR_SECTOR_NOT_FOUND);
    // The last byte is still the disk's.
    ASSERT_EQ(disk.Write(size - 1, std::vector<std::byte>{std::byte{0x5A}}), ERROR_SUCCESS);
    ASSERT_EQ(disk.Read(size - 1, one), ERROR_SUCCESS);
    EXPECT_EQ(one[0], std::byte{0x5A});
    EXPECT_EQ(loop.ReadBacking(size - 1, 1)[0], std::byte{0x5A});
}

TEST(BlockDevice, OnlyBlockDevicesOpenOrAreClaimed) {
    test::TempFolder folder;
    const std::string file = folder.path() / "plain";
    std::ofstream(file) << std::string(4096, 'x');
    for (auto [node, expected] : {std::pair{"/dev/no-such-disk", ERROR_NOT_READY},
                                  {"/dev/null", ERROR_INVALID_FUNCTION},
                                  {file.c_str(), ERROR_INVALID_FUNCTION}}) {
        DWORD error = ERROR_SUCCESS;
        EXPECT_FALSE(BlockDevice::Open(node, false, &error).IsOpen()) << node;
        EXPECT_EQ(error, static_cast<DWORD>(expected)) << node;
    }

    BlockDevice closed;
    std::vector<std::byte> data(512);
    EXPECT_EQ(closed.Read(0, data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.Write(0, data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.Flush(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.CurrentSize(), 0u);

    VolumeClaim claim;
    std::string why;
    EXPECT_EQ(VolumeClaim::Take("/dev/no-such-volume", {}, &claim, &why), ERROR_NOT_READY);
    EXPECT_FALSE(claim.Held());
    EXPECT_FALSE(why.empty());
}

// A commit's outcome: "whole" or "by partition", and the partitions it left.
std::string Taken(const TableCommit& commit) {
    if (commit.error != ERROR_SUCCESS) return "error " + std::to_string(commit.error);
    std::string taken = commit.wholeDisk ? "whole" : "by partition";
    for (uint32_t number : commit.partitionsNotUpdated) taken += " but " + std::to_string(number);
    return taken;
}

class TableCommitTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    void SetUp() override {
        LARKIN_ATTACH_LOOP(loop,
                           {.size = 64 * kMiB, .sectorSize = GetParam(), .partitionScan = true});
        disk = OpenOrFail(loop.Node(), true);
    }
    uint32_t SectorSize() const { return GetParam(); }
    uint64_t Bytes(uint64_t sectors) const { return sectors * SectorSize(); }
    // Partitions given in the disk's sectors, as the kernel holds them: in bytes.
    Held InSectors(Held partitions) const {
        for (auto& [number, p] : partitions) p = {Bytes(p.first), Bytes(p.second)};
        return partitions;
    }
    // A partition opened by someone keeps the kernel from re-reading the
    // whole table.
    UniqueFd HoldOpen(uint32_t partition) {
        UniqueFd fd(::open(loop.PartitionNode(partition).c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_TRUE(fd.Valid()) << "opening partition " << partition;
        return fd;
    }

    LoopDevice loop;
    BlockDevice disk;
};

INSTANTIATE_TEST_SUITE_P(SectorSizes, TableCommitTest, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

// Only one whole sector 0 is taken, and only from a writer; a table written
// before is taken on request. A partition in use stays as it is while the
// rest is updated; free again, the whole table is taken.
TEST_P(TableCommitTest, PartitionInUseStaysAndTheRestIsUpdated) {
    auto sector0 = Mbr({{0, 0x0C, 64, 256}, {1, 0x0C, 512, 256}});
    BlockDevice reader = OpenOrFail(loop.Node(), false);
    EXPECT_EQ(CommitTable(disk, std::span(sector0).first(100)).error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CommitTable(disk, std::vector<std::byte>(SectorSize() + 512, std::byte{1})).error,
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CommitTable(reader, sector0).error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(loop.ReadBacking(0, 512), std::vector<std::byte>(512));
    ASSERT_EQ(disk.Write(0, sector0), ERROR_SUCCESS);
    EXPECT_TRUE(loop.Partitions().empty());
    EXPECT_EQ(Taken(RereadTable(disk)), "whole");
    if (test::KernelReadsMbrTables())
        EXPECT_EQ(loop.Partitions(), InSectors({{1, {64, 256}}, {2, {512, 256}}}));
    else
        ASSERT_TRUE(loop.AddPartition(1, Bytes(64), Bytes(256)) &&
                    loop.AddPartition(2, Bytes(512), Bytes(256)));
    UniqueFd first = HoldOpen(1);

    // The first partition grows, the second goes, a third comes.
    ASSERT_EQ(disk.Write(0, Mbr({{0, 0x0C, 64, 512}, {2, 0x0C, 1024, 256}})), ERROR_SUCCESS);
    EXPECT_EQ(Taken(RereadTable(disk)), "by partition but 1");
    EXPECT_EQ(loop.Partitions(), InSectors({{1, {64, 256}}, {3, {1024, 256}}}));

    // Leaving the partition in use as it is, everything else changes: the
    // third moves under its number.
    EXPECT_EQ(Taken(CommitTable(
                  disk, Mbr({{0, 0x0C, 64, 256}, {1, 0x0C, 2048, 128}, {2, 0x0C, 3072, 64}}))),
              "by partition");
    EXPECT_EQ(loop.Partitions(), InSectors({{1, {64, 256}}, {2, {2048, 128}}, {3, {3072, 64}}}));

    // Free again, the whole table is taken.
    first.Reset();
    EXPECT_EQ(Taken(CommitTable(disk, Mbr({{0, 0x0C, 64, 512}}))), "whole");
    EXPECT_EQ(loop.Partitions(),
              (test::KernelReadsMbrTables() ? InSectors({{1, {64, 512}}}) : Held{}));
}

// Partition by partition, a table with a gap, a container and logical
// partitions becomes what the kernel makes of it.
TEST_P(TableCommitTest, PartitionByPartitionMatchesTheKernelsOwnReading) {
    // An extended partition at 512 (1024 sectors) with two logical
    // partitions: 544 (128 sectors) and 800 (128 sectors).
    ASSERT_EQ(disk.Write(Bytes(512), Mbr({{0, 0x06, 32, 128}, {1, 0x05, 256, 512}})),
              ERROR_SUCCESS);
    ASSERT_EQ(disk.Write(Bytes(768), Mbr({{0, 0x0E, 32, 128}})), ERROR_SUCCESS);
    auto start = Mbr({{0, 0x0C, 64, 256}});
    auto full = Mbr({{0, 0x0C, 64, 256, 0x80}, {2, 0x0F, 512, 1024}, {3, 0x06, 2048, 300}});
    ASSERT_EQ(disk.Write(0, start), ERROR_SUCCESS);
    ASSERT_TRUE(loop.AddPartition(1, Bytes(64), Bytes(256)));

    Held byParts;
    {
        UniqueFd first = HoldOpen(1);
        EXPECT_EQ(Taken(CommitTable(disk, full)), "by partition");
        byParts = loop.Partitions();
    }
    // The container's stub: its first sector, or two where sectors are 512 bytes.
    EXPECT_EQ(byParts, InSectors({{1, {64, 256}},
                                  {3, {512, SectorSize() == 512 ? 2u : 1u}},
                                  {4, {2048, 300}},
                                  {5, {544, 128}},
                                  {6, {800, 128}}}));

    if (!test::KernelReadsMbrTables()) return;  // no reading of its own to compare with
    ASSERT_TRUE(CommitTable(disk, start).wholeDisk);
    ASSERT_TRUE(CommitTable(disk, full).wholeDisk);
    EXPECT_EQ(loop.Partitions(), byParts);
}

// The kernel numbers partitions by slot, the system's numbers beside; a
// container's stub is no longer than the container; the end of the disk
// cuts and drops; tables the kernel does not read as MBR give none.
TEST(KernelPartitions, AsTheKernelReadsATable) {
    using Kernel = std::vector<KernelPartition>;
    auto read = [](std::initializer_list<MbrEntry> entries, uint32_t sector, uint64_t size) {
        auto sector0 = Mbr(entries);
        auto table = ReadPartitionTable(
            [&](uint64_t number, std::span<uint8_t, 512> data) {
                if (number != 0) return false;
                std::memcpy(data.data(), sector0.data(), 512);
                return true;
            },
            1000000);
        return KernelPartitions(table, sector, size);
    };
    // Slot 2 empty, slot 3 of type 0 but with sectors: the kernel counts it,
    // the system does not.
    EXPECT_EQ(read({{0, 0x0C, 64, 100}, {2, 0x00, 200, 50}, {3, 0x06, 300, 10}}, 512, 1 << 30),
              (Kernel{{1, 1, 64 * 512, 100 * 512, {}, 0},
                      {3, 0, 200 * 512, 50 * 512, {}, 0},
                      {4, 2, 300 * 512, 10 * 512, {}, 0}}));
    EXPECT_EQ(read({{0, 0x0F, 64, 1}}, 512, 1 << 30), (Kernel{{1, 0, 64 * 512, 512, {}, 0}}));
    EXPECT_EQ(read({{0, 0x0C, 10, 100}, {1, 0x0C, 2000, 100}}, 512, 50 * 512),
              (Kernel{{1, 1, 10 * 512, 40 * 512, {}, 0}}));
    EXPECT_TRUE(read({{0, 0x0C, 64, 100, 0x12}}, 512, 1 << 30).empty());
    EXPECT_TRUE(read({{0, 0xEE, 1, 100000}}, 512, 1 << 30).empty());
    PartitionTable unsigned_;
    unsigned_.primary[0] = {0, 0x0C, 64, 100};
    EXPECT_TRUE(KernelPartitions(unsigned_, 512, 1ull << 30).empty());
}

TEST(SendScsi, WhatHasNoScsiTargetSaysSo) {
    const std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0}, none, seventeen(17, 0);
    struct Case {
        std::string node;
        const std::vector<uint8_t>& cdb;
        DWORD error;
    };
    for (const Case& c : {Case{"/dev/null", inquiry, ERROR_NOT_SUPPORTED},
                          Case{"/dev/no-such-sg", inquiry, ERROR_DEVICE_NOT_CONNECTED},
                          Case{"/dev/null", none, ERROR_INVALID_PARAMETER},
                          Case{"/dev/null", seventeen, ERROR_INVALID_PARAMETER}}) {
        SCOPED_TRACE(c.node);
        std::vector<std::byte> data(36);
        ScsiOutcome outcome = SendScsi(c.node, c.cdb, DataDirection::In, data, 5);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.transferred, 0u);
        EXPECT_TRUE(outcome.sense.empty());
    }
}

// A command that never reached the target is an error; one the target
// answered carries its status, what moved (the residue bounded by the
// transfer) and sense only on CHECK CONDITION (DRIVER_SENSE only says that
// sense came).
TEST(ScsiOutcomeOf, ErrorsStatusSenseAndWhatMoved) {
    const std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
    struct Case {
        SgIoReply reply;
        DWORD error;
        uint32_t transferred;
        bool senseKept;
    };
    const uint8_t check = SCSISTAT_CHECK_CONDITION;
    const Case cases[] = {
        {{.error = ENOTTY}, ERROR_NOT_SUPPORTED, 0, false},
        {{.error = ENODEV}, ERROR_DEVICE_NOT_CONNECTED, 0, false},
        {{.error = EACCES}, ERROR_ACCESS_DENIED, 0, false},
        {{.hostStatus = 0x01, .length = 8}, ERROR_DEVICE_NOT_CONNECTED, 0, false},
        {{.hostStatus = 0x03}, ERROR_TIMEOUT, 0, false},
        {{.hostStatus = 0x07}, ERROR_IO_DEVICE, 0, false},  // host adapter error
        {{.driverStatus = 0x06}, ERROR_TIMEOUT, 0, false},
        {{.status = check, .resid = 6, .length = 18, .sense = sense}, ERROR_SUCCESS, 12, true},
        {{.status = check, .driverStatus = 0x08, .sense = sense}, ERROR_SUCCESS, 0, true},
        {{.status = SCSISTAT_GOOD, .length = 36, .sense = sense}, ERROR_SUCCESS, 36, false},
        {{.status = SCSISTAT_BUSY, .resid = 36, .length = 36}, ERROR_SUCCESS, 0, false},
        {{.resid = -5, .length = 10}, ERROR_SUCCESS, 10, false},
        {{.resid = 50, .length = 10}, ERROR_SUCCESS, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << &c - cases);
        ScsiOutcome outcome = ScsiOutcomeOf(c.reply);
        EXPECT_EQ(outcome.error, c.error);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_EQ(outcome.status, c.reply.status);
        }
        EXPECT_EQ(outcome.transferred, c.transferred);
        EXPECT_EQ(outcome.sense, c.senseKept ? sense : std::vector<uint8_t>{});
    }
}

TEST(VolumeClaim, NothingIsUnmountedWhenOneMountRefuses) {
    if (!test::KernelOffers("ext2") || !test::HaveProgram("mkfs.ext2"))
        GTEST_SKIP() << "this kernel mounts no file system made here";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 32 * kMiB});
    test::CommandRun mkfs = test::RunCommand("mkfs.ext2 -q -F " + loop.Node());
    ASSERT_EQ(mkfs.exitCode, 0) << mkfs.output;
    test::MountPoint desktops("/tmp"), systems("/tmp");
    auto mountOn = [&](test::MountPoint& folder, bool automounted) {
        EXPECT_EQ(folder.Mount(loop.Node(), "ext2"), "");
        struct stat status {};
        ::stat(folder.Path().c_str(), &status);
        return Mount{status.st_dev, folder.Path(), loop.Node(), "ext2", automounted};
    };
    Mount desktop = mountOn(desktops, true);
    Mount system = mountOn(systems, false);
    std::string why;
    EXPECT_EQ(UnmountAutomounted({desktop, system}, &why), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(desktops.Mounted());
    EXPECT_TRUE(systems.Mounted());
    EXPECT_NE(why.find(systems.Path()), std::string::npos) << why;
}

// Where no blkid runs (the simulated machine), the boot sector alone says
// whether a stretch holds a FAT file system: it must agree with blkid, which
// finds none in a blank or empty stretch, nor without a device.
TEST(FileSystemProbe, TheBootSectorAloneAgreesWithBlkid) {
    if (!HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    test::TempFolder folder;
    const std::string image = folder.path() / "probe.img";
    std::ofstream{image};
    std::filesystem::resize_file(image, 32 << 20);
    UniqueFd fd(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
    auto bootSectorSays = [&] {
        std::array<uint8_t, 512> sector{};
        EXPECT_EQ(::pread(fd.Get(), sector.data(), sector.size(), 0), 512);
        return FileSystemOfBootSector(sector);
    };
    EXPECT_EQ(bootSectorSays(), "");
    EXPECT_FALSE(ProbeFileSystem(fd.Get(), 0, 32 << 20));
    for (auto [bits, clusterSectors, kib] :
         {std::tuple("12", "4", "8192"), std::tuple("16", "1", "8192"),
          std::tuple("32", "1", "32768")}) {
        CommandRun made = RunCommand(std::string("mkfs.fat -F ") + bits + " -s " + clusterSectors +
                                     " " + Quoted(image) + " " + kib);
        ASSERT_EQ(made.exitCode, 0) << made.output;
        auto found = ProbeFileSystem(fd.Get(), 0, 32 << 20);
        ASSERT_TRUE(found) << "FAT" << bits;
        EXPECT_EQ(bootSectorSays(), found->type) << "FAT" << bits;
    }
    EXPECT_FALSE(ProbeFileSystem(fd.Get(), 0, 0));
    EXPECT_FALSE(ProbeFileSystem(-1, 0, 32 << 20));
}

}  // namespace
}  // namespace larkin::platform::linuxhw
