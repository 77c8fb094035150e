// larkin-cli end to end, as a user or a script runs it, on a copy of the demo
// machine and on this computer's hardware (a loop device for a stick);
// larkin-writer as a hostile host meets it, and a host when it stops short.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "linux/hardware_machine.h"
#include "loop_device.h"
#include "run_command.h"
#include "test_machine.h"
#include "writer_client.h"

namespace {

using namespace larkin::test;
using namespace larkin::writer;
using namespace ::testing;

// A program's run that ended with this exit code and an output as matched; a
// mismatch shows both.
MATCHER_P2(Ended, code, output,
           "exit code " + PrintToString(code) + ", output " +
               DescribeMatcher<std::string>(output)) {
    *result_listener << "exit code " << arg.exitCode << ", output:\n" << arg.output;
    return arg.exitCode == code && ExplainMatchResult(output, arg.output, result_listener);
}

class LarkinCli : public ::testing::Test {
  protected:
    LarkinCli() {
        std::filesystem::copy_file(LARKIN_SOURCE_DIR "/machines/demo.toml",
                                   folder_.path() / "demo.toml");
    }

    CommandRun InFolder(const std::string& command) {
        return RunCommand("cd " + Quoted(folder_.path().string()) + " && " + command);
    }
    CommandRun Cli(const std::string& arguments, const std::string& input = "",
                   const std::string& environment = "") {
        std::ofstream(folder_.path() / "input.txt") << input;
        return InFolder(environment + " " + cli_ + arguments + " < input.txt");
    }

    // Bytes of a file of the test's folder, stick1's image unless named.
    std::vector<std::uint8_t> Bytes(std::uint64_t offset, std::size_t length,
                                    const char* file = "demo.state/stick1.img") const {
        return ReadAt(folder_.path() / file, offset, length);
    }
    void Put(std::uint64_t offset, std::span<const std::uint8_t> bytes) const {
        WriteAt(folder_.path() / "demo.state/stick1.img", offset, bytes);
    }

    // zero, with disk plugged in once larkin-cli says it is waiting: the
    // pipe hands its lines over as they come.
    CommandRun ZeroPlugging(const std::string& disk) {
        return InFolder("{ " + cli_ +
                        "zero --timeout 30 --yes </dev/null 2>&1; echo $? > status; } | "
                        "while IFS= read -r line; do echo \"$line\"; case $line in *'Plug in'*) " +
                        Quoted(LARKIN_BIN "/simctl") + " --machine demo.toml plug " + disk +
                        " >/dev/null;; esac; done; exit $(cat status)");
    }
    std::set<std::string> WrittenDisks() {
        std::istringstream lines(
            InFolder(Quoted(LARKIN_BIN "/simctl") + " --machine demo.toml journal").output);
        std::set<std::string> disks;
        for (std::string pid, disk, rest; lines >> pid >> disk; std::getline(lines, rest))
            disks.insert(disk);
        return disks;
    }
    void AddToMachine(const std::string& text) {
        std::ofstream(folder_.path() / "demo.toml", std::ios::app) << "\n" << text;
    }
    CommandRun Mtools(const std::string& command) {
        return InFolder("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null m" + command);
    }
    std::string Script(const std::string& name, const std::string& body) {
        std::filesystem::path path = folder_.path() / name;
        std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    TempFolder folder_;
    const std::string cli_ =
        "LARKIN_TIME_SCALE=0 " + Quoted(LARKIN_BIN "/larkin-cli") + " --machine demo.toml ";
};

// What is refused says why with its exit code (2: the command line, 6: what
// cannot make the stick), before the first write; list and help are no runs.
TEST_F(LarkinCli, RefusalsSayWhyBeforeTheFirstWrite) {
    namespace fs = std::filesystem;
    const fs::path images = folder_.path() / "images";
    auto image = [&](const std::string& name) {
        fs::path made = images / name;
        fs::create_directories(made);
        fs::copy(LARKIN_BIN "/File_Images/LarkinDemo", made,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        std::ofstream(made / "fi.ini", std::ios::trunc)
            << "[Larkin boot image]\nFolder=" << name << "\nAgreement=License.rtf\nName=" << name
            << "\n";
        return made;
    };
    fs::path big = image("Big");
    std::ofstream(big / "BIG.BIN").close();
    fs::resize_file(big / "BIG.BIN", 200u << 20);
    for (const auto& [name, fifo] : {std::pair{"Piped", "License.rtf"}, {"Described", "fi.ini"}}) {
        fs::remove(image(name) / fifo);
        ASSERT_EQ(::mkfifo((images / name / fifo).c_str(), 0644), 0);
    }

    // clang-format off
    std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"--help", 0, "usage: larkin-cli"},
        // Numbered as list shows them and verify takes them.
        {"list --json", 0, "{\"drives\": [\n  {\"number\": 1, \"index\": 0, \"mount\": \"E:\", \"friendly_name\": \"SanDisk Cruzer Blade USB Device\", \"size_bytes\": 134217728, \"path\": \"\\\\\\\\?\\\\usbstor#disk&ven_sandisk"},
        {"list --json", 0, "\"friendly_name\": \"Kingston DataTraveler 2.0 USB Device\", \"size_bytes\": 67108864"},
        {"list --json", 0, "\"refused\": null}\n]}\n"},
        {"boot E: --images images --from-floppy --yes", 6, "the floppy in A: cannot make E: bootable: the disk in drive A: holds no KERNEL.SYS"},
        {"boot E: --images images --image Big --yes", 6, "the boot image Big cannot make E: bootable: the files take"},
        {"boot E: --images images --image Piped --yes", 6, "the agreement cannot be read: images/Piped/License.rtf: is a FIFO"},
        {"boot E: --images images --image Described --yes", 6, "images/Described/fi.ini: is a FIFO, not a regular file"},
        {"boot E: --images images --floppy-image images/Big/BIG.BIN --yes", 6, "images/Big/BIG.BIN is 209715200 bytes: no floppy has that size"},
        {"boot Z: --image LarkinDemo --yes", 6, "no USB drive Z:"},
        {"boot E: --image NoSuchImage --yes", 6, "(it holds LarkinDemo)"},
        {"boot E: --image LarkinDemo --images NoSuchFolder --yes", 6, "there is no images folder NoSuchFolder"},
        // The source tree's File_Images lacks the KERNEL.SYS the build makes.
        {"boot E: --image LarkinDemo --yes --images " + Quoted(LARKIN_SOURCE_DIR "/File_Images"), 6,
         "has no KERNEL.SYS, which the drive needs to start; nothing was changed"},
    };
    for (const char* arguments : {"", "frobnicate", "boot E:", "boot E: --image X --from-floppy", "boot", "verify",
             "verify E: F:", "list --json E:", "verify E: --json", "zero --via-corvid", "zero E:", "--bogus list",
             "write-image E: F:", "boot E: --image", "zero --timeout 0", "boot E: G: --image LarkinDemo --json",
             "boot E: --image X --floppy-image f.img", "list --floppy-image f.img", "boot E: --image X --keep-floppy-paths"})
        cases.emplace_back(arguments, 2, "larkin-cli: ");
    // clang-format on
    for (const auto& [arguments, exitCode, says] : cases)
        EXPECT_THAT(Cli(arguments), Ended(exitCode, HasSubstr(says))) << arguments;
    EXPECT_THAT(Cli("boot e --image LarkinDemo", "n\n"),
                Ended(6, AllOf(HasSubstr("This erases everything on E: SanDisk Cruzer Blade USB "
                                         "Device, 134,217,728 bytes (134.2 MB). Go on? [y/N]"),
                               HasSubstr("Nothing was changed."))));
    EXPECT_EQ(WrittenDisks(), std::set<std::string>{});

    // With the demo kernel on the floppy, as the documentation says, the
    // floppy makes a stick that verifies; its CONFIG.SYS kept as it is.
    std::ofstream(folder_.path() / "CONFIG.SYS") << "SHELL=A:\\COMMAND.COM\r\n";
    ASSERT_THAT(Mtools("copy -i demo.state/floppy.img " +
                       Quoted(LARKIN_BIN "/File_Images/LarkinDemo/KERNEL.SYS") + " CONFIG.SYS ::"),
                Ended(0, _));
    ASSERT_THAT(Cli("boot E: --from-floppy --keep-floppy-paths --yes"), Ended(0, _));
    EXPECT_THAT(Cli("verify E:"), Ended(0, _));
    EXPECT_EQ(Mtools("type -i demo.state/stick1.img@@32256 ::CONFIG.SYS").output,
              "SHELL=A:\\COMMAND.COM\r\n");
    EXPECT_NE(Mtools("dir -i demo.state/stick1.img@@32256 ::CONFIG.ORG").exitCode, 0);
}

TEST_F(LarkinCli, BootThenVerifyThenVerifyFailsCheckByCheck) {
    ASSERT_THAT(Cli("boot E: --image LarkinDemo --yes"),
                Ended(0, AllOf(HasSubstr("Do you accept this agreement?"),
                               HasSubstr("3 file(s) copied."))));
    ASSERT_THAT(Cli("verify E:"), Ended(0, _));

    using Damage = std::tuple<std::uint64_t, std::vector<std::uint8_t>, std::string>;
    const std::uint64_t boot0 = 63 * 512;
    const std::string differs = "FAIL  boot sector: differs from what the engine writes in its ";
    // clang-format off
    for (const auto& [offset, bytes, failed] : {
             Damage{10, {0x90}, "FAIL  master boot record code: the boot code is not Larkin's"},
             Damage{510, {0}, "FAIL  master boot record code: no 55 AA signature"},
             Damage{446, {0}, "FAIL  partition table: entry 0 is not active"},
             Damage{454, {0x40}, "FAIL  partition table: entry 0 starts at 64, expected 63"},
             Damage{462 + 4, {0x06}, "FAIL  partition table: entry 1 is used"},
             Damage{boot0 + 200, {0xCC}, differs + "boot code (byte 200)"},
             Damage{boot0 + 28, {0x40}, differs + "hidden sectors (byte 28)"},
             Damage{boot0 + 512, {0, 0, 0, 0}, "FAIL  file system: fsck.fat -n"},
         }) {
        // clang-format on
        SCOPED_TRACE(failed);
        std::vector<std::uint8_t> kept = Bytes(offset, bytes.size());
        Put(offset, bytes);
        // A damaged table can cost the drive its letter: by its number.
        CommandRun run = Cli("verify 1");
        Put(offset, kept);
        EXPECT_THAT(run,
                    Ended(6, AllOf(HasSubstr(failed), HasSubstr("The drive is not as the "
                                                                "make-bootable flow leaves it."))));
    }
    // KERNEL.SYS gone: only the last check fails.
    ASSERT_EQ(Mtools("del -i demo.state/stick1.img@@32256 ::/KERNEL.SYS").exitCode, 0);
    EXPECT_THAT(
        Cli("verify E:"),
        Ended(6, AllOf(HasSubstr("ok    file system"),
                       HasSubstr("FAIL  boot files: no KERNEL.SYS in the root directory"))));
}

// Two operations started on one stick a moment apart: one holds the stick
// from its first check to its last byte, the other is refused before it
// writes, naming the holder; whichever says done leaves a stick that verifies.
TEST_F(LarkinCli, TwoOperationsOnOneStickNeverInterleave) {
    ASSERT_EQ(Cli("list").exitCode, 0) << "the machine's images are made";
    for (int delayMs : {0, 20, 50, 100, 200, 400}) {
        SCOPED_TRACE("second run " + std::to_string(delayMs) + " ms after the first");
        CommandRun first;
        std::thread racer([&] { first = Cli("boot E: --image LarkinDemo --yes"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        CommandRun second = Cli("boot E: --image LarkinDemo --yes");
        racer.join();
        EXPECT_TRUE(first.exitCode == 0 || second.exitCode == 0) << first.output << "\n----\n"
                                                                 << second.output;
        for (const CommandRun* run : {&first, &second})
            EXPECT_THAT(*run, AnyOf(Ended(0, _), Ended(6, AllOf(HasSubstr("Nothing was changed."),
                                                                HasSubstr("larkin-cli boot E:")))));
        EXPECT_THAT(Cli("verify E:"), Ended(0, _));
    }
    // A hold being let go (its lock still taken, its record already gone) is
    // waited for, not refused as a nameless holder. The boot starts only once
    // the lock is taken.
    EXPECT_THAT(Cli("boot E: --image LarkinDemo --yes", "",
                    "(flock -x demo.state/locks/disks/stick1 sh -c 'touch held; sleep "
                    "0.5' &); until [ -e held ]; do sleep 0.01; done;"),
                Ended(0, _));

    // A holder waiting at the engine's question (its hint is printed once it
    // holds the stick): list names it, and a boot is refused before it asks
    // anything. The holder's input then ends, and it with it.
    EXPECT_THAT(InFolder("{ sleep 60 & echo $! > sleep.pid; wait; } | " + cli_ +
                         "write-image E: 2>&1 | while IFS= read -r line; do case $line in "
                         "*\"'s own\"*) " +
                         cli_ + "list --json; echo y | " + cli_ +
                         "boot E: --image LarkinDemo; echo \"boot exit $?\"; kill $(cat "
                         "sleep.pid);; esac; done")
                    .output,
                AllOf(HasSubstr("\"refused\": \"it is held by larkin-cli write-image E:"),
                      HasSubstr("\"refused\": null"),  // the other stick
                      HasSubstr("cannot be written: it is held by larkin-cli write-image"),
                      HasSubstr("boot exit 6"), Not(HasSubstr("Go on?"))));
}

TEST_F(LarkinCli, WriteImageWithTheDefaultsThenRestoreMbr) {
    ASSERT_EQ(Cli("list").exitCode, 0) << "the machine's images are made";
    std::vector<std::uint8_t> original = Bytes(0, 512);
    // Before the dialogue, the answer to its sectors-per-track question
    // that makes a stick that starts.
    EXPECT_THAT(Cli("write-image").output,
                HasSubstr("answer the chosen drive's own, so that its boot sector "
                          "says where its boot partition starts:\n"
                          "  SanDisk Cruzer Blade USB Device [E:]: 63\n"
                          "  Kingston DataTraveler 2.0 USB Device []: 32\n"));
    ASSERT_THAT(
        Cli("write-image E:", "y\nsaved.mbr\n0\n"),
        Ended(0, AllOf(HasSubstr("answer 63, E:'s own: the boot partition starts 63 sectors "
                                 "in and its boot sector must say so.\n(0 would write 32 "
                                 "into the boot sector of this drive"),
                       HasSubstr("Using the default image beside larkin-cli"),
                       HasSubstr("\n Copying Boot Files.........Done"))));

    // Nothing a second run is given replaces the saved sector 0 or the image.
    std::filesystem::copy_file(LARKIN_BIN "/VeltraneUSB4MB.dat", folder_.path() / "img.dat");
    const std::vector<std::uint8_t> saved = Bytes(0, 8 << 20, "saved.mbr"),
                                    image = Bytes(0, 8 << 20, "img.dat");
    std::vector<std::uint8_t> larkins = Bytes(0, 512);
    for (const auto& [arguments, line] : std::initializer_list<std::pair<const char*, const char*>>{
             {"write-image E: --save saved.mbr",
              "saved.mbr already holds something other than this drive's sector 0"},
             {"write-image E: --save img.dat --image img.dat",
              "The Source Image File is the file to save the Partition table"},
         }) {
        EXPECT_THAT(Cli(arguments, "y\n0\n"), Ended(6, HasSubstr(line)));
        EXPECT_EQ(Bytes(0, 8 << 20, "saved.mbr"), saved);
        EXPECT_EQ(Bytes(0, 8 << 20, "img.dat"), image);
        EXPECT_EQ(Bytes(0, 512), larkins);
    }

    // A quit at the engine's question is no failure; the letter alone will do.
    EXPECT_THAT(Cli("restore-mbr e --save saved.mbr", "q\n"),
                Ended(6, HasSubstr("larkin-cli: restore-mbr: you answered q; nothing was written "
                                   "to the drive (status 6)")));
    ASSERT_THAT(Cli("restore-mbr E: --save saved.mbr", "y\n"), Ended(0, _));
    EXPECT_EQ(Bytes(0, 512), original);
}

TEST_F(LarkinCli, ZeroWaitsForTheNewDriveAndNamesIt) {
    AddToMachine(MachineText("tools-cli-demo-plus-unplugged-drives"));
    EXPECT_THAT(Cli("zero --timeout 1 --yes"),
                Ended(2, HasSubstr("no new USB drive was plugged in within 1 s")));

    // The engine takes only QM drives: refused before the question.
    EXPECT_THAT(ZeroPlugging("other1"),
                Ended(5, AllOf(HasSubstr("not a supported model (its name must begin with QM)"),
                               Not(HasSubstr("Go on?")))));

    EXPECT_THAT(ZeroPlugging("qm1"),
                Ended(0, HasSubstr("New drive: (no letter) QM USB Flash Disk, 8,388,608 bytes")));
    EXPECT_EQ(Bytes(0, 4096, "demo.state/qm1.img"), std::vector<std::uint8_t>(4096));

    // The engine fails without a word: larkin-cli says what could not be done.
    ASSERT_THAT(InFolder(Quoted(LARKIN_BIN "/simctl") + " --machine demo.toml unplug qm1"),
                Ended(0, _));
    AddToMachine("[[fault]]\ncall = \"WriteFile\"\ndevice = \"qm1\"\n");
    EXPECT_THAT(ZeroPlugging("qm1"),
                Ended(6, HasSubstr("larkin-cli: zero: the operation failed: the new drive could "
                                   "not be opened or cleared (status 6)")));
}

// A stick that fails stops none of the others; a stick named twice (by
// either of its letters) stops everything before it starts.
TEST_F(LarkinCli, SeveralSticksAtOnce) {
    AddToMachine(MachineText("tools-cli-demo-plus-five-sticks"));
    // Pulls stick4 out as its format starts: mkfs.fat goes on writing the
    // image, the engine finds the stick gone at its next step.
    std::filesystem::create_directories(folder_.path() / "pulling");
    Script("pulling/mkfs.fat",
           "case \"$*\" in *stick4.img*) " + Quoted(LARKIN_BIN "/simctl") +
               " unplug stick4 >/dev/null ;; esac\nexec /usr/sbin/mkfs.fat \"$@\"");

    struct Case {
        std::string what, arguments, environment;
        int exitCode;
        std::vector<std::string> made;  // verify afterwards
        std::vector<std::string> said;
        std::set<std::string> written;  // by the journal
    };
    const std::string image = " --image LarkinDemo --yes";
    // clang-format off
    for (const Case& c : std::vector<Case>{
             {"three at once", "boot G: H: I:" + image, "", 0, {"G:", "H:", "I:"},
              {"This erases everything on these 3 drives:\n  G: ", "G: started", "I: copying KERNEL.SYS",
               "H: Generic Disk USB Device: done", "larkin-cli: boot: 3 drives done"},
              {"stick3", "stick4", "stick5"}},
             {"one pulled out", "boot G: H: I:" + image, "PATH=\"$PWD/pulling:$PATH\"", 6, {"G:", "I:"},
              {"H: Generic Disk USB Device: failed (status 6): the drive went away during the work",
               "I: Generic Disk USB Device: done", "larkin-cli: boot: 1 of 3 drives failed: H: (status 6)"},
              {"stick3", "stick4", "stick5"}},
             {"one refused", "boot L: G: H:" + image, "", 6, {"G:", "H:"},
              {"larkin-cli: L: Generic Disk USB Device, 20,971,520 bytes (21.0 MB) cannot be written: ",
               "This erases everything on these 2 drives:\n  G: ",
               "L: Generic Disk USB Device: failed (status 6): cannot be written: ",
               "larkin-cli: boot: 1 of 3 drives failed: L: (status 6)"},
              {"stick3", "stick4"}},
             // Named by either letter, a stick of two volumes is made as one drive.
             {"the second letter of a stick", "boot K:" + image, "", 0, {},
              {"Note: J:;K: holds several volumes; the engine works on the whole drive."}, {"twoletters"}},
             {"two letters of one stick", "boot J: G: k:" + image, "", 2, {},
              {"larkin-cli: J: and K: are one drive (Generic Disk USB Device); name each drive once\nNothing was changed."}, {}},
         }) {
        // clang-format on
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder_.path() / "demo.state");
        CommandRun run = Cli(c.arguments, "", c.environment);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
        for (const std::string& said : c.said) EXPECT_THAT(run.output, HasSubstr(said));
        for (const std::string& drive : c.made)
            EXPECT_THAT(Cli("verify " + drive), Ended(0, _)) << drive;
        // The bystanders (E:, F:, the system disk, the refused stick) untouched.
        EXPECT_EQ(WrittenDisks(), c.written);
    }
}

using LarkinWriter = LarkinCli;

TEST_F(LarkinWriter, EveryBadRequestIsRefusedBeforeAnythingIsWritten) {
    const std::string header = "larkin-writer 1\nmake-bootable\n",
                      stick = "name SanDisk Cruzer Blade USB Device\n",
                      e = header + "destination E:\n" + stick;
    // The volume names the platform gives C: and E:, as a host reads them.
    const std::string volumes =
        InFolder(Quoted(LARKIN_BIN "/simctl") + " --machine demo.toml show").output;
    std::smatch onC, onE;
    ASSERT_TRUE(std::regex_search(volumes, onC, std::regex(R"((\\\\\?\\Volume\{\S+\}\\) C:)")) &&
                std::regex_search(volumes, onE, std::regex(R"((\\\\\?\\Volume\{\S+\}\\) E:)")))
        << volumes;
    struct Case {
        std::string request;
        const char* said;
        std::string environment = "";
    } cases[] = {
        {"make-bootable\n", "no known header"},
        {e + "image LarkinDemo\n", "cut short"},
        {e + "image LarkinDemo\nend", "cut short"},
        {e + "image LarkinDemo\nend\n" + std::string(5000, 'x'), "larger than 4096"},
        {e + "image ..\nend\n", "not a folder of the image"},
        {e + "image /etc\nend\n", "not a folder of the image"},
        {header + "destination A:\n" + stick + "floppy\nend\n", "not a drive letter C: to Z:"},
        {header + "destination E:\ndestination F:\n" + stick + "floppy\nend\n", "twice"},
        {e + "image LarkinDemo\nfloppy\nend\n", "twice"},
        {header + "destination E:\nname Bad\x01Name\nfloppy\nend\n", "not text"},
        {header + "destination E:\nname Another Stick\nimage LarkinDemo\nend\n",
         "not the drive chosen"},
        {e + "path \\\\?\\usbstor#other\nimage LarkinDemo\nend\n", "not the drive chosen"},
        // Another volume than E:'s: this letter names another stick here.
        {e + "volume " + onC[1].str() + "\nimage LarkinDemo\nend\n", "another drive here"},
        {e + "volume " + onE[1].str() + "\nimage Nowhere\nend\n", "Nowhere"},
        {header + "destination Q:\n" + stick + "image LarkinDemo\nend\n", "no USB drive Q:"},
        {e + "image Nowhere\nend\n", "Nowhere"},
        // Through pkexec no setting of the user's is honoured.
        {e + "image LarkinDemo\nend\n", "is not honoured when writing with privileges",
         "PKEXEC_UID=1000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::ofstream(folder_.path() / "request", std::ios::binary) << c.request;
        EXPECT_THAT(
            InFolder("env " + c.environment + " LARKIN_MACHINE=demo.toml " +
                     "LARKIN_TIME_SCALE=0 " + Quoted(LARKIN_BIN "/larkin-writer") + " < request"),
            Ended(6, AllOf(HasSubstr("refused\t"), HasSubstr(c.said), HasSubstr("\nend\t6\t"),
                           Not(HasSubstr("writing\n")))));
    }
    EXPECT_EQ(WrittenDisks(), std::set<std::string>{});
}

// A helper that ends without its end, and pkexec's refusals, as stand-in
// programs give them.
TEST_F(LarkinWriter, TheHostSaysHowTheHelperEnded) {
    std::string killed =
        Script("killed", "cat >/dev/null; printf 'step\\tpartitioning\\nwriting\\n'; kill -9 $$");
    std::string gone = Script("gone", "cat >/dev/null; printf 'step\\tchecking\\n'; exit 3");
    Request request{"E:", "SanDisk Cruzer Blade USB Device", "", "LarkinDemo", false, ""};

    for (const auto& [helper, writing, reason] :
         {std::tuple{killed, true, "signal 9"}, {gone, false, "exit code 3"}}) {
        Outcome outcome = RunWriter(helper, false, request, {});
        EXPECT_TRUE(outcome.kind == OutcomeKind::Died && outcome.writing == writing) << reason;
        EXPECT_THAT(outcome.reason, HasSubstr(reason));
    }

    // pkexec that says no (127) or whose dialogue was closed (126).
    std::string path = std::getenv("PATH");
    ::setenv("PATH", (folder_.path().string() + ":" + path).c_str(), 1);
    for (int code : {126, 127}) {
        const std::string refusal = "Error executing command as another user: Not authorized";
        Script("pkexec",
               "cat >/dev/null; echo '" + refusal + "' >&2; exit " + std::to_string(code));
        std::string said;
        Outcome outcome =
            RunWriter(gone, true, request, {[&](std::string_view line) { said += line; }, {}, {}});
        EXPECT_EQ(outcome.kind, OutcomeKind::NotAuthorised) << code;
        EXPECT_THAT(outcome.reason, HasSubstr("not authorised (Error executing command"));
        EXPECT_THAT(said, HasSubstr("Not authorized"));
    }
    ::setenv("PATH", path.c_str(), 1);
}

class HardwareStick : public LarkinCli {
  protected:
    void SetUp() override {
        for (const char* program : {"mkfs.fat", "mcopy", "fsck.fat"})
            if (!HaveProgram(program))
                GTEST_SKIP() << program << " is missing (scripts/install-deps)";
    }

    // larkin-cli on this computer, the given devices passed as USB sticks.
    CommandRun Cli(const std::string& disks, const std::string& arguments) {
        return InFolder("env -u LARKIN_MACHINE LARKIN_TIME_SCALE=0 LARKIN_TEST_USB_DISKS=" + disks +
                        " LARKIN_STATE_DIR=" + Quoted((folder_.path() / "state").string()) + " " +
                        Quoted(LARKIN_BIN "/larkin-cli") + " " + arguments + " </dev/null");
    }
};

// The source (the image folder, or a floppy image whose CONFIG.SYS names A:)
// and what keeps the stick: the desktop's mount at the partition's offset or
// an old partition node goes; 4096-byte sectors (the boot records are of 512)
// and another program's exclusive open refuse the whole operation unwritten.
enum class Keeper { None, OffsetMount, PartitionNode, ExclusiveOpen };
struct Stick {
    const char* name;
    uint32_t sectorSize;
    bool fromFloppy;
    Keeper keeper;
    const char* refused;  // why nothing is written, or nullptr
};
class HardwareStickFrom : public HardwareStick, public WithParamInterface<Stick> {};

TEST_P(HardwareStickFrom, ListedMadeBootableVerifiedAndBootsOrRefusedBeforeAnyWrite) {
    const Stick stick = GetParam();
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 128ull << 20, .sectorSize = stick.sectorSize});
    MakeShopStick(loop);
    std::optional<MountPoint> mountPoint;
    int exclusive = -1;
    if (stick.keeper == Keeper::OffsetMount) {
        // ext2: this kernel may mount no FAT; the partition's type keeps its
        // volume and letter.
        mountPoint.emplace("/media");
        ASSERT_THAT(RunCommand("mke2fs -q -F -E offset=1048576 " + loop.Node() + " 16M"),
                    Ended(0, _));
        CommandRun mount =
            RunCommand("mount -o offset=1048576 " + loop.Node() + " " + mountPoint->Path());
        if (mount.exitCode != 0) GTEST_SKIP() << "cannot mount here: " << mount.output;
    } else if (stick.keeper == Keeper::PartitionNode) {
        CommandRun added = RunCommand("partx -a " + loop.Node());
        if (!std::filesystem::exists(loop.Node() + "p1"))
            GTEST_SKIP() << "no partition node: " << added.output;
    } else if (stick.keeper == Keeper::ExclusiveOpen) {
        exclusive = ::open(loop.Node().c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        ASSERT_GE(exclusive, 0);
    }

    // The letter list --json gives the stand-in (of 128 MiB).
    CommandRun list = Cli(loop.Node(), "list --json");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(list.output, found,
                                  std::regex("\"mount\": \"([D-Z]:)\", \"friendly_name\": "
                                             "\"[^\"]*\", \"size_bytes\": 134217728")))
        << list.output;
    const std::string letter = found[1].str();
    std::string source = "--image LarkinDemo";
    if (stick.fromFloppy) {
        ASSERT_THAT(
            InFolder("printf 'SHELL=A:\\\\COMMAND.COM /P\\r\\n' > CONFIG.SYS && "
                     "mkfs.fat -C boot.img 1440 && mcopy -i boot.img " +
                     Quoted(LARKIN_BIN "/File_Images/LarkinDemo/KERNEL.SYS") + " CONFIG.SYS ::"),
            Ended(0, _));
        source = "--floppy-image boot.img";
    }
    const std::vector<std::uint8_t> floppy = Bytes(0, 1440 << 10, "boot.img");
    auto stickBefore = loop.ReadBacking(0, 4 << 20);
    CommandRun boot = Cli(loop.Node(), "boot " + letter + " " + source + " --yes");
    if (exclusive >= 0) ::close(exclusive);
    EXPECT_FALSE(mountPoint && mountPoint->Mounted()) << "written while mounted";
    std::ifstream journal(folder_.path() / "state/journal");
    std::set<std::string> written;
    for (std::string line, mark, key, disk; std::getline(journal, line);)
        if (std::istringstream(line) >> mark >> key >> disk && mark == "+") written.insert(disk);
    if (stick.refused) {
        EXPECT_THAT(boot,
                    Ended(6, AllOf(HasSubstr(stick.refused), HasSubstr("Nothing was changed."))));
        EXPECT_TRUE(loop.ReadBacking(0, 4 << 20) == stickBefore) << "the stick was changed";
        EXPECT_THAT(written, IsEmpty());
        return;
    }
    ASSERT_THAT(boot, Ended(0, HasSubstr("This erases everything on " + letter)));
    if (stick.fromFloppy) {
        EXPECT_THAT(boot.output, AllOf(HasSubstr("CONFIG.SYS on " + letter + " named drive A:"),
                                       HasSubstr("    SHELL=C:\\COMMAND.COM /P\n")));
        EXPECT_EQ(Bytes(0, 1440 << 10, "boot.img"), floppy) << "the floppy image was written";
    } else {
        // mcopy's warnings on a device may stand before a file's name.
        EXPECT_THAT(boot.output,
                    HasSubstr("  KERNEL.SYS\n  License.rtf\n  fi.ini\n3 file(s) copied."));
    }
    EXPECT_THAT(Cli(loop.Node(), "verify " + letter), Ended(0, Not(HasSubstr("FAIL"))));

    // Every write the platform made went to the stand-in, and only there.
    EXPECT_THAT(written, ElementsAre(HasSubstr(loop.KernelName())));

    // What kept the stick changes nothing of what it starts.
    if (stick.keeper != Keeper::None) return;
    if (!HaveProgram("qemu-system-i386")) GTEST_SKIP() << "qemu-system-i386 is missing: not booted";
    EXPECT_THAT(RunCommand(Quoted(LARKIN_SOURCE_DIR "/scripts/boot-disk") + " " +
                           Quoted(loop.BackingFile()) + " 60"),
                Ended(0, _));
}

INSTANTIATE_TEST_SUITE_P(
    Sticks, HardwareStickFrom,
    Values(Stick{"ImageFolder", 512, false, Keeper::None, nullptr},
           Stick{"FloppyImageFile", 512, true, Keeper::None, nullptr},
           Stick{"MountedAtTheOffset", 512, false, Keeper::OffsetMount, nullptr},
           Stick{"WithAPartitionNode", 512, false, Keeper::PartitionNode, nullptr},
           Stick{"SectorsOf4096Bytes", 4096, false, Keeper::None,
                 "the drive has sectors of 4,096 bytes"},
           Stick{"HeldByAnotherProgram", 512, false, Keeper::ExclusiveOpen,
                 "is in use: another program holds it"}),
    [](const auto& stick) { return std::string(stick.param.name); });

TEST_F(HardwareStick, OnlyLoopDevicesStandInAndWithoutRootDrivesAreOnlyRead) {
    EXPECT_THAT(Cli("/dev/loop0,/dev/sda", "list"), Ended(6, HasSubstr("/dev/sda")));
    if (::geteuid() != 0 || !HaveProgram("setpriv")) GTEST_SKIP() << "needs root and setpriv";
    LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, LoopOptions{.size = 128ull << 20});
    MakeShopStick(loop);
    auto before = loop.ReadBacking(0, 64 * 1024);
    std::string asNobody =
        "cd /tmp && setpriv --reuid=nobody --regid=nogroup --clear-groups env "
        "-u LARKIN_MACHINE HOME=/nonexistent LARKIN_TEST_USB_DISKS=" +
        loop.Node() + " " + Quoted(LARKIN_BIN "/larkin-cli");
    EXPECT_THAT(RunCommand(asNobody + " list"), Ended(0, HasSubstr("needs root")));
    // Told not to ask polkit, it says what to do instead.
    EXPECT_THAT(RunCommand(asNobody + " boot D: --image LarkinDemo --yes --no-elevate"),
                Ended(6, HasSubstr("larkin-cli: writing to a drive needs root")));
    EXPECT_EQ(loop.ReadBacking(0, 64 * 1024), before);
}

}  // namespace
