// The console-style operations on the drive plugged in last: wipe its first
// sectors, or give it one FAT32 partition over the whole drive, formatted by
// mkdosfs. The drive is the first one of a fresh scan that BaselineTable
// does not list.
#ifndef TESSEL_PARTITION_PARTITION_OPERATIONS_H
#define TESSEL_PARTITION_PARTITION_OPERATIONS_H

#include <optional>

#include "devices/device_table.h"
#include "exports/tessel.h"

namespace tessel {

// Rows 0 .. count-1 of table: the first one IsNewDevice calls new.
std::optional<int> FindNewDevice(const DeviceTable& table, int count);
// The models the partition operations accept: friendly names beginning
// with "QM" in either case.
bool IsSupportedModel(const DeviceEntry& row);

// Clears the first 4,096 bytes of the new drive (Verran scan); BaselineTable
// is left as it was. 0, 1, 2, 5 or 6.
int ZeroPartitionInfo();
// One FAT32 partition over the new drive (Verran scan), progress through
// the callback, mkdosfs in a minimised console. 0 to 6.
int CreatePartition();
// The same through Corvid: the first 4,096 bytes cleared first, no progress,
// mkdosfs in the caller's console, a key awaited before 3. 0 to 6.
ATA_STATUS CreatePartitionCVD();

}  // namespace tessel

#endif
