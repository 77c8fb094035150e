// A simulated machine made for one test: the machine file is written into a
// fresh temporary folder (its images and state live there too) and the
// platform of this process is restarted on it.
#ifndef LARKIN_TESTS_TEST_MACHINE_H
#define LARKIN_TESTS_TEST_MACHINE_H

#include <filesystem>
#include <string>
#include <string_view>

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

}  // namespace larkin::test

#endif
