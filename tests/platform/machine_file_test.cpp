// Machine files that must be refused, each with the file, line and key of
// the mistake, and the edges that must still be accepted.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace {

using larkin::test::TempFolder;
using larkin::test::TestMachine;

// A USB adapter (lines 1-3) with one disk of this size (lines 4-6).
std::string Stick(const std::string& size = "8MiB") {
    return "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n[[adapter.disk]]\nid = \"s\"\nsize = \"" +
           size + "\"\n";
}
const std::string kStick = Stick();

std::string Disk(const std::string& id, const std::string& more = "") {
    return "[[adapter.disk]]\nid = \"" + id + "\"\nsize = \"1MiB\"\n" + more;
}

std::string Partition(const std::string& keys) {
    return "[[adapter.disk.partition]]\n" + keys;
}

struct BadMachine {
    const char* what;
    std::string toml;
    std::string error;  // must occur in the error text
};

std::string StartError(const std::filesystem::path& file) {
    std::string error;
    EXPECT_FALSE(larkin::sim::Restart(file.string(), &error)) << file;
    return error;
}

TEST(MachineFile, RefusesEachMistakeNamingFileLineAndKey) {
    std::string seventeen = "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n";
    for (int i = 0; i < 17; ++i) seventeen += Disk("d" + std::to_string(i));
    std::string fivePartitions = kStick;
    for (int i = 1; i <= 5; ++i)
        fivePartitions += Partition("start = " + std::to_string(i) + "\nsectors = 1\n");

    const BadMachine cases[] = {
        // Adapters whose parents loop would hang every walk up the tree.
        {"its own parent", "[[adapter]]\nid = \"a\"\nclass = \"USB\"\nparent = \"a\"\n",
         "bad.toml:4: adapter.parent: the parents form a loop: \"a\" -> \"a\""},
        {"a loop of two",
         "[[adapter]]\nid = \"a\"\nclass = \"USB\"\nparent = \"b\"\n"
         "[[adapter]]\nid = \"b\"\nclass = \"USB\"\nparent = \"a\"\n",
         "bad.toml:4: adapter.parent: the parents form a loop: \"a\" -> \"b\" -> \"a\""},
        {"an unknown parent", "[[adapter]]\nid = \"a\"\nclass = \"USB\"\nparent = \"hub\"\n",
         "bad.toml:4: adapter.parent: no adapter has the id \"hub\""},
        {"a parent listed later",
         "[[adapter]]\nid = \"a\"\nclass = \"USB\"\nparent = \"b\"\n"
         "[[adapter]]\nid = \"b\"\nclass = \"USB\"\nkind = \"hub\"\n",
         "bad.toml:4: adapter.parent: \"b\" must be listed before this adapter"},

        // Two disks at one SCSI target would answer for each other.
        {"two disks given one target",
         "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n" + Disk("a", "target = 3\n") +
             Disk("b", "target = 3\n"),
         "bad.toml:11: adapter.disk.target: target 3 is also disk \"a\"'s on adapter \"u\""},
        {"a given target on a defaulted one",
         "[[adapter]]\nid = \"u\"\nclass = \"USB\"\n" + Disk("a", "target = 1\n") + Disk("b"),
         "bad.toml:8: adapter.disk.target: target 1 is also disk \"a\"'s"},
        {"seventeen disks on one adapter", seventeen,
         "bad.toml:52: adapter.disk.target: an adapter holds at most 16 disks"},

        // Ids are words of the state file and the journal.
        {"a disk id with a space", kStick + Disk("my stick"),
         "bad.toml:8: adapter.disk.id: \"my stick\" is not an id"},
        {"a disk id with a line break", kStick + "[[adapter.disk]]\nid = \"a\\nb\"\nsize = 512\n",
         "bad.toml:8: adapter.disk.id: \"a\\x0ab\" is not an id"},
        {"an adapter id with a colon", "[[adapter]]\nid = \"usb:1\"\nclass = \"USB\"\n",
         "bad.toml:2: adapter.id: \"usb:1\" is not an id"},
        {"an id starting with a dash", kStick + Disk("-s"),
         "bad.toml:8: adapter.disk.id: \"-s\" is not an id"},
        {"an empty id", kStick + Disk(""), "bad.toml:8: adapter.disk.id: must not be empty"},
        {"a disk id used twice", kStick + Disk("s"),
         "bad.toml:8: adapter.disk.id: \"s\" names another disk"},

        // Numbers.
        {"a start past 2^32 sectors", kStick + Partition("start = 4294967296\n"),
         "bad.toml:8: adapter.disk.partition.start: must be from 1 to 4294967295"},
        {"a start that would wrap the size check",
         kStick + Partition("start = 9223372036854775807\nsectors = 1\n"),
         "bad.toml:8: adapter.disk.partition.start: must be from 1 to 4294967295"},
        {"a size in KiB that overflows to 1024 bytes", Stick("18014398509481985KiB"),
         "bad.toml:6: adapter.disk.size: is too large"},
        {"a size in digits past 64 bits", Stick("99999999999999999999"),
         "bad.toml:6: adapter.disk.size: is too large"},
        {"a negative size in text", Stick("-1"), "bad.toml:6: adapter.disk.size: is not a size"},
        {"a disk past 16 TiB", Stick("17TiB"),
         "bad.toml:6: adapter.disk.size: must be at most 17592186044416 bytes"},
        {"a partition to the end of a disk past 2^32 sectors",
         Stick("4TiB") + Partition("start = 2048\n"),
         "bad.toml:7: adapter.disk.partition.sectors: the rest of the disk is more than"},
        {"a partition past the end", kStick + Partition("start = 2048\nsectors = 14337\n"),
         "bad.toml:9: adapter.disk.partition.sectors: the partition (sectors 2048 to 16384) "
         "does not fit the disk (16384 sectors)"},
        {"a start past the end", kStick + Partition("start = 16384\n"),
         "bad.toml:8: adapter.disk.partition.start: sector 16384 is past the end of the disk"},
        {"a fifth partition", fivePartitions,
         "bad.toml:19: adapter.disk.partition: a disk holds at most four partitions"},
        {"overlapping partitions",
         kStick + Partition("start = 2048\nsectors = 4096\n") +
             Partition("start = 4000\nsectors = 100\n"),
         "bad.toml:11: adapter.disk.partition.start: sectors 4000 to 4099 overlap partition 1 "
         "(sectors 2048 to 6143)"},
        {"a partition inside one reaching the end",
         kStick + Partition("start = 2048\n") + Partition("start = 8192\nsectors = 8\n"),
         "bad.toml:10: adapter.disk.partition.start: sectors 8192 to 8199 overlap partition 1"},
        {"a serial longer than INQUIRY holds", kStick + "serial = \"123456789012345678901\"\n",
         "bad.toml:7: adapter.disk.serial: at most 20 characters"},
        {"a label longer than a FAT label", kStick + Partition("label = \"TWELVE CHARS\"\n"),
         "bad.toml:8: adapter.disk.partition.label: at most 11 characters"},
        {"a misspelt key", kStick + "sise = \"8MiB\"\n",
         "bad.toml:7: adapter.disk.sise: unknown key"},
        {"an unknown class", "[[adapter]]\nid = \"u\"\nclass = \"FireWire\"\n",
         "bad.toml:3: adapter.class"},
        {"a size in words", Stick("lots"), "bad.toml:6: adapter.disk.size"},
        {"a broken table header", "[machine\n", "bad.toml:1:"},
        {"a 1000-byte floppy", "[floppy]\nsize = 1000\n",
         "bad.toml:2: floppy.size: is not the size of a floppy disk"},
        {"a floppy of one MiB", "[floppy]\nsize = \"1MiB\"\n",
         "bad.toml:2: floppy.size: is not the size of a floppy disk"},
        {"a time scale that is no number", "[machine]\ntime_scale = nan\n",
         "bad.toml:2: machine.time_scale: must be a number from 0 to 1000"},
        {"an endless time scale", "[machine]\ntime_scale = inf\n",
         "bad.toml:2: machine.time_scale: must be a number from 0 to 1000"},

        // Characters the TOML reader (toml++ 3.3) would meet with undefined
        // behaviour, as the fuzz target found them: refused where TOML
        // allows none, and never handed to it.
        {"a non-ASCII character in a number",
         kStick + "[[adapter.disk.partition]]\ntype = 0x\xc6\xbd\n",
         "bad.toml:8: a character outside ASCII stands outside a text or comment"},
        {"a non-ASCII character alone", "\xcc\xaa",
         "bad.toml:1: a character outside ASCII stands outside a text or comment"},
        {"a non-ASCII character after a bad number", "[machine]\nt= 5\"\xef\xba\xbf\"x\"\n",
         "bad.toml:2: "},
        {"a non-ASCII character after a backslash", "[machine]\nname = \"a\\\xc2\xa7\"\n",
         "bad.toml:2: a character outside ASCII follows a backslash"},
        {"a text that is not UTF-8", "[machine]\n\nname = \"\xc3\x28\"\n",
         "bad.toml:3: the text is not UTF-8"},
        {"a surrogate in UTF-8", "# \xed\xa0\x80\n", "bad.toml:1: the text is not UTF-8"},

        // Repeats are reported where they stand.
        {"a disk image that is the floppy's", "[floppy]\nimage = \"s.img\"\n" + kStick,
         "bad.toml:6: adapter.disk.image: image \"s.img\" is also the image of the floppy drive"},
        {"two images named alike", kStick + Disk("t", "image = \"./s.img\"\n"),
         "bad.toml:10: adapter.disk.image: image \"./s.img\" is also the image of disk \"s\""},
        {"an image named once relative and once absolute",
         "[machine]\nstate = \"/nowhere/m.state\"\n" + kStick +
             Disk("t", "image = \"/nowhere/m.state/sub/../s.img\"\n"),
         "bad.toml:12: adapter.disk.image: image \"/nowhere/m.state/sub/../s.img\" is also the "
         "image of disk \"s\""},
        {"an image that is the journal", kStick + Disk("t", "image = \"journal\"\n"),
         "bad.toml:10: adapter.disk.image: image \"journal\" is the file the machine keeps its "
         "journal in"},
        {"an image that is the machine file", kStick + Disk("t", "image = \"../bad.toml\"\n"),
         "bad.toml:10: adapter.disk.image: image \"../bad.toml\" is the machine file itself"},
        {"a letter given twice",
         kStick + "letters = [\"E:\"]\n" + Disk("t", "letters = [\"E:\"]\n"),
         "bad.toml:11: adapter.disk.letters: drive letter E: is given twice"},
        {"the floppy's letter", "[floppy]\n" + kStick + "letters = [\"a:\"]\n",
         "bad.toml:8: adapter.disk.letters: drive letter A: belongs to the floppy drive"},
    };
    TempFolder folder;
    auto file = folder.path() / "bad.toml";
    for (const auto& bad : cases) {
        SCOPED_TRACE(bad.what);
        std::ofstream(file, std::ios::trunc) << bad.toml;
        std::string error = StartError(file);
        EXPECT_NE(error.find(file.string() + ":"), std::string::npos) << error;
        EXPECT_NE(error.find(bad.error), std::string::npos) << error;
    }
    // Nothing of a refused machine is made on disk.
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "bad.state"));
}

// Only a regular file of text is a machine file: anything else is refused
// at once, before it is opened for long or read without end.
TEST(MachineFile, OnlyARegularFileOfTextIsAMachine) {
    TempFolder folder;
    auto fifo = folder.path() / "fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    auto huge = folder.path() / "huge.toml";
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, 2 * 1024 * 1024);
    struct NoMachine {
        std::filesystem::path file;
        std::string error;
    };
    for (const NoMachine& bad : {
             NoMachine{folder.path(), "is a folder, not a file"},
             NoMachine{folder.path() / "none.toml", "cannot be read"},
             NoMachine{fifo, "is a FIFO, not a regular file"},
             NoMachine{"/dev/null", "is a character device, not a regular file"},
             NoMachine{"/dev/zero", "is a character device, not a regular file"},
             NoMachine{huge, "is 2,097,152 bytes, more than the 1,048,576 it may have"},
         }) {
        std::string error = StartError(bad.file);
        EXPECT_NE(error.find(bad.file.string() + ": " + bad.error), std::string::npos) << error;
        EXPECT_EQ(GetLogicalDrives(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists("/dev/null.state"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "fifo.state"));

    // The journal every write goes to is a file too, said at the start.
    auto good = folder.path() / "good.toml";
    std::ofstream(good) << kStick;
    std::filesystem::create_directories(folder.path() / "good.state");
    auto journal = folder.path() / "good.state" / "journal";
    ASSERT_EQ(::mkfifo(journal.c_str(), 0644), 0);
    std::string error = StartError(good);
    EXPECT_NE(error.find("the write journal " + journal.string() + " is a FIFO"), std::string::npos)
        << error;
}

// Two names of one file, which no spelling shows: two disks of one image
// would write each other's sectors under the wrong name in the journal.
TEST(MachineFile, TwoNamesOfOneImageAreRefusedAtTheStart) {
    TempFolder folder;
    auto state = folder.path() / "link.state";
    std::filesystem::create_directories(state);
    std::ofstream(state / "s.img").close();
    std::filesystem::resize_file(state / "s.img", 8 << 20);
    std::filesystem::create_symlink(state / "s.img", state / "t.img");
    auto file = folder.path() / "link.toml";
    std::ofstream(file) << kStick << "[[adapter.disk]]\nid = \"t\"\nsize = \"8MiB\"\n";
    std::string error = StartError(file);
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
        "[floppy]\nsize = \"720KiB\"\n"
        "[[adapter]]\nid = \"hub.0\"\nclass = \"USB\"\nkind = \"hub\"\n"
        "[[adapter]]\nid = \"usb_1\"\nclass = \"USB\"\nparent = \"hub.0\"\n";
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
    auto disks = larkin::sim::Disks();
    ASSERT_EQ(disks.size(), 17u);
    EXPECT_EQ(disks[15].id, "Disk-15");
    EXPECT_EQ(disks[16].size, 8u * 1024 * 1024);

    // The fourth entry of the written table reaches the last sector.
    auto mbr = larkin::test::ReadAt(
        larkin::test::Open("\\\\.\\PhysicalDrive16", GENERIC_READ).Get(), 0, 512);
    ASSERT_TRUE(mbr);
    auto le32 = [&](size_t at) {
        uint32_t value = 0;
        for (size_t i = 4; i-- > 0;) value = value << 8 | std::to_integer<uint32_t>((*mbr)[at + i]);
        return value;
    };
    EXPECT_EQ(le32(446 + 48 + 8), 8192u);
    EXPECT_EQ(le32(446 + 48 + 12), 16384u - 8192u);
}

}  // namespace
