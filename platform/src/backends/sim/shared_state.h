// The part of a simulated machine that every process using it shares, kept
// in its state folder: which disks are plugged in and the partitions of each
// disk as the system last read them.
#ifndef LARKIN_PLATFORM_SIM_SHARED_STATE_H
#define LARKIN_PLATFORM_SIM_SHARED_STATE_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "machine/partition_table.h"
#include "win32/base.h"

namespace larkin::platform::sim {

struct DiskState {
    bool present = true;
    // None until the system first reads the disk's table.
    std::optional<std::vector<PartitionExtent>> partitions;
    bool operator==(const DiskState&) const = default;
};

struct MachineState {
    std::map<std::string, DiskState> disks;  // by disk id
    bool operator==(const MachineState&) const = default;
};

class SharedState {
  public:
    explicit SharedState(std::string folder);

    // The state as saved, read again only when another process changed it.
    const MachineState& Current();
    // The state as last read, without asking whether it changed since.
    const MachineState& Loaded() const { return state_; }
    // Grows whenever the state read or written here changes.
    uint64_t Generation() const { return generation_; }
    // Applies change to the saved state under the folder's lock. When the
    // change cannot be stored, nothing changes and the reason is returned.
    std::optional<std::string> Update(const std::function<void(MachineState&)>& change);

  private:
    void Load();
    std::optional<std::string> Save(const MachineState& state);

    std::string folder_;
    MachineState state_;
    int64_t loadedStamp_ = -1;
    uint64_t generation_ = 0;
};

}  // namespace larkin::platform::sim

#endif
