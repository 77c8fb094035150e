/* What the platform offers beyond the Windows-shaped API: choosing and
 * starting the machine, the message-box handler of the host program, and
 * SCSI host access for the ASPI library. */
#ifndef LARKIN_PLATFORM_H
#define LARKIN_PLATFORM_H

#include "../win32/windows.h"

WIN32_BEGIN
/* Starts the platform on the simulated machine described by machineFile, or,
 * with NULL, on the machine named by LARKIN_MACHINE, else on this computer's
 * hardware. Must come before any other platform call to take effect; later
 * calls only report how the first start went. On failure error receives a
 * text naming the file, line and key at fault. A program that never calls it
 * starts the platform at its first platform call, as with NULL. */
PLATFORM_API BOOL LarkinStartPlatform(LPCSTR machineFile, LPSTR error, DWORD errorSize);
/* "simulated" or "linux" (this computer's hardware). */
PLATFORM_API LPCSTR LarkinBackendName(void);
/* TRUE when drives may be written at all; FALSE, with a line for people
 * saying what to do in why, when the program lacks the privileges (on this
 * computer's hardware, writing needs root). */
PLATFORM_API BOOL LarkinDrivesWritable(LPSTR why, DWORD whySize);
/* Holds the disk behind drive ("E:", "E:;G:", "\\.\PhysicalDriveN") for an
 * operation that erases it, from its first check to its last byte: no other
 * process may open the disk or its volumes for writing meanwhile, except the
 * programs this one starts; what the desktop mounted from the disk is
 * unmounted. operation names the holder in refusals others get ("larkin-cli
 * boot E:"). FALSE, with the reason for people in why, when the disk must not
 * be written, is held or being written by another program, or cannot be
 * readied. The hold ends with LarkinReleaseDrive or with the process. */
PLATFORM_API BOOL LarkinHoldDrive(LPCSTR drive, LPCSTR operation, LPSTR why, DWORD whySize);
PLATFORM_API void LarkinReleaseDrive(LPCSTR drive);
/* TRUE, with the reason in why, when the disk behind drive would be refused
 * for writing now (the running system's disk, in use by the system, held by
 * another program, no privileges); FALSE when it may be written. */
PLATFORM_API BOOL LarkinDriveRefused(LPCSTR drive, LPSTR why, DWORD whySize);
/* From now on this process, and every program it starts, sees the disk
 * behind drive alone (named as LarkinHoldDrive takes it): every other disk
 * is as if unplugged, so it cannot be opened, listed or sent a SCSI command,
 * nor need it be read. For a process that works on one drive of many. FALSE
 * when there is no such drive. */
PLATFORM_API BOOL LarkinSeeOnlyDrive(LPCSTR drive);
/* On this computer's drives, shows the floppy image file at path (160 KB to
 * 2.88 MB, a FAT file system and no partition table) as the disk in drive
 * A:, read-only; NULL or "" takes it out again. The programs this one starts
 * see the same (through LARKIN_FLOPPY_IMAGE, which a program's start reads
 * too). ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
 * ERROR_UNRECOGNIZED_VOLUME (not a floppy's image) or ERROR_NOT_SUPPORTED (a
 * simulated machine has a floppy drive of its own), with a line for people
 * in why naming the file. The file is never written. */
PLATFORM_API DWORD LarkinUseFloppyImage(LPCSTR path, LPSTR why, DWORD whySize);
/* The machine file in use, or "" on hardware. */
PLATFORM_API LPCSTR LarkinMachineFile(void);

/* Reads a small file of this computer whole (an image's description, an
 * agreement): it is taken only when it is a regular file of at most limit
 * bytes, and with LARKIN_READ_NO_LINK only when it is not a symbolic link
 * either; with LARKIN_READ_FIRST_BYTES a larger file gives its first limit
 * bytes. A pipe or a device named there is refused at once, never waited on
 * or read without end. ERROR_SUCCESS with the bytes in buffer (limit bytes
 * long) and their count in *size; otherwise ERROR_FILE_NOT_FOUND,
 * ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED (not a regular file, a link, or
 * not readable), ERROR_FILE_TOO_LARGE or another code, with a line for people
 * in why that names the file. Needs no machine: it starts none. */
#define LARKIN_READ_NO_LINK 1u
#define LARKIN_READ_FIRST_BYTES 2u
PLATFORM_API DWORD LarkinReadSmallFile(LPCSTR path, DWORD limit, DWORD flags, LPVOID buffer,
                                       LPDWORD size, LPSTR why, DWORD whySize);

/* MessageBoxA calls the handler; without one, the text goes to the standard
 * error stream and the box answers cautiously: IDOK for MB_OK, IDNO for
 * MB_YESNO, IDCANCEL otherwise. */
typedef int (*LARKIN_MESSAGE_BOX_HANDLER)(void* context, HWND owner, LPCSTR text, LPCSTR caption,
                                          UINT type);
PLATFORM_API void LarkinSetMessageBoxHandler(LARKIN_MESSAGE_BOX_HANDLER handler, void* context);

/* SCSI host adapters as an ASPI manager numbers them. */
typedef struct LARKIN_SCSI_HOST {
    BYTE hostScsiId;     /* the adapter's own id on its bus */
    BYTE maxTargets;     /* target ids 0 .. maxTargets-1 */
    CHAR manager[17];    /* NUL-terminated, at most 16 characters */
    CHAR identifier[17]; /* NUL-terminated, at most 16 characters */
} LARKIN_SCSI_HOST;

#define LARKIN_SCSI_NO_DATA 0
#define LARKIN_SCSI_DATA_IN 1
#define LARKIN_SCSI_DATA_OUT 2

PLATFORM_API DWORD LarkinScsiHostCount(void);
PLATFORM_API BOOL LarkinScsiHostInfo(DWORD host, LARKIN_SCSI_HOST* info);
PLATFORM_API BOOL LarkinScsiRescanHost(DWORD host);
/* Runs one command on (host, target, lun). ERROR_SUCCESS when the target
 * answered, with its SCSI status in *status and, on CHECK CONDITION, sense
 * bytes in sense; ERROR_DEVICE_NOT_CONNECTED when there is no such target. */
PLATFORM_API DWORD LarkinScsiExecute(DWORD host, BYTE target, BYTE lun, const BYTE* cdb,
                                     BYTE cdbLength, int direction, void* data, DWORD length,
                                     BYTE* sense, BYTE senseLength, BYTE* status);

/* Where an outside program (mkfs.fat, mtools) reaches a volume: a file or
 * device path, the volume's first byte in it and its length, and what a
 * boot sector of the volume should say of its place on the disk. */
typedef struct LARKIN_TOOL_VOLUME {
    CHAR path[MAX_PATH];
    ULONGLONG offset; /* bytes from the start of path */
    ULONGLONG length; /* bytes */
    DWORD bytesPerSector;
    DWORD hiddenSectors; /* the volume's first sector on its disk */
    DWORD heads;         /* the disk's geometry */
    DWORD sectorsPerTrack;
} LARKIN_TOOL_VOLUME;

/* Hands the volume named by volume ("E:", "E:\", "\\.\E:" or a volume GUID
 * path) to an outside program named tool. For writing (write TRUE) the volume
 * must be one the platform may write and not locked by another handle; the
 * returned handle then holds the volume's lock, and the write journal covers
 * the whole volume until CloseHandle ends the session. For reading nothing is
 * locked. INVALID_HANDLE_VALUE with the last error on failure:
 * ERROR_FILE_NOT_FOUND (no such volume), ERROR_ACCESS_DENIED (refused or
 * locked), ERROR_NOT_READY (no media). */
PLATFORM_API HANDLE LarkinOpenVolumeForTool(LPCSTR volume, LPCSTR tool, BOOL write,
                                            LARKIN_TOOL_VOLUME* where);
WIN32_END

#endif
