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

// The error an injected fault leaves, to tell it from every other failure.
inline constexpr DWORD kInjectedError = 0x20001234u;

// Fails, in turn, each platform call that op makes in a clean run (a call
// repeated from one place in a loop: its first, second and last round), once
// per run, and hands the run to check (with the failing call's name and its
// number among the calls of that name). Also checks that no run leaves more
// handles open than the clean run did. Returns how many runs had a fault.
// prepare, when given, runs before every run of op (clean or faulted) with
// no fault set and no call recorded: it puts the machine back as op expects
// to find it.
int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check,
                       const std::function<void()>& prepare = {});

}  // namespace tessel::test

#endif
