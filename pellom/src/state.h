// Pellom's process-wide state: the transport, the bindings of Verran and of
// the ASPI manager, and the table of 100 target slots with their buffers.
#ifndef PELLOM_STATE_H
#define PELLOM_STATE_H

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "larkin/owned.h"
#include "larkin/guarded.h"
#include "win32/windows.h"
#include "wnaspi32/wnaspi32.h"

namespace pellom {

constexpr int kSlotCount = 100;
constexpr size_t kBufferSize = 1u << 20;
constexpr size_t kSenseLength = 32;
constexpr int kDefaultWatchdog = 10;
constexpr size_t kCdbSize = 16;

// Option bits.
constexpr WORD kTraceLoading = 0x0200;
constexpr WORD kTraceDiscovery = 0x0400;
constexpr WORD kTraceCommands = 0x0800;
constexpr WORD kVerifyReads = 0x0010;
constexpr WORD kInitialOptions = 0x0F00;

constexpr const char* kTagAspi = "Pellom:AspiOnly";
constexpr const char* kTagSpti = "Pellom:SptiCommon";
constexpr const char* kTagScan = "Pellom:ScanOnly";

enum class Transport : int { None = 0, Aspi = 1, Spti = 2 };

// A 1 MiB data buffer, zero-filled when made. Zero-filled global memory
// comes as fresh pages left untouched: a scan makes two for every drive and
// uses a few bytes of each.
struct BufferFree {
    void operator()(BYTE* bytes) const { GlobalFree(bytes); }
};
using Buffer = std::unique_ptr<BYTE[], BufferFree>;
inline Buffer NewBuffer() {
    Buffer buffer(static_cast<BYTE*>(GlobalAlloc(GMEM_ZEROINIT, kBufferSize)));
    if (!buffer) throw std::bad_alloc();
    return buffer;
}

// A NUL-terminated text field of fixed width; longer values are cut.
template <size_t N>
class Text {
  public:
    void set(std::string_view value) {
        size_t length = value.size() < N ? value.size() : N - 1;
        value.copy(chars_.data(), length);
        chars_[length] = '\0';
    }
    std::string_view view() const { return chars_.data(); }

  private:
    std::array<char, N> chars_{};
};

struct TargetSlot {
    larkin::Handle handle;
    int sensePending = 0;
    int watchdog = kDefaultWatchdog;
    std::array<BYTE, kSenseLength> savedSense{};
    Buffer dataIn;
    Buffer dataOut;
    int adapterNumber = 0;
    int targetId = 0;
    Text<300> driveName;
    Text<150> adapterInfo;
    Text<150> driveInfo;
    Text<150> drive;
    Text<150> adapter;
    Text<150> driveSN;
    Text<50> driveFW;
    Text<50> adapterType;
    Text<50> driveNumber;
    Text<150> mountInfo;
    Text<150> friendlyName;

    bool filled() const { return dataIn && dataOut; }
};

// Verran's exports as Pellom binds them; any may be missing.
struct VerranBinding {
    larkin::Library library;
    bool bound = false;
    int (*initialize)(const char* classFilter) = nullptr;
    void (*destroy)() = nullptr;
    DWORD (*getAdapterCount)() = nullptr;
    const char* (*getAdapterName)(DWORD adapter) = nullptr;
    const char* (*getAdapterInterfaceType)(DWORD adapter) = nullptr;
    const char* (*getAdapterDescription)(DWORD adapter) = nullptr;
    DWORD (*getDriveCount)(DWORD adapter) = nullptr;
    const char* (*getDriveName)(DWORD adapter, DWORD drive) = nullptr;
    const char* (*getDriveDescription)(DWORD adapter, DWORD drive) = nullptr;
    const char* (*getDriveInfo)(DWORD adapter, DWORD drive, const char* property) = nullptr;
};

struct AspiBinding {
    larkin::Library library;
    GET_ASPI32_SUPPORT_INFO getSupportInfo = nullptr;
    SEND_ASPI32_COMMAND send = nullptr;
};

// The execute request with its sense area widened to 32 bytes.
#pragma pack(push, 1)
struct AspiExecRequest {
    SRB_ExecSCSICmd srb;
    BYTE moreSense[kSenseLength - sizeof(SRB_ExecSCSICmd::SenseArea)];
};
#pragma pack(pop)

// The pass-through header, a filler and the sense area right after it.
struct SptiRecord {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG filler;
    BYTE sense[kSenseLength];
};

struct State {
    Transport transport = Transport::None;
    bool loaded = false;
    bool slotsInUse = false;
    int deviceCount = 0;
    int aspiAdapterCount = 0;
    AspiBinding aspi;
    VerranBinding verran;
    Buffer discoveryIn;
    Buffer discoveryOut;
    WORD options = kInitialOptions;
    std::array<TargetSlot, kSlotCount> slots;
    AspiExecRequest aspiRequest{};
    SptiRecord sptiRecord{};

    // Drops libraries and handles without calling the loader or the
    // platform (process exit).
    void Abandon();
};

// Null outside attach .. detach.
State* Current();
// The slot of a local device number, or null when out of range.
TargetSlot* Slot(State& state, int local);

// Clears every slot to its empty state, releasing handles and buffers.
void ResetSlots(State& state);
// Releases what a successful LoadCoreModule took.
void UnloadCore(State& state);

void Trace(const char* tag, std::string_view message);

// Writes a line when bit is on. message is the text, or a callable that makes
// it, so that nothing is built while the bit is off. A line that cannot be
// made for want of memory is lost, as one the file cannot take is: a command
// does not fail for its trace.
template <class Message>
void TraceIf(const State& state, WORD bit, const char* tag, Message&& message) {
    if (!(state.options & bit)) return;
    larkin::GuardedVoid([&] {
        if constexpr (std::is_invocable_v<Message&>)
            Trace(tag, message());
        else
            Trace(tag, message);
    });
}

template <class... Args>
std::string Format(const char* format, Args... args) {
    std::array<char, 512> text{};
    std::snprintf(text.data(), text.size(), format, args...);
    return text.data();
}

// Bytes of a data buffer as text, up to the first NUL.
std::string_view BytesText(const BYTE* bytes, size_t count);

// The command runners: 16 command bytes, a signed count (negative: data
// in). Results as ExecuteSCSI gives them.
int RunSptiCommand(State& state, int local, const BYTE* cdb, int count);
int RunAspiCommand(State& state, int local, const BYTE* cdb, int count);
// The ASPI runner for discovery, addressed by adapter and target id.
int AspiDiscoveryCommand(State& state, int adapter, int target, const BYTE* cdb, int count);

// The fixed command blocks.
extern const std::array<BYTE, kCdbSize> kInquiry;
extern const std::array<BYTE, kCdbSize> kRequestSense;

// Discovery.
int ProbeSptiPorts(State& state);
int LoadAspi(State& state);
int EnumerateAspiTargets(State& state);
int EnumerateVerranDrives(State& state, const char* filter);
int EnumeratePhysicalDrives(State& state);

}  // namespace pellom

#endif
