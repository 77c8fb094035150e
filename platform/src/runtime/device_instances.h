// Device instance handles (DEVINST): stable numbers for instance
// identifiers, valid for the life of the process, so a number handed out
// before a restart of the machine still names the same identifier after it.
#ifndef LARKIN_PLATFORM_DEVICE_INSTANCES_H
#define LARKIN_PLATFORM_DEVICE_INSTANCES_H

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "win32/devices.h"

namespace larkin::platform {

class DeviceInstances {
  public:
    // The number of the identifier (in any case), given on first sight.
    DEVINST For(const std::string& instanceId);
    std::optional<std::string> Id(DEVINST devInst);

  private:
    std::mutex mutex_;
    std::map<std::string, DEVINST> numbers_;  // by upper-case identifier
    std::vector<std::string> ids_;            // number - 1 to identifier
};

}  // namespace larkin::platform

#endif
