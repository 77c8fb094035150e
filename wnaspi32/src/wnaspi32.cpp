// An ASPI for Win32 manager over the platform's SCSI host adapters.
//
// Like a real manager it completes execute and rescan requests
// asynchronously: the caller gets SS_PENDING and SRB_Status turns non-zero
// a little later, set by one worker thread, so callers that poll the status
// byte really wait.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <type_traits>

#include "larkin/exports.h"
#include "larkin/guarded.h"
#include "larkin/platform.h"
#include "wnaspi32/wnaspi32.h"

// The two entry points, declared with their published types.
DLLEXPORT std::remove_pointer_t<GET_ASPI32_SUPPORT_INFO> GetASPI32SupportInfo;
DLLEXPORT std::remove_pointer_t<SEND_ASPI32_COMMAND> SendASPI32Command;

namespace {

// The time a request takes, waited through the platform so that the
// machine's time scale and pause record see it. Long enough that a poller
// spins many times.
constexpr DWORD kCompletionDelayMs = 1;
constexpr BYTE kMaxTargets = 16;
constexpr DWORD kMaxTransfer = 0x00100000;

// The caller polls SRB_Status from its own thread: publish it last.
void Complete(BYTE* status, BYTE value) {
    std::atomic_ref<BYTE>(*status).store(value, std::memory_order_release);
}

// A queued request: the work that completes it (as its last step), and its
// status byte, which the worker sets to SS_ERR should the work fail.
struct Job {
    std::function<void()> run;
    BYTE* status;
};

// Completes requests one after the other on a worker thread. It is made
// when the library loads, where a failure could not be reported, so it
// allocates nothing before the first request.
class Completer {
  public:
    ~Completer() { Stop(); }

    // Throws when the request cannot be queued; then nothing was queued.
    void Submit(Job job) {
        std::lock_guard lock(mutex_);
        if (!worker_.joinable()) {
            stopping_ = false;
            worker_ = std::thread([this] { Run(); });
        }
        jobs_.push_back(std::move(job));
        ready_.notify_one();
    }

    // Finishes the queued requests, then ends the worker.
    void Stop() {
        if (!worker_.joinable()) return;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_one();
        worker_.join();
    }

  private:
    void Run() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;  // stop asked and nothing left
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            bool done = larkin::Guarded(false, [&] {
                Sleep(kCompletionDelayMs);
                job.run();
                return true;
            });
            // A request that failed before it was completed is completed
            // here: its caller polls it. (A completed one may be gone.)
            if (!done) Complete(job.status, SS_ERR);
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::list<Job> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};

Completer completer;

void CopyText(BYTE (&field)[16], const char* text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text, std::min(std::strlen(text), sizeof field));
}

DWORD HostAdapterInquiry(SRB_HAInquiry& srb) {
    DWORD count = LarkinScsiHostCount();
    LARKIN_SCSI_HOST host{};
    if (srb.SRB_HaId >= count || !LarkinScsiHostInfo(srb.SRB_HaId, &host)) {
        srb.SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    srb.HA_Count = static_cast<BYTE>(std::min<DWORD>(count, 255));
    srb.HA_SCSI_ID = host.hostScsiId;
    CopyText(srb.HA_ManagerId, host.manager);
    CopyText(srb.HA_Identifier, host.identifier);
    std::memset(srb.HA_Unique, 0, sizeof srb.HA_Unique);
    srb.HA_Unique[3] = host.maxTargets ? host.maxTargets : kMaxTargets;
    std::memcpy(&srb.HA_Unique[4], &kMaxTransfer, sizeof kMaxTransfer);
    srb.SRB_Status = SS_COMP;
    return SS_COMP;
}

void RunExecute(SRB_ExecSCSICmd* srb) {
    int direction = LARKIN_SCSI_NO_DATA;
    if (srb->SRB_Flags & SRB_DIR_IN) direction = LARKIN_SCSI_DATA_IN;
    if (srb->SRB_Flags & SRB_DIR_OUT) direction = LARKIN_SCSI_DATA_OUT;
    void* data = direction == LARKIN_SCSI_NO_DATA ? nullptr : srb->SRB_BufPointer;
    DWORD length = data ? srb->SRB_BufLen : 0;
    // The caller may have widened the sense area; SRB_SenseLen says how far.
    BYTE* sense = reinterpret_cast<BYTE*>(srb) + offsetof(SRB_ExecSCSICmd, SenseArea);
    BYTE targetStatus = 0;
    DWORD result = LarkinScsiExecute(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun, srb->CDBByte,
                                     srb->SRB_CDBLen, direction, data, length, sense,
                                     srb->SRB_SenseLen, &targetStatus);
    BYTE status = SS_ERR;
    if (result == ERROR_SUCCESS) {
        srb->SRB_HaStat = HASTAT_OK;
        srb->SRB_TargStat = targetStatus;
        status = targetStatus == 0 ? SS_COMP : SS_ERR;
    } else if (result == ERROR_DEVICE_NOT_CONNECTED) {
        srb->SRB_HaStat = HASTAT_SEL_TO;
        status = SS_NO_DEVICE;
    }
    auto* post = reinterpret_cast<void (*)(void*)>(srb->SRB_PostProc);
    bool posting = (srb->SRB_Flags & SRB_POSTING) && post != nullptr;
    Complete(&srb->SRB_Status, status);
    if (posting) post(srb);
}

DWORD Execute(SRB_ExecSCSICmd* srb) {
    if (srb->SRB_HaId >= LarkinScsiHostCount()) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte ||
        (srb->SRB_BufLen > 0 && srb->SRB_BufPointer == nullptr &&
         (srb->SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT)))) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = 0;
    Complete(&srb->SRB_Status, SS_PENDING);
    completer.Submit({[srb] { RunExecute(srb); }, &srb->SRB_Status});
    return SS_PENDING;
}

DWORD Rescan(SRB_RescanPort* srb) {
    if (srb->SRB_HaId >= LarkinScsiHostCount()) {
        srb->SRB_Status = SS_INVALID_HA;
        return SS_INVALID_HA;
    }
    Complete(&srb->SRB_Status, SS_PENDING);
    completer.Submit({[srb] {
                          Complete(&srb->SRB_Status,
                                   LarkinScsiRescanHost(srb->SRB_HaId) ? SS_COMP : SS_ERR);
                      },
                      &srb->SRB_Status});
    return SS_PENDING;
}

}  // namespace

LARKIN_DLLMAIN(instance, reason, reserved) {
    (void)instance;
    // Unloading: requests still queued complete first.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        larkin::GuardedVoid([] { completer.Stop(); });
    return TRUE;
}

DLLEXPORT DWORD GetASPI32SupportInfo(void) {
    DWORD count = LarkinScsiHostCount();
    if (count == 0) return DWORD{SS_NO_ADAPTERS} << 8;
    return (DWORD{SS_COMP} << 8) | std::min<DWORD>(count, 255);
}

// A request that cannot be queued for want of memory fails at once, its
// status byte set so that a poller does not wait for it.
DLLEXPORT DWORD SendASPI32Command(void* request) {
    if (request == nullptr) return SS_INVALID_SRB;
    auto* header = static_cast<SRB_Header*>(request);
    DWORD status = larkin::Guarded(DWORD{SS_INSUFFICIENT_RESOURCES}, [&]() -> DWORD {
        switch (header->SRB_Cmd) {
            case SC_HA_INQUIRY:
                return HostAdapterInquiry(*static_cast<SRB_HAInquiry*>(request));
            case SC_EXEC_SCSI_CMD:
                return Execute(static_cast<SRB_ExecSCSICmd*>(request));
            case SC_RESCAN_SCSI_BUS:
                return Rescan(static_cast<SRB_RescanPort*>(request));
            default:
                header->SRB_Status = SS_INVALID_CMD;
                return SS_INVALID_CMD;
        }
    });
    if (status == SS_INSUFFICIENT_RESOURCES) Complete(&header->SRB_Status, status);
    return status;
}
