// An engine library without CreateUSBBoot, for the binding tests: it lists
// one drive.
#include <cstring>

#include "larkin/exports.h"

DLLEXPORT int GetUSBDevCount(void) {
    return 1;
}

DLLEXPORT int GetUSBDevInfo(int index, char* text) {
    if (index != 0 || text == nullptr) return 6;
    std::strcpy(text, "Q: Test Engine Drive");
    return 0;
}
