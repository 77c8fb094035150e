// The machine file: a TOML description of a simulated computer, read into
// plain records. Every mistake is reported with the file, line and key.
#ifndef LARKIN_PLATFORM_SIM_MACHINE_FILE_H
#define LARKIN_PLATFORM_SIM_MACHINE_FILE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "win32/base.h"

namespace larkin::platform::sim {

struct PropertyEntry {
    bool absent = false;
    DWORD type = 1;  // REG_SZ
    std::vector<BYTE> data;
};

struct PartitionEntry {
    uint8_t type = 0x0C;
    uint64_t start = 2048;
    std::optional<uint64_t> sectors;
    bool active = false;
    std::string format;  // "", "FAT12", "FAT16" or "FAT32"
    std::string label;
};

struct VolumeEntry {
    std::string letter;  // "E:" or ""
    std::vector<std::string> folders;
};

struct DiskEntry {
    std::string id;
    std::string image;  // path, resolved against the state folder
    uint64_t size = 0;
    uint32_t heads = 255;
    uint32_t sectorsPerTrack = 63;
    bool removable = false;
    std::string vendor, product, revision, serial, friendlyName;
    std::optional<uint8_t> target;  // set by the reader: given, or the disk's position
    bool present = true;
    bool media = true;
    bool modePage5 = true;
    bool answers = true;  // false: a SCSI command waits out its time-out
    bool system = false;
    std::vector<VolumeEntry> volumes;
    std::map<std::string, PropertyEntry> properties;
    std::vector<PartitionEntry> partitions;
    size_t adapter = 0;  // index into MachineDescription::adapters
};

struct AdapterEntry {
    std::string id;
    std::string cls;   // "ATA", "SCSIADAPTER", "USB"
    std::string kind;  // USB: "mass-storage" or "hub"
    std::string description;
    std::string instanceId;
    std::string parent;
    bool storagePort = true;
    bool aspi = false;
    uint8_t scsiId = 7;
    std::map<std::string, PropertyEntry> properties;
    std::vector<size_t> disks;  // indexes into MachineDescription::disks
};

struct FloppyEntry {
    std::string image;
    uint64_t size = 1474560;
    bool format = true;
};

struct MachineDescription {
    std::string file;
    std::string name;
    std::string windowsDir = "C:\\WINDOWS";
    std::string stateDir;
    double timeScale = 1.0;
    std::optional<FloppyEntry> floppy;
    std::vector<AdapterEntry> adapters;
    std::vector<DiskEntry> disks;
    std::vector<larkin::controls::Fault> faults;
};

// Reads and checks the machine file at path. Touches nothing on disk.
std::optional<MachineDescription> LoadMachineFile(const std::string& path, std::string* error);
// The same for a machine file's text; path names it in messages and places
// the state folder.
std::optional<MachineDescription> ParseMachineText(std::string_view text, const std::string& path,
                                                   std::string* error);

// "1GiB", "64MiB", "2GB", "512" -> bytes; nothing when the text is no size
// or the bytes do not fit in 64 bits.
std::optional<uint64_t> ParseSize(std::string_view text);

// Ids of disks and adapters: 1 to 64 letters, digits, '.', '_' and '-',
// starting with a letter or digit. They are words of the state file and
// the journal, and arguments of simctl.
bool IsValidId(std::string_view id);

// The sizes of real floppy disks, from 160 KiB to 2.88 MB.
bool IsFloppySize(uint64_t bytes);

inline constexpr uint64_t kMaxDiskBytes = uint64_t{1} << 44;  // 16 TiB
// A machine file is a page or two of text; one past this is not one.
inline constexpr size_t kMaxMachineFileBytes = 1024 * 1024;

}  // namespace larkin::platform::sim

#endif
