#include "inventory.h"

namespace verran {

namespace {

std::unique_ptr<DiscInventory>& Snapshot() {
    static std::unique_ptr<DiscInventory> snapshot;
    return snapshot;
}

}  // namespace

void AddProperty(std::map<std::string, std::string, std::less<>>& map, std::string_view name,
                 std::string_view value, char joinChar) {
    auto found = map.find(name);
    if (found == map.end()) {
        map.emplace(std::string(name), std::string(value));
    } else if (joinChar == '\0') {
        found->second.assign(value);
    } else {
        found->second.push_back(joinChar);
        found->second.append(value);
    }
}

DiscInventory* CurrentInventory() {
    return Snapshot().get();
}

DiscInventory& StartInventory() {
    Snapshot().reset();
    Snapshot() = std::make_unique<DiscInventory>();
    return *Snapshot();
}

void DestroyInventory() {
    Snapshot().reset();
}

}  // namespace verran
