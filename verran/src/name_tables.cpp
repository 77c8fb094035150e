#include "name_tables.h"

namespace verran {

const std::array<ClassFilterRow, 4> ClassFilterTable = {{
    {"ATA", &GUID_DEVCLASS_HDC, false},
    {"SCSIADAPTER", &GUID_DEVCLASS_SCSIADAPTER, false},
    {"SCSI", &GUID_DEVCLASS_SCSIADAPTER, true},
    {"USB", &GUID_DEVCLASS_USB, false},
}};

const std::array<PropertyNameRow, 39> PropertyNameTable = {{
    {kDeviceNameCode, kDeviceName},
    {kDeviceNumberCode, kDeviceNumber},
    {kInterfaceCode, kInterface},
    {SPDRP_DEVICEDESC, "DEVICEDESC"},
    {kMountInfoCode, kMountInfo},
    {SPDRP_HARDWAREID, "HARDWAREID"},
    {SPDRP_COMPATIBLEIDS, "COMPATIBLEIDS"},
    {SPDRP_UNUSED0, "UNUSED0"},
    {SPDRP_SERVICE, "SERVICE"},
    {SPDRP_UNUSED1, "UNUSED1"},
    {SPDRP_UNUSED2, "UNUSED2"},
    {SPDRP_CLASS, "CLASS"},
    {SPDRP_CLASSGUID, "CLASSGUID"},
    {SPDRP_DRIVER, "DRIVER"},
    {SPDRP_CONFIGFLAGS, "CONFIGFLAGS"},
    {SPDRP_MFG, "MFG"},
    {SPDRP_FRIENDLYNAME, "FRIENDLYNAME"},
    {SPDRP_LOCATION_INFORMATION, "LOCATION_INFORMATION"},
    {SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, "PHYSICAL_DEVICE_OBJECT_NAME"},
    {SPDRP_CAPABILITIES, "CAPABILITIES"},
    {SPDRP_UI_NUMBER, "UI_NUMBER"},
    {SPDRP_UPPERFILTERS, "UPPERFILTERS"},
    {SPDRP_LOWERFILTERS, "LOWERFILTERS"},
    {SPDRP_BUSTYPEGUID, "BUSTYPEGUID"},
    {SPDRP_LEGACYBUSTYPE, "LEGACYBUSTYPE"},
    {SPDRP_BUSNUMBER, "BUSNUMBER"},
    {SPDRP_ENUMERATOR_NAME, "ENUMERATOR_NAME"},
    {SPDRP_SECURITY, "SECURITY"},
    {SPDRP_SECURITY_SDS, "SECURITY_SDS"},
    {SPDRP_DEVTYPE, "DEVTYPE"},
    {SPDRP_EXCLUSIVE, "EXCLUSIVE"},
    {SPDRP_CHARACTERISTICS, "CHARACTERISTICS"},
    {SPDRP_ADDRESS, "ADDRESS"},
    {SPDRP_UI_NUMBER_DESC_FORMAT, "UI_NUMBER_DESC_FORMAT"},
    {SPDRP_DEVICE_POWER_DATA, "DEVICE_POWER_DATA"},
    {SPDRP_REMOVAL_POLICY, "REMOVAL_POLICY"},
    {SPDRP_REMOVAL_POLICY_HW_DEFAULT, "REMOVAL_POLICY_HW_DEFAULT"},
    {SPDRP_REMOVAL_POLICY_OVERRIDE, "REMOVAL_POLICY_OVERRIDE"},
    {SPDRP_INSTALL_STATE, "INSTALL_STATE"},
}};

const std::string& PropertyNameList() {
    static const std::string list = [] {
        std::string joined;
        for (const auto& row : PropertyNameTable) {
            if (!joined.empty()) joined += ", ";
            joined += row.name;
        }
        return joined;
    }();
    return list;
}

}  // namespace verran
