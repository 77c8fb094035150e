// The ASPI manager stand-in on its own: request blocks, deferred completion
// and its status codes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "allocation_faults.h"
#include "core_test_support.h"
#include "larkin/simulation.h"
#include "wnaspi32/wnaspi32.h"

namespace larkin::test {
namespace {

constexpr const char* kMachine = R"(
[machine]
time_scale = 0
[[adapter]]
id = "usb0"
class = "USB"
aspi = true
scsi_id = 6
[[adapter.disk]]
id = "a"
size = "2MiB"
vendor = "ACME"
product = "Stick A"
target = 1
)";

struct Aspi {
    corvid::Library library{LoadLibraryA("wnaspi32")};
    GET_ASPI32_SUPPORT_INFO supportInfo =
        Bind<GET_ASPI32_SUPPORT_INFO>(library, "GetASPI32SupportInfo");
    SEND_ASPI32_COMMAND send = Bind<SEND_ASPI32_COMMAND>(library, "SendASPI32Command");
};

BYTE WaitFor(BYTE& status) {
    std::atomic_ref<BYTE> polled(status);
    while (polled.load(std::memory_order_acquire) == SS_PENDING) std::this_thread::yield();
    return status;
}

// An execute request with a 32-byte sense area.
#pragma pack(push, 1)
struct WideRequest {
    SRB_ExecSCSICmd srb;
    BYTE moreSense[16];
};
#pragma pack(pop)

WideRequest Request(BYTE target, BYTE opcode, BYTE flags, BYTE* data, DWORD length) {
    WideRequest request{};
    request.srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    request.srb.SRB_Target = target;
    request.srb.SRB_Flags = flags;
    request.srb.SRB_BufPointer = data;
    request.srb.SRB_BufLen = length;
    request.srb.SRB_SenseLen = 32;
    request.srb.SRB_CDBLen = 6;
    request.srb.CDBByte[0] = opcode;
    request.srb.CDBByte[4] = static_cast<BYTE>(length);
    return request;
}

// Pellom's ASPI tests cover the request contents; this covers what they
// cannot see: requests really complete after SendASPI32Command returns, and
// the status codes of refused requests.
TEST(Wnaspi32, CompletesRequestsAfterReturningAndRefusesBadOnesAtOnce) {
    TestMachine machine(kMachine);
    Aspi aspi;
    EXPECT_EQ(aspi.supportInfo(), (DWORD{SS_COMP} << 8) | 1);

    BYTE data[96] = {};
    WideRequest request = Request(1, 0x12, SRB_DIR_IN, data, sizeof data);
    EXPECT_EQ(aspi.send(&request), SS_PENDING);
    EXPECT_EQ(WaitFor(request.srb.SRB_Status), SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 15), "ACME    Stick A");

    // CHECK CONDITION: the whole widened sense area is the manager's to fill.
    WideRequest check = Request(1, 0x1B, 0, nullptr, 0);
    std::memset(check.moreSense, 0xEE, sizeof check.moreSense);
    EXPECT_EQ(aspi.send(&check), SS_PENDING);
    EXPECT_EQ(WaitFor(check.srb.SRB_Status), SS_ERR);
    EXPECT_EQ(check.srb.SRB_TargStat, 2);
    EXPECT_EQ(check.moreSense[15], 0);

    WideRequest absent = Request(3, 0x12, SRB_DIR_IN, data, sizeof data);
    EXPECT_EQ(aspi.send(&absent), SS_PENDING);
    EXPECT_EQ(WaitFor(absent.srb.SRB_Status), SS_NO_DEVICE);
    EXPECT_EQ(absent.srb.SRB_HaStat, HASTAT_SEL_TO);

    SRB_RescanPort rescan{};
    rescan.SRB_Cmd = SC_RESCAN_SCSI_BUS;
    EXPECT_EQ(aspi.send(&rescan), SS_PENDING);
    EXPECT_EQ(WaitFor(rescan.SRB_Status), SS_COMP);

    WideRequest badAdapter = Request(1, 0x12, SRB_DIR_IN, data, sizeof data);
    badAdapter.srb.SRB_HaId = 4;
    EXPECT_EQ(aspi.send(&badAdapter), SS_INVALID_HA);
    WideRequest badLength = Request(1, 0x12, SRB_DIR_IN, data, sizeof data);
    badLength.srb.SRB_CDBLen = 17;
    EXPECT_EQ(aspi.send(&badLength), SS_INVALID_SRB);
    SRB_Header unknown{};
    unknown.SRB_Cmd = 0x55;
    EXPECT_EQ(aspi.send(&unknown), SS_INVALID_CMD);
}

// The time a request takes is a pause of the platform's: it follows the
// machine's time scale and shows in the record of pauses.
TEST(Wnaspi32, CompletionWaitsThroughThePlatform) {
    TestMachine machine(kMachine);
    Aspi aspi;
    BYTE data[96] = {};
    WideRequest request = Request(1, 0x12, SRB_DIR_IN, data, sizeof data);
    sim::ClearPauses();
    ASSERT_EQ(aspi.send(&request), SS_PENDING);
    EXPECT_EQ(WaitFor(request.srb.SRB_Status), SS_COMP);
    EXPECT_EQ(sim::Pauses(), std::vector<DWORD>{1});
}

// A request the manager cannot queue fails at once, its status set, so that
// a caller polling it does not wait for ever; one failing later, on the
// worker, completes with an error. The next request works.
TEST(Wnaspi32, OutOfMemoryFailsTheRequestWithoutLeavingItPending) {
    if (!allocation::Enabled()) GTEST_SKIP() << "the sanitizer owns the allocator";
    TestMachine machine(kMachine);
    int refused = 0;
    long point = 0;
    for (;; ++point) {
        Aspi aspi;  // loaded afresh: its first request starts the worker
        BYTE data[96] = {};
        WideRequest request = Request(1, 0x12, SRB_DIR_IN, data, sizeof data);
        // Only the library's own allocations: the platform's answer to a
        // lack of memory (no such adapter) is the platform's tests' concern.
        allocation::FailAfter(point, {"wnaspi32"});
        DWORD sent = aspi.send(&request);
        BYTE status = sent == SS_PENDING ? WaitFor(request.srb.SRB_Status) : BYTE(sent);
        bool failed = allocation::Failed();
        EXPECT_EQ(request.srb.SRB_Status, status);
        if (!failed) {
            EXPECT_EQ(status, SS_COMP);
            break;
        }
        // Out of memory in the platform's host list reads as no such adapter.
        EXPECT_TRUE(status == SS_INSUFFICIENT_RESOURCES || status == SS_INVALID_HA ||
                    status == SS_ERR || status == SS_COMP)
            << "allocation " << point << " gave " << int{status};
        refused += sent == SS_INSUFFICIENT_RESOURCES;
    }
    EXPECT_GT(refused, 0) << "over " << point << " allocations";
}

TEST(Wnaspi32, WithoutHostAdaptersReportsNone) {
    TestMachine machine("[machine]\ntime_scale = 0\n");
    Aspi aspi;
    EXPECT_EQ(aspi.supportInfo(), DWORD{SS_NO_ADAPTERS} << 8);
}

}  // namespace
}  // namespace larkin::test
