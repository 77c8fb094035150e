// The simulated machine itself: its file and images, made whole or not at
// all; hot-plug seen by other processes; the write journal never short of
// the truth; state that cannot be stored an error; fault injection, the
// record of pauses and the texts of error codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

namespace fs = std::filesystem;

fs::path Simctl() {
    return fs::read_symlink("/proc/self/exe").parent_path() / "simctl";
}

std::string ImageOf(const std::string& diskId) {
    for (const auto& disk : larkin::sim::Disks())
        if (disk.id == diskId) return disk.image;
    return {};
}

std::vector<char> ReadBytes(const std::string& path, size_t length) {
    std::vector<char> bytes(length);
    std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(length));
    return bytes;
}

TEST(MachineFile, AMissingImageIsCreatedAndAWrongOneIsKept) {
    const std::string toml =
        "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n[[adapter.disk]]\nid = \"s\"\nsize = "
        "\"8MiB\"\nimage = \"s.img\"\n";
    TestMachine machine(toml);
    auto image = machine.folder() / "machine.state" / "s.img";
    ASSERT_TRUE(fs::exists(image));
    EXPECT_EQ(fs::file_size(image), 8u * 1024 * 1024);

    fs::resize_file(image, 1024 * 1024);
    std::string error;
    EXPECT_FALSE(larkin::sim::Restart(machine.file().string(), &error));
    EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
    EXPECT_EQ(fs::file_size(image), 1024u * 1024);
}

TEST(MachineFile, PartitionsAreWrittenAndFormattedOnCreation) {
    if (!larkin::test::HaveProgram("mkfs.fat"))
        GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    TestMachine machine(MachineText("platform-formatted-stick"));
    auto boot = ReadAt(Open("\\\\.\\G:", GENERIC_READ).Get(), 0, 512);
    ASSERT_TRUE(boot);
    const char* text = reinterpret_cast<const char*>(boot->data());
    EXPECT_EQ(std::string(text + 43, 7), "TESTVOL");
    EXPECT_EQ(std::string(text + 54, 5), "FAT16");
    EXPECT_EQ(std::string(text + 28, 4), std::string("\x3f\0\0\0", 4));  // 63 hidden sectors
}

// Another process unplugs a stick and plugs it in again: its letter, disk,
// SCSI port and ASPI host go and come back.
TEST(HotPlug, AnotherProcessUnplugsAndPlugsADisk) {
    TestMachine machine(MachineText("platform-two-sticks"));
    if (!fs::exists(Simctl())) GTEST_SKIP() << "simctl is not built beside the tests";
    auto simctl = [&](const std::string& args) {
        return RunCommand("'" + Simctl().string() + "' --machine '" + machine.file().string() +
                          "' " + args)
            .exitCode;
    };
    auto opens = [](const std::string& name) { return Open(name, GENERIC_READ).Valid(); };
    auto ports = [&] {
        int open = 0;
        for (int n = 0; n < 8; ++n) open += opens("\\\\.\\scsi" + std::to_string(n) + ":");
        return open;
    };
    const int portsBefore = ports();
    const DWORD hosts = LarkinScsiHostCount();
    EXPECT_TRUE(opens("\\\\.\\E:"));
    ASSERT_EQ(simctl("unplug stick1"), 0);  // its adapter is an ASPI host
    EXPECT_FALSE(opens("\\\\.\\E:"));
    EXPECT_FALSE(opens("\\\\.\\PhysicalDrive1"));
    EXPECT_FALSE(GetLogicalDrives() & (1u << ('E' - 'A')));
    EXPECT_EQ(ports(), portsBefore - 1);
    EXPECT_EQ(LarkinScsiHostCount(), hosts - 1);
    ASSERT_EQ(simctl("plug stick1"), 0);
    EXPECT_TRUE(opens("\\\\.\\E:"));
    EXPECT_EQ(ports(), portsBefore);
    EXPECT_EQ(LarkinScsiHostCount(), hosts);
    EXPECT_NE(simctl("unplug nothing"), 0);
}

// A writer that never stops: runs of sectors at random places on the blank
// stick, each write with bytes no earlier write used.
[[noreturn]] void WriteUntilKilled(unsigned seed) {
    HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) ::_exit(2);
    std::mt19937 random(seed);
    std::vector<unsigned char> data(8 * 512);
    for (unsigned n = 1;; ++n) {
        uint32_t sectors = 1 + random() % 8;
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(random() % 2048) * 512;
        std::fill(data.begin(), data.end(), static_cast<unsigned char>(n * 7 + seed));
        DWORD done = 0;
        if (!SetFilePointerEx(disk, at, nullptr, FILE_BEGIN) ||
            !WriteFile(disk, data.data(), sectors * 512, &done, nullptr))
            ::_exit(3);
    }
}

TEST(Journal, AWriterKilledAtAnyPointLeavesNoChangedSectorOutOfIt) {
    TestMachine machine(MachineText("platform-two-sticks"));
    ASSERT_TRUE(machine.started());
    std::string image = ImageOf("stick2");
    constexpr size_t kRegion = (2048 + 8) * 512;
    std::mt19937 random(20261207);
    for (unsigned round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(larkin::controls::ClearJournal());
        auto before = ReadBytes(image, kRegion);
        pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) WriteUntilKilled(round);
        ::usleep(1000 + random() % 20000);
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

        auto after = ReadBytes(image, kRegion);
        auto journal = larkin::controls::Journal();
        size_t open = 0;
        for (const auto& entry : journal) open += entry.completed ? 0 : 1;
        EXPECT_LE(open, 1u);  // at most the write the kill interrupted
        for (size_t sector = 0; sector < kRegion / 512; ++sector) {
            if (std::equal(before.begin() + sector * 512, before.begin() + sector * 512 + 512,
                           after.begin() + sector * 512))
                continue;
            bool covered = std::any_of(journal.begin(), journal.end(), [&](const auto& entry) {
                return entry.disk == "stick2" && entry.offset <= sector * 512 &&
                       sector * 512 < entry.offset + entry.length;
            });
            ASSERT_TRUE(covered) << "sector " << sector << " changed unrecorded";
        }
    }
}

TEST(Journal, AWriteThatCannotBeRecordedIsNotMade) {
    TestMachine machine(MachineText("platform-two-sticks"));
    ASSERT_TRUE(machine.started());
    fs::path journal = fs::path(larkin::sim::StateDirectory()) / "journal";
    fs::remove(journal);
    fs::create_directory(journal);  // no process can append to it now
    std::string image = ImageOf("stick2");
    auto before = ReadBytes(image, 512);
    Handle disk = Open("\\\\.\\PhysicalDrive2");
    ASSERT_TRUE(disk.Valid());
    std::array<char, 512> data;
    data.fill('x');
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(disk.Get(), data.data(), 512, &done, nullptr));
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(ReadBytes(image, 512), before);
}

// A state folder this process may not write: root writes anywhere, so as
// root the other process runs as nobody.
TEST(SharedState, AChangeThatCannotBeStoredFailsLoudly) {
    if (!fs::exists(Simctl())) GTEST_SKIP() << "simctl is not built beside the tests";
    TempFolder folder;
    fs::path machineFile = folder.path() / "machine.toml";
    std::ofstream(machineFile) << MachineText("platform-two-sticks");
    std::string error;
    ASSERT_TRUE(larkin::sim::Restart(machineFile.string(), &error)) << error;
    fs::path state = larkin::sim::StateDirectory();
    auto everyone = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                    fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(folder.path(), everyone);
    for (const auto& entry : fs::directory_iterator(state))
        if (entry.path().extension() == ".img")
            fs::permissions(entry.path(), fs::perms::all & ~fs::perms::owner_exec &
                                              ~fs::perms::group_exec & ~fs::perms::others_exec);
    fs::permissions(state, everyone);
    std::string as = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (::geteuid() != 0) fs::permissions(state, fs::perms::owner_write, fs::perm_options::remove);

    auto run = RunCommand(as + "'" + Simctl().string() + "' --machine '" + machineFile.string() +
                          "' unplug stick1");
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("cannot"), std::string::npos) << run.output;
    fs::permissions(state, fs::perms::owner_write, fs::perm_options::add);
    for (const auto& disk : larkin::sim::Disks())
        EXPECT_TRUE(disk.present) << disk.id << " was unplugged";
}

TEST(Images, AFailedCreationLeavesNothingBehind) {
    TempFolder folder;
    fs::path machineFile = folder.path() / "machine.toml";
    std::ofstream(machineFile) << MachineText("platform-unformattable-stick");
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error;
        EXPECT_FALSE(larkin::sim::Restart(machineFile.string(), &error));
        EXPECT_NE(error.find("mkfs.fat"), std::string::npos) << error;
        EXPECT_EQ(error.find("bytes"), std::string::npos) << error;
        for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
            EXPECT_NE(entry.path().extension(), ".img") << entry.path();
    }
}

TEST(Images, ProcessesStartingTogetherOnAFreshMachineAllSucceed) {
    for (int round = 0; round < 3; ++round) {
        TempFolder folder;
        fs::path machineFile = folder.path() / "machine.toml";
        std::ofstream(machineFile) << MachineText("platform-two-sticks");
        // A creation killed half-way leaves its own file, never the image.
        fs::create_directories(folder.path() / "machine.state");
        std::ofstream(folder.path() / "machine.state" / "stick1.img.making.99999") << "half";
        std::vector<pid_t> starters;
        for (int i = 0; i < 3; ++i) {
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                std::string error;
                bool started = larkin::sim::Restart(machineFile.string(), &error);
                if (!started) std::fprintf(stderr, "%s\n", error.c_str());
                ::_exit(started ? 0 : 1);
            }
            starters.push_back(pid);
        }
        for (pid_t pid : starters) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        std::string error;
        ASSERT_TRUE(larkin::sim::Restart(machineFile.string(), &error)) << error;
        std::string image = ImageOf("stick1");
        EXPECT_EQ(fs::file_size(image), 16u << 20);
        // The table the machine file gives, whole, and its volume E:.
        auto mbr = ReadAt(Open("\\\\.\\PhysicalDrive1", GENERIC_READ).Get(), 0, 512);
        ASSERT_TRUE(mbr);
        EXPECT_EQ((*mbr)[510], std::byte{0x55});
        EXPECT_EQ((*mbr)[446 + 4], std::byte{0x0E});
        EXPECT_TRUE(GetLogicalDrives() & (1u << ('E' - 'A')));
    }
}

TEST(Faults, FailByCallDeviceAndCount) {
    TestMachine machine(MachineText("platform-two-sticks"));
    larkin::controls::InjectFault(
        {"CreateFileA", "physicaldrive1", 0, 1, 2, ERROR_SHARING_VIOLATION});
    auto open = [] { return Open("\\\\.\\PhysicalDrive1", GENERIC_READ).Valid(); };
    EXPECT_TRUE(open());  // skipped
    EXPECT_FALSE(open());
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(open());
    EXPECT_TRUE(open());  // the count is spent
    Handle handle = Open("\\\\.\\PhysicalDrive2", GENERIC_READ);
    HANDLE other = handle.Get();
    EXPECT_TRUE(handle.Valid());

    larkin::controls::InjectFault(
        {"DeviceIoControl", "", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 0, ERROR_NOT_READY});
    STORAGE_DEVICE_NUMBER number{};
    for (int i = 0; i < 3; ++i)
        LARKIN_EXPECT_FAILS(
            Control(other, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number),
            ERROR_NOT_READY);
    BYTE geometry[120];
    EXPECT_TRUE(Control(other, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, 120));
    larkin::controls::ClearFaults();
    EXPECT_TRUE(
        Control(other, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number));
}

TEST(Faults, TheMachineFileCanAskForThem) {
    TestMachine machine(std::string(MachineText("platform-two-sticks")) +
                        "\n[[fault]]\ncall = \"GetLogicalDrives\"\ncount = 1\nerror = 31\n");
    EXPECT_EQ(GetLogicalDrives(), 0u);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_NE(GetLogicalDrives(), 0u);
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

// The texts themselves are the Tessel suite's, whose messages print them.
TEST(SystemTexts, AShortBufferTakesNoText) {
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
}  // namespace larkin::test
