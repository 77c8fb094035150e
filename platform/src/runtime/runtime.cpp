#include "runtime.h"

#include <cmath>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace larkin::platform {

bool FaultFires(std::string_view call, std::string_view device, DWORD ioctl) {
    Runtime& runtime = Runtime::Get();
    runtime.TheBackend();  // the machine file's faults come with the start
    return runtime.faults.Fires(call, device, ioctl);
}

Runtime& Runtime::Get() {
    static Runtime runtime;
    return runtime;
}

// Handles close first, while the machine and its journal still stand: a
// tool's session writes its journal entry's end as it closes.
Runtime::~Runtime() {
    handles.Clear();
}

void Runtime::ForgetPrograms() {
    for (auto& program : programs.TakeAll())
        if (HWND window = program->Window()) windows.Remove(window);
}

bool Runtime::StartLocked(const char* machineFile, std::string* error) {
    std::string file = machineFile ? machineFile : "";
    if (file.empty()) {
        if (const char* env = std::getenv("LARKIN_MACHINE")) file = env;
    }
    std::string why;
    if (!file.empty()) {
        std::error_code ignored;
        auto absolute = std::filesystem::absolute(file, ignored);
        if (!absolute.empty()) file = absolute.string();
        backend_ = MakeSimulatedBackend(file, &why);
        machineFile_ = backend_ ? file : "";
    } else {
        machineFile_.clear();
        backend_ = MakeLinuxBackend(&why);
    }
    if (!backend_) {
        startError_ = why;
        backend_ = MakeUnavailableBackend(why);
        journal_ = std::make_unique<WriteJournal>("");
        if (error) *error = why;
        return false;
    }
    for (const auto& fault : backend_->StandingFaults()) faults.Add(fault);
    journal_ = std::make_unique<WriteJournal>(backend_->JournalFile());
    // Said at the start, not at the first write, which it would refuse.
    if (std::string unusable = journal_->Unusable(); !unusable.empty()) {
        startError_ = unusable;
        backend_ = MakeUnavailableBackend(unusable);
        journal_ = std::make_unique<WriteJournal>("");
        if (error) *error = unusable;
        return false;
    }
    startError_.clear();
    narrowedTo_.clear();
    const char* floppy = std::getenv("LARKIN_FLOPPY_IMAGE");
    floppyImage_ = floppy ? floppy : "";
    if (const char* only = std::getenv("LARKIN_ONLY_DISK"); only && *only) {
        narrowedTo_ = only;
        backend_->Narrow(narrowedTo_);
    }
    return true;
}

std::string Runtime::MachineFile() {
    TheBackend();
    std::lock_guard guard(lock);
    return machineFile_;
}

void Runtime::Narrow(const std::string& diskKey) {
    std::lock_guard guard(lock);
    TheBackend().Narrow(diskKey);
    narrowedTo_ = diskKey;
    view_.reset();
    deviceTree_.reset();
}

std::vector<std::string> Runtime::ChildEnvironment() {
    std::lock_guard guard(lock);
    // Before the start, the environment as it is says it all.
    if (!backend_) return {};
    // An empty LARKIN_ONLY_DISK shows every disk, as if it were not set.
    std::vector<std::string> added = {"LARKIN_ONLY_DISK=" + narrowedTo_};
    if (!machineFile_.empty()) added.push_back("LARKIN_MACHINE=" + machineFile_);
    added.push_back("LARKIN_FLOPPY_IMAGE=" + floppyImage_);
    return added;
}

void Runtime::SetFloppyImage(const std::string& path) {
    std::lock_guard guard(lock);
    floppyImage_ = path;
}

std::string Runtime::NarrowedTo() {
    std::lock_guard guard(lock);
    return narrowedTo_;
}

std::shared_ptr<const MachineView> Runtime::View() {
    std::lock_guard guard(lock);
    Backend& backend = TheBackend();
    uint64_t generation = backend.Generation();
    if (!view_ || view_->generation != generation) {
        auto facts = backend.Facts();
        if (!narrowedTo_.empty()) {
            MachineFacts narrowed = *facts;
            std::optional<uint32_t> kept;
            std::erase_if(narrowed.disks, [&](const DiskFacts& disk) {
                if (disk.key == narrowedTo_) kept = disk.number;
                return disk.key != narrowedTo_;
            });
            std::erase_if(narrowed.volumes, [&](const VolumeFacts& volume) {
                return volume.disk && volume.disk != kept;
            });
            facts = std::make_shared<const MachineFacts>(std::move(narrowed));
        }
        // Reading the facts may itself move the machine on (tables read
        // for the first time): the view carries the generation it shows.
        view_ = BuildView(*facts, backend.Generation());
    }
    return view_;
}

std::shared_ptr<const DeviceTreeIndex> Runtime::DeviceTree() {
    std::lock_guard guard(lock);
    auto view = View();
    DeviceTreeView tree(view, &view->tree);
    if (!deviceTree_ || deviceTree_->Tree() != tree)
        deviceTree_ = std::make_shared<const DeviceTreeIndex>(tree);
    return deviceTree_;
}

WriteJournal& Runtime::Journal() {
    std::lock_guard guard(lock);
    TheBackend();
    return *journal_;
}

bool Runtime::Start(const char* machineFile, std::string* error) {
    std::lock_guard guard(lock);
    if (backend_) {
        if (error) *error = startError_;
        return startError_.empty();
    }
    return StartLocked(machineFile, error);
}

bool Runtime::Restart(const std::string& machineFile, std::string* error) {
    std::lock_guard guard(lock);
    handles.Clear();
    faults.Clear();
    {
        std::lock_guard pauseGuard(pauseMutex);
        pauses.clear();
    }
    windows.Clear();
    ForgetPrograms();
    deviceTree_.reset();
    view_.reset();
    journal_.reset();
    backend_.reset();
    return StartLocked(machineFile.c_str(), error);
}

Backend& Runtime::TheBackend() {
    std::lock_guard guard(lock);
    if (!backend_) {
        std::string error;
        if (!StartLocked(nullptr, &error)) std::fprintf(stderr, "larkin: %s\n", error.c_str());
    }
    return *backend_;
}

bool TimeScaleFromEnvironment(double* scale, std::string* error) {
    const char* text = std::getenv("LARKIN_TIME_SCALE");
    if (text == nullptr) return true;
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value) || value < 0 || value > 1000) {
        *error = "LARKIN_TIME_SCALE \"" + std::string(text) + "\" is not a number from 0 to 1000";
        return false;
    }
    *scale = value;
    return true;
}

namespace {

// Stands in when the machine could not be started: no devices, and every
// access to media fails as with a drive that is not ready.
class UnavailableBackend final : public Backend {
  public:
    explicit UnavailableBackend(std::string reason) : reason_(std::move(reason)) {}
    const char* Name() const override { return "unavailable"; }
    std::string WritesRefused() override { return reason_; }
    uint64_t Generation() override { return 1; }
    std::shared_ptr<const MachineFacts> Facts() override {
        return std::make_shared<const MachineFacts>();
    }
    DWORD RemoveDevice(const std::string&) override { return ERROR_NO_SUCH_DEVINST; }
    void Rescan() override {}
    std::unique_ptr<MediaAccess> OpenMedia(const MediaRef&, bool, DWORD* error) override {
        *error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    DWORD RereadPartitions(uint32_t) override { return ERROR_NOT_READY; }
    TableCommit CommitPartitionTable(uint32_t, std::span<const std::byte>) override {
        return TableCommit{ERROR_NOT_READY, true, {}};
    }
    ToolPath ToolPathOf(const MediaRef&) override { return {}; }
    ScsiOutcome ExecuteScsi(const ScsiAddress&, std::span<const uint8_t>, DataDirection,
                            std::span<std::byte>, uint32_t) override {
        return ScsiOutcome{ERROR_DEVICE_NOT_CONNECTED, SCSISTAT_GOOD, {}, 0};
    }
    double TimeScale() override { return 1.0; }

  private:
    std::string reason_;
};

}  // namespace

std::unique_ptr<Backend> MakeUnavailableBackend(std::string reason) {
    return std::make_unique<UnavailableBackend>(std::move(reason));
}

}  // namespace larkin::platform
