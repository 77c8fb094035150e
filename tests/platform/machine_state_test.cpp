// The simulated machine's shared state as processes use it: the write journal
// never falls short of the truth, state that cannot be stored is an error,
// images are made whole or not at all, and the ASPI view follows hot-plug.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace {

using larkin::test::MachineText;

namespace fs = std::filesystem;
using larkin::test::TempFolder;
using larkin::test::TestMachine;

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

using larkin::test::RunCommand;

fs::path Simctl() {
    return fs::read_symlink("/proc/self/exe").parent_path() / "simctl";
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
    HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::array<char, 512> data;
    data.fill('x');
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(disk, data.data(), 512, &done, nullptr));
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(done, 0u);
    CloseHandle(disk);
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
        HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, 3, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        ASSERT_NE(disk, INVALID_HANDLE_VALUE);
        std::array<unsigned char, 512> mbr{};
        DWORD done = 0;
        EXPECT_TRUE(ReadFile(disk, mbr.data(), 512, &done, nullptr));
        CloseHandle(disk);
        EXPECT_EQ(mbr[510], 0x55);
        EXPECT_EQ(mbr[446 + 4], 0x0E);
        EXPECT_TRUE(GetLogicalDrives() & (1u << ('E' - 'A')));
    }
}

TEST(HotPlug, AspiHostsAndScsiPortsAgreeAfterAnUnplug) {
    TestMachine machine(MachineText("platform-two-sticks"));
    ASSERT_TRUE(machine.started());
    DWORD hosts = LarkinScsiHostCount();
    auto ports = [] {
        int open = 0;
        for (int n = 0; n < 8; ++n) {
            std::string name = "\\\\.\\scsi" + std::to_string(n) + ":";
            HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (port == INVALID_HANDLE_VALUE) continue;
            ++open;
            CloseHandle(port);
        }
        return open;
    };
    int portsBefore = ports();
    ASSERT_TRUE(larkin::sim::Plug("stick1", false));  // its adapter is the ASPI host
    EXPECT_EQ(ports(), portsBefore - 1);
    EXPECT_EQ(LarkinScsiHostCount(), hosts - 1);
    ASSERT_TRUE(larkin::sim::Plug("stick1", true));
    EXPECT_EQ(ports(), portsBefore);
    EXPECT_EQ(LarkinScsiHostCount(), hosts);
}

}  // namespace
