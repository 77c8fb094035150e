// A simulated machine made for one test: the machine file is written into a
// fresh temporary folder (its images and state live there too) and the
// platform of this process is restarted on it. And the files of a test read
// and written from outside the platform.
#ifndef LARKIN_TESTS_TEST_MACHINE_H
#define LARKIN_TESTS_TEST_MACHINE_H

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace larkin::test {

class TestMachine {
  public:
    // toml is the machine file's text. Fails the current test (and leaves
    // started() false) when the platform refuses it.
    explicit TestMachine(std::string_view toml);
    ~TestMachine();
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    bool started() const { return started_; }
    const std::string& error() const { return error_; }
    const std::filesystem::path& folder() const { return folder_; }
    std::filesystem::path file() const { return folder_ / "machine.toml"; }

  private:
    std::filesystem::path folder_;
    bool started_ = false;
    std::string error_;
};

// A folder removed with everything in it when the object goes.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string FileText(const std::filesystem::path& file);
// length bytes from offset, zeros where the file ends first.
std::vector<std::uint8_t> ReadAt(const std::filesystem::path& file, std::uint64_t offset,
                                 std::size_t length);
// Writes into `file` at `offset`, making the file when it is missing.
void WriteAt(const std::filesystem::path& file, std::uint64_t offset,
             std::span<const std::uint8_t> bytes);
// Little-endian numbers of `width` bytes, as boot records and tables hold them.
std::uint32_t Little(std::span<const std::uint8_t> bytes, std::size_t at, int width = 4);
void SetLittle(std::span<std::uint8_t> bytes, std::size_t at, int width, std::uint32_t value);

}  // namespace larkin::test

#endif
