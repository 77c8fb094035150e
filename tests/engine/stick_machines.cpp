#include "stick_machines.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "boot_harness.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "win32/windows.h"

namespace tessel::test {

std::string StickMachine(const std::vector<StickLayout>& sticks) {
    std::ostringstream toml;
    toml << larkin::test::MachineText("engine-system-disk-and-floppy");
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
    for (const auto& entry : larkin::controls::Journal()) disks.insert(entry.disk);
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
    using larkin::test::Quoted;
    larkin::test::TempFolder folder;
    std::string copy = Quoted((folder.path() / "volume.img").string());
    // A sparse copy of the partition's sectors.
    auto run = larkin::test::RunCommand(
        "dd if=" + Quoted(DiskImage(id).string()) + " of=" + copy +
        " bs=1M iflag=skip_bytes,count_bytes skip=" + std::to_string(firstSector * 512) +
        " count=" + std::to_string(sectors * 512) + " conv=sparse status=none && fsck.fat -n " +
        copy);
    *output = run.output;
    return run.exitCode;
}

void* OpenDisk(int number, unsigned long access) {
    std::string path = "\\\\.\\PhysicalDrive" + std::to_string(number);
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

std::vector<std::uint8_t> FileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
