// The device dialogue as the user meets it: every prompt and line, for both
// question forms, with answers that catch the dialogue's real faults.
#include <gtest/gtest.h>

#include <cstring>

#include "console/device_dialogue.h"
#include "console_test_support.h"

namespace tessel::test {
namespace {

using console::ChooseDevice;
using console::DeviceList;
using console::QuestionStyle;

DeviceList TwoDrives() {
    DeviceList list;
    list.reported = list.listed = 2;
    std::strcpy(list.rows[0].friendlyName.data(), "SanDisk Cruzer");
    std::strcpy(list.rows[0].mountInfo.data(), "E:");
    list.rows[0].sizeMb = 4005;
    std::strcpy(list.rows[1].friendlyName.data(), "Kingston DT");
    std::strcpy(list.rows[1].mountInfo.data(), "F:");
    list.rows[1].sizeMb = 64;
    return list;
}

constexpr char kPick[] = "\n Please Select Device # from list above\n\n >>";
constexpr char kInvalid[] = "\n Invalid Device #\n";
constexpr char kWriterPickQuestion[] = "\n Is this info correct? (y/n)  [q:Quit]: ";

TEST(DeviceDialogue, ApproximateSizeIsComputedIn64Bits) {
    EXPECT_EQ(console::ApproximateMegabytes(7'823'359), 4005u);         // 4,005,560,320 bytes
    EXPECT_EQ(console::ApproximateMegabytes(0xFFFFFFFEu), 2'199'023u);  // 2 TiB, past 4 GiB
    EXPECT_EQ(console::ApproximateMegabytes(0), 0u);
}

TEST(DeviceDialogue, NoMatchGoesStraightToPickingThenConfirms) {
    MemoryConsole memory("2\ny\n");
    DeviceList list = TwoDrives();
    EXPECT_EQ(ChooseDevice(list, "G:", QuestionStyle::writer, memory.console()), 1);
    EXPECT_EQ(memory.output(), std::string("\n Selected Drive Letter G: not found!\n") + kPick +
                                   "\n You Selected Device # 2 : Kingston DT [F:] [~64 MB]\n" +
                                   kWriterPickQuestion);
}

TEST(DeviceDialogue, ZeroAndOneMoreThanTheCountAreInvalid) {
    MemoryConsole memory("0\n3\n-1\nabc\n99999999999999999999\n1\nY\n");
    DeviceList list = TwoDrives();
    EXPECT_EQ(ChooseDevice(list, nullptr, QuestionStyle::writer, memory.console()), 0);
    std::string out = memory.output();
    std::string expected;
    for (int i = 0; i < 5; ++i) expected += std::string(kPick) + kInvalid;
    expected += std::string(kPick) +
                "\n You Selected Device # 1 : SanDisk Cruzer [E:] [~4005 MB]\n" +
                kWriterPickQuestion;
    EXPECT_EQ(out, expected);
}

TEST(DeviceDialogue, OtherAnswersAskAgainAndNGoesBackToPicking) {
    MemoryConsole memory("1\nmaybe\n?\nn\n2\ny\n");
    DeviceList list = TwoDrives();
    EXPECT_EQ(ChooseDevice(list, nullptr, QuestionStyle::writer, memory.console()), 1);
    std::string out = memory.output();
    std::size_t asked = 0;
    for (std::size_t at = 0; (at = out.find(kWriterPickQuestion, at)) != std::string::npos; ++at)
        ++asked;
    EXPECT_EQ(asked, 4u) << out;
    EXPECT_NE(out.find("You Selected Device # 2"), std::string::npos);
}

TEST(DeviceDialogue, MatchConfirmedOrRefusedInBothForms) {
    {
        MemoryConsole memory("y\n");
        DeviceList list = TwoDrives();
        list.match = 0;
        EXPECT_EQ(ChooseDevice(list, "E:", QuestionStyle::writer, memory.console()), 0);
        EXPECT_EQ(memory.output(),
                  "\n You selected Device # 1 : SanDisk Cruzer [E:] [~4005 MB]\n"
                  "\n Is this info correct? (y/n) [q:Quit] : ");
    }
    {
        MemoryConsole memory("N\n2\ny\n");
        DeviceList list = TwoDrives();
        list.match = 0;
        EXPECT_EQ(ChooseDevice(list, "E:", QuestionStyle::restorer, memory.console()), 1);
        EXPECT_EQ(memory.output(),
                  "\n You selected Device # 1 : SanDisk Cruzer [E:] [~4005 MB]\n"
                  "\n Is this info correct? (y/n) [q:Quit] : \n\n >>" +
                      std::string(kPick) +
                      "\n You Selected Device # 2 : Kingston DT [F:] [~64 MB]\n" +
                      kWriterPickQuestion + "\n >>");
    }
}

TEST(DeviceDialogue, QQuitsAtOnceWithoutAWord) {
    for (const char* answers : {"Q\n", "q\n", "1\nq\n"}) {
        MemoryConsole memory(answers);
        DeviceList list = TwoDrives();
        list.match = answers[0] == '1' ? -1 : 0;
        const char* letter = list.match == 0 ? "E:" : nullptr;
        EXPECT_FALSE(ChooseDevice(list, letter, QuestionStyle::writer, memory.console()));
        std::string out = memory.output();
        EXPECT_TRUE(out.ends_with("[q:Quit] : ") || out.ends_with("[q:Quit]: ")) << out;
    }
}

TEST(DeviceDialogue, TheEndOfTheInputEndsItWithOneLineAtEveryQuestion) {
    for (const char* answers : {"", "1\n", "1\nx\n", "abc\n"}) {
        MemoryConsole memory(answers);
        DeviceList list = TwoDrives();
        EXPECT_FALSE(ChooseDevice(list, nullptr, QuestionStyle::writer, memory.console()));
        std::string out = memory.output();
        EXPECT_TRUE(out.ends_with(std::string(console::kEndOfInput) + "\n")) << out;
        EXPECT_EQ(out.find(console::kEndOfInput), out.rfind(console::kEndOfInput));
    }
}

TEST(DeviceDialogue, AskYesNoTakesOnlyY) {
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
}

}  // namespace
}  // namespace tessel::test
