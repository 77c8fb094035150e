#include "writer_protocol.h"

#include <charconv>
#include <vector>

namespace larkin::writer {
namespace {

constexpr std::string_view kHeader = "larkin-writer 1";

bool Printable(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return true;
}

// A drive letter of a USB drive: never A: (the floppy) nor B:.
bool IsDestination(std::string_view text) {
    return text.size() == 2 && text[1] == ':' && text[0] >= 'C' && text[0] <= 'Z';
}

// One folder name of the catalogue, never a way out of it.
bool IsFolderName(std::string_view text) {
    return !text.empty() && text != "." && text != ".." &&
           text.find_first_of("/\\") == std::string_view::npos;
}

std::string Flat(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

std::optional<Request> ParseRequest(std::string_view text, std::string& why) {
    why.clear();
    auto refuse = [&](std::string reason) -> std::optional<Request> {
        why = std::move(reason);
        return std::nullopt;
    };
    if (text.size() > kRequestLimit) return refuse("the request is larger than 4096 bytes");
    if (text.empty() || text.back() != '\n') return refuse("the request is cut short");
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 2 || lines[0] != kHeader) return refuse("the request has no known header");
    if (lines[1] != "make-bootable") return refuse("the request asks for an unknown operation");
    if (lines.back() != "end") return refuse("the request is cut short");
    Request request;
    bool sawDestination = false, sawName = false, sawPath = false, sawVolume = false,
         sawSource = false;
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line == "floppy") {
            if (sawSource) return refuse("the request names its source twice");
            sawSource = true;
            request.fromFloppy = true;
            continue;
        }
        std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return refuse("the request has a line without value");
        std::string_view key = line.substr(0, space);
        std::string_view value = line.substr(space + 1);
        if (value.empty() || value.size() > kValueLimit || !Printable(value))
            return refuse("the request's " + std::string(Printable(key) ? key : "?") +
                          " is empty, too long or not text");
        bool* seen = key == "destination" ? &sawDestination
                     : key == "name"      ? &sawName
                     : key == "path"      ? &sawPath
                     : key == "volume"    ? &sawVolume
                     : key == "image"     ? &sawSource
                                          : nullptr;
        if (seen == nullptr) return refuse("the request has an unknown line");
        if (*seen) return refuse("the request names its " + std::string(key) + " twice");
        *seen = true;
        if (key == "destination") {
            if (!IsDestination(value))
                return refuse("the destination is not a drive letter C: to Z:");
            request.destination = value;
        } else if (key == "name") {
            request.name = value;
        } else if (key == "path") {
            request.path = value;
        } else if (key == "volume") {
            request.volume = value;
        } else {
            if (!IsFolderName(value))
                return refuse("the image is not a folder of the image catalogue");
            request.image = value;
        }
    }
    if (!sawDestination || !sawName || !sawSource)
        return refuse("the request lacks its destination, name or source");
    return request;
}

std::string FormatRequest(const Request& request) {
    std::string text = std::string(kHeader) + "\nmake-bootable\ndestination " +
                       request.destination + "\nname " + request.name + "\n";
    if (!request.path.empty()) text += "path " + request.path + "\n";
    if (!request.volume.empty()) text += "volume " + request.volume + "\n";
    text += request.fromFloppy ? std::string("floppy\n") : "image " + request.image + "\n";
    return text + "end\n";
}

std::string FormatEvent(const Event& event) {
    std::string text = Flat(event.text);
    switch (event.kind) {
        case EventKind::Line:
            return "line\t" + text + "\n";
        case EventKind::Step:
            return "step\t" + text + "\n";
        case EventKind::File:
            return "file\t" + text + "\n";
        case EventKind::Writing:
            return "writing\n";
        case EventKind::Refused:
            return "refused\t" + text + "\n";
        case EventKind::CopyFailed:
            return "copy-failed\t" + std::to_string(event.code) + "\t" + text + "\n";
        case EventKind::End:
            return "end\t" + std::to_string(event.status) + "\t" + text + "\n";
    }
    return {};
}

std::optional<Event> ParseEvent(std::string_view line) {
    Event event;
    std::size_t tab = line.find('\t');
    std::string_view word = line.substr(0, tab);
    std::string_view rest =
        tab == std::string_view::npos ? std::string_view() : line.substr(tab + 1);
    // The number before a second tab, and the text after it.
    auto numbered = [&](auto& number) {
        std::size_t second = rest.find('\t');
        if (second == std::string_view::npos) return false;
        auto [end, error] = std::from_chars(rest.data(), rest.data() + second, number);
        if (error != std::errc() || end != rest.data() + second || second == 0) return false;
        event.text = rest.substr(second + 1);
        return true;
    };
    if (word == "writing" && tab == std::string_view::npos) {
        event.kind = EventKind::Writing;
        return event;
    }
    if (tab == std::string_view::npos) return std::nullopt;
    if (word == "line" || word == "step" || word == "file" || word == "refused") {
        event.kind = word == "line"   ? EventKind::Line
                     : word == "step" ? EventKind::Step
                     : word == "file" ? EventKind::File
                                      : EventKind::Refused;
        event.text = rest;
        return event;
    }
    if (word == "copy-failed") {
        event.kind = EventKind::CopyFailed;
        if (numbered(event.code)) return event;
    } else if (word == "end") {
        event.kind = EventKind::End;
        if (numbered(event.status)) return event;
    }
    return std::nullopt;
}

}  // namespace larkin::writer
