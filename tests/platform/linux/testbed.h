// A sysfs and /dev of the test's own making, seen by this process through
// umockdev's preload library while the object lives.
#ifndef LARKIN_TESTS_PLATFORM_LINUX_TESTBED_H
#define LARKIN_TESTS_PLATFORM_LINUX_TESTBED_H

#include <memory>
#include <string>
#include <string_view>

namespace larkin::testing {

class Testbed {
  public:
    // Why testbeds cannot be made here ("" when they can): umockdev missing
    // at build time, or the program not started under umockdev-wrapper.
    static std::string Unavailable();

    Testbed();
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // Adds devices described as umockdev records them ("P: /devices/...",
    // "A: size=...", ...); a description umockdev rejects fails the test.
    void Add(std::string_view description);
    // The text of a description in tests/platform/linux/testbeds.
    static std::string Recording(std::string_view name);
    // The folder standing in for the root ("/sys" is Root() + "/sys").
    std::string Root() const;

  private:
    void LinkBlockNumbers(const std::string& text);

    struct Bed;
    std::unique_ptr<Bed> bed_;
};

// text with every from replaced by to; fails the test when from is absent.
std::string Replaced(std::string text, std::string_view from, std::string_view to);

}  // namespace larkin::testing

#define LARKIN_NEED_TESTBED()                                                   \
    do {                                                                        \
        if (auto why = ::larkin::testing::Testbed::Unavailable(); !why.empty()) \
            GTEST_SKIP() << why;                                                \
    } while (false)

#endif
