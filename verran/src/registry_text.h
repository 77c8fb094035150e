// Device registry properties as text.
#ifndef VERRAN_REGISTRY_TEXT_H
#define VERRAN_REGISTRY_TEXT_H

#include <optional>
#include <span>
#include <string>

#include "inventory.h"
#include "win32/windows.h"

namespace verran {

// Data made only of NUL and printable bytes is text, up to its first NUL (a
// multi-string yields its first string); anything else is its bytes in
// lower-case hex pairs separated by single spaces.
std::string RegistryDataText(std::span<const BYTE> data);

// One property of device, or nothing when the registry does not deliver it.
std::optional<std::string> ReadRegistryProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA& device,
                                                DWORD code);

// Every registry property of PropertyNameTable into map, by name. With no
// device, the set's first device is read.
void ReadAllRegistryProperties(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, PropertyMap& map);

}  // namespace verran

#endif
