// A library for the loader tests: an entry point that counts its attaches,
// throws when LARKIN_TEST_ATTACH says so, and, detached at exit with
// LARKIN_TEST_EXIT_REPORT set, says on stderr what the API and its own
// statics show it; an export and a resource.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "larkin/exports.h"
#include "win32/windows.h"

namespace {
int attaches = 0;
const unsigned char kRecord[4] = {0xDE, 0xAD, 0xBE, 0xEF};
// Whether the library's own statics still stand.
bool staticsGone = false;
struct Static {
    ~Static() { staticsGone = true; }
} withDestructor;
}  // namespace

LARKIN_DLLMAIN(instance, reason, reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        ++attaches;
        const char* how = std::getenv("LARKIN_TEST_ATTACH");
        if (how && std::strcmp(how, "throw") == 0) throw std::runtime_error("attach");
    }
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr &&
        std::getenv("LARKIN_TEST_EXIT_REPORT")) {
        char path[4096] = "";
        GetModuleFileNameA(instance, path, sizeof path);
        std::fprintf(stderr, "detached at exit: %s, console %s, statics %s\n", path,
                     FindWindowA(nullptr, "ExitConsole") ? "found" : "missing",
                     staticsGone ? "gone" : "standing");
    }
    return TRUE;
}

DLLEXPORT int ModuleAttaches() {
    return attaches;
}

LARKIN_RESOURCE_TABLE = {{"BOOTREC", 111, kRecord, sizeof kRecord}, {nullptr, 0, nullptr, 0}};
