// Rewriting partition entry 0 of a drive through the system's drive layout.
#ifndef TESSEL_PARTITION_PARTITION_ENTRY_H
#define TESSEL_PARTITION_PARTITION_ENTRY_H

#include <cstdint>

#include "win32/base.h"

namespace tessel {

// The layout buffer starts with room for the header and 17 entries, grows
// by four entries at a time and stays below the limit.
inline constexpr DWORD kLayoutBufferStart = 2496;
inline constexpr DWORD kLayoutBufferStep = 576;
inline constexpr DWORD kLayoutBufferLimit = 147648;

// Reads the drive layout and, in entry 0, sets the boot indicator, the
// hidden sectors (unless 0), the length sectors x 512 (unless 0) and the
// type (unless 0), marking it for rewriting. With commit the layout is then
// set, the drive's properties updated and the layout read back, each step
// whatever the one before returned, with a line and the system's text for
// each failure. True when the layout was read (and, with commit, every step
// succeeded). A layout without entries is left alone: false.
bool ApplyPartitionEntry(HANDLE drive, std::uint32_t hidden, std::uint64_t sectors, bool commit,
                         std::uint8_t type);

}  // namespace tessel

#endif
