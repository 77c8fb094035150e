// What a stand-in core module keeps of the calls it receives, read by the
// tests through its extra export TestCoreCalls.
#ifndef LARKIN_TESTS_TEST_CORE_H
#define LARKIN_TESTS_TEST_CORE_H

#include "win32/base.h"

struct TestCoreRecord {
    int countCalls, optionsCalls, releaseCalls, lastFirstGlobal;
    WORD lastOptions;
    struct {
        int local, a, b;  // the call's own integers, in their order
        const void* data;
        const char* name;
    } last;
};

typedef TestCoreRecord* (*TEST_CORE_RECORD)(void);

#endif
