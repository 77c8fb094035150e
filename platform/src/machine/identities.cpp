#include "identities.h"

#include <algorithm>
#include <cstring>
#include <sstream>

#include "runtime/text.h"
#include "win32/devices.h"

namespace larkin::platform {

namespace {

std::string Hex(uint64_t value, int digits) {
    std::ostringstream out;
    out << std::uppercase << std::hex;
    out.width(digits);
    out.fill('0');
    out << (value & ((digits >= 16) ? ~0ull : ((1ull << (4 * digits)) - 1)));
    return out.str();
}

// A text padded with blanks to width, blanks shown as '_', as in IDE ids.
std::string Padded(std::string text, size_t width) {
    text.resize(width, ' ');
    for (char& c : text)
        if (c == ' ') c = '_';
    return text;
}

// Upper case, trailing blanks dropped, inner ones as '_': an id component.
std::string Compact(const std::string& text) {
    std::string out = Upper(text);
    while (!out.empty() && out.back() == ' ') out.pop_back();
    for (char& c : out)
        if (c == ' ') c = '_';
    return out;
}

std::string InterfacePath(const std::string& instanceId, const GUID& interfaceClass) {
    std::string path = Lower(instanceId);
    std::replace(path.begin(), path.end(), '\\', '#');
    return "\\\\?\\" + path + "#" + GuidText(interfaceClass);
}

RegistryValue Text(const std::string& text) {
    RegistryValue value{REG_SZ, {text.begin(), text.end()}};
    value.data.push_back(0);
    return value;
}

RegistryValue MultiText(const std::vector<std::string>& texts) {
    RegistryValue value{REG_MULTI_SZ, {}};
    for (const auto& text : texts) {
        value.data.insert(value.data.end(), text.begin(), text.end());
        value.data.push_back(0);
    }
    value.data.push_back(0);
    return value;
}

RegistryValue Number(uint32_t number) {
    RegistryValue value{REG_DWORD, {}};
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<BYTE>(number >> (8 * i)));
    return value;
}

RegistryValue Binary(const GUID& guid) {
    RegistryValue value{REG_BINARY, std::vector<BYTE>(sizeof(GUID))};
    std::memcpy(value.data.data(), &guid, sizeof(GUID));
    return value;
}

const GUID kPciBus = {0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};
const GUID kUsbBus = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

const GUID& SetupClass(Bus bus) {
    switch (bus) {
        case Bus::Ata:
            return GUID_DEVCLASS_HDC;
        case Bus::Scsi:
            return GUID_DEVCLASS_SCSIADAPTER;
        case Bus::Usb:
            break;
    }
    return GUID_DEVCLASS_USB;
}

void ApplyOverrides(std::map<DWORD, RegistryValue>& properties,
                    const PropertyOverrides& overrides) {
    for (const auto& [code, value] : overrides) {
        if (value.absent)
            properties.erase(code);
        else
            properties[code] = RegistryValue{value.type, value.data};
    }
}

std::string AdapterInstanceId(const AdapterFacts& adapter) {
    if (!adapter.instanceId.empty()) return adapter.instanceId;
    std::string hash = Hex(Fnv(adapter.key), 8);
    switch (adapter.bus) {
        case Bus::Ata:
            return "PCIIDE\\IDECHANNEL\\4&" + hash + "&0&" + std::to_string(adapter.index);
        case Bus::Scsi:
            return "PCI\\VEN_1000&DEV_0030&SUBSYS_00000000&REV_01\\3&" + hash + "&0&" +
                   Hex(adapter.index * 8, 2);
        case Bus::Usb:
            break;
    }
    if (adapter.hub) return "USB\\ROOT_HUB20\\4&" + hash + "&0";
    return "USB\\VID_" + Hex(adapter.usbVendorId, 4) + "&PID_" + Hex(adapter.usbProductId, 4) +
           "\\" + Compact(adapter.serial);
}

std::string DiskInstanceId(const DiskFacts& disk, Bus bus) {
    std::string v = Compact(disk.vendor), p = Compact(disk.product), r = Compact(disk.revision);
    std::string hash = Hex(Fnv(disk.key), 8);
    std::string target = std::to_string(disk.target);
    switch (bus) {
        case Bus::Usb:
            return "USBSTOR\\DISK&VEN_" + v + "&PROD_" + p + "&REV_" + r + "\\" +
                   Compact(disk.serial) + "&0";
        case Bus::Ata:
            return "IDE\\DISK" + Padded(Upper(disk.vendor + " " + disk.product), 40) +
                   Padded(Upper(disk.revision), 8) + "\\5&" + hash + "&0&0." + target + ".0";
        case Bus::Scsi:
            break;
    }
    return "SCSI\\DISK&VEN_" + v + "&PROD_" + p + "&REV_" + r + "\\4&" + hash + "&0&00" + target +
           "0";
}

std::map<DWORD, RegistryValue> AdapterProperties(const AdapterFacts& adapter,
                                                 const std::string& instanceId) {
    std::map<DWORD, RegistryValue> p;
    uint32_t index = adapter.index;
    std::string classGuid = GuidText(SetupClass(adapter.bus));
    p[SPDRP_DEVICEDESC] = Text(adapter.description);
    p[SPDRP_CLASSGUID] = Text(classGuid);
    p[SPDRP_DRIVER] = Text(classGuid + "\\" + Hex(index, 4));
    p[SPDRP_CONFIGFLAGS] = Number(0);
    p[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = Text("\\Device\\NTPNP_" + Hex(0x10 + index, 8));
    p[SPDRP_BUSNUMBER] = Number(0);
    p[SPDRP_INSTALL_STATE] = Number(0);
    p[SPDRP_ADDRESS] = Number(index);
    if (adapter.bus != Bus::Usb) {
        bool ata = adapter.bus == Bus::Ata;
        p[SPDRP_HARDWAREID] =
            MultiText(ata ? std::vector<std::string>{"PCI\\VEN_8086&DEV_7010&CC_0101",
                                                     "PCI\\VEN_8086&DEV_7010"}
                          : std::vector<std::string>{"PCI\\VEN_1000&DEV_0030&CC_0100",
                                                     "PCI\\VEN_1000&DEV_0030"});
        p[SPDRP_COMPATIBLEIDS] = MultiText({ata ? "PCI\\CC_0101" : "PCI\\CC_0100", "PCI\\CC_01"});
        p[SPDRP_SERVICE] = Text(ata ? "atapi" : "lsi_scsi");
        p[SPDRP_CLASS] = Text(ata ? "hdc" : "SCSIAdapter");
        p[SPDRP_MFG] = Text(ata ? "(Standard IDE ATA/ATAPI controllers)" : "LSI Logic");
        p[SPDRP_LOCATION_INFORMATION] =
            Text("PCI bus 0, device " + std::to_string(index + 1) + ", function 0");
        p[SPDRP_CAPABILITIES] = Number(0x00000000);
        p[SPDRP_BUSTYPEGUID] = Binary(kPciBus);
        p[SPDRP_LEGACYBUSTYPE] = Number(5);  // PCIBus
        p[SPDRP_ENUMERATOR_NAME] = Text(ata ? "PCIIDE" : "PCI");
        p[SPDRP_REMOVAL_POLICY] = Number(1);  // not removable
    } else {
        bool hub = adapter.hub;
        std::string id = instanceId.substr(0, instanceId.rfind('\\'));
        p[SPDRP_HARDWAREID] = MultiText({id + "&REV_0100", id});
        p[SPDRP_COMPATIBLEIDS] =
            MultiText(hub ? std::vector<std::string>{"USB\\Class_09&SubClass_00", "USB\\Class_09"}
                          : std::vector<std::string>{"USB\\Class_08&SubClass_06&Prot_50",
                                                     "USB\\Class_08&SubClass_06", "USB\\Class_08"});
        p[SPDRP_SERVICE] = Text(hub ? "usbhub" : "USBSTOR");
        p[SPDRP_CLASS] = Text("USB");
        p[SPDRP_MFG] =
            Text(hub ? "(Standard USB Host Controller)" : "Compatible USB storage device");
        p[SPDRP_LOCATION_INFORMATION] = Text("Port_#" + Hex(index + 1, 4) + ".Hub_#0001");
        p[SPDRP_CAPABILITIES] = Number(hub ? 0x00 : 0x94);
        p[SPDRP_UI_NUMBER] = Number(index + 1);
        p[SPDRP_BUSTYPEGUID] = Binary(kUsbBus);
        p[SPDRP_LEGACYBUSTYPE] = Number(0xFFFFFFFF);
        p[SPDRP_ENUMERATOR_NAME] = Text("USB");
        p[SPDRP_REMOVAL_POLICY] = Number(hub ? 1 : 3);  // surprise removal for sticks
        p[SPDRP_DEVICE_POWER_DATA] = RegistryValue{REG_BINARY, {0x2C, 0, 0, 0, 0x01, 0, 0, 0}};
    }
    ApplyOverrides(p, adapter.overrides);
    return p;
}

std::map<DWORD, RegistryValue> DiskProperties(const DiskFacts& disk, Bus bus) {
    std::map<DWORD, RegistryValue> p;
    std::string classGuid = GuidText(GUID_DEVCLASS_DISKDRIVE);
    std::string enumerator = bus == Bus::Usb ? "USBSTOR" : bus == Bus::Ata ? "IDE" : "SCSI";
    std::string vendor8 = Padded(disk.vendor, 8), product16 = Padded(disk.product, 16);
    std::string revision1 = disk.revision.substr(0, 1);
    p[SPDRP_DEVICEDESC] = Text("Disk drive");
    p[SPDRP_HARDWAREID] =
        MultiText({enumerator + "\\Disk" + vendor8 + product16 + disk.revision,
                   enumerator + "\\Disk" + vendor8 + product16, enumerator + "\\Disk" + vendor8,
                   enumerator + "\\" + vendor8 + product16 + revision1,
                   vendor8 + product16 + revision1, enumerator + "\\GenDisk", "GenDisk"});
    p[SPDRP_COMPATIBLEIDS] = MultiText({enumerator + "\\Disk", enumerator + "\\RAW"});
    p[SPDRP_SERVICE] = Text("disk");
    p[SPDRP_CLASS] = Text("DiskDrive");
    p[SPDRP_CLASSGUID] = Text(classGuid);
    p[SPDRP_DRIVER] = Text(classGuid + "\\" + Hex(disk.number, 4));
    p[SPDRP_CONFIGFLAGS] = Number(0);
    p[SPDRP_MFG] = Text("(Standard disk drives)");
    std::string friendly = disk.friendlyName;
    if (friendly.empty()) friendly = disk.vendor + " " + disk.product + " USB Device";
    p[SPDRP_FRIENDLYNAME] = Text(friendly);
    p[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = Text("\\Device\\" + Hex(0x40 + disk.number, 8));
    p[SPDRP_CAPABILITIES] = Number(disk.removable ? 0x10 : 0x00);
    p[SPDRP_ENUMERATOR_NAME] = Text(enumerator);
    p[SPDRP_ADDRESS] = Number(disk.target);
    p[SPDRP_REMOVAL_POLICY] = Number(disk.removable ? 3 : 1);
    p[SPDRP_REMOVAL_POLICY_HW_DEFAULT] = Number(disk.removable ? 3 : 1);
    p[SPDRP_INSTALL_STATE] = Number(0);
    p[SPDRP_BUSNUMBER] = Number(0);
    p[SPDRP_LEGACYBUSTYPE] = Number(bus == Bus::Usb ? 0xFFFFFFFF : 5);
    p[SPDRP_BUSTYPEGUID] = Binary(bus == Bus::Usb ? kUsbBus : kPciBus);
    ApplyOverrides(p, disk.overrides);
    return p;
}

}  // namespace

std::string VolumeGuidName(std::string_view key) {
    uint64_t a = Fnv(key), b = Fnv(key, a);
    std::string text = Lower(Hex(a >> 32, 8) + "-" + Hex(a >> 16, 4) + "-" + Hex(a, 4) + "-" +
                             Hex(b >> 48, 4) + "-" + Hex(b, 12));
    return "\\\\?\\Volume{" + text + "}\\";
}

const DiskInfo* MachineView::Disk(uint32_t number) const {
    for (const auto& disk : disks)
        if (disk.number == number) return &disk;
    return nullptr;
}

const VolumeInfo* MachineView::Volume(std::string_view name) const {
    for (const auto& volume : volumes)
        if (volume.name == name) return &volume;
    return nullptr;
}

const DeviceNode* MachineView::Node(std::string_view instanceId) const {
    for (const auto& node : tree)
        if (EqualsNoCase(node.instanceId, instanceId)) return &node;
    return nullptr;
}

std::shared_ptr<const MachineView> BuildView(const MachineFacts& facts, uint64_t generation) {
    auto view = std::make_shared<MachineView>();
    view->generation = generation;
    view->windowsDirectory = facts.windowsDirectory;

    DeviceNode root;
    root.instanceId = "HTREE\\ROOT\\0";
    view->tree.push_back(root);
    std::map<std::string, std::string> instanceOf;  // adapter key -> instance id
    std::map<std::string, const AdapterFacts*> adapterOf;
    for (const auto& adapter : facts.adapters) {
        instanceOf[adapter.key] = AdapterInstanceId(adapter);
        adapterOf[adapter.key] = &adapter;
    }
    for (const auto& adapter : facts.adapters) {
        DeviceNode node;
        node.instanceId = instanceOf[adapter.key];
        node.key = adapter.key;
        auto parent = instanceOf.find(adapter.parentKey);
        node.parentId = parent == instanceOf.end() ? root.instanceId : parent->second;
        node.setupClass = SetupClass(adapter.bus);
        if (adapter.port) {
            node.interfaces.push_back(
                {GUID_DEVINTERFACE_STORAGEPORT,
                 InterfacePath(node.instanceId, GUID_DEVINTERFACE_STORAGEPORT)});
            view->ports.push_back({*adapter.port, node.instanceId});
            if (adapter.aspiHost) {
                AspiHostInfo host;
                host.port = *adapter.port;
                host.hostScsiId = adapter.hostScsiId;
                host.manager = "ASPI for WIN32";
                host.identifier = adapter.bus == Bus::Usb   ? "USBSTOR"
                                  : adapter.bus == Bus::Ata ? "ATAPI"
                                                            : "SCSI";
                view->aspiHosts.push_back(host);
            }
        }
        node.properties = AdapterProperties(adapter, node.instanceId);
        view->tree.push_back(std::move(node));
        for (const auto& disk : facts.disks) {
            if (disk.adapterKey != adapter.key) continue;
            DeviceNode child;
            child.instanceId = DiskInstanceId(disk, adapter.bus);
            child.key = disk.key;
            child.parentId = instanceOf[adapter.key];
            child.setupClass = GUID_DEVCLASS_DISKDRIVE;
            child.interfaces.push_back(
                {GUID_DEVINTERFACE_DISK, InterfacePath(child.instanceId, GUID_DEVINTERFACE_DISK)});
            child.properties = DiskProperties(disk, adapter.bus);

            DiskInfo info;
            info.number = disk.number;
            info.id = disk.key;
            info.instanceId = child.instanceId;
            info.interfacePath = child.interfaces[0].path;
            info.size = disk.size;
            info.geometry.heads = disk.heads;
            info.geometry.sectorsPerTrack = disk.sectorsPerTrack;
            info.geometry.bytesPerSector = disk.sectorSize;
            uint64_t perCylinder = uint64_t{disk.heads} * disk.sectorsPerTrack;
            info.geometry.cylinders = perCylinder == 0 || disk.sectorSize == 0
                                          ? 0
                                          : disk.size / disk.sectorSize / perCylinder;
            info.removable = disk.removable;
            info.mediaPresent = disk.mediaPresent;
            info.system = disk.system;
            info.writeRefusal = disk.writeRefusal;
            info.scsiPort = adapter.port;
            info.scsiTarget = disk.target;
            info.bus = adapter.bus;
            info.vendor = disk.vendor;
            info.product = disk.product;
            info.revision = disk.revision;
            info.serial = disk.serial;
            view->disks.push_back(std::move(info));
            view->tree.push_back(std::move(child));
        }
    }
    // Parents come before their children even when a parent is listed later.
    std::stable_partition(view->tree.begin() + 1, view->tree.end(),
                          [&](const DeviceNode& n) { return n.parentId == root.instanceId; });
    std::sort(view->disks.begin(), view->disks.end(),
              [](const DiskInfo& a, const DiskInfo& b) { return a.number < b.number; });

    for (const auto& facts : facts.volumes) {
        VolumeInfo volume;
        volume.name = VolumeGuidName(facts.key);
        volume.key = facts.key;
        volume.mountPaths = facts.mountPaths;
        volume.disk = facts.disk;
        volume.partitionNumber = facts.partitionNumber;
        volume.offset = facts.offset;
        volume.length = facts.length;
        volume.driveType = facts.removable || facts.floppy ? DRIVE_REMOVABLE : DRIVE_FIXED;
        volume.extentsReadable = facts.extentsReadable;
        for (const auto& path : volume.mountPaths)
            if (path.size() == 3 && std::isalpha(static_cast<unsigned char>(path[0])))
                view->logicalDrives |= 1u << (larkin::AsciiUpper(path[0]) - 'A');
        view->volumes.push_back(std::move(volume));
    }
    return view;
}

}  // namespace larkin::platform
