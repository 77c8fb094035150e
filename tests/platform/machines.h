// Machine files shared by the platform tests.
#ifndef LARKIN_TESTS_PLATFORM_MACHINES_H
#define LARKIN_TESTS_PLATFORM_MACHINES_H

namespace larkin::test {

// A system disk with C:, a USB stick with one FAT16 volume E:, a blank stick
// with letter F: waiting for a volume, and a hub.
inline constexpr const char* kTwoSticks = R"(
[machine]
time_scale = 0

[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "32MiB"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 2048

[[adapter]]
id = "hub0"
class = "USB"
kind = "hub"

[[adapter]]
id = "usb1"
class = "USB"
parent = "hub0"
aspi = true
[[adapter.disk]]
id = "stick1"
size = "16MiB"
heads = 64
sectors_per_track = 32
vendor = "SanDisk"
product = "Cruzer"
revision = "1.00"
serial = "AA11BB22CC33"
letters = ["E:"]
[[adapter.disk.partition]]
type = 0x0E
start = 32

[[adapter]]
id = "usb2"
class = "USB"
[[adapter.disk]]
id = "stick2"
size = "8MiB"
letters = ["F:"]
mode_page_5 = false
)";

}  // namespace larkin::test

#endif
