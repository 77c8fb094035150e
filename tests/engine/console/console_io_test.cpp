// The console: reading answers, numbers and names line by line, where lines
// and prompts go, and the device dialogue as the user meets it, every prompt
// and line for both question forms.
#include <gtest/gtest.h>

#include <cstring>

#include "console/console_io.h"
#include "console/device_dialogue.h"
#include "console_test_support.h"

namespace tessel::test {
namespace {

using console::Read;

TEST(ConsoleInput, DecimalNumbers) {
    for (auto [word, value] : {std::pair{"63", 63ll},
                               {"-5", -5ll},
                               {"+7", 7ll},
                               {"9223372036854775807", 9223372036854775807ll}}) {
        std::int64_t n = 0;
        EXPECT_TRUE(console::ParseDecimal(word, n)) << word;
        EXPECT_EQ(n, value);
    }
    std::int64_t n = 0;
    for (const char* word :
         {"", "+", "-", "+-1", "12a", "0x10", "1e3", "9223372036854775808", "3.5", "--1"})
        EXPECT_FALSE(console::ParseDecimal(word, n)) << word;
}

TEST(ConsoleInput, BlankLinesArePassedTheRestOfALineDroppedAndGarbageRefusedAndConsumed) {
    MemoryConsole memory("\n   \n  yes please\n12 13\nname.bin trailing\nabc\n" +
                         std::string(52, 'n') + "\n" + std::string(51, 'n') + "\nq");
    console::Console& in = memory.console();
    char answer = 0;
    ASSERT_EQ(in.ReadAnswer(answer), Read::ok);
    EXPECT_EQ(answer, 'y');
    std::int64_t number = 0;
    ASSERT_EQ(in.ReadNumber(number), Read::ok);
    EXPECT_EQ(number, 12) << "13 went with its line";
    std::string name;
    ASSERT_EQ(in.ReadName(name, 99), Read::ok);
    EXPECT_EQ(name, "name.bin");
    EXPECT_EQ(in.ReadNumber(number), Read::notNumber);
    EXPECT_EQ(in.ReadName(name, 51), Read::tooLong);
    EXPECT_EQ(name, "name.bin");
    EXPECT_EQ(in.ReadName(name, 51), Read::ok);
    EXPECT_EQ(name.size(), 51u);
    ASSERT_EQ(in.ReadAnswer(answer), Read::ok) << "a last line without its end";
    EXPECT_EQ(answer, 'q');
    EXPECT_EQ(in.ReadAnswer(answer), Read::end);
    EXPECT_EQ(in.ReadNumber(number), Read::end);
    EXPECT_EQ(in.ReadName(name, 99), Read::end);
}

TEST(ConsoleOutput, LinesAndPromptsGoToTheirStreams) {
    MemoryConsole memory("");
    memory.console().Line("\n line");
    memory.console().Write("\n >>");
    memory.console().ErrorLine("\n warning");
    EXPECT_EQ(memory.output(), "\n line\n\n >>");
    EXPECT_EQ(memory.errors(), "\n warning\n");
}

using console::QuestionStyle;

constexpr char kPick[] = "\n Please Select Device # from list above\n\n >>";
constexpr char kPickQuestion[] = "\n Is this info correct? (y/n)  [q:Quit]: ";
constexpr char kMatchQuestion[] = "\n Is this info correct? (y/n) [q:Quit] : ";
constexpr char kFirst[] = "Device # 1 : SanDisk Cruzer [E:] [~4005 MB]\n";
constexpr char kSecond[] = "\n You Selected Device # 2 : Kingston DT [F:] [~64 MB]\n";

struct Dialogue {
    std::string answers;
    const char* letter;  // "E:" matches the first row
    QuestionStyle style;
    std::optional<int> chosen;
    std::string output;  // empty: not compared
};

std::string Repeated(const std::string& text, int times) {
    std::string all;
    while (times-- > 0) all += text;
    return all;
}

TEST(DeviceDialogue, PicksConfirmsAndQuitsWithEveryPromptAndLine) {
    const std::string matched = std::string("\n You selected ") + kFirst + kMatchQuestion;
    const std::string end = std::string(console::kEndOfInput) + "\n";
    const Dialogue dialogues[] = {
        {"2\ny\n", "G:", QuestionStyle::writer, 1,
         std::string("\n Selected Drive Letter G: not found!\n") + kPick + kSecond + kPickQuestion},
        // Zero, one past the count, negative, not a number, too big.
        {"0\n3\n-1\nabc\n99999999999999999999\n1\nY\n", nullptr, QuestionStyle::writer, 0,
         Repeated(std::string(kPick) + "\n Invalid Device #\n", 5) + kPick + "\n You Selected " +
             kFirst + kPickQuestion},
        // Other answers ask again; n goes back to picking.
        {"1\nmaybe\n?\nn\n2\ny\n", nullptr, QuestionStyle::writer, 1,
         kPick + ("\n You Selected " + std::string(kFirst)) + Repeated(kPickQuestion, 3) + kPick +
             kSecond + kPickQuestion},
        {"y\n", "E:", QuestionStyle::writer, 0, matched},
        {"N\n2\ny\n", "E:", QuestionStyle::restorer, 1,
         matched + "\n\n >>" + kPick + kSecond + kPickQuestion + "\n >>"},
        // q quits at once without a word.
        {"Q\n", "E:", QuestionStyle::writer, std::nullopt, matched},
        {"1\nq\n", nullptr, QuestionStyle::writer, std::nullopt,
         kPick + ("\n You Selected " + std::string(kFirst)) + kPickQuestion},
        // The end of the input ends it with one line at every question.
        {"", nullptr, QuestionStyle::writer, std::nullopt, kPick + end},
        {"1\n", nullptr, QuestionStyle::writer, std::nullopt,
         kPick + ("\n You Selected " + std::string(kFirst)) + kPickQuestion + end},
        {"abc\n", nullptr, QuestionStyle::writer, std::nullopt,
         kPick + std::string("\n Invalid Device #\n") + kPick + end},
    };
    for (const Dialogue& d : dialogues) {
        MemoryConsole memory(d.answers);
        console::DeviceList list;
        list.reported = list.listed = 2;
        std::strcpy(list.rows[0].friendlyName.data(), "SanDisk Cruzer");
        std::strcpy(list.rows[0].mountInfo.data(), "E:");
        list.rows[0].sizeMb = 4005;
        std::strcpy(list.rows[1].friendlyName.data(), "Kingston DT");
        std::strcpy(list.rows[1].mountInfo.data(), "F:");
        list.rows[1].sizeMb = 64;
        if (d.letter != nullptr && std::strcmp(d.letter, "E:") == 0) list.match = 0;
        EXPECT_EQ(console::ChooseDevice(list, d.letter, d.style, memory.console()), d.chosen)
            << d.answers;
        EXPECT_EQ(memory.output(), d.output) << d.answers;
    }
}

TEST(DeviceDialogue, AskYesNoTakesOnlyYAndSizesAreComputedIn64Bits) {
    for (auto [answers, yes] : {std::pair{"y\n", true},
                                {"Y\n", true},
                                {"n\n", false},
                                {"q\n", false},
                                {"", false},
                                {"x\ny\n", true}}) {
        MemoryConsole memory(answers);
        EXPECT_EQ(console::AskYesNo("\n Go? ", QuestionStyle::restorer, memory.console()), yes)
            << answers;
    }
    EXPECT_EQ(console::ApproximateMegabytes(7'823'359), 4005u);         // 4,005,560,320 bytes
    EXPECT_EQ(console::ApproximateMegabytes(0xFFFFFFFEu), 2'199'023u);  // 2 TiB, past 4 GiB
    EXPECT_EQ(console::ApproximateMegabytes(0), 0u);
}

}  // namespace
}  // namespace tessel::test
