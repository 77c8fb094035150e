// The fixed tables: the adapter classes a filter can select and the property
// names in their listing order.
#ifndef VERRAN_NAME_TABLES_H
#define VERRAN_NAME_TABLES_H

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "win32/windows.h"

namespace verran {

struct ClassFilterRow {
    std::string_view name;  // also the adapters' INTERFACE value
    const GUID* setupClass;
    bool rescanBus;  // rescan the adapter's bus before walking its drives
};

// In walk order for a filter that selects every class.
extern const std::array<ClassFilterRow, 4> ClassFilterTable;

// The tokens of a class filter: runs of anything but space, comma, tab and
// newline. A null or empty filter is "*".
std::vector<std::string> SplitClassFilter(const char* classFilter);
// A token selects a row by its name in any letter case; "*..." selects all.
bool TokenSelects(std::string_view token, const ClassFilterRow& row);

struct PropertyNameRow {
    DWORD code;  // SPDRP_ code, or one of the library's own codes below
    std::string_view name;
};

// Codes of the properties the library makes itself; the registry is never
// asked for them.
inline constexpr DWORD kDeviceNameCode = 36;
inline constexpr DWORD kInterfaceCode = 37;
inline constexpr DWORD kDeviceNumberCode = 38;
inline constexpr DWORD kMountInfoCode = 39;
inline constexpr bool IsOwnProperty(DWORD code) {
    return code >= kDeviceNameCode;
}

inline constexpr std::string_view kDeviceName = "DEVICE_NAME";
inline constexpr std::string_view kInterface = "INTERFACE";
inline constexpr std::string_view kDeviceNumber = "DEVICE_NUMBER";
inline constexpr std::string_view kMountInfo = "MOUNT_INFO";

extern const std::array<PropertyNameRow, 39> PropertyNameTable;

// Every name of PropertyNameTable in order, joined by ", "; built on first
// use and kept for the life of the library.
const std::string& PropertyNameList();

}  // namespace verran

#endif
