#include "trace.h"

#include <cstdio>
#include <memory>
#include <string>

#include "corvid/corvid.h"

namespace corvid {

namespace {
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
}  // namespace

void WriteTraceLine(std::string_view tag, std::string_view message) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(CORVID_LOG_FILE, "a"));
    if (!file) return;
    std::string line;
    line.reserve(tag.size() + message.size() + 2);
    line.append(tag).append(":").append(message).append("\n");
    std::fwrite(line.data(), 1, line.size(), file.get());
}

void DeleteTraceFile() {
    std::remove(CORVID_LOG_FILE);
}

}  // namespace corvid
