// What the console operations' tests share: answers fed to the engine's
// standard input, and a console over texts in memory.
#ifndef LARKIN_TESTS_ENGINE_CONSOLE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_CONSOLE_SUPPORT_H

#include <cstdio>
#include <filesystem>
#include <memory>
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

// A Console whose input is a text and whose output and error streams are
// collected.
class MemoryConsole {
  public:
    explicit MemoryConsole(std::string_view input);
    ~MemoryConsole();
    MemoryConsole(const MemoryConsole&) = delete;
    MemoryConsole& operator=(const MemoryConsole&) = delete;

    console::Console& console() { return *console_; }
    std::string output();
    std::string errors();

  private:
    std::string input_;
    char* outText_ = nullptr;
    std::size_t outSize_ = 0;
    char* errText_ = nullptr;
    std::size_t errSize_ = 0;
    std::unique_ptr<OutputStream> out_;
    std::unique_ptr<OutputStream> err_;
    std::unique_ptr<InputStream> in_;
    std::unique_ptr<console::Console> console_;
};

}  // namespace tessel::test

#endif
