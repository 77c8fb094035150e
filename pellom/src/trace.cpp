// Pellom's lines in the trace file it shares with Corvid.
#include "corvid/trace_file.h"
#include "state.h"

namespace pellom {

void Trace(const char* tag, std::string_view message) {
    corvid::AppendTraceLine(tag, message);
}

}  // namespace pellom
