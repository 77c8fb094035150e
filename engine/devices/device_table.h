// What the engine knows about attached USB drives: fixed tables of ten rows
// of three texts, each table with a signed count beside it.
#ifndef TESSEL_DEVICES_DEVICE_TABLE_H
#define TESSEL_DEVICES_DEVICE_TABLE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tessel {

inline constexpr std::size_t kDriveNameSize = 256;
inline constexpr std::size_t kFriendlyNameSize = 128;
inline constexpr std::size_t kMountInfoSize = 36;
inline constexpr int kTableRows = 10;

// One attached drive; every field is NUL-terminated within its width.
struct DeviceEntry {
    char driveName[kDriveNameSize];
    char friendlyName[kFriendlyNameSize];
    char mountInfo[kMountInfoSize];
};

// count is what the enumeration service reported, limited to the ten rows
// (it can be 0 or, from Corvid, negative); only rows below it are meaningful.
struct DeviceTable {
    std::array<DeviceEntry, kTableRows> rows;
    std::int32_t count;
};

// Process-wide, zero at load.
extern DeviceTable CurrentTable;
extern DeviceTable BaselineTable;
extern DeviceTable ProbeTable;

// Copies text into field, cut to the field's width less the NUL.
void CopyField(std::span<char> field, std::string_view text);
// The field's text up to its NUL (or its whole width, should it lack one).
std::string_view FieldText(std::span<const char> field);
void ClearRows(DeviceTable& table);
// A service's count limited to the table's rows: drives beyond the tenth are
// dropped.
std::int32_t LimitToRows(std::int64_t count);
// True when index names a row below the table's count.
bool IsListedRow(const DeviceTable& table, int index);
// ASCII letters compared without regard to case.
bool EqualIgnoringCase(std::string_view a, std::string_view b);

}  // namespace tessel

#endif
