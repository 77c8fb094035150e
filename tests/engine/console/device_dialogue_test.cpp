// The device dialogue as the user meets it: every prompt and line, for both
// question forms, with answers that catch the dialogue's real faults.
#include <gtest/gtest.h>

#include <cstring>

#include "console/device_dialogue.h"
#include "console_test_support.h"

namespace tessel::test {
namespace {

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
