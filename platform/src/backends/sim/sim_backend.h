// The simulated machine: disks backed by image files, described by a
// machine file, with state shared by every process that uses it.
#ifndef LARKIN_PLATFORM_SIM_SIM_BACKEND_H
#define LARKIN_PLATFORM_SIM_SIM_BACKEND_H

#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "machine/backend.h"
#include "runtime/posix.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "machine_file.h"
#include "shared_state.h"

namespace larkin::platform::sim {

class SimBackend final : public Backend {
  public:
    static std::unique_ptr<SimBackend> Open(const std::string& machineFile, std::string* error);
    explicit SimBackend(MachineDescription entry);  // use Open, which also prepares the images

    const char* Name() const override { return "simulated"; }
    uint64_t Generation() override;
    std::shared_ptr<const MachineFacts> Facts() override;
    DWORD RemoveDevice(const std::string& key) override;
    void Rescan() override;
    std::unique_ptr<MediaAccess> OpenMedia(const MediaRef& media, bool write,
                                           DWORD* error) override;
    DWORD RereadPartitions(uint32_t disk) override;
    TableCommit CommitPartitionTable(uint32_t disk, std::span<const std::byte> sector0) override;
    ToolPath ToolPathOf(const MediaRef& media) override;
    DWORD UseFloppyImage(const std::string& path, std::string* why) override;
    ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                            DataDirection direction, std::span<std::byte> data,
                            uint32_t timeoutSeconds) override;
    double TimeScale() override { return timeScale_; }
    bool MadeOf(uint64_t device, uint64_t inode) override;
    const std::string& OwnFolder() override { return described_.stateDir; }

    std::vector<larkin::controls::Fault> StandingFaults() override { return described_.faults; }

    // Control for tests and tools.
    bool Plug(const std::string& id, bool present, std::string* error = nullptr);
    std::vector<larkin::sim::DiskStatus> DiskStatuses();
    const std::string& StateFolder() const { return described_.stateDir; }

    // Media I/O for the handles and the SCSI targets: a present disk with
    // media (or the floppy drive), whole or not at all.
    DWORD ReadMedia(const MediaRef& media, uint64_t offset, std::span<std::byte> data);
    DWORD WriteMedia(const MediaRef& media, uint64_t offset, std::span<const std::byte> data);
    uint64_t MediaSize(const MediaRef& media);

  private:
    struct Disk {
        const DiskEntry* entry = nullptr;
        uint32_t number = 0;
        UniqueFd image;
        std::optional<uint32_t> port;
        uint8_t target = 0;
        std::vector<uint8_t> pendingSense;
        uint32_t commandsWaiting = 0;
    };
    struct Adapter {
        const AdapterEntry* entry = nullptr;
        std::optional<uint32_t> port;
    };

    bool Prepare(std::string* error);
    bool PrepareImage(Disk& disk, std::string* error);
    // Finds two names of one file among the images; notes every image's and
    // the machine file's device and inode.
    bool DistinctImages(std::string* error);
    std::string ImagePath(const std::string& image) const;
    bool Present(const Disk& disk);
    bool AdapterPresent(size_t adapter);
    bool Listed(size_t adapter);
    Disk* DiskById(const std::string& id);
    Disk* DiskOf(const MediaRef& media);
    std::vector<PartitionExtent> ReadTable(Disk& disk);
    DWORD RereadTables(const std::vector<Disk*>& disks);
    std::vector<PartitionExtent> PartitionsAsRead(Disk& disk);
    AdapterFacts AdapterFactsOf(size_t index) const;
    DiskFacts DiskFactsOf(const Disk& disk) const;
    bool HoldsSystem(const DiskEntry& entry) const;
    // A disk that does not answer: the command fails when its time-out runs
    // out, or when the disk is unplugged. guard is let go while it waits.
    ScsiOutcome AwaitAnswer(std::unique_lock<std::recursive_mutex>& guard, Disk& disk,
                            uint32_t timeoutSeconds);

    // The backend's state, for calls from any thread; never held while a
    // command waits for a disk that does not answer.
    std::recursive_mutex mutex_;
    MachineDescription described_;
    double timeScale_ = 1.0;
    SharedState shared_;
    std::vector<Adapter> adapters_;
    std::vector<Disk> disks_;
    UniqueFd floppy_;
    // A floppy image file in the floppy drive in place of the machine's own
    // disk, for this process and those it starts (LARKIN_FLOPPY_IMAGE).
    std::string floppyImage_;
    uint64_t floppyImageChanges_ = 0;
    // Device and inode of the machine file and of every image.
    std::vector<std::pair<uint64_t, uint64_t>> madeOf_;
    // The facts of the shared state's generation they were made for.
    std::shared_ptr<const MachineFacts> facts_;
    uint64_t factsGeneration_ = 0;
};

}  // namespace larkin::platform::sim

#endif
