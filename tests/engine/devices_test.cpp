// The device tables through Corvid and Verran, bad indexes and pointers, and
// the scans' platform calls (the volume search's among them) failing in turn;
// volume mapping to a letter, and the command runners.
#include "devices/enumeration.h"
#include "engine_test_support.h"
#include "shell/command_runner.h"
#include "shell/volume_mapping.h"

namespace tessel::test {
namespace {

class TesselDevices : public EngineTest {};

std::string Info(int index) {
    char text[TESSEL_DEVICE_INFO_SIZE + 1];
    std::memset(text, '#', sizeof text);
    if (GetUSBDevInfo(index, text) != ATA_OK) return "<error>";
    EXPECT_EQ(text[TESSEL_DEVICE_INFO_SIZE], '#') << "written past the text";
    return text;
}

TEST_F(TesselDevices, CorvidListsTheSticksBothFillTheBaselineAndBadIndexesAreRefused) {
    ASSERT_EQ(GetUSBDevCount(), 2);
    EXPECT_EQ(Info(0), "E: SanDisk Cruzer Blade USB Device");
    EXPECT_EQ(Info(1), " Kingston DataTraveler 2.0 USB Device");  // no volume: no letter
    // Five growing pauses, each followed by the volume search's own 500 ms:
    // recorded, not waited.
    EXPECT_THAT(larkin::controls::Pauses(),
                ElementsAre(100, 500, 200, 500, 300, 500, 400, 500, 500, 500));
    char friendly[] = "friendlyname", mount[] = "Mount_Info", other[] = "DriveName";
    EXPECT_EQ(GetUSBDevInfoW(0, friendly), CurrentTable.rows[0].friendlyName);
    EXPECT_STREQ(GetUSBDevInfoW(0, mount), "E:");
    EXPECT_STREQ(mount, "E:");
    EXPECT_EQ(GetUSBDevInfoW(0, other), nullptr);

    // The baseline: by Verran with letters, by Corvid without, and no pauses.
    larkin::controls::ClearPauses();
    CurrentTable.count = 0;
    ASSERT_EQ(EnumUSBDevices(), 2);
    EXPECT_STREQ(BaselineTable.rows[0].mountInfo, "E:");
    EXPECT_EQ(CurrentTable.count, 0) << "the current table is another";
    ASSERT_EQ(EnumUSBDevicesCVD(), 2);
    EXPECT_STREQ(BaselineTable.rows[1].mountInfo, "");
    EXPECT_TRUE(larkin::controls::Pauses().empty());

    // Bad indexes and null pointers leave text and handle alone.
    ASSERT_EQ(GetUSBDevCount(), 2);
    for (int index : {-1, 2, 1000}) {
        char text[TESSEL_DEVICE_INFO_SIZE] = "untouched";
        EXPECT_EQ(GetUSBDevInfo(index, text), ATA_ERROR) << index;
        EXPECT_STREQ(text, "untouched");
        EXPECT_EQ(GetUSBDevInfoW(index, text), nullptr);
    }
    EXPECT_EQ(GetUSBDevInfo(0, nullptr), ATA_ERROR);
    EXPECT_EQ(GetUSBDevInfoW(0, nullptr), nullptr);
    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    for (int index : {0, -1, 10})
        EXPECT_EQ(OpenDevice(index, index ? &handle : nullptr), ATA_ERROR);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234));
    // Row 5 lies beyond the count but inside the table: its empty drive path
    // cannot be opened.
    EXPECT_EQ(OpenDevice(5, &handle), ATA_ERROR);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    ASSERT_EQ(OpenDevice(0, &handle), ATA_OK);
    EXPECT_EQ(GetDriveIdentity(handle), (std::uint64_t{FILE_DEVICE_DISK} << 32) | 1u) << "disk 1";
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(TesselDevices, IsNewDeviceComparesAllThreeTextsIgnoringCase) {
    DeviceEntry row{};
    CopyField(row.driveName, "\\\\?\\usbstor#disk&ven_a");
    CopyField(row.friendlyName, "A USB Device");
    CopyField(row.mountInfo, "E:");
    EXPECT_TRUE(IsNewDevice(row));  // empty baseline
    BaselineTable.rows[1] = row;
    CopyField(BaselineTable.rows[1].mountInfo, "e:");
    CopyField(BaselineTable.rows[1].driveName, "\\\\?\\USBSTOR#DISK&VEN_A");
    for (auto [count, name, isNew] : {std::tuple{1, "A USB Device", true},  // below the count only
                                      {2, "A USB Device", false},
                                      {2, "A USB Device ", true},
                                      {-3, "A USB Device", true}}) {
        BaselineTable.count = count;
        CopyField(row.friendlyName, name);
        EXPECT_EQ(IsNewDevice(row), isNew) << count << " '" << name << "'";
    }
}

TEST_F(TesselDevices, NoTargetsClearAllTenRowsAndRowsAreNumberedAcrossAdaptersToTen) {
    Restart(larkin::test::MachineText("engine-system-disk-and-floppy"));
    for (DeviceEntry& row : CurrentTable.rows) {
        std::memset(&row, 'x', sizeof row);
        row.mountInfo[kMountInfoSize - 1] = '\0';
    }
    CurrentTable.count = 10;
    EXPECT_EQ(GetUSBDevCount(), 0);
    EXPECT_EQ(CurrentTable.count, 0);
    const DeviceEntry zero{};
    for (const DeviceEntry& row : CurrentTable.rows)
        EXPECT_EQ(std::memcmp(&row, &zero, sizeof row), 0);
    EXPECT_TRUE(larkin::controls::Pauses().empty());

    // Rows are numbered across adapters, long names cut, ten at most.
    Restart(larkin::test::MachineText("engine-three-sticks-on-two-adapters"));
    CopyField(BaselineTable.rows[3].friendlyName, "kept");
    ASSERT_EQ(EnumUSBDevices(), 3);
    EXPECT_STREQ(BaselineTable.rows[1].friendlyName, "Two USB Device");
    std::string third = BaselineTable.rows[2].friendlyName;
    EXPECT_EQ(third.size(), kFriendlyNameSize - 1);
    EXPECT_THAT(third, ::testing::StartsWith("Three USB Device ...."));
    EXPECT_STREQ(BaselineTable.rows[3].friendlyName, "kept") << "rows beyond the count are kept";
    // The same cut through Corvid, and GetUSBDevInfo's text within its size.
    ASSERT_EQ(GetUSBDevCount(), 3);
    int cut = 0;
    for (int i = 0; i < 3; ++i) cut += Info(i).size() == kFriendlyNameSize;
    EXPECT_EQ(cut, 1);
    Restart(larkin::test::MachineText("engine-twelve-sticks-on-one-adapter"));
    EXPECT_EQ(EnumUSBDevices(), 10);
    EXPECT_STREQ(BaselineTable.rows[9].friendlyName, "Stick 9 USB Device");
    EXPECT_EQ(EnumUSBDevicesCVD(), 10);
    EXPECT_EQ(GetUSBDevCount(), 10);
    EXPECT_EQ(Info(9) + "|" + Info(10), " Stick 9 USB Device|<error>");
}

TEST_F(TesselDevices, EachScanGivesFewerOrLessKnownDrivesNeverATextOutsideItsField) {
    for (auto enumerate : {&GetUSBDevCount, &EnumUSBDevices, &EnumUSBDevicesCVD}) {
        int count = 0;
        const bool current = enumerate == &GetUSBDevCount;
        const DeviceTable& table = current ? CurrentTable : BaselineTable;
        auto check = [&] {
            EXPECT_TRUE(count >= 0 && count <= 2) << count;
            EXPECT_EQ(table.count, count);
            for (int i = 0; i < count; ++i) {
                std::string letters = table.rows[i].mountInfo;
                EXPECT_TRUE(letters.empty() || letters == "E:") << letters;
                EXPECT_TRUE(!current || Info(i) != "<error>") << i;
            }
        };
        EXPECT_GT(FailEachCallInTurn([&] { count = enumerate(); }, check), 10);
        EXPECT_EQ(enumerate(), 2) << "a clean scan afterwards sees everything again";
    }
    EXPECT_STREQ(CurrentTable.rows[0].mountInfo, "E:");
}

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
    std::string Marker() { return larkin::test::FileText(machine_->folder() / "marker.txt"); }
    // The shell running script in the machine's folder (machine.toml there).
    std::string CommandLine(const std::string& script) {
        return "/bin/sh -c \"cd '" + machine_->folder().string() + "' && " + script + "\"";
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
    std::string line = CommandLine("(read l && echo enter || echo eof) > marker.txt");
    EXPECT_EQ(CapturedOutput([&] { EXPECT_TRUE(RunConsoleCommand(line.data(), true, INFINITE)); }),
              "");
    EXPECT_EQ(Marker(), "enter\n") << "the child had ended, after one Enter";
    EXPECT_THAT(larkin::controls::Pauses(), ElementsAre(500));
    EXPECT_EQ(FindWindowA(nullptr, "FormatWindow"), nullptr);

    // Without a window: no pause, no key, and the wait may run out.
    larkin::controls::ClearPauses();
    line = CommandLine("echo ran > marker.txt");
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
        "while [ -e machine.toml ] && [ ! -e go ]; do sleep 0.01; done; { echo ran > marker.txt; "
        "} 2>/dev/null");
    EXPECT_TRUE(RunMinimizedCommand(minimized.data(), 0, &code));
    EXPECT_EQ(code, kNoExitCode);
    EXPECT_EQ(Marker(), "");
    EXPECT_THAT(larkin::controls::Pauses(), ElementsAre(500));
    std::ofstream{machine_->folder() / "go"};
}

}  // namespace
}  // namespace tessel::test
