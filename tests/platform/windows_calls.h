// The Windows calls the platform's tests make again and again, as the
// libraries make them: handles closed when they go, opens with both sharing
// modes, control codes, transfers at an offset and SCSI pass-through.
#ifndef LARKIN_TESTS_PLATFORM_WINDOWS_CALLS_H
#define LARKIN_TESTS_PLATFORM_WINDOWS_CALLS_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "larkin/platform.h"

namespace larkin::test {

// A handle closed when it goes (a null one counts as none).
class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE)
        : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    HANDLE Get() const { return handle_ ? handle_.get() : INVALID_HANDLE_VALUE; }
    bool Valid() const { return handle_ != nullptr; }
    void Close() { handle_.reset(); }

  private:
    struct Closer {
        void operator()(HANDLE handle) const { CloseHandle(handle); }
    };
    std::unique_ptr<void, Closer> handle_;
};

// A call that must fail with this last error.
#define LARKIN_EXPECT_FAILS(call, error)                      \
    do {                                                      \
        EXPECT_FALSE(call);                                   \
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)); \
    } while (false)

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// CreateFileA, by default with both sharing modes and OPEN_EXISTING.
inline Handle Open(const std::string& name, DWORD access = kReadWrite,
                   DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                   DWORD disposition = OPEN_EXISTING) {
    return Handle(CreateFileA(name.c_str(), access, share, nullptr, disposition, 0, nullptr));
}

inline bool Control(HANDLE handle, DWORD code, void* in = nullptr, DWORD inSize = 0,
                    void* out = nullptr, DWORD outSize = 0) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, in, inSize, out, outSize, &returned, nullptr);
}

// Whether an outside program is handed the volume to write.
inline bool ToolGets(const char* volume) {
    LARKIN_TOOL_VOLUME where{};
    return Handle(LarkinOpenVolumeForTool(volume, "mkfs.fat", TRUE, &where)).Valid();
}

// The disk and partition numbers of what name opens (for no access); none
// (the last error set) where it does not open or has none.
inline std::optional<STORAGE_DEVICE_NUMBER> DeviceNumber(const std::string& name) {
    STORAGE_DEVICE_NUMBER number{};
    Handle handle = Open(name, 0);
    if (!handle.Valid() ||
        !Control(handle.Get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number))
        return std::nullopt;
    return number;
}

// Moves the whole buffer at offset through the handle.
template <typename Bytes>
bool WriteAt(HANDLE handle, uint64_t offset, const Bytes& data) {
    const LARGE_INTEGER at{.QuadPart = static_cast<LONGLONG>(offset)};
    DWORD done = 0;
    return SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) &&
           WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &done, nullptr) &&
           done == data.size();
}
inline std::optional<std::vector<std::byte>> ReadAt(HANDLE handle, uint64_t offset, size_t length) {
    std::vector<std::byte> data(length);
    const LARGE_INTEGER at{.QuadPart = static_cast<LONGLONG>(offset)};
    DWORD done = 0;
    if (!SetFilePointerEx(handle, at, nullptr, FILE_BEGIN) ||
        !ReadFile(handle, data.data(), static_cast<DWORD>(length), &done, nullptr) ||
        done != length)
        return std::nullopt;
    return data;
}

// One SCSI command through IOCTL_SCSI_PASS_THROUGH_DIRECT, its status and
// sense kept in the record; false with the last error when the request
// itself fails.
struct PassThrough {
    SCSI_PASS_THROUGH_DIRECT request;
    ULONG filler;
    BYTE sense[32];
};
inline bool SendCommand(HANDLE handle, std::vector<BYTE> cdb, UCHAR direction,
                        std::vector<BYTE>& data, PassThrough& record) {
    record = PassThrough{};
    record.request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    record.request.CdbLength = static_cast<UCHAR>(cdb.size());
    record.request.SenseInfoLength = sizeof record.sense;
    record.request.SenseInfoOffset = offsetof(PassThrough, sense);
    record.request.DataIn = data.empty() ? SCSI_IOCTL_DATA_UNSPECIFIED : direction;
    record.request.DataTransferLength = static_cast<ULONG>(data.size());
    record.request.DataBuffer = data.empty() ? nullptr : data.data();
    record.request.TimeOutValue = 10;
    std::memcpy(record.request.Cdb, cdb.data(), std::min<size_t>(cdb.size(), 16));
    return Control(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record,
                   sizeof record);
}
// A ten-byte READ, WRITE or READ CAPACITY command block.
inline std::vector<BYTE> Cdb10(BYTE operation, uint32_t block, uint16_t blocks) {
    return {operation,   0, BYTE(block >> 24), BYTE(block >> 16), BYTE(block >> 8),
            BYTE(block), 0, BYTE(blocks >> 8), BYTE(blocks),      0};
}

// One command to target 0 of an ASPI host: its outcome, the target's status in *status.
inline DWORD Aspi(DWORD host, std::vector<BYTE> cdb, int direction, std::vector<BYTE>& data,
                  BYTE* status) {
    *status = 0xFF;
    return LarkinScsiExecute(host, 0, 0, cdb.data(), static_cast<BYTE>(cdb.size()), direction,
                             data.data(), static_cast<DWORD>(data.size()), nullptr, 0, status);
}

// A program in a console of its own, titled and shown so.
inline PROCESS_INFORMATION Start(std::string line, const char* title,
                                 WORD show = SW_SHOWMINNOACTIVE) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.lpTitle = const_cast<LPSTR>(title);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = show;
    PROCESS_INFORMATION process{};
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                               nullptr, nullptr, &startup, &process))
        << GetLastError();
    return process;
}

inline DWORD ExitCode(const PROCESS_INFORMATION& process) {
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(GetExitCodeProcess(process.hProcess, &code));
    return code;
}

// A process of its own that runs body (which opens or locks something),
// says through a pipe whether it succeeded and, if so, runs then (a failing
// then exits); it waits to be killed, as a crash kills, and is reaped when
// it goes.
class ChildHolding {
  public:
    explicit ChildHolding(const std::function<bool()>& body,
                          const std::function<void()>& then = {}) {
        int ready[2];
        if (::pipe(ready) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            char answer = body() ? 'Y' : 'N';
            [[maybe_unused]] auto sent = ::write(ready[1], &answer, 1);
            if (answer == 'Y' && then) {
                then();
                ::_exit(3);
            }
            for (;;) ::pause();
        }
        ::close(ready[1]);
        if (pid_ > 0 && ::read(ready[0], &answer_, 1) != 1) answer_ = 0;
        ::close(ready[0]);
    }
    ~ChildHolding() { Kill(); }
    ChildHolding(const ChildHolding&) = delete;
    ChildHolding& operator=(const ChildHolding&) = delete;
    bool Succeeded() const { return answer_ == 'Y'; }
    // Whether the kill ended it (it had not ended by itself).
    bool Kill() {
        if (pid_ <= 0) return false;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

  private:
    pid_t pid_ = -1;
    char answer_ = 0;
};

}  // namespace larkin::test

#endif
