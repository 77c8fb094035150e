// SCSI commands through SG_IO: what a node without SCSI says, and how the
// kernel's reply becomes an outcome.
#include "backends/linux/scsi_generic.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "loop_device.h"

namespace larkin::platform::linuxhw {
namespace {

TEST(SendScsi, WhatHasNoScsiTargetSaysSo) {
    test::LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, test::LoopOptions{.size = 1 << 20});
    auto file =
        std::filesystem::temp_directory_path() / ("larkin-scsi-" + std::to_string(::getpid()));
    std::ofstream(file) << "not a device";
    const std::vector<uint8_t> inquiry = {0x12, 0, 0, 0, 36, 0}, none, seventeen(17, 0);
    struct Case {
        std::string node;
        const std::vector<uint8_t>& cdb;
        DWORD error;
    };
    for (const Case& c : {Case{loop.Node(), inquiry, ERROR_NOT_SUPPORTED},
                          Case{file.string(), inquiry, ERROR_NOT_SUPPORTED},
                          Case{"/dev/no-such-sg", inquiry, ERROR_DEVICE_NOT_CONNECTED},
                          Case{"/dev/null", none, ERROR_INVALID_PARAMETER},
                          Case{"/dev/null", seventeen, ERROR_INVALID_PARAMETER}}) {
        SCOPED_TRACE(c.node);
        std::vector<std::byte> data(36);
        ScsiOutcome outcome = SendScsi(c.node, c.cdb, DataDirection::In, data, 5);
        EXPECT_EQ(outcome.error, c.error);
        EXPECT_EQ(outcome.transferred, 0u);
        EXPECT_TRUE(outcome.sense.empty());
    }
    std::filesystem::remove(file);
}

// A command that never reached the target is an error; one the target
// answered carries its status, what moved (the residue bounded by the
// transfer) and sense only on CHECK CONDITION (DRIVER_SENSE only says that
// sense came).
TEST(ScsiOutcomeOf, ErrorsStatusSenseAndWhatMoved) {
    const std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
    struct Case {
        SgIoReply reply;
        DWORD error;
        uint32_t transferred;
        bool senseKept;
    };
    const uint8_t check = SCSISTAT_CHECK_CONDITION;
    const Case cases[] = {
        {{.error = ENOTTY}, ERROR_NOT_SUPPORTED, 0, false},
        {{.error = ENODEV}, ERROR_DEVICE_NOT_CONNECTED, 0, false},
        {{.error = EACCES}, ERROR_ACCESS_DENIED, 0, false},
        {{.hostStatus = 0x01, .length = 8}, ERROR_DEVICE_NOT_CONNECTED, 0, false},
        {{.hostStatus = 0x03}, ERROR_TIMEOUT, 0, false},
        {{.hostStatus = 0x07}, ERROR_IO_DEVICE, 0, false},  // host adapter error
        {{.driverStatus = 0x06}, ERROR_TIMEOUT, 0, false},
        {{.status = check, .resid = 6, .length = 18, .sense = sense}, ERROR_SUCCESS, 12, true},
        {{.status = check, .driverStatus = 0x08, .sense = sense}, ERROR_SUCCESS, 0, true},
        {{.status = SCSISTAT_GOOD, .length = 36, .sense = sense}, ERROR_SUCCESS, 36, false},
        {{.status = SCSISTAT_BUSY, .resid = 36, .length = 36}, ERROR_SUCCESS, 0, false},
        {{.resid = -5, .length = 10}, ERROR_SUCCESS, 10, false},
        {{.resid = 50, .length = 10}, ERROR_SUCCESS, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "errno " << c.reply.error << " status " << int(c.reply.status) << " host "
                     << c.reply.hostStatus << " driver " << c.reply.driverStatus);
        ScsiOutcome outcome = ScsiOutcomeOf(c.reply);
        EXPECT_EQ(outcome.error, c.error);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_EQ(outcome.status, c.reply.status);
        }
        EXPECT_EQ(outcome.transferred, c.transferred);
        EXPECT_EQ(outcome.sense, c.senseKept ? sense : std::vector<uint8_t>{});
    }
}

}  // namespace
}  // namespace larkin::platform::linuxhw
