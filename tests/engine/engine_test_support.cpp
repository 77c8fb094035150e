#include "engine_test_support.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "exports/message_channel.h"
#include "exports/services.h"
#include "larkin/platform.h"
#include "larkin/test_controls.h"

namespace tessel::test {

EngineTest::EngineTest(const std::string& toml) : machine_(toml) {
    ClearRows(CurrentTable);
    ClearRows(BaselineTable);
    ClearRows(ProbeTable);
    CurrentTable.count = BaselineTable.count = ProbeTable.count = 0;
    SetProgressCallback(nullptr);
    EXPECT_TRUE(BindServices()) << GetLastError();
    larkin::controls::ClearPauses();
}

EngineTest::~EngineTest() {
    larkin::controls::ClearFaults();
    ReleaseServices(false);
}

std::string CapturedOutput(const std::function<void()>& op) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    op();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

namespace {

// Handles open now that were not open in before.
int OpenedSince(const std::vector<HANDLE>& before) {
    int opened = 0;
    for (HANDLE handle : larkin::controls::OpenHandles())
        if (std::find(before.begin(), before.end(), handle) == before.end()) ++opened;
    return opened;
}

}  // namespace

int FailEachCallInTurn(const std::function<void()>& op,
                       const std::function<void(const std::string&, int)>& check,
                       const std::function<void()>& prepare) {
    auto prepared = [&] {
        if (prepare) prepare();
    };
    larkin::controls::ClearFaults();
    // Clean runs: a run may replace handles that a service keeps (Pellom's
    // ports), but repeated runs must not add to them.
    prepared();
    auto start = larkin::controls::OpenHandles();
    op();
    int keptAfterOne = OpenedSince(start);
    prepared();
    op();
    prepared();
    op();
    EXPECT_EQ(OpenedSince(start), keptAfterOne) << "clean runs leave handles open";

    prepared();
    auto before = larkin::controls::OpenHandles();
    larkin::controls::RecordCalls(true);
    op();
    larkin::controls::RecordCalls(false);
    int cleanOpen = OpenedSince(before);
    auto calls = larkin::controls::RecordedCalls();

    // A loop makes the same call from the same place many times, and failing
    // its tenth round takes the path its second did. A call is failed where
    // it follows a given call on a given device for the first, second and
    // last time: every place in the flow, without each round of its loops.
    std::vector<std::string> places;
    std::map<std::string, std::size_t> lastAt;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        places.push_back((i ? calls[i - 1].call : "") + ">" + calls[i].call + "@" +
                         calls[i].device);
        lastAt[places.back()] = i;
    }
    int faultedRuns = 0;
    std::map<std::string, int> seen;
    std::map<std::string, int> seenAt;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const auto& record = calls[i];
        int n = seen[record.call]++;
        if (seenAt[places[i]]++ >= 2 && lastAt[places[i]] != i) continue;
        larkin::controls::ClearFaults();
        prepared();
        before = larkin::controls::OpenHandles();
        larkin::controls::InjectFault({record.call, "", 0, n, 1, kInjectedError});
        op();
        larkin::controls::ClearFaults();
        ++faultedRuns;
        SCOPED_TRACE(record.call + " call " + std::to_string(n) + " (" + record.device +
                     ") failing");
        EXPECT_LE(OpenedSince(before), cleanOpen);
        check(record.call, n);
    }
    return faultedRuns;
}

}  // namespace tessel::test
