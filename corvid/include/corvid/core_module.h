/* The contract every core module exports: twelve plain C functions, looked
 * up by these names. The first ten are required, SetCoreOptions and
 * SetDeviceOptions are optional. `local` is the module's own device number,
 * 0 .. count-1 as its GetDeviceCount announced. */
#ifndef CORVID_CORE_MODULE_H
#define CORVID_CORE_MODULE_H

#include "win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nonzero when the module has usable adapters. */
typedef int (*CORE_LOAD_CORE_MODULE)(void);
/* Number of targets under filter; firstGlobal is how many earlier modules
 * numbered already. */
typedef int (*CORE_GET_DEVICE_COUNT)(int firstGlobal, const char* filter);
/* cdb holds 16 bytes; count < 0 reads |count| bytes, > 0 writes count bytes. */
typedef int (*CORE_EXECUTE_SCSI)(int local, const BYTE* cdb, int count);
typedef int (*CORE_BUFFER_CONTROL)(int local, int code, int offset, int length, BYTE* data);
typedef int (*CORE_SET_WATCHDOG_TIMER)(int local, int value);
typedef void (*CORE_SET_DATA_PATTERN)(int local, const char* bufferName, const BYTE* pattern,
                                      int length, int period);
typedef int (*CORE_BUFFER_SIZE)(int local);
typedef void (*CORE_RELEASE_CONTROLLER)(int local);
typedef int (*CORE_SENSE)(int local, BYTE* buffer);
/* size: capacity of buffer in, full length of the value out. */
typedef int (*CORE_GET_DRIVE_INFORMATION)(int local, const char* key, char* buffer, int* size);
typedef WORD (*CORE_SET_CORE_OPTIONS)(WORD options);
typedef WORD (*CORE_SET_DEVICE_OPTIONS)(int local, WORD options);

/* Buffer codes of BufferControl: 16 marks the write direction, 32 the "w"
 * buffer and 64 the "s" buffer. */
#define CORE_BUFFER_READ 0
#define CORE_BUFFER_WRITE 16
#define CORE_BUFFER_W_READ 32
#define CORE_BUFFER_W_WRITE 48
#define CORE_BUFFER_S_READ 64
#define CORE_BUFFER_S_WRITE 80

#ifdef __cplusplus
}
#endif

#endif
