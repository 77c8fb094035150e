// simctl, corvid-list, list_usb_drives, the demo script and Larkin: --help
// answers with usage (Larkin's without a display too), options stand
// anywhere, and a failure exits non-zero.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "test_machine.h"

namespace {

using larkin::test::TempFolder;

struct CommandRun {
    int exitCode = -1;
    std::string out;  // standard output only
};

CommandRun RunCommand(const std::string& command) {
    CommandRun run;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        run.out.append(chunk, got);
    int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
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

const char* const kOneStick = R"(
[machine]
time_scale = 0
[[adapter]]
id = "usb1"
class = "USB"
[[adapter.disk]]
id = "stick1"
size = "1MiB"
vendor = "ACME"
serial = "ABCDEFGHIJKLMNOPQRST"
)";

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
            EXPECT_EQ(run.out.rfind("usage: " + name, 0), 0u) << run.out;
        }
        // A wrong option is a usage error, not a run.
        EXPECT_EQ(RunCommand(Program(name.c_str()) + " --no-such-option").exitCode, 2);
    }
#ifdef LARKIN_HAVE_DESKTOP_PROGRAM
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
    CommandRun help = RunCommand(noDisplay + Program("Larkin") + " --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--machine <file>"), std::string::npos) << help.out;
    CommandRun version = RunCommand(noDisplay + Program("Larkin") + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "Larkin 1.4\n") << "the version the window's title carries";
#endif
    CommandRun dev = RunCommand("'" LARKIN_SOURCE_DIR "/dev' --help");
    EXPECT_EQ(dev.exitCode, 0);
    EXPECT_NE(dev.out.find("./dev test"), std::string::npos) << dev.out;
    CommandRun demo = RunCommand("'" LARKIN_SOURCE_DIR "/scripts/demo' --help");
    EXPECT_EQ(demo.exitCode, 0);
    EXPECT_NE(demo.out.find("scripts/demo [BUILD]"), std::string::npos) << demo.out;
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
        EXPECT_NE(run.out.find("Machine " + machine), std::string::npos) << run.out;
        // The serial number whole, not its first eight characters.
        EXPECT_NE(
            run.out.find("INQUIRY \"ACME\" \"Disk\" \"1.00\" serial \"ABCDEFGHIJKLMNOPQRST\""),
            std::string::npos)
            << run.out;
    }
    EXPECT_EQ(RunCommand(Program("simctl") + " unplug stick1 --machine '" + machine + "'").exitCode,
              0);
    CommandRun create = RunCommand(Program("simctl") + " create --machine '" + machine + "'");
    EXPECT_NE(create.out.find("(unplugged)"), std::string::npos) << create.out;
    // show names the disk plug takes, though the platform no longer sees it.
    CommandRun shown = RunCommand(Program("simctl") + " show --machine '" + machine + "'");
    EXPECT_NE(shown.out.find("\n  stick1     adapter usb1       unplugged\n"), std::string::npos)
        << shown.out;
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
    EXPECT_EQ(list.out.find("USB drives"), std::string::npos) << list.out;
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
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("2 USB drives"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("device(s)"), std::string::npos) << run.out;

    EXPECT_EQ(RunCommand("'" LARKIN_SOURCE_DIR "/scripts/demo' '" + folder.path().string() + "'")
                  .exitCode,
              1);
}
#endif

}  // namespace
