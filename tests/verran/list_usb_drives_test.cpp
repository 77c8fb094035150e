// The C example, which knows the library only by its exports, lists the demo
// machine's USB drives. It runs on a copy of the demo machine so that the
// shared demo state is left alone.
#include <filesystem>
#include <string>

#include "run_program.h"
#include "test_machine.h"

#include <gtest/gtest.h>

namespace verran::test {
namespace {

TEST(VerranListUsbDrives, ListsTheDemoMachinesSticks) {
    larkin::test::TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    std::filesystem::path machine = folder.path() / "demo.toml";
    std::filesystem::copy_file(VERRAN_DEMO_MACHINE, machine);

    ProgramRun run =
        RunProgram("LARKIN_MACHINE='" + machine.string() + "' " + VERRAN_LIST_USB_DRIVES);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output,
              "\\\\?\\usbstor#disk&ven_sandisk&prod_cruzer_blade&rev_1.26#4c530001230612&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n"
              "    letters: E:\n"
              "    description: E:\n"
              "    friendly name: SanDisk Cruzer Blade USB Device\n"
              "\\\\?\\usbstor#disk&ven_kingston&prod_datatraveler_2.0&rev_pmap#001cc0ec34a1b&0#"
              "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\n"
              "    letters: (none)\n"
              "    description: Kingston DataTraveler 2.0 USB Device\n"
              "    friendly name: Kingston DataTraveler 2.0 USB Device\n"
              "2 USB drives\n");
}

}  // namespace
}  // namespace verran::test
