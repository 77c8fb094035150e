#include "floppy_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "machine/partition_table.h"

namespace larkin::platform {

namespace {

uint32_t Little(std::span<const uint8_t, 512> sector, size_t at, size_t bytes) {
    uint32_t value = 0;
    for (size_t i = bytes; i-- > 0;) value = value << 8 | sector[at + i];
    return value;
}

// A table whose entries all lie inside the image and hold a partition.
bool HasPartitionTable(std::span<const uint8_t, 512> first, uint64_t size) {
    if (first[510] != 0x55 || first[511] != 0xAA) return false;
    SectorReader read = [&](uint64_t sector, std::span<uint8_t, 512> data) {
        if (sector != 0) return false;
        std::memcpy(data.data(), first.data(), data.size());
        return true;
    };
    PartitionTable table = ReadPartitionTable(read, size / 512);
    bool any = false;
    for (const auto& entry : table.primary) {
        if (entry.type == 0) continue;
        if ((entry.status & 0x7F) != 0 || entry.sectors == 0) return false;
        any = true;
    }
    return any;
}

std::string Stamp(const struct stat& status) {
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + " " +
           std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec);
}

}  // namespace

bool IsFloppySize(uint64_t bytes) {
    for (uint64_t kib : {160, 180, 320, 360, 720, 1200, 1440, 2880})
        if (bytes == kib * 1024) return true;
    return false;
}

std::string FloppyRefusal(std::span<const uint8_t, 512> first, uint64_t size) {
    const std::string sizes = "160, 180, 320, 360, 720, 1200, 1440 or 2880 KB";
    uint32_t bytesPerSector = Little(first, 11, 2);
    uint32_t perCluster = first[13];
    uint32_t reserved = Little(first, 14, 2);
    uint32_t fats = first[16];
    uint32_t total = Little(first, 19, 2);
    if (total == 0) total = Little(first, 32, 4);
    bool bootSector = (first[0] == 0xEB || first[0] == 0xE9) && bytesPerSector == 512 &&
                      std::has_single_bit(perCluster) && reserved >= 1 && fats >= 1 && fats <= 2 &&
                      first[21] >= 0xF0 && total != 0;
    if (!bootSector && HasPartitionTable(first, size))
        return "holds a partition table: it is an image of a hard disk, not of a floppy";
    if (!IsFloppySize(size))
        return "is " + std::to_string(size) + " bytes: no floppy has that size (" + sizes + ")";
    if (!bootSector) return "holds no FAT file system: its first sector is not a DOS boot sector";
    // A file system may leave the end of the disk unused, but not reach past it.
    if (uint64_t{total} * 512 > size)
        return "says it has " + std::to_string(total) + " sectors, but the file has " +
               std::to_string(size / 512) + ": it was cut short or made for another disk";
    return {};
}

std::string FileStamp(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? Stamp(status) : std::string();
}

std::string FileStamp(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? Stamp(status) : std::string();
}

OpenedFloppy OpenFloppyImage(const std::string& path) {
    OpenedFloppy opened;
    std::string why;
    UniqueFd fd = OpenRegularFile(path, O_RDONLY | O_NONBLOCK, &why);
    if (!fd.Valid()) {
        opened.error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        opened.why = "floppy image " + path +
                     (why.empty() ? ": " + std::string(std::strerror(errno)) : " " + why);
        return opened;
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
        opened.error = ERROR_ACCESS_DENIED;
        opened.why = "floppy image " + path + ": " + std::strerror(errno);
        return opened;
    }
    uint64_t size = static_cast<uint64_t>(status.st_size);
    std::array<uint8_t, 512> first{};
    opened.error = ERROR_UNRECOGNIZED_VOLUME;
    if (size < first.size() ||
        ::pread(fd.Get(), first.data(), first.size(), 0) != static_cast<ssize_t>(first.size())) {
        opened.why = "floppy image " + path + " is " + std::to_string(size) +
                     " bytes: no floppy has that size (160, 180, 320, 360, 720, 1200, 1440 or "
                     "2880 KB)";
        return opened;
    }
    if (std::string refusal = FloppyRefusal(first, size); !refusal.empty()) {
        opened.why = "floppy image " + path + " " + refusal;
        return opened;
    }
    opened.error = ERROR_SUCCESS;
    opened.fd = std::move(fd);
    opened.size = size;
    opened.stamp = Stamp(status);
    return opened;
}

DWORD FloppyImageAccess::Read(uint64_t offset, std::span<std::byte> data) {
    if (!opened_.fd.Valid()) return ERROR_NOT_READY;
    if (FileStamp(opened_.fd.Get()) != opened_.stamp || FileStamp(path_) != opened_.stamp)
        return ERROR_MEDIA_CHANGED;
    if (offset > opened_.size || data.size() > opened_.size - offset) return ERROR_SECTOR_NOT_FOUND;
    if (int error = ReadWholeAt(opened_.fd.Get(), offset, data))
        return error == kEndReached ? ERROR_MEDIA_CHANGED : ERROR_READ_FAULT;
    return ERROR_SUCCESS;
}

VolumeFacts FloppyImageVolume(const std::string& path, std::string* why) {
    OpenedFloppy opened = OpenFloppyImage(path);
    *why = opened.why;
    VolumeFacts floppy;
    floppy.key = "floppy:0";
    floppy.floppy = true;
    floppy.removable = true;
    floppy.length = opened.size;
    floppy.extentsReadable = opened.fd.Valid();
    floppy.mountPaths = {"A:\\"};
    return floppy;
}

std::string AbsoluteImagePath(const std::string& path) {
    if (path.empty()) return path;
    std::error_code failed;
    std::string absolute = std::filesystem::absolute(path, failed).lexically_normal().string();
    return failed ? path : absolute;
}

std::string FloppyImageFromEnvironment() {
    const char* image = std::getenv("LARKIN_FLOPPY_IMAGE");
    return AbsoluteImagePath(image ? image : "");
}

}  // namespace larkin::platform
