#include "cdb_length.h"

#include <algorithm>
#include <array>

namespace pellom {

namespace {
constexpr std::array<BYTE, 8> kCdbLengthTable = {6, 10, 10, 10, 16, 12, 6, 10};
constexpr BYTE kModeSense10 = 0x5A;
constexpr BYTE kMaxCdbLength = 16;
}  // namespace

BYTE CdbLength(const BYTE* cdb, bool passThrough) {
    BYTE length = kCdbLengthTable[cdb[0] >> 5];
    if (!passThrough) return length;
    if (cdb[0] == 0xF0 || cdb[0] == 0xF1) return kMaxCdbLength;
    if (cdb[0] == kModeSense10 && cdb[9] != 0) return std::min(cdb[9], kMaxCdbLength);
    return length;
}

}  // namespace pellom
