// Finding targets: the pass-through port probe, the ASPI manager, and the
// three ways of filling the target table (ASPI walk, Verran scan, physical
// drive probe).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "larkin/owned.h"
#include "state.h"

namespace pellom {

namespace {

constexpr int kPortProbes = 100;
constexpr int kAspiTargets = 16;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// INQUIRY data offsets.
constexpr size_t kLabelOffset = 8;  // vendor and product identification
constexpr size_t kLabelLength = 24;
constexpr size_t kRevisionOffset = 32;
constexpr size_t kRevisionLength = 4;
constexpr size_t kSerialOffset = 36;
constexpr size_t kSerialLength = 8;

// Waits, without a time limit, until the manager completes the request.
void WaitForAspi(BYTE& status) {
    std::atomic_ref<BYTE> polled(status);
    while (polled.load(std::memory_order_acquire) == SS_PENDING) std::this_thread::yield();
}

void RescanAspiBus(State& state, int adapter) {
    SRB_RescanPort request{};
    request.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    request.SRB_HaId = static_cast<BYTE>(adapter);
    state.aspi.send(&request);
    WaitForAspi(request.SRB_Status);
}

std::string InquireHostAdapter(State& state, const TargetSlot& slot) {
    SRB_HAInquiry request{};
    request.SRB_Cmd = SC_HA_INQUIRY;
    request.SRB_HaId = static_cast<BYTE>(slot.adapterNumber);
    state.aspi.send(&request);
    WaitForAspi(request.SRB_Status);
    std::string manager(BytesText(request.HA_ManagerId, 15));
    std::string identifier(BytesText(request.HA_Identifier, 8));
    std::string first = Format("%s - %s", manager.c_str(), identifier.c_str());
    std::string second = Format("Adapter %d", slot.adapterNumber);
    std::string third = Format("ID %d", request.HA_SCSI_ID);
    return Format("%s - %s - %s", first.c_str(), second.c_str(), third.c_str());
}

// Serial number and revision from the INQUIRY data in data.
void TakeInquiryIds(TargetSlot& slot, const BYTE* data) {
    slot.driveSN.set(BytesText(data + kSerialOffset, kSerialLength));
    slot.driveFW.set(BytesText(data + kRevisionOffset, kRevisionLength));
}

std::string Label(const BYTE* data) {
    return std::string(BytesText(data + kLabelOffset, kLabelLength));
}

// A Verran text query; an entry that failed to bind, or a null result,
// reads as empty.
template <class Function, class... Args>
std::string Call(Function function, Args... args) {
    const char* value = function ? function(args...) : nullptr;
    return value ? value : "";
}

}  // namespace

std::string_view BytesText(const BYTE* bytes, size_t count) {
    const char* text = reinterpret_cast<const char*>(bytes);
    return std::string_view(text, static_cast<size_t>(std::find(text, text + count, '\0') - text));
}

int ProbeSptiPorts(State& state) {
    int count = 0;
    for (int n = 0; n < kPortProbes; ++n) {
        std::string name = Format("\\\\.\\scsi%d:", n);
        larkin::Handle port(
            CreateFileA(name.c_str(), kReadWrite, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!port) {
            if (n == 0) return 0;
            continue;
        }
        SptiRecord& record = state.sptiRecord;
        record.header = SCSI_PASS_THROUGH_DIRECT{};
        record.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        DWORD returned = 0;
        DeviceIoControl(port.get(), IOCTL_SCSI_RESCAN_BUS, &record, sizeof record, &record,
                        sizeof record, &returned, nullptr);
        ++count;
    }
    TraceIf(state, kTraceLoading, kTagSpti, Format("LoadSPTI() %d Adapters", count));
    return static_cast<int>(Transport::Spti);
}

int LoadAspi(State& state) {
    if (!state.aspi.library) {
        larkin::Library library(LoadLibraryA("wnaspi32"));
        if (!library) return 0;
        auto getSupportInfo =
            larkin::Export<GET_ASPI32_SUPPORT_INFO>(library, "GetASPI32SupportInfo");
        auto send = larkin::Export<SEND_ASPI32_COMMAND>(library, "SendASPI32Command");
        // A manager without both entry points is as good as none.
        if (!getSupportInfo || !send) return 0;
        DWORD info = getSupportInfo();
        if ((info & 0xFF) == 0 || ((info >> 8) & 0xFF) != SS_COMP) return 0;
        state.aspi.library = std::move(library);
        state.aspi.getSupportInfo = getSupportInfo;
        state.aspi.send = send;
    }
    state.aspiAdapterCount = static_cast<int>(state.aspi.getSupportInfo() & 0xFF);
    for (int adapter = 0; adapter < state.aspiAdapterCount; ++adapter)
        RescanAspiBus(state, adapter);
    TraceIf(state, kTraceLoading, kTagAspi,
            Format("LoadASPI() %d Adapters", state.aspiAdapterCount));
    return static_cast<int>(Transport::Aspi);
}

int EnumerateAspiTargets(State& state) {
    int j = 0;
    for (int adapter = 0; adapter < state.aspiAdapterCount; ++adapter) {
        for (int target = 0; target < kAspiTargets; ++target) {
            if (j >= kSlotCount) return j;  // the table is full
            if (AspiDiscoveryCommand(state, adapter, target, kInquiry.data(), -255) != 0) continue;
            state.slotsInUse = true;
            TargetSlot& slot = state.slots[static_cast<size_t>(j)];
            slot.adapter.set(Format("Adapter %d", adapter));
            slot.drive.set(Format("Target %d", target));
            slot.adapterNumber = adapter;
            slot.targetId = target;
            slot.watchdog = kDefaultWatchdog;
            slot.dataIn = NewBuffer();
            slot.dataOut = NewBuffer();
            slot.adapterInfo.set(InquireHostAdapter(state, slot));
            const BYTE* data = state.discoveryIn.get();
            std::string driveInfo = Format("%s Target %d", Label(data).c_str(), target);
            slot.driveInfo.set(driveInfo);
            TraceIf(state, kTraceDiscovery, kTagAspi, driveInfo);
            TakeInquiryIds(slot, data);
            ++j;
        }
    }
    return j;
}

int EnumerateVerranDrives(State& state, const char* filter) {
    const VerranBinding& verran = state.verran;
    if (verran.initialize) verran.initialize(filter);
    int adapterCount = verran.getAdapterCount ? static_cast<int>(verran.getAdapterCount()) : 0;
    if (adapterCount < 1) return 0;
    int j = 0;
    for (int p = 0; p < adapterCount; ++p) {
        auto adapter = static_cast<DWORD>(p);
        int drives = verran.getDriveCount ? static_cast<int>(verran.getDriveCount(adapter)) : 0;
        TraceIf(state, kTraceDiscovery, kTagScan,
                Format("Adapter %d of %d -- Drive Count = %d", p, adapterCount, drives));
        for (int i = 0; i < drives; ++i) {
            if (j >= kSlotCount) return j;  // the table is full
            auto drive = static_cast<DWORD>(i);
            state.slotsInUse = true;
            TargetSlot& slot = state.slots[static_cast<size_t>(j)];
            slot.adapterType.set(Call(verran.getAdapterInterfaceType, adapter));
            slot.adapterInfo.set(Call(verran.getAdapterDescription, adapter));
            slot.adapter.set(Format("Adapter %d", p));
            slot.drive.set(Format("Drive %d", i));
            slot.driveInfo.set(Call(verran.getDriveDescription, adapter, drive));
            std::string path = Call(verran.getDriveName, adapter, drive);
            slot.driveName.set(path);
            slot.driveNumber.set(Call(verran.getDriveInfo, adapter, drive, "DEVICE_NUMBER"));
            slot.mountInfo.set(Call(verran.getDriveInfo, adapter, drive, "MOUNT_INFO"));
            slot.friendlyName.set(Call(verran.getDriveInfo, adapter, drive, "FRIENDLYNAME"));
            slot.dataIn = NewBuffer();
            slot.dataOut = NewBuffer();
            // A drive that cannot be opened is still listed; its commands fail.
            slot.handle.reset(CreateFileA(path.c_str(), kReadWrite, kShareAll, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
            RunSptiCommand(state, j, kInquiry.data(), -255);
            TakeInquiryIds(slot, slot.dataIn.get());
            TraceIf(state, kTraceDiscovery, kTagScan,
                    Format("Index %d %s", j, std::string(slot.driveInfo.view()).c_str()));
            ++j;
        }
    }
    return j;
}

int EnumeratePhysicalDrives(State& state) {
    int j = 0;
    for (int d = 0; d < kPortProbes && j < kSlotCount; ++d) {
        std::string name = Format("\\\\.\\PhysicalDrive%d", d);
        larkin::Handle disk(
            CreateFileA(name.c_str(), kReadWrite, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
        if (!disk) continue;
        state.slotsInUse = true;
        TargetSlot& slot = state.slots[static_cast<size_t>(j)];
        slot.handle = std::move(disk);
        slot.adapter.set(Format("PhysicalDrive %d", d));
        slot.drive.set("");
        slot.dataIn = NewBuffer();
        slot.dataOut = NewBuffer();
        RunSptiCommand(state, j, kInquiry.data(), -255);
        const BYTE* data = slot.dataIn.get();
        slot.driveInfo.set(Format("%s SCSI Disk Drive", Label(data).c_str()));
        // Numbered by slot, not by drive.
        slot.adapterInfo.set(Format("PhysicalDrive%d ", j));
        TakeInquiryIds(slot, data);
        TraceIf(state, kTraceDiscovery, kTagSpti,
                Format("Index %d %s", j, std::string(slot.driveInfo.view()).c_str()));
        ++j;
    }
    return j;
}

}  // namespace pellom
