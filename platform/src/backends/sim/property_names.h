// The device registry property names, indexed by their SPDRP code, as the
// machine file spells them.
#ifndef LARKIN_PLATFORM_SIM_PROPERTY_NAMES_H
#define LARKIN_PLATFORM_SIM_PROPERTY_NAMES_H

#include <optional>
#include <string_view>

#include "win32/base.h"

namespace larkin::platform::sim {

inline constexpr const char* kPropertyNames[] = {"DEVICEDESC",
                                                 "HARDWAREID",
                                                 "COMPATIBLEIDS",
                                                 "UNUSED0",
                                                 "SERVICE",
                                                 "UNUSED1",
                                                 "UNUSED2",
                                                 "CLASS",
                                                 "CLASSGUID",
                                                 "DRIVER",
                                                 "CONFIGFLAGS",
                                                 "MFG",
                                                 "FRIENDLYNAME",
                                                 "LOCATION_INFORMATION",
                                                 "PHYSICAL_DEVICE_OBJECT_NAME",
                                                 "CAPABILITIES",
                                                 "UI_NUMBER",
                                                 "UPPERFILTERS",
                                                 "LOWERFILTERS",
                                                 "BUSTYPEGUID",
                                                 "LEGACYBUSTYPE",
                                                 "BUSNUMBER",
                                                 "ENUMERATOR_NAME",
                                                 "SECURITY",
                                                 "SECURITY_SDS",
                                                 "DEVTYPE",
                                                 "EXCLUSIVE",
                                                 "CHARACTERISTICS",
                                                 "ADDRESS",
                                                 "UI_NUMBER_DESC_FORMAT",
                                                 "DEVICE_POWER_DATA",
                                                 "REMOVAL_POLICY",
                                                 "REMOVAL_POLICY_HW_DEFAULT",
                                                 "REMOVAL_POLICY_OVERRIDE",
                                                 "INSTALL_STATE"};

inline std::optional<DWORD> PropertyCode(std::string_view name) {
    for (DWORD code = 0; code < std::size(kPropertyNames); ++code)
        if (name == kPropertyNames[code]) return code;
    return std::nullopt;
}

}  // namespace larkin::platform::sim

#endif
