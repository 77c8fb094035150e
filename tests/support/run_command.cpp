#include "run_command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "test_machine.h"

namespace larkin::test {

CommandRun RunCommand(std::string_view command, ErrorOutput errors) {
    CommandRun run;
    std::string full = "PATH=$PATH:/usr/sbin:/sbin; ";
    full.append(command);
    full += errors == ErrorOutput::Kept ? " 2>&1" : " 2>/dev/null";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> chunk{};
    for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0;)
        run.output.append(chunk.data(), got);
    int status = ::pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Quoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool HaveProgram(std::string_view program) {
    return RunCommand("command -v " + Quoted(program)).exitCode == 0;
}

std::string MachineText(std::string_view name) {
    std::filesystem::path file =
        std::filesystem::path(LARKIN_TEST_MACHINES_DIR) / (std::string(name) + ".toml");
    EXPECT_TRUE(std::filesystem::exists(file)) << "no machine file " << file;
    return FileText(file);
}

}  // namespace larkin::test
