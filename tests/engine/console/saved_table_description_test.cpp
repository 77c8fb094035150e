// The description beside a saved sector 0, what a saved sector without one
// must hold, and its SHA-256 against OpenSSL.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <random>

#include "console/saved_table_description.h"
#include "console/sha256.h"

namespace tessel::test {
namespace {

using console::FormatDescription;
using console::ParseDescription;
using console::SavedTableDescription;

const std::string kDigest(64, 'a');

const SavedTableDescription kExample{kDigest,
                                     "SanDisk Cruzer Blade USB Device",
                                     "E:",
                                     "\\\\?\\usbstor#disk",
                                     "4C530001230612",
                                     4'005'560'320u,
                                     "2024-05-01T10:00:00Z"};

TEST(SavedTableDescription, ReadsEveryFieldAndLaterKeysRefusesWhatIsNoDescription) {
    const std::string example = FormatDescription(kExample);
    EXPECT_EQ(FormatDescription(ParseDescription(example).value_or(SavedTableDescription{})),
              example);
    auto parsed = ParseDescription("Larkin saved sector 0\r\nsha256=" + std::string(64, 'A') +
                                   "\r\nsize=512\r\ncolour=blue\r\n\r\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sha256, kDigest) << "kept in lower case";
    EXPECT_EQ(parsed->sizeBytes, 512u);
    // Control characters in names cannot add lines.
    SavedTableDescription evil = kExample;
    evil.friendlyName = "Evil\nsha256=" + std::string(64, 'b');
    parsed = ParseDescription(FormatDescription(evil));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sha256, kDigest);
    EXPECT_EQ(parsed->friendlyName.find('\n'), std::string::npos);
    // What is not a description is refused.
    const std::string header = "Larkin saved sector 0\n";
    for (const std::string& text : {
             std::string(),
             std::string("not a description\nsha256=") + kDigest,
             header,                                                // no digest
             header + "sha256=" + std::string(63, 'a'),             // short digest
             header + "sha256=" + std::string(64, 'g'),             // not hexadecimal
             header + "sha256=" + kDigest + "\nsha256=" + kDigest,  // twice
             header + "sha256=" + kDigest + "\nsize=12x",
             header + "sha256=" + kDigest + "\nsize=99999999999999999999999",
             header + "sha256=" + kDigest + "\nno equals sign",
             example + std::string(console::kDescriptionLimit, ' '),
         }) {
        EXPECT_FALSE(ParseDescription(text)) << text;
    }
}

TEST(SavedTableDescription, ASectorWithoutOneMustHoldATableThatFitsTheDrive) {
    // Entries of status, type, first sector and length.
    auto sector = [](std::initializer_list<std::array<std::uint32_t, 4>> entries) {
        std::array<std::uint8_t, 512> bytes{};
        bytes[510] = 0x55, bytes[511] = 0xAA;
        std::size_t at = 446;
        for (const auto& [status, type, first, length] : entries) {
            bytes[at] = status, bytes[at + 4] = type;
            for (int i = 0; i < 4; ++i)
                bytes[at + 8 + i] = first >> (8 * i), bytes[at + 12 + i] = length >> (8 * i);
            at += 16;
        }
        return bytes;
    };
    auto unsigned_ = sector({{0x80, 0x0E, 63, 900}});
    unsigned_[511] = 0;
    for (const auto& [bytes, why] :
         std::initializer_list<std::pair<std::array<std::uint8_t, 512>, std::string>>{
             {sector({}), "none"},
             {sector({{0x80, 0x0E, 63, 937}, {0, 0x83, 1, 62}}), "none"},
             {unsigned_, "it does not end in 55 AA"},
             {sector({{0x7F, 0x0E, 63, 900}}),
              "partition entry 0 has the status 127, not 0 or 128"},
             {sector({{0, 0, 0, 0}, {0x80, 0x0E, 0, 900}}),
              "partition entry 1 is used but starts at 0 or is empty"},
             {sector({{0x80, 0x0E, 63, 0}}),
              "partition entry 0 is used but starts at 0 or is empty"},
             {sector({{0x80, 0x0E, 63, 938}}),
              "partition entry 0 ends at sector 1001, past the drive's 1000"},
             {sector({{0x80, 0x0E, 63, 900}, {0, 0x0E, 900, 10}}),
              "partition entry 1 overlaps another entry"},
         })
        EXPECT_EQ(console::TableProblem(bytes, 1000 * 512).value_or("none"), why);
}

TEST(Sha256, AgreesWithOpenSslAtEveryLengthUpTo300) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 300; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> expected(SHA256_DIGEST_LENGTH);
        SHA256(bytes.data(), bytes.size(), expected.data());
        console::Sha256Digest digest = console::Sha256(bytes);
        ASSERT_EQ(std::vector<std::uint8_t>(digest.begin(), digest.end()), expected) << length;
    }
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(console::Sha256Hex(abc),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace tessel::test
