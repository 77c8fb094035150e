// larkin-writer's request reader on any input, as a hostile host would send
// it. Rules: a request it takes names a drive letter C: to Z:, one folder of
// the catalogue or the floppy, and values of text only; written out again
// it reads back the same. The hosts' event reader takes any line too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "writer_protocol.h"

namespace {

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "request read against the rule: %s\n", rule);
    std::abort();
}

bool Text(const std::string& value) {
    for (char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
    return value.size() <= larkin::writer::kValueLimit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace larkin::writer;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ParseEvent(text);
    std::string why;
    auto request = ParseRequest(text, why);
    if (!request) {
        Require(!why.empty(), "a refusal says why");
        return 0;
    }
    Require(size <= kRequestLimit, "no request beyond the limit");
    const std::string& d = request->destination;
    Require(d.size() == 2 && d[0] >= 'C' && d[0] <= 'Z' && d[1] == ':', "a drive letter");
    Require(request->fromFloppy == request->image.empty(), "one source");
    Require(request->image.find_first_of("/\\") == std::string::npos && request->image != "." &&
                request->image != "..",
            "the image is one folder name");
    Require(!request->name.empty() && Text(request->name) && Text(request->path) &&
                Text(request->image),
            "values are text");
    auto again = ParseRequest(FormatRequest(*request), why);
    Require(again && again->destination == d && again->name == request->name &&
                again->path == request->path && again->image == request->image &&
                again->fromFloppy == request->fromFloppy,
            "written out, it reads back the same");
    return 0;
}
