#include "console_watch.h"

#include <utility>

namespace larkin::cli {
namespace {

bool Blank(const std::string& line) {
    return line.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

ConsoleWatch::ConsoleWatch(std::function<void(const std::string&)> onLine)
    : in_(stdin), out_(stdout), err_(stderr), onLine_(std::move(onLine)) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* in = fopencookie(this, "r", {Read, nullptr, nullptr, nullptr});
    std::FILE* out = fopencookie(this, "w", {nullptr, WriteOut, nullptr, nullptr});
    std::FILE* err = fopencookie(this, "w", {nullptr, WriteErr, nullptr, nullptr});
    if (in == nullptr || out == nullptr || err == nullptr) {
        for (std::FILE* stream : {in, out, err})
            if (stream != nullptr) std::fclose(stream);
        wrote_ = true;  // unseen: assume the engine said why
        return;
    }
    // Unbuffered, so that the order with what child programs write holds.
    std::setvbuf(out, nullptr, _IONBF, 0);
    std::setvbuf(err, nullptr, _IONBF, 0);
    stdin = in;
    stdout = out;
    stderr = err;
    watching_ = true;
}

void ConsoleWatch::Stop() {
    if (!watching_) return;
    watching_ = false;
    EndLine();
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    stdin = in_;
    stdout = out_;
    stderr = err_;
    std::fclose(out);
    std::fclose(err);
    std::fclose(in);
}

char ConsoleWatch::SilentAnswer() const {
    if (wroteSinceAnswer_ || answer_.empty()) return 0;
    return answer_[answer_.find_first_not_of(" \t\r")];
}

// At most one line at a time, so that what was read is what the engine took.
ssize_t ConsoleWatch::Read(void* cookie, char* buffer, std::size_t size) {
    auto& self = *static_cast<ConsoleWatch*>(cookie);
    std::size_t got = 0;
    for (int c; got < size && (c = std::fgetc(self.in_)) != EOF;) {
        buffer[got++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    for (std::size_t i = 0; i < got; ++i) {
        if (buffer[i] != '\n') {
            self.line_ += buffer[i];
            continue;
        }
        if (!Blank(self.line_)) {
            self.answer_ = self.line_;
            self.wroteSinceAnswer_ = false;
        }
        self.line_.clear();
    }
    if (got == 0 && !Blank(self.line_)) {
        self.answer_ = self.line_;
        self.wroteSinceAnswer_ = false;
        self.line_.clear();
    }
    return static_cast<ssize_t>(got);
}

ssize_t ConsoleWatch::WriteOut(void* cookie, const char* buffer, std::size_t size) {
    auto& self = *static_cast<ConsoleWatch*>(cookie);
    return self.Pass(self.out_, buffer, size);
}

ssize_t ConsoleWatch::WriteErr(void* cookie, const char* buffer, std::size_t size) {
    auto& self = *static_cast<ConsoleWatch*>(cookie);
    return self.Pass(self.err_, buffer, size);
}

ssize_t ConsoleWatch::Pass(std::FILE* to, const char* buffer, std::size_t size) {
    std::size_t written = std::fwrite(buffer, 1, size, to);
    std::fflush(to);
    if (written > 0) {
        wrote_ = wroteSinceAnswer_ = true;
        midLine_ = buffer[written - 1] != '\n';
    }
    for (std::size_t i = 0; i < written; ++i) {
        if (buffer[i] == '\n') {
            EndLine();
        } else {
            written_ += buffer[i];
        }
    }
    return static_cast<ssize_t>(written);
}

void ConsoleWatch::EndLine() {
    std::size_t first = written_.find_first_not_of(" \t\r");
    if (first != std::string::npos) {
        lastLine_ = written_.substr(first, written_.find_last_not_of(" \t\r") - first + 1);
        if (onLine_) onLine_(lastLine_);
    }
    written_.clear();
}

}  // namespace larkin::cli
