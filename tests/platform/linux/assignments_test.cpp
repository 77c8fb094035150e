#include "backends/linux/assignments.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace larkin::platform::linuxhw {
namespace {

using Keys = std::vector<std::string>;

TEST(Assignments, SystemFirstThenLowestFree) {
    Assignments book;
    Assign(book, Keys{"stick", "nvme"}, std::string("nvme"), Keys{"stick:1", "nvme:2"},
           std::string("nvme:2"));
    EXPECT_EQ(book.diskNumbers.at("nvme"), 0u);
    EXPECT_EQ(book.diskNumbers.at("stick"), 1u);
    EXPECT_EQ(book.letters.at("nvme:2"), 'C');
    EXPECT_EQ(book.letters.at("stick:1"), 'D');
}

TEST(Assignments, ARePlugKeepsWhatWasGivenAndOthersDoNotShuffle) {
    Assignments book;
    Assign(book, Keys{"a", "b"}, std::nullopt, Keys{"a:1", "b:1"}, std::nullopt);
    ASSERT_EQ(book.letters.at("a:1"), 'D');
    ASSERT_EQ(book.letters.at("b:1"), 'E');
    // a goes; a new stick c comes; a comes back.
    Assign(book, Keys{"b", "c"}, std::nullopt, Keys{"b:1", "c:1"}, std::nullopt);
    EXPECT_EQ(book.letters.at("b:1"), 'E');
    EXPECT_EQ(book.letters.at("c:1"), 'F');
    Assign(book, Keys{"a", "b", "c"}, std::nullopt, Keys{"a:1", "b:1", "c:1"}, std::nullopt);
    EXPECT_EQ(book.letters.at("a:1"), 'D');
    EXPECT_EQ(book.diskNumbers.at("a"), 1u);
    EXPECT_EQ(book.diskNumbers.at("c"), 3u);
}

TEST(Assignments, WhenLettersRunOutAnAbsentVolumesLetterIsReused) {
    Assignments book;
    Keys many;
    for (char c = 'D'; c <= 'Z'; ++c) many.push_back(std::string("old-") + c);
    Assign(book, {}, std::nullopt, many, std::nullopt);
    ASSERT_EQ(book.letters.size(), 23u);
    Assign(book, {}, std::nullopt, Keys{"new:1"}, std::nullopt);
    EXPECT_EQ(book.letters.at("new:1"), 'D');
    EXPECT_EQ(book.letters.count("old-D"), 0u);
    // All present: the 24th gets none rather than someone else's.
    many.push_back("extra");
    Assignments full;
    Assign(full, {}, std::nullopt, many, std::nullopt);
    EXPECT_EQ(full.letters.count("extra"), 0u);
}

TEST(Assignments, CIsOnlyEverTheSystemVolumes) {
    Assignments book = ParseAssignments("letter C stick:1\nletter D old:1\n");
    Assign(book, {}, std::nullopt, Keys{"stick:1"}, std::string("root:2"));
    EXPECT_EQ(book.letters.at("root:2"), 'C');
    EXPECT_NE(book.letters.at("stick:1"), 'C');
}

TEST(Assignments, RecordRoundTripsAndDropsWhatItCannotRead) {
    Assignments book;
    Assign(book, Keys{"usb-Vendor Stick-0001"}, std::nullopt, Keys{"usb-Vendor Stick-0001:1"},
           std::nullopt);
    EXPECT_EQ(ParseAssignments(FormatAssignments(book)).letters, book.letters);
    EXPECT_EQ(ParseAssignments(FormatAssignments(book)).diskNumbers, book.diskNumbers);

    Assignments garbled = ParseAssignments(
        "disk x a\ndisk 99999 b\nletter DD c\nletter @ d\nletter E\nnonsense\n"
        "disk 3 one\ndisk 3 two\nletter F e\nletter F f\n");
    EXPECT_EQ(garbled.diskNumbers, (std::map<std::string, uint32_t>{{"one", 3}}));
    EXPECT_EQ(garbled.letters, (std::map<std::string, char>{{"e", 'F'}}));
}

TEST(Assignments, EveryProcessSharesTheFile) {
    auto folder =
        std::filesystem::temp_directory_path() / ("larkin-letters-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string file = (folder / "letters").string();
    AssignInFile(file, Keys{"a"}, std::nullopt, Keys{"a:1"}, std::nullopt);
    Assignments second = AssignInFile(file, Keys{"b"}, std::nullopt, Keys{"b:1"}, std::nullopt);
    EXPECT_EQ(second.letters.at("b:1"), 'E');  // D: stays a's while it is away
    Assignments unwritable = AssignInFile((folder / "missing" / "letters").string(), Keys{"b"},
                                          std::nullopt, Keys{"b:1"}, std::nullopt);
    EXPECT_EQ(unwritable.letters.at("b:1"), 'D');
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace larkin::platform::linuxhw
