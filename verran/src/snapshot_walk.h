// Taking the snapshot: the adapters of the selected classes, the disks
// directly below each, and their properties.
#ifndef VERRAN_SNAPSHOT_WALK_H
#define VERRAN_SNAPSHOT_WALK_H

#include "inventory.h"
#include "name_tables.h"
#include "win32/windows.h"

namespace verran {

// Replaces the snapshot by a new one of the classes classFilter selects.
// 0, or the first platform error that ended the walk; what was gathered
// before it stays in the snapshot.
INT TakeSnapshot(const char* classFilter);

// Adds every adapter of classSet (the present devices of row's class) with
// its drives. 0 at the end of the list, else the error that ended it.
INT WalkAdapterClass(DiscInventory& inventory, const ClassFilterRow& row, HDEVINFO classSet);

// Adds the disks among the direct children of adapterNode to adapter. 0, -1
// for a configuration-manager failure, or a platform error.
INT WalkDrives(AdapterRecord& adapter, const DiskLetterMap& letters, DEVINST adapterNode);

}  // namespace verran

#endif
