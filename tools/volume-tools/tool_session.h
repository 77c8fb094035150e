// One session of an outside program on a volume: the platform's handle,
// which holds the lock and the journal entry of a writing session, and where
// the program finds the volume's bytes.
#ifndef LARKIN_VOLUME_TOOLS_TOOL_SESSION_H
#define LARKIN_VOLUME_TOOLS_TOOL_SESSION_H

#include <string>
#include <string_view>
#include <vector>

#include "larkin/platform.h"
#include "volume_tools.h"

namespace larkin::volumetools {

class ToolSession {
  public:
    ToolSession() = default;
    ~ToolSession() { Close(); }
    ToolSession(const ToolSession&) = delete;
    ToolSession& operator=(const ToolSession&) = delete;

    // Opens root for tool; the outcome carries the platform's error.
    Outcome Open(std::string_view root, const char* tool, bool write);
    void Close();

    const LARKIN_TOOL_VOLUME& Where() const { return where_; }
    // The volume as the mtools' -i option names it: "path@@offset".
    std::string MtoolsImage() const;

  private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    LARKIN_TOOL_VOLUME where_{};
};

// The environment every mtools run gets: no geometry checks (our volumes
// need not end on a cylinder), long names on.
const std::vector<std::string>& MtoolsEnvironment();

// The facts of the volume an open session reaches.
Outcome ReadFactsOf(const ToolSession& session, VolumeFacts* facts);

// The first line of a program's output, for a message.
std::string FirstLine(std::string_view output);
// Every line of a program's output, without its newline.
std::vector<std::string> Lines(std::string_view output);

}  // namespace larkin::volumetools

#endif
