// The two console operations: writing the small bootable FAT12 image onto a
// USB drive after saving its sector 0, and writing a saved sector 0 back.
#ifndef TESSEL_CONSOLE_IMAGE_OPERATIONS_H
#define TESSEL_CONSOLE_IMAGE_OPERATIONS_H

#include <cstddef>
#include <cstdint>

namespace tessel {

// The boot partition: 8,288 sectors one track into the drive; the image is
// everything of it after its boot sector.
inline constexpr std::uint64_t kImageBytesLimit = (8288 - 1) * 512;
inline constexpr std::size_t kImageChunk = 131072;
inline constexpr const char* kDefaultImageName = "VeltraneUSB4MB.dat";
// Longest names the operations take (their buffers less the NUL).
inline constexpr std::size_t kWriterNameLimit = 99;
inline constexpr std::size_t kRestorerNameLimit = 51;

// 0 on success, 6 on every failure and when the user quits.
int CopyUSBBootImage(const char* saveFileName, const char* driveLetter, const char* imageFileName);
int CopyUSBMBRImage(const char* saveFileName, const char* driveLetter);

}  // namespace tessel

#endif
