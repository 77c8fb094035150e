#include "sim_backend.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "machine/emulated_scsi_disk.h"
#include "machine/write_guard.h"
#include "machine/floppy_image.h"
#include "machine/volume_extents.h"
#include "runtime/runtime.h"
#include "runtime/text.h"
#include "property_names.h"

namespace larkin::platform {

std::unique_ptr<Backend> MakeSimulatedBackend(const std::string& machineFile, std::string* error) {
    return sim::SimBackend::Open(machineFile, error);
}

namespace sim {

namespace {

// As the Linux SCSI layer: a command given no time-out waits a minute.
constexpr uint32_t kDefaultScsiTimeoutSeconds = 60;
// How often a command waiting on a disk that does not answer looks whether
// it was unplugged (perhaps by another process).
constexpr std::chrono::milliseconds kUnplugPoll{20};
constexpr uint8_t kInquiryOperation = 0x12;

// An image is made at its full size, so one that ends early was cut short
// behind the machine's back.
DWORD ReadAt(int fd, uint64_t offset, std::span<std::byte> data) {
    int error = ReadWholeAt(fd, offset, data);
    if (error == kEndReached) return ERROR_READ_FAULT;
    return error ? static_cast<DWORD>(ErrorFromErrno(error)) : ERROR_SUCCESS;
}

DWORD WriteAt(int fd, uint64_t offset, std::span<const std::byte> data) {
    int error = WriteWholeAt(fd, offset, data);
    if (error == kEndReached) return ERROR_WRITE_FAULT;
    return error ? static_cast<DWORD>(ErrorFromErrno(error)) : ERROR_SUCCESS;
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
        // Only a regular file holds a disk: a device or a pipe named there
        // is refused, never opened for writing.
        std::string why;
        result.fd = OpenRegularFile(path.string(), O_RDWR, &why);
        if (!result.fd.Valid()) {
            if (errno == ENOENT) return false;
            result.error = why;
            return true;
        }
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

// Runs mkfs.fat with args; what went wrong, or "".
std::string MakeFat(std::vector<std::string> args) {
    std::string mkfs = FindProgram("mkfs.fat");
    if (mkfs.empty()) return "formatting needs mkfs.fat (Debian package dosfstools)";
    args.insert(args.begin(), mkfs);
    std::string log;
    return RunProgram(args, &log) == 0 ? std::string() : "mkfs.fat failed: " + log;
}

// Writes the partition table the machine file gives and formats the
// partitions that ask for it.
std::string BuildDiskImage(const DiskEntry& entry, const std::string& path, int fd) {
    if (entry.partitions.empty()) return {};
    std::array<uint8_t, 512> mbr{};
    uint32_t signature = static_cast<uint32_t>(Fnv(entry.id));
    std::memcpy(&mbr[440], &signature, 4);
    DiskGeometry geometry{0, entry.heads, entry.sectorsPerTrack, 512};
    for (size_t i = 0; i < entry.partitions.size() && i < 4; ++i) {
        const auto& p = entry.partitions[i];
        PartitionRecord record{static_cast<uint8_t>(p.active ? 0x80 : 0), p.type, p.start,
                               p.sectors.value_or(entry.size / 512 - p.start)};
        EncodeEntry(std::span<uint8_t, 16>(&mbr[446 + 16 * i], 16), record, geometry);
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    if (WriteAt(fd, 0, std::as_bytes(std::span(mbr))) != ERROR_SUCCESS) return std::strerror(errno);
    for (const auto& p : entry.partitions) {
        if (p.format.empty()) continue;
        uint64_t sectors = p.sectors.value_or(entry.size / 512 - p.start);
        std::string why =
            MakeFat({"-F", p.format.substr(3), "-n", p.label.empty() ? "NO NAME" : p.label, "-S",
                     "512", "-h", std::to_string(p.start), "-g",
                     std::to_string(entry.heads) + "/" + std::to_string(entry.sectorsPerTrack),
                     "--offset", std::to_string(p.start), path, std::to_string(sectors / 2)});
        if (!why.empty()) return why;
    }
    return {};
}

Bus BusOf(const std::string& cls) {
    if (cls == "ATA") return Bus::Ata;
    if (cls == "SCSIADAPTER") return Bus::Scsi;
    return Bus::Usb;
}

PropertyOverrides Overrides(const std::map<std::string, PropertyEntry>& properties) {
    PropertyOverrides overrides;
    for (const auto& [name, entry] : properties)
        if (auto code = PropertyCode(name))  // the machine file refused any other
            overrides[*code] = PropertyOverride{entry.absent, entry.type, entry.data};
    return overrides;
}

// One handle's view of a disk or the floppy drive.
class SimMediaAccess final : public MediaAccess {
  public:
    SimMediaAccess(SimBackend& machine, MediaRef media) : machine_(machine), media_(media) {}
    DWORD Read(uint64_t offset, std::span<std::byte> data) override {
        return machine_.ReadMedia(media_, offset, data);
    }
    DWORD Write(uint64_t offset, std::span<const std::byte> data) override {
        return machine_.WriteMedia(media_, offset, data);
    }
    uint64_t Size() override { return machine_.MediaSize(media_); }

  private:
    SimBackend& machine_;
    MediaRef media_;
};

}  // namespace

SimBackend::SimBackend(MachineDescription entry)
    : described_(std::move(entry)),
      timeScale_(described_.timeScale),
      shared_(described_.stateDir) {}

std::unique_ptr<SimBackend> SimBackend::Open(const std::string& machineFile, std::string* error) {
    auto entry = LoadMachineFile(machineFile, error);
    if (!entry) return nullptr;
    auto backend = std::make_unique<SimBackend>(std::move(*entry));
    if (!backend->Prepare(error)) return nullptr;
    return backend;
}

bool SimBackend::Prepare(std::string* error) {
    std::error_code failed;
    std::filesystem::create_directories(described_.stateDir + "/locks", failed);
    if (failed) {
        *error = described_.file + ": cannot create the state folder " + described_.stateDir +
                 ": " + failed.message();
        return false;
    }
    if (!TimeScaleFromEnvironment(&timeScale_, error)) return false;
    if (described_.floppy) floppyImage_ = FloppyImageFromEnvironment();

    uint32_t nextPort = 0;
    for (const auto& entry : described_.adapters) {
        Adapter adapter;
        adapter.entry = &entry;
        if (entry.storagePort) adapter.port = nextPort++;
        adapters_.push_back(adapter);
    }
    uint32_t number = 0;
    for (const auto& entry : described_.disks) {
        Disk disk;
        disk.entry = &entry;
        disk.number = number++;
        const Adapter& adapter = adapters_[entry.adapter];
        size_t position = std::find(adapter.entry->disks.begin(), adapter.entry->disks.end(),
                                    static_cast<size_t>(&entry - described_.disks.data())) -
                          adapter.entry->disks.begin();
        disk.target = entry.target.value_or(static_cast<uint8_t>(position));
        disk.port = adapter.port;
        if (!PrepareImage(disk, error)) return false;
        disks_.push_back(std::move(disk));
    }

    if (described_.floppy) {
        std::string path = ImagePath(described_.floppy->image);
        bool format = described_.floppy->format;
        auto image = OpenImage(path, described_.floppy->size, [&](const std::string& made, int) {
            return format ? MakeFat({"-F", "12", "-n", "FLOPPY", made}) : std::string();
        });
        if (!image.fd.Valid()) {
            *error = described_.file + ": floppy image " + path + ": " + image.error;
            return false;
        }
        floppy_ = std::move(image.fd);
    }

    if (!DistinctImages(error)) return false;

    // Disks seen for the first time start as the machine file says.
    auto unstored = shared_.Update([&](MachineState& state) {
        for (const auto& disk : disks_)
            if (!state.disks.contains(disk.entry->id))
                state.disks[disk.entry->id].present = disk.entry->present;
    });
    if (unstored) {
        *error = described_.file + ": " + *unstored;
        return false;
    }
    return true;
}

// Two names (a link, another spelling) for one file would make two disks of
// one image: writes to one would land on the other, journaled as the first.
bool SimBackend::DistinctImages(std::string* error) {
    std::vector<std::string> owners;
    struct stat info {};
    if (::stat(described_.file.c_str(), &info) == 0) {
        madeOf_.emplace_back(info.st_dev, info.st_ino);
        owners.push_back("the machine file itself");
    }
    auto check = [&](int fd, const std::string& image, const std::string& owner) {
        if (::fstat(fd, &info) != 0) return true;
        std::pair<uint64_t, uint64_t> id(info.st_dev, info.st_ino);
        auto same = std::find(madeOf_.begin(), madeOf_.end(), id);
        if (same != madeOf_.end()) {
            *error = described_.file + ": " + owner + ": image " + ImagePath(image) +
                     " is the same file as " + owners[static_cast<size_t>(same - madeOf_.begin())];
            return false;
        }
        madeOf_.push_back(id);
        owners.push_back("the image of " + owner);
        return true;
    };
    if (described_.floppy && floppy_.Valid() &&
        !check(floppy_.Get(), described_.floppy->image, "the floppy drive"))
        return false;
    for (const auto& disk : disks_)
        if (!check(disk.image.Get(), disk.entry->image, "disk \"" + disk.entry->id + "\""))
            return false;
    return true;
}

bool SimBackend::PrepareImage(Disk& disk, std::string* error) {
    const DiskEntry& entry = *disk.entry;
    std::string path = ImagePath(entry.image);
    auto image = OpenImage(path, entry.size, [&](const std::string& made, int fd) {
        return BuildDiskImage(entry, made, fd);
    });
    if (!image.fd.Valid()) {
        *error =
            described_.file + ": disk \"" + entry.id + "\": image " + path + ": " + image.error;
        return false;
    }
    disk.image = std::move(image.fd);
    return true;
}

std::string SimBackend::ImagePath(const std::string& image) const {
    std::filesystem::path path(image);
    return (path.is_relative() ? std::filesystem::path(described_.stateDir) / path : path).string();
}

bool SimBackend::MadeOf(uint64_t device, uint64_t inode) {
    std::lock_guard guard(mutex_);
    struct stat image {};
    if (!floppyImage_.empty() && ::stat(floppyImage_.c_str(), &image) == 0 &&
        image.st_dev == device && image.st_ino == inode)
        return true;
    return std::find(madeOf_.begin(), madeOf_.end(), std::pair(device, inode)) != madeOf_.end();
}

uint64_t SimBackend::Generation() {
    std::lock_guard guard(mutex_);
    shared_.Current();
    return shared_.Generation() + floppyImageChanges_;
}

DWORD SimBackend::UseFloppyImage(const std::string& path, std::string* why) {
    std::lock_guard guard(mutex_);
    if (!described_.floppy) {
        *why = described_.file + " describes no floppy drive to hold the image";
        return ERROR_NOT_SUPPORTED;
    }
    std::string absolute = AbsoluteImagePath(path);
    if (!absolute.empty()) {
        OpenedFloppy opened = OpenFloppyImage(absolute);
        if (!opened.fd.Valid()) {
            *why = opened.why;
            return opened.error;
        }
    }
    floppyImage_ = absolute;
    ++floppyImageChanges_;
    return ERROR_SUCCESS;
}

bool SimBackend::AdapterPresent(size_t index) {
    const MachineState& state = shared_.Loaded();
    for (size_t i = index;;) {
        const AdapterEntry& entry = *adapters_[i].entry;
        auto found = state.disks.find("adapter:" + entry.id);
        if (found != state.disks.end() && !found->second.present) return false;
        if (entry.parent.empty()) break;
        auto parent = std::find_if(adapters_.begin(), adapters_.end(),
                                   [&](const Adapter& a) { return a.entry->id == entry.parent; });
        i = static_cast<size_t>(parent - adapters_.begin());
    }
    return true;
}

bool SimBackend::Present(const Disk& disk) {
    const MachineState& state = shared_.Loaded();
    auto found = state.disks.find(disk.entry->id);
    bool present = found == state.disks.end() ? disk.entry->present : found->second.present;
    return present && AdapterPresent(disk.entry->adapter);
}

SimBackend::Disk* SimBackend::DiskById(const std::string& id) {
    for (auto& disk : disks_)
        if (disk.entry->id == id) return &disk;
    return nullptr;
}

SimBackend::Disk* SimBackend::DiskOf(const MediaRef& media) {
    return media.disk && *media.disk < disks_.size() ? &disks_[*media.disk] : nullptr;
}

std::vector<PartitionExtent> SimBackend::ReadTable(Disk& disk) {
    uint64_t sectors = disk.entry->size / 512;
    auto read = [&](uint64_t sector, std::span<uint8_t, 512> data) {
        return sector < sectors && ReadAt(disk.image.Get(), sector * 512,
                                          std::as_writable_bytes(data)) == ERROR_SUCCESS;
    };
    auto fileSystemAt = [&](uint64_t offset, uint64_t) {
        std::array<uint8_t, 512> first{};
        return read(offset / 512, first) ? FileSystemOfBootSector(first) : std::string();
    };
    PartitionTable table = ReadPartitionTable(read, sectors);
    auto numbered = Partitions(table);
    std::vector<PartitionExtent> partitions;
    for (const auto& extent : VolumeExtentsOf(table, disk.entry->size, 512, fileSystemAt)) {
        // The whole media (number 0) has no type.
        uint8_t type = extent.number ? numbered[extent.number - 1].type : 0;
        partitions.push_back({extent.number, type, extent.offset / 512, extent.length / 512});
    }
    return partitions;
}

std::vector<PartitionExtent> SimBackend::PartitionsAsRead(Disk& disk) {
    auto stored = [&]() -> const std::optional<std::vector<PartitionExtent>>* {
        auto found = shared_.Loaded().disks.find(disk.entry->id);
        return found == shared_.Loaded().disks.end() ? nullptr : &found->second.partitions;
    };
    if (auto* table = stored(); table && *table) return **table;
    RereadPartitions(disk.number);
    if (auto* table = stored(); table && *table) return **table;
    // The state could not be stored; this process still sees the table.
    return disk.entry->media ? ReadTable(disk) : std::vector<PartitionExtent>{};
}

DWORD SimBackend::RereadPartitions(uint32_t number) {
    std::lock_guard guard(mutex_);
    if (number >= disks_.size()) return ERROR_DEVICE_NOT_CONNECTED;
    return RereadTables({&disks_[number]});
}

// Reads the tables of several disks under one update of the shared state.
DWORD SimBackend::RereadTables(const std::vector<Disk*>& disks) {
    if (disks.empty()) return ERROR_SUCCESS;
    auto tableOf = [this](Disk& disk) {
        return disk.entry->media ? ReadTable(disk) : std::vector<PartitionExtent>{};
    };
    const MachineState& known = shared_.Current();
    // An unchanged table changes nothing; the views built on it stay valid.
    bool changed = std::any_of(disks.begin(), disks.end(), [&](Disk* disk) {
        auto found = known.disks.find(disk->entry->id);
        return found == known.disks.end() || found->second.partitions != tableOf(*disk);
    });
    if (!changed) return ERROR_SUCCESS;
    // Read again under the state's lock: a table read before another
    // process wrote and recorded a new one must not overwrite its record.
    auto failed = shared_.Update([&](MachineState& state) {
        for (Disk* disk : disks) state.disks[disk->entry->id].partitions = tableOf(*disk);
    });
    return failed ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

void SimBackend::Rescan() {
    std::lock_guard guard(mutex_);
    shared_.Current();
    std::vector<Disk*> present;
    for (auto& disk : disks_)
        if (Present(disk)) present.push_back(&disk);
    RereadTables(present);
}

bool SimBackend::Plug(const std::string& id, bool present, std::string* error) {
    std::lock_guard guard(mutex_);
    Disk* disk = DiskById(id);
    auto adapter = std::find_if(adapters_.begin(), adapters_.end(),
                                [&](const Adapter& a) { return a.entry->id == id; });
    if (!disk && adapter == adapters_.end()) {
        if (error) *error = "the machine has no disk or adapter \"" + id + "\"";
        return false;
    }
    auto failed = shared_.Update([&](MachineState& state) {
        std::string key = disk ? id : "adapter:" + id;
        state.disks[key].present = present;
        if (disk && present) {
            // Plugging a disk in plugs in the adapters it hangs below.
            for (const AdapterEntry* a = &described_.adapters[disk->entry->adapter]; a;) {
                state.disks["adapter:" + a->id].present = true;
                auto parent =
                    std::find_if(described_.adapters.begin(), described_.adapters.end(),
                                 [&](const AdapterEntry& s) { return s.id == a->parent; });
                a = parent == described_.adapters.end() ? nullptr : &*parent;
            }
        }
        if (disk) state.disks[id].partitions.reset();  // read afresh on arrival
    });
    if (failed && error) *error = *failed;
    return !failed;
}

DWORD SimBackend::RemoveDevice(const std::string& key) {
    std::lock_guard guard(mutex_);
    shared_.Current();
    if (Disk* disk = DiskById(key); disk && Present(*disk))
        return Plug(key, false) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    for (size_t i = 0; i < adapters_.size(); ++i)
        if (adapters_[i].entry->id == key && AdapterPresent(i))
            return Plug(key, false) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    return ERROR_NO_SUCH_DEVINST;
}

// A stick's USB device goes away with its disk; hubs and host adapters stay.
bool SimBackend::Listed(size_t index) {
    if (!AdapterPresent(index)) return false;
    const AdapterEntry& entry = *adapters_[index].entry;
    bool massStorage = entry.cls == "USB" && entry.kind != "hub";
    if (!massStorage || entry.disks.empty()) return true;
    return std::any_of(entry.disks.begin(), entry.disks.end(),
                       [&](size_t d) { return Present(disks_[d]); });
}

AdapterFacts SimBackend::AdapterFactsOf(size_t index) const {
    const AdapterEntry& entry = *adapters_[index].entry;
    AdapterFacts facts;
    facts.key = entry.id;
    facts.parentKey = entry.parent;
    facts.bus = BusOf(entry.cls);
    facts.hub = entry.cls == "USB" && entry.kind == "hub";
    facts.index = static_cast<uint32_t>(index);
    facts.port = adapters_[index].port;
    facts.aspiHost = entry.aspi;
    facts.hostScsiId = entry.scsiId;
    facts.description = entry.description;
    facts.serial = entry.disks.empty() ? Upper(entry.id) : described_.disks[entry.disks[0]].serial;
    // Made-up USB ids, stable with the adapter's name.
    uint64_t hash = Fnv(entry.id);
    facts.usbVendorId = static_cast<uint16_t>(hash >> 16);
    facts.usbProductId = static_cast<uint16_t>(hash);
    facts.instanceId = entry.instanceId;
    facts.overrides = Overrides(entry.properties);
    return facts;
}

// The disk marked as the system's, or the one the machine file gives the
// Windows directory's letter: it stays the system disk even while its table
// reads differently.
bool SimBackend::HoldsSystem(const DiskEntry& entry) const {
    std::string letter = Upper(described_.windowsDir.substr(0, 2));
    return entry.system ||
           std::any_of(entry.volumes.begin(), entry.volumes.end(),
                       [&](const VolumeEntry& v) { return Upper(v.letter) == letter; });
}

DiskFacts SimBackend::DiskFactsOf(const Disk& disk) const {
    const DiskEntry& entry = *disk.entry;
    DiskFacts facts;
    facts.number = disk.number;
    facts.key = entry.id;
    facts.adapterKey = described_.adapters[entry.adapter].id;
    facts.target = disk.target;
    facts.vendor = entry.vendor;
    facts.product = entry.product;
    facts.revision = entry.revision;
    facts.serial = entry.serial;
    facts.friendlyName = entry.friendlyName;
    facts.size = entry.size;
    facts.heads = entry.heads;
    facts.sectorsPerTrack = entry.sectorsPerTrack;
    facts.removable = entry.removable;
    facts.mediaPresent = entry.media;
    facts.system = HoldsSystem(entry);
    facts.overrides = Overrides(entry.properties);
    return facts;
}

std::shared_ptr<const MachineFacts> SimBackend::Facts() {
    std::lock_guard guard(mutex_);
    shared_.Current();
    // Tables not read yet are read first; that changes the generation.
    std::vector<Disk*> unread;
    for (auto& disk : disks_) {
        auto found = shared_.Loaded().disks.find(disk.entry->id);
        bool read = found != shared_.Loaded().disks.end() && found->second.partitions;
        if (!read && Present(disk)) unread.push_back(&disk);
    }
    RereadTables(unread);
    if (facts_ && factsGeneration_ == Generation()) return facts_;

    auto facts = std::make_shared<MachineFacts>();
    facts->windowsDirectory = described_.windowsDir;
    for (size_t i = 0; i < adapters_.size(); ++i)
        if (Listed(i)) facts->adapters.push_back(AdapterFactsOf(i));
    for (const auto& disk : disks_)
        if (Present(disk)) facts->disks.push_back(DiskFactsOf(disk));

    if (described_.floppy && !floppyImage_.empty()) {
        std::string why;
        facts->volumes.push_back(FloppyImageVolume(floppyImage_, &why));
    } else if (described_.floppy) {
        VolumeFacts floppy;
        floppy.key = "floppy:0";
        floppy.floppy = true;
        floppy.removable = true;
        floppy.length = described_.floppy->size;
        floppy.mountPaths = {"A:\\"};
        facts->volumes.push_back(floppy);
    }
    for (auto& disk : disks_) {
        if (!Present(disk)) continue;
        const DiskEntry& entry = *disk.entry;
        auto mountPaths = [&](size_t index) {
            std::vector<std::string> paths;
            if (index >= entry.volumes.size()) return paths;
            if (!entry.volumes[index].letter.empty())
                paths.push_back(entry.volumes[index].letter + "\\");
            for (const auto& folder : entry.volumes[index].folders) paths.push_back(folder);
            return paths;
        };
        if (!entry.media) {
            if (entry.volumes.empty()) continue;
            VolumeFacts slot;
            slot.key = entry.id + ":0";
            slot.mountPaths = mountPaths(0);
            slot.disk = disk.number;
            slot.removable = entry.removable;
            slot.extentsReadable = false;
            facts->volumes.push_back(slot);
            continue;
        }
        auto partitions = PartitionsAsRead(disk);
        for (size_t i = 0; i < partitions.size(); ++i) {
            const auto& partition = partitions[i];
            VolumeFacts volume;
            volume.key = entry.id + ":" + std::to_string(partition.firstSector);
            volume.mountPaths = mountPaths(i);
            volume.disk = disk.number;
            volume.partitionNumber = partition.number;
            volume.offset = partition.firstSector * 512;
            volume.length = partition.sectors * 512;
            volume.removable = entry.removable;
            facts->volumes.push_back(volume);
        }
    }
    facts_ = std::move(facts);
    factsGeneration_ = Generation();
    return facts_;
}

uint64_t SimBackend::MediaSize(const MediaRef& media) {
    std::lock_guard guard(mutex_);
    shared_.Current();
    if (!media.disk) return described_.floppy ? described_.floppy->size : 0;
    Disk* disk = DiskOf(media);
    return disk && Present(*disk) && disk->entry->media ? disk->entry->size : 0;
}

DWORD SimBackend::ReadMedia(const MediaRef& media, uint64_t offset, std::span<std::byte> data) {
    std::lock_guard guard(mutex_);
    shared_.Current();
    if (!media.disk) {
        if (!floppy_.Valid()) return ERROR_NOT_READY;
        if (offset + data.size() > described_.floppy->size) return ERROR_SECTOR_NOT_FOUND;
        return ReadAt(floppy_.Get(), offset, data);
    }
    Disk* disk = DiskOf(media);
    if (!disk || !Present(*disk)) return ERROR_DEVICE_NOT_CONNECTED;
    if (!disk->entry->media) return ERROR_NOT_READY;
    if (offset + data.size() > disk->entry->size) return ERROR_SECTOR_NOT_FOUND;
    return ReadAt(disk->image.Get(), offset, data);
}

DWORD SimBackend::WriteMedia(const MediaRef& media, uint64_t offset,
                             std::span<const std::byte> data) {
    std::lock_guard guard(mutex_);
    shared_.Current();
    if (!media.disk) {
        if (!floppy_.Valid()) return ERROR_NOT_READY;
        if (offset + data.size() > described_.floppy->size) return ERROR_SECTOR_NOT_FOUND;
        return WriteAt(floppy_.Get(), offset, data);
    }
    Disk* disk = DiskOf(media);
    if (!disk || !Present(*disk)) return ERROR_DEVICE_NOT_CONNECTED;
    if (!disk->entry->media) return ERROR_NOT_READY;
    if (offset + data.size() > disk->entry->size) return ERROR_SECTOR_NOT_FOUND;
    // The platform's guard stands before every write; this one is the last
    // line, should a path ever come here around it.
    if (NeverWritten(DiskFactsOf(*disk))) return ERROR_ACCESS_DENIED;
    return WriteAt(disk->image.Get(), offset, data);
}

std::unique_ptr<MediaAccess> SimBackend::OpenMedia(const MediaRef& media, bool write,
                                                   DWORD* error) {
    std::lock_guard guard(mutex_);
    shared_.Current();
    if (media.disk) {
        Disk* disk = DiskOf(media);
        if (!disk || !Present(*disk)) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
    } else if (described_.floppy && !floppyImage_.empty()) {
        // The image is never written, not even by an outside program.
        if (write) {
            *error = ERROR_WRITE_PROTECT;
            return nullptr;
        }
        *error = ERROR_SUCCESS;
        return std::make_unique<FloppyImageAccess>(floppyImage_, OpenFloppyImage(floppyImage_));
    } else if (!floppy_.Valid()) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    *error = ERROR_SUCCESS;
    return std::make_unique<SimMediaAccess>(*this, media);
}

TableCommit SimBackend::CommitPartitionTable(uint32_t number, std::span<const std::byte> sector0) {
    std::lock_guard guard(mutex_);
    TableCommit commit;
    commit.error = WriteMedia(MediaRef{number}, 0, sector0);
    if (commit.error != ERROR_SUCCESS) return commit;
    // Image files are never busy: the whole table is always taken.
    commit.error = RereadPartitions(number);
    return commit;
}

ToolPath SimBackend::ToolPathOf(const MediaRef& media) {
    std::lock_guard guard(mutex_);
    if (!media.disk && !floppyImage_.empty()) return {floppyImage_, 0};
    if (!media.disk) return {described_.floppy ? ImagePath(described_.floppy->image) : "", 0};
    Disk* disk = DiskOf(media);
    return {disk ? ImagePath(disk->entry->image) : "", 0};
}

ScsiOutcome SimBackend::ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                    DataDirection direction, std::span<std::byte> data,
                                    uint32_t timeoutSeconds) {
    std::unique_lock guard(mutex_);
    shared_.Current();
    auto facts = Facts();
    bool portPresent = std::any_of(facts->adapters.begin(), facts->adapters.end(),
                                   [&](const AdapterFacts& a) { return a.port == address.port; });
    if (!portPresent) return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
    for (auto& disk : disks_) {
        if (disk.port != address.port || disk.target != address.target || address.lun != 0)
            continue;
        if (!Present(disk)) break;
        // A stick whose flash died still has its bridge answer INQUIRY.
        if (!disk.entry->answers && cdb[0] != kInquiryOperation)
            return AwaitAnswer(guard, disk, timeoutSeconds);
        ScsiDisk target = EmulatedTarget(DiskFactsOf(disk));
        target.modePage5 = disk.entry->modePage5;
        MediaRef media{disk.number};
        target.read = [this, media](uint64_t offset, std::span<std::byte> bytes) {
            return ReadMedia(media, offset, bytes);
        };
        target.write = [this, media](uint64_t offset, std::span<const std::byte> bytes) {
            return WriteMedia(media, offset, bytes);
        };
        target.pendingSense = &disk.pendingSense;
        return ExecuteOnDisk(target, cdb, direction, data);
    }
    return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
}

ScsiOutcome SimBackend::AwaitAnswer(std::unique_lock<std::recursive_mutex>& guard, Disk& disk,
                                    uint32_t timeoutSeconds) {
    // A command without a time-out of its own gets the system's default.
    using Seconds = std::chrono::duration<double>;
    Seconds wait =
        Seconds(timeoutSeconds ? timeoutSeconds : kDefaultScsiTimeoutSeconds) * timeScale_;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait);
    ++disk.commandsWaiting;
    struct Answered {
        uint32_t& waiting;
        ~Answered() { --waiting; }
    } answered{disk.commandsWaiting};
    // Unplugging ends the wait early, as it would on a real bus.
    while (Present(disk)) {
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return ScsiOutcome{ERROR_TIMEOUT, SCSISTAT_GOOD, {}, 0};
        guard.unlock();
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(deadline - now, kUnplugPoll));
        guard.lock();
        shared_.Current();
    }
    return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
}

std::vector<larkin::sim::DiskStatus> SimBackend::DiskStatuses() {
    std::lock_guard guard(mutex_);
    auto facts = Facts();
    std::vector<larkin::sim::DiskStatus> statuses;
    for (const auto& disk : disks_) {
        larkin::sim::DiskStatus status;
        status.id = disk.entry->id;
        status.adapter = described_.adapters[disk.entry->adapter].id;
        status.number = disk.number;
        status.present = Present(disk);
        status.image = ImagePath(disk.entry->image);
        status.size = disk.entry->size;
        status.commandsWaiting = disk.commandsWaiting;
        for (const auto& volume : facts->volumes)
            if (volume.disk == disk.number)
                for (const auto& path : volume.mountPaths)
                    if (path.size() == 3) status.letters.push_back(path.substr(0, 2));
        statuses.push_back(status);
    }
    return statuses;
}

}  // namespace sim
}  // namespace larkin::platform
