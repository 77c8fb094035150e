// A new partition table written and taken by the kernel: whole (BLKRRPART),
// partition by partition while one is in use (BLKPG), or not at all on a
// disk the kernel keeps no partitions for.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <algorithm>
#include <map>
#include <vector>

#include "backends/linux/block_device.h"
#include "loop_device.h"

namespace larkin::platform::linuxhw {
namespace {

using test::LoopDevice;
using test::LoopOptions;
using test::LoopPartition;
using test::Mbr;
using test::MbrEntry;

constexpr uint64_t kMiB = 1ull << 20;

// Every partition the kernel holds, by number.
std::map<uint32_t, LoopPartition> Held(const LoopDevice& loop) {
    std::map<uint32_t, LoopPartition> held;
    for (uint32_t number : loop.PartitionNumbers()) held[number] = *loop.Partition(number);
    return held;
}

BlockDevice OpenOrFail(const std::string& node, bool write) {
    DWORD error = ERROR_GEN_FAILURE;
    BlockDevice disk = BlockDevice::Open(node, write, &error);
    EXPECT_EQ(error, ERROR_SUCCESS) << node;
    return disk;
}

// A partition opened by someone, which keeps the kernel from re-reading the
// whole table.
class HeldOpen {
  public:
    explicit HeldOpen(const std::string& node) : fd_(::open(node.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~HeldOpen() { Close(); }
    bool Valid() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

class TableCommitTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    uint32_t SectorSize() const { return GetParam(); }
    LoopOptions Scanned() const {
        return {.size = 64 * kMiB, .sectorSize = SectorSize(), .partitionScan = true};
    }
    uint64_t Bytes(uint64_t sectors) const { return sectors * SectorSize(); }

    // An extended partition at 512 (1024 sectors) with two logical
    // partitions: 544 (128 sectors) and 800 (128 sectors).
    void WriteChain(BlockDevice& disk) {
        ASSERT_EQ(disk.Write(Bytes(512), Mbr({{0, 0x06, 32, 128}, {1, 0x05, 256, 512}})),
                  ERROR_SUCCESS);
        ASSERT_EQ(disk.Write(Bytes(768), Mbr({{0, 0x0E, 32, 128}})), ERROR_SUCCESS);
    }
};

INSTANTIATE_TEST_SUITE_P(SectorSizes, TableCommitTest, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

TEST_P(TableCommitTest, KernelTakesTheWholeTableWhenNothingIsInUse) {
    if (!test::KernelReadsMbrTables()) GTEST_SKIP() << "this kernel reads no MBR tables itself";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, Scanned());
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    WriteChain(disk);
    auto sector0 = Mbr({{0, 0x0C, 64, 256, 0x80}, {1, 0x0F, 512, 1024}});
    TableCommit commit = CommitTable(disk, sector0);
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_TRUE(commit.wholeDisk);
    EXPECT_TRUE(commit.partitionsNotUpdated.empty());
    EXPECT_EQ(loop.ReadBacking(0, 512), sector0);

    auto held = Held(loop);
    std::vector<uint32_t> numbers;
    for (const auto& [number, extent] : held) numbers.push_back(number);
    EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2, 5, 6}));
    EXPECT_EQ(held[1], (LoopPartition{Bytes(64), Bytes(256)}));
    EXPECT_EQ(held[5], (LoopPartition{Bytes(544), Bytes(128)}));
    EXPECT_EQ(held[6], (LoopPartition{Bytes(800), Bytes(128)}));

    // What the kernel made of the table is what the fallback would make.
    auto kernel = KernelPartitions(ReadTable(disk), SectorSize(), disk.CurrentSize());
    ASSERT_EQ(kernel.size(), held.size());
    for (const auto& partition : kernel)
        EXPECT_EQ(held[partition.number], (LoopPartition{partition.start, partition.length}))
            << "partition " << partition.number;

    // A smaller table takes the partitions that went away with it.
    commit = CommitTable(disk, Mbr({{0, 0x06, 128, 64}}));
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_TRUE(commit.wholeDisk);
    EXPECT_EQ(loop.PartitionNumbers(), std::vector<uint32_t>{1});
    EXPECT_EQ(*loop.Partition(1), (LoopPartition{Bytes(128), Bytes(64)}));
}

TEST_P(TableCommitTest, PartitionInUseStaysAndTheRestIsUpdated) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, Scanned());
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    // The kernel holds the table's two partitions, and the first is open.
    ASSERT_EQ(disk.Write(0, Mbr({{0, 0x0C, 64, 256}, {1, 0x0C, 512, 256}})), ERROR_SUCCESS);
    ASSERT_TRUE(loop.AddPartition(1, Bytes(64), Bytes(256)));
    ASSERT_TRUE(loop.AddPartition(2, Bytes(512), Bytes(256)));
    HeldOpen first(loop.PartitionNode(1));
    ASSERT_TRUE(first.Valid());

    // The first partition grows, the second goes, a third comes.
    auto sector0 = Mbr({{0, 0x0C, 64, 512}, {2, 0x0C, 1024, 256}});
    TableCommit commit = CommitTable(disk, sector0);
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_FALSE(commit.wholeDisk);
    EXPECT_EQ(commit.partitionsNotUpdated, std::vector<uint32_t>{1});
    EXPECT_EQ(loop.ReadBacking(0, 512), sector0);
    EXPECT_EQ(loop.PartitionNumbers(), (std::vector<uint32_t>{1, 3}));
    EXPECT_EQ(*loop.Partition(1), (LoopPartition{Bytes(64), Bytes(256)}));
    EXPECT_EQ(*loop.Partition(3), (LoopPartition{Bytes(1024), Bytes(256)}));

    // Leaving the partition in use as it is, everything else changes.
    commit = CommitTable(disk, Mbr({{0, 0x0C, 64, 256}, {1, 0x0C, 2048, 128}}));
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_FALSE(commit.wholeDisk);
    EXPECT_TRUE(commit.partitionsNotUpdated.empty());
    EXPECT_EQ(loop.PartitionNumbers(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(*loop.Partition(2), (LoopPartition{Bytes(2048), Bytes(128)}));

    // Free again, the whole table is taken.
    first.Close();
    commit = CommitTable(disk, Mbr({{0, 0x0C, 64, 512}}));
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_TRUE(commit.wholeDisk);
    if (test::KernelReadsMbrTables()) {
        EXPECT_EQ(loop.PartitionNumbers(), std::vector<uint32_t>{1});
        EXPECT_EQ(*loop.Partition(1), (LoopPartition{Bytes(64), Bytes(512)}));
    } else {
        EXPECT_TRUE(loop.PartitionNumbers().empty());
    }
}

// Partition by partition, a table with a gap, a container and logical
// partitions becomes what the kernel makes of it.
TEST_P(TableCommitTest, PartitionByPartitionMatchesTheKernelsOwnReading) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, Scanned());
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    WriteChain(disk);
    auto start = Mbr({{0, 0x0C, 64, 256}});
    auto full = Mbr({{0, 0x0C, 64, 256}, {2, 0x0F, 512, 1024}, {3, 0x06, 2048, 300}});
    ASSERT_EQ(disk.Write(0, start), ERROR_SUCCESS);
    ASSERT_TRUE(loop.AddPartition(1, Bytes(64), Bytes(256)));

    std::map<uint32_t, LoopPartition> byParts;
    {
        HeldOpen first(loop.PartitionNode(1));
        ASSERT_TRUE(first.Valid());
        TableCommit commit = CommitTable(disk, full);
        EXPECT_EQ(commit.error, ERROR_SUCCESS);
        EXPECT_FALSE(commit.wholeDisk);
        EXPECT_TRUE(commit.partitionsNotUpdated.empty());
        byParts = Held(loop);
    }
    // The container's stub: its first sector, or two where sectors are 512 bytes.
    const std::map<uint32_t, LoopPartition> expected = {
        {1, {Bytes(64), Bytes(256)}},   {3, {Bytes(512), std::max<uint64_t>(SectorSize(), 1024)}},
        {4, {Bytes(2048), Bytes(300)}}, {5, {Bytes(544), Bytes(128)}},
        {6, {Bytes(800), Bytes(128)}},
    };
    EXPECT_EQ(byParts, expected);

    if (!test::KernelReadsMbrTables()) GTEST_SKIP() << "this kernel reads no MBR tables itself";
    ASSERT_TRUE(CommitTable(disk, start).wholeDisk);
    ASSERT_TRUE(CommitTable(disk, full).wholeDisk);
    EXPECT_EQ(Held(loop), byParts);
}

TEST_P(TableCommitTest, RereadTakesATableWrittenBefore) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, Scanned());
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    ASSERT_EQ(disk.Write(0, Mbr({{0, 0x0C, 64, 256}})), ERROR_SUCCESS);
    EXPECT_TRUE(loop.PartitionNumbers().empty());
    TableCommit reread = RereadTable(disk);
    EXPECT_EQ(reread.error, ERROR_SUCCESS);
    EXPECT_TRUE(reread.wholeDisk);
    if (test::KernelReadsMbrTables())
        EXPECT_EQ(loop.PartitionNumbers(), std::vector<uint32_t>{1});
    else
        ASSERT_TRUE(loop.AddPartition(1, Bytes(64), Bytes(256)));

    HeldOpen first(loop.PartitionNode(1));
    ASSERT_TRUE(first.Valid());
    ASSERT_EQ(disk.Write(0, Mbr({{0, 0x0C, 64, 256}, {1, 0x0C, 1024, 64}})), ERROR_SUCCESS);
    reread = RereadTable(disk);
    EXPECT_EQ(reread.error, ERROR_SUCCESS);
    EXPECT_FALSE(reread.wholeDisk);
    EXPECT_TRUE(reread.partitionsNotUpdated.empty());
    EXPECT_EQ(loop.PartitionNumbers(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(*loop.Partition(2), (LoopPartition{Bytes(1024), Bytes(64)}));
}

// On a disk the kernel keeps no partitions for, the table is written as
// given, and only one whole sector 0 by a writer.
TEST(TableCommit, DiskWithoutPartitionScanningKeepsTheTableAsWritten) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 16 * kMiB});
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    BlockDevice reader = OpenOrFail(loop.Node(), false);
    auto sector0 = Mbr({{0, 0x0C, 2048, 4096, 0x80}});
    EXPECT_EQ(CommitTable(disk, std::span(sector0).first(100)).error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CommitTable(disk, std::vector<std::byte>(1024, std::byte{1})).error,
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CommitTable(reader, sector0).error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(loop.ReadBacking(0, 1024), std::vector<std::byte>(1024));

    TableCommit commit = CommitTable(disk, sector0);
    EXPECT_EQ(commit.error, ERROR_SUCCESS);
    EXPECT_TRUE(commit.wholeDisk);
    EXPECT_TRUE(commit.partitionsNotUpdated.empty());
    EXPECT_EQ(loop.ReadBacking(0, 512), sector0);
    EXPECT_TRUE(loop.PartitionNumbers().empty());
    EXPECT_EQ(RereadTable(disk).error, ERROR_SUCCESS);
}

// The kernel's reading of a table, without a disk.
PartitionTable TableOf(std::initializer_list<MbrEntry> entries) {
    auto sector = Mbr(entries);
    return ReadPartitionTable(
        [&](uint64_t number, std::span<uint8_t, 512> data) {
            if (number != 0) return false;
            std::memcpy(data.data(), sector.data(), 512);
            return true;
        },
        1000000);
}

// The kernel numbers partitions by slot, the system's numbers beside; a
// container is a stub of its first sector (two where sectors are 512
// bytes, or one when it is that small); the end of the disk cuts and drops;
// tables the kernel does not read as MBR give none.
TEST(KernelPartitions, AsTheKernelReadsATable) {
    using Kernel = std::vector<KernelPartition>;
    auto read = [](std::initializer_list<MbrEntry> entries, uint32_t sector, uint64_t size) {
        return KernelPartitions(TableOf(entries), sector, size);
    };
    // Slot 2 empty, slot 3 of type 0 but with sectors: the kernel counts it,
    // the system does not.
    EXPECT_EQ(read({{0, 0x0C, 64, 100}, {2, 0x00, 200, 50}, {3, 0x06, 300, 10}}, 512, 1 << 30),
              (Kernel{{1, 1, 64 * 512, 100 * 512, {}, 0},
                      {3, 0, 200 * 512, 50 * 512, {}, 0},
                      {4, 2, 300 * 512, 10 * 512, {}, 0}}));
    EXPECT_EQ(read({{0, 0x05, 64, 1000}}, 512, 1 << 30), (Kernel{{1, 0, 64 * 512, 1024, {}, 0}}));
    EXPECT_EQ(read({{0, 0x05, 64, 1000}}, 4096, 1 << 30), (Kernel{{1, 0, 64 * 4096, 4096, {}, 0}}));
    EXPECT_EQ(read({{0, 0x0F, 64, 1}}, 512, 1 << 30), (Kernel{{1, 0, 64 * 512, 512, {}, 0}}));
    EXPECT_EQ(read({{0, 0x0C, 10, 100}, {1, 0x0C, 2000, 100}}, 512, 50 * 512),
              (Kernel{{1, 1, 10 * 512, 40 * 512, {}, 0}}));
    EXPECT_TRUE(read({{0, 0x0C, 64, 100, 0x12}}, 512, 1 << 30).empty());
    EXPECT_TRUE(read({{0, 0xEE, 1, 100000}}, 512, 1 << 30).empty());
    PartitionTable unsigned_;
    unsigned_.primary[0] = {0, 0x0C, 64, 100};
    EXPECT_TRUE(KernelPartitions(unsigned_, 512, 1ull << 30).empty());
}

}  // namespace
}  // namespace larkin::platform::linuxhw
