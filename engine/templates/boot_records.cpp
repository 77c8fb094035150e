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

}  // namespace larkin::templates
