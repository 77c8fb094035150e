// The BOOTREC resources of the Tessel library. A Windows build takes them
// from tessel.rc instead, which names the same ids.
#ifndef _WIN32

#include "larkin/exports.h"
#include "templates/boot_records.h"

using namespace larkin::templates;

LARKIN_RESOURCE_TABLE = {
    {kBootRecordType, kMbrTemplateId, kMbrTemplate.data(), kSectorSize},
    {kBootRecordType, kFreeDosBootSectorId, kFreeDosBootSector.data(), kSectorSize},
    {kBootRecordType, kDosBootSectorId, kDosBootSector.data(), kSectorSize},
    {NULL, 0, NULL, 0},
};

#endif
