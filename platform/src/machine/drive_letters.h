// Disk numbers and drive letters that stay with the device. The first time
// a disk or a volume is seen it takes the lowest free number or letter and
// keeps it, so that a re-plug, or another stick coming and going, does not
// shuffle them. Every process reads and writes the same record.
#ifndef LARKIN_PLATFORM_DRIVE_LETTERS_H
#define LARKIN_PLATFORM_DRIVE_LETTERS_H

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace larkin::platform {

struct Assignments {
    std::map<std::string, uint32_t> diskNumbers;  // by disk key
    std::map<std::string, char> letters;          // by volume key
};

// One "disk NUMBER KEY" or "letter L KEY" line each. Lines that cannot be
// read, and a second claim on a number or letter, are dropped.
std::string FormatAssignments(const Assignments& book);
Assignments ParseAssignments(std::string_view text);

// The disk a volume key belongs to: the key up to its last colon (volume
// keys are the disk's key, a colon and the volume's place on it).
std::string DiskOfVolume(std::string_view volume);

// Gives each present disk a number (the system disk 0 when it is free) and
// each present volume a letter: C: for the system volume, the others from
// D: on. What is already given stays. A new disk number is the lowest free,
// else that of a disk that is not present. A new volume takes the lowest
// letter an absent volume of its own disk had, else the lowest free one;
// never a letter remembered for another disk, so a letter does not move
// from one drive to another. The letters run out at Z: (later volumes get
// none).
void Assign(Assignments& book, std::span<const std::string> disks,
            const std::optional<std::string>& systemDisk, std::span<const std::string> volumes,
            const std::optional<std::string>& systemVolume);

// The record in file, updated by Assign under an exclusive lock of it.
// Without a file that can be written, the assignment is made in memory from
// an empty record (numbers and letters then follow the present order).
Assignments AssignInFile(const std::string& file, std::span<const std::string> disks,
                         const std::optional<std::string>& systemDisk,
                         std::span<const std::string> volumes,
                         const std::optional<std::string>& systemVolume);

}  // namespace larkin::platform

#endif
