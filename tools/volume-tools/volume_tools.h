// FAT volumes reached through the platform and worked on by dosfstools and
// mtools: reading a volume's facts, formatting it, labelling it, copying a
// folder's files onto it. Every volume is named by its drive letter and
// reached only through LarkinOpenVolumeForTool, which applies the write
// guard, holds the volume's lock while a program writes and covers the
// volume in the write journal. No FAT structure is read or written here.
#ifndef LARKIN_VOLUME_TOOLS_H
#define LARKIN_VOLUME_TOOLS_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "win32/base.h"

namespace larkin::volumetools {

// Windows codes this library gives that the platform's headers lack.
inline constexpr DWORD kErrorInvalidDrive = ERROR_INVALID_DRIVE;
inline constexpr DWORD kErrorDiskFull = ERROR_DISK_FULL;
inline constexpr DWORD kErrorUnrecognizedVolume = ERROR_UNRECOGNIZED_VOLUME;

// code: 0, or the Windows error code of the failure (ERROR_DISK_FULL for a
// volume without room, ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND for a
// missing source, ERROR_ACCESS_DENIED for a refused or locked volume,
// ERROR_NOT_READY for a drive without media, ...); message: a short text for
// a person, empty on success.
struct Outcome {
    DWORD code = 0;
    std::string message;
    bool Ok() const { return code == 0; }
};

struct VolumeFacts {
    bool ready = false;       // the volume's bytes could be read
    std::string label;        // trailing blanks removed; "" for none
    std::string fileSystem;   // "FAT12", "FAT16", "FAT32", or "RAW" when not FAT
    uint64_t totalBytes = 0;  // the data area: clusters x cluster size
    uint64_t freeBytes = 0;
    // Added to what the desktop program needs, for format's report.
    uint64_t volumeBytes = 0;  // the volume's whole length, file system or not
    uint32_t clusterBytes = 0;
    uint32_t serialNumber = 0;
    int fatBits = 0;  // 12, 16, 32; 0 when RAW
};

// Facts of the volume root ("E:", "E:\" or "\\.\E:"), over minfo and mdir in
// a read-only session. A volume without a FAT file system is ready with
// fileSystem "RAW" and code 0.
Outcome ReadVolumeFacts(std::string_view root, VolumeFacts* facts);

// Copies every regular file of sourceFolder (not its sub-folders) into the
// root of the volume root, over mcopy in one write session, in name order
// (directory order for a volume). sourceFolder is a folder of this computer
// or a drive letter with an optional folder ("A:", "A:\BOOT"); of a volume
// source, hidden files are left out, as copy leaves them. onFile (may be
// empty) hears each file's name before it is copied; copied (may be null)
// receives how many were copied. Before anything is written the files are
// measured against the free space: files that do not fit give
// ERROR_DISK_FULL and no byte is written. A folder without files gives
// ERROR_FILE_NOT_FOUND; a missing folder ERROR_PATH_NOT_FOUND. In a folder
// of this computer, a symbolic link (ERROR_ACCESS_DENIED), a name a FAT
// directory cannot hold (ERROR_INVALID_NAME) and two names that differ only
// in letter case (ERROR_FILE_EXISTS) are refused before anything is written,
// naming the files; each file is copied through a descriptor opened without
// following a link.
Outcome CopyFolderFiles(std::string_view sourceFolder, std::string_view root,
                        const std::function<void(std::string_view fileName)>& onFile, int* copied);
// The same for the files whose names match pattern, with the wildcards * and
// ? and any letter case; "*" and "*.*" match every name.
Outcome CopyMatchingFiles(std::string_view sourceFolder, std::string_view pattern,
                          std::string_view root,
                          const std::function<void(std::string_view fileName)>& onFile,
                          int* copied);

struct FormatReport {
    int fatBits = 0;
    uint64_t sectors = 0;         // the volume's length in sectors
    uint32_t clusterSectors = 0;  // 0: chosen by mkfs.fat
    uint32_t hiddenSectors = 0;
    uint32_t heads = 0;
    uint32_t sectorsPerTrack = 0;
    std::string toolOutput;  // what mkfs.fat printed
};

// The FAT16 volume the make-bootable flow makes on a drive: one partition
// from the drive's second track to its end (at most 3,906,250 sectors of 512
// bytes), formatted as format makes it, with 512 root directory entries.
struct BootVolume {
    uint64_t sectors = 0;       // the partition's length
    uint32_t clusterBytes = 0;  // DOS format's cluster size for it
    uint64_t dataBytes = 0;     // room for files in whole clusters, counted low
    uint32_t rootEntries = 0;   // root directory entries left for files (the
                                // volume label takes one)
};

// The boot volume of a drive of diskBytes with sectorsPerTrack sectors per
// track. ERROR_NOT_SUPPORTED, saying why, when the volume would not be
// FAT16 (the boot sector starts FAT16 only), or on sectors other than 512
// bytes.
Outcome PlanBootVolume(uint64_t diskBytes, uint32_t sectorsPerTrack, uint32_t bytesPerSector,
                       BootVolume* volume);
// The same for the drive that holds the volume root ("E:"), asked of the
// platform without writing anything.
Outcome PlanBootVolumeOf(std::string_view root, BootVolume* volume);

// Checks, before anything is written, that the files the make-bootable
// flow copies from source can be put on volume: the files copy would take
// (see CopyFolderFiles: a symbolic link, a name FAT cannot hold, or two
// names that differ only in letter case are refused, naming them), their whole clusters within the
// room for data, their directory entries within the root directory's. With
// kernelNeeded (source is a drive such as "A:", the floppy) the drive must
// exist (ERROR_INVALID_DRIVE), have a disk in (ERROR_NOT_READY) with a FAT
// file system (ERROR_UNRECOGNIZED_VOLUME), and hold KERNEL.SYS, not hidden,
// in the folder (ERROR_FILE_NOT_FOUND): the boot sector the flow writes
// starts a FreeDOS kernel. 0, or the code with a line for people that says
// what is wrong; ERROR_DISK_FULL when the files do not fit.
Outcome CheckBootFiles(std::string_view source, const BootVolume& volume, bool kernelNeeded);

// Makes a FAT file system over the whole volume root with mkfs.fat, in one
// write session: hidden sectors = the volume's first sector on its disk, the
// disk's heads and sectors per track, drive number 0x80 and label (up to 11
// characters, written as given; "" for none). fatBits 0 chooses FAT12 or
// FAT16 and the cluster size by the volume's size as DOS format does
// (ChooseFatBits, DosClusterSectors); 12 and 16 keep that cluster size when it
// suits, 32 leaves the cluster size to mkfs.fat. report (may be null) says
// what was made.
Outcome FormatFat(std::string_view root, std::string_view label, int fatBits,
                  FormatReport* report = nullptr);

// Sets the volume label of a FAT volume over mlabel; "" removes it.
Outcome SetVolumeLabel(std::string_view root, std::string_view label);

// DOS format's choice for a hard-disk volume of sectors 512-byte sectors:
// FAT12 below 32,680 sectors, FAT16 up to 4,194,304 sectors (2 GiB), 0 above
// (too big for FAT12 and FAT16).
int ChooseFatBits(uint64_t sectors);
// Sectors per cluster DOS format uses: for FAT12 the smallest power of two
// that keeps the clusters within 4,084; for FAT16 the size table 1 sector up
// to 32 MiB, 2 to 64 MiB, ... 64 to 2 GiB. 0 when none fits.
uint32_t DosClusterSectors(int fatBits, uint64_t sectors);

// A label as DOS accepts it: at most 11 characters, none of * ? / \ | . , ;
// : + = < > [ ] " and no control character.
bool IsValidDosLabel(std::string_view label);

// A DOS configuration file's text (CONFIG.SYS, AUTOEXEC.BAT) with every
// reference to drive from ("A:\COMMAND.COM", "PATH=A:\;A:\DOS", "a:") pointed
// at drive to; comments and ECHO lines stay as they are. changed (may be
// null) receives each changed line as it now reads.
std::string PointDriveReferences(std::string_view text, char from, char to,
                                 std::vector<std::string>* changed);

// What PointFloppyPathsAtBootDrive did to one file.
struct PointedFile {
    std::string name;                // "CONFIG.SYS"
    std::string kept;                // the original's name beside it: "CONFIG.ORG"
    std::vector<std::string> lines;  // the lines that name A:, as they now read
    bool keptExisted = false;        // kept came with the source: nothing was changed
};

// After a copy from a floppy onto the volume root (a stick, which boots as
// C:): CONFIG.SYS and AUTOEXEC.BAT there (and FreeDOS's FDCONFIG.SYS and
// FDAUTO.BAT) that name A: are pointed at C:, each original kept beside it
// (CONFIG.ORG, AUTOEXEC.ORG, FDCONFIG.ORG, FDAUTO.ORG), in one write
// session. A file whose kept name is already taken stays as it is. pointed
// hears of every file that names A:.
Outcome PointFloppyPathsAtBootDrive(std::string_view root, std::vector<PointedFile>* pointed);

// The text for a Windows error code, as the system gives it ("The device is
// not ready."), with the codes above included.
std::string ErrorText(DWORD code);

}  // namespace larkin::volumetools

#endif
