// The saved-table description reader on any text. Rules: a description it
// takes has a 64-digit lower-case digest, and writing it out and reading it
// again gives the same description.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "console/saved_table_description.h"

namespace {

void Require(bool holds, const char* rule) {
    if (holds) return;
    std::fprintf(stderr, "description read against the rule: %s\n", rule);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessel::console;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = ParseDescription(text);
    if (!parsed) return 0;
    Require(parsed->sha256.size() == 64, "the digest has 64 digits");
    for (char c : parsed->sha256)
        Require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), "the digest is lower-case hex");
    auto again = ParseDescription(FormatDescription(*parsed));
    Require(again.has_value() || FormatDescription(*parsed).size() > kDescriptionLimit,
            "a description written out reads back");
    if (again) {
        Require(again->sha256 == parsed->sha256, "the digest survives");
        Require(again->sizeBytes == parsed->sizeBytes, "the size survives");
        Require(FormatDescription(*again) == FormatDescription(*parsed), "written the same twice");
    }
    return 0;
}
