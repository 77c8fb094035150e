#include "fat_volume_probe.h"

#include <cstdio>
#include <fstream>
#include <vector>

#include "larkin/platform.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace larkin::test {

std::string VolumeSummary(const std::string& drive) {
    LARKIN_TOOL_VOLUME where{};
    HANDLE session = LarkinOpenVolumeForTool(drive.c_str(), "test", FALSE, &where);
    if (session == INVALID_HANDLE_VALUE) return "no volume " + drive;
    CloseHandle(session);
    std::ifstream image(where.path, std::ios::binary);
    image.seekg(static_cast<std::streamoff>(where.offset));
    std::vector<char> bytes(where.length);
    if (bytes.size() < 512 || !image.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        return "unreadable volume " + drive;
    auto little = [&](size_t at, int size) {
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
        return value;
    };
    // The extended block of FAT32 (no 16-bit FAT size) stands further on.
    const size_t extended = little(22, 2) == 0 ? 64 : 36;
    char fields[160];
    std::snprintf(fields, sizeof fields, "%.8s|%.11s|%u|%u/%u|%02X|%u|", &bytes[extended + 18],
                  &bytes[extended + 7], little(28, 4), little(26, 2), little(24, 2),
                  static_cast<unsigned char>(bytes[extended]),
                  little(19, 2) != 0 ? little(19, 2) : little(32, 4));
    TempFolder folder;
    std::ofstream(folder.path() / "volume.img", std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    CommandRun fsck = RunCommand("fsck.fat -n " + Quoted((folder.path() / "volume.img").string()));
    return fields + (fsck.exitCode == 0 ? std::string("clean") : fsck.output);
}

std::string JournalText() {
    std::string text;
    for (const auto& entry : larkin::controls::Journal())
        text += entry.disk + " " + std::to_string(entry.offset) + "+" +
                std::to_string(entry.length) + " via " + entry.via + "\n";
    return text;
}

}  // namespace larkin::test
