// What DOS decides by itself: the FAT size and cluster size of a new volume,
// which labels it accepts, and the texts of its error codes.
#include <array>
#include <string_view>

#include "volume_tools.h"

namespace larkin::volumetools {

namespace {
constexpr uint64_t kFat12Limit = 32680;    // sectors: the DOS bound of a FAT12 partition
constexpr uint64_t kFat16Limit = 4194304;  // sectors: 2 GiB, 32 KiB clusters
constexpr uint64_t kFat12MaxClusters = 4084;
}  // namespace

int ChooseFatBits(uint64_t sectors) {
    if (sectors < kFat12Limit) return 12;
    if (sectors <= kFat16Limit) return 16;
    return 0;
}

uint32_t DosClusterSectors(int fatBits, uint64_t sectors) {
    if (sectors == 0) return 0;
    if (fatBits == 12) {
        // Counting every sector as data errs on the side of bigger clusters.
        for (uint32_t cluster = 1; cluster <= 64; cluster *= 2)
            if (sectors / cluster <= kFat12MaxClusters) return cluster;
        return 0;
    }
    if (fatBits == 16) {
        // Up to 32 MiB one sector, then twice as many for each doubling.
        uint32_t cluster = 1;
        for (uint64_t limit = 65536; limit <= kFat16Limit; limit *= 2, cluster *= 2)
            if (sectors <= limit) return cluster;
        return 0;
    }
    return 0;
}

bool IsValidDosLabel(std::string_view label) {
    if (label.size() > 11) return false;
    constexpr std::string_view kForbidden = "*?/\\|.,;:+=<>[]\"";
    for (char c : label)
        if (static_cast<unsigned char>(c) < 0x20 || kForbidden.find(c) != std::string_view::npos)
            return false;
    return true;
}

std::string ErrorText(DWORD code) {
    switch (code) {
        case kErrorInvalidDrive:
            return "The system cannot find the drive specified.";
        case kErrorDiskFull:
            return "There is not enough space on the disk.";
        case kErrorUnrecognizedVolume:
            return "The volume does not contain a recognized file system.";
        default:
            break;
    }
    std::array<char, 512> text{};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text.data(), static_cast<DWORD>(text.size()), nullptr) == 0)
        return "Error " + std::to_string(code) + ".";
    std::string result = text.data();
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

}  // namespace larkin::volumetools
