// A floppy image file standing in for the disk in drive A: on a computer
// without a floppy drive (or in a simulated machine's drive). It is only
// ever opened for reading.
#ifndef LARKIN_PLATFORM_FLOPPY_IMAGE_H
#define LARKIN_PLATFORM_FLOPPY_IMAGE_H

#include <cstdint>
#include <span>
#include <string>

#include "machine/backend.h"
#include "runtime/posix.h"
#include "win32/windows.h"

namespace larkin::platform {

// 160, 180, 320, 360, 720, 1200, 1440 or 2880 KiB: the disks DOS formats.
bool IsFloppySize(uint64_t bytes);

// Why the first sector of an image of size bytes is not a floppy's, or "".
// A floppy starts with a FAT boot sector whose file system fits within it; a
// partition table there makes it an image of a hard disk.
std::string FloppyRefusal(std::span<const uint8_t, 512> first, uint64_t size);

// What a file is now, by device, inode, size and time: another file under
// the same name, or the same one changed, gives another stamp; "" when
// there is none.
std::string FileStamp(const std::string& path);
std::string FileStamp(int fd);

// The image opened for reading, with its size and stamp; an invalid
// descriptor and why (naming the file) when it is missing, not a regular
// file, or not a floppy.
struct OpenedFloppy {
    UniqueFd fd;
    uint64_t size = 0;
    std::string stamp;
    std::string why;
    DWORD error =
        ERROR_SUCCESS;  // ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_UNRECOGNIZED_VOLUME
};
OpenedFloppy OpenFloppyImage(const std::string& path);

// A handle's view of drive A: holding the image. It reads the file it
// opened as it was: one replaced or changed meanwhile is another disk, as a
// floppy swapped in the drive (ERROR_MEDIA_CHANGED). Writes are refused as
// to a write-protected disk.
class FloppyImageAccess final : public MediaAccess {
  public:
    FloppyImageAccess(std::string path, OpenedFloppy opened)
        : path_(std::move(path)), opened_(std::move(opened)) {}

    DWORD Read(uint64_t offset, std::span<std::byte> data) override;
    DWORD Write(uint64_t, std::span<const std::byte>) override { return ERROR_WRITE_PROTECT; }
    uint64_t Size() override { return opened_.fd.Valid() ? opened_.size : 0; }

  private:
    std::string path_;
    OpenedFloppy opened_;
};

// Drive A:'s volume as the machine lists it, holding the image now: without
// media when the file is missing or no floppy (why says it).
VolumeFacts FloppyImageVolume(const std::string& path, std::string* why);

// The file LARKIN_FLOPPY_IMAGE names, made absolute; "" when none.
std::string FloppyImageFromEnvironment();
// Made absolute and tidied, as kept and handed on.
std::string AbsoluteImagePath(const std::string& path);

}  // namespace larkin::platform

#endif
