#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "larkin/simulation.h"

namespace larkin::test {

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "larkin-test-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) path_ = made;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

TestMachine::TestMachine(std::string_view toml) {
    static TempFolder parent;  // one per test program, removed at exit
    static int serial = 0;
    folder_ = parent.path() / ("machine-" + std::to_string(++serial));
    std::filesystem::create_directories(folder_);
    std::ofstream(file()) << toml;
    started_ = sim::Restart(file().string(), &error_);
    EXPECT_TRUE(started_) << error_;
    // Programs a test starts itself (not through the platform) find the
    // machine as a user's would; set here, before the test starts threads.
    ::setenv("LARKIN_MACHINE", file().c_str(), 1);
}

TestMachine::~TestMachine() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace larkin::test
