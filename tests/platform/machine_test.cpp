// The simulated machine itself: its file, its images, hot-plug seen by
// other processes, fault injection and the record of pauses.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;
using larkin::test::TempFolder;
using larkin::test::TestMachine;

TEST(MachineFile, AMissingImageIsCreatedAndAWrongOneIsKept) {
    const std::string toml =
        "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n[[adapter.disk]]\nid = \"s\"\nsize = "
        "\"8MiB\"\nimage = \"s.img\"\n";
    TestMachine machine(toml);
    auto image = machine.folder() / "machine.state" / "s.img";
    ASSERT_TRUE(std::filesystem::exists(image));
    EXPECT_EQ(std::filesystem::file_size(image), 8u * 1024 * 1024);

    std::filesystem::resize_file(image, 1024 * 1024);
    std::string error;
    EXPECT_FALSE(larkin::sim::Restart(machine.file().string(), &error));
    EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(image), 1024u * 1024);
}

TEST(MachineFile, PartitionsAreWrittenAndFormattedOnCreation) {
    if (!larkin::test::HaveProgram("mkfs.fat"))
        GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    TestMachine machine(MachineText("platform-formatted-stick"));
    HANDLE volume = CreateFileA("\\\\.\\G:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    BYTE boot[512];
    DWORD done = 0;
    ASSERT_TRUE(ReadFile(volume, boot, 512, &done, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot + 43), 7), "TESTVOL");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(boot + 54), 5), "FAT16");
    uint32_t hidden = boot[28] | (boot[29] << 8) | (boot[30] << 16) | (boot[31] << 24);
    EXPECT_EQ(hidden, 63u);
    CloseHandle(volume);
}

std::filesystem::path SimctlPath() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "simctl";
}

int Simctl(const TestMachine& machine, const std::string& args) {
    std::string command =
        "'" + SimctlPath().string() + "' --machine '" + machine.file().string() + "' " + args;
    return larkin::test::RunCommand(command).exitCode;
}

TEST(HotPlug, AnotherProcessUnplugsAndPlugsADisk) {
    TestMachine machine(MachineText("platform-two-sticks"));
    if (!std::filesystem::exists(SimctlPath()))
        GTEST_SKIP() << "simctl is not built beside the tests";
    HANDLE before = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);
    CloseHandle(before);

    ASSERT_EQ(Simctl(machine, "unplug stick1"), 0);
    EXPECT_EQ(CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(
        CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetLogicalDrives() & (1u << ('E' - 'A')));

    ASSERT_EQ(Simctl(machine, "plug stick1"), 0);
    HANDLE after = CreateFileA("\\\\.\\E:", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(after, INVALID_HANDLE_VALUE);
    CloseHandle(after);
    EXPECT_NE(Simctl(machine, "unplug nothing"), 0);
}

TEST(Faults, FailByCallDeviceAndCount) {
    TestMachine machine(MachineText("platform-two-sticks"));
    larkin::controls::InjectFault(
        {"CreateFileA", "physicaldrive1", 0, 1, 2, ERROR_SHARING_VIOLATION});
    auto open = [] {
        HANDLE h = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        bool ok = h != INVALID_HANDLE_VALUE;
        if (ok) CloseHandle(h);
        return ok;
    };
    EXPECT_TRUE(open());  // skipped
    EXPECT_FALSE(open());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(open());
    EXPECT_TRUE(open());  // the count is spent
    HANDLE other =
        CreateFileA("\\\\.\\PhysicalDrive2", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(other, INVALID_HANDLE_VALUE);

    larkin::controls::InjectFault(
        {"DeviceIoControl", "", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 0, ERROR_NOT_READY});
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(DeviceIoControl(other, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                     sizeof number, &returned, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    }
    BYTE geometry[120];
    EXPECT_TRUE(DeviceIoControl(other, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry,
                                sizeof geometry, &returned, nullptr));
    larkin::controls::ClearFaults();
    EXPECT_TRUE(DeviceIoControl(other, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                sizeof number, &returned, nullptr));
    CloseHandle(other);
}

TEST(Faults, TheMachineFileCanAskForThem) {
    TestMachine machine(std::string(MachineText("platform-two-sticks")) +
                        "\n[[fault]]\ncall = \"GetLogicalDrives\"\ncount = 1\nerror = 31\n");
    EXPECT_EQ(GetLogicalDrives(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_NE(GetLogicalDrives(), 0u);
}

TEST(Pauses, AreRecordedAndScaled) {
    TestMachine machine(MachineText("platform-two-sticks"));  // time_scale = 0
    larkin::controls::ClearPauses();
    auto start = std::chrono::steady_clock::now();
    Sleep(500);
    Sleep(1000);
    Sleep(0);
    // Scaled to nothing: the 1.5 s asked for are recorded, not waited.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(larkin::controls::Pauses(), (std::vector<DWORD>{500, 1000, 0}));
}

TEST(Pauses, AScaleFromTheEnvironmentMustBeANumberInRange) {
    larkin::test::TempFolder folder;
    auto file = folder.path() / "machine.toml";
    std::ofstream(file) << MachineText("platform-two-sticks");
    for (const char* scale : {"nan", "inf", "-1", "1e9", "fast", ""}) {
        setenv("LARKIN_TIME_SCALE", scale, 1);
        std::string error;
        EXPECT_FALSE(larkin::sim::Restart(file.string(), &error)) << scale;
        EXPECT_NE(error.find("LARKIN_TIME_SCALE"), std::string::npos) << error;
    }
    setenv("LARKIN_TIME_SCALE", "0", 1);
    std::string error;
    EXPECT_TRUE(larkin::sim::Restart(file.string(), &error)) << error;
    unsetenv("LARKIN_TIME_SCALE");
}

TEST(SystemTexts, FormatMessageGivesTheTextOfACode) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_GT(length, 0u);
    EXPECT_STREQ(text, "Access is denied.\r\n");
    LocalFree(text);
    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small,
                             sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

// Every error code the platform's headers name, and so may return, has its text.
TEST(SystemTexts, EveryCodeOfTheHeadersHasOne) {
    std::ifstream header(LARKIN_SOURCE_DIR "/platform/include/win32/base.h");
    ASSERT_TRUE(header.good());
    std::string line;
    int codes = 0;
    while (std::getline(header, line)) {
        std::istringstream words(line);
        std::string define, name, value;
        if (!(words >> define >> name >> value) || define != "#define" ||
            name.rfind("ERROR_", 0) != 0)
            continue;
        DWORD code = static_cast<DWORD>(std::stoul(value, nullptr, 0));
        char text[512];
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, text, sizeof text, nullptr),
                  0u)
            << name << " has no text";
        ++codes;
    }
    EXPECT_GT(codes, 50);
}

}  // namespace
