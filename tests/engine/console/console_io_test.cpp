// Reading answers, numbers and names from the console, line by line, and
// where lines and prompts go.
#include <gtest/gtest.h>

#include "console/console_io.h"
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

}  // namespace
}  // namespace tessel::test
