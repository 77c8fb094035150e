#include "stick_machines.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "boot_harness.h"
#include "larkin/simulation.h"
#include "test_machine.h"
#include "win32/windows.h"

namespace tessel::test {

std::string StickMachine(const std::vector<StickLayout>& sticks) {
    std::ostringstream toml;
    toml << R"([machine]
time_scale = 0
[floppy]
image = "floppy.img"
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "4MiB"
friendly_name = "System Disk ATA Device"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 63
)";
    int adapter = 0;
    for (const StickLayout& stick : sticks) {
        toml << "[[adapter]]\nid = \"usb" << ++adapter << "\"\nclass = \"USB\"\naspi = true\n"
             << "[[adapter.disk]]\nid = \"" << stick.id << "\"\nsize = " << stick.bytes
             << "\nheads = " << stick.heads << "\nsectors_per_track = " << stick.sectorsPerTrack
             << "\nfriendly_name = \"" << stick.friendlyName
             << "\"\npresent = " << (stick.present ? "true" : "false") << "\n";
        if (!stick.letter.empty()) toml << "letters = [\"" << stick.letter << "\"]\n";
        if (stick.partitioned)
            toml << "[[adapter.disk.partition]]\ntype = 0x0E\nstart = " << stick.sectorsPerTrack
                 << "\n";
        if (stick.partitioned && !stick.format.empty())
            toml << "format = \"" << stick.format << "\"\n";
    }
    return toml.str();
}

std::filesystem::path DiskImage(std::string_view id) {
    for (const auto& disk : larkin::sim::Disks())
        if (disk.id == id) return disk.image;
    return {};
}

std::filesystem::path FloppyImage() {
    return std::filesystem::path(larkin::sim::StateDirectory()) / "floppy.img";
}

bool PutOnFloppy(const std::filesystem::path& file, std::string_view name) {
    return larkin::test::boot::CopyIn(FloppyImage(), 0, file, name);
}

std::set<std::string> WrittenDisks() {
    std::set<std::string> disks;
    for (const auto& entry : larkin::sim::Journal()) disks.insert(entry.disk);
    return disks;
}

std::vector<std::uint8_t> ImageBytes(std::string_view id, std::uint64_t offset,
                                     std::uint64_t length) {
    std::ifstream image(DiskImage(id), std::ios::binary);
    image.seekg(static_cast<std::streamoff>(offset));
    std::vector<std::uint8_t> bytes(length);
    image.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

std::uint32_t Little32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return std::uint32_t{bytes.at(at)} | std::uint32_t{bytes.at(at + 1)} << 8 |
           std::uint32_t{bytes.at(at + 2)} << 16 | std::uint32_t{bytes.at(at + 3)} << 24;
}

std::uint16_t Little16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes.at(at) | bytes.at(at + 1) << 8);
}

int CheckPartition(std::string_view id, std::uint64_t firstSector, std::uint64_t sectors,
                   std::string* output) {
    larkin::test::TempFolder folder;
    std::string copy = (folder.path() / "volume.img").string();
    std::string report = (folder.path() / "fsck.txt").string();
    // A sparse copy of the partition's sectors.
    std::string command =
        "dd if='" + DiskImage(id).string() + "' of='" + copy +
        "' bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(firstSector * 512) +
        " count=" + std::to_string(sectors * 512) +
        " conv=sparse status=none && PATH=\"$PATH:/usr/sbin:/sbin\" fsck.fat -n '" + copy + "' >'" +
        report + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream in(report);
    output->assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool VolumeLockable(const char* letter) {
    std::string path = std::string("\\\\.\\") + letter;
    HANDLE volume =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    bool locked = DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                                  nullptr) != FALSE;
    if (locked)
        DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    CloseHandle(volume);
    return locked;
}

}  // namespace tessel::test
