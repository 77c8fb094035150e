// What the console operations' tests share: answers fed to the engine's
// standard input, and a console over the process's own streams whose
// output is collected.
#ifndef LARKIN_TESTS_ENGINE_CONSOLE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_CONSOLE_SUPPORT_H

#include <filesystem>
#include <string>
#include <string_view>

#include "console/console_io.h"
#include "exports/message_channel.h"

namespace tessel::test {

// The process's standard input reads text while the object lives (it reads
// nothing afterwards).
class ScopedInput {
  public:
    explicit ScopedInput(std::string_view text);
    ~ScopedInput();
    ScopedInput(const ScopedInput&) = delete;
    ScopedInput& operator=(const ScopedInput&) = delete;

  private:
    std::filesystem::path file_;
};

// A Console that reads input and whose output and error streams are
// collected until output() or errors() is first asked for.
class MemoryConsole {
  public:
    explicit MemoryConsole(std::string_view input);
    ~MemoryConsole() { Collect(); }
    console::Console& console() { return console_; }
    std::string output() { return Collect(), out_; }
    std::string errors() { return Collect(), err_; }

  private:
    void Collect();
    ScopedInput input_;
    bool collecting_ = true;
    std::string out_, err_;
    OutputStream outStream_{[] { return stdout; }};
    OutputStream errStream_{[] { return stderr; }};
    InputStream inStream_{[] { return stdin; }};
    console::Console console_{outStream_, errStream_, inStream_};
};

}  // namespace tessel::test

#endif
