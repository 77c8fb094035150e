// The helper programs as a newcomer meets them: usage, options, exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run_command.h"
#include "test_machine.h"

namespace {

using namespace larkin::test;

CommandRun StandardOutput(const std::string& command) {
    return RunCommand(command, ErrorOutput::Dropped);
}

std::string Program(const char* name) {
    return Quoted(std::string(LARKIN_BIN) + "/" + name);
}

// A wrong option is a usage error, not a run.
TEST(Tools, AnswerHelpWithUsageOnStandardOutput) {
    std::vector<std::pair<std::string, std::string>> helps = {
        {"'" LARKIN_SOURCE_DIR "/dev' --help", "One entry point"},
        {"'" LARKIN_SOURCE_DIR "/scripts/demo' --help", "The main job on the demo machine"}};
    std::vector<std::string> programs = {"simctl", "corvid-list"};
#ifdef LARKIN_HAVE_LIST_USB_DRIVES
    programs.push_back("list_usb_drives");
#endif
    for (const auto& name : programs) {
        for (const char* option : {" --help", " -h"})
            helps.emplace_back(Program(name.c_str()) + option, "usage: " + name);
        EXPECT_EQ(StandardOutput(Program(name.c_str()) + " --no-such-option").exitCode, 2) << name;
    }
#ifdef LARKIN_HAVE_DESKTOP_PROGRAM
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
    helps.emplace_back(noDisplay + Program("Larkin") + " --help", "Usage: ");
    helps.emplace_back(noDisplay + Program("Larkin") + " --version", "Larkin ");
#endif
    for (const auto& [command, says] : helps) {
        CommandRun run = StandardOutput(command);
        EXPECT_EQ(run.exitCode, 0) << command;
        EXPECT_TRUE(run.output.starts_with(says)) << command << "\n" << run.output;
    }
}

// A machine that cannot start is an error, not an empty machine.
TEST(Tools, SimctlTakesTheMachineAnywhereAndFailuresExitNonZero) {
    TempFolder folder;
    std::ofstream(folder.path() / "m.toml") << MachineText("tools-one-stick");
    std::ofstream(folder.path() / "b.toml") << "[[adapter]]\nid = \"a b\"\nclass = \"USB\"\n";
    const std::string machine = Quoted((folder.path() / "m.toml").string()),
                      broken = Quoted((folder.path() / "b.toml").string());
    // The serial number whole, not its first eight characters.
    const std::string shown = "INQUIRY \"ACME\" \"Disk\" \"1.00\" serial \"ABCDEFGHIJKLMNOPQRST\"";
    for (const auto& [command, exitCode, says] :
         std::vector<std::tuple<std::string, int, std::string>>{
             {"simctl --machine " + machine + " show", 0, shown},
             {"simctl show --machine " + machine, 0, shown},
             {"simctl show --machine=" + machine, 0, shown},
             {"simctl --machine " + machine + " unplug no-such-disk", 1, ""},
             {"simctl --machine " + machine + " frobnicate", 2, ""},
             {"simctl --machine " + machine + " show extra", 2, ""},
             {"simctl --machine " + machine + " journal forget", 2, ""},
             {"simctl", 2, ""},
             {"simctl show --machine " + broken, 1, ""},
             {"corvid-list --machine " + broken, 2, ""},
#ifdef LARKIN_HAVE_LIST_USB_DRIVES
             {"list_usb_drives", 1, ""},
#endif
             {"simctl unplug stick1 --machine " + machine, 0, ""},
             {"simctl create --machine " + machine, 0, "(unplugged)"},
             // show names the disk plug takes, though the platform no longer sees it.
             {"simctl show --machine " + machine, 0,
              "\n  stick1     adapter usb1       unplugged\n"},
         }) {
        CommandRun run =
            StandardOutput("LARKIN_MACHINE=" + broken + " " + Quoted(LARKIN_BIN) + "/" + command);
        EXPECT_EQ(run.exitCode, exitCode) << command << "\n" << run.output;
        EXPECT_NE(run.output.find(says), std::string::npos) << command << "\n" << run.output;
    }
}

#ifdef LARKIN_HAVE_LIST_USB_DRIVES
TEST(Tools, TheDemoRunsFromAnAbsoluteBuildFolder) {
    TempFolder folder;
    std::filesystem::copy_file(LARKIN_SOURCE_DIR "/machines/demo.toml",
                               folder.path() / "demo.toml");
    std::string build = std::filesystem::path(LARKIN_BIN).parent_path().string();
    // From another folder, so that nothing is found relative to it.
    const std::string demo = Quoted(LARKIN_SOURCE_DIR "/scripts/demo");
    CommandRun run = StandardOutput("cd " + Quoted(folder.path().string()) + " && LARKIN_MACHINE=" +
                                    Quoted((folder.path() / "demo.toml").string()) + " " + demo +
                                    " " + Quoted(build));
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("2 USB drives"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("device(s)"), std::string::npos) << run.output;
    EXPECT_EQ(StandardOutput(demo + " " + Quoted(folder.path().string())).exitCode, 1);
}
#endif

#ifdef LARKIN_HAVE_CORVID
// Without Verran the physical-drive probe shows every disk it may open for
// writing (both sticks, not the system disk), without names.
TEST(Tools, CorvidListShowsTheDemoMachinesSticksWithOrWithoutVerran) {
    const std::string sizes[] = {"  Size: 134217728 bytes (262144 blocks of 512)\n",
                                 "  Size: 67108864 bytes (131072 blocks of 512)\n"};
    for (bool verran : {true, false}) {
        if (verran && !std::filesystem::exists(LARKIN_BIN "/libVerran.so")) continue;
        TempFolder folder;
        std::filesystem::path machine = folder.path() / "demo.toml";
        std::filesystem::copy_file(LARKIN_SOURCE_DIR "/machines/demo.toml", machine);
        if (!verran)
            std::ofstream(machine, std::ios::app)
                << "\n[[fault]]\ncall = \"LoadLibraryA\"\ndevice = \"Verran\"\ncount = 0\n";
        CommandRun run = RunCommand("cd " + Quoted(folder.path().string()) +
                                    " && LARKIN_MACHINE=demo.toml " + Program("corvid-list"));
        const std::string& out = run.output;
        EXPECT_EQ(run.exitCode, 0) << out;
        size_t first = out.find(sizes[0]), second = out.find(sizes[1]);
        EXPECT_TRUE(first != std::string::npos && second != std::string::npos && first < second)
            << out;
        EXPECT_EQ(out.find("Device 2"), std::string::npos) << out;
        for (const char* line :
             {"  FRIENDLYNAME: SanDisk Cruzer Blade USB Device\n", "  MOUNTINFO: E:\n",
              "  FRIENDLYNAME: Kingston DataTraveler 2.0 USB Device\n",
              "  DriveName: \\\\?\\usbstor#"})
            EXPECT_EQ(out.find(line) != std::string::npos, verran) << out;
        // The probe's box, before the list.
        EXPECT_EQ(out.find("Use SPTI/ASPI") != std::string::npos, !verran) << out;
    }
}
#endif

}  // namespace
