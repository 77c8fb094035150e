#include "queries.h"

#include <array>
#include <string_view>

#include "inventory.h"
#include "name_tables.h"

namespace verran {

namespace {

constexpr const char* kUnknown = "<Unknown>";
constexpr std::array<const char*, 4> kAdapterFallbacks = {"FRIENDLYNAME", "DEVICEDESC", "CLASS",
                                                          "CLASSGUID"};
constexpr std::array<const char*, 5> kDriveFallbacks = {"MOUNT_INFO", "FRIENDLYNAME", "DEVICEDESC",
                                                        "CLASS", "CLASSGUID"};

const AdapterRecord* FindAdapter(DWORD adapterIndex) {
    const DiscInventory* inventory = CurrentInventory();
    if (inventory == nullptr || adapterIndex >= inventory->adapters.size()) return nullptr;
    return &inventory->adapters[adapterIndex];
}

const DriveRecord* FindDrive(DWORD adapterIndex, DWORD driveIndex) {
    const AdapterRecord* adapter = FindAdapter(adapterIndex);
    if (adapter == nullptr || driveIndex >= adapter->drives.size()) return nullptr;
    return &adapter->drives[driveIndex];
}

const char* Lookup(const PropertyMap* properties, const char* name) {
    if (properties == nullptr) return kEmptyText;
    if (name == nullptr) return PropertyNameList().c_str();
    auto found = properties->find(std::string_view(name));
    return found == properties->end() ? kEmptyText : found->second.c_str();
}

template <size_t N>
const char* Describe(const PropertyMap* properties, const std::array<const char*, N>& fallbacks) {
    for (const char* name : fallbacks)
        if (const char* value = Lookup(properties, name); *value != '\0') return value;
    return kUnknown;
}

const PropertyMap* AdapterProperties(DWORD adapterIndex) {
    const AdapterRecord* adapter = FindAdapter(adapterIndex);
    return adapter ? &adapter->properties : nullptr;
}

const PropertyMap* DriveProperties(DWORD adapterIndex, DWORD driveIndex) {
    const DriveRecord* drive = FindDrive(adapterIndex, driveIndex);
    return drive ? &drive->properties : nullptr;
}

}  // namespace

DWORD AdapterCount() {
    const DiscInventory* inventory = CurrentInventory();
    return inventory ? static_cast<DWORD>(inventory->adapters.size()) : 0;
}

DWORD DriveCount(DWORD adapterIndex) {
    const AdapterRecord* adapter = FindAdapter(adapterIndex);
    return adapter ? static_cast<DWORD>(adapter->drives.size()) : 0;
}

const char* AdapterInfo(DWORD adapterIndex, const char* propertyName) {
    return Lookup(AdapterProperties(adapterIndex), propertyName);
}

const char* DriveInfo(DWORD adapterIndex, DWORD driveIndex, const char* propertyName) {
    return Lookup(DriveProperties(adapterIndex, driveIndex), propertyName);
}

const char* AdapterDescription(DWORD adapterIndex) {
    return Describe(AdapterProperties(adapterIndex), kAdapterFallbacks);
}

const char* DriveDescription(DWORD adapterIndex, DWORD driveIndex) {
    return Describe(DriveProperties(adapterIndex, driveIndex), kDriveFallbacks);
}

}  // namespace verran
