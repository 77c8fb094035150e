// Libraries, windows, message boxes, started programs with their consoles,
// and key presses.

#include <atomic>
#include <chrono>
#include <future>

#include "larkin/simulation.h"
#include "run_command.h"
#include "test_machine.h"
#include "windows_calls.h"

namespace larkin::test {
namespace {

// Ordinals, a refusing entry point and a window's messages are the Corvid
// and Tessel suites' (their libraries use them); these are the rest.
TEST(Libraries, WindowsNamesOwnExportsAndResources) {
    // An entry point that throws fails the load, as one that refuses does.
    setenv("LARKIN_TEST_ATTACH", "throw", 1);
    LARKIN_EXPECT_FAILS(LoadLibraryA("PlatformTestModule"), ERROR_DLL_INIT_FAILED);
    unsetenv("LARKIN_TEST_ATTACH");
    HMODULE module = LoadLibraryA("PLATFORMTESTMODULE.DLL");
    ASSERT_NE(module, nullptr) << GetLastError();
    auto attaches = reinterpret_cast<int (*)()>(GetProcAddress(module, "ModuleAttaches"));
    ASSERT_NE(attaches, nullptr);
    HMODULE again = LoadLibraryA("PlatformTestModule");
    EXPECT_EQ(again, module);
    EXPECT_EQ(attaches(), 1);  // attached once per process
    // Only the module's own exports: a platform function is not one of them.
    EXPECT_EQ(GetProcAddress(module, "CreateFileA"), nullptr);
    LARKIN_EXPECT_FAILS(FindResourceA(module, MAKEINTRESOURCEA(112), "BOOTREC"),
                        ERROR_RESOURCE_NAME_NOT_FOUND);
    LARKIN_EXPECT_FAILS(FindResourceA(module, MAKEINTRESOURCEA(111), "ICON"),
                        ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_TRUE(FreeLibrary(module));
    LARKIN_EXPECT_FAILS(LoadLibraryA("NoSuchLibrary"), ERROR_MOD_NOT_FOUND);
}

TEST(Windows, ClassesAndExtraMemory) {
    WNDCLASSA cls{};
    cls.cbWndExtra = 32;
    cls.lpfnWndProc = DefWindowProcA;
    cls.lpszClassName = "TestClass";
    ASSERT_NE(RegisterClassA(&cls), 0);
    LARKIN_EXPECT_FAILS(RegisterClassA(&cls), ERROR_CLASS_ALREADY_EXISTS);
    HWND window = CreateWindowExA(0, "TestClass", "", WS_BORDER, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    LARKIN_EXPECT_FAILS(SetWindowLongA(window, 30, 1), ERROR_INVALID_INDEX);
    EXPECT_EQ(FindWindowA("testclass", nullptr), window);
    LARKIN_EXPECT_FAILS(UnregisterClassA("TestClass", nullptr), ERROR_CLASS_HAS_WINDOWS);
    SendMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(UnregisterClassA("TestClass", nullptr));
}

void Close(const PROCESS_INFORMATION& process) {
    EXPECT_TRUE(CloseHandle(process.hProcess));
    EXPECT_TRUE(CloseHandle(process.hThread));
}

void PressEnter() {
    keybd_event(VK_RETURN, 0, 0, 0);
    keybd_event(VK_RETURN, 0, KEYEVENTF_KEYUP, 0);
}

class Processes : public ::testing::Test {
  protected:
    TestMachine machine_{MachineText("platform-two-sticks")};
};

// Runs body on another thread; a body still blocked after ten seconds is a
// deadlock, which the test breaks by killing the program it waits for.
bool FinishesInTime(std::function<void()> body, DWORD pid) {
    auto done = std::async(std::launch::async, std::move(body));
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return true;
    ::kill(static_cast<pid_t>(pid), SIGKILL);
    done.wait();
    return false;
}

// Enter reaches the console in front alone, and it and TerminateProcess
// reach a program that another thread waits for.
TEST_F(Processes, EnterAndTerminateReachTheirProgramAloneWhileAnotherThreadWaits) {
    PROCESS_INFORMATION waiting = Start("sh -c \"read line; exit 5\"", "FormatWindow");
    PROCESS_INFORMATION other = Start("sh -c \"read line; exit 4\"", "Other");
    PROCESS_INFORMATION sleeper = Start("sleep 600", "Sleeper");
    auto waitFor = [](HANDLE process) {
        return std::async(std::launch::async,
                          [process] { return WaitForSingleObject(process, INFINITE); });
    };
    auto waiter = waitFor(waiting.hProcess), sleeperWaiter = waitFor(sleeper.hProcess);
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_TRUE(FinishesInTime(
        [] {
            ShowWindow(FindWindowA(nullptr, "FormatWindow"), SW_RESTORE);
            PressEnter();
        },
        waiting.dwProcessId));
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(waiting), 5u);
    EXPECT_EQ(FindWindowA(nullptr, "FormatWindow"), nullptr);  // gone with its program

    // The other program never had the focus and got nothing; a key press now
    // has nowhere to go.
    PressEnter();
    EXPECT_EQ(WaitForSingleObject(other.hProcess, 200), WAIT_TIMEOUT);
    EXPECT_EQ(ExitCode(other), STILL_ACTIVE);
    EXPECT_EQ(sleeperWaiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    EXPECT_TRUE(FinishesInTime([&] { EXPECT_TRUE(TerminateProcess(sleeper.hProcess, 1)); },
                               sleeper.dwProcessId));
    EXPECT_EQ(sleeperWaiter.get(), WAIT_OBJECT_0);
    EXPECT_NE(ExitCode(sleeper), STILL_ACTIVE);
    TerminateProcess(other.hProcess, 1);
    WaitForSingleObject(other.hProcess, INFINITE);
    for (const auto& process : {waiting, other, sleeper}) Close(process);
}

// Looking for a window while console programs end: the search never reads
// an entry that the check of whether its program still runs took away.
TEST_F(Processes, FindingWindowsWhileTheirProgramsEnd) {
    std::vector<PROCESS_INFORMATION> started;
    for (int i = 0; i < 6; ++i)
        started.push_back(Start("true", ("Short" + std::to_string(i)).c_str()));
    // Every search looks at each console and asks whether its program runs.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (FindWindowA("ConsoleWindowClass", nullptr) != nullptr &&
           std::chrono::steady_clock::now() < deadline) {
    }
    EXPECT_EQ(FindWindowA("ConsoleWindowClass", nullptr), nullptr);
    for (auto& process : started) Close(process);
}

// A restart forgets the started programs and their consoles while they
// still run, with another thread looking for windows and pressing keys all
// the while: nothing of theirs is left, and new programs get windows, the
// focus and their keys as before. Children use the same machine, which this
// process's environment is never changed to say; an unknown program is not
// found.
TEST_F(Processes, ARestartForgetsProgramsThatStillRunAndChildrenKeepTheMachine) {
    PROCESS_INFORMATION before = Start("sh -c \"read line; exit 3\"", "Before", SW_SHOWNORMAL);
    HWND console = FindWindowA(nullptr, "Before");
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(GetForegroundWindow(), console);

    std::atomic<bool> done{false};
    auto presser = std::async(std::launch::async, [&] {
        while (!done) {
            FindWindowA("ConsoleWindowClass", nullptr);
            IsWindow(GetForegroundWindow());
            keybd_event('X', 0, 0, 0);
        }
    });
    ::unsetenv("LARKIN_MACHINE");
    std::string error;
    ASSERT_TRUE(larkin::sim::Restart(machine_.file().string(), &error)) << error;
    ASSERT_EQ(std::getenv("LARKIN_MACHINE"), nullptr);
    EXPECT_EQ(std::tuple(FindWindowA(nullptr, "Before"), IsWindow(console), GetForegroundWindow()),
              std::tuple(nullptr, FALSE, nullptr));
    EXPECT_EQ(WaitForSingleObject(before.hProcess, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    PROCESS_INFORMATION after =
        Start("sh -c \"read line; test \\\"$LARKIN_MACHINE\\\" = '" + machine_.file().string() +
                  "' && test \\\"$LARKIN_CONSOLE_TITLE\\\" = After && exit 4\"",
              "After", SW_SHOWNORMAL);
    EXPECT_EQ(std::getenv("LARKIN_MACHINE"), nullptr);
    HWND next = FindWindowA(nullptr, "After");
    ASSERT_NE(next, nullptr);
    EXPECT_NE(next, console);
    EXPECT_EQ(GetForegroundWindow(), next);
    PressEnter();
    EXPECT_EQ(WaitForSingleObject(after.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(ExitCode(after), 4u);
    done = true;
    presser.get();
    Close(after);
    // Nothing reaps a forgotten program: the test does.
    ::kill(static_cast<pid_t>(before.dwProcessId), SIGKILL);
    ::waitpid(static_cast<pid_t>(before.dwProcessId), nullptr, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    char missing[] = "no-such-program-here /c format";
    LARKIN_EXPECT_FAILS(CreateProcessA(nullptr, missing, nullptr, nullptr, FALSE, 0, nullptr,
                                       nullptr, &startup, &after),
                        ERROR_FILE_NOT_FOUND);
}

// At exit a module is detached while the runtime and its own statics still
// stand: its entry point still finds its module and the process's windows.
TEST_F(Processes, AModuleDetachedAtExitStillSeesTheRuntime) {
    EXPECT_EXIT(
        {
            setenv("LARKIN_TEST_EXIT_REPORT", "1", 1);
            Start("sh -c \"read line\"", "ExitConsole");
            if (LoadLibraryA("PlatformTestModule") == nullptr) std::_Exit(2);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "detached at exit: [^\n]*PlatformTestModule[^\n]*, console found, statics standing");
}

}  // namespace
}  // namespace larkin::test
