#include "fat_volume_probe.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "test_machine.h"

namespace larkin::test {
namespace {

uint32_t Little(const std::vector<char>& bytes, size_t at, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// The volume's bytes; empty when it cannot be reached.
std::vector<char> VolumeBytes(const std::string& drive, uint64_t limit) {
    LARKIN_TOOL_VOLUME where{};
    HANDLE session = LarkinOpenVolumeForTool(drive.c_str(), "test", FALSE, &where);
    if (session == INVALID_HANDLE_VALUE) return {};
    CloseHandle(session);
    std::ifstream image(where.path, std::ios::binary);
    image.seekg(static_cast<std::streamoff>(where.offset));
    std::vector<char> bytes(std::min<uint64_t>(where.length, limit));
    image.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!image) return {};
    return bytes;
}

}  // namespace

BootSectorFields ReadBootSector(const std::string& drive) {
    BootSectorFields fields;
    std::vector<char> sector = VolumeBytes(drive, 512);
    if (sector.size() != 512) return fields;
    fields.read = true;
    fields.bytesPerSector = static_cast<uint16_t>(Little(sector, 11, 2));
    fields.sectorsPerCluster = static_cast<uint8_t>(sector[13]);
    fields.sectorsPerTrack = static_cast<uint16_t>(Little(sector, 24, 2));
    fields.heads = static_cast<uint16_t>(Little(sector, 26, 2));
    fields.hiddenSectors = Little(sector, 28, 4);
    fields.totalSectors = Little(sector, 19, 2);
    if (fields.totalSectors == 0) fields.totalSectors = Little(sector, 32, 4);
    bool fat32 = Little(sector, 22, 2) == 0;  // no 16-bit FAT size
    size_t extended = fat32 ? 64 : 36;
    fields.driveNumber = static_cast<uint8_t>(sector[extended]);
    fields.label.assign(&sector[extended + 7], 11);
    fields.fileSystemType.assign(&sector[extended + 18], 8);
    return fields;
}

int CheckVolume(const std::string& drive, std::string* output) {
    std::vector<char> bytes = VolumeBytes(drive, UINT64_MAX);
    if (bytes.empty()) return -1;
    TempFolder folder;
    std::string copy = (folder.path() / "volume.img").string();
    std::ofstream(copy, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::string report = (folder.path() / "fsck.txt").string();
    std::string command =
        "PATH=\"$PATH:/usr/sbin:/sbin\" fsck.fat -n '" + copy + "' >'" + report + "' 2>&1";
    int status = std::system(command.c_str());
    std::ifstream in(report);
    output->assign(std::istreambuf_iterator<char>(in), {});
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string JournalText() {
    std::string text;
    for (const auto& entry : larkin::controls::Journal())
        text += entry.disk + " " + std::to_string(entry.offset) + "+" +
                std::to_string(entry.length) + " via " + entry.via + "\n";
    return text;
}

std::string VolumeSummary(const std::string& drive) {
    BootSectorFields boot = ReadBootSector(drive);
    std::string fsck;
    char text[160];
    std::snprintf(text, sizeof text, "%s|%s|%u|%u/%u|%02X|", boot.fileSystemType.c_str(),
                  boot.label.c_str(), boot.hiddenSectors, boot.heads, boot.sectorsPerTrack,
                  boot.driveNumber);
    return text + (CheckVolume(drive, &fsck) == 0 ? std::string("clean") : fsck);
}

}  // namespace larkin::test
