// Machines, fixtures and probes shared by the engine's tests.
#ifndef LARKIN_TESTS_ENGINE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_SUPPORT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "boot_harness.h"
#include "console/console_io.h"
#include "devices/device_table.h"
#include "exports/message_channel.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "win32/windows.h"

namespace tessel::test {

using larkin::test::boot::Little;
using larkin::test::boot::ReadFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace controls = larkin::controls;

// The engine on a machine of the test's own, as after a fresh load.
class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(
        const std::string& toml = larkin::test::MachineText("engine-sticks-e-and-blank")) {
        Restart(toml);
    }
    ~EngineTest() override;
    void Restart(const std::string& toml);

    std::optional<larkin::test::TestMachine> machine_;
};

// System disk C:, a floppy A:, time_scale 0, and on a USB adapter the stick
// stick1 at E: (disk 1) with one FAT16 (LBA) partition, not formatted, one
// track in.
std::string StickMachine(std::uint64_t bytes = 20 * 1024 * 1024, std::uint32_t sectorsPerTrack = 63,
                         std::uint32_t heads = 255);

std::filesystem::path DiskImage(std::string_view id);
// Into the floppy's root, unseen by the journal.
bool PutOnFloppy(const std::filesystem::path& file, std::string_view name);
std::set<std::string> WrittenDisks();
// \\.\PhysicalDriveN through the platform.
HANDLE OpenDisk(int number, DWORD access = GENERIC_READ | GENERIC_WRITE);
// Bytes of a disk image, read from outside the platform.
std::vector<std::uint8_t> ImageBytes(std::string_view id, std::uint64_t offset,
                                     std::uint64_t length);
// fsck.fat -n over the partition's sectors finds nothing wrong.
::testing::AssertionResult CleanVolume(std::string_view id, std::uint64_t firstSector,
                                       std::uint64_t sectors);
// What op writes to the standard output.
std::string CapturedOutput(const std::function<void()>& op);

// Fails each platform call of op's clean run in turn (a loop's first, second
// and last round), checks no run leaves more handles open than the clean one,
// hands each run to check (call name, its number); prepare runs before each.
// Returns how many runs had a fault.
int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check,
                       const std::function<void()>& prepare = {});

// The process's standard input reads text while the object lives.
class ScopedInput {
  public:
    explicit ScopedInput(std::string_view text);
    ~ScopedInput();
    ScopedInput(const ScopedInput&) = delete;
    ScopedInput& operator=(const ScopedInput&) = delete;

  private:
    larkin::test::TempFolder folder_;
};

}  // namespace tessel::test

#endif
