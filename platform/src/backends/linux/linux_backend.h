// This computer's own hardware: its USB sticks and disks as block devices,
// SCSI pass-through through SG_IO, volume locks as exclusive opens of
// unmounted volumes. Disks the running system uses are never written.
#ifndef LARKIN_PLATFORM_LINUX_LINUX_BACKEND_H
#define LARKIN_PLATFORM_LINUX_LINUX_BACKEND_H

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "machine/backend.h"
#include "machine/volume_extents.h"
#include "hardware_scan.h"
#include "kernel_partitions.h"
#include "system_use.h"

namespace larkin::platform::linuxhw {

struct LinuxSettings {
    // Lock files, the drive-letter record and the write journal.
    std::string stateFolder;
    std::vector<std::string> testUsbDisks;
    bool privileged = false;  // may open disks for writing
    double timeScale = 1.0;   // LARKIN_TIME_SCALE: tests on stand-ins need not wait
    std::string floppyImage;  // LARKIN_FLOPPY_IMAGE: the disk in drive A:, "" for none
};

// Settings from the environment: LARKIN_STATE_DIR (else /var/lib/larkin for
// root, a folder of the user's own otherwise), LARKIN_TEST_USB_DISKS,
// LARKIN_TIME_SCALE and LARKIN_FLOPPY_IMAGE.
std::optional<LinuxSettings> SettingsFromEnvironment(std::string* error);

// One disk as last read, with the ways to reach it and its volumes.
struct HardwareDisk {
    FoundDisk found;  // facts complete: number, geometry, refusal
    std::vector<KernelPartition> kernelPartitions;
    std::vector<Mount> mounts;  // of the disk and its partitions
    // A loop device's backing file (device and inode): the disk itself.
    std::optional<std::pair<uint64_t, uint64_t>> backing;
};

// One volume as last read.
struct HardwareVolume {
    VolumeFacts facts;
    std::string node;  // its own device node, or the disk's
    dev_t device = 0;  // what a mount of it shows
    std::vector<Mount> mounts;
};

// The machine as read at one generation.
struct HardwareSnapshot {
    std::shared_ptr<const MachineFacts> facts;
    std::map<uint32_t, HardwareDisk> disks;  // by number
    std::vector<HardwareVolume> volumes;
    const HardwareDisk* Disk(uint32_t number) const;
    const HardwareVolume* Volume(const std::string& key) const;
};

class LinuxBackend final : public Backend {
  public:
    explicit LinuxBackend(LinuxSettings settings);

    const char* Name() const override { return "linux"; }
    std::string WritesRefused() override;
    uint64_t Generation() override;
    std::shared_ptr<const MachineFacts> Facts() override;
    DWORD RemoveDevice(const std::string& key) override;
    void Rescan() override;
    void Narrow(const std::string& diskKey) override;
    std::unique_ptr<MediaAccess> OpenMedia(const MediaRef& media, bool write,
                                           DWORD* error) override;
    DWORD RereadPartitions(uint32_t disk) override;
    TableCommit CommitPartitionTable(uint32_t disk, std::span<const std::byte> sector0) override;
    ToolPath ToolPathOf(const MediaRef& media) override;
    DWORD UseFloppyImage(const std::string& path, std::string* why) override;
    ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                            DataDirection direction, std::span<std::byte> data,
                            uint32_t timeoutSeconds) override;
    double TimeScale() override { return settings_.timeScale; }
    bool MadeOf(uint64_t device, uint64_t inode) override;
    const std::string& OwnFolder() override { return settings_.stateFolder; }

    // The machine as last read; fresh: looked at for changes now.
    std::shared_ptr<const HardwareSnapshot> Snapshot(bool fresh = false);
    DWORD ClaimDisk(uint32_t disk, std::string* why) override;
    // Called after this process changed a disk, so that every process
    // reads it again.
    void NoteChange();

  private:
    // Probing a disk's volumes with blkid is the dear part of a look at the
    // machine. Its answer rests on the disk's size, its media (diskseq), its
    // table and the first sector of every partition (where FAT, exFAT and
    // NTFS say what they are), and is kept for each disk, here and in the
    // state folder for other processes, until one of those changes.
    struct ProbedDisk {
        std::string fingerprint;
        std::vector<VolumeExtent> extents;
    };
    std::vector<VolumeExtent> ProbedExtents(const FoundDisk& disk, class BlockDevice& device);
    // Where the last answer for the disk is kept for every process.
    std::string ProbeFile(const FoundDisk& disk) const;

    uint64_t Signature();
    std::unique_ptr<MediaAccess> OpenFloppy(bool write, DWORD* error);
    std::shared_ptr<const HardwareSnapshot> Read();

    LinuxSettings settings_;
    std::mutex mutex_;
    uint64_t generation_ = 1;
    uint64_t signature_ = 0;
    std::chrono::steady_clock::time_point checked_{};
    std::shared_ptr<const HardwareSnapshot> snapshot_;
    uint64_t snapshotGeneration_ = 0;
    std::set<std::string> told_;  // problems of the scan already said
    std::string narrowedTo_;      // the one disk this process looks at
    std::string narrowedName_;    // its kernel name
    std::string floppyImage_;     // the file in drive A:, "" for none
    std::mutex probedMutex_;
    std::map<std::string, ProbedDisk> probed_;  // by device node
    // What each emulated target reports to REQUEST SENSE.
    std::mutex senseMutex_;
    std::map<std::string, std::vector<uint8_t>> senses_;
};

}  // namespace larkin::platform::linuxhw

#endif
