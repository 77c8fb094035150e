// Machines of the tool tests.
#ifndef LARKIN_TESTS_TOOLS_MACHINES_H
#define LARKIN_TESTS_TOOLS_MACHINES_H

namespace larkin::test {

// C: the system volume; E: a 40 MiB stick (FAT16 by size) on 255 heads and
// 63 sectors per track, its partition at sector 63; F: an 8 MiB stick
// (FAT12 by size) on 64 heads and 32 sectors per track, its partition at
// sector 32; pauses recorded only.
inline constexpr const char* kToolSticks = R"(
[machine]
time_scale = 0
windows_dir = "C:\\WINDOWS"
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "16MiB"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 63
format = "FAT16"
[[adapter]]
id = "usb1"
class = "USB"
[[adapter.disk]]
id = "stick1"
size = "40MiB"
heads = 255
sectors_per_track = 63
letters = ["E:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
[[adapter.disk]]
id = "stick2"
size = "8MiB"
heads = 64
sectors_per_track = 32
letters = ["F:"]
[[adapter.disk.partition]]
type = 0x0E
start = 32
)";

}  // namespace larkin::test

#endif
