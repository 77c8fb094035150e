#include "trace.h"

#include "corvid/trace_file.h"

namespace corvid {

void WriteTraceLine(std::string_view tag, std::string_view message) {
    AppendTraceLine(tag, message);
}

void DeleteTraceFile() {
    DeleteFileA(CORVID_LOG_FILE);
}

}  // namespace corvid
