// Machines, fixtures and probes shared by the engine's tests.
#ifndef LARKIN_TESTS_ENGINE_SUPPORT_H
#define LARKIN_TESTS_ENGINE_SUPPORT_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "devices/device_table.h"
#include "larkin/simulation.h"
#include "run_command.h"
#include "test_machine.h"
#include "win32/windows.h"

namespace tessel::test {

// A machine of the test's own (by default stick E: and a blank stick), with
// the engine's services bound and its tables and callback zeroed, as after
// a fresh load.
class EngineTest : public ::testing::Test {
  protected:
    explicit EngineTest(
        const std::string& toml = larkin::test::MachineText("engine-sticks-e-and-blank"));
    ~EngineTest() override;

    larkin::test::TestMachine machine_;
};

// Runs op with the standard output captured; returns what it wrote.
std::string CapturedOutput(const std::function<void()>& op);

// The error an injected fault leaves, to tell it from every other failure.
inline constexpr DWORD kInjectedError = 0x20001234u;

// Fails, in turn, each platform call that op makes in a clean run (a call
// repeated from one place in a loop: its first, second and last round), once
// per run, and hands the run to check (with the failing call's name and its
// number among the calls of that name). Also checks that no run leaves more
// handles open than the clean run did. Returns how many runs had a fault.
// prepare, when given, runs before every run of op (clean or faulted) with
// no fault set and no call recorded: it puts the machine back as op expects
// to find it.
int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check,
                       const std::function<void()>& prepare = {});

}  // namespace tessel::test

#endif
