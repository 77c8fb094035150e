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
#include "run_command.h"

namespace larkin::test {

struct PellomApi {
    larkin::Library library{LoadLibraryA("Pellom")};
#define LARKIN_BIND(type, member, name) type member = Bind<type>(library, name);
    LARKIN_BIND(PELLOM_INIT, initPellom, "initPellom")
    LARKIN_BIND(CORE_LOAD_CORE_MODULE, loadCoreModule, "LoadCoreModule")
    LARKIN_BIND(PELLOM_UNLOAD_CORE_MODULE, unloadCoreModule, "UnloadCoreModule")
    LARKIN_BIND(CORE_GET_DEVICE_COUNT, getDeviceCount, "GetDeviceCount")
    LARKIN_BIND(CORE_GET_DRIVE_INFORMATION, getDriveInformation, "GetDriveInformation")
    LARKIN_BIND(CORE_SET_CORE_OPTIONS, setCoreOptions, "SetCoreOptions")
    LARKIN_BIND(CORE_EXECUTE_SCSI, executeScsi, "ExecuteSCSI")
    LARKIN_BIND(CORE_SENSE, sense, "Sense")
    LARKIN_BIND(CORE_BUFFER_CONTROL, bufferControl, "BufferControl")
    LARKIN_BIND(CORE_BUFFER_SIZE, bufferSize, "BufferSize")
    LARKIN_BIND(CORE_SET_DATA_PATTERN, setDataPattern, "SetDataPattern")
    LARKIN_BIND(CORE_SET_WATCHDOG_TIMER, setWatchdogTimer, "SetWatchdogTimer")
    LARKIN_BIND(CORE_RELEASE_CONTROLLER, releaseController, "ReleaseController")
#undef LARKIN_BIND

    std::string info(int local, const char* key) const {
        return Info(getDriveInformation, local, key);
    }
    // The values of several keys, each ended by '|'.
    std::string infos(int local, std::initializer_list<const char*> keys) const {
        std::string text;
        for (const char* key : keys) text += info(local, key) + "|";
        return text;
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

// toml is a machine file's text; see MachineText. Pellom, the last member,
// is released first.
struct PellomSession {
    explicit PellomSession(std::string_view toml) : machine(toml) {}
    PellomApi& Load() {
        api.emplace();
        EXPECT_TRUE(api->library);
        return *api;
    }
    void Unload() { api.reset(); }

    TestMachine machine;
    WorkingFolder folder;
    MessageBoxes boxes;
    Faults faults;
    std::optional<PellomApi> api;
};

// 16-byte command blocks.
using Cdb = std::array<BYTE, 16>;
// READ(10), or WRITE(10) with opcode 0x2A.
inline Cdb Read10(uint32_t lba, uint16_t blocks, BYTE opcode = 0x28) {
    return {opcode,    0, BYTE(lba >> 24),   BYTE(lba >> 16), BYTE(lba >> 8),
            BYTE(lba), 0, BYTE(blocks >> 8), BYTE(blocks)};
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
