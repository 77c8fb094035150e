// Started programs: command lines, console windows with their keyboard
// input, and waits.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "runtime/exported_call.h"
#include "runtime/posix.h"
#include "runtime/runtime.h"
#include "runtime/started_programs.h"
#include "runtime/text.h"
#include "runtime/window_table.h"

extern char** environ;

namespace larkin::platform {
namespace {

// A started program's process or thread handle: waiting on either waits
// for the program.
class ProgramObject : public Object {
  public:
    explicit ProgramObject(std::shared_ptr<StartedProgram> program) : state(std::move(program)) {}
    std::shared_ptr<StartedProgram> state;
};
class ProcessObject final : public ProgramObject {
    using ProgramObject::ProgramObject;
};
class ThreadObject final : public ProgramObject {
    using ProgramObject::ProgramObject;
};

// Splits a command line by the Windows runtime's rules: blanks separate
// words, double quotes group them, and backslashes escape a quote (2n
// backslashes and a quote give n backslashes and toggle quoting; 2n+1 give n
// and a literal quote).
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\') {
            size_t run = 0;
            while (i + run < line.size() && line[i + run] == '\\') ++run;
            bool beforeQuote = i + run < line.size() && line[i + run] == '"';
            word.append(beforeQuote ? run / 2 : run, '\\');
            i += run - 1;
            if (beforeQuote && run % 2 == 1) {
                word += '"';
                ++i;
            }
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

// A Windows program name ("cmd", "cmd.exe") as a program of this system:
// beside the running program first, then on PATH.
std::string ResolveProgram(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
    for (const char* suffix : {".exe", ".com"})
        if (name.size() > 4 && EqualsNoCase(name.substr(name.size() - 4), suffix))
            name.resize(name.size() - 4);
    std::error_code ignored;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ignored).parent_path();
    for (const auto& entry : std::filesystem::directory_iterator(self, ignored)) {
        std::string file = entry.path().filename().string();
        if (EqualsNoCase(file, name) && ::access(entry.path().c_str(), X_OK) == 0)
            return entry.path().string();
    }
    return FindProgram(name);
}

}  // namespace

namespace {

// Forgets programs that ended and that no handle names any more, with their
// console windows.
void ForgetEnded() {
    Runtime& runtime = Runtime::Get();
    for (auto& program : runtime.programs.TakeEnded()) {
        program->Reap();
        if (HWND window = program->Window()) runtime.windows.Remove(window);
    }
}

}  // namespace

}  // namespace larkin::platform

using namespace larkin::platform;

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD creationFlags, LPVOID,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION information) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        if (information == nullptr || startupInfo == nullptr || (!applicationName && !commandLine))
            return Failed(ERROR_INVALID_PARAMETER);
        std::string line = commandLine ? commandLine : applicationName;
        if (FaultFires("CreateProcessA", line)) return FALSE;
        std::vector<std::string> words = SplitCommandLine(line);
        if (applicationName) {
            if (words.empty())
                words.push_back(applicationName);
            else
                words[0] = applicationName;
        }
        if (words.empty()) return Failed(ERROR_INVALID_PARAMETER);
        std::string program = ResolveProgram(words[0]);
        if (program.empty()) return Failed(ERROR_FILE_NOT_FOUND);

        bool newConsole = creationFlags & CREATE_NEW_CONSOLE;
        std::string title = startupInfo->lpTitle ? startupInfo->lpTitle : words[0];
        std::vector<std::string> added = Runtime::Get().ChildEnvironment();
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry) {
            std::string_view text(*entry);
            bool replaced = text.starts_with("LARKIN_CONSOLE_TITLE=");
            for (const auto& extra : added)
                replaced = replaced || text.starts_with(extra.substr(0, extra.find('=') + 1));
            if (!replaced) environment.emplace_back(text);
        }
        environment.insert(environment.end(), added.begin(), added.end());
        if (newConsole) environment.push_back("LARKIN_CONSOLE_TITLE=" + title);
        // The whole command line travels too: a Windows program parses its own.
        environment.push_back("LARKIN_COMMAND_LINE=" + line);

        UniqueFd keyboard, consoleInput;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (newConsole) {
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                posix_spawn_file_actions_destroy(&actions);
                return Failed(ERROR_NOT_ENOUGH_MEMORY);
            }
            keyboard.Reset(pair[0]);
            consoleInput.Reset(pair[1]);
            ::shutdown(keyboard.Get(), SHUT_RD);
            posix_spawn_file_actions_adddup2(&actions, consoleInput.Get(), 0);
        }
        if (currentDirectory) posix_spawn_file_actions_addchdir_np(&actions, currentDirectory);
        std::vector<char*> argv, envp;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        for (auto& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        int spawned =
            posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        consoleInput.Reset();
        if (spawned != 0) return Failed(static_cast<DWORD>(ErrorFromErrno(spawned)));
        UniqueFd descriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (!descriptor.Valid()) {
            // Without a descriptor nothing could wait for it: stop it at once.
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            return Failed(static_cast<DWORD>(ErrorFromErrno(errno)));
        }
        ForgetEnded();

        auto state = std::make_shared<StartedProgram>(pid, std::move(descriptor));
        if (newConsole) {
            WORD show = (startupInfo->dwFlags & STARTF_USESHOWWINDOW) ? startupInfo->wShowWindow
                                                                      : SW_SHOWNORMAL;
            bool front = show != SW_HIDE && show != SW_MINIMIZE && show != SW_SHOWMINIMIZED &&
                         show != SW_SHOWMINNOACTIVE && show != SW_FORCEMINIMIZE;
            std::weak_ptr<StartedProgram> weak = state;
            ConsoleSink sink{[weak](const std::string& text) {
                                 if (auto s = weak.lock()) s->Type(text);
                             },
                             [weak] {
                                 auto s = weak.lock();
                                 return s && !s->Ended();
                             }};
            HWND window = Runtime::Get().windows.AddConsole(title, std::move(sink), front);
            state->AttachConsole(std::move(keyboard), window);
        }
        Runtime::Get().programs.Add(state);
        information->hProcess = Runtime::Get().handles.Add(std::make_shared<ProcessObject>(state));
        information->hThread = Runtime::Get().handles.Add(std::make_shared<ThreadObject>(state));
        information->dwProcessId = static_cast<DWORD>(pid);
        information->dwThreadId = static_cast<DWORD>(pid);
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    });
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return larkin::platform::Guarded<DWORD>(WAIT_FAILED, [&]() -> DWORD {
        auto program =
            std::dynamic_pointer_cast<ProgramObject>(Runtime::Get().handles.Find(handle));
        if (!program) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (!program->state->WaitEnded(milliseconds)) return WAIT_TIMEOUT;
        program->state->Reap();
        return WAIT_OBJECT_0;
    });
}

BOOL GetExitCodeProcess(HANDLE handle, LPDWORD exitCode) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto process = Runtime::Get().handles.Get<ProcessObject>(handle);
        if (!process || exitCode == nullptr) return FALSE;
        *exitCode = process->state->ExitCode();
        return TRUE;
    });
}

BOOL TerminateProcess(HANDLE handle, UINT) {
    return larkin::platform::Guarded<BOOL>(FALSE, [&]() -> BOOL {
        auto process = Runtime::Get().handles.Get<ProcessObject>(handle);
        if (!process) return FALSE;
        process->state->Kill();
        return TRUE;
    });
}
