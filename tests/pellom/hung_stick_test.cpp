// A stick that never answers: Pellom's command fails when its watchdog (in
// seconds) runs out, and the rest of the process goes on meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "larkin/simulation.h"
#include "pellom_session.h"
#include "run_command.h"

namespace larkin::test {
namespace {

TEST(HungStick, CommandFailsWhenTheWatchdogRunsOutWhileOtherCallsGoOn) {
    PellomSession session(MachineText("hung-stick"));
    session.faults().WithoutVerran();
    PellomApi& pellom = session.Load();
    ASSERT_EQ(pellom.loadCoreModule(), 2);
    ASSERT_EQ(pellom.getDeviceCount(0, "USB"), 1);  // the stick; the system disk is left out

    std::atomic<bool> answered{false};
    auto command = std::async(std::launch::async, [&] {
        int result = pellom.executeScsi(0, kTestUnitReady.data(), 0);
        answered = true;
        return result;
    });
    // Once the command waits on the stick, the system disk opens and reads;
    // the default watchdog of 10 s (a second here) is not waited for.
    auto waiting = [] {
        for (const auto& disk : sim::Disks())
            if (disk.id == "hung") return disk.commandsWaiting > 0;
        return false;
    };
    while (!answered && !waiting()) std::this_thread::yield();
    ASSERT_FALSE(answered) << "the machine could not be asked while the command waited";
    HANDLE disk =
        CreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    std::array<BYTE, 512> sector{};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(disk, sector.data(), sector.size(), &read, nullptr));
    CloseHandle(disk);
    EXPECT_FALSE(answered) << "a read of another disk waited for the hung stick";

    // Taken as thousands of seconds, the watchdog would leave the command
    // waiting for hours; unplugging the stick ends that wait.
    if (command.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        ADD_FAILURE() << "the command outlived its watchdog";
        sim::Plug("hung", false);
    }
    EXPECT_EQ(command.get(), 1);  // not sent: the pass-through failed
}

}  // namespace
}  // namespace larkin::test
