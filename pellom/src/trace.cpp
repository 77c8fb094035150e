// Pellom's own writer of the shared trace file Corvid.log: one "tag:message"
// line per call, the file opened and closed each time.
#include <cstdio>
#include <memory>
#include <string>

#include "state.h"

namespace pellom {

namespace {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
}  // namespace

void Trace(const char* tag, std::string_view message) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen("Corvid.log", "a"));
    if (!file) return;  // the line is lost, nothing else
    std::string line(tag);
    line.append(":").append(message).append("\n");
    std::fwrite(line.data(), 1, line.size(), file.get());
}

}  // namespace pellom
