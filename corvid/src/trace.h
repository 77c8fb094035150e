// The shared trace file: one "tag:message" line per call, appended to
// Corvid.log in the current directory.
#ifndef CORVID_TRACE_H
#define CORVID_TRACE_H

#include <string_view>

namespace corvid {

// Opens, appends and closes, so lines are on disk when it returns and other
// libraries can append in between. A file that cannot be opened loses the
// line silently.
void WriteTraceLine(std::string_view tag, std::string_view message);

// Removes the file so a process starts with an empty log; a missing file is
// fine.
void DeleteTraceFile();

}  // namespace corvid

#endif
