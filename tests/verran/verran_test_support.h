// Machines and small helpers shared by the Verran tests.
#ifndef LARKIN_TESTS_VERRAN_SUPPORT_H
#define LARKIN_TESTS_VERRAN_SUPPORT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "larkin/simulation.h"
#include "win32/windows.h"
#include "test_machine.h"
#include "verran/verran.h"

namespace verran::test {

// Disk numbers follow file order: 0 system (C:), 1 twin (E: and F:), 2 blank
// (no letter), 3 pair-a, 4 pair-b, 5 scsidisk (G:). The USB class lists
// hub0, usb2, scsi-less usb3 and then usb1 (children of the hub come after
// the adapters on the root).
inline constexpr const char* kWorkbench = R"(
[machine]
name = "workbench"
time_scale = 0

[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "4MiB"
friendly_name = "System Disk ATA Device"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 63

[[adapter]]
id = "hub0"
class = "USB"
kind = "hub"
instance_id = "USB\\ROOT_HUB20\\HUBZERO"
properties = { FRIENDLYNAME = "Generic USB Hub" }

[[adapter]]
id = "usb1"
class = "USB"
parent = "hub0"
instance_id = "USB\\VID_0781&PID_5567\\ADAPTERONE"
properties = { CAPABILITIES = 132, MFG = { absent = true }, UI_NUMBER_DESC_FORMAT = { binary = "01 02 ff" } }
[[adapter.disk]]
id = "twin"
size = "4MiB"
vendor = "Twin"
product = "Stick"
serial = "TWINSERIAL"
friendly_name = "Twin Stick USB Device"
letters = ["E:", "F:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
sectors = 2000
[[adapter.disk.partition]]
type = 0x0E
start = 4096

[[adapter]]
id = "usb2"
class = "USB"
instance_id = "USB\\VID_0951&PID_1642\\ADAPTERTWO"
[[adapter.disk]]
id = "blank"
size = "4MiB"
vendor = "Blank"
product = "Stick"
serial = "BLANKSERIAL"
friendly_name = "Blank Stick USB Device"

[[adapter]]
id = "usb3"
class = "USB"
instance_id = "USB\\VID_1234&PID_0002\\ADAPTERTHREE"
properties = { UPPERFILTERS = ["first", "second"], UI_NUMBER = 0 }
[[adapter.disk]]
id = "pair-a"
size = "4MiB"
vendor = "Pair"
product = "Alpha"
serial = "PAIRALPHA"
friendly_name = "Pair Alpha USB Device"
[[adapter.disk]]
id = "pair-b"
size = "4MiB"
vendor = "Pair"
product = "Beta"
serial = "PAIRBETA"
friendly_name = "Pair Beta USB Device"

[[adapter]]
id = "scsi0"
class = "SCSIADAPTER"
instance_id = "PCI\\VEN_1000&DEV_0030\\SCSIZERO"
[[adapter.disk]]
id = "scsidisk"
size = "4MiB"
vendor = "Seagate"
product = "Cheetah"
serial = "SCSISERIAL"
friendly_name = "Seagate Cheetah SCSI Disk Device"
letters = ["G:"]
[[adapter.disk.partition]]
type = 0x06
start = 63
)";

// The adapters' INTERFACE values in snapshot order.
inline std::vector<std::string> Interfaces() {
    std::vector<std::string> found;
    for (DWORD a = 0; a < GetAdapterCount(); ++a) found.emplace_back(GetAdapterInterfaceType(a));
    return found;
}

// Where the drive of that friendly name sits in the snapshot (the first
// such drive).
inline std::optional<std::pair<DWORD, DWORD>> FindDrive(const std::string& friendlyName) {
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        for (DWORD d = 0; d < GetDriveCount(a); ++d)
            if (friendlyName == GetDriveInfo(a, d, "FRIENDLYNAME")) return std::pair{a, d};
    return std::nullopt;
}

// The first adapter whose property name has that value.
inline std::optional<DWORD> FindAdapter(const char* name, const std::string& value) {
    for (DWORD a = 0; a < GetAdapterCount(); ++a)
        if (value == GetAdapterInfo(a, name)) return a;
    return std::nullopt;
}

// Every test starts on a fresh machine and ends with no snapshot or faults.
class VerranTest : public ::testing::Test {
  protected:
    explicit VerranTest(const char* toml = kWorkbench) : machine_(toml) {}
    void TearDown() override {
        larkin::sim::ClearFaults();
        Destroy();
    }
    larkin::test::TestMachine machine_;
};

}  // namespace verran::test

#endif
