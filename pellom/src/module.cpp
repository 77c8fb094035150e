// Pellom's life as a core module: attach and detach, the choice of
// transport, target counting, the descriptive keys and the options word.
#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>

#include "larkin/owned.h"
#include "exports.h"
#include "larkin/ascii_text.h"
#include "larkin/guarded.h"
#include "pellom/pellom.h"
#include "state.h"

namespace pellom {
namespace {

// Destroyed at process exit only if the detach entry has not run; then the
// state is abandoned rather than released.
struct StateHolder {
    std::unique_ptr<State> state;
    ~StateHolder() {
        if (state) state->Abandon();
    }
};
StateHolder holder;

void BindVerran(VerranBinding& verran) {
    larkin::Library library(LoadLibraryA("Verran"));
    if (!library) return;
    using larkin::Export;
    verran.initialize = Export<decltype(verran.initialize)>(library, "Initialize");
    verran.destroy = Export<decltype(verran.destroy)>(library, "Destroy");
    verran.getAdapterCount = Export<decltype(verran.getAdapterCount)>(library, "GetAdapterCount");
    verran.getAdapterName = Export<decltype(verran.getAdapterName)>(library, "GetAdapterName");
    verran.getAdapterInterfaceType =
        Export<decltype(verran.getAdapterInterfaceType)>(library, "GetAdapterInterfaceType");
    verran.getAdapterDescription =
        Export<decltype(verran.getAdapterDescription)>(library, "GetAdapterDescription");
    verran.getDriveCount = Export<decltype(verran.getDriveCount)>(library, "GetDriveCount");
    verran.getDriveName = Export<decltype(verran.getDriveName)>(library, "GetDriveName");
    verran.getDriveDescription =
        Export<decltype(verran.getDriveDescription)>(library, "GetDriveDescription");
    verran.getDriveInfo = Export<decltype(verran.getDriveInfo)>(library, "GetDriveInfo");
    verran.library = std::move(library);
    verran.bound = true;
}

// False when the module cannot be set up; nothing of it is kept then.
bool Attach() {
    if (holder.state) return true;
    bool done = larkin::Guarded(false, [] {
        holder.state = std::make_unique<State>();
        BindVerran(holder.state->verran);
        ResetSlots(*holder.state);
        return true;
    });
    if (!done) holder.state.reset();
    return done;
}

void Detach(bool processExit) {
    if (!holder.state) return;
    State& state = *holder.state;
    if (processExit) {
        state.Abandon();
    } else {
        ResetSlots(state);
        if (state.loaded) UnloadCore(state);
        state.verran = VerranBinding{};
    }
    holder.state.reset();
}

constexpr std::string_view kKeyList =
    "'DriveSN','DriveFW','DriveInfo','Drive','DriveName','AdapterInfo','Adapter','AdapterType',"
    "'DriveNumber','MountInfo'";

using larkin::EqualsNoCase;

// The field of a slot named by key (any letter case), or false.
bool FieldByKey(const TargetSlot& slot, std::string_view key, std::string_view* value) {
    const struct {
        std::string_view name;
        std::string_view value;
    } fields[] = {
        {"DriveFW", slot.driveFW.view()},           {"DriveSN", slot.driveSN.view()},
        {"AdapterType", slot.adapterType.view()},   {"AdapterInfo", slot.adapterInfo.view()},
        {"DriveInfo", slot.driveInfo.view()},       {"DriveName", slot.driveName.view()},
        {"DriveNumber", slot.driveNumber.view()},   {"MountInfo", slot.mountInfo.view()},
        {"FriendlyName", slot.friendlyName.view()}, {"Drive", slot.drive.view()},
        {"Adapter", slot.adapter.view()},
    };
    for (const auto& field : fields)
        if (EqualsNoCase(field.name, key)) {
            *value = field.value;
            return true;
        }
    return false;
}

// Copies at most capacity-1 characters; the buffer is already zero.
void CopyOut(std::string_view text, char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return;
    size_t count = std::min(text.size(), static_cast<size_t>(capacity - 1));
    std::memcpy(buffer, text.data(), count);
}

}  // namespace

State* Current() {
    return holder.state.get();
}

TargetSlot* Slot(State& state, int local) {
    if (local < 0 || local >= kSlotCount) return nullptr;
    return &state.slots[static_cast<size_t>(local)];
}

void ResetSlots(State& state) {
    // All 100 slots: discovery may have filled any of them.
    for (TargetSlot& slot : state.slots) slot = TargetSlot{};
    state.slotsInUse = false;
}

void UnloadCore(State& state) {
    state.discoveryIn.reset();
    state.discoveryOut.reset();
    state.aspi = AspiBinding{};
    for (TargetSlot& slot : state.slots) {
        slot.handle.reset();
        slot.dataIn.reset();
        slot.dataOut.reset();
    }
    if (state.verran.bound && state.verran.library) {
        if (state.verran.destroy) state.verran.destroy();
        // Forget the entry points with the library, so nothing calls into
        // an unloaded Verran later.
        state.verran = VerranBinding{};
    }
    state.loaded = false;
    state.transport = Transport::None;
}

void State::Abandon() {
    for (TargetSlot& slot : slots) slot.handle.abandon();
    aspi.library.abandon();
    verran.library.abandon();
}

}  // namespace pellom

using namespace pellom;

// A failure inside an export (out of memory) gives its result for "nothing
// found": no transport, no targets.

LARKIN_DLLMAIN(instance, reason, reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_ATTACH) return Attach() ? TRUE : FALSE;
    if (reason == DLL_PROCESS_DETACH) larkin::GuardedVoid([&] { Detach(reserved != nullptr); });
    return TRUE;
}

DLLEXPORT void initPellom(void) {}

namespace {

int LoadTransport(State& state) {
    state.aspiAdapterCount = 0;
    state.transport = Transport::None;
    ResetSlots(state);
    if (!state.verran.bound) MessageBoxA(nullptr, "Use SPTI/ASPI", "Info", MB_OK);
    int transport = ProbeSptiPorts(state);
    if (transport == 0) transport = LoadAspi(state);
    if (transport == 0) return 0;
    if (!state.discoveryIn) {
        state.discoveryIn = NewBuffer();
        state.discoveryOut = NewBuffer();
    }
    state.transport = static_cast<Transport>(transport);
    state.loaded = true;
    return transport;
}

int CountTargets(State& state, const char* filter) {
    state.deviceCount = 0;
    if (state.transport == Transport::Aspi) {
        state.deviceCount = EnumerateAspiTargets(state);
    } else if (state.transport == Transport::Spti) {
        state.deviceCount = state.verran.bound ? EnumerateVerranDrives(state, filter)
                                               : EnumeratePhysicalDrives(state);
    }
    return state.deviceCount;
}

}  // namespace

DLLEXPORT int LoadCoreModule(void) {
    State* state = Current();
    if (state == nullptr) return 0;
    auto transport =
        larkin::Guarded(std::optional<int>(), [&] { return std::optional(LoadTransport(*state)); });
    if (transport) return *transport;
    // Without its buffers the module has no transport; what discovery bound
    // stays for the next load.
    state->discoveryIn.reset();
    state->discoveryOut.reset();
    state->transport = Transport::None;
    return 0;
}

DLLEXPORT void UnloadCoreModule(void) {
    larkin::GuardedVoid([] {
        State* state = Current();
        if (state != nullptr && state->loaded) UnloadCore(*state);
    });
}

DLLEXPORT int GetDeviceCount(int /*firstGlobal*/, const char* filter) {
    State* state = Current();
    if (state == nullptr) return 0;
    auto count = larkin::Guarded(std::optional<int>(),
                                 [&] { return std::optional(CountTargets(*state, filter)); });
    if (count) return *count;
    // A discovery that failed offers no targets; the slots it filled so far
    // give back their handles and buffers.
    ResetSlots(*state);
    state->deviceCount = 0;
    return 0;
}

DLLEXPORT int GetDriveInformation(int local, const char* key, char* buffer, int* size) {
    return larkin::Guarded(0, [&] {
        if (size == nullptr) return 0;
        int capacity = std::max(*size, 0);
        if (buffer != nullptr) std::memset(buffer, 0, static_cast<size_t>(capacity));
        if (key == nullptr || *key == '\0') {
            CopyOut(kKeyList, buffer, capacity);
            *size = static_cast<int>(kKeyList.size());
            return 0;
        }
        State* state = Current();
        TargetSlot* slot = state ? Slot(*state, local) : nullptr;
        std::string_view value;
        if (slot == nullptr || !FieldByKey(*slot, key, &value)) {
            *size = 0;
            return 0;
        }
        CopyOut(value, buffer, capacity);
        *size = static_cast<int>(value.size());
        return 0;
    });
}

DLLEXPORT WORD SetCoreOptions(WORD options) {
    if (State* state = Current()) state->options = options;
    return options;
}
