// The message channel: lines on the standard output, system texts, codes
// without a text, the order of mixed output, and the progress callback.
#include <string>
#include <vector>

#include "engine_test_support.h"
#include "exports/message_channel.h"

namespace tessel::test {
namespace {

TEST(TesselMessageChannel, LinesAndSystemTextsInCallOrder) {
    std::string output = CapturedOutput([] {
        WriteMessageLine("\n Unable to partition Dest Device");
        SetLastError(ERROR_ACCESS_DENIED);
        PrintSystemMessage();
        SetLastError(ERROR_ACCESS_DENIED);
        ReportLastError();
        WriteMessageLine(nullptr);
    });
    EXPECT_EQ(output,
              "\n Unable to partition Dest Device\n"
              "Access is denied.\r\n"
              "Access is denied.\r\n\n"
              "\n");
}

TEST(TesselMessageChannel, CodesWithoutTextArePrintedAsNumbers) {
    std::string output = CapturedOutput([] {
        SetLastError(0xE0001234u);
        ReportLastError();
        SetLastError(0xE0001234u);
        PrintSystemMessage();
    });
    // PrintSystemMessage names the error FormatMessageA itself left.
    EXPECT_EQ(output,
              "\n Windows Error No: 3758101044\n"
              "FormatMessage failure! 317\n");
}

std::vector<std::string> reported;
void Collect(const char* text) {
    reported.emplace_back(text);
}

TEST(TesselMessageChannel, ProgressGoesToTheCallbackWhileOneIsSet) {
    reported.clear();
    SetProgressCallback(Collect);
    ReportProgress("\n Opening Device.....");
    ReportProgress("....Done");
    SetProgressCallback(nullptr);
    std::string output = CapturedOutput([] { ReportProgress("\n Lost"); });
    EXPECT_EQ(reported, (std::vector<std::string>{"\n Opening Device.....", "....Done"}));
    EXPECT_EQ(output, "");
    EXPECT_EQ(CurrentProgressCallback(), nullptr);
}

}  // namespace
}  // namespace tessel::test
