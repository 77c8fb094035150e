// Machines, fixtures and probes shared by the engine's tests.
#ifndef LARKIN_TESTS_ENGINE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_SUPPORT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devices/device_table.h"
#include "larkin/simulation.h"
#include "test_machine.h"
#include "win32/windows.h"

namespace tessel::test {

// The demo machine's layout with pauses recorded only: system disk C:, stick
// one with the volume E: (disk 1), a blank stick two (disk 2).
inline constexpr const char* kTwoSticks = R"(
[machine]
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
id = "usb1"
class = "USB"
aspi = true
[[adapter.disk]]
id = "stick1"
size = "8MiB"
vendor = "SanDisk"
product = "Cruzer Blade"
friendly_name = "SanDisk Cruzer Blade USB Device"
letters = ["E:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
[[adapter]]
id = "usb2"
class = "USB"
aspi = true
[[adapter.disk]]
id = "stick2"
size = "4MiB"
vendor = "Kingston"
product = "DataTraveler 2.0"
friendly_name = "Kingston DataTraveler 2.0 USB Device"
letters = ["F:"]
)";

// A machine of the test's own, with the engine's services bound and its
// tables and callback zeroed, as after a fresh load.
class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(std::string_view toml = kTwoSticks);
    ~EngineTest() override;

    larkin::test::TestMachine machine_;
};

// Runs op with the standard output captured; returns what it wrote.
std::string CapturedOutput(const std::function<void()>& op);

// Handles of the platform left open by an operation. The platform numbers
// handles one after another; Mark() is the next number, and OpenSince(mark)
// counts the handles numbered since then that are still open. Available()
// is false when the numbering does not allow it.
class HandleCounter {
  public:
    static bool Available();
    static std::uintptr_t Mark();
    static int OpenSince(std::uintptr_t mark, std::uintptr_t end);
};

// The error a probe fault leaves, to tell it from every other failure.
inline constexpr DWORD kProbeError = 0x20001234u;

// Makes one call of the named platform function that any fault on it (with
// no device filter) would fail; true when it failed with kProbeError. False
// also for functions without a probe (see HasProbe).
bool ProbeFires(std::string_view call);
bool HasProbe(std::string_view call);

// Every platform function the engine's enumeration reaches, directly or
// through Corvid, Pellom and Verran.
const std::vector<std::string>& ProbedCalls();

// Fails, in turn, each call of each probed function that op makes in a clean
// run, once per run, and hands the run to check (with the failing call's
// name and number). Also checks that no run leaves more handles open than
// the clean run did. Returns how many runs had a fault.
int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check);

}  // namespace tessel::test

#endif
