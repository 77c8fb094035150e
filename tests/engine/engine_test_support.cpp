#include "engine_test_support.h"

#include <algorithm>
#include <map>

#include "exports/message_channel.h"
#include "exports/services.h"
#include "larkin/platform.h"

namespace tessel::test {

EngineTest::EngineTest(std::string_view toml) : machine_(toml) {
    ClearRows(CurrentTable);
    ClearRows(BaselineTable);
    ClearRows(ProbeTable);
    CurrentTable.count = BaselineTable.count = ProbeTable.count = 0;
    SetProgressCallback(nullptr);
    EXPECT_TRUE(BindServices()) << GetLastError();
    larkin::sim::ClearPauses();
}

EngineTest::~EngineTest() {
    larkin::sim::ClearFaults();
    ReleaseServices(false);
}

std::string CapturedOutput(const std::function<void()>& op) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    op();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

namespace {

HANDLE OpenSystemDisk(DWORD access = 0) {
    return CreateFileA("\\\\.\\PhysicalDrive0", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

bool FailedWithProbeError(BOOL result) {
    return !result && GetLastError() == kProbeError;
}

// Closes a handle when the probe is done with it.
struct Closer {
    HANDLE handle;
    ~Closer() {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
    }
};
struct SetCloser {
    HDEVINFO set;
    ~SetCloser() {
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
};

bool ProbeDeviceInterface(bool detail) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SetCloser closer{set};
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    BOOL found = SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &data);
    if (!detail) return FailedWithProbeError(found);
    DWORD required = 0;
    return FailedWithProbeError(
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
}

bool ProbeDeviceInfo(bool property) {
    HDEVINFO set =
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    SetCloser closer{set};
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    BOOL found = SetupDiEnumDeviceInfo(set, 0, &device);
    if (!property) return FailedWithProbeError(found);
    return FailedWithProbeError(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC,
                                                                  nullptr, nullptr, 0, nullptr));
}

const std::map<std::string, std::function<bool()>, std::less<>>& Probes() {
    static const std::map<std::string, std::function<bool()>, std::less<>> probes = {
        {"CreateFileA",
         [] {
             Closer file{CreateFileA("tessel-probe-no-such-file", GENERIC_READ, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr)};
             return file.handle == INVALID_HANDLE_VALUE && GetLastError() == kProbeError;
         }},
        {"DeviceIoControl",
         [] {
             Closer disk{OpenSystemDisk()};
             STORAGE_DEVICE_NUMBER number{};
             DWORD returned = 0;
             return FailedWithProbeError(
                 DeviceIoControl(disk.handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                 sizeof number, &returned, nullptr));
         }},
        {"ReadFile",
         [] {
             Closer disk{OpenSystemDisk(GENERIC_READ)};
             std::vector<char> sector(512);
             DWORD done = 0;
             return FailedWithProbeError(ReadFile(disk.handle, sector.data(), 512, &done, nullptr));
         }},
        {"SetFilePointerEx",
         [] {
             Closer disk{OpenSystemDisk()};
             LARGE_INTEGER start{};
             return FailedWithProbeError(SetFilePointerEx(disk.handle, start, nullptr, FILE_BEGIN));
         }},
        {"FindFirstVolumeA",
         [] {
             char name[MAX_PATH];
             HANDLE search = FindFirstVolumeA(name, MAX_PATH);
             if (search != INVALID_HANDLE_VALUE) FindVolumeClose(search);
             return search == INVALID_HANDLE_VALUE && GetLastError() == kProbeError;
         }},
        {"FindNextVolumeA",
         [] {
             char name[MAX_PATH];
             HANDLE search = FindFirstVolumeA(name, MAX_PATH);
             BOOL next = FindNextVolumeA(search, name, MAX_PATH);
             bool fired = FailedWithProbeError(next);
             if (search != INVALID_HANDLE_VALUE) FindVolumeClose(search);
             return fired;
         }},
        {"GetVolumePathNamesForVolumeNameA",
         [] {
             char paths[MAX_PATH];
             DWORD returned = 0;
             return FailedWithProbeError(GetVolumePathNamesForVolumeNameA(
                 "\\\\?\\Volume{probe}\\", paths, MAX_PATH, &returned));
         }},
        {"GetLogicalDrives",
         [] { return GetLogicalDrives() == 0 && GetLastError() == kProbeError; }},
        {"SetupDiGetClassDevsA",
         [] {
             HDEVINFO set =
                 SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
             SetCloser closer{set};
             return set == INVALID_HANDLE_VALUE && GetLastError() == kProbeError;
         }},
        {"SetupDiEnumDeviceInfo", [] { return ProbeDeviceInfo(false); }},
        {"SetupDiGetDeviceRegistryPropertyA", [] { return ProbeDeviceInfo(true); }},
        {"SetupDiEnumDeviceInterfaces", [] { return ProbeDeviceInterface(false); }},
        {"SetupDiGetDeviceInterfaceDetailA", [] { return ProbeDeviceInterface(true); }},
        {"CM_Locate_DevNodeA",
         [] {
             DEVINST root = 0;
             return CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) == kProbeError;
         }},
        {"CM_Get_Child",
         [] {
             DEVINST root = 0, child = 0;
             CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
             return CM_Get_Child(&child, root, 0) == kProbeError;
         }},
        {"CM_Get_Sibling",
         [] {
             DEVINST root = 0, child = 0, sibling = 0;
             CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
             CM_Get_Child(&child, root, 0);
             return CM_Get_Sibling(&sibling, child, 0) == kProbeError;
         }},
        {"CM_Get_Device_IDA",
         [] {
             DEVINST root = 0;
             CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
             char id[MAX_PATH];
             return CM_Get_Device_IDA(root, id, MAX_PATH, 0) == kProbeError;
         }},
        {"LoadLibraryA",
         [] {
             return LoadLibraryA("tessel-probe-no-such-library") == nullptr &&
                    GetLastError() == kProbeError;
         }},
        {"LarkinScsiExecute",
         [] {
             const BYTE testUnitReady[6] = {};
             BYTE status = 0;
             return LarkinScsiExecute(0, 0, 0, testUnitReady, sizeof testUnitReady,
                                      LARKIN_SCSI_NO_DATA, nullptr, 0, nullptr, 0,
                                      &status) == kProbeError;
         }},
    };
    return probes;
}

}  // namespace

bool HasProbe(std::string_view call) {
    return Probes().find(call) != Probes().end();
}

bool ProbeFires(std::string_view call) {
    auto found = Probes().find(call);
    return found != Probes().end() && found->second();
}

const std::vector<std::string>& ProbedCalls() {
    static const std::vector<std::string> calls = [] {
        std::vector<std::string> names;
        for (const auto& [name, probe] : Probes()) names.push_back(name);
        return names;
    }();
    return calls;
}

bool HandleCounter::Available() {
    std::uintptr_t first = Mark();
    std::uintptr_t second = Mark();
    return first != 0 && second == first + 4;
}

std::uintptr_t HandleCounter::Mark() {
    HANDLE disk = OpenSystemDisk();
    if (disk == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(disk);
    return reinterpret_cast<std::uintptr_t>(disk);
}

int HandleCounter::OpenSince(std::uintptr_t mark, std::uintptr_t end) {
    int open = 0;
    for (std::uintptr_t value = mark + 4; value < end; value += 4) {
        // Harmless on every kind of object: an unknown handle is the only
        // answer with ERROR_INVALID_HANDLE.
        LARGE_INTEGER none{};
        if (SetFilePointerEx(reinterpret_cast<HANDLE>(value), none, nullptr, FILE_CURRENT) ||
            GetLastError() != ERROR_INVALID_HANDLE)
            ++open;
    }
    return open;
}

int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check) {
    constexpr int kMostCalls = 5000;
    bool countHandles = HandleCounter::Available();
    larkin::sim::ClearFaults();
    // Clean runs: a run may replace handles that a service keeps (Pellom's
    // ports), but repeated runs must not add to them.
    std::uintptr_t start = HandleCounter::Mark();
    op();
    int keptAfterOne = countHandles ? HandleCounter::OpenSince(start, HandleCounter::Mark()) : 0;
    op();
    op();
    if (countHandles) {
        EXPECT_EQ(HandleCounter::OpenSince(start, HandleCounter::Mark()), keptAfterOne)
            << "clean runs leave handles open";
    }
    std::uintptr_t mark = HandleCounter::Mark();
    op();
    int cleanOpen = countHandles ? HandleCounter::OpenSince(mark, HandleCounter::Mark()) : 0;

    int faultedRuns = 0;
    for (const std::string& call : ProbedCalls()) {
        for (int n = 0;; ++n) {
            if (n >= kMostCalls) {
                ADD_FAILURE() << call << " is called more than " << kMostCalls << " times";
                break;
            }
            larkin::sim::ClearFaults();
            mark = HandleCounter::Mark();
            larkin::sim::InjectFault({call, "", 0, n, 1, kProbeError});
            op();
            // The fault is still waiting exactly when the run made n calls:
            // the run was clean and every call has had its turn.
            bool unused = ProbeFires(call);
            larkin::sim::ClearFaults();
            if (unused) break;
            ++faultedRuns;
            SCOPED_TRACE(call + " call " + std::to_string(n) + " failing");
            if (countHandles) {
                EXPECT_LE(HandleCounter::OpenSince(mark, HandleCounter::Mark()), cleanOpen);
            }
            check(call, n);
        }
    }
    return faultedRuns;
}

}  // namespace tessel::test
