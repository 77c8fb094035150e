// The kernel's side of a volume lock: the volume unmounted (what the
// desktop automounted is unmounted first) and opened exclusively, so that no
// mount and no other exclusive opener (mkfs.fat, another program) gets it.
#ifndef LARKIN_PLATFORM_LINUX_VOLUME_CLAIM_H
#define LARKIN_PLATFORM_LINUX_VOLUME_CLAIM_H

#include <string>
#include <vector>

#include "runtime/posix.h"
#include "system_use.h"

namespace larkin::platform::linuxhw {

class VolumeClaim {
  public:
    // node: the partition's device node, or the whole disk's where the
    // kernel made none. mounts: what is mounted from the volume now. A mount
    // that is not the automounter's, one that is busy, or a node another
    // program holds exclusively refuses the claim (ERROR_ACCESS_DENIED, as
    // a volume lock with files open is refused, with the reason in *why).
    static DWORD Take(const std::string& node, const std::vector<Mount>& mounts, VolumeClaim* claim,
                      std::string* why);
    VolumeClaim() = default;

    bool Held() const { return fd_.Valid(); }
    // Lets an outside program open the volume exclusively itself.
    void Release() { fd_.Reset(); }

  private:
    UniqueFd fd_;
};

// Unmounts what the automounter mounted from the volume; anything else
// mounted, or busy, is refused as above.
DWORD UnmountAutomounted(const std::vector<Mount>& mounts, std::string* why);

}  // namespace larkin::platform::linuxhw

#endif
