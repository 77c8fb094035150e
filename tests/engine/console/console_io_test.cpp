// The console's line reading, the device dialogue's every prompt, the
// description beside a saved sector 0, what a saved sector without one must
// hold, and its SHA-256 against OpenSSL.
#include <openssl/sha.h>

#include <random>

#include "console/device_dialogue.h"
#include "console/saved_table_description.h"
#include "console/sha256.h"
#include "engine_test_support.h"

namespace tessel::test {
namespace {

using console::FormatDescription;
using console::ParseDescription;
using console::QuestionStyle;
using console::Read;
using console::SavedTableDescription;

// What op gives on a Console that reads input, and what it wrote.
template <class Op>
auto Dialogue(std::string_view input, Op op) {
    OutputStream out{[] { return stdout; }}, err{[] { return stderr; }};
    InputStream stream{[] { return stdin; }};
    console::Console console{out, err, stream};
    decltype(op(console)) result{};
    std::string output = CapturedOutput([&] { result = op(console); }, input);
    return std::pair(result, output);
}

TEST(ConsoleInput, NumbersNamesAndAnswersLineByLineToTheEnd) {
    std::int64_t number = 0;
    for (auto [word, value] :
         {std::pair{"+7", 7ll}, {"-5", -5ll}, {"9223372036854775807", 9223372036854775807ll}})
        EXPECT_TRUE(console::ParseDecimal(word, number) && number == value) << word;
    for (const char* word : {"", "+", "+-1", "12a", "9223372036854775808"})
        EXPECT_FALSE(console::ParseDecimal(word, number)) << word;

    char answer = 0;
    std::string name;
    auto read = [&](console::Console& in) {
        ::testing::internal::CaptureStderr();  // all the errors written while reading
        EXPECT_EQ(in.ReadAnswer(answer), Read::ok);
        EXPECT_EQ(answer, 'y');
        EXPECT_EQ(in.ReadNumber(number), Read::ok);
        EXPECT_EQ(number, 12) << "13 went with its line";
        EXPECT_EQ(in.ReadName(name, 99), Read::ok);
        EXPECT_EQ(name, "name.bin");
        EXPECT_EQ(in.ReadNumber(number), Read::notNumber);
        EXPECT_EQ(in.ReadName(name, 51), Read::tooLong);
        EXPECT_EQ(in.ReadName(name, 51), Read::ok);
        EXPECT_EQ(name.size(), 51u);
        EXPECT_EQ(in.ReadAnswer(answer), Read::ok) << "a last line without its end";
        EXPECT_EQ(answer, 'q');
        EXPECT_EQ(in.ReadAnswer(answer), Read::end);
        EXPECT_EQ(in.ReadNumber(number), Read::end);
        EXPECT_EQ(in.ReadName(name, 99), Read::end);
        in.Line("\n line");
        in.Write("\n >>");
        in.ErrorLine("\n warning");
        return ::testing::internal::GetCapturedStderr();
    };
    EXPECT_EQ(Dialogue("\n   \n  yes please\n12 13\nname.bin trailing\nabc\n" +
                           std::string(52, 'n') + "\n" + std::string(51, 'n') + "\nq",
                       read),
              std::pair(std::string("\n warning\n"), std::string("\n line\n\n >>")));
}

constexpr char kPick[] = "\n Please Select Device # from list above\n\n >>";
constexpr char kAsk[] = "\n Is this info correct? (y/n)  [q:Quit]: ";
constexpr char kFirst[] = "Device # 1 : SanDisk Cruzer [E:] [~4005 MB]\n";
constexpr char kSecond[] = "\n You Selected Device # 2 : Kingston DT [F:] [~64 MB]\n";

TEST(DeviceDialogue, PicksConfirmsAndQuitsWithEveryPromptAndLine) {
    const std::string matched =
        "\n You selected " + std::string(kFirst) + "\n Is this info correct? (y/n) [q:Quit] : ";
    const std::string pickedFirst = kPick + ("\n You Selected " + std::string(kFirst)) + kAsk;
    const std::string end = std::string(console::kEndOfInput) + "\n";
    const std::string badPick = kPick + std::string("\n Invalid Device #\n");
    const struct {
        std::string answers;
        const char* letter;  // "E:" matches the first row
        QuestionStyle style;
        std::optional<int> chosen;
        std::string output;
    } dialogues[] = {
        {"2\ny\n", "G:", QuestionStyle::writer, 1,
         std::string("\n Selected Drive Letter G: not found!\n") + kPick + kSecond + kAsk},
        // Zero, one past the count, negative, not a number, too big.
        {"0\n3\n-1\nabc\n99999999999999999999\n1\nY\n", nullptr, QuestionStyle::writer, 0,
         badPick + badPick + badPick + badPick + badPick + pickedFirst},
        // Other answers ask again; n goes back to picking.
        {"1\nmaybe\n?\nn\n2\ny\n", nullptr, QuestionStyle::writer, 1,
         pickedFirst + kAsk + kAsk + kPick + kSecond + kAsk},
        {"y\n", "E:", QuestionStyle::writer, 0, matched},
        {"N\n2\ny\n", "E:", QuestionStyle::restorer, 1,
         matched + "\n\n >>" + kPick + kSecond + kAsk + "\n >>"},
        // q quits at once without a word; the end of the input with one line.
        {"Q\n", "E:", QuestionStyle::writer, std::nullopt, matched},
        {"1\nq\n", nullptr, QuestionStyle::writer, std::nullopt, pickedFirst},
        {"", nullptr, QuestionStyle::writer, std::nullopt, kPick + end},
        {"1\n", nullptr, QuestionStyle::writer, std::nullopt, pickedFirst + end},
        {"abc\n", nullptr, QuestionStyle::writer, std::nullopt, badPick + kPick + end},
    };
    console::DeviceList list;
    list.reported = list.listed = 2;
    for (auto [row, name, letter, size] :
         {std::tuple{0, "SanDisk Cruzer", "E:", 4005}, {1, "Kingston DT", "F:", 64}}) {
        std::strcpy(list.rows[row].friendlyName.data(), name);
        std::strcpy(list.rows[row].mountInfo.data(), letter);
        list.rows[row].sizeMb = size;
    }
    for (const auto& d : dialogues) {
        list.match = d.letter != nullptr && std::strcmp(d.letter, "E:") == 0 ? 0 : -1;
        EXPECT_EQ(Dialogue(d.answers,
                           [&](auto& in) { return ChooseDevice(list, d.letter, d.style, in); }),
                  std::pair(d.chosen, d.output))
            << d.answers;
    }
    for (auto [answers, yes] : {std::pair{"x\nY\n", true}, {"q\n", false}, {"", false}}) {
        auto [said, output] = Dialogue(
            answers, [](auto& in) { return AskYesNo("\n Go? ", QuestionStyle::restorer, in); });
        EXPECT_EQ(said, yes) << answers;
        EXPECT_EQ(output.ends_with(end), !*answers) << answers;
    }
    EXPECT_EQ(console::ApproximateMegabytes(0xFFFFFFFEu), 2'199'023u) << "2 TiB, past 4 GiB";
}

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
