#include "device_tree_index.h"

#include "text.h"

namespace larkin::platform {

DeviceTreeIndex::DeviceTreeIndex(DeviceTreeView tree)
    : tree_(std::move(tree)), place_(tree_->size()) {
    for (size_t i = 0; i < tree_->size(); ++i) {
        const DeviceNode& node = (*tree_)[i];
        byId_.emplace(Upper(node.instanceId), i);
        if (node.parentId.empty()) continue;
        auto& siblings = children_[Upper(node.parentId)];
        place_[i] = siblings.size();
        siblings.push_back(i);
    }
}

const DeviceNode* DeviceTreeIndex::Find(std::string_view id) const {
    auto found = byId_.find(Upper(id));
    return found == byId_.end() ? nullptr : &(*tree_)[found->second];
}

const std::vector<size_t>* DeviceTreeIndex::ChildrenOf(std::string_view id) const {
    auto found = children_.find(Upper(id));
    return found == children_.end() ? nullptr : &found->second;
}

size_t DeviceTreeIndex::PlaceOf(const DeviceNode& node) const {
    return place_[static_cast<size_t>(&node - tree_->data())];
}

}  // namespace larkin::platform
