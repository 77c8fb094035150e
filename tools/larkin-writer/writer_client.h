// A host's side of larkin-writer: starts it (through pkexec when the
// writing needs privileges the host lacks), sends the request, and turns
// its events into callbacks and one outcome. The helper's death, and
// polkit's refusal, are outcomes like any other: nothing here waits for
// ever on a helper that is gone.
#ifndef LARKIN_WRITER_CLIENT_H
#define LARKIN_WRITER_CLIENT_H

#include <functional>
#include <string>
#include <string_view>

#include "writer_protocol.h"

namespace larkin::writer {

enum class OutcomeKind {
    Done,           // made bootable, files copied
    Refused,        // the helper refused before writing anything
    NotAuthorised,  // polkit said no, or the password dialogue was closed
    EngineFailed,   // the engine's status in status, its last line in lastLine
    CopyFailed,     // the system error in code, its text in reason
    Died,           // the helper ended without an end: reason says how
};

struct Outcome {
    OutcomeKind kind = OutcomeKind::Died;
    int status = 6;
    unsigned long code = 0;
    std::string reason;
    std::string lastLine;  // the last console line heard
    bool writing = false;  // the helper had reached the drive's first write
};

struct Callbacks {
    std::function<void(std::string_view)> onLine;  // console lines, pkexec's own included
    std::function<void(std::string_view)> onStep;
    std::function<void(std::string_view)> onFile;
};

// The name of our polkit action and the helper's file name.
inline constexpr char kHelperName[] = "larkin-writer";
inline constexpr char kPolkitAction[] = "org.larkin.write-drive";

// Whether writing on this platform needs the helper started through pkexec:
// on this computer's hardware, when the process is not root.
bool NeedsElevation();
// Started by pkexec, a program runs as root for someone who is not: no
// setting of the environment may change what it reaches. The refusal when
// one of ours (LARKIN_...) is set then; "" otherwise.
std::string PkexecEnvironmentRefusal();
// The helper beside the running program.
std::string HelperBesideProgram();

// Runs helper (through pkexec when elevate) on request.
Outcome RunWriter(const std::string& helper, bool elevate, const Request& request,
                  const Callbacks& callbacks);

}  // namespace larkin::writer

#endif
