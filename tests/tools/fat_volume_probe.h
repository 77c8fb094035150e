// What the tests read back from a volume: its boot sector's fields, straight
// from the bytes, and fsck.fat's verdict on a copy of them.
#ifndef LARKIN_TESTS_TOOLS_FAT_VOLUME_PROBE_H
#define LARKIN_TESTS_TOOLS_FAT_VOLUME_PROBE_H

#include <cstdint>
#include <string>

namespace larkin::test {

struct BootSectorFields {
    bool read = false;
    uint16_t bytesPerSector = 0;
    uint8_t sectorsPerCluster = 0;
    uint16_t sectorsPerTrack = 0;
    uint16_t heads = 0;
    uint32_t hiddenSectors = 0;
    uint32_t totalSectors = 0;   // the 16-bit field, else the 32-bit one
    uint8_t driveNumber = 0;     // of the FAT12/16 or the FAT32 extended block
    std::string label;           // 11 characters as stored
    std::string fileSystemType;  // 8 characters as stored
};

// The boot sector of the volume with this letter ("E:").
BootSectorFields ReadBootSector(const std::string& drive);
// fsck.fat -n over a copy of the volume's bytes: its exit code (0 clean),
// and its output in output.
int CheckVolume(const std::string& drive, std::string* output);
// The boot sector's file system type, label (both as stored), hidden
// sectors, heads/sectors per track and drive number, then fsck.fat's
// verdict: "FAT16   |FREEDOS    |63|255/63|80|clean".
std::string VolumeSummary(const std::string& drive);
// The write journal, one line per entry ("stick1 32256+8356352 via mcopy"),
// for assertions that show what was written.
std::string JournalText();

}  // namespace larkin::test

#endif
