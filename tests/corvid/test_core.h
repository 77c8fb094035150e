// What a stand-in core module records of the calls it receives, read by the
// tests through its extra export TestCoreCalls.
#ifndef LARKIN_TESTS_TEST_CORE_H
#define LARKIN_TESTS_TEST_CORE_H

#include "win32/base.h"

struct TestCoreRecord {
    int loadCalls;
    int countCalls;
    int lastFirstGlobal;
    char lastFilter[32];
    int optionsCalls;
    WORD lastOptions;
    int lastLocal;
    int lastOffset;
    int lastLength;
    const BYTE* lastData;
    const BYTE* lastCdb;
    int lastCount;
    const char* lastBufferName;
    int releaseCalls;
};

typedef TestCoreRecord* (*TEST_CORE_RECORD)(void);

#endif
