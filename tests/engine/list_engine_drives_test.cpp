// The C example, which knows the engine only by its exported names, lists
// the demo machine's USB drives as the desktop program will. It runs on a
// copy of the demo machine so that the shared demo state is left alone.
#include <gtest/gtest.h>

#include <filesystem>

#include "run_command.h"
#include "test_machine.h"

namespace tessel::test {
namespace {

using larkin::test::Quoted;

TEST(TesselListEngineDrives, ListsTheDemoMachinesSticksTheBlankOneWithoutLetter) {
    larkin::test::TempFolder folder;
    std::filesystem::path machine = folder.path() / "demo.toml";
    std::filesystem::copy_file(TESSEL_DEMO_MACHINE, machine);
    auto run = larkin::test::RunCommand("cd " + Quoted(folder.path().string()) +
                                        " && LARKIN_MACHINE=" + Quoted(machine.string()) + " " +
                                        TESSEL_LIST_ENGINE_DRIVES);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output,
              "0: [E: SanDisk Cruzer Blade USB Device]\n"
              "1: [ Kingston DataTraveler 2.0 USB Device]\n"
              "2 USB drives\n");
}

}  // namespace
}  // namespace tessel::test
