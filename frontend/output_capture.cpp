#include "output_capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace larkin::frontend {
namespace {

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r";
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

}  // namespace

void TakeLines(std::string& pending, std::string_view text,
               const OutputCapture::LineHandler& onLine) {
    pending.append(text);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line = Trim(std::string_view(pending).substr(start, end - start));
        if (!line.empty() && onLine) onLine(line);
    }
    pending.erase(0, start);
}

OutputCapture::OutputCapture(LineHandler onLine) : onLine_(std::move(onLine)) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    std::fflush(stdout);
    savedOutput_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (savedOutput_ < 0 || ::dup2(pipeEnds[1], STDOUT_FILENO) < 0) {
        if (savedOutput_ >= 0) ::close(savedOutput_);
        savedOutput_ = -1;
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return;
    }
    ::close(pipeEnds[1]);
    int input = pipeEnds[0];
    reader_ = std::thread([this, input] { ReadLines(input); });
}

OutputCapture::~OutputCapture() {
    if (savedOutput_ < 0) return;
    std::fflush(stdout);
    // The pipe's last write end goes with this dup2 (children that still
    // hold it keep the reader waiting until they end).
    ::dup2(savedOutput_, STDOUT_FILENO);
    if (reader_.joinable()) reader_.join();
    ::close(savedOutput_);
}

void OutputCapture::ReadLines(int input) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(input, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        WriteAll(savedOutput_, buffer, static_cast<size_t>(got));
        TakeLines(pending, std::string_view(buffer, static_cast<size_t>(got)), onLine_);
    }
    TakeLines(pending, "\n", onLine_);
    ::close(input);
}

}  // namespace larkin::frontend
