// Command execution on one target slot: the two command runners, sense
// data, the data buffers and their test patterns.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pellom/pellom.h"
#include "cdb_length.h"
#include "exports.h"
#include "state.h"

namespace pellom {

const std::array<BYTE, kCdbSize> kInquiry = {0x12, 0, 0, 0, 0xFF, 0};
const std::array<BYTE, kCdbSize> kRequestSense = {0x03, 0, 0, 0, 0x20, 0};

namespace {

constexpr BYTE kRead10 = 0x28;
constexpr BYTE kCheckCondition = 2;
constexpr size_t kRampBytes = 65536;

// |count|, limited to the data buffer: a larger transfer would run past it.
size_t TransferLength(int count) {
    int64_t magnitude = count < 0 ? -int64_t{count} : int64_t{count};
    return static_cast<size_t>(std::min<int64_t>(magnitude, kBufferSize));
}

BYTE* DataBufferFor(TargetSlot& slot, int count) {
    if (count < 0) return slot.dataIn.get();
    if (count > 0) return slot.dataOut.get();
    return nullptr;
}

std::string CommandBytes(const char* prefix, const BYTE* cdb) {
    std::string text = prefix;
    for (size_t i = 0; i < kCdbSize; ++i) text += Format("%02x ", cdb[i]);
    return text;
}

// "AutoSense " and the sense bytes the additional length announces, never
// more than the 32 that were kept.
std::string AutoSenseText(const BYTE* sense) {
    size_t count = std::min<size_t>(size_t{sense[7]} + 8, kSenseLength);
    std::string text = "AutoSense ";
    for (size_t i = 0; i < count; ++i) text += Format("%02x ", sense[i]);
    return text;
}

// A random byte: rand() taken to 0 .. 32767, scaled to 0 .. 255.
BYTE RandomByte() {
    double unit = static_cast<double>(std::rand() & 0x7FFF) / 32767.0;
    return static_cast<BYTE>(unit * 255.0);
}

struct AspiOutcome {
    BYTE status = 0;
    BYTE targetStatus = 0;
    const BYTE* sense = nullptr;
};

// Sends one execute request and waits, without a time limit, for the
// manager to complete it.
AspiOutcome SendAspi(State& state, int adapter, int target, const BYTE* cdb, int count,
                     BYTE* data) {
    AspiExecRequest& request = state.aspiRequest;
    request = AspiExecRequest{};
    SRB_ExecSCSICmd& srb = request.srb;
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = static_cast<BYTE>(adapter);
    srb.SRB_Flags = count < 0 ? SRB_DIR_IN : count > 0 ? SRB_DIR_OUT : 0;
    srb.SRB_Target = static_cast<BYTE>(target);
    srb.SRB_Lun = 0;
    srb.SRB_BufLen = static_cast<DWORD>(TransferLength(count));
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = kSenseLength;
    srb.SRB_CDBLen = CdbLength(cdb, false);
    srb.SRB_PostProc = nullptr;
    std::memcpy(srb.CDBByte, cdb, kCdbSize);
    state.aspi.send(&request);
    std::atomic_ref<BYTE> status(srb.SRB_Status);
    while (status.load(std::memory_order_acquire) == SS_PENDING) std::this_thread::yield();
    AspiOutcome outcome;
    outcome.status = srb.SRB_Status;
    outcome.targetStatus = srb.SRB_TargStat;
    outcome.sense = reinterpret_cast<const BYTE*>(&request) + offsetof(SRB_ExecSCSICmd, SenseArea);
    return outcome;
}

int AspiResult(const AspiOutcome& outcome) {
    if (outcome.status == SS_COMP) return 0;
    if (outcome.targetStatus == kCheckCondition) return 2;
    return outcome.status;
}

}  // namespace

int RunSptiCommand(State& state, int local, const BYTE* cdb, int count) {
    TargetSlot& slot = *Slot(state, local);
    slot.sensePending = 0;
    SptiRecord& record = state.sptiRecord;
    // Only the header: the sense area keeps its bytes until the driver writes.
    record.header = SCSI_PASS_THROUGH_DIRECT{};
    record.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record.header.PathId = 0;
    record.header.TargetId = 0;
    record.header.Lun = 0;
    record.header.CdbLength = CdbLength(cdb, true);
    record.header.SenseInfoLength = kSenseLength;
    record.header.DataIn = count < 0   ? SCSI_IOCTL_DATA_IN
                           : count > 0 ? SCSI_IOCTL_DATA_OUT
                                       : SCSI_IOCTL_DATA_UNSPECIFIED;
    record.header.DataTransferLength = static_cast<ULONG>(TransferLength(count));
    // The driver counts seconds, as the watchdog does.
    record.header.TimeOutValue = static_cast<ULONG>(slot.watchdog);
    record.header.DataBuffer = DataBufferFor(slot, count);
    record.header.SenseInfoOffset = offsetof(SptiRecord, sense);
    std::memcpy(record.header.Cdb, cdb, kCdbSize);

    TraceIf(state, kTraceCommands, kTagSpti,
            [&] { return Format("Device %d Byte Count %ld", local, static_cast<long>(count)); });
    TraceIf(state, kTraceCommands, kTagSpti, [&] { return CommandBytes("Command ", cdb); });

    DWORD returned = 0;
    bool sent = DeviceIoControl(slot.handle.get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &record,
                                sizeof record, &record, sizeof record, &returned, nullptr);
    BYTE scsiStatus = record.header.ScsiStatus;
    TraceIf(state, kTraceCommands, kTagSpti, [&] {
        return Format("IOCTRL Status %d Command Status %d  Target Status %d", sent ? 1 : 0,
                      static_cast<int>(record.filler), static_cast<int>(scsiStatus));
    });
    if (scsiStatus == kCheckCondition)
        TraceIf(state, kTraceCommands, kTagSpti, [&] { return AutoSenseText(record.sense); });

    std::memcpy(slot.savedSense.data(), record.sense, kSenseLength);
    if (scsiStatus == kCheckCondition) slot.sensePending = 1;
    if (!sent) return 1;
    return scsiStatus == kCheckCondition ? 2 : 0;
}

int RunAspiCommand(State& state, int local, const BYTE* cdb, int count) {
    TargetSlot& slot = *Slot(state, local);
    slot.sensePending = 0;
    TraceIf(state, kTraceCommands, kTagAspi, [&] {
        return Format("Device %d Adapter %d  Target %d  Byte Count %ld", local, slot.adapterNumber,
                      slot.targetId, static_cast<long>(count));
    });
    TraceIf(state, kTraceCommands, kTagAspi, [&] {
        std::string bytes = "Command";
        for (size_t i = 0; i < kCdbSize; ++i) bytes += Format(" %02x", cdb[i]);
        return bytes;
    });

    AspiOutcome outcome =
        SendAspi(state, slot.adapterNumber, slot.targetId, cdb, count, DataBufferFor(slot, count));

    TraceIf(state, kTraceCommands, kTagAspi, [&] {
        return Format("Command Status %d  Target Status %d", outcome.status, outcome.targetStatus);
    });
    if (outcome.targetStatus == kCheckCondition)
        TraceIf(state, kTraceCommands, kTagAspi, [&] { return AutoSenseText(outcome.sense); });
    std::memcpy(slot.savedSense.data(), outcome.sense, kSenseLength);
    if (outcome.status != SS_COMP && outcome.targetStatus == kCheckCondition) slot.sensePending = 1;
    return AspiResult(outcome);
}

// The ASPI runner for discovery: addressed by adapter and target, using the
// module's own buffers, keeping no sense.
int AspiDiscoveryCommand(State& state, int adapter, int target, const BYTE* cdb, int count) {
    BYTE* data = count < 0   ? state.discoveryIn.get()
                 : count > 0 ? state.discoveryOut.get()
                             : nullptr;
    AspiOutcome outcome = SendAspi(state, adapter, target, cdb, count, data);
    TraceIf(state, kTraceDiscovery, kTagAspi, [&] {
        return Format("Adapter %d  Target %d  Command %02x  Status %d-%d", adapter, target, cdb[0],
                      outcome.status, outcome.targetStatus);
    });
    return AspiResult(outcome);
}

}  // namespace pellom

using namespace pellom;

namespace {

int Execute(State& state, int local, const BYTE* cdb, int count) {
    TargetSlot* slot = Slot(state, local);
    if (slot == nullptr || cdb == nullptr || !slot->filled()) return -2;
    int result = 0;
    switch (state.transport) {
        case Transport::Aspi:
            result = RunAspiCommand(state, local, cdb, count);
            break;
        case Transport::Spti:
            if (!slot->handle) return -1;
            result = RunSptiCommand(state, local, cdb, count);
            break;
        case Transport::None:
            break;
    }
    if (cdb[0] == kRead10 && count < 0 && result == 0 && (state.options & kVerifyReads)) {
        // The data read must match what the caller put into dataOut.
        if (std::memcmp(slot->dataOut.get(), slot->dataIn.get(), TransferLength(count)) != 0)
            return 100;
    }
    return result;
}

}  // namespace

// A failure inside a command (out of memory) is reported as a failed
// request; the other exports give their results for a slot never filled.

DLLEXPORT int ExecuteSCSI(int local, const BYTE* cdb, int count) {
    return larkin::Guarded(PELLOM_REQUEST_FAILED, [&] {
        State* state = Current();
        return state ? Execute(*state, local, cdb, count) : PELLOM_NO_BUFFERS;
    });
}

DLLEXPORT int Sense(int local, BYTE* buffer) {
    return larkin::Guarded(1, [&] {
        State* state = Current();
        TargetSlot* slot = state ? Slot(*state, local) : nullptr;
        if (slot == nullptr || buffer == nullptr) return 1;
        if (slot->sensePending) {
            std::memcpy(buffer, slot->savedSense.data(), kSenseLength);
            slot->sensePending = 0;
            return 0;
        }
        if (Execute(*state, local, kRequestSense.data(), -static_cast<int>(kSenseLength)) != 0)
            return 1;
        std::memcpy(buffer, slot->dataIn.get(), kSenseLength);
        return 0;
    });
}

DLLEXPORT int BufferControl(int local, int code, int offset, int length, BYTE* data) {
    return larkin::Guarded(0, [&] {
        State* state = Current();
        TargetSlot* slot = state ? Slot(*state, local) : nullptr;
        if (length <= 0) return 0;
        if (slot == nullptr || data == nullptr) return 0;
        if (code == 64) code = 0;
        bool read = code == 0 || code == 32;
        BYTE* buffer = (code == 0 || code == 16) ? slot->dataIn.get() : slot->dataOut.get();
        if (buffer == nullptr) return 0;
        // Only the positions inside the buffer move; the caller's other bytes
        // stay as they were.
        int64_t first = std::max<int64_t>(offset, 0);
        int64_t end = std::min<int64_t>(int64_t{offset} + length, kBufferSize);
        if (first < end) {
            BYTE* inBuffer = buffer + first;
            BYTE* inData = data + (first - offset);
            size_t count = static_cast<size_t>(end - first);
            if (read)
                std::memcpy(inData, inBuffer, count);
            else
                std::memcpy(inBuffer, inData, count);
        }
        return length;
    });
}

DLLEXPORT int BufferSize(int /*local*/) {
    return static_cast<int>(kBufferSize);
}

namespace {

void FillPattern(BYTE* buffer, const BYTE* pattern, int length, int period) {
    if (length >= 0) {
        // A period below 1 or a missing pattern has no meaning; leave the
        // buffer alone.
        if (period < 1 || pattern == nullptr) return;
        size_t index = 0;
        for (size_t i = 0; i < kBufferSize; ++i) {
            if (i % static_cast<size_t>(period) == 0) index = 0;
            buffer[i] = pattern[index];
            if (length == 0 || ++index >= static_cast<size_t>(length)) index = 0;
        }
    } else if (length == PELLOM_PATTERN_RANDOM_BLOCK) {
        if (period < 1) return;
        // Made whole before the buffer is touched, so a failure changes nothing.
        std::vector<BYTE> block(std::min<size_t>(static_cast<size_t>(period), kBufferSize));
        for (BYTE& byte : block) byte = RandomByte();
        for (size_t i = 0; i < kBufferSize; ++i) buffer[i] = block[i % block.size()];
    } else if (length == PELLOM_PATTERN_RANDOM) {
        for (size_t i = 0; i < kBufferSize; ++i) buffer[i] = RandomByte();
    } else if (length == PELLOM_PATTERN_RAMP) {
        for (size_t i = 0; i < kRampBytes; ++i) buffer[i] = static_cast<BYTE>(i % 255);
    }
}

}  // namespace

DLLEXPORT void SetDataPattern(int local, const char* bufferName, const BYTE* pattern, int length,
                              int period) {
    larkin::GuardedVoid([&] {
        State* state = Current();
        TargetSlot* slot = state ? Slot(*state, local) : nullptr;
        if (slot == nullptr) return;
        bool toDataIn = bufferName && (std::string_view(bufferName) == "r" ||
                                       std::string_view(bufferName) == "R");
        BYTE* buffer = toDataIn ? slot->dataIn.get() : slot->dataOut.get();
        if (buffer != nullptr) FillPattern(buffer, pattern, length, period);
    });
}

DLLEXPORT int SetWatchdogTimer(int local, int value) {
    return larkin::Guarded(0, [&] {
        State* state = Current();
        TargetSlot* slot = state ? Slot(*state, local) : nullptr;
        if (slot == nullptr) return 0;
        int old = slot->watchdog;
        if (value > 0) slot->watchdog = value;
        return old;
    });
}

DLLEXPORT void ReleaseController(int /*local*/) {}
