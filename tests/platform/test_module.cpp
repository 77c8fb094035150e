// A library for the loader tests: an entry point that counts its calls (and
// fails or throws when LARKIN_TEST_ATTACH says so), an export by name and by
// ordinal, and a resource.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "larkin/exports.h"
#include "win32/windows.h"

namespace {
int attaches = 0;
int detaches = 0;
const unsigned char kRecord[4] = {0xDE, 0xAD, 0xBE, 0xEF};
}  // namespace

LARKIN_DLLMAIN(instance, reason, reserved) {
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        ++attaches;
        const char* how = std::getenv("LARKIN_TEST_ATTACH");
        if (how && std::strcmp(how, "fail") == 0) return FALSE;
        if (how && std::strcmp(how, "throw") == 0) throw std::runtime_error("attach");
    }
    if (reason == DLL_PROCESS_DETACH) ++detaches;
    return TRUE;
}

DLLEXPORT int ModuleAttaches() {
    return attaches;
}
DLLEXPORT int ModuleDetaches() {
    return detaches;
}
DLLEXPORT int Answer() {
    return 42;
}

LARKIN_ORDINAL_TABLE = {{7, "Answer"}, {0, nullptr}};
LARKIN_RESOURCE_TABLE = {{"BOOTREC", 111, kRecord, sizeof kRecord}, {nullptr, 0, nullptr, 0}};
