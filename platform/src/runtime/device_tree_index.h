// The device tree of one picture of the machine, with lookups by instance
// identifier and by parent; made once for each picture.
#ifndef LARKIN_PLATFORM_DEVICE_TREE_INDEX_H
#define LARKIN_PLATFORM_DEVICE_TREE_INDEX_H

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "machine/identities.h"

namespace larkin::platform {

class DeviceTreeIndex {
  public:
    explicit DeviceTreeIndex(DeviceTreeView tree);

    const DeviceTreeView& Tree() const { return tree_; }
    const DeviceNode* Find(std::string_view id) const;
    // The positions in the tree of a node's children, in tree order.
    const std::vector<size_t>* ChildrenOf(std::string_view id) const;
    // The position of the node among its siblings.
    size_t PlaceOf(const DeviceNode& node) const;

  private:
    DeviceTreeView tree_;
    std::unordered_map<std::string, size_t> byId_;  // upper-case identifier
    std::unordered_map<std::string, std::vector<size_t>> children_;
    std::vector<size_t> place_;
};

}  // namespace larkin::platform

#endif
