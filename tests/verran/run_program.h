// Runs a program of this build and collects what it printed.
#ifndef LARKIN_TESTS_VERRAN_RUN_PROGRAM_H
#define LARKIN_TESTS_VERRAN_RUN_PROGRAM_H

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace verran::test {

struct ProgramRun {
    int exitCode = -1;
    std::string output;  // standard output and standard error
};

inline ProgramRun RunProgram(const std::string& commandLine) {
    ProgramRun run;
    FILE* pipe = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        run.output.append(chunk, got);
    int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace verran::test

#endif
