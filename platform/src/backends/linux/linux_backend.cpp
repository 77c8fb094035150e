#include "linux_backend.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "block_device.h"
#include "machine/drive_letters.h"
#include "machine/emulated_scsi_disk.h"
#include "machine/floppy_image.h"
#include "machine/partition_table.h"
#include "runtime/posix.h"
#include "runtime/text.h"
#include "runtime/runtime.h"
#include "machine/write_guard.h"
#include "file_system_probe.h"
#include "scsi_generic.h"
#include "sysfs_attributes.h"
#include "volume_claim.h"

namespace larkin::platform {

namespace linuxhw {

namespace {

// How often the hardware and the mounts are looked at again for changes.
constexpr auto kChangeCheckInterval = std::chrono::milliseconds(200);

std::string ReadText(const std::filesystem::path& file) {
    return ReadFileBytes(file, size_t{1} << 26).value_or("");
}

// The change mark grows by one byte at each change: its size moves even
// where two changes fall within one tick of the file time.
constexpr off_t kMarkLimit = 1 << 20;

// The size and time of the mark, "" when there is none.
std::string MarkStamp(const std::string& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) return {};
    return std::to_string(status.st_size) + "@" + std::to_string(status.st_mtim.tv_sec) + "." +
           std::to_string(status.st_mtim.tv_nsec);
}

// A probe's answer as kept for other processes: the fingerprint's length
// and bytes, the count of extents, and each extent's number, offset and
// length.
template <typename T>
void Put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
bool Take(std::string_view& in, T& value) {
    if (in.size() < sizeof value) return false;
    std::memcpy(&value, in.data(), sizeof value);
    in.remove_prefix(sizeof value);
    return true;
}

std::optional<std::vector<VolumeExtent>> ReadProbe(const std::string& file,
                                                   const std::string& fingerprint) {
    std::string text = ReadText(file);
    std::string_view in = text;
    uint64_t length = 0, count = 0;
    if (!Take(in, length) || length != fingerprint.size() || in.size() < length ||
        in.substr(0, length) != fingerprint)
        return std::nullopt;
    in.remove_prefix(length);
    std::vector<VolumeExtent> extents;
    if (!Take(in, count) || count > 256) return std::nullopt;
    for (uint64_t i = 0; i < count; ++i) {
        VolumeExtent extent;
        if (!Take(in, extent.number) || !Take(in, extent.offset) || !Take(in, extent.length))
            return std::nullopt;
        extents.push_back(extent);
    }
    return extents;
}

// Written whole under a name of its own, then renamed: a reader sees the old
// answer or the new one.
void WriteProbe(const std::string& file, const std::string& fingerprint,
                const std::vector<VolumeExtent>& extents) {
    std::string out;
    Put<uint64_t>(out, fingerprint.size());
    out += fingerprint;
    Put<uint64_t>(out, extents.size());
    for (const auto& extent : extents) {
        Put(out, extent.number);
        Put(out, extent.offset);
        Put(out, extent.length);
    }
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ignored);
    std::string temporary = file + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.Valid()) return;
    bool written = ::write(fd.Get(), out.data(), out.size()) == static_cast<ssize_t>(out.size());
    fd.Reset();
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) ::unlink(temporary.c_str());
}

std::string UserStateFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/larkin";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.local/state/larkin";
    return "/tmp/larkin-" + std::to_string(::geteuid());
}

// Says why a claim or an unmount was refused: the programs above only see
// the Windows error.
void Tell(const std::string& why) {
    if (!why.empty()) std::fprintf(stderr, "larkin: %s\n", why.c_str());
}

// Opens the disk as it was listed: a node that now stands for another
// device (the stick swapped for another under the same name) is not it.
BlockDevice OpenListed(const FoundDisk& disk, bool write, DWORD* error) {
    BlockDevice device = BlockDevice::Open(disk.node, write, error);
    struct stat status {};
    if (device.IsOpen() && (::fstat(device.Fd(), &status) != 0 || status.st_rdev != disk.device)) {
        *error = ERROR_FILE_NOT_FOUND;
        return BlockDevice();
    }
    return device;
}

class LinuxMediaAccess final : public MediaAccess {
  public:
    LinuxMediaAccess(LinuxBackend& machine, BlockDevice device, DWORD writeError)
        : machine_(machine), device_(std::move(device)), writeError_(writeError) {}
    ~LinuxMediaAccess() override {
        if (changed_) machine_.NoteChange();
    }

    DWORD Read(uint64_t offset, std::span<std::byte> data) override {
        if (!device_.IsOpen()) return ERROR_NOT_READY;
        return device_.Read(offset, data);
    }
    DWORD Write(uint64_t offset, std::span<const std::byte> data) override {
        if (writeError_ != ERROR_SUCCESS) return writeError_;
        if (!changed_) machine_.NoteChange();
        changed_ = true;
        return device_.Write(offset, data);
    }
    uint64_t Size() override { return device_.IsOpen() ? device_.CurrentSize() : 0; }

    DWORD ClaimVolume(const std::string& key) override {
        auto snapshot = machine_.Snapshot();
        const HardwareVolume* volume = snapshot->Volume(key);
        if (!volume || !volume->facts.extentsReadable) return ERROR_SUCCESS;  // nothing to claim
        std::string why;
        DWORD error = VolumeClaim::Take(volume->node, volume->mounts, &claim_, &why);
        if (error != ERROR_SUCCESS) {
            Tell(why);
            return error;
        }
        if (!volume->mounts.empty()) machine_.NoteChange();
        return ERROR_SUCCESS;
    }
    void ReleaseVolume() override { claim_ = VolumeClaim(); }
    DWORD HandOverToTool() override {
        claim_.Release();
        return ERROR_SUCCESS;
    }

  private:
    LinuxBackend& machine_;
    BlockDevice device_;
    DWORD writeError_;
    bool changed_ = false;
    VolumeClaim claim_;
};

// What file system a stretch of the disk holds, as libblkid tells it; blkid
// reads through the page cache, so the probe has a descriptor of its own.
FileSystemProbe BlkidProbe(const std::string& node) {
    auto probe =
        std::make_shared<UniqueFd>(::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    return [probe](uint64_t offset, uint64_t length) {
        if (!probe->Valid()) return std::string();
        auto found = ProbeFileSystem(probe->Get(), offset, length);
        return found ? found->type : std::string();
    };
}

}  // namespace

std::optional<LinuxSettings> SettingsFromEnvironment(std::string* error) {
    LinuxSettings settings;
    settings.testUsbDisks = TestUsbDisksFromEnvironment(error);
    if (!error->empty()) return std::nullopt;
    settings.privileged = ::geteuid() == 0;
    if (!TimeScaleFromEnvironment(&settings.timeScale, error)) return std::nullopt;
    settings.floppyImage = FloppyImageFromEnvironment();
    if (const char* folder = std::getenv("LARKIN_STATE_DIR"); folder && *folder)
        settings.stateFolder = folder;
    else
        settings.stateFolder = settings.privileged ? "/var/lib/larkin" : UserStateFolder();
    std::error_code failed;
    std::filesystem::create_directories(settings.stateFolder + "/locks", failed);
    // Without privileges nothing is written, and nothing needs the folder:
    // letters are then made afresh in each process.
    if (failed && settings.privileged) {
        *error = "cannot create the state folder " + settings.stateFolder + ": " +
                 failed.message() + " (LARKIN_STATE_DIR names another)";
        return std::nullopt;
    }
    return settings;
}

const HardwareDisk* HardwareSnapshot::Disk(uint32_t number) const {
    auto found = disks.find(number);
    return found == disks.end() ? nullptr : &found->second;
}

const HardwareVolume* HardwareSnapshot::Volume(const std::string& key) const {
    for (const auto& volume : volumes)
        if (volume.facts.key == key) return &volume;
    return nullptr;
}

LinuxBackend::LinuxBackend(LinuxSettings settings)
    : settings_(std::move(settings)), floppyImage_(settings_.floppyImage) {}

std::string LinuxBackend::WritesRefused() {
    if (settings_.privileged) return {};
    return "writing to a drive needs root: run the program as root (with sudo)";
}

// Called with mutex_ held.
uint64_t LinuxBackend::Signature() {
    uint64_t hash = Fnv(ReadText("/proc/self/mountinfo"));
    hash = Fnv(ReadText("/proc/swaps"), hash);
    std::error_code error;
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/block", error)) {
        const auto& path = entry.path();
        // Narrowed to one disk: its own entries and its partitions' only.
        if (!narrowedName_.empty() && !path.filename().string().starts_with(narrowedName_))
            continue;
        entries.push_back(path.filename().string() + ReadText(path / "dev") +
                          ReadText(path / "size") + ReadText(path / "ro"));
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) hash = Fnv(entry, hash);
    hash = Fnv(MarkStamp(settings_.stateFolder + "/changes"), hash);
    for (const auto& disk : settings_.testUsbDisks) hash = Fnv(disk, hash);
    if (!floppyImage_.empty()) hash = Fnv(floppyImage_ + " " + FileStamp(floppyImage_), hash);
    return hash;
}

uint64_t LinuxBackend::Generation() {
    std::lock_guard guard(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (snapshot_ && now - checked_ < kChangeCheckInterval) return generation_;
    checked_ = now;
    uint64_t signature = Signature();
    if (signature != signature_) {
        signature_ = signature;
        ++generation_;
    }
    return generation_;
}

void LinuxBackend::NoteChange() {
    // Other processes see the change through the mark's size and time.
    UniqueFd changes =
        OpenRegularFile(settings_.stateFolder + "/changes", O_WRONLY | O_CREAT | O_APPEND, nullptr);
    if (changes.Valid()) {
        struct stat status {};
        if (::fstat(changes.Get(), &status) == 0 && status.st_size >= kMarkLimit)
            (void)::ftruncate(changes.Get(), 0);
        (void)::write(changes.Get(), "+", 1);
    }
    std::lock_guard guard(mutex_);
    ++generation_;
    checked_ = {};
}

bool LinuxBackend::MadeOf(uint64_t device, uint64_t inode) {
    for (const auto& [number, disk] : Snapshot()->disks)
        if (disk.backing == std::pair(device, inode)) return true;
    // The floppy image is the disk in A:, reached only as that drive.
    std::string floppy;
    {
        std::lock_guard guard(mutex_);
        floppy = floppyImage_;
    }
    struct stat file {};
    return !floppy.empty() && ::stat(floppy.c_str(), &file) == 0 && file.st_dev == device &&
           file.st_ino == inode;
}

std::shared_ptr<const HardwareSnapshot> LinuxBackend::Snapshot(bool fresh) {
    if (fresh) {
        std::lock_guard guard(mutex_);
        checked_ = {};
    }
    uint64_t generation = Generation();
    {
        std::lock_guard guard(mutex_);
        if (snapshot_ && snapshotGeneration_ == generation) return snapshot_;
    }
    auto snapshot = Read();
    std::lock_guard guard(mutex_);
    snapshot_ = snapshot;
    snapshotGeneration_ = generation;
    return snapshot_;
}

std::shared_ptr<const MachineFacts> LinuxBackend::Facts() {
    return Snapshot()->facts;
}

std::shared_ptr<const HardwareSnapshot> LinuxBackend::Read() {
    std::vector<std::string> problems;
    std::string onlyName, floppyImage;
    {
        std::lock_guard guard(mutex_);
        onlyName = narrowedName_;
        floppyImage = floppyImage_;
    }
    HardwareScan scan = ScanHardware(ScanOptions{settings_.testUsbDisks, onlyName}, &problems);
    {
        // A device left out is said once, not at every look.
        std::lock_guard guard(mutex_);
        for (const auto& problem : problems)
            if (told_.insert(problem).second) Tell(problem);
        // The disks this process does not look at are not read at all.
        if (!narrowedTo_.empty())
            std::erase_if(scan.disks,
                          [&](const FoundDisk& disk) { return disk.facts.key != narrowedTo_; });
    }
    SystemUse use = ReadSystemUse();
    std::optional<dev_t> root;
    for (const auto& mount : use.mounts)
        if (mount.mountPoint == "/") root = mount.device;

    // Disks without a SCSI host of their own (NVMe, test stand-ins) get a
    // port after the kernel's hosts, as a storage port driver gives one.
    uint32_t nextPort = 0;
    for (const auto& adapter : scan.adapters)
        if (adapter.port) nextPort = std::max(nextPort, *adapter.port + 1);
    for (const auto& disk : scan.disks)
        if (disk.scsi) nextPort = std::max(nextPort, disk.scsi->port + 1);
    for (auto& disk : scan.disks) {
        if (disk.scsi) continue;
        auto adapter = std::find_if(scan.adapters.begin(), scan.adapters.end(),
                                    [&](const auto& a) { return a.key == disk.facts.adapterKey; });
        if (adapter == scan.adapters.end()) continue;
        if (!adapter->port) adapter->port = nextPort++;
        uint8_t target = 0;
        for (const auto& other : scan.disks)
            if (&other != &disk && other.scsi && other.scsi->port == *adapter->port) ++target;
        disk.scsi = ScsiAddress{*adapter->port, target, 0};
        disk.facts.target = target;
    }

    struct Pending {
        HardwareDisk disk;
        std::vector<HardwareVolume> volumes;
    };
    std::vector<Pending> pending;
    std::vector<std::string> diskKeys, volumeKeys;
    std::optional<std::string> systemDisk, systemVolume;
    for (auto& found : scan.disks) {
        Pending entry;
        HardwareDisk& disk = entry.disk;
        disk.found = found;
        DiskFacts& facts = disk.found.facts;
        DWORD error = ERROR_SUCCESS;
        BlockDevice device = BlockDevice::Open(found.node, false, &error);
        if (device.IsOpen()) {
            const DeviceShape& shape = device.Shape();
            facts.size = shape.size;
            facts.sectorSize = shape.sectorSize;
            facts.heads = shape.heads;
            facts.sectorsPerTrack = shape.sectorsPerTrack;
        }
        facts.mediaPresent = facts.size > 0;
        facts.system = HoldsSystem(found, use);
        facts.writeRefusal = WriteRefusalOf(found, use);
        if (facts.writeRefusal.empty()) facts.writeRefusal = WritesRefused();
        disk.kernelPartitions = KernelPartitionsOf(found.sysPath);
        if (std::optional<std::string> backing =
                ReadAttribute(found.sysPath, "loop/backing_file")) {
            while (!backing->empty() && (backing->back() == '\n' || backing->back() == '\0'))
                backing->pop_back();
            struct stat file {};
            if (::stat(backing->c_str(), &file) == 0) disk.backing = {file.st_dev, file.st_ino};
        }
        disk.mounts = MountsOn(found, use);
        if (facts.system && !systemDisk) systemDisk = facts.key;

        auto addVolume = [&](uint32_t number, uint64_t offset, uint64_t length, bool readable,
                             const std::string& name = {}) {
            HardwareVolume volume;
            volume.facts.key = facts.key + ":" + (name.empty() ? std::to_string(number) : name);
            volume.facts.partitionNumber = number;
            volume.facts.offset = offset;
            volume.facts.length = length;
            volume.facts.removable = facts.removable;
            volume.facts.extentsReadable = readable;
            volume.node = found.node;
            volume.device = found.device;
            // The kernel numbers partitions by table slot (logical ones from
            // 5), the system counts those that hold one: they meet at their
            // first byte.
            for (const auto& partition : disk.kernelPartitions) {
                if (partition.start != offset) continue;
                volume.device = partition.device;
                if (std::string node = NodeOf(partition); !node.empty()) volume.node = node;
            }
            for (const auto& mount : disk.mounts)
                if (mount.device == volume.device) volume.mounts.push_back(mount);
            if (root && volume.device == *root && !systemVolume) systemVolume = volume.facts.key;
            volumeKeys.push_back(volume.facts.key);
            entry.volumes.push_back(std::move(volume));
        };
        if (!facts.mediaPresent) {
            // A reader's slot without a card still has its letter.
            if (facts.removable) addVolume(0, 0, 0, false);
        } else if (device.IsOpen()) {
            for (const auto& extent : ProbedExtents(disk.found, device))
                addVolume(extent.number, extent.offset, extent.length, true);
        }
        // The running system's own volume is C:, whatever file system or
        // table it has (named apart: the kernel's numbers are not the table's).
        if (facts.system && root && !systemVolume) {
            if (found.device == *root) addVolume(0, 0, facts.size, true, "system");
            for (const auto& partition : disk.kernelPartitions)
                if (partition.device == *root)
                    addVolume(partition.number, partition.start, partition.length, true, "system");
        }
        diskKeys.push_back(facts.key);
        pending.push_back(std::move(entry));
    }

    Assignments book = AssignInFile(settings_.stateFolder + "/letters", diskKeys, systemDisk,
                                    volumeKeys, systemVolume);
    auto snapshot = std::make_shared<HardwareSnapshot>();
    auto facts = std::make_shared<MachineFacts>();
    facts->adapters = scan.adapters;
    for (auto& entry : pending) {
        auto number = book.diskNumbers.find(entry.disk.found.facts.key);
        if (number == book.diskNumbers.end() || snapshot->disks.count(number->second)) continue;
        entry.disk.found.facts.number = number->second;
        for (auto& volume : entry.volumes) {
            volume.facts.disk = number->second;
            if (auto letter = book.letters.find(volume.facts.key); letter != book.letters.end())
                volume.facts.mountPaths = {std::string(1, letter->second) + ":\\"};
            snapshot->volumes.push_back(std::move(volume));
        }
        snapshot->disks.emplace(number->second, std::move(entry.disk));
    }
    for (const auto& [number, disk] : snapshot->disks) facts->disks.push_back(disk.found.facts);
    std::sort(snapshot->volumes.begin(), snapshot->volumes.end(), [](const auto& a, const auto& b) {
        return std::pair(*a.facts.disk, a.facts.offset) < std::pair(*b.facts.disk, b.facts.offset);
    });
    for (const auto& volume : snapshot->volumes) facts->volumes.push_back(volume.facts);
    if (!floppyImage.empty()) {
        // A file that is missing or not a floppy leaves the drive empty.
        std::string why;
        facts->volumes.push_back(FloppyImageVolume(floppyImage, &why));
        std::lock_guard guard(mutex_);
        if (!why.empty() && told_.insert(why).second) Tell(why);
    }
    snapshot->facts = std::move(facts);
    return snapshot;
}

std::vector<VolumeExtent> LinuxBackend::ProbedExtents(const FoundDisk& disk, BlockDevice& device) {
    const DiskFacts& facts = disk.facts;
    if (facts.size == 0 || facts.sectorSize == 0) return {};
    uint64_t sectorSize = facts.sectorSize;
    // The bytes the answer rests on, themselves: no hash stands between two
    // disks that differ.
    std::string fingerprint = std::to_string(disk.device) + " " + std::to_string(facts.size) + " " +
                              std::to_string(sectorSize) + " " +
                              ReadText(disk.sysPath + "/diskseq") + "\n";
    SectorReader read = [&](uint64_t sector, std::span<uint8_t, 512> data) {
        bool ok = device.Read(sector * sectorSize, std::as_writable_bytes(std::span(data))) ==
                  ERROR_SUCCESS;
        fingerprint += std::to_string(sector) + (ok ? "=" : "?");
        if (ok) fingerprint.append(reinterpret_cast<const char*>(data.data()), data.size());
        return ok;
    };
    PartitionTable table = ReadPartitionTable(read, facts.size / sectorSize);
    std::array<uint8_t, 512> first{};
    for (const auto& partition : Partitions(table)) read(partition.firstSector, first);
    {
        std::lock_guard guard(probedMutex_);
        auto kept = probed_.find(disk.node);
        if (kept != probed_.end() && kept->second.fingerprint == fingerprint)
            return kept->second.extents;
    }
    // Another process may have probed the disk as it is now: every process
    // looks at every disk, so many made at once would each probe them all.
    std::string shared = ProbeFile(disk);
    std::optional<std::vector<VolumeExtent>> extents = ReadProbe(shared, fingerprint);
    if (!extents) {
        extents = VolumeExtentsOf(table, facts.size, facts.sectorSize, BlkidProbe(disk.node));
        WriteProbe(shared, fingerprint, *extents);
    }
    std::lock_guard guard(probedMutex_);
    probed_[disk.node] = ProbedDisk{fingerprint, *extents};
    return *extents;
}

std::string LinuxBackend::ProbeFile(const FoundDisk& disk) const {
    char name[40];
    std::snprintf(name, sizeof name, "/probes/%016llx",
                  static_cast<unsigned long long>(Fnv(disk.node + " " + disk.facts.key)));
    return settings_.stateFolder + name;
}

std::unique_ptr<MediaAccess> LinuxBackend::OpenMedia(const MediaRef& media, bool write,
                                                     DWORD* error) {
    // Looked at now, not up to a moment ago: the handle must reach the disk
    // the number stands for.
    auto snapshot = Snapshot(true);
    if (!media.disk) return OpenFloppy(write, error);
    const HardwareDisk* disk = snapshot->Disk(*media.disk);
    if (!disk) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // A disk that must not be written is never opened for writing, so that
    // not even a fault above can reach it; nor is it for a handle that only
    // reads.
    DWORD writeError =
        !write || NeverWritten(disk->found.facts) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    BlockDevice device;
    if (writeError == ERROR_SUCCESS) {
        device = OpenListed(disk->found, true, &writeError);
        if (device.IsOpen()) writeError = ERROR_SUCCESS;
    }
    if (!device.IsOpen()) {
        DWORD readError = ERROR_SUCCESS;
        device = OpenListed(disk->found, false, &readError);
        // A drive without media opens; its reads fail as not ready.
        if (!device.IsOpen() && readError != ERROR_NOT_READY) {
            *error = readError;
            return nullptr;
        }
        if (writeError == ERROR_SUCCESS) writeError = ERROR_NOT_READY;
    }
    *error = ERROR_SUCCESS;
    return std::make_unique<LinuxMediaAccess>(*this, std::move(device), writeError);
}

std::unique_ptr<MediaAccess> LinuxBackend::OpenFloppy(bool write, DWORD* error) {
    std::string path;
    {
        std::lock_guard guard(mutex_);
        path = floppyImage_;
    }
    if (path.empty()) {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    // The image is never written, not even by an outside program handed it.
    if (write) {
        *error = ERROR_WRITE_PROTECT;
        return nullptr;
    }
    *error = ERROR_SUCCESS;
    return std::make_unique<FloppyImageAccess>(path, OpenFloppyImage(path));
}

DWORD LinuxBackend::UseFloppyImage(const std::string& path, std::string* why) {
    std::string absolute = AbsoluteImagePath(path);
    if (!path.empty()) {
        OpenedFloppy opened = OpenFloppyImage(absolute);
        if (!opened.fd.Valid()) {
            *why = opened.why;
            return opened.error;
        }
    }
    std::lock_guard guard(mutex_);
    floppyImage_ = absolute;
    ++generation_;
    checked_ = {};
    return ERROR_SUCCESS;
}

DWORD LinuxBackend::ClaimDisk(uint32_t number, std::string* why) {
    auto snapshot = Snapshot(true);
    const HardwareDisk* disk = snapshot->Disk(number);
    if (!disk) return ERROR_FILE_NOT_FOUND;
    // Every mount resting on the disk, by any path (a partition node, a loop
    // device at an offset, a mapping stacked on it), goes before the first
    // write; one that cannot go refuses the whole operation.
    std::vector<Mount> mounts = MountsOn(disk->found, ReadSystemUse());
    if (DWORD error = UnmountAutomounted(mounts, why); error != ERROR_SUCCESS)
        return ERROR_SHARING_VIOLATION;
    if (!mounts.empty()) NoteChange();
    // Another program's exclusive open of the disk or of a partition on it
    // keeps the kernel from taking a new table; the probe is let go at once
    // so that the outside tools of this operation can claim the volume.
    UniqueFd probe(::open(disk->found.node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!probe.Valid()) {
        int error = errno;
        if (error != EBUSY) return DeviceError(error);
        *why = disk->found.node +
               " is in use: another program holds it or a file system is mounted from it";
        return ERROR_SHARING_VIOLATION;
    }
    return ERROR_SUCCESS;
}

DWORD LinuxBackend::RemoveDevice(const std::string& key) {
    auto snapshot = Snapshot();
    std::vector<const HardwareDisk*> disks;
    for (const auto& [number, disk] : snapshot->disks)
        if (disk.found.facts.key == key || disk.found.facts.adapterKey == key)
            disks.push_back(&disk);
    if (disks.empty()) return ERROR_NO_SUCH_DEVINST;
    for (const auto* disk : disks)
        if (NeverWritten(disk->found.facts)) {
            Tell("will not remove " + disk->found.node + ": " + disk->found.facts.writeRefusal);
            return ERROR_ACCESS_DENIED;
        }
    DWORD result = ERROR_SUCCESS;
    for (const auto* disk : disks) {
        std::string why;
        if (DWORD error = UnmountAutomounted(disk->mounts, &why); error != ERROR_SUCCESS) {
            Tell(why);
            result = error;
            continue;
        }
        if (disk->found.testStandIn) {
            // A stand-in leaves as a loop device does: detached.
            UniqueFd loop(::open(disk->found.node.c_str(), O_RDONLY | O_CLOEXEC));
            if (!loop.Valid() || ::ioctl(loop.Get(), LOOP_CLR_FD, 0) != 0)
                result = DeviceError(errno);
            continue;
        }
        std::ofstream remove(disk->found.sysPath + "/device/delete");
        if (!(remove << "1\n") || !remove.flush()) result = ERROR_NOT_SUPPORTED;
    }
    NoteChange();
    return result;
}

void LinuxBackend::Rescan() {
    // This process looks again; others need no word of it: a rescan changes
    // nothing, and what did change they see in the hardware or in the mark
    // its writer left.
    std::lock_guard guard(mutex_);
    ++generation_;
    checked_ = {};
}

void LinuxBackend::Narrow(const std::string& diskKey) {
    // Found by its key once; later looks read its kernel name alone (a
    // disk back under another name is then no longer seen).
    std::string name;
    if (!diskKey.empty())
        for (const auto& found :
             ScanHardware(ScanOptions{settings_.testUsbDisks, {}}, nullptr).disks)
            if (found.facts.key == diskKey) name = found.kernelName;
    std::lock_guard guard(mutex_);
    narrowedTo_ = diskKey;
    narrowedName_ = name;
    ++generation_;
    checked_ = {};
}

DWORD LinuxBackend::RereadPartitions(uint32_t number) {
    auto snapshot = Snapshot();
    const HardwareDisk* disk = snapshot->Disk(number);
    if (!disk) return ERROR_FILE_NOT_FOUND;
    DWORD error = ERROR_SUCCESS;
    BlockDevice device = OpenListed(disk->found, false, &error);
    if (!device.IsOpen()) return error;
    TableCommit commit = RereadTable(device);
    NoteChange();
    return commit.error;
}

TableCommit LinuxBackend::CommitPartitionTable(uint32_t number,
                                               std::span<const std::byte> sector0) {
    auto snapshot = Snapshot();
    const HardwareDisk* disk = snapshot->Disk(number);
    if (!disk) return TableCommit{ERROR_FILE_NOT_FOUND, true, {}};
    if (NeverWritten(disk->found.facts)) return TableCommit{ERROR_ACCESS_DENIED, true, {}};
    DWORD error = ERROR_SUCCESS;
    BlockDevice device = OpenListed(disk->found, true, &error);
    if (!device.IsOpen()) return TableCommit{error, true, {}};
    TableCommit commit = CommitTable(device, sector0);
    NoteChange();
    return commit;
}

ToolPath LinuxBackend::ToolPathOf(const MediaRef& media) {
    if (!media.disk) {
        std::lock_guard guard(mutex_);
        return ToolPath{floppyImage_, 0};
    }
    auto snapshot = Snapshot();
    const HardwareDisk* disk = snapshot->Disk(*media.disk);
    // The whole disk and the volume's offset on it: that needs no partition
    // device from the kernel.
    return disk ? ToolPath{disk->found.node, 0} : ToolPath{};
}

ScsiOutcome LinuxBackend::ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                                      DataDirection direction, std::span<std::byte> data,
                                      uint32_t timeoutSeconds) {
    auto snapshot = Snapshot();
    const HardwareDisk* target = nullptr;
    for (const auto& [number, disk] : snapshot->disks) {
        const auto& scsi = disk.found.scsi;
        if (scsi && scsi->port == address.port && scsi->target == address.target &&
            scsi->lun == address.lun)
            target = &disk;
    }
    if (!target) return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
    const DiskFacts& facts = target->found.facts;
    if (CommandMayWrite(cdb)) NoteChange();
    if (!target->found.testStandIn)
        return SendScsi(target->found.sgNode.empty() ? target->found.node : target->found.sgNode,
                        cdb, direction, data, timeoutSeconds);

    // A loop device has no SCSI target: it answers as a USB stick would.
    bool writable = settings_.privileged && !NeverWritten(facts);
    ScsiDisk disk = EmulatedTarget(facts);
    const FoundDisk& found = target->found;
    disk.read = [&found](uint64_t offset, std::span<std::byte> bytes) {
        DWORD error = ERROR_SUCCESS;
        BlockDevice device = OpenListed(found, false, &error);
        return device.IsOpen() ? device.Read(offset, bytes) : error;
    };
    disk.write = [&found, writable](uint64_t offset, std::span<const std::byte> bytes) {
        if (!writable) return static_cast<DWORD>(ERROR_ACCESS_DENIED);
        DWORD error = ERROR_SUCCESS;
        BlockDevice device = OpenListed(found, true, &error);
        return device.IsOpen() ? device.Write(offset, bytes) : error;
    };
    std::lock_guard guard(senseMutex_);
    disk.pendingSense = &senses_[facts.key];
    return ExecuteOnDisk(disk, cdb, direction, data);
}

}  // namespace linuxhw

std::unique_ptr<Backend> MakeLinuxBackend(std::string* error) {
    auto settings = linuxhw::SettingsFromEnvironment(error);
    if (!settings) return nullptr;
    return std::make_unique<linuxhw::LinuxBackend>(std::move(*settings));
}

}  // namespace larkin::platform
