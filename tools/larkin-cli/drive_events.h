// What a larkin-cli making one drive for the multi-drive boot tells the
// larkin-cli that started it, one line each on a descriptor of their own:
// "step<TAB>text" as the work moves on, and at the end
// "end<TAB>status<TAB>reason". Texts carry no tab or line break.
#ifndef LARKIN_CLI_DRIVE_EVENTS_H
#define LARKIN_CLI_DRIVE_EVENTS_H

#include <optional>
#include <string>
#include <string_view>

namespace larkin::cli {

// The child's side; inert without a descriptor.
class ProgressChannel {
  public:
    ProgressChannel() = default;
    explicit ProgressChannel(int fd) : fd_(fd) {}
    ProgressChannel(const ProgressChannel&) = delete;
    ProgressChannel& operator=(const ProgressChannel&) = delete;

    bool Active() const { return fd_ >= 0; }
    void Step(std::string_view text) const;
    // Why the drive failed, said at End; the first reason given stands.
    void Reason(std::string_view text);
    void End(int status) const;

  private:
    void Send(const std::string& line) const;

    int fd_ = -1;
    std::string reason_;
};

struct DriveEvent {
    bool end = false;
    std::string step;  // for a step
    int status = 0;    // for the end
    std::string reason;
};

// One line as the child sent it (without its line break); nothing for a
// line that is not an event.
std::optional<DriveEvent> ParseDriveEvent(std::string_view line);

}  // namespace larkin::cli

#endif
