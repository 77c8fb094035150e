// Runs a shell command line and keeps what it printed, for tests that drive
// the project's programs and outside tools as a user would.
#ifndef LARKIN_TESTS_RUN_COMMAND_H
#define LARKIN_TESTS_RUN_COMMAND_H

#include <string>
#include <string_view>

namespace larkin::test {

struct CommandRun {
    int exitCode = -1;   // -1: not started, or ended by a signal
    std::string output;  // standard output, and standard error unless dropped
};

enum class ErrorOutput { Kept, Dropped };

// The command runs under /bin/sh with /usr/sbin and /sbin on its PATH (the
// file-system tools live there).
CommandRun RunCommand(std::string_view command, ErrorOutput errors = ErrorOutput::Kept);

// text in single quotes for the shell; a quote inside is closed and escaped.
std::string Quoted(std::string_view text);

bool HaveProgram(std::string_view program);

// A machine file of tests/machines/, by its name without ".toml".
std::string MachineText(std::string_view name);

}  // namespace larkin::test

#endif
