// What a host (the desktop program, larkin-cli) and larkin-writer, the
// helper that does the writing with privilege, say to each other. The host
// sends one request on the helper's standard input and closes it; the
// helper answers with one event a line on its standard output. The request
// is read as hostile: anything but the exact form below is refused.
//
//   larkin-writer 1
//   make-bootable
//   destination E:
//   name SanDisk Cruzer Blade USB Device
//   path \\?\usbstor#...            (optional)
//   volume \\?\Volume{...}\          (optional)
//   image LarkinDemo                (or: floppy)
//   end
#ifndef LARKIN_WRITER_PROTOCOL_H
#define LARKIN_WRITER_PROTOCOL_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace larkin::writer {

// Larger requests are refused unread.
inline constexpr std::size_t kRequestLimit = 4096;
inline constexpr std::size_t kValueLimit = 1024;

struct Request {
    std::string destination;  // "E:"
    // What the host saw at that letter: the helper writes only when its own
    // listing shows the same drive there.
    std::string name;
    std::string path;   // the device path, when the host knows it
    std::string image;  // a folder of the helper's image catalogue; "" with floppy
    bool fromFloppy = false;
    std::string volume;  // the volume's name (volume_name.h), when the host knows it
};

// The request, or nothing with the reason in why.
std::optional<Request> ParseRequest(std::string_view text, std::string& why);
std::string FormatRequest(const Request& request);

enum class EventKind {
    Line,        // a console line of the engine or a program it started
    Step,        // what is being done, for people
    File,        // a boot file being copied
    Writing,     // the drive's first write comes next
    Refused,     // refused before anything was written: text says why
    CopyFailed,  // the copy failed: code, text
    End,         // status, text (the reason when not 0)
};

struct Event {
    EventKind kind = EventKind::Line;
    std::string text;
    int status = 0;          // End
    unsigned long code = 0;  // CopyFailed: the system error
};

std::string FormatEvent(const Event& event);
// One line as the helper sent it (without its line break); nothing for a
// line that is not an event.
std::optional<Event> ParseEvent(std::string_view line);

}  // namespace larkin::writer

#endif
