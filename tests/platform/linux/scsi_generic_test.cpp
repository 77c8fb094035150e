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

const std::vector<uint8_t> kInquiry = {0x12, 0, 0, 0, 36, 0};

TEST(SendScsi, NodesWithoutScsiDoNotSupportIt) {
    test::LoopDevice loop;
    LARKIN_ATTACH_LOOP(loop, test::LoopOptions{.size = 1 << 20});
    std::vector<std::byte> data(36);
    ScsiOutcome outcome = SendScsi(loop.Node(), kInquiry, DataDirection::In, data, 5);
    EXPECT_EQ(outcome.error, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(outcome.transferred, 0u);
    EXPECT_TRUE(outcome.sense.empty());
}

TEST(SendScsi, PlainFileDoesNotSupportIt) {
    auto file =
        std::filesystem::temp_directory_path() / ("larkin-scsi-" + std::to_string(::getpid()));
    std::ofstream(file) << "not a device";
    std::vector<std::byte> data(36);
    ScsiOutcome outcome = SendScsi(file, kInquiry, DataDirection::In, data, 5);
    std::filesystem::remove(file);
    EXPECT_EQ(outcome.error, ERROR_NOT_SUPPORTED);
}

TEST(SendScsi, MissingDeviceIsNotConnected) {
    std::vector<std::byte> data(36);
    EXPECT_EQ(SendScsi("/dev/no-such-sg", kInquiry, DataDirection::In, data, 5).error,
              ERROR_DEVICE_NOT_CONNECTED);
}

TEST(SendScsi, CommandBlocksOutsideOneToSixteenBytesAreRefused) {
    std::vector<std::byte> data(36);
    std::vector<uint8_t> none, long_(17, 0);
    EXPECT_EQ(SendScsi("/dev/null", none, DataDirection::In, data, 5).error,
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SendScsi("/dev/null", long_, DataDirection::In, data, 5).error,
              ERROR_INVALID_PARAMETER);
}

TEST(ScsiOutcomeOf, CheckConditionCarriesStatusSenseAndWhatMoved) {
    std::vector<uint8_t> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0};
    SgIoReply reply{.status = SCSISTAT_CHECK_CONDITION, .resid = 6, .length = 18, .sense = sense};
    ScsiOutcome outcome = ScsiOutcomeOf(reply);
    EXPECT_EQ(outcome.error, ERROR_SUCCESS);
    EXPECT_EQ(outcome.status, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(outcome.sense, sense);
    EXPECT_EQ(outcome.transferred, 12u);
}

TEST(ScsiOutcomeOf, GoodStatusCarriesNoSense) {
    std::vector<uint8_t> stale = {0x70, 0, 0x06};
    ScsiOutcome outcome = ScsiOutcomeOf({.status = SCSISTAT_GOOD, .length = 36, .sense = stale});
    EXPECT_EQ(outcome.error, ERROR_SUCCESS);
    EXPECT_TRUE(outcome.sense.empty());
    EXPECT_EQ(outcome.transferred, 36u);

    // A target that is busy answered: no error, its status.
    outcome = ScsiOutcomeOf({.status = SCSISTAT_BUSY, .resid = 36, .length = 36});
    EXPECT_EQ(outcome.error, ERROR_SUCCESS);
    EXPECT_EQ(outcome.status, SCSISTAT_BUSY);
    EXPECT_EQ(outcome.transferred, 0u);
}

TEST(ScsiOutcomeOf, ResidueOutsideTheTransferIsBounded) {
    EXPECT_EQ(ScsiOutcomeOf({.resid = -5, .length = 10}).transferred, 10u);
    EXPECT_EQ(ScsiOutcomeOf({.resid = 50, .length = 10}).transferred, 0u);
}

TEST(ScsiOutcomeOf, CommandsThatNeverReachedTheTargetAreErrors) {
    struct Case {
        SgIoReply reply;
        DWORD error;
    };
    const Case cases[] = {
        {{.error = ENOTTY}, ERROR_NOT_SUPPORTED},
        {{.error = ENODEV}, ERROR_DEVICE_NOT_CONNECTED},
        {{.error = EACCES}, ERROR_ACCESS_DENIED},
        {{.hostStatus = 0x01}, ERROR_DEVICE_NOT_CONNECTED},  // no connection
        {{.hostStatus = 0x03}, ERROR_TIMEOUT},
        {{.hostStatus = 0x07}, ERROR_IO_DEVICE},  // host adapter error
        {{.driverStatus = 0x06}, ERROR_TIMEOUT},
    };
    for (const auto& c : cases) {
        ScsiOutcome outcome = ScsiOutcomeOf(c.reply);
        EXPECT_EQ(outcome.error, c.error)
            << "errno " << c.reply.error << " host " << c.reply.hostStatus << " driver "
            << c.reply.driverStatus;
        EXPECT_EQ(outcome.transferred, 0u);
    }
    // DRIVER_SENSE only says that sense came: the target answered.
    std::vector<uint8_t> sense = {0x70, 0, 0x02};
    ScsiOutcome outcome = ScsiOutcomeOf(
        {.status = SCSISTAT_CHECK_CONDITION, .driverStatus = 0x08, .length = 0, .sense = sense});
    EXPECT_EQ(outcome.error, ERROR_SUCCESS);
    EXPECT_EQ(outcome.sense, sense);
}

}  // namespace
}  // namespace larkin::platform::linuxhw
