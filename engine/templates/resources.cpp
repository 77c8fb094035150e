// The BOOTREC resources of the Tessel library.
#include <win32/modules.h>

#include "templates/boot_records.h"

using namespace larkin::templates;

LARKIN_RESOURCE_TABLE = {
    {kBootRecordType, kMbrTemplateId, kMbrTemplate.data(), kSectorSize},
    {kBootRecordType, kFreeDosBootSectorId, kFreeDosBootSector.data(), kSectorSize},
    {kBootRecordType, kDosBootSectorId, kDosBootSector.data(), kSectorSize},
    {NULL, 0, NULL, 0},
};
