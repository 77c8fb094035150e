// The machine's pieces below the runtime: drive letters and the write journal.
#include "machine/drive_letters.h"
#include "machine/write_journal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "test_machine.h"

namespace larkin::platform {
namespace {

using Keys = std::vector<std::string>;
using Letters = std::map<std::string, char>;

TEST(Assignments, SystemFirstThenLowestFreeAndCIsTheSystemVolumesAlone) {
    Assignments book;
    Assign(book, Keys{"stick", "nvme"}, std::string("nvme"), Keys{"stick:1", "nvme:2"},
           std::string("nvme:2"));
    EXPECT_EQ(book.diskNumbers, (std::map<std::string, uint32_t>{{"nvme", 0}, {"stick", 1}}));
    EXPECT_EQ(book.letters, (Letters{{"nvme:2", 'C'}, {"stick:1", 'D'}}));

    book = ParseAssignments("letter C stick:1\nletter D old:1\n");
    Assign(book, {}, std::nullopt, Keys{"stick:1"}, std::string("root:2"));
    EXPECT_EQ(book.letters, (Letters{{"old:1", 'D'}, {"root:2", 'C'}, {"stick:1", 'E'}}));
}

TEST(Assignments, ARePlugKeepsWhatWasGivenAndOthersDoNotShuffle) {
    Assignments book;
    Assign(book, Keys{"a", "b"}, std::nullopt, Keys{"a:1", "b:1"}, std::nullopt);
    // a goes; a new stick c comes; a comes back.
    const Letters given = {{"a:1", 'D'}, {"b:1", 'E'}, {"c:1", 'F'}};
    Assign(book, Keys{"b", "c"}, std::nullopt, Keys{"b:1", "c:1"}, std::nullopt);
    EXPECT_EQ(book.letters, given);
    Assign(book, Keys{"a", "b", "c"}, std::nullopt, Keys{"a:1", "b:1", "c:1"}, std::nullopt);
    EXPECT_EQ(book.letters, given);
    EXPECT_EQ(book.diskNumbers, (std::map<std::string, uint32_t>{{"a", 1}, {"b", 2}, {"c", 3}}));
}

// A letter stays with its drive: one disk never takes the letter another
// disk is remembered by, however many volumes it brings.
TEST(Assignments, LettersStayWithTheirDisk) {
    Keys many;  // a stick with 25 volumes
    for (int i = 1; i <= 25; ++i) many.push_back("many:" + std::to_string(i));
    std::string everyLetter;  // D: to Z: each remembered for an absent stick
    for (char c = 'D'; c <= 'Z'; ++c)
        everyLetter += std::string("letter ") + c + " old" + c + ":1\n";
    struct Case {
        const char* what;
        std::string record;
        Keys volumes;
        Letters expected;  // '-' for no letter
    };
    const Case cases[] = {
        {"a stick of many volumes leaves another's letter alone",
         "letter D other:1\n",
         many,
         {{"other:1", 'D'}, {"many:1", 'E'}, {"many:22", 'Z'}, {"many:23", '-'}, {"many:25", '-'}}},
        {"every letter remembered: a new stick gets none",
         everyLetter,
         Keys{"new:1"},
         {{"new:1", '-'}, {"oldD:1", 'D'}, {"oldZ:1", 'Z'}}},
        {"a stick whose partitions changed keeps its letter",
         "letter D other:1\nletter E stick:1\n",
         Keys{"other:1", "stick:2"},
         {{"stick:2", 'E'}, {"stick:1", '-'}, {"other:1", 'D'}}},
        {"a stick's second volume finds no free letter and gets none",
         everyLetter,
         Keys{"oldE:1", "oldE:2"},
         {{"oldE:1", 'E'}, {"oldE:2", '-'}, {"oldD:1", 'D'}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Assignments book = ParseAssignments(c.record);
        Assign(book, {}, std::nullopt, c.volumes, std::nullopt);
        for (const auto& [key, letter] : c.expected) {
            auto found = book.letters.find(key);
            EXPECT_EQ(found == book.letters.end() ? '-' : found->second, letter) << key;
        }
    }
    EXPECT_EQ(DiskOfVolume("path:pci-0000:00:14.0-usb-0:1:1.0:2"),
              "path:pci-0000:00:14.0-usb-0:1:1.0");
}

TEST(Assignments, RecordRoundTripsAndDropsWhatItCannotRead) {
    Assignments book;
    Assign(book, Keys{"usb-Vendor Stick-0001"}, std::nullopt, Keys{"usb-Vendor Stick-0001:1"},
           std::nullopt);
    Assignments back = ParseAssignments(FormatAssignments(book));
    EXPECT_EQ(std::tie(back.letters, back.diskNumbers), std::tie(book.letters, book.diskNumbers));

    Assignments garbled = ParseAssignments(
        "disk x a\ndisk 99999 b\nletter DD c\nletter @ d\nletter E\nnonsense\n"
        "disk 3 one\ndisk 3 two\nletter F e\nletter F f\n");
    EXPECT_EQ(garbled.diskNumbers, (std::map<std::string, uint32_t>{{"one", 3}}));
    EXPECT_EQ(garbled.letters, (Letters{{"e", 'F'}}));
}

TEST(Assignments, EveryProcessSharesTheFile) {
    test::TempFolder temp;
    const auto& folder = temp.path();
    std::string file = (folder / "letters").string();
    AssignInFile(file, Keys{"a"}, std::nullopt, Keys{"a:1"}, std::nullopt);
    Assignments second = AssignInFile(file, Keys{"b"}, std::nullopt, Keys{"b:1"}, std::nullopt);
    EXPECT_EQ(second.letters.at("b:1"), 'E');  // D: stays a's while it is away
    Assignments unwritable = AssignInFile((folder / "missing" / "letters").string(), Keys{"b"},
                                          std::nullopt, Keys{"b:1"}, std::nullopt);
    EXPECT_EQ(unwritable.letters.at("b:1"), 'D');
}

// The write journal read back as written: a disk's key is one word of its
// line whatever it holds (a hardware key carries the model's name).
TEST(WriteJournal, EveryKeyReadsBackWhole) {
    test::TempFolder folder;
    const std::string file = (folder.path() / "journal").string();
    WriteJournal journal(file);
    const std::vector<std::string> keys = {"serial:SanDisk/Cruzer Blade/4C530001\t22/0:0:0:0",
                                           "path:pci-0000:00:14.0-usb-\xC3\x84", "100%/x", "%41",
                                           "stick1"};
    for (size_t i = 0; i < keys.size(); ++i) {
        uint64_t key = 0;
        ASSERT_EQ(journal.Intent(keys[i], i * 512, 512, "WriteFile", &key), ERROR_SUCCESS);
        journal.Done(key, i != 0);
    }
    // A line of a journal written before keys were escaped.
    std::ofstream(file, std::ios::app) << "+ 7.1 old%zz 0 512 WriteFile\n";

    auto entries = journal.Entries();
    ASSERT_EQ(entries.size(), keys.size() + 1);
    for (size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(
            std::tie(entries[i].disk, entries[i].offset, entries[i].completed, entries[i].via),
            std::tuple(keys[i], i * 512, i != 0, "WriteFile"));
    EXPECT_EQ(entries.back().disk, "old%zz");
}

}  // namespace
}  // namespace larkin::platform
