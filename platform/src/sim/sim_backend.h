// The simulated machine: disks backed by image files, described by a
// machine file, with state shared by every process that uses it.
#ifndef LARKIN_PLATFORM_SIM_SIM_BACKEND_H
#define LARKIN_PLATFORM_SIM_SIM_BACKEND_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../backend.h"
#include "../posix.h"
#include "machine_file.h"
#include "shared_state.h"

namespace larkin::platform::sim {

class SimBackend final : public Backend {
  public:
    static std::unique_ptr<SimBackend> Open(const std::string& machineFile, std::string* error);
    explicit SimBackend(MachineSpec spec);  // use Open, which also prepares the images

    const char* Name() const override { return "simulated"; }
    std::string MachineFile() const override { return spec_.file; }
    void Refresh() override;
    DeviceTreeView DeviceTree() override;
    DWORD RemoveDevice(const std::string& instanceId) override;
    void Rescan() override;
    std::shared_ptr<const std::vector<DiskInfo>> Disks() override;
    DWORD Read(const std::string& media, uint64_t offset, std::span<std::byte> data) override;
    DWORD Write(const std::string& media, uint64_t offset, std::span<const std::byte> data,
                const char* via) override;
    uint64_t MediaSize(const std::string& media) override;
    std::string MediaPath(const std::string& media) override;
    DWORD BeginOutsideWrite(const std::string& media, uint64_t offset, uint64_t length,
                            const std::string& tool, uint64_t* token) override;
    void EndOutsideWrite(uint64_t token, bool completed) override;
    std::string WriteRefusal(uint32_t disk) override;
    DWORD RereadPartitions(uint32_t disk) override;
    std::shared_ptr<const std::vector<VolumeInfo>> Volumes() override;
    DWORD LogicalDrives() override;
    std::vector<ScsiPortInfo> ScsiPorts() override;
    ScsiOutcome ExecuteScsi(const ScsiAddress& address, std::span<const uint8_t> cdb,
                            DataDirection direction, std::span<std::byte> data) override;
    std::vector<AspiHostInfo> AspiHosts() override;
    std::string WindowsDirectory() override { return spec_.windowsDir; }
    double TimeScale() override { return timeScale_; }
    std::vector<larkin::sim::Fault> MachineFaults() override { return spec_.faults; }

    // Control for tests and tools.
    bool Plug(const std::string& diskId, bool present, std::string* error = nullptr);
    std::vector<larkin::sim::DiskStatus> DiskStatuses();
    std::vector<larkin::sim::JournalEntry> Journal();
    DWORD ClearJournal() { return shared_.ClearJournal(); }
    const std::string& StateFolder() const { return spec_.stateDir; }

  private:
    struct Disk {
        const DiskSpec* spec = nullptr;
        uint32_t number = 0;
        UniqueFd image;
        std::string instanceId;
        std::string interfacePath;
        std::optional<uint32_t> port;
        uint8_t target = 0;
        std::vector<uint8_t> pendingSense;
    };
    struct Adapter {
        const AdapterSpec* spec = nullptr;
        std::string instanceId;
        std::string portPath;  // storage-port interface path, or ""
        std::optional<uint32_t> port;
    };

    bool Prepare(std::string* error);
    bool PrepareImage(Disk& disk, std::string* error);
    std::string ImagePath(const std::string& image) const;
    // Puts a write on record before it is made ("+ KEY ..."); Done closes it.
    DWORD JournalIntent(const std::string& name, uint64_t offset, uint64_t length,
                        const std::string& via, uint64_t* key);
    void JournalDone(uint64_t key, bool completed);
    bool Present(const Disk& disk);
    bool AdapterPresent(size_t adapter);
    Disk* DiskByMedia(const std::string& media);
    Disk* DiskById(const std::string& id);
    std::vector<PartitionExtent> ReadTable(Disk& disk);
    DWORD RereadTables(const std::vector<Disk*>& disks);
    std::vector<PartitionExtent> PartitionsAsRead(Disk& disk);
    std::map<DWORD, RegistryValue> AdapterProperties(const Adapter& adapter);
    std::map<DWORD, RegistryValue> DiskProperties(const Disk& disk);

    MachineSpec spec_;
    double timeScale_ = 1.0;
    SharedState shared_;
    std::vector<Adapter> adapters_;
    std::vector<Disk> disks_;
    UniqueFd floppy_;
    uint64_t journalSequence_ = 0;
    // Views built for the shared state of their generation.
    template <class T>
    struct Cached {
        std::shared_ptr<const T> view;
        uint64_t generation = 0;
    };
    Cached<std::vector<DeviceNode>> tree_;
    Cached<std::vector<DiskInfo>> disks_view_;
    Cached<std::vector<VolumeInfo>> volumes_;
};

}  // namespace larkin::platform::sim

#endif
