// Machines for the make-bootable and partition tests: sticks of chosen size
// and geometry, a floppy A:, and what the tests read back from the images.
#ifndef LARKIN_TESTS_ENGINE_STICK_MACHINES_H
#define LARKIN_TESTS_ENGINE_STICK_MACHINES_H

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessel::test {

struct StickLayout {
    std::string id = "stick1";
    std::uint64_t bytes = 20 * 1024 * 1024;  // FAT16 when formatted
    std::uint32_t sectorsPerTrack = 63;
    std::uint32_t heads = 255;
    std::string friendlyName = "SanDisk Cruzer Blade USB Device";
    std::string letter = "E:";  // empty: no letter
    bool partitioned = true;    // one FAT16 (LBA) partition one track in
    std::string format{};       // the partition's file system when made ("FAT16")
    bool present = true;
};

// Tests write layouts with designated initialisers, in the order above.

// A machine file: system disk C:, one USB adapter per stick, a floppy A:
// (1.44 MB, FAT12) and time_scale 0.
std::string StickMachine(const std::vector<StickLayout>& sticks);

// The image file of a disk of the running machine, and of its floppy.
std::filesystem::path DiskImage(std::string_view id);
std::filesystem::path FloppyImage();

// Puts a host file into the floppy's root under name (from outside the
// platform: the journal does not see it).
bool PutOnFloppy(const std::filesystem::path& file, std::string_view name);

// The disks named by the journal's entries.
std::set<std::string> WrittenDisks();

// Opens \\.\PhysicalDriveN through the platform (INVALID_HANDLE_VALUE when
// refused).
void* OpenDisk(int number, unsigned long access = 0xC0000000ul /* read and write */);

// A host file's bytes.
std::vector<std::uint8_t> FileBytes(const std::filesystem::path& file);

// Reads bytes of a disk image from outside the platform.
std::vector<std::uint8_t> ImageBytes(std::string_view id, std::uint64_t offset,
                                     std::uint64_t length);
std::uint32_t Little32(const std::vector<std::uint8_t>& bytes, std::size_t at);
std::uint16_t Little16(const std::vector<std::uint8_t>& bytes, std::size_t at);

// fsck.fat -n over the partition's sectors of a disk image: 0 when clean.
int CheckPartition(std::string_view id, std::uint64_t firstSector, std::uint64_t sectors,
                   std::string* output);

// Whether the volume with this letter can be locked now (nothing holds it).
bool VolumeLockable(const char* letter);

}  // namespace tessel::test

#endif
