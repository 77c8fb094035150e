#include "sim_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "../text.h"
#include "../write_guard.h"
#include "property_names.h"
#include "scsi_disk.h"
#include "win32/devices.h"

namespace larkin::platform {

std::unique_ptr<Backend> MakeSimulatedBackend(const std::string& machineFile, std::string* error) {
    return sim::SimBackend::Open(machineFile, error);
}

namespace sim {

namespace {

uint64_t Fnv(std::string_view text, uint64_t seed = 0xcbf29ce484222325ull) {
    uint64_t hash = seed;
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ull;
    return hash;
}

std::string Hex(uint64_t value, int digits) {
    std::ostringstream out;
    out << std::uppercase << std::hex;
    out.width(digits);
    out.fill('0');
    out << (value & ((digits >= 16) ? ~0ull : ((1ull << (4 * digits)) - 1)));
    return out.str();
}

std::string Padded(std::string text, size_t width) {
    text.resize(width, ' ');
    for (char& c : text)
        if (c == ' ') c = '_';
    return text;
}

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

const GUID& SetupClass(const std::string& cls) {
    if (cls == "ATA") return GUID_DEVCLASS_HDC;
    if (cls == "SCSIADAPTER") return GUID_DEVCLASS_SCSIADAPTER;
    return GUID_DEVCLASS_USB;
}

void ApplyOverrides(std::map<DWORD, RegistryValue>& properties,
                    const std::map<std::string, PropertySpec>& overrides) {
    for (const auto& [name, spec] : overrides) {
        auto code = PropertyCode(name);
        if (!code) continue;  // the machine file refused it already
        if (spec.absent)
            properties.erase(*code);
        else
            properties[*code] = RegistryValue{spec.type, spec.data};
    }
}

DWORD ErrnoError() {
    return static_cast<DWORD>(ErrorFromErrno(errno));
}

DWORD ReadAt(int fd, uint64_t offset, std::span<std::byte> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t got =
            ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return ErrnoError();
        if (got == 0) {  // a sparse image reads zeros past its written end
            std::fill(data.begin() + static_cast<long>(done), data.end(), std::byte{0});
            break;
        }
        done += static_cast<size_t>(got);
    }
    return ERROR_SUCCESS;
}

DWORD WriteAt(int fd, uint64_t offset, std::span<const std::byte> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t put =
            ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return ErrnoError();
        done += static_cast<size_t>(put);
    }
    return ERROR_SUCCESS;
}

std::string VolumeGuidName(const std::string& diskId, uint64_t firstSector) {
    std::string key = diskId + ":" + std::to_string(firstSector);
    uint64_t a = Fnv(key), b = Fnv(key, a);
    std::string text = Lower(Hex(a >> 32, 8) + "-" + Hex(a >> 16, 4) + "-" + Hex(a, 4) + "-" +
                             Hex(b >> 48, 4) + "-" + Hex(b, 12));
    return "\\\\?\\Volume{" + text + "}\\";
}

struct OpenedImage {
    UniqueFd fd;
    std::string error;
};

// Opens the image at path, or makes it whole first: it is built under a
// name of its own and linked into place only when complete, so a failed or
// killed creation leaves nothing that a later start would take as made, and
// of several processes starting at once exactly one image wins.
template <class Build>
OpenedImage OpenImage(const std::filesystem::path& path, uint64_t size, Build&& build) {
    OpenedImage result;
    auto openExisting = [&]() -> bool {
        result.fd.Reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
        if (!result.fd.Valid()) return false;
        struct stat info {};
        if (::fstat(result.fd.Get(), &info) != 0 || static_cast<uint64_t>(info.st_size) != size) {
            result.error = "is " + std::to_string(info.st_size) +
                           " bytes but the size the machine file gives is " + std::to_string(size) +
                           "; it is left as it is";
            result.fd.Reset();
        }
        return true;
    };
    if (openExisting()) return result;
    if (errno != ENOENT) {
        result.error = std::strerror(errno);
        return result;
    }
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::string made = path.string() + ".making." + std::to_string(::getpid());
    UniqueFd fd(::open(made.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    auto fail = [&](std::string why) {
        ::unlink(made.c_str());
        result.error = std::move(why);
        return std::move(result);
    };
    if (!fd.Valid()) return fail(std::strerror(errno));
    if (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) return fail(std::strerror(errno));
    if (std::string why = build(made, fd.Get()); !why.empty()) return fail(why);
    if (::fsync(fd.Get()) != 0) return fail(std::strerror(errno));
    fd.Reset();
    // link, unlike rename, never replaces an image another process made.
    if (::link(made.c_str(), path.c_str()) != 0 && errno != EEXIST)
        return fail(std::strerror(errno));
    ::unlink(made.c_str());
    if (!openExisting() && result.error.empty()) result.error = std::strerror(errno);
    return result;
}

// Writes the partition table the machine file gives and formats the
// partitions that ask for it.
std::string BuildDiskImage(const DiskSpec& spec, const std::string& path, int fd) {
    if (spec.partitions.empty()) return {};
    std::array<uint8_t, 512> mbr{};
    uint32_t signature = static_cast<uint32_t>(Fnv(spec.id));
    std::memcpy(&mbr[440], &signature, 4);
    DiskGeometry geometry{0, spec.heads, spec.sectorsPerTrack, 512};
    for (size_t i = 0; i < spec.partitions.size() && i < 4; ++i) {
        const auto& p = spec.partitions[i];
        PartitionRecord record{static_cast<uint8_t>(p.active ? 0x80 : 0), p.type, p.start,
                               p.sectors.value_or(spec.size / 512 - p.start)};
        EncodeEntry(std::span<uint8_t, 16>(&mbr[446 + 16 * i], 16), record, geometry);
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    if (WriteAt(fd, 0, std::as_bytes(std::span(mbr))) != ERROR_SUCCESS) return std::strerror(errno);
    for (const auto& p : spec.partitions) {
        if (p.format.empty()) continue;
        std::string mkfs = FindProgram("mkfs.fat");
        if (mkfs.empty()) return "formatting needs mkfs.fat (Debian package dosfstools)";
        uint64_t sectors = p.sectors.value_or(spec.size / 512 - p.start);
        std::string log;
        int status =
            RunProgram({mkfs, "-F", p.format.substr(3), "-n", p.label.empty() ? "NO NAME" : p.label,
                        "-S", "512", "-h", std::to_string(p.start), "-g",
                        std::to_string(spec.heads) + "/" + std::to_string(spec.sectorsPerTrack),
                        "--offset", std::to_string(p.start), path, std::to_string(sectors / 2)},
                       &log);
        if (status != 0) return "mkfs.fat failed: " + log;
    }
    return {};
}

}  // namespace

SimBackend::SimBackend(MachineSpec spec)
    : spec_(std::move(spec)), timeScale_(spec_.timeScale), shared_(spec_.stateDir) {}

std::unique_ptr<SimBackend> SimBackend::Open(const std::string& machineFile, std::string* error) {
    auto spec = LoadMachineFile(machineFile, error);
    if (!spec) return nullptr;
    auto backend = std::make_unique<SimBackend>(std::move(*spec));
    if (!backend->Prepare(error)) return nullptr;
    return backend;
}

bool SimBackend::Prepare(std::string* error) {
    std::error_code failed;
    std::filesystem::create_directories(spec_.stateDir, failed);
    if (failed) {
        *error = spec_.file + ": cannot create the state folder " + spec_.stateDir + ": " +
                 failed.message();
        return false;
    }
    if (const char* scale = std::getenv("LARKIN_TIME_SCALE")) timeScale_ = std::atof(scale);

    uint32_t nextPort = 0;
    std::map<std::string, size_t> adapterIndex;
    for (const auto& spec : spec_.adapters) {
        Adapter adapter;
        adapter.spec = &spec;
        size_t index = adapters_.size();
        std::string serial =
            spec.disks.empty() ? Upper(spec.id) : spec_.disks[spec.disks[0]].serial;
        uint64_t hash = Fnv(spec.id);
        if (!spec.instanceId.empty()) {
            adapter.instanceId = spec.instanceId;
        } else if (spec.cls == "ATA") {
            adapter.instanceId =
                "PCIIDE\\IDECHANNEL\\4&" + Hex(hash, 8) + "&0&" + std::to_string(index);
        } else if (spec.cls == "SCSIADAPTER") {
            adapter.instanceId = "PCI\\VEN_1000&DEV_0030&SUBSYS_00000000&REV_01\\3&" +
                                 Hex(hash, 8) + "&0&" + Hex(index * 8, 2);
        } else if (spec.kind == "hub") {
            adapter.instanceId = "USB\\ROOT_HUB20\\4&" + Hex(hash, 8) + "&0";
        } else {
            adapter.instanceId =
                "USB\\VID_" + Hex(hash >> 16, 4) + "&PID_" + Hex(hash, 4) + "\\" + Compact(serial);
        }
        if (spec.storagePort) {
            adapter.port = nextPort++;
            adapter.portPath = InterfacePath(adapter.instanceId, GUID_DEVINTERFACE_STORAGEPORT);
        }
        adapterIndex[spec.id] = index;
        adapters_.push_back(std::move(adapter));
    }

    uint32_t number = 0;
    for (const auto& spec : spec_.disks) {
        Disk disk;
        disk.spec = &spec;
        disk.number = number++;
        const Adapter& adapter = adapters_[spec.adapter];
        size_t position = std::find(adapter.spec->disks.begin(), adapter.spec->disks.end(),
                                    static_cast<size_t>(&spec - spec_.disks.data())) -
                          adapter.spec->disks.begin();
        disk.target = spec.target.value_or(static_cast<uint8_t>(position));
        disk.port = adapter.port;
        std::string v = Compact(spec.vendor), p = Compact(spec.product), r = Compact(spec.revision);
        uint64_t hash = Fnv(spec.id);
        if (adapter.spec->cls == "USB") {
            disk.instanceId = "USBSTOR\\DISK&VEN_" + v + "&PROD_" + p + "&REV_" + r + "\\" +
                              Compact(spec.serial) + "&0";
        } else if (adapter.spec->cls == "ATA") {
            disk.instanceId = "IDE\\DISK" + Padded(Upper(spec.vendor + " " + spec.product), 40) +
                              Padded(Upper(spec.revision), 8) + "\\5&" + Hex(hash, 8) + "&0&0." +
                              std::to_string(disk.target) + ".0";
        } else {
            disk.instanceId = "SCSI\\DISK&VEN_" + v + "&PROD_" + p + "&REV_" + r + "\\4&" +
                              Hex(hash, 8) + "&0&00" + std::to_string(disk.target) + "0";
        }
        disk.interfacePath = InterfacePath(disk.instanceId, GUID_DEVINTERFACE_DISK);
        if (!PrepareImage(disk, error)) return false;
        disks_.push_back(std::move(disk));
    }

    if (spec_.floppy) {
        std::filesystem::path path(spec_.floppy->image);
        if (path.is_relative()) path = std::filesystem::path(spec_.stateDir) / path;
        bool format = spec_.floppy->format;
        auto image = OpenImage(path, spec_.floppy->size, [&](const std::string& made, int) {
            if (!format) return std::string();
            std::string mkfs = FindProgram("mkfs.fat");
            if (mkfs.empty())
                return std::string("formatting needs mkfs.fat (Debian package dosfstools)");
            std::string log;
            if (RunProgram({mkfs, "-F", "12", "-n", "FLOPPY", made}, &log) != 0)
                return "mkfs.fat failed: " + log;
            return std::string();
        });
        if (!image.fd.Valid()) {
            *error = spec_.file + ": floppy image " + path.string() + ": " + image.error;
            return false;
        }
        floppy_ = std::move(image.fd);
    }

    // Disks seen for the first time start as the machine file says.
    auto unstored = shared_.Update([&](MachineState& state) {
        for (const auto& disk : disks_)
            if (!state.disks.contains(disk.spec->id))
                state.disks[disk.spec->id].present = disk.spec->present;
    });
    if (unstored) {
        *error = spec_.file + ": " + *unstored;
        return false;
    }
    return true;
}

bool SimBackend::PrepareImage(Disk& disk, std::string* error) {
    const DiskSpec& spec = *disk.spec;
    std::filesystem::path path(spec.image);
    if (path.is_relative()) path = std::filesystem::path(spec_.stateDir) / path;
    auto image = OpenImage(path, spec.size, [&](const std::string& made, int fd) {
        return BuildDiskImage(spec, made, fd);
    });
    if (!image.fd.Valid()) {
        *error =
            spec_.file + ": disk \"" + spec.id + "\": image " + path.string() + ": " + image.error;
        return false;
    }
    disk.image = std::move(image.fd);
    return true;
}

void SimBackend::Refresh() {
    shared_.Current();
}

bool SimBackend::AdapterPresent(size_t index) {
    const MachineState& state = shared_.Loaded();
    for (size_t i = index;;) {
        const AdapterSpec& spec = *adapters_[i].spec;
        auto found = state.disks.find("adapter:" + spec.id);
        if (found != state.disks.end() && !found->second.present) return false;
        if (spec.parent.empty()) break;
        auto parent = std::find_if(adapters_.begin(), adapters_.end(),
                                   [&](const Adapter& a) { return a.spec->id == spec.parent; });
        i = static_cast<size_t>(parent - adapters_.begin());
    }
    return true;
}

bool SimBackend::Present(const Disk& disk) {
    const MachineState& state = shared_.Loaded();
    auto found = state.disks.find(disk.spec->id);
    bool present = found == state.disks.end() ? disk.spec->present : found->second.present;
    return present && AdapterPresent(disk.spec->adapter);
}

SimBackend::Disk* SimBackend::DiskById(const std::string& id) {
    for (auto& disk : disks_)
        if (disk.spec->id == id) return &disk;
    return nullptr;
}

SimBackend::Disk* SimBackend::DiskByMedia(const std::string& media) {
    if (media.rfind("disk:", 0) != 0) return nullptr;
    uint32_t number = static_cast<uint32_t>(std::strtoul(media.c_str() + 5, nullptr, 10));
    return number < disks_.size() ? &disks_[number] : nullptr;
}

std::vector<PartitionExtent> SimBackend::ReadTable(Disk& disk) {
    uint64_t sectors = disk.spec->size / 512;
    auto table = ReadPartitionTable(
        [&](uint64_t sector, std::span<uint8_t, 512> data) {
            return sector < sectors && ReadAt(disk.image.Get(), sector * 512,
                                              std::as_writable_bytes(data)) == ERROR_SUCCESS;
        },
        sectors);
    auto partitions = MountablePartitions(table);
    // A table entry reaching past the end of the disk does not make a volume.
    std::erase_if(partitions,
                  [&](const PartitionExtent& p) { return p.firstSector + p.sectors > sectors; });
    return partitions;
}

std::vector<PartitionExtent> SimBackend::PartitionsAsRead(Disk& disk) {
    auto stored = [&]() -> const std::optional<std::vector<PartitionExtent>>* {
        auto found = shared_.Loaded().disks.find(disk.spec->id);
        return found == shared_.Loaded().disks.end() ? nullptr : &found->second.partitions;
    };
    if (auto* table = stored(); table && *table) return **table;
    RereadPartitions(disk.number);
    if (auto* table = stored(); table && *table) return **table;
    // The state could not be stored; this process still sees the table.
    return disk.spec->media ? ReadTable(disk) : std::vector<PartitionExtent>{};
}

DWORD SimBackend::RereadPartitions(uint32_t number) {
    if (number >= disks_.size()) return ERROR_DEVICE_NOT_CONNECTED;
    return RereadTables({&disks_[number]});
}

// Reads the tables of several disks under one update of the shared state.
DWORD SimBackend::RereadTables(const std::vector<Disk*>& disks) {
    if (disks.empty()) return ERROR_SUCCESS;
    std::vector<std::pair<std::string, std::vector<PartitionExtent>>> tables;
    const MachineState& known = shared_.Current();
    for (Disk* disk : disks) {
        auto table = disk->spec->media ? ReadTable(*disk) : std::vector<PartitionExtent>{};
        auto found = known.disks.find(disk->spec->id);
        // An unchanged table changes nothing; the views built on it stay valid.
        if (found != known.disks.end() && found->second.partitions == table) continue;
        tables.emplace_back(disk->spec->id, std::move(table));
    }
    if (tables.empty()) return ERROR_SUCCESS;
    auto failed = shared_.Update([&](MachineState& state) {
        for (auto& [id, partitions] : tables) state.disks[id].partitions = std::move(partitions);
    });
    return failed ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

void SimBackend::Rescan() {
    shared_.Current();
    std::vector<Disk*> present;
    for (auto& disk : disks_)
        if (Present(disk)) present.push_back(&disk);
    RereadTables(present);
}

bool SimBackend::Plug(const std::string& id, bool present, std::string* error) {
    Disk* disk = DiskById(id);
    auto adapter = std::find_if(adapters_.begin(), adapters_.end(),
                                [&](const Adapter& a) { return a.spec->id == id; });
    if (!disk && adapter == adapters_.end()) {
        if (error) *error = "the machine has no disk or adapter \"" + id + "\"";
        return false;
    }
    auto failed = shared_.Update([&](MachineState& state) {
        std::string key = disk ? id : "adapter:" + id;
        state.disks[key].present = present;
        if (disk && present) {
            // Plugging a disk in plugs in the adapters it hangs below.
            for (const AdapterSpec* a = &spec_.adapters[disk->spec->adapter]; a;) {
                state.disks["adapter:" + a->id].present = true;
                auto parent = std::find_if(spec_.adapters.begin(), spec_.adapters.end(),
                                           [&](const AdapterSpec& s) { return s.id == a->parent; });
                a = parent == spec_.adapters.end() ? nullptr : &*parent;
            }
        }
        if (disk) state.disks[id].partitions.reset();  // read afresh on arrival
    });
    if (failed && error) *error = *failed;
    return !failed;
}

DWORD SimBackend::RemoveDevice(const std::string& instanceId) {
    shared_.Current();
    for (auto& disk : disks_)
        if (EqualsNoCase(disk.instanceId, instanceId) && Present(disk))
            return Plug(disk.spec->id, false) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    for (size_t i = 0; i < adapters_.size(); ++i)
        if (EqualsNoCase(adapters_[i].instanceId, instanceId) && AdapterPresent(i))
            return Plug(adapters_[i].spec->id, false) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    return ERROR_NO_SUCH_DEVINST;
}

std::map<DWORD, RegistryValue> SimBackend::AdapterProperties(const Adapter& adapter) {
    const AdapterSpec& spec = *adapter.spec;
    size_t index = static_cast<size_t>(&adapter - adapters_.data());
    std::map<DWORD, RegistryValue> p;
    std::string classGuid = GuidText(SetupClass(spec.cls));
    p[SPDRP_DEVICEDESC] = Text(spec.description);
    p[SPDRP_CLASSGUID] = Text(classGuid);
    p[SPDRP_DRIVER] = Text(classGuid + "\\" + Hex(index, 4));
    p[SPDRP_CONFIGFLAGS] = Number(0);
    p[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = Text("\\Device\\NTPNP_" + Hex(0x10 + index, 8));
    p[SPDRP_BUSNUMBER] = Number(0);
    p[SPDRP_INSTALL_STATE] = Number(0);
    p[SPDRP_ADDRESS] = Number(static_cast<uint32_t>(index));
    if (spec.cls == "ATA" || spec.cls == "SCSIADAPTER") {
        bool ata = spec.cls == "ATA";
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
        bool hub = spec.kind == "hub";
        std::string id = adapter.instanceId.substr(0, adapter.instanceId.rfind('\\'));
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
        p[SPDRP_UI_NUMBER] = Number(static_cast<uint32_t>(index + 1));
        p[SPDRP_BUSTYPEGUID] = Binary(kUsbBus);
        p[SPDRP_LEGACYBUSTYPE] = Number(0xFFFFFFFF);
        p[SPDRP_ENUMERATOR_NAME] = Text("USB");
        p[SPDRP_REMOVAL_POLICY] = Number(hub ? 1 : 3);  // surprise removal for sticks
        p[SPDRP_DEVICE_POWER_DATA] = RegistryValue{REG_BINARY, {0x2C, 0, 0, 0, 0x01, 0, 0, 0}};
    }
    ApplyOverrides(p, spec.properties);
    return p;
}

std::map<DWORD, RegistryValue> SimBackend::DiskProperties(const Disk& disk) {
    const DiskSpec& spec = *disk.spec;
    const AdapterSpec& adapter = spec_.adapters[spec.adapter];
    std::map<DWORD, RegistryValue> p;
    std::string classGuid = GuidText(GUID_DEVCLASS_DISKDRIVE);
    std::string enumerator = adapter.cls == "USB"   ? "USBSTOR"
                             : adapter.cls == "ATA" ? "IDE"
                                                    : "SCSI";
    std::string vendor8 = Padded(spec.vendor, 8), product16 = Padded(spec.product, 16);
    p[SPDRP_DEVICEDESC] = Text("Disk drive");
    p[SPDRP_HARDWAREID] = MultiText(
        {enumerator + "\\Disk" + vendor8 + product16 + spec.revision,
         enumerator + "\\Disk" + vendor8 + product16, enumerator + "\\Disk" + vendor8,
         enumerator + "\\" + vendor8 + product16 + spec.revision.substr(0, 1),
         vendor8 + product16 + spec.revision.substr(0, 1), enumerator + "\\GenDisk", "GenDisk"});
    p[SPDRP_COMPATIBLEIDS] = MultiText({enumerator + "\\Disk", enumerator + "\\RAW"});
    p[SPDRP_SERVICE] = Text("disk");
    p[SPDRP_CLASS] = Text("DiskDrive");
    p[SPDRP_CLASSGUID] = Text(classGuid);
    p[SPDRP_DRIVER] = Text(classGuid + "\\" + Hex(disk.number, 4));
    p[SPDRP_CONFIGFLAGS] = Number(0);
    p[SPDRP_MFG] = Text("(Standard disk drives)");
    p[SPDRP_FRIENDLYNAME] = Text(spec.friendlyName);
    p[SPDRP_PHYSICAL_DEVICE_OBJECT_NAME] = Text("\\Device\\" + Hex(0x40 + disk.number, 8));
    p[SPDRP_CAPABILITIES] = Number(spec.removable ? 0x10 : 0x00);
    p[SPDRP_ENUMERATOR_NAME] = Text(enumerator);
    p[SPDRP_ADDRESS] = Number(disk.target);
    p[SPDRP_REMOVAL_POLICY] = Number(spec.removable ? 3 : 1);
    p[SPDRP_REMOVAL_POLICY_HW_DEFAULT] = Number(spec.removable ? 3 : 1);
    p[SPDRP_INSTALL_STATE] = Number(0);
    p[SPDRP_BUSNUMBER] = Number(0);
    p[SPDRP_LEGACYBUSTYPE] = Number(adapter.cls == "USB" ? 0xFFFFFFFF : 5);
    p[SPDRP_BUSTYPEGUID] = Binary(adapter.cls == "USB" ? kUsbBus : kPciBus);
    ApplyOverrides(p, spec.properties);
    return p;
}

DeviceTreeView SimBackend::DeviceTree() {
    shared_.Current();
    if (tree_.view && tree_.generation == shared_.Generation()) return tree_.view;
    std::vector<DeviceNode> nodes;
    DeviceNode root;
    root.instanceId = "HTREE\\ROOT\\0";
    nodes.push_back(root);
    for (size_t i = 0; i < adapters_.size(); ++i) {
        const Adapter& adapter = adapters_[i];
        if (!AdapterPresent(i)) continue;
        bool massStorage = adapter.spec->cls == "USB" && adapter.spec->kind != "hub";
        bool anyDisk = std::any_of(adapter.spec->disks.begin(), adapter.spec->disks.end(),
                                   [&](size_t d) { return Present(disks_[d]); });
        // A stick's USB device goes away with its disk.
        if (massStorage && !adapter.spec->disks.empty() && !anyDisk) continue;
        DeviceNode node;
        node.instanceId = adapter.instanceId;
        node.parentId = root.instanceId;
        if (!adapter.spec->parent.empty())
            for (const auto& other : adapters_)
                if (other.spec->id == adapter.spec->parent) node.parentId = other.instanceId;
        node.setupClass = SetupClass(adapter.spec->cls);
        if (!adapter.portPath.empty())
            node.interfaces.push_back({GUID_DEVINTERFACE_STORAGEPORT, adapter.portPath});
        node.properties = AdapterProperties(adapter);
        nodes.push_back(std::move(node));
        for (size_t d : adapter.spec->disks) {
            const Disk& disk = disks_[d];
            if (!Present(disk)) continue;
            DeviceNode child;
            child.instanceId = disk.instanceId;
            child.parentId = adapter.instanceId;
            child.setupClass = GUID_DEVCLASS_DISKDRIVE;
            child.interfaces.push_back({GUID_DEVINTERFACE_DISK, disk.interfacePath});
            child.properties = DiskProperties(disk);
            nodes.push_back(std::move(child));
        }
    }
    // Parents come before their children even when a parent is listed later.
    std::stable_partition(nodes.begin() + 1, nodes.end(),
                          [&](const DeviceNode& n) { return n.parentId == root.instanceId; });
    tree_ = {std::make_shared<const std::vector<DeviceNode>>(std::move(nodes)),
             shared_.Generation()};
    return tree_.view;
}

std::shared_ptr<const std::vector<DiskInfo>> SimBackend::Disks() {
    shared_.Current();
    if (disks_view_.view && disks_view_.generation == shared_.Generation()) return disks_view_.view;
    std::vector<DiskInfo> disks;
    for (const auto& disk : disks_) {
        if (!Present(disk)) continue;
        DiskInfo info;
        info.number = disk.number;
        info.id = disk.spec->id;
        info.instanceId = disk.instanceId;
        info.interfacePath = disk.interfacePath;
        info.size = disk.spec->size;
        info.geometry.heads = disk.spec->heads;
        info.geometry.sectorsPerTrack = disk.spec->sectorsPerTrack;
        info.geometry.cylinders =
            disk.spec->size / 512 / (disk.spec->heads * disk.spec->sectorsPerTrack);
        info.removable = disk.spec->removable;
        info.mediaPresent = disk.spec->media;
        info.scsiPort = disk.port;
        info.scsiTarget = disk.target;
        disks.push_back(info);
    }
    disks_view_ = {std::make_shared<const std::vector<DiskInfo>>(std::move(disks)),
                   shared_.Generation()};
    return disks_view_.view;
}

uint64_t SimBackend::MediaSize(const std::string& media) {
    shared_.Current();
    if (media == "floppy") return spec_.floppy ? spec_.floppy->size : 0;
    Disk* disk = DiskByMedia(media);
    return disk && Present(*disk) && disk->spec->media ? disk->spec->size : 0;
}

DWORD SimBackend::Read(const std::string& media, uint64_t offset, std::span<std::byte> data) {
    shared_.Current();
    if (media == "floppy") {
        if (!floppy_.Valid()) return ERROR_NOT_READY;
        if (offset + data.size() > spec_.floppy->size) return ERROR_SECTOR_NOT_FOUND;
        return ReadAt(floppy_.Get(), offset, data);
    }
    Disk* disk = DiskByMedia(media);
    if (!disk || !Present(*disk)) return ERROR_DEVICE_NOT_CONNECTED;
    if (!disk->spec->media) return ERROR_NOT_READY;
    if (offset + data.size() > disk->spec->size) return ERROR_SECTOR_NOT_FOUND;
    return ReadAt(disk->image.Get(), offset, data);
}

DWORD SimBackend::Write(const std::string& media, uint64_t offset, std::span<const std::byte> data,
                        const char* via) {
    shared_.Current();
    int fd = -1;
    std::string name;
    if (media == "floppy") {
        if (!floppy_.Valid()) return ERROR_NOT_READY;
        if (offset + data.size() > spec_.floppy->size) return ERROR_SECTOR_NOT_FOUND;
        name = "floppy";
        fd = floppy_.Get();
    } else {
        Disk* disk = DiskByMedia(media);
        if (!disk || !Present(*disk)) return ERROR_DEVICE_NOT_CONNECTED;
        if (!disk->spec->media) return ERROR_NOT_READY;
        if (offset + data.size() > disk->spec->size) return ERROR_SECTOR_NOT_FOUND;
        if (!WriteRefusal(disk->number).empty()) return ERROR_ACCESS_DENIED;
        name = disk->spec->id;
        fd = disk->image.Get();
    }
    // The intent is on record before the first byte moves, so that a writer
    // killed in between leaves the journal covering every changed sector.
    uint64_t key = 0;
    if (DWORD error = JournalIntent(name, offset, data.size(), via, &key); error != ERROR_SUCCESS)
        return error;
    DWORD error = WriteAt(fd, offset, data);
    JournalDone(key, error == ERROR_SUCCESS);
    return error;
}

DWORD SimBackend::JournalIntent(const std::string& name, uint64_t offset, uint64_t length,
                                const std::string& via, uint64_t* key) {
    *key = ++journalSequence_;
    return shared_.AppendJournal("+ " + std::to_string(::getpid()) + "." + std::to_string(*key) +
                                 " " + name + " " + std::to_string(offset) + " " +
                                 std::to_string(length) + " " + via);
}

void SimBackend::JournalDone(uint64_t key, bool completed) {
    // A mark that cannot be written leaves the entry open, which still
    // covers the write.
    shared_.AppendJournal("= " + std::to_string(::getpid()) + "." + std::to_string(key) +
                          (completed ? "" : " failed"));
}

std::string SimBackend::ImagePath(const std::string& image) const {
    std::filesystem::path path(image);
    return (path.is_relative() ? std::filesystem::path(spec_.stateDir) / path : path).string();
}

std::string SimBackend::MediaPath(const std::string& media) {
    if (media == "floppy") return spec_.floppy ? ImagePath(spec_.floppy->image) : "";
    Disk* disk = DiskByMedia(media);
    return disk ? ImagePath(disk->spec->image) : "";
}

DWORD SimBackend::BeginOutsideWrite(const std::string& media, uint64_t offset, uint64_t length,
                                    const std::string& tool, uint64_t* token) {
    shared_.Current();
    std::string name = "floppy";
    if (media != "floppy") {
        Disk* disk = DiskByMedia(media);
        if (!disk || !Present(*disk)) return ERROR_DEVICE_NOT_CONNECTED;
        if (!WriteRefusal(disk->number).empty()) return ERROR_ACCESS_DENIED;
        name = disk->spec->id;
    }
    return JournalIntent(name, offset, length, tool, token);
}

void SimBackend::EndOutsideWrite(uint64_t token, bool completed) {
    JournalDone(token, completed);
}

std::string SimBackend::WriteRefusal(uint32_t number) {
    if (number >= disks_.size()) return {};
    const DiskSpec& spec = *disks_[number].spec;
    if (spec.system) return "disk \"" + spec.id + "\" holds the running system";
    // The disk the machine file gives the Windows directory's letter stays
    // the system disk even while its table reads differently.
    std::string letter = Upper(spec_.windowsDir.substr(0, 2));
    for (const auto& volume : spec.volumes)
        if (Upper(volume.letter) == letter)
            return "disk \"" + spec.id + "\" holds the Windows directory " + spec_.windowsDir;
    return {};
}

std::shared_ptr<const std::vector<VolumeInfo>> SimBackend::Volumes() {
    shared_.Current();
    if (volumes_.view && volumes_.generation == shared_.Generation()) return volumes_.view;
    std::vector<Disk*> unread;
    for (auto& disk : disks_) {
        auto found = shared_.Loaded().disks.find(disk.spec->id);
        bool read = found != shared_.Loaded().disks.end() && found->second.partitions;
        if (!read && Present(disk)) unread.push_back(&disk);
    }
    RereadTables(unread);
    std::vector<VolumeInfo> volumes;
    if (spec_.floppy) {
        VolumeInfo floppy;
        floppy.name = VolumeGuidName("floppy", 0);
        floppy.mountPaths = {"A:\\"};
        floppy.driveType = DRIVE_REMOVABLE;
        floppy.length = spec_.floppy->size;
        floppy.mediaId = "floppy";
        volumes.push_back(floppy);
    }
    for (auto& disk : disks_) {
        if (!Present(disk)) continue;
        const DiskSpec& spec = *disk.spec;
        auto mountPaths = [&](size_t index) {
            std::vector<std::string> paths;
            if (index >= spec.volumes.size()) return paths;
            if (!spec.volumes[index].letter.empty())
                paths.push_back(spec.volumes[index].letter + "\\");
            for (const auto& folder : spec.volumes[index].folders) paths.push_back(folder);
            return paths;
        };
        UINT type = spec.removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
        if (!spec.media) {
            if (spec.volumes.empty()) continue;
            VolumeInfo slot;
            slot.name = VolumeGuidName(spec.id, 0);
            slot.mountPaths = mountPaths(0);
            slot.disk = disk.number;
            slot.driveType = type;
            slot.extentsReadable = false;
            slot.mediaId = "disk:" + std::to_string(disk.number);
            volumes.push_back(slot);
            continue;
        }
        auto partitions = PartitionsAsRead(disk);
        for (size_t i = 0; i < partitions.size(); ++i) {
            const auto& partition = partitions[i];
            VolumeInfo volume;
            volume.name = VolumeGuidName(spec.id, partition.firstSector);
            volume.mountPaths = mountPaths(i);
            volume.disk = disk.number;
            volume.partitionNumber = partition.number;
            volume.offset = partition.firstSector * 512;
            volume.length = partition.sectors * 512;
            volume.driveType = type;
            volume.mediaId = "disk:" + std::to_string(disk.number);
            volumes.push_back(volume);
        }
    }
    volumes_ = {std::make_shared<const std::vector<VolumeInfo>>(std::move(volumes)),
                shared_.Generation()};
    return volumes_.view;
}

DWORD SimBackend::LogicalDrives() {
    DWORD mask = 0;
    for (const auto& volume : *Volumes())
        for (const auto& path : volume.mountPaths)
            if (path.size() == 3)
                mask |= 1u << (std::toupper(static_cast<unsigned char>(path[0])) - 'A');
    return mask;
}

std::vector<ScsiPortInfo> SimBackend::ScsiPorts() {
    std::vector<ScsiPortInfo> ports;
    auto tree = DeviceTree();
    for (const auto& adapter : adapters_) {
        if (!adapter.port) continue;
        bool present = std::any_of(tree->begin(), tree->end(), [&](const DeviceNode& node) {
            return node.instanceId == adapter.instanceId;
        });
        if (present) ports.push_back({*adapter.port, adapter.instanceId});
    }
    return ports;
}

ScsiOutcome SimBackend::ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                    DataDirection direction, std::span<std::byte> data) {
    auto ports = ScsiPorts();
    bool portPresent = std::any_of(ports.begin(), ports.end(),
                                   [&](const ScsiPortInfo& p) { return p.number == address.port; });
    if (!portPresent) return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
    for (auto& disk : disks_) {
        if (disk.port != address.port || disk.target != address.target || address.lun != 0)
            continue;
        if (!Present(disk)) break;
        ScsiDisk target;
        const DiskSpec& spec = *disk.spec;
        target.vendor = spec.vendor;
        target.product = spec.product;
        target.revision = spec.revision;
        target.serial = spec.serial;
        target.size = spec.size;
        target.geometry = {spec.size / 512 / (spec.heads * spec.sectorsPerTrack), spec.heads,
                           spec.sectorsPerTrack, 512};
        target.removable = spec.removable;
        target.media = spec.media;
        target.modePage5 = spec.modePage5;
        std::string media = "disk:" + std::to_string(disk.number);
        target.read = [this, media](uint64_t offset, std::span<std::byte> bytes) {
            return Read(media, offset, bytes);
        };
        target.write = [media](uint64_t offset, std::span<const std::byte> bytes) {
            return WriteMedia(media, offset, bytes, "SCSI WRITE(10)");
        };
        target.pendingSense = &disk.pendingSense;
        return ExecuteOnDisk(target, cdb, direction, data);
    }
    return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
}

std::vector<AspiHostInfo> SimBackend::AspiHosts() {
    shared_.Current();
    std::vector<AspiHostInfo> hosts;
    // A host adapter is there exactly when its SCSI port is.
    auto ports = ScsiPorts();
    for (const Adapter& adapter : adapters_) {
        if (!adapter.spec->aspi || !adapter.port) continue;
        if (std::none_of(ports.begin(), ports.end(),
                         [&](const ScsiPortInfo& p) { return p.number == *adapter.port; }))
            continue;
        AspiHostInfo host;
        host.port = *adapter.port;
        host.hostScsiId = adapter.spec->scsiId;
        host.manager = "ASPI for WIN32";
        host.identifier = adapter.spec->cls == "USB"   ? "USBSTOR"
                          : adapter.spec->cls == "ATA" ? "ATAPI"
                                                       : "SCSI";
        hosts.push_back(host);
    }
    return hosts;
}

std::vector<larkin::sim::DiskStatus> SimBackend::DiskStatuses() {
    shared_.Current();
    std::vector<larkin::sim::DiskStatus> statuses;
    auto volumes = Volumes();
    for (const auto& disk : disks_) {
        larkin::sim::DiskStatus status;
        status.id = disk.spec->id;
        status.adapter = spec_.adapters[disk.spec->adapter].id;
        status.number = disk.number;
        status.present = Present(disk);
        std::filesystem::path image(disk.spec->image);
        status.image =
            (image.is_relative() ? std::filesystem::path(spec_.stateDir) / image : image).string();
        status.size = disk.spec->size;
        for (const auto& volume : *volumes)
            if (volume.disk == disk.number)
                for (const auto& path : volume.mountPaths)
                    if (path.size() == 3) status.letters.push_back(path.substr(0, 2));
        statuses.push_back(status);
    }
    return statuses;
}

std::vector<larkin::sim::JournalEntry> SimBackend::Journal() {
    // "+ KEY DISK OFFSET LENGTH VIA" opens an entry before the write,
    // "= KEY [failed]" closes it after.
    std::vector<larkin::sim::JournalEntry> entries;
    std::map<std::string, size_t> open;
    for (const auto& line : shared_.JournalLines()) {
        std::istringstream words(line);
        std::string mark, key;
        if (!(words >> mark >> key)) continue;
        if (mark == "=") {
            auto found = open.find(key);
            if (found == open.end()) continue;
            std::string outcome;
            words >> outcome;
            entries[found->second].completed = outcome.empty();
            open.erase(found);
            continue;
        }
        larkin::sim::JournalEntry entry;
        if (mark != "+" || !(words >> entry.disk >> entry.offset >> entry.length)) continue;
        entry.pid = std::strtol(key.c_str(), nullptr, 10);
        entry.completed = false;
        std::getline(words >> std::ws, entry.via);
        open[key] = entries.size();
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace sim
}  // namespace larkin::platform
