// Corvid: loads the core modules, numbers their targets in one global
// sequence and forwards every per-device call to the owning module.
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "corvid/core_module.h"
#include "corvid/corvid.h"
#include "larkin/owned.h"
#include "exports.h"
#include "larkin/guarded.h"
#include "notify_window.h"
#include "trace.h"
#include "win32/windows.h"

namespace corvid {
namespace {

using larkin::Export;
using larkin::Library;

constexpr int kMapSize = 100;
constexpr WORD kNoDeviceOptions = 0xFFFF;
constexpr const char* kTag = "CoreLibrary";

struct CoreModule {
    int adaptersFound = 0;
    Library library;
    CORE_LOAD_CORE_MODULE loadCoreModule = nullptr;
    CORE_GET_DEVICE_COUNT getDeviceCount = nullptr;
    CORE_EXECUTE_SCSI executeScsi = nullptr;
    CORE_BUFFER_CONTROL bufferControl = nullptr;
    CORE_SET_WATCHDOG_TIMER setWatchdogTimer = nullptr;
    CORE_SET_DATA_PATTERN setDataPattern = nullptr;
    CORE_BUFFER_SIZE bufferSize = nullptr;
    CORE_RELEASE_CONTROLLER releaseController = nullptr;
    CORE_SENSE sense = nullptr;
    CORE_GET_DRIVE_INFORMATION getDriveInformation = nullptr;
    CORE_SET_CORE_OPTIONS setCoreOptions = nullptr;
    CORE_SET_DEVICE_OPTIONS setDeviceOptions = nullptr;

    bool present() const { return library.valid(); }
};

// The fixed order of loading, adapter checking and numbering, with the
// words of each module's trace lines.
struct ModuleNames {
    const char* library;
    const char* noAdapter;
    const char* adapters;
};
constexpr std::array<ModuleNames, 4> kModules = {{
    {"Pellom", "  No Aspi/SPTI Adapters Found", "  Aspi/SPTI Adapter(s) Found"},
    {"Fennic", "  No Harlow Boards Found", "  Harlow Board(s) Found"},
    {"Tamsel", "  No USB Quenby Boards Found", " USB Quenby Board(s) Found"},
    {"Ormand", "  No ATA Controllers Found", "  ATA Controller(s) Found"},
}};

struct MapEntry {
    CoreModule* module = nullptr;
    int localIndex = -1;
};

struct State {
    std::array<CoreModule, kModules.size()> modules;
    std::array<MapEntry, kMapSize> targetMap;
    WORD options = 0;
    bool setUp = false;
    bool initialised = false;
    NotifyWindow window;

    // Process exit: drop every library and the window without calling the
    // loader or the window layer, which are being torn down themselves.
    void Abandon() {
        for (auto& module : modules) module.library.abandon();
        window.Abandon();
    }
};

// Destroyed at process exit only if the detach entry has not run; then the
// state is abandoned rather than released.
struct StateHolder {
    std::unique_ptr<State> state;
    ~StateHolder() {
        if (state) state->Abandon();
    }
};
StateHolder holder;

State* Current() {
    return holder.state.get();
}

// A trace line, formatted only when the trace is on. A line that cannot be
// made for want of memory is lost, as one the file cannot take is.
template <class... Args>
void Trace(const State& state, const char* format, Args... args) {
    if (!(state.options & CORVID_TRACE)) return;
    larkin::GuardedVoid([&] {
        std::array<char, 256> text{};
        std::snprintf(text.data(), text.size(), format, args...);
        WriteTraceLine(kTag, text.data());
    });
}

void ResetMap(State& state) {
    state.targetMap.fill(MapEntry{});
}

// The notification window's set-options procedure: the low 16 bits become
// the options; modules are not told.
void CALLBACK SetOptionsFromWindow(LONG options) {
    if (State* state = Current()) state->options = static_cast<WORD>(static_cast<SHORT>(options));
}

void LoadModule(State& state, CoreModule& module, const char* name) {
    module = CoreModule{};
    Trace(state, "Loading Core Module %s", name);
    Library library(LoadLibraryA(name));
    if (!library) {
        Trace(state, "%s.dll Failed to Load", name);
        return;
    }
    module.loadCoreModule = Export<CORE_LOAD_CORE_MODULE>(library, "LoadCoreModule");
    module.getDeviceCount = Export<CORE_GET_DEVICE_COUNT>(library, "GetDeviceCount");
    module.executeScsi = Export<CORE_EXECUTE_SCSI>(library, "ExecuteSCSI");
    module.bufferControl = Export<CORE_BUFFER_CONTROL>(library, "BufferControl");
    module.setWatchdogTimer = Export<CORE_SET_WATCHDOG_TIMER>(library, "SetWatchdogTimer");
    module.setDataPattern = Export<CORE_SET_DATA_PATTERN>(library, "SetDataPattern");
    module.bufferSize = Export<CORE_BUFFER_SIZE>(library, "BufferSize");
    module.releaseController = Export<CORE_RELEASE_CONTROLLER>(library, "ReleaseController");
    module.sense = Export<CORE_SENSE>(library, "Sense");
    module.getDriveInformation = Export<CORE_GET_DRIVE_INFORMATION>(library, "GetDriveInformation");
    module.setCoreOptions = Export<CORE_SET_CORE_OPTIONS>(library, "SetCoreOptions");
    module.setDeviceOptions = Export<CORE_SET_DEVICE_OPTIONS>(library, "SetDeviceOptions");
    bool complete = module.loadCoreModule && module.getDeviceCount && module.executeScsi &&
                    module.bufferControl && module.setWatchdogTimer && module.setDataPattern &&
                    module.bufferSize && module.releaseController && module.sense &&
                    module.getDriveInformation;
    if (!complete) {
        module = CoreModule{};  // releases the library
        Trace(state, "Failed To Get All Function Pointers");
        return;
    }
    module.library = std::move(library);
}

// False when the library cannot be set up; nothing of it is kept then.
bool Attach(HINSTANCE instance) {
    if (holder.state && holder.state->setUp) return true;
    bool done = larkin::Guarded(false, [&] {
        holder.state = std::make_unique<State>();
        State& state = *holder.state;
        state.window.Create(instance, state.options, SetOptionsFromWindow);
        DeleteTraceFile();
        ResetMap(state);
        for (size_t i = 0; i < kModules.size(); ++i)
            LoadModule(state, state.modules[i], kModules[i].library);
        state.setUp = true;
        return true;
    });
    if (!done) holder.state.reset();
    return done;
}

void Detach(bool processExit) {
    if (!holder.state) return;
    if (processExit) {
        holder.state->Abandon();
    } else {
        // Modules first, in reverse order of loading, then the window.
        for (auto it = holder.state->modules.rbegin(); it != holder.state->modules.rend(); ++it)
            *it = CoreModule{};
        holder.state->window.Destroy();
    }
    holder.state.reset();
}

// The owner of a global device number, or null when its entry is empty.
const MapEntry* Owner(int index) {
    State* state = Current();
    if (state == nullptr || index < 0 || index >= kMapSize) return nullptr;
    const MapEntry& entry = state->targetMap[static_cast<size_t>(index)];
    return entry.module ? &entry : nullptr;
}

// Asks every loaded module for adapters; the sum of their answers.
int CheckAdapters(State& state) {
    ResetMap(state);
    int total = 0;
    for (size_t i = 0; i < kModules.size(); ++i) {
        CoreModule& module = state.modules[i];
        if (!module.present()) continue;
        Trace(state, "Checking %s ..", kModules[i].library);
        int found = module.loadCoreModule();
        total += found;
        module.adaptersFound = found != 0;
        Trace(state, "%s", found == 0 ? kModules[i].noAdapter : kModules[i].adapters);
    }
    Trace(state, "Done Checking Core Modules for Valid Adapters");
    return total;
}

// Numbers the targets of every module with adapters from 0, in module order.
int NumberTargets(State& state, const char* filter) {
    ResetMap(state);
    int next = 0;
    for (size_t i = 0; i < kModules.size(); ++i) {
        CoreModule& module = state.modules[i];
        if (!module.present() || !module.adaptersFound) continue;
        const char* name = kModules[i].library;
        Trace(state, "Checking %s For Targets ..", name);
        int count = module.getDeviceCount(next, filter);
        Trace(state, "%d %s Targets Found", count, name);
        // The map has room for 100 numbers; targets beyond stay unnumbered.
        for (int local = 0; local < count && next < kMapSize; ++local)
            state.targetMap[static_cast<size_t>(next++)] = MapEntry{&module, local};
    }
    return next;
}

// Buffer names "w" and "s" (any case) select the module's other buffers.
int BufferCode(const char* bufferName, bool write) {
    std::string_view name = bufferName ? bufferName : "";
    int code = 0;
    if (name == "w" || name == "W") code = CORE_BUFFER_W_READ;
    if (name == "s" || name == "S") code = CORE_BUFFER_S_READ;
    return write ? code + CORE_BUFFER_WRITE : code;
}

}  // namespace
}  // namespace corvid

using namespace corvid;

// Each export answers a failure inside it (out of memory) with its result for
// a number without an owner, or with the failure result noted.

LARKIN_DLLMAIN(instance, reason, reserved) {
    if (reason == DLL_PROCESS_ATTACH) return Attach(instance) ? TRUE : FALSE;
    if (reason == DLL_PROCESS_DETACH) larkin::GuardedVoid([&] { Detach(reserved != nullptr); });
    return TRUE;
}

DLLEXPORT int LoadCores(void) {
    State* state = Current();
    if (state == nullptr) return 0;
    auto total =
        larkin::Guarded(std::optional<int>(), [&] { return std::optional(CheckAdapters(*state)); });
    if (total) return *total;
    // A check that failed found nothing.
    for (auto& module : state->modules) module.adaptersFound = 0;
    ResetMap(*state);
    return 0;
}

DLLEXPORT void UnLoad(void) {}

DLLEXPORT int DeviceCount(int /*reserved*/, const char* filter) {
    State* state = Current();
    if (state == nullptr) return 0;
    auto count = larkin::Guarded(std::optional<int>(),
                                 [&] { return std::optional(NumberTargets(*state, filter)); });
    if (count) return *count;
    ResetMap(*state);  // a numbering that failed numbers nothing
    return 0;
}

DLLEXPORT int Command(int index, const BYTE* cdb, int count) {
    return larkin::Guarded(-1, [&] {
        const MapEntry* owner = Owner(index);
        return owner ? owner->module->executeScsi(owner->localIndex, cdb, count) : -1;
    });
}

DLLEXPORT int SetWatchdog(int index, int value) {
    return larkin::Guarded(0, [&] {
        const MapEntry* owner = Owner(index);
        return owner ? owner->module->setWatchdogTimer(owner->localIndex, value) : 0;
    });
}

DLLEXPORT void ReleaseAdapter(int index) {
    larkin::GuardedVoid([&] {
        if (const MapEntry* owner = Owner(index))
            owner->module->releaseController(owner->localIndex);
    });
}

DLLEXPORT int BufferSize(int index) {
    return larkin::Guarded(0, [&] {
        const MapEntry* owner = Owner(index);
        return owner ? owner->module->bufferSize(owner->localIndex) : 0;
    });
}

DLLEXPORT void DataPattern(int index, const char* bufferName, const BYTE* pattern, int length,
                           int period) {
    larkin::GuardedVoid([&] {
        if (const MapEntry* owner = Owner(index))
            owner->module->setDataPattern(owner->localIndex, bufferName, pattern, length, period);
    });
}

DLLEXPORT int WriteDataBuffer(int index, const char* bufferName, int offset, int length,
                              BYTE* data) {
    return larkin::Guarded(0, [&] {
        const MapEntry* owner = Owner(index);
        if (owner == nullptr) return 0;
        return owner->module->bufferControl(owner->localIndex, BufferCode(bufferName, true), offset,
                                            length, data);
    });
}

DLLEXPORT int ReadDataBuffer(int index, const char* bufferName, int offset, int length,
                             BYTE* data) {
    return larkin::Guarded(0, [&] {
        const MapEntry* owner = Owner(index);
        if (owner == nullptr) return 0;
        return owner->module->bufferControl(owner->localIndex, BufferCode(bufferName, false),
                                            offset, length, data);
    });
}

DLLEXPORT int Sense(int index, BYTE* buffer) {
    return larkin::Guarded(-1, [&] {
        const MapEntry* owner = Owner(index);
        return owner ? owner->module->sense(owner->localIndex, buffer) : -1;
    });
}

DLLEXPORT int GetDriveInformation(int index, const char* key, char* buffer, int* size) {
    return larkin::Guarded(1, [&] {
        const MapEntry* owner = Owner(index);
        if (owner == nullptr) return 1;
        return owner->module->getDriveInformation(owner->localIndex, key, buffer, size);
    });
}

DLLEXPORT void initCorvid(void) {
    if (State* state = Current()) state->initialised = true;
}

DLLEXPORT WORD SetCoreOptions(WORD options) {
    State* state = Current();
    if (state == nullptr) return 0;
    WORD old = state->options;
    larkin::GuardedVoid([&] {
        // Only the owners of the first four numbers are told, once per number.
        for (int index = 0; index < 4; ++index) {
            const MapEntry& entry = state->targetMap[static_cast<size_t>(index)];
            if (entry.module && entry.module->setCoreOptions) entry.module->setCoreOptions(options);
        }
    });
    state->options = options;
    return old;
}

DLLEXPORT WORD SetDeviceOptions(int index, WORD options) {
    return larkin::Guarded(kNoDeviceOptions, [&] {
        const MapEntry* owner = Owner(index);
        if (owner == nullptr || owner->module->setDeviceOptions == nullptr) return kNoDeviceOptions;
        return owner->module->setDeviceOptions(owner->localIndex, options);
    });
}
