// From an open physical drive to the drive letter of the volume on it.
#ifndef TESSEL_SHELL_VOLUME_MAPPING_H
#define TESSEL_SHELL_VOLUME_MAPPING_H

#include <cstdint>

#include "win32/base.h"

namespace tessel {

// The identity when the device-number query fails.
inline constexpr std::uint64_t kNoDriveIdentity = 0x7FFFFFFFFFFFFFFFull;

// (DeviceType << 32) | DeviceNumber of the handle's device, or
// kNoDriveIdentity.
std::uint64_t GetDriveIdentity(HANDLE handle);

// Writes the letter and colon of the first volume (in the system's volume
// order) whose device is driveHandle's, and a NUL, into outBuffer (3 bytes).
// When none is found, outBuffer is left as it was, after a pause of 500 ms;
// so too when the drive's own identity cannot be read (no volume is then
// compared at all). A null outBuffer is left at once.
void FindVolumeLetter(HANDLE driveHandle, char* outBuffer);

}  // namespace tessel

#endif
