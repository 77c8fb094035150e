// corvid.def, which a Windows build exports by, names the same functions
// under the same ordinals as the table this platform's loader reads.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

#include "core_test_support.h"

namespace larkin::test {
namespace {

TEST(CorvidExports, DefinitionFileMatchesTheLoadersOrdinals) {
    std::ifstream def(std::string(LARKIN_SOURCE_DIR) + "/corvid/corvid.def");
    ASSERT_TRUE(def);
    corvid::Library library(LoadLibraryA("Corvid"));
    ASSERT_TRUE(library);
    const std::regex entry(R"(^\s+(\w+)\s+@(\d+)\s*$)");
    int entries = 0;
    for (std::string line; std::getline(def, line);) {
        std::smatch match;
        if (!std::regex_match(line, match, entry)) continue;
        ++entries;
        std::string name = match[1];
        WORD ordinal = static_cast<WORD>(std::stoi(match[2]));
        FARPROC byName = GetProcAddress(library.get(), name.c_str());
        FARPROC byOrdinal = GetProcAddress(library.get(), MAKEINTRESOURCEA(ordinal));
        EXPECT_NE(byName, nullptr) << name;
        EXPECT_EQ(byOrdinal, byName) << name << " @" << ordinal;
    }
    EXPECT_EQ(entries, 15);
    // Nothing beyond the last ordinal.
    EXPECT_EQ(GetProcAddress(library.get(), MAKEINTRESOURCEA(16)), nullptr);
}

}  // namespace
}  // namespace larkin::test
