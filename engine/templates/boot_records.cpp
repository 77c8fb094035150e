#include "templates/boot_records.h"

namespace larkin::templates {

const SectorBytes kMbrTemplate = {
#include "bootrec-111.inc"
};

const SectorBytes kFreeDosBootSector = {
#include "bootrec-109.inc"
};

const SectorBytes kDosBootSector = {
#include "bootrec-112.inc"
};

std::span<const std::uint8_t> BuiltInBootRecord(std::uint16_t id) {
    switch (id) {
        case kMbrTemplateId:
            return kMbrTemplate;
        case kFreeDosBootSectorId:
            return kFreeDosBootSector;
        case kDosBootSectorId:
            return kDosBootSector;
        default:
            return {};
    }
}

}  // namespace larkin::templates
