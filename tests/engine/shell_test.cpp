// Volume mapping to a letter, and the command runners.
#include "engine_test_support.h"
#include "shell/command_runner.h"
#include "shell/volume_mapping.h"

namespace tessel::test {
namespace {

class TesselShell : public EngineTest {
  protected:
    TesselShell() : EngineTest(larkin::test::MachineText("engine-volumes-twin-folder-blank")) {}

    // The letter found for disk number, or what the buffer held before.
    std::string LetterOf(int number, const char* before = "") {
        HANDLE drive = OpenDisk(number, GENERIC_READ);
        EXPECT_NE(drive, INVALID_HANDLE_VALUE) << number;
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        std::strcpy(buffer, before);
        FindVolumeLetter(drive, buffer);
        CloseHandle(drive);
        EXPECT_EQ(buffer[sizeof buffer - 1], '#') << "written past the letter";
        return buffer;
    }
    std::string Marker() {
        auto bytes = ReadFile(machine_->folder() / "marker.txt");
        return std::string(bytes.begin(), bytes.end());
    }
    // The shell running script, F in it standing for the machine's folder.
    std::string CommandLine(std::string script) {
        const std::string folder = "'" + machine_->folder().string() + "'";
        for (std::size_t at = 0; (at = script.find('F', at)) != std::string::npos;
             at += folder.size())
            script.replace(at, 1, folder);
        return "/bin/sh -c \"" + script + "\"";
    }
};

TEST_F(TesselShell, VolumeMappingFindsTheFirstLetterAtOnceOrKeepsTheBufferAfterHalfASecond) {
    EXPECT_EQ(LetterOf(1), "E:");  // the first volume in the system's order
    EXPECT_EQ(LetterOf(2), "G:");  // the folder path fails to open; the letter wins
    EXPECT_TRUE(larkin::controls::Pauses().empty());
    EXPECT_EQ(LetterOf(3), "");
    EXPECT_EQ(LetterOf(3, " "), " ");
    // The system disk's volume cannot be opened for writing: never matched.
    EXPECT_EQ(LetterOf(0, "X"), "X");
    // Failed identity queries (the drive's and every volume's) never match.
    larkin::controls::InjectFault(
        {"DeviceIoControl", "", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 0, ERROR_NOT_READY});
    EXPECT_EQ(LetterOf(1, " "), " ");
    EXPECT_THAT(larkin::controls::Pauses(), ElementsAre(500, 500, 500, 500));
    EXPECT_EQ(GetDriveIdentity(INVALID_HANDLE_VALUE), kNoDriveIdentity);
}

TEST_F(TesselShell, CommandRunnerFailureLineEnterToTheTitledConsoleOrNoWindowAndNoWait) {
    char missing[] = "tessel-no-such-program /c format E:";
    std::string output = CapturedOutput([&] {
        EXPECT_FALSE(RunConsoleCommand(missing, true, INFINITE));
        EXPECT_FALSE(RunMinimizedCommand(missing, INFINITE));
        EXPECT_FALSE(RunConsoleCommand(nullptr, false, INFINITE));
    });
    EXPECT_EQ(output, " CreateProcess failed.\n CreateProcess failed.\n CreateProcess failed.\n");
    EXPECT_TRUE(larkin::controls::Pauses().empty());
    std::string line = CommandLine("(read l && echo enter || echo eof) > F/marker.txt");
    EXPECT_EQ(CapturedOutput([&] { EXPECT_TRUE(RunConsoleCommand(line.data(), true, INFINITE)); }),
              "");
    EXPECT_EQ(Marker(), "enter\n") << "the child had ended, after one Enter";
    EXPECT_THAT(larkin::controls::Pauses(), ElementsAre(500));
    EXPECT_EQ(FindWindowA(nullptr, "FormatWindow"), nullptr);

    // Without a window: no pause, no key, and the wait may run out.
    larkin::controls::ClearPauses();
    line = CommandLine("echo ran > F/marker.txt");
    DWORD code = 7;
    EXPECT_TRUE(RunConsoleCommand(line.data(), false, INFINITE, &code));
    EXPECT_EQ(Marker(), "ran\n");
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(larkin::controls::Pauses().empty());
    // A child that outlasts the wait (until go appears or its folder goes,
    // which may be before it starts): the run still counts as started, and
    // the child is left running.
    std::filesystem::remove(machine_->folder() / "marker.txt");
    std::string minimized = CommandLine(
        "while [ -d F ] && [ ! -e F/go ]; do sleep 0.01; done; { echo ran > F/marker.txt; } "
        "2>/dev/null");
    EXPECT_TRUE(RunMinimizedCommand(minimized.data(), 0, &code));
    EXPECT_EQ(code, kNoExitCode);
    EXPECT_EQ(Marker(), "");
    EXPECT_THAT(larkin::controls::Pauses(), ElementsAre(500));
    std::ofstream{machine_->folder() / "go"};
}

}  // namespace
}  // namespace tessel::test
