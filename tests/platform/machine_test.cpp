// The simulated machine itself: its file, refused with the file, line and
// key of each mistake; its images, hot-plug from other processes, the write
// journal, shared state, fault injection, pauses and error texts.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

namespace fs = std::filesystem;

// simctl, built beside the tests, run on file: its exit code and output.
CommandRun Simctl(const fs::path& file, const std::string& args, const std::string& as = "") {
    fs::path simctl = fs::read_symlink("/proc/self/exe").parent_path() / "simctl";
    if (!fs::exists(simctl)) ADD_FAILURE() << "simctl is not built beside the tests";
    return RunCommand(as + Quoted(simctl.string()) + " --machine " + Quoted(file.string()) + " " +
                      args);
}

std::string ImageOf(const std::string& diskId) {
    for (const auto& disk : sim::Disks())
        if (disk.id == diskId) return disk.image;
    return {};
}

std::vector<char> ReadBytes(const std::string& path, size_t length) {
    std::vector<char> bytes(length);
    std::ifstream(path, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(length));
    return bytes;
}

// A USB adapter of three lines, and more keys of it.
std::string Adapter(const std::string& id, const std::string& more = "") {
    return "[[adapter]]\nid = \"" + id + "\"\nclass = \"USB\"\n" + more;
}

// A USB adapter (lines 1-3) with one disk of this size (lines 4-6).
std::string Stick(const std::string& size = "8MiB") {
    return Adapter("u", "[[adapter.disk]]\nid = \"s\"\nsize = \"" + size + "\"\n");
}
const std::string kStick = Stick();

TEST(MachineFile, PartitionsAreWrittenAndFormattedOnCreation) {
    if (!HaveProgram("mkfs.fat")) GTEST_SKIP() << "mkfs.fat (dosfstools) is not installed";
    TestMachine machine(MachineText("platform-formatted-stick"));
    auto boot = ReadAt(Open("\\\\.\\G:", GENERIC_READ).Get(), 0, 512);
    ASSERT_TRUE(boot);
    std::string text(reinterpret_cast<const char*>(boot->data()), 512);
    EXPECT_EQ(std::tuple(text.substr(43, 7), text.substr(54, 5), text.substr(28, 4)),
              std::tuple("TESTVOL", "FAT16", std::string("\x3f\0\0\0", 4)));  // 63 hidden sectors
}

// Its letter, disk, SCSI port and ASPI host go and come back.
TEST(HotPlug, AnotherProcessUnplugsAndPlugsADisk) {
    TestMachine machine(MachineText("platform-two-sticks"));
    auto simctl = [&](const std::string& args) { return Simctl(machine.file(), args).exitCode; };
    auto opens = [](const std::string& name) { return Open(name, GENERIC_READ).Valid(); };
    auto state = [&] {
        int ports = 0;
        for (int n = 0; n < 8; ++n) ports += opens("\\\\.\\scsi" + std::to_string(n) + ":");
        return std::tuple(opens("\\\\.\\E:"), opens("\\\\.\\PhysicalDrive1"),
                          (GetLogicalDrives() >> ('E' - 'A')) & 1, ports, LarkinScsiHostCount());
    };
    const auto plugged = state();
    const auto [volume, disk, letter, ports, hosts] = plugged;
    EXPECT_EQ(std::tuple(volume, disk, letter), std::tuple(true, true, 1u));
    ASSERT_EQ(simctl("unplug stick1"), 0);  // its adapter is an ASPI host
    EXPECT_EQ(state(), std::tuple(false, false, 0u, ports - 1, hosts - 1));
    ASSERT_EQ(simctl("plug stick1"), 0);
    EXPECT_EQ(state(), plugged);
}

// Run n of a writer that never stops: sectors at a random place on the
// blank stick, with bytes no earlier run used.
bool WriteRun(HANDLE disk, std::mt19937& random, unsigned seed, unsigned n) {
    std::vector<unsigned char> data((1 + random() % 8) * 512,
                                    static_cast<unsigned char>(n * 7 + seed));
    return WriteAt(disk, random() % 2048 * 512, data);
}

TEST(Journal, AWriterKilledAtAnyPointLeavesNoChangedSectorOutOfIt) {
    TestMachine machine(MachineText("platform-two-sticks"));
    ASSERT_TRUE(machine.started());
    std::string image = ImageOf("stick2");
    constexpr size_t kRegion = (2048 + 8) * 512;
    std::mt19937 random(20261207);
    for (unsigned round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(controls::ClearJournal());
        auto before = ReadBytes(image, kRegion);
        Handle disk;
        std::mt19937 places(round);
        unsigned n = 1;
        // A writer whose start is slow must not be killed before it writes.
        ChildHolding writer(
            [&] {
                disk = Open("\\\\.\\PhysicalDrive2");
                return WriteRun(disk.Get(), places, round, n);
            },
            [&] {
                while (WriteRun(disk.Get(), places, round, ++n)) {
                }
            });
        ASSERT_TRUE(writer.Succeeded()) << "the writer never wrote";
        ::usleep(random() % 20000);
        ASSERT_TRUE(writer.Kill()) << "the writer stopped by itself";

        auto after = ReadBytes(image, kRegion);
        auto journal = controls::Journal();
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
    fs::path journal = fs::path(sim::StateDirectory()) / "journal";
    fs::remove(journal);
    fs::create_directory(journal);  // no process can append to it now
    std::string image = ImageOf("stick2");
    auto before = ReadBytes(image, 512);
    Handle disk = Open("\\\\.\\PhysicalDrive2");
    ASSERT_TRUE(disk.Valid());
    std::vector<char> data(512, 'x');
    DWORD done = 0;
    EXPECT_FALSE(WriteFile(disk.Get(), data.data(), 512, &done, nullptr));
    EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(ReadBytes(image, 512), before);
}

// A state folder this process may not write: root writes anywhere, so as
// root the other process runs as nobody.
TEST(SharedState, AChangeThatCannotBeStoredFailsLoudly) {
    TempFolder folder;
    fs::path machineFile = folder.path() / "machine.toml";
    std::ofstream(machineFile) << MachineText("platform-two-sticks");
    std::string error;
    ASSERT_TRUE(sim::Restart(machineFile.string(), &error)) << error;
    fs::path state = sim::StateDirectory();
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

    auto run = Simctl(machineFile, "unplug stick1", as);
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("cannot"), std::string::npos) << run.output;
    fs::permissions(state, fs::perms::owner_write, fs::perm_options::add);
    for (const auto& disk : sim::Disks()) EXPECT_TRUE(disk.present) << disk.id << " was unplugged";
}

TEST(Images, AFailedCreationLeavesNothingBehind) {
    TempFolder folder;
    fs::path machineFile = folder.path() / "machine.toml";
    std::ofstream(machineFile) << MachineText("platform-unformattable-stick");
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string error;
        EXPECT_FALSE(sim::Restart(machineFile.string(), &error));
        EXPECT_NE(error.find("mkfs.fat"), std::string::npos) << error;
        EXPECT_EQ(error.find("bytes"), std::string::npos) << error;
        for (const auto& entry : fs::recursive_directory_iterator(folder.path()))
            EXPECT_NE(entry.path().extension(), ".img") << entry.path();
    }
}

// Made once however many processes start together; one of the wrong size is
// kept as it is.
TEST(Images, ProcessesStartingTogetherOnAFreshMachineAllSucceedAndAWrongOneIsKept) {
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
                bool started = sim::Restart(machineFile.string(), &error);
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
        ASSERT_TRUE(sim::Restart(machineFile.string(), &error)) << error;
        // The image whole, the table the machine file gives, and its volume E:.
        auto mbr = ReadAt(Open("\\\\.\\PhysicalDrive1", GENERIC_READ).Get(), 0, 512);
        ASSERT_TRUE(mbr);
        const std::string image = ImageOf("stick1");
        EXPECT_EQ(std::tuple(fs::file_size(image), (*mbr)[510], (*mbr)[446 + 4],
                             GetLogicalDrives() >> ('E' - 'A') & 1),
                  std::tuple(16u << 20, std::byte{0x55}, std::byte{0x0E}, 1u));

        fs::resize_file(image, 1 << 20);
        EXPECT_FALSE(sim::Restart(machineFile.string(), &error));
        EXPECT_NE(error.find("left as it is"), std::string::npos) << error;
        EXPECT_EQ(fs::file_size(image), 1u << 20);
    }
}

// A fault the machine file asks for fires as often and with the error it
// says; one for one control code leaves the others alone. (Skipping,
// clearing and matching the device are the other suites', whose
// fail-each-call matrices rely on them.)
TEST(Faults, FromTheMachineFileAsOftenAsItSaysAndForOneControlCodeAlone) {
    TestMachine machine(std::string(MachineText("platform-two-sticks")) +
                        "\n[[fault]]\ncall = \"GetLogicalDrives\"\ncount = 1\nerror = 5\n");
    LARKIN_EXPECT_FAILS(GetLogicalDrives(), ERROR_ACCESS_DENIED);
    EXPECT_NE(GetLogicalDrives(), 0u);
    controls::InjectFault(
        {"DeviceIoControl", "", IOCTL_STORAGE_GET_DEVICE_NUMBER, 0, 0, ERROR_NOT_READY});
    LARKIN_EXPECT_FAILS(DeviceNumber("\\\\.\\PhysicalDrive2"), ERROR_NOT_READY);
    BYTE geometry[120];
    EXPECT_TRUE(Control(Open("\\\\.\\PhysicalDrive2", GENERIC_READ).Get(),
                        IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, 120));
}

TEST(Pauses, AScaleFromTheEnvironmentMustBeANumberInRange) {
    TestMachine machine(MachineText("platform-two-sticks"));
    const auto file = machine.file();
    for (const char* scale : {"nan", "inf", "-1", "1e9", "fast", ""}) {
        setenv("LARKIN_TIME_SCALE", scale, 1);
        std::string error;
        EXPECT_FALSE(sim::Restart(file.string(), &error)) << scale;
        EXPECT_NE(error.find("LARKIN_TIME_SCALE"), std::string::npos) << error;
    }
    setenv("LARKIN_TIME_SCALE", "0", 1);
    std::string error;
    EXPECT_TRUE(sim::Restart(file.string(), &error)) << error;
    unsetenv("LARKIN_TIME_SCALE");
}

// Every error code the platform's headers name, and so may return, has its
// text, which a short buffer does not take. (The texts themselves are the
// Tessel suite's, whose messages print them.)
TEST(SystemTexts, EveryCodeOfTheHeadersHasOne) {
    char small[8];
    LARKIN_EXPECT_FAILS(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0,
                                       small, sizeof small, nullptr),
                        ERROR_INSUFFICIENT_BUFFER);
    std::stringstream header;
    header << std::ifstream(LARKIN_SOURCE_DIR "/platform/include/win32/base.h").rdbuf();
    const std::string text = header.str();
    const std::regex define(R"(#define (ERROR_\w+) +(\w+))");
    int codes = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), define), end; it != end; ++it, ++codes) {
        char found[512];
        EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, static_cast<DWORD>(std::stoul((*it)[2], nullptr, 0)), 0,
                                 found, sizeof found, nullptr),
                  0u)
            << (*it)[1] << " has no text";
    }
    EXPECT_GT(codes, 50);
}

std::string Disk(const std::string& id, const std::string& more = "") {
    return "[[adapter.disk]]\nid = \"" + id + "\"\nsize = \"1MiB\"\n" + more;
}

std::string Partition(const std::string& keys) {
    return "[[adapter.disk.partition]]\n" + keys;
}

struct BadMachine {
    std::string toml;
    std::string error;  // must follow the file's path and a colon in the error text
};

std::string StartError(const fs::path& file) {
    std::string error;
    EXPECT_FALSE(sim::Restart(file.string(), &error)) << file;
    return error;
}

TEST(MachineFile, RefusesEachMistakeNamingFileLineAndKey) {
    std::string seventeen = Adapter("u");
    for (int i = 0; i < 17; ++i) seventeen += Disk("d" + std::to_string(i));
    std::string fivePartitions = kStick;
    for (int i = 1; i <= 5; ++i)
        fivePartitions += Partition("start = " + std::to_string(i) + "\nsectors = 1\n");

    const BadMachine cases[] = {
        // Adapters whose parents loop would hang every walk up the tree.
        {Adapter("a", "parent = \"a\"\n"),
         "4: adapter.parent: the parents form a loop: \"a\" -> \"a\""},
        {Adapter("a", "parent = \"b\"\n") + Adapter("b", "parent = \"a\"\n"),
         "4: adapter.parent: the parents form a loop: \"a\" -> \"b\" -> \"a\""},
        {Adapter("a", "parent = \"hub\"\n"), "4: adapter.parent: no adapter has the id \"hub\""},
        {Adapter("a", "parent = \"b\"\n") + Adapter("b", "kind = \"hub\"\n"),
         "4: adapter.parent: \"b\" must be listed before this adapter"},

        // Two disks at one SCSI target would answer for each other.
        {Adapter("u") + Disk("a", "target = 3\n") + Disk("b", "target = 3\n"),
         "11: adapter.disk.target: target 3 is also disk \"a\"'s on adapter \"u\""},
        {Adapter("u") + Disk("a", "target = 1\n") + Disk("b"),
         "8: adapter.disk.target: target 1 is also disk \"a\"'s"},  // b's by default
        {seventeen, "52: adapter.disk.target: an adapter holds at most 16 disks"},

        // Ids are words of the state file and the journal.
        {kStick + Disk("my stick"), "8: adapter.disk.id: \"my stick\" is not an id"},
        {kStick + "[[adapter.disk]]\nid = \"a\\nb\"\nsize = 512\n",
         "8: adapter.disk.id: \"a\\x0ab\" is not an id"},
        {Adapter("usb:1"), "2: adapter.id: \"usb:1\" is not an id"},
        {kStick + Disk("-s"), "8: adapter.disk.id: \"-s\" is not an id"},
        {kStick + Disk(""), "8: adapter.disk.id: must not be empty"},
        {kStick + Disk("s"), "8: adapter.disk.id: \"s\" names another disk"},

        // Numbers.
        {kStick + Partition("start = 4294967296\n"),
         "8: adapter.disk.partition.start: must be from 1 to 4294967295"},
        {Stick("18014398509481985KiB"), "6: adapter.disk.size: is too large"},  // 1 KiB
        {Stick("99999999999999999999"), "6: adapter.disk.size: is too large"},
        {Stick("-1"), "6: adapter.disk.size: is not a size"},
        {Stick("17TiB"), "6: adapter.disk.size: must be at most 17592186044416 bytes"},
        {Stick("4TiB") + Partition("start = 2048\n"),
         "7: adapter.disk.partition.sectors: the rest of the disk is more than"},
        {kStick + Partition("start = 2048\nsectors = 14337\n"),
         "9: adapter.disk.partition.sectors: the partition (sectors 2048 to 16384) "
         "does not fit the disk (16384 sectors)"},
        {kStick + Partition("start = 16384\n"),
         "8: adapter.disk.partition.start: sector 16384 is past the end of the disk"},
        {fivePartitions, "19: adapter.disk.partition: a disk holds at most four partitions"},
        {kStick + Partition("start = 2048\nsectors = 4096\n") +
             Partition("start = 4000\nsectors = 100\n"),
         "11: adapter.disk.partition.start: sectors 4000 to 4099 overlap partition 1 "
         "(sectors 2048 to 6143)"},
        {kStick + Partition("start = 2048\n") + Partition("start = 8192\nsectors = 8\n"),
         "10: adapter.disk.partition.start: sectors 8192 to 8199 overlap partition 1"},
        {kStick + "serial = \"123456789012345678901\"\n",
         "7: adapter.disk.serial: at most 20 characters"},
        {kStick + Partition("label = \"TWELVE CHARS\"\n"),
         "8: adapter.disk.partition.label: at most 11 characters"},
        {kStick + "sise = \"8MiB\"\n", "7: adapter.disk.sise: unknown key"},
        {"[[adapter]]\nid = \"u\"\nclass = \"FireWire\"\n", "3: adapter.class"},
        {"[machine\n", "1:"},
        {"[floppy]\nsize = \"1MiB\"\n", "2: floppy.size: is not the size of a floppy disk"},
        {"[machine]\ntime_scale = nan\n", "2: machine.time_scale: must be a number from 0 to 1000"},

        // Characters the TOML reader (toml++ 3.3) would meet with undefined
        // behaviour, as the fuzz target found them: refused where TOML
        // allows none, and never handed to it.
        {kStick + "[[adapter.disk.partition]]\ntype = 0x\xc6\xbd\n",
         "8: a character outside ASCII stands outside a text or comment"},
        {"\xcc\xaa", "1: a character outside ASCII stands outside a text or comment"},
        {"[machine]\nt= 5\"\xef\xba\xbf\"x\"\n", "2: "},
        {"[machine]\nname = \"a\\\xc2\xa7\"\n", "2: a character outside ASCII follows a backslash"},
        {"[machine]\n\nname = \"\xc3\x28\"\n", "3: the text is not UTF-8"},
        {"# \xed\xa0\x80\n", "1: the text is not UTF-8"},

        // Repeats are reported where they stand.
        {"[floppy]\nimage = \"s.img\"\n" + kStick,
         "6: adapter.disk.image: image \"s.img\" is also the image of the floppy drive"},
        {kStick + Disk("t", "image = \"./s.img\"\n"),
         "10: adapter.disk.image: image \"./s.img\" is also the image of disk \"s\""},
        {"[machine]\nstate = \"/nowhere/m.state\"\n" + kStick +
             Disk("t", "image = \"/nowhere/m.state/sub/../s.img\"\n"),
         "12: adapter.disk.image: image \"/nowhere/m.state/sub/../s.img\" is also the "
         "image of disk \"s\""},
        {kStick + Disk("t", "image = \"journal\"\n"),
         "10: adapter.disk.image: image \"journal\" is the file the machine keeps its "
         "journal in"},
        {kStick + Disk("t", "image = \"../bad.toml\"\n"),
         "10: adapter.disk.image: image \"../bad.toml\" is the machine file itself"},
        {kStick + "letters = [\"E:\"]\n" + Disk("t", "letters = [\"E:\"]\n"),
         "11: adapter.disk.letters: drive letter E: is given twice"},
        {"[floppy]\n" + kStick + "letters = [\"a:\"]\n",
         "8: adapter.disk.letters: drive letter A: belongs to the floppy drive"},
    };
    TempFolder folder;
    auto file = folder.path() / "bad.toml";
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.toml);
        std::ofstream(file, std::ios::trunc) << bad.toml;
        std::string error = StartError(file);
        EXPECT_NE(error.find(file.string() + ":" + bad.error), std::string::npos) << error;
    }
    // Nothing of a refused machine is made on disk.
    EXPECT_FALSE(fs::exists(folder.path() / "bad.state"));
}

// Only a regular file of text is a machine file: anything else is refused
// at once, before it is opened for long or read without end; so are a
// journal and images that are not files of their own.
TEST(MachineFile, OnlyRegularFilesOfTheirOwnAreAMachineItsJournalAndImages) {
    TempFolder folder;
    auto fifo = folder.path() / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    auto huge = folder.path() / "huge.toml";
    std::ofstream(huge).close();
    fs::resize_file(huge, 2 * 1024 * 1024);
    const std::pair<fs::path, std::string> cases[] = {
        {folder.path(), "is a folder, not a file"},
        {folder.path() / "none.toml", "cannot be read"},
        {fifo, "is a FIFO, not a regular file"},
        {"/dev/null", "is a character device, not a regular file"},
        {huge, "is 2,097,152 bytes, more than the 1,048,576 it may have"},
    };
    for (const auto& [file, expected] : cases) {
        std::string error = StartError(file);
        EXPECT_NE(error.find(file.string() + ": " + expected), std::string::npos) << error;
        EXPECT_EQ(GetLogicalDrives(), 0u);
    }
    EXPECT_FALSE(fs::exists("/dev/null.state"));
    EXPECT_FALSE(fs::exists(folder.path() / "fifo.state"));

    // The journal every write goes to is a file too, said at the start.
    auto good = folder.path() / "good.toml";
    std::ofstream(good) << kStick;
    fs::create_directories(folder.path() / "good.state");
    auto journal = folder.path() / "good.state" / "journal";
    ASSERT_EQ(::mkfifo(journal.c_str(), 0644), 0);
    std::string error = StartError(good);
    EXPECT_NE(error.find("the write journal " + journal.string() + " is a FIFO"), std::string::npos)
        << error;

    // Two names of one image, which no spelling shows: its two disks would
    // write each other's sectors under the wrong name in the journal.
    auto state = folder.path() / "link.state";
    fs::create_directories(state);
    std::ofstream(state / "s.img").close();
    fs::resize_file(state / "s.img", 8 << 20);
    fs::create_symlink(state / "s.img", state / "t.img");
    auto link = folder.path() / "link.toml";
    std::ofstream(link) << kStick << "[[adapter.disk]]\nid = \"t\"\nsize = \"8MiB\"\n";
    error = StartError(link);
    EXPECT_NE(error.find("disk \"t\": image " + (state / "t.img").string() +
                         " is the same file as the image of disk \"s\""),
              std::string::npos)
        << error;
}

TEST(MachineFile, AcceptsTheEdgesOfEachRule) {
    // Characters beyond ASCII in texts and comments are welcome.
    // A literal text becomes a basic one with its backslashes and quotes kept.
    std::string toml =
        "[machine]\nname = \"\"\"\\\n  \xc2\xa7 M\xc3\xbcller\"\"\"  # \xc2\xa7\xc3\xbc\n"
        "windows_dir = 'C:\\F\xc3\xaanetres \"\xf0\x9f\x92\xbe\"'\n"
        "[floppy]\nsize = \"720KiB\"\n" +
        Adapter("hub.0", "kind = \"hub\"\n") + Adapter("usb_1", "parent = \"hub.0\"\n");
    for (int i = 0; i < 16; ++i) toml += Disk("Disk-" + std::to_string(i));
    // Four partitions that touch but do not overlap, the last to the end.
    toml += kStick + "target = 15\n" + Partition("start = 1\nsectors = 2047\n") +
            Partition("start = 2048\nsectors = 2048\n") +
            Partition("start = 4096\nsectors = 4096\n") + Partition("start = 8192\n");
    TestMachine machine(toml);
    ASSERT_TRUE(machine.started());
    char windows[64] = {};
    ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
    EXPECT_STREQ(windows, "C:\\F\xc3\xaanetres \"\xf0\x9f\x92\xbe\"");
    auto disks = sim::Disks();
    ASSERT_EQ(disks.size(), 17u);
    EXPECT_EQ(std::tuple(disks[15].id, disks[16].size), std::tuple("Disk-15", 8u << 20));

    // The fourth entry of the written table reaches the last sector.
    auto mbr = ReadAt(Open("\\\\.\\PhysicalDrive16", GENERIC_READ).Get(), 0, 512);
    ASSERT_TRUE(mbr);
    uint32_t fourth[2];  // its first sector and count, little-endian as here
    std::memcpy(fourth, &(*mbr)[446 + 48 + 8], sizeof fourth);
    EXPECT_EQ(std::pair(fourth[0], fourth[1]), std::pair(8192u, 16384u - 8192u));
}

}  // namespace
}  // namespace larkin::test
