// Peak memory of the desktop program on the demo machine: Larkin starts
// offscreen on a copy of the demo machine, lists its drives, stays up for a
// moment and ends; the peak resident size the kernel recorded for it is the
// result. Goal: below 60 MB.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr long kGoalKiB = 60 * 1024;

std::filesystem::path ProgramFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    fs::path larkin = ProgramFolder() / "Larkin";
    if (!fs::exists(larkin)) {
        std::fprintf(stderr, "larkin_memory_bench: %s not built\n", larkin.c_str());
        return 2;
    }
    char folderTemplate[] = "/tmp/larkin-memory-XXXXXX";
    if (mkdtemp(folderTemplate) == nullptr) return 2;
    fs::path folder = folderTemplate;
    fs::copy_file(LARKIN_DEMO_MACHINE, folder / "demo.toml");

    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
    environment.emplace_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = larkin.string();
    std::string machine = (folder / "demo.toml").string();
    std::vector<std::string> words = {program, "--machine", machine, "--quit-after", "3000"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        std::perror("posix_spawn");
        return 2;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "larkin_memory_bench: Larkin ended with status %d\n", status);
        return 2;
    }
    long peakKiB = usage.ru_maxrss;
    std::printf("Larkin peak resident memory on the demo machine: %.1f MB (goal: below 60 MB)\n",
                static_cast<double>(peakKiB) / 1024.0);
    return peakKiB < kGoalKiB ? 0 : 1;
}
