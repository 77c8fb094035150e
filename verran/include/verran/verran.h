/* Verran: a snapshot of the machine's storage adapters and their disk
 * drives, queried by adapter index, drive index and property name, and the
 * removal of a disk by its device path.
 *
 * Every text result is owned by the library, never null ("" for a missing
 * value), and stays valid until the next Initialize or Destroy. Status results
 * are platform error codes, 0 for success. One thread at a time. */
#ifndef VERRAN_VERRAN_H
#define VERRAN_VERRAN_H

#include "larkin/exports.h"
#include "win32/base.h"

/* Returned by Initialize and EjectDisk when the library itself failed (out of
 * memory or another internal fault). */
#define VERRAN_INTERNAL_FAULT ((INT)0x80040205u)

/* Takes a new snapshot of the adapter classes named in classFilter ("ATA",
 * "SCSIADAPTER", "SCSI", "USB", any case, separated by spaces, commas, tabs
 * or newlines; a name starting with '*', NULL or "" selects all four). */
DLLEXPORT INT Initialize(const char* classFilter);
/* Frees the snapshot; harmless without one. */
DLLEXPORT void Destroy(void);

DLLEXPORT DWORD GetAdapterCount(void);
DLLEXPORT DWORD GetDriveCount(DWORD adapterIndex);

/* A property by its exact (case-sensitive) name; with a NULL name, the list
 * of every property name, joined by ", ". */
DLLEXPORT const char* GetAdapterInfo(DWORD adapterIndex, const char* propertyName);
DLLEXPORT const char* GetDriveInfo(DWORD adapterIndex, DWORD driveIndex, const char* propertyName);

/* DEVICE_NAME, INTERFACE and descriptions (first non-empty of a fallback
 * list, else "<Unknown>"). */
DLLEXPORT const char* GetAdapterName(DWORD adapterIndex);
DLLEXPORT const char* GetAdapterInterfaceType(DWORD adapterIndex);
DLLEXPORT const char* GetAdapterDescription(DWORD adapterIndex);
DLLEXPORT const char* GetDriveName(DWORD adapterIndex, DWORD driveIndex);
DLLEXPORT const char* GetDriveDescription(DWORD adapterIndex, DWORD driveIndex);

/* Removes the present disk whose device path equals diskPath (any letter
 * case). 0 when removed; ERROR_INVALID_PARAMETER (87) when no present disk
 * has that path or diskPath is NULL; else the platform's error. */
DLLEXPORT INT EjectDisk(const char* diskPath);

#endif
