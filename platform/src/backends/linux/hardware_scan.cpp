#include "hardware_scan.h"

#include <fcntl.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>

#include "runtime/posix.h"
#include "runtime/text.h"
#include "sysfs_attributes.h"

namespace larkin::platform::linuxhw {

namespace {

using UdevContext = std::unique_ptr<udev, Releaser<udev_unref>>;
using UdevEnumerate = std::unique_ptr<udev_enumerate, Releaser<udev_enumerate_unref>>;
using UdevDevice = std::unique_ptr<udev_device, Releaser<udev_device_unref>>;

// What the made-up adapter and disk of a test stand-in say they are.
constexpr uint16_t kStandInVendorId = 0x0000;  // no vendor has it: plainly not a product
constexpr uint16_t kStandInProductId = 0x0001;
constexpr const char* kStandInDescription = "Larkin Test USB Stand-in";
constexpr const char* kStandInVendor = "Larkin";
constexpr const char* kStandInProduct = "Test Stick";
constexpr const char* kStandInRevision = "1.0";

std::string Str(const char* text) {
    return text ? text : "";
}

std::string SysName(udev_device* device) {
    return Str(udev_device_get_sysname(device));
}
std::string SysPath(udev_device* device) {
    return Str(udev_device_get_syspath(device));
}
std::string Subsystem(udev_device* device) {
    return Str(udev_device_get_subsystem(device));
}

// A device's place below /sys/devices: the same after a reboot or a re-plug
// into the same socket.
std::string PlaceOf(std::string_view sysPath) {
    constexpr std::string_view kDevices = "/devices/";
    size_t at = sysPath.find(kDevices);
    return std::string(at == std::string_view::npos ? sysPath
                                                    : sysPath.substr(at + kDevices.size()));
}

std::string Place(udev_device* device) {
    return PlaceOf(SysPath(device));
}

// "loop3" for prefix "loop": the prefix and a number, nothing else.
std::optional<uint32_t> NumberAfter(std::string_view name, std::string_view prefix) {
    if (!name.starts_with(prefix) || !AllDigits(name.substr(prefix.size()))) return std::nullopt;
    auto number = ParseDecimal(name.substr(prefix.size()));
    if (!number || *number > 0xffffffffu) return std::nullopt;
    return static_cast<uint32_t>(*number);
}

// Disks that are no storage hardware of their own: memory, compressed
// memory, loop, device mapper, md, network block devices, optical and floppy
// drives, and an eMMC's boot and replay-protected areas.
bool SkippedByName(std::string_view name) {
    for (std::string_view prefix : {"ram", "zram", "loop", "nbd", "sr", "fd"})
        if (NumberAfter(name, prefix)) return true;
    if (name.starts_with("dm-")) return true;
    if (name.starts_with("md") && (name.size() == 2 || std::isdigit(name[2]) || name[2] == '_'))
        return true;
    if (name.starts_with("mmcblk") && (name.find("boot") != std::string_view::npos ||
                                       name.find("rpmb") != std::string_view::npos))
        return true;
    return false;
}

struct Hctl {
    uint32_t host = 0, channel = 0, target = 0, lun = 0;
};

// "6:0:0:1", a SCSI device's name: host, channel, target, lun.
std::optional<Hctl> ParseHctl(std::string_view name) {
    uint32_t parts[4];
    for (int i = 0; i < 4; ++i) {
        size_t colon = i < 3 ? name.find(':') : name.size();
        if (colon == std::string_view::npos) return std::nullopt;
        auto number = ParseDecimal(name.substr(0, colon));
        if (!AllDigits(name.substr(0, colon)) || !number || *number > 0xffffffffu)
            return std::nullopt;
        parts[i] = static_cast<uint32_t>(*number);
        name.remove_prefix(i < 3 ? colon + 1 : colon);
    }
    return Hctl{parts[0], parts[1], parts[2], parts[3]};
}

// The unit serial number page (VPD 0x80) as the kernel keeps it.
std::string SerialFromVpdPage(const std::optional<std::string>& page) {
    if (!page || page->size() < 4 || static_cast<unsigned char>((*page)[1]) != 0x80) return {};
    size_t length =
        (static_cast<unsigned char>((*page)[2]) << 8) | static_cast<unsigned char>((*page)[3]);
    return CleanText(std::string_view(*page).substr(4, length));
}

bool IsLoopNode(std::string_view node) {
    return NumberAfter(node, "/dev/loop").has_value();
}

// A disk being read: its facts, and what the scan needs to finish them.
struct DiskDraft {
    FoundDisk found;
    std::string pathKey;  // its place on the bus: the key when it has no serial
};

class Scanner {
  public:
    Scanner(udev* context, std::vector<std::string>* problems)
        : context_(context), problems_(problems) {}

    void ReadDisk(udev_device* device);
    void ReadStandIn(const std::string& node);
    HardwareScan Finish();

  private:
    void Problem(std::string line) {
        if (problems_) problems_->push_back(std::move(line));
    }
    bool HasAdapter(const std::string& key) const { return adapterKeys_.contains(key); }
    void AddAdapter(AdapterFacts adapter) {
        if (adapter.port)
            highestPort_ = std::max(highestPort_, static_cast<int64_t>(*adapter.port));
        adapterKeys_.insert(adapter.key);
        adapters_.push_back(std::move(adapter));
    }
    // Size, sector size, removable, device number and node; false (with a
    // problem line) when the disk cannot be described.
    bool ReadBlockBasics(udev_device* device, FoundDisk& found);
    std::string HubAbove(udev_device* usbDevice);
    AdapterFacts UsbAdapter(udev_device* usbDevice, std::string key, std::optional<uint32_t> port);
    // Hangs the disk below its adapter; false when its place is unreadable.
    bool PlaceOnScsiHost(udev_device* device, udev_device* scsiDevice, udev_device* usbDevice,
                         DiskDraft& draft);
    void PlaceOnController(udev_device* device, udev_device* usbDevice, DiskDraft& draft);
    std::string NvmeControllerPlace(udev_device* parent);

    udev* context_;
    std::vector<std::string>* problems_;
    std::vector<AdapterFacts> adapters_;
    std::set<std::string> adapterKeys_;
    std::vector<DiskDraft> disks_;
    std::set<std::string> standIns_;
    int64_t highestPort_ = -1;
};

bool Scanner::ReadBlockBasics(udev_device* device, FoundDisk& found) {
    found.kernelName = SysName(device);
    found.sysPath = SysPath(device);
    found.device = udev_device_get_devnum(device);
    const char* node = udev_device_get_devnode(device);
    found.node = node ? node : "/dev/" + found.kernelName;
    std::string name = "/dev/" + found.kernelName;
    if (found.device == 0) {
        Problem(name + " is left out: it has no device number");
        return false;
    }
    auto sizeText = ReadAttribute(found.sysPath, "size");
    auto sectors = sizeText ? ParseDecimal(*sizeText) : std::nullopt;
    if (!sectors || *sectors > UINT64_MAX / 512) {
        Problem(name + " is left out: its size " +
                (sizeText ? "\"" + CleanText(*sizeText) + "\" is not a number of sectors"
                          : "cannot be read"));
        return false;
    }
    found.facts.size = *sectors * 512;
    found.facts.mediaPresent = found.facts.size > 0;
    if (auto blockText = ReadAttribute(found.sysPath, "queue/logical_block_size")) {
        auto block = ParseDecimal(*blockText);
        if (!block || *block < 512 || *block > 65536 || (*block & (*block - 1)) != 0) {
            Problem(name + " is left out: its logical block size \"" + CleanText(*blockText) +
                    "\" is not a power of two from 512 to 65536");
            return false;
        }
        found.facts.sectorSize = static_cast<uint32_t>(*block);
    }
    // Anything but a plain "1" counts as fixed: the safer reading.
    found.facts.removable = TextAttribute(found.sysPath, "removable") == "1";
    return true;
}

AdapterFacts Scanner::UsbAdapter(udev_device* usbDevice, std::string key,
                                 std::optional<uint32_t> port) {
    std::string path = SysPath(usbDevice);
    AdapterFacts adapter;
    adapter.key = std::move(key);
    adapter.parentKey = HubAbove(usbDevice);
    adapter.bus = Bus::Usb;
    adapter.port = port;
    adapter.serial = TextAttribute(path, "serial");
    adapter.usbVendorId = ParseUsbId(TextAttribute(path, "idVendor")).value_or(0);
    adapter.usbProductId = ParseUsbId(TextAttribute(path, "idProduct")).value_or(0);
    return adapter;
}

// The key of the hub a USB device hangs from, listing that hub and the hubs
// above it first; "" for a device with no hub above (a root hub).
std::string Scanner::HubAbove(udev_device* usbDevice) {
    udev_device* hub =
        udev_device_get_parent_with_subsystem_devtype(usbDevice, "usb", "usb_device");
    if (!hub) return {};
    std::string key = "usb-" + SysName(hub);
    if (HasAdapter(key)) return key;
    AdapterFacts adapter = UsbAdapter(hub, key, std::nullopt);
    adapter.hub = true;
    adapter.description = adapter.parentKey.empty() ? "USB Root Hub" : "Generic USB Hub";
    AddAdapter(std::move(adapter));
    return key;
}

bool Scanner::PlaceOnScsiHost(udev_device* device, udev_device* scsiDevice, udev_device* usbDevice,
                              DiskDraft& draft) {
    FoundDisk& found = draft.found;
    std::string name = "/dev/" + found.kernelName;
    auto hctl = ParseHctl(SysName(scsiDevice));
    udev_device* host = udev_device_get_parent_with_subsystem_devtype(device, "scsi", "scsi_host");
    auto hostNumber = host ? NumberAfter(SysName(host), "host") : std::nullopt;
    if (!hctl || !hostNumber || *hostNumber != hctl->host) {
        Problem(name + " is left out: its SCSI address \"" + SysName(scsiDevice) +
                "\" is not host:channel:target:lun of its host");
        return false;
    }
    found.facts.target = static_cast<uint8_t>(std::min<uint32_t>(hctl->target, 255));
    if (hctl->target <= 255 && hctl->lun <= 255)
        found.scsi = ScsiAddress{hctl->host, static_cast<uint8_t>(hctl->target),
                                 static_cast<uint8_t>(hctl->lun)};
    else
        Problem(name + " has SCSI target " + std::to_string(hctl->target) + " lun " +
                std::to_string(hctl->lun) + ", beyond what commands can address here");
    std::string unit = std::to_string(hctl->channel) + ":" + std::to_string(hctl->target) + ":" +
                       std::to_string(hctl->lun);
    std::string scsiPath = SysPath(scsiDevice);
    for (const auto& entry : ListFolder(scsiPath + "/scsi_generic")) {
        if (!NumberAfter(entry, "sg")) continue;
        UdevDevice generic(
            udev_device_new_from_subsystem_sysname(context_, "scsi_generic", entry.c_str()));
        const char* node = generic ? udev_device_get_devnode(generic.get()) : nullptr;
        found.sgNode = node ? node : "/dev/" + entry;
        break;
    }

    std::string key;
    if (usbDevice) {
        // One adapter per USB storage interface; the usual first interface
        // keeps the plain device name.
        udev_device* interface =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
        std::string interfaceName = interface ? SysName(interface) : "";
        std::string configuration = interfaceName.substr(interfaceName.find(':') + 1);
        key = "usb-" + SysName(usbDevice);
        if (interface && configuration != "1.0") key += ":" + configuration;
        if (!HasAdapter(key)) {
            AdapterFacts adapter = UsbAdapter(usbDevice, key, hctl->host);
            adapter.aspiHost = true;
            adapter.description = "USB Mass Storage Device";
            AddAdapter(std::move(adapter));
        }
        found.usb = true;
    } else {
        // libata gives each port a host of its own, below the port's folder
        // ("ata3"), which is no device udev lists.
        std::string hostPath = SysPath(host);
        std::string portPath;
        for (size_t slash = hostPath.find('/'); slash != std::string::npos;
             slash = hostPath.find('/', slash + 1)) {
            size_t end = hostPath.find('/', slash + 1);
            if (NumberAfter(std::string_view(hostPath).substr(slash + 1, end - slash - 1), "ata"))
                portPath = hostPath.substr(0, end);
        }
        AdapterFacts adapter;
        adapter.port = hctl->host;
        if (!portPath.empty()) {
            std::string portName(BaseName(portPath));
            auto portNumber =
                ParseDecimal(TextAttribute(portPath, "ata_port/" + portName + "/port_no"));
            // Channels count from 0; port_no and the port's name from 1.
            uint64_t channel = 0;
            if (portNumber && *portNumber > 0)
                channel = *portNumber - 1;
            else if (uint32_t ata = *NumberAfter(portName, "ata"); ata > 0)
                channel = ata - 1;
            key = "ata-" + PlaceOf(portPath);
            adapter.bus = Bus::Ata;
            adapter.description = "ATA Channel " + std::to_string(channel);
        } else {
            std::string hostName = SysName(host);
            std::string driver =
                TextAttribute(SysPath(host), "scsi_host/" + hostName + "/proc_name");
            key = "scsi-" + Place(host);
            adapter.bus = Bus::Scsi;
            if (driver == "virtio_scsi")
                adapter.description = "VirtIO SCSI Controller";
            else if (driver.empty() || driver == "<NULL>")
                adapter.description = "SCSI Controller";
            else
                adapter.description = "SCSI Controller (" + driver + ")";
        }
        adapter.key = key;
        if (!HasAdapter(key)) AddAdapter(std::move(adapter));
    }
    found.facts.adapterKey = key;
    draft.pathKey = key + "/" + unit;
    return true;
}

// Where an NVMe namespace's controller sits. With native multipath the
// namespace hangs below a subsystem that links to its controllers.
std::string Scanner::NvmeControllerPlace(udev_device* parent) {
    if (Subsystem(parent) == "nvme") {
        udev_device* pci = udev_device_get_parent(parent);
        return Place(pci ? pci : parent);
    }
    for (const auto& entry : ListFolder(SysPath(parent))) {
        if (!NumberAfter(entry, "nvme")) continue;
        std::string controllerPath = ResolveLink(SysPath(parent) + "/" + entry);
        UdevDevice controller(udev_device_new_from_syspath(context_, controllerPath.c_str()));
        if (!controller) continue;
        udev_device* pci = udev_device_get_parent(controller.get());
        return Place(pci ? pci : controller.get());
    }
    return Place(parent);
}

void Scanner::PlaceOnController(udev_device* device, udev_device* usbDevice, DiskDraft& draft) {
    FoundDisk& found = draft.found;
    udev_device* parent = udev_device_get_parent(device);
    std::string subsystem = Subsystem(parent);
    AdapterFacts adapter;
    adapter.bus = Bus::Scsi;
    std::string unit = "0";
    if (usbDevice) {
        // USB storage that is not SCSI, such as some card readers' own drivers.
        adapter = UsbAdapter(usbDevice, "usb-" + SysName(usbDevice), std::nullopt);
        adapter.description = "USB Storage Device";
        found.usb = true;
    } else if (subsystem == "nvme" || subsystem == "nvme-subsystem") {
        adapter.key = "nvme-" + NvmeControllerPlace(parent);
        adapter.description = "Standard NVM Express Controller";
        auto namespaceId = ParseDecimal(TextAttribute(found.sysPath, "nsid"));
        size_t n = found.kernelName.rfind('n');
        unit = "n" + (namespaceId ? std::to_string(*namespaceId)
                                  : found.kernelName.substr(n == std::string::npos ? 0 : n + 1));
    } else if (subsystem == "virtio") {
        adapter.key = "virtio-" + Place(parent);
        adapter.description = "VirtIO Block Controller";
    } else if (subsystem == "mmc") {
        udev_device* host = udev_device_get_parent(parent);
        adapter.key = "mmc-" + Place(host ? host : parent);
        adapter.description = "SD Host Controller";
    } else {
        adapter.key = "storage-" + Place(parent);
        adapter.description = "Storage Controller";
    }
    if (!HasAdapter(adapter.key)) AddAdapter(adapter);
    found.facts.adapterKey = adapter.key;
    draft.pathKey = adapter.key + "/" + unit;
}

void Scanner::ReadDisk(udev_device* device) {
    std::string kernelName = SysName(device);
    if (SkippedByName(kernelName)) return;
    if (TextAttribute(SysPath(device), "hidden") == "1") return;  // an NVMe multipath path
    udev_device* parent = udev_device_get_parent(device);
    if (!parent) return;  // a virtual device: no hardware below it
    udev_device* scsiDevice =
        udev_device_get_parent_with_subsystem_devtype(device, "scsi", "scsi_device");
    if (scsiDevice) {
        auto type = ParseDecimal(TextAttribute(SysPath(scsiDevice), "type"));
        if (type && *type == 5) return;  // an optical drive
    }

    DiskDraft draft;
    FoundDisk& found = draft.found;
    if (!ReadBlockBasics(device, found)) return;
    udev_device* usbDevice =
        udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
    std::string usbPath = usbDevice ? SysPath(usbDevice) : "";
    DiskFacts& facts = found.facts;
    std::string parentPath = SysPath(parent);
    std::string subsystem = Subsystem(parent);
    if (scsiDevice) {
        std::string scsiPath = SysPath(scsiDevice);
        facts.vendor = TextAttribute(scsiPath, "vendor");
        facts.product = TextAttribute(scsiPath, "model");
        facts.revision = TextAttribute(scsiPath, "rev");
        if (!PlaceOnScsiHost(device, scsiDevice, usbDevice, draft)) return;
    } else {
        if (subsystem == "nvme" || subsystem == "nvme-subsystem") {
            facts.vendor = "NVMe";
            facts.product = TextAttribute(parentPath, "model");
            facts.revision = TextAttribute(parentPath, "firmware_rev");
        } else if (subsystem == "virtio") {
            facts.vendor = "VirtIO";
            facts.product = "Block Device";
        } else if (subsystem == "mmc") {
            facts.vendor = TextAttribute(parentPath, "type");
            facts.product = TextAttribute(parentPath, "name");
        } else if (usbDevice) {
            facts.vendor = TextAttribute(usbPath, "manufacturer");
            facts.product = TextAttribute(usbPath, "product");
        } else {
            facts.vendor = TextAttribute(parentPath, "vendor");
            facts.product = TextAttribute(parentPath, "model");
            facts.revision = TextAttribute(parentPath, "rev");
        }
        PlaceOnController(device, usbDevice, draft);
    }

    // The serial: the udev database's where it has one, else what sysfs shows.
    facts.serial = CleanText(Str(udev_device_get_property_value(device, "ID_SERIAL_SHORT")));
    if (facts.serial.empty() && usbDevice) facts.serial = TextAttribute(usbPath, "serial");
    if (facts.serial.empty() && !scsiDevice && !usbDevice)
        facts.serial = TextAttribute(parentPath, "serial");  // NVMe controller, SD card
    if (facts.serial.empty()) facts.serial = TextAttribute(found.sysPath, "serial");  // virtio
    if (facts.serial.empty() && scsiDevice)
        facts.serial = SerialFromVpdPage(ReadAttribute(SysPath(scsiDevice), "vpd_pg80"));
    if (facts.serial.empty()) facts.serial = TextAttribute(found.sysPath, "wwid");
    disks_.push_back(std::move(draft));
}

void Scanner::ReadStandIn(const std::string& node) {
    if (!IsLoopNode(node)) {
        Problem("\"" + node +
                "\" cannot stand in for a USB disk: only loop devices (/dev/loopN) may");
        return;
    }
    std::string kernelName = node.substr(5);
    if (!standIns_.insert(kernelName).second) return;
    UdevDevice device(
        udev_device_new_from_subsystem_sysname(context_, "block", kernelName.c_str()));
    if (!device) {
        Problem(node + " cannot stand in for a USB disk: there is no such loop device");
        return;
    }
    DiskDraft draft;
    FoundDisk& found = draft.found;
    if (!ReadBlockBasics(device.get(), found)) return;
    found.testStandIn = true;
    found.usb = true;
    DiskFacts& facts = found.facts;
    facts.removable = true;
    facts.vendor = kStandInVendor;
    facts.product = kStandInProduct;
    facts.revision = kStandInRevision;
    facts.serial = "TEST-" + kernelName;
    facts.key = "test-disk-" + kernelName;
    facts.adapterKey = "test-usb-" + kernelName;
    draft.pathKey = facts.key;
    disks_.push_back(std::move(draft));
}

HardwareScan Scanner::Finish() {
    // A stand-in's adapter takes a SCSI port above every real host, so that
    // commands for it reach nothing else.
    for (const auto& entry : ListFolder("/sys/class/scsi_host"))
        if (auto number = NumberAfter(entry, "host"))
            highestPort_ = std::max(highestPort_, static_cast<int64_t>(*number));
    std::map<std::string, int> serialKeys;
    for (auto& draft : disks_) {
        FoundDisk& found = draft.found;
        if (found.testStandIn) {
            AdapterFacts adapter;
            adapter.key = found.facts.adapterKey;
            adapter.bus = Bus::Usb;
            adapter.port = static_cast<uint32_t>(highestPort_ + 1);
            adapter.aspiHost = true;
            adapter.description = kStandInDescription;
            adapter.serial = found.facts.serial;
            adapter.usbVendorId = kStandInVendorId;
            adapter.usbProductId = kStandInProductId;
            found.scsi = ScsiAddress{*adapter.port, 0, 0};
            AddAdapter(std::move(adapter));
            continue;
        }
        const DiskFacts& facts = found.facts;
        std::string unit = draft.pathKey.substr(draft.pathKey.rfind('/') + 1);
        found.facts.key = facts.serial.empty() ? "path:" + draft.pathKey
                                               : "serial:" + facts.vendor + "/" + facts.product +
                                                     "/" + facts.serial + "/" + unit;
        ++serialKeys[found.facts.key];
    }
    // Two disks claiming one serial (cheap sticks often do) are told apart
    // by their place instead.
    for (auto& draft : disks_)
        if (serialKeys[draft.found.facts.key] > 1 && !draft.found.testStandIn)
            draft.found.facts.key = "path:" + draft.pathKey;

    HardwareScan scan;
    scan.adapters = std::move(adapters_);
    for (uint32_t i = 0; i < scan.adapters.size(); ++i) scan.adapters[i].index = i;
    for (auto& draft : disks_) scan.disks.push_back(std::move(draft.found));
    return scan;
}

}  // namespace

HardwareScan ScanHardware(const ScanOptions& options, std::vector<std::string>* problems) {
    UdevContext context(udev_new());
    if (!context) {
        if (problems) problems->push_back("udev cannot be used: no disks are listed");
        return {};
    }
    Scanner scanner(context.get(), problems);
    if (!options.onlyKernelName.empty()) {
        // One disk: asked for by name, without listing every block device.
        UdevDevice device(udev_device_new_from_subsystem_sysname(context.get(), "block",
                                                                 options.onlyKernelName.c_str()));
        const char* type = device ? udev_device_get_devtype(device.get()) : nullptr;
        if (type != nullptr && std::string_view(type) == "disk") scanner.ReadDisk(device.get());
        for (const auto& node : options.testUsbDisks)
            if (node == "/dev/" + options.onlyKernelName) scanner.ReadStandIn(node);
        return scanner.Finish();
    }
    UdevEnumerate enumerate(udev_enumerate_new(context.get()));
    if (enumerate && udev_enumerate_add_match_subsystem(enumerate.get(), "block") >= 0 &&
        udev_enumerate_add_match_property(enumerate.get(), "DEVTYPE", "disk") >= 0 &&
        udev_enumerate_scan_devices(enumerate.get()) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
            UdevDevice device(
                udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
            if (device) scanner.ReadDisk(device.get());
        }
    } else if (problems) {
        problems->push_back("the block devices cannot be listed: no disks are listed");
    }
    for (const auto& node : options.testUsbDisks) scanner.ReadStandIn(node);
    return scanner.Finish();
}

std::vector<std::string> ParseTestUsbDisks(std::string_view list, std::string* error) {
    if (error) error->clear();
    std::vector<std::string> nodes;
    for (;;) {
        size_t comma = list.find(',');
        std::string_view entry = Trim(list.substr(0, comma));
        if (!entry.empty() && !IsLoopNode(entry)) {
            if (error)
                *error = "LARKIN_TEST_USB_DISKS: \"" + std::string(entry) +
                         "\" is not a loop device; only /dev/loopN may stand in for a USB disk";
            return {};
        }
        if (!entry.empty() && std::find(nodes.begin(), nodes.end(), entry) == nodes.end())
            nodes.emplace_back(entry);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return nodes;
}

std::vector<std::string> TestUsbDisksFromFile(const std::string& path, unsigned owner,
                                              std::string* error) {
    if (error) error->clear();
    struct File {
        int fd;
        ~File() {
            if (fd >= 0) ::close(fd);
        }
    } file{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)};
    struct stat facts {};
    // Anyone who could change the file could make any loop device pass.
    if (file.fd < 0 || ::fstat(file.fd, &facts) != 0 || !S_ISREG(facts.st_mode) ||
        facts.st_uid != owner || (facts.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
        facts.st_size > 65536)
        return {};
    std::string text(static_cast<size_t>(facts.st_size), '\0');
    if (::read(file.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return {};
    std::replace(text.begin(), text.end(), '\n', ',');
    std::vector<std::string> nodes = ParseTestUsbDisks(text, error);
    if (error && !error->empty()) *error = path + ": " + *error;
    return nodes;
}

std::vector<std::string> TestUsbDisksFromEnvironment(std::string* error) {
    std::vector<std::string> nodes = TestUsbDisksFromFile(kTestUsbDisksFile, 0, error);
    if (error && !error->empty()) return {};
    const char* list = std::getenv("LARKIN_TEST_USB_DISKS");
    if (!list) return nodes;
    for (std::string& node : ParseTestUsbDisks(list, error))
        if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) nodes.push_back(node);
    if (error && !error->empty()) return {};
    return nodes;
}

}  // namespace larkin::platform::linuxhw
