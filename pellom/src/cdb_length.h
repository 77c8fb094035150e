// The length of a command block as announced to the transport.
#ifndef PELLOM_CDB_LENGTH_H
#define PELLOM_CDB_LENGTH_H

#include "win32/base.h"

namespace pellom {

// From the operation code's group (bits 7-5 of byte 0). Pass-through
// requests override it: 0xF0 and 0xF1 have 16 bytes, and a MODE SENSE(10)
// with a non-zero byte 9 has that many, up to the 16 bytes the request
// carries. cdb holds 16 bytes.
BYTE CdbLength(const BYTE* cdb, bool passThrough);

}  // namespace pellom

#endif
