// The description beside a saved sector 0, what a saved sector without one
// must hold, and its SHA-256 against OpenSSL.
#include <openssl/sha.h>

#include <random>

#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "engine_test_support.h"

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
    // Read back as written, later keys ignored, the digest in lower case;
    // control characters in names cannot add lines.
    SavedTableDescription evil = kExample, minimal{kDigest, "", "", "", "", 512, ""};
    evil.friendlyName = "Evil\nsha256=" + std::string(64, 'b');
    const std::string example = FormatDescription(kExample);
    for (const auto& [text, expected] :
         {std::pair{example, kExample},
          {FormatDescription(evil), evil},
          {"Larkin saved sector 0\r\nsha256=" + std::string(64, 'A') +
               "\r\nsize=512\r\ncolour=blue\r\n\r\n",
           minimal}})
        EXPECT_EQ(FormatDescription(ParseDescription(text).value_or(SavedTableDescription{})),
                  FormatDescription(expected));
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
    auto unsigned_ = MbrSector({{0x80, 0x0E, 63, 900}});
    unsigned_[511] = 0;
    for (const auto& [bytes, why] :
         std::initializer_list<std::pair<std::vector<std::uint8_t>, std::string>>{
             {MbrSector({}), "none"},
             {MbrSector({{0x80, 0x0E, 63, 937}, {0, 0x83, 1, 62}}), "none"},
             {unsigned_, "it does not end in 55 AA"},
             {MbrSector({{0x7F, 0x0E, 63, 900}}),
              "partition entry 0 has the status 127, not 0 or 128"},
             {MbrSector({{0, 0, 0, 0}, {0x80, 0x0E, 0, 900}}),
              "partition entry 1 is used but starts at 0 or is empty"},
             {MbrSector({{0x80, 0x0E, 63, 0}}),
              "partition entry 0 is used but starts at 0 or is empty"},
             {MbrSector({{0x80, 0x0E, 63, 938}}),
              "partition entry 0 ends at sector 1001, past the drive's 1000"},
             {MbrSector({{0x80, 0x0E, 63, 900}, {0, 0x0E, 900, 10}}),
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
