#include "writer_client.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "larkin/platform.h"
#include "tool_process.h"

extern char** environ;

namespace larkin::writer {
namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r";
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

// pkexec's own exit codes: not authorised, or the dialogue dismissed.
constexpr int kPkexecNotAuthorised = 127;
constexpr int kPkexecDismissed = 126;

}  // namespace

bool NeedsElevation() {
    return ::geteuid() != 0 && std::strcmp(LarkinBackendName(), "simulated") != 0;
}

std::string PkexecEnvironmentRefusal() {
    if (std::getenv("PKEXEC_UID") == nullptr) return {};
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "LARKIN_", 7) == 0) {
            std::string name(*entry, std::strcspn(*entry, "="));
            return name + " is not honoured when writing with privileges (started through pkexec)";
        }
    return {};
}

std::string HelperBesideProgram() {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::current_path() : self.parent_path()) / kHelperName;
}

Outcome RunWriter(const std::string& helper, bool elevate, const Request& request,
                  const Callbacks& callbacks) {
    Outcome outcome;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        outcome.reason =
            std::string("the writing helper cannot be started: ") + std::strerror(errno);
        return outcome;
    }
    Fd requestRead(ends[0]), requestWrite(ends[1]);
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        outcome.reason =
            std::string("the writing helper cannot be started: ") + std::strerror(errno);
        return outcome;
    }
    Fd answerRead(ends[0]), answerWrite(ends[1]);
    volumetools::SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.Get(), requestRead.fd, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), answerWrite.fd, 1);
    // pkexec says why it refused on its error stream.
    posix_spawn_file_actions_adddup2(actions.Get(), answerWrite.fd, 2);
    std::vector<std::string> words;
    if (elevate) words.push_back("pkexec");
    words.push_back(helper);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int error =
        elevate ? posix_spawnp(&pid, "pkexec", actions.Get(), nullptr, argv.data(), environ)
                : posix_spawn(&pid, helper.c_str(), actions.Get(), nullptr, argv.data(), environ);
    if (error != 0) {
        outcome.reason = (elevate ? "pkexec cannot be started: "
                                  : "the writing helper " + helper + " cannot be started: ") +
                         std::string(std::strerror(error));
        if (elevate) outcome.kind = OutcomeKind::NotAuthorised;
        return outcome;
    }
    requestRead.Reset();
    answerWrite.Reset();
    // A helper that is gone before reading leaves the write to fail, not
    // to end this process.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    WriteAll(requestWrite.fd, FormatRequest(request));
    ::sigaction(SIGPIPE, &previous, nullptr);
    requestWrite.Reset();

    bool ended = false, heardHelper = false;
    std::string firstForeign;  // pkexec says why first, then more
    std::string pending;
    auto take = [&](std::string_view raw) {
        std::optional<Event> event = ParseEvent(raw);
        if (!event) {
            // Not the helper's: pkexec's, or what a dying helper printed.
            std::string_view line = Trim(raw);
            if (line.empty()) return;
            outcome.lastLine = line;
            if (firstForeign.empty()) firstForeign = line;
            if (callbacks.onLine) callbacks.onLine(line);
            return;
        }
        heardHelper = true;
        switch (event->kind) {
            case EventKind::Line:
                outcome.lastLine = event->text;
                if (callbacks.onLine) callbacks.onLine(event->text);
                break;
            case EventKind::Step:
                if (callbacks.onStep) callbacks.onStep(event->text);
                break;
            case EventKind::File:
                if (callbacks.onFile) callbacks.onFile(event->text);
                break;
            case EventKind::Writing:
                outcome.writing = true;
                break;
            case EventKind::Refused:
                outcome.kind = OutcomeKind::Refused;
                outcome.reason = event->text;
                break;
            case EventKind::CopyFailed:
                outcome.kind = OutcomeKind::CopyFailed;
                outcome.code = event->code;
                outcome.reason = event->text;
                break;
            case EventKind::End:
                ended = true;
                outcome.status = event->status;
                if (event->status == 0) {
                    outcome.kind = OutcomeKind::Done;
                } else if (outcome.kind != OutcomeKind::Refused &&
                           outcome.kind != OutcomeKind::CopyFailed) {
                    outcome.kind = OutcomeKind::EngineFailed;
                    if (outcome.reason.empty()) outcome.reason = event->text;
                }
                break;
        }
    };
    char buffer[4096];
    for (;;) {
        ssize_t got = ::read(answerRead.fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1)
            take(std::string_view(pending).substr(start, end - start));
        pending.erase(0, start);
    }
    if (!pending.empty()) take(pending);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (ended) return outcome;
    int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (elevate && !heardHelper &&
        (exitCode == kPkexecNotAuthorised || exitCode == kPkexecDismissed)) {
        outcome.kind = OutcomeKind::NotAuthorised;
        outcome.reason = "writing was not authorised";
        if (!firstForeign.empty()) outcome.reason += " (" + firstForeign + ")";
        return outcome;
    }
    outcome.kind = OutcomeKind::Died;
    outcome.status = 6;
    outcome.reason = WIFSIGNALED(status)
                         ? "the writing helper was ended by signal " +
                               std::to_string(WTERMSIG(status)) + " before it finished"
                         : "the writing helper ended (exit code " + std::to_string(exitCode) +
                               ") before it finished";
    return outcome;
}

}  // namespace larkin::writer
