// Volume mapping from a physical drive to its letter, and the command
// runners with a stand-in child program.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine_test_support.h"
#include "shell/command_runner.h"
#include "shell/volume_mapping.h"

namespace tessel::test {
namespace {

using ::testing::ElementsAre;

// Disk 1 has two lettered partitions; disk 2 one volume mounted at a folder
// and at G:; disk 3 no volume at all.
constexpr const char* kVolumes = R"(
[machine]
time_scale = 0
[[adapter]]
id = "ide0"
class = "ATA"
[[adapter.disk]]
id = "system"
size = "4MiB"
letters = ["C:"]
[[adapter.disk.partition]]
type = 0x0C
start = 63
[[adapter]]
id = "usb1"
class = "USB"
[[adapter.disk]]
id = "twin"
size = "8MiB"
letters = ["E:", "F:"]
[[adapter.disk.partition]]
type = 0x0E
start = 63
sectors = 4000
[[adapter.disk.partition]]
type = 0x0E
start = 8192
[[adapter.disk]]
id = "folder"
size = "4MiB"
volumes = [ { letter = "G:", folders = ["C:\\Mount\\Stick\\"] } ]
[[adapter.disk.partition]]
type = 0x0E
start = 63
[[adapter.disk]]
id = "blank"
size = "4MiB"
)";

class TesselVolumeMapping : public EngineTest {
  protected:
    TesselVolumeMapping() : EngineTest(kVolumes) {}

    // The letter found for disk number, or what the buffer held before.
    std::string LetterOf(int number, const char* before = "") {
        std::string name = "\\\\.\\PhysicalDrive" + std::to_string(number);
        HANDLE drive = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(drive, INVALID_HANDLE_VALUE) << name;
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "%s", before);
        std::memset(buffer + std::strlen(before) + 1, '#', sizeof buffer - std::strlen(before) - 1);
        FindVolumeLetter(drive, buffer);
        CloseHandle(drive);
        EXPECT_EQ(buffer[sizeof buffer - 1], '#') << "written past the letter";
        return buffer;
    }
};

TEST_F(TesselVolumeMapping, LettersOfDrivesWithOneOrTwoVolumesOrAFolderMount) {
    EXPECT_EQ(LetterOf(1), "E:");  // the first volume in the system's order
    EXPECT_EQ(LetterOf(2), "G:");  // the folder path fails to open; the letter wins
    // Found at once: no pause.
    EXPECT_TRUE(larkin::sim::Pauses().empty());
}

TEST_F(TesselVolumeMapping, DriveWithoutVolumeKeepsTheBufferAfterHalfASecond) {
    EXPECT_EQ(LetterOf(3), "");
    EXPECT_EQ(LetterOf(3, " "), " ");
    // The system disk's volume cannot be opened for writing, so it is never
    // matched either.
    EXPECT_EQ(LetterOf(0, "X"), "X");
    EXPECT_THAT(larkin::sim::Pauses(), ElementsAre(500, 500, 500));
}

TEST_F(TesselVolumeMapping, FailedIdentityQueriesNeverMatchEachOther) {
    // The drive's own query fails, and so would every volume's: nothing may
    // be reported.
    larkin::sim::InjectFault(
        {"DeviceIoControl", "", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 0, ERROR_NOT_READY});
    EXPECT_EQ(LetterOf(1, " "), " ");
    EXPECT_THAT(larkin::sim::Pauses(), ElementsAre(500));
    EXPECT_EQ(GetDriveIdentity(INVALID_HANDLE_VALUE), kNoDriveIdentity);
}

TEST_F(TesselVolumeMapping, IdentityIsTypeAndNumber) {
    HANDLE drive = CreateFileA("\\\\.\\PhysicalDrive2", 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(drive, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                sizeof number, &returned, nullptr));
    EXPECT_EQ(GetDriveIdentity(drive), (std::uint64_t{number.DeviceType} << 32) | 2u);
    CloseHandle(drive);
}

class TesselCommandRunner : public EngineTest {
  protected:
    std::string Marker() {
        std::ifstream in(marker_);
        std::string text;
        std::getline(in, text);
        return text;
    }
    std::string CommandLine(const char* extra = "") {
        return "tessel_wait_for_enter \"" + marker_.string() + "\" " + extra;
    }

    std::filesystem::path marker_ = machine_.folder() / "marker.txt";
};

PROCESS_INFORMATION StartOtherConsole(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    char title[] = "Other";
    startup.lpTitle = title;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWMINNOACTIVE;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    EXPECT_TRUE(CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                               nullptr, nullptr, &startup, &process));
    return process;
}

TEST_F(TesselCommandRunner, EnterReachesOnlyTheTitledConsoleAfterHalfASecond) {
    std::filesystem::path otherMarker = machine_.folder() / "other.txt";
    PROCESS_INFORMATION other =
        StartOtherConsole("tessel_wait_for_enter \"" + otherMarker.string() + "\"");
    larkin::sim::ClearPauses();

    std::string line = CommandLine();
    std::string output;
    output = CapturedOutput([&] { EXPECT_TRUE(RunConsoleCommand(line.data(), true, INFINITE)); });
    EXPECT_EQ(output, "");
    // The child had ended when the runner returned, after one Enter.
    EXPECT_EQ(Marker(), "enter");
    EXPECT_THAT(larkin::sim::Pauses(), ElementsAre(500));
    EXPECT_EQ(FindWindowA(nullptr, "FormatWindow"), nullptr);

    EXPECT_EQ(WaitForSingleObject(other.hProcess, 200), WAIT_TIMEOUT);
    EXPECT_FALSE(std::filesystem::exists(otherMarker));
    TerminateProcess(other.hProcess, 1);
    WaitForSingleObject(other.hProcess, INFINITE);
    CloseHandle(other.hProcess);
    CloseHandle(other.hThread);
}

TEST_F(TesselCommandRunner, WithoutWindowNoPauseNoKeyAndTheWaitMayRunOut) {
    std::string line = CommandLine("--no-read");
    EXPECT_TRUE(RunConsoleCommand(line.data(), false, INFINITE));
    EXPECT_EQ(Marker(), "ran");
    EXPECT_TRUE(larkin::sim::Pauses().empty());

    // A child that outlasts the wait: the run still counts as started, and
    // the child is left running.
    std::filesystem::remove(marker_);
    std::string minimized = CommandLine("--sleep 3000");
    EXPECT_TRUE(RunMinimizedCommand(minimized.data(), 100));
    EXPECT_EQ(Marker(), "");
    EXPECT_THAT(larkin::sim::Pauses(), ElementsAre(500));
}

TEST_F(TesselCommandRunner, ProgramThatCannotStartGivesTheFailureLine) {
    char missing[] = "tessel-no-such-program /c format E:";
    std::string output = CapturedOutput([&] {
        EXPECT_FALSE(RunConsoleCommand(missing, true, INFINITE));
        EXPECT_FALSE(RunMinimizedCommand(missing, INFINITE));
        EXPECT_FALSE(RunConsoleCommand(nullptr, false, INFINITE));
    });
    EXPECT_EQ(output, " CreateProcess failed.\n CreateProcess failed.\n CreateProcess failed.\n");
    EXPECT_TRUE(larkin::sim::Pauses().empty());
}

}  // namespace
}  // namespace tessel::test
