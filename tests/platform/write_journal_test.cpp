// The write journal read back as written: a disk's key is one word of its
// line whatever it holds (a hardware key carries the model's name).
#include "machine/write_journal.h"

#include <gtest/gtest.h>

#include <fstream>

#include "test_machine.h"

namespace larkin::platform {
namespace {

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
    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(entries[i].disk, keys[i]);
        EXPECT_EQ(entries[i].offset, i * 512);
        EXPECT_EQ(entries[i].completed, i != 0);
        EXPECT_EQ(entries[i].via, "WriteFile");
    }
    EXPECT_EQ(entries.back().disk, "old%zz");
}

}  // namespace
}  // namespace larkin::platform
