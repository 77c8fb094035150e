/* Corvid: several core modules behind one numbering of devices. Load it with
 * LoadLibraryA("Corvid") and bind its exports by name or by the ordinals
 * below; the ordinals are part of the interface.
 *
 * index is a global device number from the last DeviceCount (0 .. 99). A
 * number without an owner gives the fixed result noted per function. */
#ifndef CORVID_CORVID_H
#define CORVID_CORVID_H

#include "win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

enum CorvidOrdinal {
    CORVID_ORDINAL_LOAD_CORES = 1,
    CORVID_ORDINAL_UNLOAD = 2,
    CORVID_ORDINAL_DEVICE_COUNT = 3,
    CORVID_ORDINAL_COMMAND = 4,
    CORVID_ORDINAL_SET_WATCHDOG = 5,
    CORVID_ORDINAL_RELEASE_ADAPTER = 6,
    CORVID_ORDINAL_BUFFER_SIZE = 7,
    CORVID_ORDINAL_DATA_PATTERN = 8,
    CORVID_ORDINAL_WRITE_DATA_BUFFER = 9,
    CORVID_ORDINAL_READ_DATA_BUFFER = 10,
    CORVID_ORDINAL_SENSE = 11,
    CORVID_ORDINAL_GET_DRIVE_INFORMATION = 12,
    CORVID_ORDINAL_INIT = 13,
    CORVID_ORDINAL_SET_CORE_OPTIONS = 14,
    CORVID_ORDINAL_SET_DEVICE_OPTIONS = 15
};

/* Sum of the modules' LoadCoreModule results. */
typedef int (*CORVID_LOAD_CORES)(void);
/* Does nothing: modules stay loaded until Corvid itself is unloaded. */
typedef void (*CORVID_UNLOAD)(void);
/* Numbers every target under filter from 0; returns how many (at most 100). */
typedef int (*CORVID_DEVICE_COUNT)(int reserved, const char* filter);
/* Module's ExecuteSCSI result; -1 without an owner. */
typedef int (*CORVID_COMMAND)(int index, const BYTE* cdb, int count);
/* Previous watchdog; 0 without an owner. */
typedef int (*CORVID_SET_WATCHDOG)(int index, int value);
typedef void (*CORVID_RELEASE_ADAPTER)(int index);
/* Data buffer size in bytes; 0 without an owner. */
typedef int (*CORVID_BUFFER_SIZE)(int index);
typedef void (*CORVID_DATA_PATTERN)(int index, const char* bufferName, const BYTE* pattern,
                                    int length, int period);
/* bufferName "w", "s" or anything else ("r"), any case. Without an owner
 * nothing is called and the result is 0. */
typedef int (*CORVID_WRITE_DATA_BUFFER)(int index, const char* bufferName, int offset, int length,
                                        BYTE* data);
typedef int (*CORVID_READ_DATA_BUFFER)(int index, const char* bufferName, int offset, int length,
                                       BYTE* data);
/* 32 sense bytes into buffer; -1 without an owner. */
typedef int (*CORVID_SENSE)(int index, BYTE* buffer);
/* size: capacity in, full length out; 1 without an owner. */
typedef int (*CORVID_GET_DRIVE_INFORMATION)(int index, const char* key, char* buffer, int* size);
typedef void (*CORVID_INIT)(void);
/* Returns the previous options. */
typedef WORD (*CORVID_SET_CORE_OPTIONS)(WORD options);
/* 0xFFFF without an owner or when the owner does not export it. */
typedef WORD (*CORVID_SET_DEVICE_OPTIONS)(int index, WORD options);

/* Bit of the core options that switches Corvid's own trace lines on. */
#define CORVID_TRACE 0x0100

/* The hidden notification window: its class, and the offsets of its extra
 * memory (the options at load, then the address of a void(LONG) procedure
 * that sets the options). */
#define CORVID_WINDOW_CLASS "CoreLibrary"
#define CORVID_WINDOW_OPTIONS 0
#define CORVID_WINDOW_SET_OPTIONS 4

/* The trace file, in the current directory. */
#define CORVID_LOG_FILE "Corvid.log"

#ifdef __cplusplus
}
#endif

#endif
