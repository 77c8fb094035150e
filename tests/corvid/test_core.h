// What a stand-in core module records of the calls it receives, read by the
// tests through its extra export TestCoreCalls.
#ifndef LARKIN_TESTS_TEST_CORE_H
#define LARKIN_TESTS_TEST_CORE_H

#include "win32/base.h"

struct TestCoreRecord {
    int countCalls, optionsCalls, releaseCalls;
    int lastFirstGlobal, lastLocal, lastOffset, lastLength, lastCount;
    char lastFilter[32];
    WORD lastOptions;
    const BYTE *lastData, *lastCdb;
    const char* lastBufferName;
};

typedef TestCoreRecord* (*TEST_CORE_RECORD)(void);

#endif
