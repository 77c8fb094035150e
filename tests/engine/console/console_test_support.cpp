#include "console_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace tessel::test {

ScopedInput::ScopedInput(std::string_view text) {
    char name[] = "/tmp/larkin-input-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    file_ = name;
    std::ofstream(file_, std::ios::binary) << text;
    std::freopen(file_.c_str(), "r", stdin);
}

ScopedInput::~ScopedInput() {
    std::freopen("/dev/null", "r", stdin);
    std::filesystem::remove(file_);
}

MemoryConsole::MemoryConsole(std::string_view input) : input_(input) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
}

void MemoryConsole::Collect() {
    if (!collecting_) return;
    collecting_ = false;
    std::fflush(stdout);
    std::fflush(stderr);
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
}

}  // namespace tessel::test
