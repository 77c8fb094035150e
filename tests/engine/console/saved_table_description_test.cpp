// The description beside a saved sector 0: written and read back, every
// kind of damaged text refused; what a saved file without one must be; and
// the SHA-256 it carries, against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <fstream>
#include <random>

#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "test_machine.h"

namespace tessel::test {
namespace {

using console::FormatDescription;
using console::ParseDescription;
using console::SavedTableDescription;

const std::string kDigest(64, 'a');

SavedTableDescription Example() {
    SavedTableDescription d;
    d.sha256 = kDigest;
    d.friendlyName = "SanDisk Cruzer Blade USB Device";
    d.mountInfo = "E:";
    d.drivePath = "\\\\?\\usbstor#disk";
    d.serial = "4C530001230612";
    d.sizeBytes = 4'005'560'320u;
    d.savedAt = "2024-05-01T10:00:00Z";
    return d;
}

TEST(SavedTableDescription, ReadsCarriageReturnsCapitalDigitsAndLaterKeysNotAddedLines) {
    std::string text = "Larkin saved sector 0\r\nsha256=" + std::string(64, 'A') +
                       "\r\nsize=512\r\ncolour=blue\r\n\r\n";
    auto parsed = ParseDescription(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sha256, kDigest) << "kept in lower case";
    EXPECT_EQ(parsed->sizeBytes, 512u);
    // Control characters in names cannot add lines.
    SavedTableDescription d = Example();
    d.friendlyName = "Evil\nsha256=" + std::string(64, 'b');
    parsed = ParseDescription(FormatDescription(d));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sha256, kDigest);
    EXPECT_EQ(parsed->friendlyName.find('\n'), std::string::npos);
}

TEST(SavedTableDescription, RefusesWhatIsNotADescription) {
    const std::string good = FormatDescription(Example());
    const std::string header = "Larkin saved sector 0\n";
    for (const std::string& text : {
             std::string(),
             std::string("not a description\nsha256=") + kDigest,
             header,                                                // no digest
             header + "sha256=" + std::string(63, 'a'),             // short digest
             header + "sha256=" + std::string(64, 'g'),             // not hexadecimal
             header + "sha256=" + kDigest + "\nsha256=" + kDigest,  // twice
             header + "sha256=" + kDigest + "\nsize=12x",
             header + "sha256=" + kDigest + "\nsize=",
             header + "sha256=" + kDigest + "\nsize=99999999999999999999999",
             header + "sha256=" + kDigest + "\nno equals sign",
             good + std::string(console::kDescriptionLimit, ' '),
         }) {
        EXPECT_FALSE(ParseDescription(text)) << text;
    }
}

TEST(SavedTableDescription, FileRoundTripAndTheThreeWaysOfFailing) {
    larkin::test::TestMachine machine("[machine]\ntime_scale = 0\n");
    larkin::test::TempFolder folder;
    std::string path = (folder.path() / "saved.bin.info").string();
    SavedTableDescription read;
    EXPECT_EQ(console::ReadDescriptionFile(path, read), console::DescriptionRead::missing);
    ASSERT_TRUE(console::WriteDescriptionFile(path, Example()));
    ASSERT_EQ(console::ReadDescriptionFile(path, read), console::DescriptionRead::ok);
    EXPECT_EQ(FormatDescription(read), FormatDescription(Example())) << "every field";
    std::ofstream(path) << "garbage";
    EXPECT_EQ(console::ReadDescriptionFile(path, read), console::DescriptionRead::invalid);
    EXPECT_FALSE(
        console::WriteDescriptionFile((folder.path() / "none" / "x.info").string(), Example()));
}

TEST(SavedTableDescription, ASectorWithoutOneMustHoldATableThatFitsTheDrive) {
    const std::uint64_t drive = 1000 * 512;
    auto sector = [](std::initializer_list<std::array<std::uint32_t, 4>> entries) {
        std::array<std::uint8_t, 512> bytes{};
        bytes[510] = 0x55;
        bytes[511] = 0xAA;
        std::size_t at = 446;
        for (const auto& [status, type, first, length] : entries) {
            bytes[at] = static_cast<std::uint8_t>(status);
            bytes[at + 4] = static_cast<std::uint8_t>(type);
            for (int i = 0; i < 4; ++i) {
                bytes[at + 8 + i] = static_cast<std::uint8_t>(first >> (8 * i));
                bytes[at + 12 + i] = static_cast<std::uint8_t>(length >> (8 * i));
            }
            at += 16;
        }
        return bytes;
    };
    EXPECT_FALSE(console::TableProblem(sector({}), drive)) << "no partitions";
    EXPECT_FALSE(console::TableProblem(sector({{0x80, 0x0E, 63, 937}, {0, 0x83, 1, 62}}), drive));
    auto unsigned_ = sector({{0x80, 0x0E, 63, 900}});
    unsigned_[511] = 0;
    struct Case {
        std::array<std::uint8_t, 512> bytes;
        std::string why;
    };
    for (const Case& c : {
             Case{unsigned_, "it does not end in 55 AA"},
             Case{sector({{0x7F, 0x0E, 63, 900}}),
                  "partition entry 0 has the status 127, not 0 or 128"},
             Case{sector({{0, 0, 0, 0}, {0x80, 0x0E, 0, 900}}),
                  "partition entry 1 is used but starts at 0 or is empty"},
             Case{sector({{0x80, 0x0E, 63, 0}}),
                  "partition entry 0 is used but starts at 0 or is empty"},
             Case{sector({{0x80, 0x0E, 63, 938}}),
                  "partition entry 0 ends at sector 1001, past the drive's 1000"},
             Case{sector({{0x80, 0x0E, 63, 900}, {0, 0x0E, 900, 10}}),
                  "partition entry 1 overlaps another entry"},
         }) {
        EXPECT_EQ(console::TableProblem(c.bytes, drive).value_or("none"), c.why);
    }
}

TEST(Sha256, AgreesWithOpenSslAtEveryLengthUpTo300AndAtAMillion) {
    std::mt19937 random(7);
    std::vector<std::size_t> lengths(301);
    for (std::size_t i = 0; i < lengths.size(); ++i) lengths[i] = i;
    lengths.push_back(1'000'000);
    for (std::size_t length : lengths) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> expected(SHA256_DIGEST_LENGTH);
        SHA256(bytes.data(), bytes.size(), expected.data());
        console::Sha256Digest digest = console::Sha256(bytes);
        ASSERT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()), expected)
            << "length " << length;
    }
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(console::Sha256Hex(abc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tessel::test
