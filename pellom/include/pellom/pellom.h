/* Pellom: the SCSI transport core module. Corvid loads it by name and drives
 * it through the core-module contract (corvid/core_module.h), whose types its
 * exports have. `local` is a slot index 0 .. 99 that discovery filled.
 *
 * Transports: SCSI pass-through on an open handle per target (ports probed as
 * \\.\scsiN:), else the ASPI manager wnaspi32. Targets are found through
 * Verran (filtered by class), by probing \\.\PhysicalDriveN when Verran is
 * missing, or by walking the ASPI host adapters. */
#ifndef PELLOM_PELLOM_H
#define PELLOM_PELLOM_H

#include "corvid/core_module.h"
#include "win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes in each of a slot's two data buffers (dataIn, dataOut). */
#define PELLOM_BUFFER_BYTES 1048576

/* Options word bits (initially 0x0F00). */
#define PELLOM_TRACE_LOADING 0x0200
#define PELLOM_TRACE_DISCOVERY 0x0400
#define PELLOM_TRACE_COMMANDS 0x0800
#define PELLOM_VERIFY_READS 0x0010

/* Results of ExecuteSCSI. */
#define PELLOM_NO_BUFFERS (-2) /* the slot was never filled */
#define PELLOM_NO_HANDLE (-1)  /* pass-through target that could not be opened */
#define PELLOM_GOOD 0
#define PELLOM_REQUEST_FAILED 1 /* the pass-through request itself failed */
#define PELLOM_CHECK_CONDITION 2
#define PELLOM_VERIFY_MISMATCH 100

/* SetDataPattern lengths below zero. */
#define PELLOM_PATTERN_RANDOM_BLOCK (-1)
#define PELLOM_PATTERN_RANDOM (-2)
#define PELLOM_PATTERN_RAMP (-3)

/* What the contract's exports (their types: corvid/core_module.h) give here:
 *   LoadCoreModule: 2 pass-through, 1 ASPI, 0 neither usable. Empties the
 *     target table.
 *   GetDriveInformation: keys (any case) DriveSN, DriveFW, DriveInfo, Drive,
 *     DriveName, AdapterInfo, Adapter, AdapterType, DriveNumber, MountInfo,
 *     FriendlyName; an empty key gives the key list. size: capacity in, full
 *     length out. Always 0.
 *   SetCoreOptions: the options just stored.
 *   ExecuteSCSI: one of the PELLOM_ results above.
 *   Sense: 0 with 32 sense bytes in buffer; 1 when REQUEST SENSE failed.
 *   BufferControl: code 0 (and 64) reads dataIn, 32 reads dataOut, 16 writes
 *     dataIn, others write dataOut; positions outside the buffer are skipped.
 *     Returns length (0 for a negative one).
 *   SetDataPattern: bufferName "r" (any case) fills dataIn, anything else
 *     dataOut.
 *   SetWatchdogTimer: the previous watchdog (seconds); values of 0 or less
 *     change nothing.
 * Beyond the contract, Pellom exports these two: */
typedef void (*PELLOM_INIT)(void);
typedef void (*PELLOM_UNLOAD_CORE_MODULE)(void);

#ifdef __cplusplus
}
#endif

#endif
