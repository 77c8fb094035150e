// Helpers for the tests of Corvid and Pellom: a working folder of the test's
// own (Corvid.log is written in the current directory), the trace lines,
// recorded message boxes, injected faults, bound exports and a session of them.
#ifndef LARKIN_TESTS_CORE_TEST_SUPPORT_H
#define LARKIN_TESTS_CORE_TEST_SUPPORT_H

#include <gmock/gmock.h>

#include <fstream>
#include <optional>

#include "larkin/owned.h"
#include "larkin/platform.h"
#include "larkin/simulation.h"
#include "larkin/test_controls.h"
#include "run_command.h"
#include "test_machine.h"

namespace larkin::test {

using ::testing::Contains;

// Makes a fresh temporary folder the current directory for its lifetime.
class WorkingFolder {
  public:
    WorkingFolder() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.path());
    }
    ~WorkingFolder() { std::filesystem::current_path(previous_); }

  private:
    TempFolder folder_;
    std::filesystem::path previous_;
};

// The lines of Corvid.log in the current directory that begin with prefix,
// without it and without line ends.
inline std::vector<std::string> TraceLines(const std::string& prefix = "") {
    std::vector<std::string> lines;
    std::ifstream file("Corvid.log");
    for (std::string line; std::getline(file, line);)
        if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    return lines;
}

// The same lines, each ended by '|'.
inline std::string TraceText(const std::string& prefix) {
    std::string text;
    for (const std::string& line : TraceLines(prefix)) text += line + "|";
    return text;
}

struct ShownBox {
    HWND owner;
    std::string text, caption;
    UINT type;
    bool windowAlive;  // whether `watched` was still a window when the box showed
};

// Records every message box and answers IDOK.
class MessageBoxes {
  public:
    MessageBoxes() { LarkinSetMessageBoxHandler(&MessageBoxes::Show, this); }
    ~MessageBoxes() { LarkinSetMessageBoxHandler(nullptr, nullptr); }
    MessageBoxes(const MessageBoxes&) = delete;
    MessageBoxes& operator=(const MessageBoxes&) = delete;
    // Each box as text|caption|type, a line each.
    std::string Texts() const {
        std::string texts;
        for (const ShownBox& box : shown)
            texts += box.text + "|" + box.caption + "|" + std::to_string(box.type) + "\n";
        return texts;
    }
    std::vector<ShownBox> shown;
    HWND watched = nullptr;

  private:
    static int Show(void* context, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
        auto* self = static_cast<MessageBoxes*>(context);
        bool alive = self->watched != nullptr && IsWindow(self->watched);
        self->shown.push_back({owner, text ? text : "", caption ? caption : "", type, alive});
        return IDOK;
    }
};

// Faults injected for one test, cleared when it ends.
class Faults {
  public:
    ~Faults() { controls::ClearFaults(); }
    void Fail(const std::string& call, const std::string& device, int count = 0) {
        controls::InjectFault({.call = call, .device = device, .count = count});
    }
    void WithoutVerran() { Fail("LoadLibraryA", "Verran"); }
};

template <class F>
F Bind(const larkin::Library& library, const char* name) {
    F function = larkin::Export<F>(library, name);
    EXPECT_NE(function, nullptr) << name;
    return function;
}
// A member bound to an export of the member `library` declared before it.
#define LARKIN_BIND(type, member, name) type member = Bind<type>(library, name)

// A machine of tests/machines, run in a working folder of its own with its
// message boxes recorded; the library's exports, loaded last, go first.
template <class Api>
struct CoreSession {
    explicit CoreSession(const char* machineName) : machine(MachineText(machineName)) {}
    Api& Load() {
        EXPECT_TRUE(api.emplace().library);
        return *api;
    }

    TestMachine machine;
    WorkingFolder folder;
    MessageBoxes boxes;
    Faults faults;
    std::optional<Api> api;
};

}  // namespace larkin::test

#endif
