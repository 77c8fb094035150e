// Pellom loaded directly (as Corvid would load it) on a machine made for one
// test, in a working folder of its own.
#ifndef LARKIN_TESTS_PELLOM_SESSION_H
#define LARKIN_TESTS_PELLOM_SESSION_H

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "core_test_support.h"
#include "pellom/pellom.h"

namespace larkin::test {

struct PellomApi {
    corvid::Library library{LoadLibraryA("Pellom")};
    PELLOM_INIT initPellom = Bind<PELLOM_INIT>(library, "initPellom");
    CORE_LOAD_CORE_MODULE loadCoreModule = Bind<CORE_LOAD_CORE_MODULE>(library, "LoadCoreModule");
    PELLOM_UNLOAD_CORE_MODULE unloadCoreModule =
        Bind<PELLOM_UNLOAD_CORE_MODULE>(library, "UnloadCoreModule");
    CORE_GET_DEVICE_COUNT getDeviceCount = Bind<CORE_GET_DEVICE_COUNT>(library, "GetDeviceCount");
    CORE_GET_DRIVE_INFORMATION getDriveInformation =
        Bind<CORE_GET_DRIVE_INFORMATION>(library, "GetDriveInformation");
    CORE_SET_CORE_OPTIONS setCoreOptions = Bind<CORE_SET_CORE_OPTIONS>(library, "SetCoreOptions");
    CORE_EXECUTE_SCSI executeScsi = Bind<CORE_EXECUTE_SCSI>(library, "ExecuteSCSI");
    CORE_SENSE sense = Bind<CORE_SENSE>(library, "Sense");
    CORE_BUFFER_CONTROL bufferControl = Bind<CORE_BUFFER_CONTROL>(library, "BufferControl");
    CORE_BUFFER_SIZE bufferSize = Bind<CORE_BUFFER_SIZE>(library, "BufferSize");
    CORE_SET_DATA_PATTERN setDataPattern = Bind<CORE_SET_DATA_PATTERN>(library, "SetDataPattern");
    CORE_SET_WATCHDOG_TIMER setWatchdogTimer =
        Bind<CORE_SET_WATCHDOG_TIMER>(library, "SetWatchdogTimer");
    CORE_RELEASE_CONTROLLER releaseController =
        Bind<CORE_RELEASE_CONTROLLER>(library, "ReleaseController");

    std::string info(int local, const char* key) const {
        return Info(getDriveInformation, local, key);
    }
    // length bytes of a buffer (code 0: dataIn, 32: dataOut).
    std::vector<BYTE> read(int local, int code, int offset, int length) const {
        std::vector<BYTE> bytes(static_cast<size_t>(length));
        bufferControl(local, code, offset, length, bytes.data());
        return bytes;
    }
    void write(int local, int code, int offset, std::vector<BYTE> bytes) const {
        bufferControl(local, code, offset, static_cast<int>(bytes.size()), bytes.data());
    }
};

class PellomSession {
  public:
    explicit PellomSession(std::string_view machine) : machine_(machine) {}
    ~PellomSession() { pellom_.reset(); }
    PellomSession(const PellomSession&) = delete;
    PellomSession& operator=(const PellomSession&) = delete;

    PellomApi& Load() {
        pellom_.emplace();
        EXPECT_TRUE(pellom_->library);
        return *pellom_;
    }
    void Unload() { pellom_.reset(); }
    MessageBoxes& boxes() { return boxes_; }
    Faults& faults() { return faults_; }

  private:
    TestMachine machine_;
    WorkingFolder folder_;
    MessageBoxes boxes_;
    Faults faults_;
    std::optional<PellomApi> pellom_;
};

// 16-byte command blocks.
using Cdb = std::array<BYTE, 16>;
inline Cdb Read10(uint32_t lba, uint16_t blocks) {
    return {0x28,      0, BYTE(lba >> 24),   BYTE(lba >> 16), BYTE(lba >> 8),
            BYTE(lba), 0, BYTE(blocks >> 8), BYTE(blocks)};
}
inline Cdb Write10(uint32_t lba, uint16_t blocks) {
    Cdb cdb = Read10(lba, blocks);
    cdb[0] = 0x2A;
    return cdb;
}
inline Cdb ModeSense10(BYTE byte9) {
    return {0x5A, 0, 0x05, 0, 0, 0, 0, 0, 0xFF, byte9};
}
inline const Cdb kTestUnitReady{};
inline const Cdb kReadCapacity{0x25};
inline const Cdb kStartStopUnit{0x1B};  // not supported by the machine's disks

inline uint32_t BigEndian32(const std::vector<BYTE>& bytes, size_t at) {
    return (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) |
           (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
}

}  // namespace larkin::test

#endif
