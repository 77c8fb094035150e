#include "console_test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace tessel::test {
namespace {

// The streams take a source without context; one memory console at a time.
std::FILE* memoryIn = nullptr;
std::FILE* memoryOut = nullptr;
std::FILE* memoryErr = nullptr;
std::FILE* MemoryIn() {
    return memoryIn;
}
std::FILE* MemoryOut() {
    return memoryOut;
}
std::FILE* MemoryErr() {
    return memoryErr;
}

}  // namespace

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
    memoryIn =
        input_.empty() ? std::fopen("/dev/null", "r") : fmemopen(input_.data(), input_.size(), "r");
    memoryOut = open_memstream(&outText_, &outSize_);
    memoryErr = open_memstream(&errText_, &errSize_);
    out_ = std::make_unique<OutputStream>(MemoryOut);
    err_ = std::make_unique<OutputStream>(MemoryErr);
    in_ = std::make_unique<InputStream>(MemoryIn);
    console_ = std::make_unique<console::Console>(*out_, *err_, *in_);
}

MemoryConsole::~MemoryConsole() {
    std::fclose(memoryIn);
    std::fclose(memoryOut);
    std::fclose(memoryErr);
    std::free(outText_);
    std::free(errText_);
    memoryIn = memoryOut = memoryErr = nullptr;
}

std::string MemoryConsole::output() {
    std::fflush(memoryOut);
    return std::string(outText_, outSize_);
}

std::string MemoryConsole::errors() {
    std::fflush(memoryErr);
    return std::string(errText_, errSize_);
}

}  // namespace tessel::test
