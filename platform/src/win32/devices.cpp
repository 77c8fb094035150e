// The device-installation services and the configuration manager over the
// backend's device tree.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "runtime/device_instances.h"
#include "runtime/device_tree_index.h"
#include "runtime/exported_call.h"
#include "runtime/runtime.h"
#include "runtime/text.h"

// clang-format off
const GUID GUID_DEVCLASS_HDC = {0x4d36e96a, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_SCSIADAPTER = {0x4d36e97b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_USB = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID GUID_DEVCLASS_DISKDRIVE = {0x4d36e967, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID GUID_DEVCLASS_FLOPPYDISK = {0x4d36e980, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID GUID_DEVINTERFACE_DISK = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID GUID_DEVINTERFACE_STORAGEPORT = {0x2accfe60, 0xc130, 0x11d2, {0xb0, 0x82, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
const GUID GUID_DEVINTERFACE_VOLUME = {0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
// clang-format on

namespace larkin::platform {
namespace {

DeviceInstances& DevInsts() {
    return Runtime::Get().deviceInstances;
}

// A device information set: the devices (and, for an interface set, their
// interfaces of the class) as they were when the set was made.
class DeviceSetObject final : public Object {
  public:
    struct Member {
        const DeviceNode* node = nullptr;  // in tree
        DEVINST devInst = 0;
    };
    struct Interface {
        size_t member = 0;
        const DeviceInterface* interface = nullptr;  // in tree
    };
    DeviceTreeView tree;  // the snapshot the set was made from
    std::vector<Member> members;
    std::vector<Interface> interfaces;
};

bool EnumeratorMatches(const std::string& instanceId, const char* enumerator, bool interfaceSet) {
    if (enumerator == nullptr || *enumerator == '\0') return true;
    // An interface set names one device; a class set names its enumerator.
    if (interfaceSet) return EqualsNoCase(instanceId, enumerator);
    return EqualsNoCase(instanceId.substr(0, instanceId.find('\\')), enumerator);
}

const DeviceSetObject::Member* MemberOf(const DeviceSetObject& set, const SP_DEVINFO_DATA* data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
    for (const auto& member : set.members)
        if (member.devInst == data->DevInst) return &member;
    return nullptr;
}

void Fill(SP_DEVINFO_DATA* data, const DeviceSetObject::Member& member) {
    data->ClassGuid = member.node->setupClass;
    data->DevInst = member.devInst;
    data->Reserved = 0;
}

// The device tree of the machine as it is now; the view stays alive with it.
DeviceTreeView CurrentDeviceTree() {
    auto view = View();
    return DeviceTreeView(view, &view->tree);
}

// The live node of a handle, or null when it is gone.
const DeviceNode* LiveNode(DEVINST devInst, const DeviceTreeIndex& index) {
    auto id = DevInsts().Id(devInst);
    return id ? index.Find(*id) : nullptr;
}

CONFIGRET CmFault(std::string_view call, std::string_view device) {
    if (!FaultFires(call, device)) return CR_SUCCESS;
    DWORD code = GetLastError();
    return code == ERROR_SUCCESS ? CR_FAILURE : code;
}

}  // namespace
}  // namespace larkin::platform

using namespace larkin::platform;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND, DWORD flags) {
    return larkin::platform::Guarded<HDEVINFO>(INVALID_HANDLE_VALUE, [&]() -> HDEVINFO {
        std::lock_guard guard(Runtime::Get().lock);
        bool interfaceSet = flags & DIGCF_DEVICEINTERFACE;
        bool allClasses = flags & DIGCF_ALLCLASSES;
        if (classGuid == nullptr && !allClasses) return FailedHandle(ERROR_INVALID_PARAMETER);
        std::string subject = enumerator ? enumerator : classGuid ? GuidText(*classGuid) : "";
        if (FaultFires("SetupDiGetClassDevsA", subject)) return INVALID_HANDLE_VALUE;
        auto set = std::make_shared<DeviceSetObject>();
        auto index = Runtime::Get().DeviceTree();
        set->tree = index->Tree();
        std::vector<const DeviceNode*> candidates;
        if (interfaceSet && enumerator && *enumerator) {
            // An interface set of one device: look it up.
            if (const DeviceNode* node = index->Find(enumerator)) candidates.push_back(node);
        } else {
            for (const auto& node : *set->tree) candidates.push_back(&node);
        }
        for (const DeviceNode* candidate : candidates) {
            const DeviceNode& node = *candidate;
            if (node.parentId.empty()) continue;  // the root is no device of a class
            if (!EnumeratorMatches(node.instanceId, enumerator, interfaceSet)) continue;
            if (interfaceSet) {
                std::vector<const DeviceInterface*> matching;
                for (const auto& interface : node.interfaces)
                    if (allClasses || SameGuid(interface.interfaceClass, *classGuid))
                        matching.push_back(&interface);
                if (matching.empty()) continue;
                for (const auto& interface : matching)
                    set->interfaces.push_back({set->members.size(), interface});
            } else if (!allClasses && !SameGuid(node.setupClass, *classGuid)) {
                continue;
            }
            set->members.push_back({&node, DevInsts().For(node.instanceId)});
        }
        SetLastError(ERROR_SUCCESS);
        return Runtime::Get().handles.Add(std::move(set));
    });
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto set = Runtime::Get().handles.Get<DeviceSetObject>(handle);
        if (!set) return FALSE;
        if (data == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
        if (index >= set->members.size()) return Failed(ERROR_NO_MORE_ITEMS);
        if (FaultFires("SetupDiEnumDeviceInfo", set->members[index].node->instanceId)) return FALSE;
        Fill(data, set->members[index]);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device,
                                 const GUID* interfaceGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto set = Runtime::Get().handles.Get<DeviceSetObject>(handle);
        if (!set) return FALSE;
        if (data == nullptr || interfaceGuid == nullptr) return Failed(ERROR_INVALID_PARAMETER);
        if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
            return Failed(ERROR_INVALID_USER_BUFFER);
        const DeviceSetObject::Member* only = nullptr;
        if (device) {
            only = MemberOf(*set, device);
            if (!only) return Failed(ERROR_INVALID_PARAMETER);
        }
        DWORD seen = 0;
        for (size_t i = 0; i < set->interfaces.size(); ++i) {
            const auto& entry = set->interfaces[i];
            if (!SameGuid(entry.interface->interfaceClass, *interfaceGuid)) continue;
            if (only && &set->members[entry.member] != only) continue;
            if (seen++ != index) continue;
            if (FaultFires("SetupDiEnumDeviceInterfaces",
                           set->members[entry.member].node->instanceId))
                return FALSE;
            data->InterfaceClassGuid = entry.interface->interfaceClass;
            data->Flags = SPINT_ACTIVE;
            data->Reserved = i + 1;
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        return Failed(ERROR_NO_MORE_ITEMS);
    });
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto set = Runtime::Get().handles.Get<DeviceSetObject>(handle);
        if (!set) return FALSE;
        if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
            interfaceData->Reserved == 0 || interfaceData->Reserved > set->interfaces.size())
            return Failed(ERROR_INVALID_PARAMETER);
        const auto& entry = set->interfaces[interfaceData->Reserved - 1];
        if (FaultFires("SetupDiGetDeviceInterfaceDetailA", entry.interface->path)) return FALSE;
        if (detail == nullptr && detailSize != 0) return Failed(ERROR_INVALID_USER_BUFFER);
        if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            return Failed(ERROR_INVALID_USER_BUFFER);
        DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          entry.interface->path.size() + 1);
        if (requiredSize) *requiredSize = needed;
        if (device) {
            if (device->cbSize != sizeof(SP_DEVINFO_DATA)) return Failed(ERROR_INVALID_USER_BUFFER);
            Fill(device, set->members[entry.member]);
        }
        if (detail == nullptr || detailSize < needed) return Failed(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(detail->DevicePath, entry.interface->path.c_str(),
                    entry.interface->path.size() + 1);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA device, DWORD property,
                                       PDWORD dataType, PBYTE buffer, DWORD size,
                                       PDWORD requiredSize) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto set = Runtime::Get().handles.Get<DeviceSetObject>(handle);
        if (!set) return FALSE;
        const DeviceSetObject::Member* member = MemberOf(*set, device);
        if (!member) return Failed(ERROR_INVALID_PARAMETER);
        if (property >= SPDRP_MAXIMUM_PROPERTY) return Failed(ERROR_INVALID_REG_PROPERTY);
        if (buffer == nullptr && size != 0) return Failed(ERROR_INVALID_USER_BUFFER);
        if (FaultFires("SetupDiGetDeviceRegistryPropertyA", member->node->instanceId, property))
            return FALSE;
        auto found = member->node->properties.find(property);
        if (found == member->node->properties.end()) return Failed(ERROR_INVALID_DATA);
        const RegistryValue& value = found->second;
        if (requiredSize) *requiredSize = static_cast<DWORD>(value.data.size());
        if (dataType) *dataType = value.type;
        if (size < value.data.size()) return Failed(ERROR_INSUFFICIENT_BUFFER);
        if (!value.data.empty()) std::memcpy(buffer, value.data.data(), value.data.size());
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (!Runtime::Get().handles.Get<DeviceSetObject>(handle)) return FALSE;
        Runtime::Get().handles.Remove(handle);
        return TRUE;
    });
}

BOOL SetupDiRemoveDevice(HDEVINFO handle, PSP_DEVINFO_DATA device) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto set = Runtime::Get().handles.Get<DeviceSetObject>(handle);
        if (!set) return FALSE;
        const DeviceSetObject::Member* member = MemberOf(*set, device);
        if (!member) return Failed(ERROR_INVALID_PARAMETER);
        std::lock_guard guard(Runtime::Get().lock);
        if (FaultFires("SetupDiRemoveDevice", member->node->instanceId)) return FALSE;
        if (member->node->key.empty()) return Failed(ERROR_NO_SUCH_DEVINST);
        DWORD error = Machine().RemoveDevice(member->node->key);
        if (error != ERROR_SUCCESS) return Failed(error);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

CONFIGRET CM_Locate_DevNodeA(PDEVINST devInst, DEVINSTID_A deviceId, ULONG flags) {
    return larkin::platform::Guarded<CONFIGRET>(CR_OUT_OF_MEMORY, [&]() -> CONFIGRET {
        if (devInst == nullptr) return CR_INVALID_POINTER;
        if (flags & ~0x7u) return CR_INVALID_FLAG;
        std::lock_guard guard(Runtime::Get().lock);
        if (CONFIGRET fault = CmFault("CM_Locate_DevNodeA", deviceId ? deviceId : ""); fault)
            return fault;
        for (const auto& node : *CurrentDeviceTree()) {
            bool root = node.parentId.empty();
            if ((deviceId == nullptr || *deviceId == '\0')
                    ? root
                    : EqualsNoCase(node.instanceId, deviceId)) {
                *devInst = DevInsts().For(node.instanceId);
                return CR_SUCCESS;
            }
        }
        return CR_NO_SUCH_DEVNODE;
    });
}

namespace {

// One step through the device tree: step gives the position in the tree of
// the node it leads to from node, or nothing.
template <class Step>
CONFIGRET Walk(const char* call, PDEVINST out, DEVINST from, ULONG flags, Step step) {
    return larkin::platform::Guarded<CONFIGRET>(CR_OUT_OF_MEMORY, [&]() -> CONFIGRET {
        if (out == nullptr) return CR_INVALID_POINTER;
        if (flags != 0) return CR_INVALID_FLAG;
        std::lock_guard guard(Runtime::Get().lock);
        auto index = Runtime::Get().DeviceTree();
        auto node = LiveNode(from, *index);
        if (!node) return DevInsts().Id(from) ? CR_NO_SUCH_DEVNODE : CR_INVALID_DEVNODE;
        if (CONFIGRET fault = CmFault(call, node->instanceId); fault) return fault;
        std::optional<size_t> next = step(*index, *node);
        if (!next) return CR_NO_SUCH_DEVNODE;
        *out = DevInsts().For((*index->Tree())[*next].instanceId);
        return CR_SUCCESS;
    });
}

}  // namespace

CONFIGRET CM_Get_Child(PDEVINST child, DEVINST parent, ULONG flags) {
    return Walk("CM_Get_Child", child, parent, flags,
                [](const DeviceTreeIndex& index, const DeviceNode& node) -> std::optional<size_t> {
                    const std::vector<size_t>* children = index.ChildrenOf(node.instanceId);
                    if (!children || children->empty()) return std::nullopt;
                    return children->front();
                });
}

CONFIGRET CM_Get_Sibling(PDEVINST sibling, DEVINST devInst, ULONG flags) {
    return Walk("CM_Get_Sibling", sibling, devInst, flags,
                [](const DeviceTreeIndex& index, const DeviceNode& node) -> std::optional<size_t> {
                    if (node.parentId.empty()) return std::nullopt;
                    const std::vector<size_t>& siblings = *index.ChildrenOf(node.parentId);
                    size_t next = index.PlaceOf(node) + 1;
                    if (next >= siblings.size()) return std::nullopt;
                    return siblings[next];
                });
}

CONFIGRET CM_Get_Device_IDA(DEVINST devInst, PCHAR buffer, ULONG size, ULONG flags) {
    return larkin::platform::Guarded<CONFIGRET>(CR_OUT_OF_MEMORY, [&]() -> CONFIGRET {
        if (buffer == nullptr) return CR_INVALID_POINTER;
        if (flags != 0) return CR_INVALID_FLAG;
        auto id = DevInsts().Id(devInst);
        if (!id) return CR_INVALID_DEVNODE;
        if (CONFIGRET fault = CmFault("CM_Get_Device_IDA", *id); fault) return fault;
        if (id->size() + 1 > size) {
            if (size > 0) {
                std::memcpy(buffer, id->c_str(), size - 1);
                buffer[size - 1] = '\0';
            }
            return CR_BUFFER_SMALL;
        }
        std::memcpy(buffer, id->c_str(), id->size() + 1);
        return CR_SUCCESS;
    });
}

CONFIGRET CM_Reenumerate_DevNode(DEVINST devInst, ULONG) {
    return larkin::platform::Guarded<CONFIGRET>(CR_OUT_OF_MEMORY, [&]() -> CONFIGRET {
        if (!DevInsts().Id(devInst)) return CR_INVALID_DEVNODE;
        std::lock_guard guard(Runtime::Get().lock);
        if (CONFIGRET fault = CmFault("CM_Reenumerate_DevNode", ""); fault) return fault;
        WhileWaiting([] { Machine().Rescan(); });
        return CR_SUCCESS;
    });
}
