// Sector I/O on real block devices below the Windows API, where it takes any
// offset and length: loop devices with 512- and 4096-byte sectors. (Media
// that goes, write protection and whole-sector rules are the conformance
// suite's.)
#include "backends/linux/block_device.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "loop_device.h"

namespace larkin::platform::linuxhw {
namespace {

using test::LoopDevice;
using test::LoopOptions;

constexpr uint64_t kMiB = 1ull << 20;

std::vector<std::byte> Pattern(size_t length, uint32_t seed) {
    std::vector<std::byte> bytes(length);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = std::byte(state >> 24);
    }
    return bytes;
}

// Memory at a page boundary, as O_DIRECT wants it.
class PageAligned {
  public:
    explicit PageAligned(size_t size)
        : data_(static_cast<std::byte*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096))),
          size_(size) {}
    std::span<std::byte> Bytes() { return {data_.get(), size_}; }

  private:
    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    std::unique_ptr<std::byte, Free> data_;
    size_t size_;
};

BlockDevice OpenOrFail(const std::string& node, bool write) {
    DWORD error = ERROR_GEN_FAILURE;
    BlockDevice disk = BlockDevice::Open(node, write, &error);
    EXPECT_EQ(error, ERROR_SUCCESS) << node;
    return disk;
}

class BlockDeviceIo : public ::testing::TestWithParam<uint32_t> {
  protected:
    uint32_t SectorSize() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(SectorSizes, BlockDeviceIo, ::testing::Values(512u, 4096u),
                         [](const auto& info) { return std::to_string(info.param); });

// Whatever the offset, length and memory, the bytes asked for change and the
// rest of each sector they touch stays; nothing past the end is reached. A
// loop device answers no HDIO_GETGEO: the usual geometry stands in.
TEST_P(BlockDeviceIo, TransfersOfAnyShapeTouchOnlyTheirBytes) {
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 8 * kMiB, .sectorSize = SectorSize()});
    const uint64_t sector = SectorSize();
    const uint64_t region = 4 * kMiB;
    auto before = Pattern(region, 7);
    loop.WriteBacking(0, before);
    BlockDevice disk = OpenOrFail(loop.Node(), true);
    ASSERT_TRUE(disk.IsOpen());
    EXPECT_FALSE(disk.Shape().readOnly);
    EXPECT_EQ(disk.Shape().heads, 255u);
    EXPECT_EQ(disk.Shape().sectorsPerTrack, 63u);
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
    };
    uint32_t seed = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length
                                        << " memory +" << c.memoryOffset);
        auto data = Pattern(c.length, ++seed);
        PageAligned memory(c.memoryOffset + c.length);
        auto source = memory.Bytes().subspan(c.memoryOffset);
        std::copy(data.begin(), data.end(), source.begin());
        ASSERT_EQ(disk.Write(c.offset, source), ERROR_SUCCESS);
        std::copy(data.begin(), data.end(), before.begin() + static_cast<long>(c.offset));
        EXPECT_TRUE(loop.ReadBacking(0, region) == before);

        PageAligned readMemory(c.memoryOffset + c.length);
        auto target = readMemory.Bytes().subspan(c.memoryOffset);
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

TEST(BlockDevice, OnlyBlockDevicesOpen) {
    DWORD error = ERROR_SUCCESS;
    EXPECT_FALSE(BlockDevice::Open("/dev/no-such-disk", false, &error).IsOpen());
    EXPECT_EQ(error, ERROR_NOT_READY);

    EXPECT_FALSE(BlockDevice::Open("/dev/null", false, &error).IsOpen());
    EXPECT_EQ(error, ERROR_INVALID_FUNCTION);

    auto file =
        std::filesystem::temp_directory_path() / ("larkin-plain-" + std::to_string(getpid()));
    std::ofstream(file) << std::string(4096, 'x');
    BlockDevice plain = BlockDevice::Open(file, false, &error);
    std::filesystem::remove(file);
    EXPECT_FALSE(plain.IsOpen());
    EXPECT_NE(error, ERROR_SUCCESS);

    BlockDevice closed;
    std::vector<std::byte> data(512);
    EXPECT_EQ(closed.Read(0, data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.Write(0, data), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.Flush(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.CurrentSize(), 0u);
}

}  // namespace
}  // namespace larkin::platform::linuxhw
