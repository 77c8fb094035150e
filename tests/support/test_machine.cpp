#include "test_machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

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

std::string FileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::uint8_t> ReadAt(const std::filesystem::path& file, std::uint64_t offset,
                                 std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
}

void WriteAt(const std::filesystem::path& file, std::uint64_t offset,
             std::span<const std::uint8_t> bytes) {
    if (!std::filesystem::exists(file)) std::ofstream(file, std::ios::binary);
    std::fstream io(file, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(offset));
    io.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(io.good()) << "cannot write " << file;
}

std::uint32_t Little(std::span<const std::uint8_t> bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[at + i];
    return value;
}

void SetLittle(std::span<std::uint8_t> bytes, std::size_t at, int width, std::uint32_t value) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace larkin::test
