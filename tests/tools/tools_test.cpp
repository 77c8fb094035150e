// simctl, corvid-list, list_usb_drives, the demo script and Larkin: --help
// answers with usage (Larkin's without a display too), options stand
// anywhere, and a failure exits non-zero.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::TempFolder;

using larkin::test::CommandRun;
using larkin::test::Quoted;

// Standard output only.
CommandRun RunCommand(const std::string& command) {
    return larkin::test::RunCommand(command, larkin::test::ErrorOutput::Dropped);
}

std::string Program(const char* name) {
    return std::string("'") + LARKIN_BIN + "/" + name + "'";
}

// A machine in a temporary folder, written from text.
std::string WriteMachine(const TempFolder& folder, const std::string& toml) {
    auto file = folder.path() / "m.toml";
    std::ofstream(file) << toml;
    return file.string();
}

const std::string kOneStick = larkin::test::MachineText("tools-one-stick");

TEST(Tools, AnswerHelpWithUsageOnStandardOutput) {
    std::vector<std::string> programs = {"simctl", "corvid-list"};
#ifdef LARKIN_HAVE_LIST_USB_DRIVES
    programs.push_back("list_usb_drives");
#endif
    for (const auto& name : programs) {
        SCOPED_TRACE(name);
        for (const char* option : {"--help", "-h"}) {
            CommandRun run = RunCommand(Program(name.c_str()) + " " + option);
            EXPECT_EQ(run.exitCode, 0);
            EXPECT_EQ(run.output.rfind("usage: " + name, 0), 0u) << run.output;
        }
        // A wrong option is a usage error, not a run.
        EXPECT_EQ(RunCommand(Program(name.c_str()) + " --no-such-option").exitCode, 2);
    }
#ifdef LARKIN_HAVE_DESKTOP_PROGRAM
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
    CommandRun help = RunCommand(noDisplay + Program("Larkin") + " --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--machine <file>"), std::string::npos) << help.output;
    CommandRun version = RunCommand(noDisplay + Program("Larkin") + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "Larkin 1.4\n") << "the version the window's title carries";
#endif
    CommandRun dev = RunCommand("'" LARKIN_SOURCE_DIR "/dev' --help");
    EXPECT_EQ(dev.exitCode, 0);
    EXPECT_NE(dev.output.find("./dev test"), std::string::npos) << dev.output;
    CommandRun demo = RunCommand("'" LARKIN_SOURCE_DIR "/scripts/demo' --help");
    EXPECT_EQ(demo.exitCode, 0);
    EXPECT_NE(demo.output.find("scripts/demo [BUILD]"), std::string::npos) << demo.output;
}

TEST(Tools, SimctlTakesTheMachineBeforeOrAfterTheCommand) {
    TempFolder folder;
    std::string machine = WriteMachine(folder, kOneStick);
    for (const std::string& args :
         {"--machine '" + machine + "' show", "show --machine '" + machine + "'",
          "show '--machine=" + machine + "'"}) {
        SCOPED_TRACE(args);
        CommandRun run = RunCommand(Program("simctl") + " " + args);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.output.find("Machine " + machine), std::string::npos) << run.output;
        // The serial number whole, not its first eight characters.
        EXPECT_NE(
            run.output.find("INQUIRY \"ACME\" \"Disk\" \"1.00\" serial \"ABCDEFGHIJKLMNOPQRST\""),
            std::string::npos)
            << run.output;
    }
    EXPECT_EQ(RunCommand(Program("simctl") + " unplug stick1 --machine '" + machine + "'").exitCode,
              0);
    CommandRun create = RunCommand(Program("simctl") + " create --machine '" + machine + "'");
    EXPECT_NE(create.output.find("(unplugged)"), std::string::npos) << create.output;
    // show names the disk plug takes, though the platform no longer sees it.
    CommandRun shown = RunCommand(Program("simctl") + " show --machine '" + machine + "'");
    EXPECT_NE(shown.output.find("\n  stick1     adapter usb1       unplugged\n"), std::string::npos)
        << shown.output;
}

TEST(Tools, FailuresExitNonZero) {
    TempFolder folder;
    std::string machine = WriteMachine(folder, kOneStick);
    std::string simctl = Program("simctl") + " --machine '" + machine + "' ";
    EXPECT_EQ(RunCommand(simctl + "unplug no-such-disk").exitCode, 1);
    EXPECT_EQ(RunCommand(simctl + "frobnicate").exitCode, 2);
    EXPECT_EQ(RunCommand(simctl + "show extra").exitCode, 2);
    EXPECT_EQ(RunCommand(simctl + "journal forget").exitCode, 2);
    EXPECT_EQ(RunCommand(Program("simctl")).exitCode, 2);

    // A machine that cannot start is an error, not an empty machine.
    std::string broken = WriteMachine(folder, "[[adapter]]\nid = \"a b\"\nclass = \"USB\"\n");
    EXPECT_EQ(RunCommand(Program("simctl") + " show --machine '" + broken + "'").exitCode, 1);
    EXPECT_NE(RunCommand(Program("corvid-list") + " --machine '" + broken + "'").exitCode, 0);
#ifdef LARKIN_HAVE_LIST_USB_DRIVES
    CommandRun list = RunCommand("LARKIN_MACHINE='" + broken + "' " + Program("list_usb_drives"));
    EXPECT_EQ(list.exitCode, 1);
    EXPECT_EQ(list.output.find("USB drives"), std::string::npos) << list.output;
#endif
}

#ifdef LARKIN_HAVE_LIST_USB_DRIVES
TEST(Tools, TheDemoRunsFromAnAbsoluteBuildFolder) {
    TempFolder folder;
    std::filesystem::copy_file(LARKIN_SOURCE_DIR "/machines/demo.toml",
                               folder.path() / "demo.toml");
    std::string build = std::filesystem::path(LARKIN_BIN).parent_path().string();
    ASSERT_TRUE(std::filesystem::path(build).is_absolute());
    // From another folder, so that nothing is found relative to it.
    CommandRun run = RunCommand("cd '" + folder.path().string() + "' && LARKIN_MACHINE='" +
                                (folder.path() / "demo.toml").string() +
                                "' '" LARKIN_SOURCE_DIR "/scripts/demo' '" + build + "'");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("2 USB drives"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("device(s)"), std::string::npos) << run.output;

    EXPECT_EQ(RunCommand("'" LARKIN_SOURCE_DIR "/scripts/demo' '" + folder.path().string() + "'")
                  .exitCode,
              1);
}
#endif

#ifdef LARKIN_HAVE_CORVID
// corvid-list, a program that calls only Corvid, on a copy of the demo
// machine: through Verran it sees the USB drives with their names and
// sizes; without it the physical-drive probe shows every disk it may open
// for writing (both sticks, not the system disk), without names.
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
        auto run = larkin::test::RunCommand("cd " + Quoted(folder.path().string()) +
                                            " && LARKIN_MACHINE=" + Quoted(machine.string()) + " " +
                                            Quoted(LARKIN_BIN "/corvid-list"));
        const std::string& out = run.output;
        EXPECT_EQ(run.exitCode, 0) << out;
        size_t first = out.find(sizes[0]), second = out.find(sizes[1]);
        EXPECT_TRUE(first != std::string::npos && second != std::string::npos && first < second)
            << out;
        EXPECT_EQ(out.find("Device 2"), std::string::npos) << out;
        const char* named[] = {"  FRIENDLYNAME: SanDisk Cruzer Blade USB Device\n",
                               "  MOUNTINFO: E:\n",
                               "  FRIENDLYNAME: Kingston DataTraveler 2.0 USB Device\n",
                               "  DriveName: \\\\?\\usbstor#"};
        for (const char* line : named)
            EXPECT_EQ(out.find(line) != std::string::npos, verran) << out;
        // The probe's box, on the error stream.
        EXPECT_EQ(out.find("Use SPTI/ASPI") != std::string::npos, !verran) << out;
    }
}
#endif

}  // namespace
