// Reading answers, numbers and names from the console, line by line.
#include <gtest/gtest.h>

#include "console/console_io.h"
#include "console_test_support.h"

namespace tessel::test {
namespace {

using console::Read;

TEST(ConsoleInput, DecimalNumbers) {
    std::int64_t n = 0;
    EXPECT_TRUE(console::ParseDecimal("63", n));
    EXPECT_EQ(n, 63);
    EXPECT_TRUE(console::ParseDecimal("-5", n));
    EXPECT_EQ(n, -5);
    EXPECT_TRUE(console::ParseDecimal("+7", n));
    EXPECT_EQ(n, 7);
    EXPECT_TRUE(console::ParseDecimal("9223372036854775807", n));
    for (const char* word :
         {"", "+", "-", "+-1", "12a", "0x10", "1e3", "9223372036854775808", "3.5", "--1"})
        EXPECT_FALSE(console::ParseDecimal(word, n)) << word;
}

TEST(ConsoleInput, BlankLinesArePassedAndTheRestOfALineIsDropped) {
    MemoryConsole memory("\n   \n  yes please\n12 13\nname.bin trailing\n");
    char answer = 0;
    ASSERT_EQ(memory.console().ReadAnswer(answer), Read::ok);
    EXPECT_EQ(answer, 'y');
    std::int64_t number = 0;
    ASSERT_EQ(memory.console().ReadNumber(number), Read::ok);
    EXPECT_EQ(number, 12) << "13 went with its line";
    std::string name;
    ASSERT_EQ(memory.console().ReadName(name, 99), Read::ok);
    EXPECT_EQ(name, "name.bin");
    EXPECT_EQ(memory.console().ReadAnswer(answer), Read::end);
    EXPECT_EQ(memory.console().ReadNumber(number), Read::end);
    EXPECT_EQ(memory.console().ReadName(name, 99), Read::end);
}

TEST(ConsoleInput, GarbageNumbersAndLongNamesAreRefusedAndConsumed) {
    MemoryConsole memory("abc\n" + std::string(52, 'n') + "\n" + std::string(51, 'n') + "\n");
    std::int64_t number = 0;
    EXPECT_EQ(memory.console().ReadNumber(number), Read::notNumber);
    std::string name = "before";
    EXPECT_EQ(memory.console().ReadName(name, 51), Read::tooLong);
    EXPECT_EQ(name, "before");
    EXPECT_EQ(memory.console().ReadName(name, 51), Read::ok);
    EXPECT_EQ(name.size(), 51u);
}

TEST(ConsoleInput, ALastLineWithoutItsEndIsStillRead) {
    MemoryConsole memory("q");
    char answer = 0;
    ASSERT_EQ(memory.console().ReadAnswer(answer), Read::ok);
    EXPECT_EQ(answer, 'q');
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
