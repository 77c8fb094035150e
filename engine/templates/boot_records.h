// The boot-record templates that the engine carries as BOOTREC resources.
// Each is one 512-byte sector ending in 55 AA; the bytes are assembled from
// bootcode/ at build time.
#ifndef LARKIN_ENGINE_TEMPLATES_BOOT_RECORDS_H
#define LARKIN_ENGINE_TEMPLATES_BOOT_RECORDS_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace larkin::templates {

inline constexpr std::size_t kSectorSize = 512;
using SectorBytes = std::array<std::uint8_t, kSectorSize>;

inline constexpr char kBootRecordType[] = "BOOTREC";

enum BootRecordId : std::uint16_t {
    kFreeDosBootSectorId = 109,  // FAT16 boot sector that loads KERNEL.SYS
    kMbrTemplateId = 111,        // master boot record, one active FAT16 (LBA) entry
    kDosBootSectorId = 112,      // FAT12 boot sector that loads IBMBIO.COM
};

extern const SectorBytes kMbrTemplate;
extern const SectorBytes kFreeDosBootSector;
extern const SectorBytes kDosBootSector;

}  // namespace larkin::templates

#endif
