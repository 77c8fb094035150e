// The fixture and small helpers shared by the Verran tests.
#ifndef LARKIN_TESTS_VERRAN_SUPPORT_H
#define LARKIN_TESTS_VERRAN_SUPPORT_H

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "verran/verran.h"
#include "win32/windows.h"

namespace verran::test {

// The snapshot, an adapter a line: its interface, then each drive as
// friendly name, number and letters ("USB: Twin#1=E:;F:").
inline std::string Snapshot() {
    std::string text;
    for (DWORD a = 0; a < GetAdapterCount(); ++a) {
        text += std::string(GetAdapterInterfaceType(a)) + ":";
        for (DWORD d = 0; d < GetDriveCount(a); ++d)
            text += std::string(" ") + GetDriveInfo(a, d, "FRIENDLYNAME") + "#" +
                    GetDriveInfo(a, d, "DEVICE_NUMBER") + "=" + GetDriveInfo(a, d, "MOUNT_INFO");
        text += "\n";
    }
    return text;
}

// Where the first drive of that friendly name sits in the snapshot.
inline std::optional<std::pair<DWORD, DWORD>> FindDrive(const std::string& friendlyName) {
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        for (DWORD d = 0; d < GetDriveCount(a); ++d)
            if (friendlyName == GetDriveInfo(a, d, "FRIENDLYNAME")) return std::pair{a, d};
    return std::nullopt;
}

// Every test starts on a fresh machine of tests/machines/ and ends with no
// snapshot or faults.
class VerranTest : public ::testing::Test {
  protected:
    explicit VerranTest(const char* machine = "verran-workbench")
        : machine_(larkin::test::MachineText(machine)) {}
    void TearDown() override {
        larkin::controls::ClearFaults();
        Destroy();
    }
    larkin::test::TestMachine machine_;
};

}  // namespace verran::test

#endif
