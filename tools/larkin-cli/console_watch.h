// The engine's console as larkin-cli watches it through one engine call.
// The engine reads its answers from the C runtime's stdin, writes to its
// stdout and stderr, and leaves its dialogue on q (or a declined "anyway?")
// without a word, with the status every failure has. While a ConsoleWatch
// lives the three streams pass through it, so that such a stop can be told
// from a failure, and a failure that printed nothing from one that did.
#ifndef LARKIN_CLI_CONSOLE_WATCH_H
#define LARKIN_CLI_CONSOLE_WATCH_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>

namespace larkin::cli {

class ConsoleWatch {
  public:
    // onLine, when given, hears each line written that is not blank,
    // trimmed, as it ends.
    explicit ConsoleWatch(std::function<void(const std::string&)> onLine = {});
    ~ConsoleWatch() { Stop(); }
    ConsoleWatch(const ConsoleWatch&) = delete;
    ConsoleWatch& operator=(const ConsoleWatch&) = delete;

    // Gives the process its own streams back; what was seen is kept.
    void Stop();
    // Anything was written while watching.
    bool Spoke() const { return wrote_; }
    // The first letter of the last answer read, when nothing was written
    // after it; 0 otherwise.
    char SilentAnswer() const;
    // The last text written did not end its line (a question, say).
    bool MidLine() const { return midLine_; }
    // The last line written that was not blank, trimmed; "" when none.
    const std::string& LastLine() const { return lastLine_; }

  private:
    static ssize_t Read(void* cookie, char* buffer, std::size_t size);
    static ssize_t WriteOut(void* cookie, const char* buffer, std::size_t size);
    static ssize_t WriteErr(void* cookie, const char* buffer, std::size_t size);
    ssize_t Pass(std::FILE* to, const char* buffer, std::size_t size);
    void EndLine();

    std::FILE* in_ = nullptr;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
    bool watching_ = false;
    std::string line_;    // the line being read
    std::string answer_;  // the last line read that was not blank
    bool wrote_ = false;
    bool wroteSinceAnswer_ = false;
    bool midLine_ = false;
    std::string written_;  // the line being written
    std::string lastLine_;
    std::function<void(const std::string&)> onLine_;
};

}  // namespace larkin::cli

#endif
