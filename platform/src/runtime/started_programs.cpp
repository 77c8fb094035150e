#include "started_programs.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace larkin::platform {

bool StartedProgram::Ended() const {
    return reaped_.load() || Readable(0);
}

bool StartedProgram::WaitEnded(DWORD milliseconds) const {
    if (reaped_.load()) return true;
    return Readable(
        milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(milliseconds, INT32_MAX)));
}

void StartedProgram::Reap() {
    std::lock_guard guard(mutex_);
    if (reaped_.load() || !Readable(0)) return;
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(descriptor_.Get()),
                          &info, WEXITED | WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0 && info.si_pid == 0) return;  // not yet, after all
    exitCode_ = result == 0 && info.si_code == CLD_EXITED ? static_cast<DWORD>(info.si_status) : 1;
    reaped_.store(true);
    console_.Reset();
}

DWORD StartedProgram::ExitCode() {
    Reap();
    std::lock_guard guard(mutex_);
    return reaped_.load() ? exitCode_ : STILL_ACTIVE;
}

void StartedProgram::Kill() const {
    if (!reaped_.load()) ::syscall(SYS_pidfd_send_signal, descriptor_.Get(), SIGKILL, nullptr, 0);
}

void StartedProgram::AttachConsole(UniqueFd input, HWND window) {
    std::lock_guard guard(mutex_);
    console_ = std::move(input);
    window_ = window;
}

HWND StartedProgram::Window() {
    std::lock_guard guard(mutex_);
    return window_;
}

void StartedProgram::Type(const std::string& text) {
    std::lock_guard guard(mutex_);
    if (console_.Valid()) [[maybe_unused]]
        auto sent = ::send(console_.Get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool StartedProgram::Readable(int timeout) const {
    pollfd poll{descriptor_.Get(), POLLIN, 0};
    int ready = 0;
    while ((ready = ::poll(&poll, 1, timeout)) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

void StartedPrograms::Add(std::shared_ptr<StartedProgram> program) {
    std::lock_guard guard(mutex_);
    programs_.push_back(std::move(program));
}

std::vector<std::shared_ptr<StartedProgram>> StartedPrograms::TakeEnded() {
    std::vector<std::shared_ptr<StartedProgram>> ended;
    std::lock_guard guard(mutex_);
    for (auto it = programs_.begin(); it != programs_.end();) {
        if ((*it)->Ended() && it->use_count() == 1) {
            ended.push_back(std::move(*it));
            it = programs_.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

std::vector<std::shared_ptr<StartedProgram>> StartedPrograms::TakeAll() {
    std::vector<std::shared_ptr<StartedProgram>> all;
    std::lock_guard guard(mutex_);
    all.swap(programs_);
    return all;
}

}  // namespace larkin::platform
