// The command-block lengths announced to each transport.
#include <gtest/gtest.h>

#include <array>

#include "cdb_length.h"

namespace {

BYTE Length(BYTE opcode, bool passThrough, BYTE byte9 = 0) {
    std::array<BYTE, 16> cdb{opcode};
    cdb[9] = byte9;
    return pellom::CdbLength(cdb.data(), passThrough);
}

TEST(CdbLength, GroupsGiveTheTableLength) {
    const struct {
        BYTE opcode;
        BYTE length;
    } groups[] = {{0x00, 6},  {0x1F, 6},  {0x28, 10}, {0x5A, 10}, {0x7F, 10},
                  {0x88, 16}, {0xA8, 12}, {0xC0, 6},  {0xE0, 10}, {0xFF, 10}};
    for (const auto& group : groups) {
        EXPECT_EQ(Length(group.opcode, false), group.length) << int(group.opcode);
        EXPECT_EQ(Length(group.opcode, true), group.length) << int(group.opcode);
    }
}

TEST(CdbLength, PassThroughOverridesVendorCodesAndModeSense) {
    EXPECT_EQ(Length(0xF0, true), 16);
    EXPECT_EQ(Length(0xF1, true), 16);
    EXPECT_EQ(Length(0xF0, false), 10);
    EXPECT_EQ(Length(0x5A, true, 12), 12);
    EXPECT_EQ(Length(0x5A, false, 12), 10);
    // 0x12 would be 18: never more than the 16 bytes the request carries.
    EXPECT_EQ(Length(0x5A, true, 0x12), 16);
    EXPECT_EQ(Length(0x5A, true, 0xFF), 16);
    // Byte 9 means something only for MODE SENSE(10).
    EXPECT_EQ(Length(0x28, true, 12), 10);
}

}  // namespace
