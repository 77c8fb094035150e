#include "drive_events.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>

namespace larkin::cli {
namespace {

std::string Flat(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

void ProgressChannel::Send(const std::string& line) const {
    if (fd_ < 0) return;
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t put = ::write(fd_, rest.data(), rest.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // the runner went: the work goes on regardless
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
}

void ProgressChannel::Step(std::string_view text) const {
    Send("step\t" + Flat(text) + "\n");
}

void ProgressChannel::Reason(std::string_view text) {
    if (reason_.empty()) reason_ = Flat(text);
}

void ProgressChannel::End(int status) const {
    Send("end\t" + std::to_string(status) + "\t" + (status == 0 ? "" : reason_) + "\n");
}

std::optional<DriveEvent> ParseDriveEvent(std::string_view line) {
    DriveEvent event;
    if (line.starts_with("step\t")) {
        event.step = line.substr(5);
        return event;
    }
    if (!line.starts_with("end\t")) return std::nullopt;
    line.remove_prefix(4);
    std::size_t tab = line.find('\t');
    std::string_view number = line.substr(0, tab);
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), event.status);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    event.end = true;
    if (tab != std::string_view::npos) event.reason = line.substr(tab + 1);
    return event;
}

}  // namespace larkin::cli
