// The snapshot: adapters in the order the walk found them, each with its
// properties and its drives, and the drive letters of each disk number.
#ifndef VERRAN_INVENTORY_H
#define VERRAN_INVENTORY_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace verran {

// Name to value, ordered by the bytes of the names (std::string compares as
// unsigned char). Lookups are exact: letter case matters.
using PropertyMap = std::map<std::string, std::string, std::less<>>;
// Disk number in decimal to its volumes' letters, "E:;F:".
using DiskLetterMap = std::map<std::string, std::string, std::less<>>;

struct DriveRecord {
    PropertyMap properties;
};

struct AdapterRecord {
    PropertyMap properties;
    std::vector<DriveRecord> drives;
};

struct DiscInventory {
    std::vector<AdapterRecord> adapters;
    DiskLetterMap diskLetters;
};

// Inserts (name, value) when name is absent. When present, joinChar '\0'
// replaces the value; any other joinChar appends joinChar and value.
void AddProperty(std::map<std::string, std::string, std::less<>>& map, std::string_view name,
                 std::string_view value, char joinChar = '\0');

// The process-wide snapshot; null when there is none.
DiscInventory* CurrentInventory();
// Replaces the snapshot by an empty one and returns it.
DiscInventory& StartInventory();
void DestroyInventory();

}  // namespace verran

#endif
