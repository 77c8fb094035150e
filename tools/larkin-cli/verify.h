// larkin-cli verify: reads a drive back and checks, one by one, that it is
// what the make-bootable flow leaves.
#ifndef LARKIN_CLI_VERIFY_H
#define LARKIN_CLI_VERIFY_H

#include <string>
#include <vector>

#include "drives.h"

namespace larkin::cli {

struct Check {
    std::string name;
    bool passed = false;
    std::string detail;
};

// The checks, in order; a check that cannot be made because an earlier one
// failed is reported as failed with the reason.
std::vector<Check> VerifyDrive(const Drive& drive);

}  // namespace larkin::cli

#endif
