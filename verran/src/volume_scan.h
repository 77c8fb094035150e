// Drive letters C: to Z: by the disks their volumes lie on.
#ifndef VERRAN_VOLUME_SCAN_H
#define VERRAN_VOLUME_SCAN_H

#include "inventory.h"

namespace verran {

// Refills letters: each disk number maps to the letters of the volumes with
// an extent on it, in letter order. A volume whose extents cannot be read
// ends the scan.
void ScanVolumes(DiskLetterMap& letters);

}  // namespace verran

#endif
