// This computer's own hardware. Enumeration through udev, block devices and
// SCSI generic pass-through come in a later step; until then the machine
// shows no storage, and nothing can be written by mistake.
#include "core/runtime.h"

namespace larkin::platform {

std::unique_ptr<Backend> MakeLinuxBackend(std::string* error) {
    *error =
        "this computer's hardware is not supported yet; name a machine file with LARKIN_MACHINE "
        "or --machine (machines/demo.toml is the demo machine)";
    return nullptr;
}

}  // namespace larkin::platform
