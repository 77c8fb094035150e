/* ASPI for Win32: request blocks, codes and the two entry points, with the
 * published layouts (byte-packed; pointers have this platform's width). */
#ifndef WNASPI32_WNASPI32_H
#define WNASPI32_WNASPI32_H

#include "win32/base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Commands. */
#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03
#define SC_RESET_DEV 0x04
#define SC_RESCAN_SCSI_BUS 0x07

/* Request status (SRB_Status). */
#define SS_PENDING 0x00
#define SS_COMP 0x01
#define SS_ABORTED 0x02
#define SS_ABORT_FAIL 0x03
#define SS_ERR 0x04
#define SS_INVALID_CMD 0x80
#define SS_INVALID_HA 0x81
#define SS_NO_DEVICE 0x82
#define SS_INVALID_SRB 0xE0
#define SS_NO_ADAPTERS 0xE8
#define SS_INSUFFICIENT_RESOURCES 0xE9

/* Host adapter status (SRB_HaStat). */
#define HASTAT_OK 0x00
#define HASTAT_SEL_TO 0x11
#define HASTAT_DO_DU 0x12

/* Request flags (SRB_Flags). */
#define SRB_POSTING 0x01
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10

#define SENSE_LEN 14

#pragma pack(push, 1)

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
} SRB_Header;

typedef struct {
    BYTE SRB_Cmd; /* SC_HA_INQUIRY */
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
} SRB_HAInquiry;

typedef struct {
    BYTE SRB_Cmd; /* SC_EXEC_SCSI_CMD */
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen; /* bytes of SenseArea the manager may fill */
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    void* SRB_PostProc; /* with SRB_POSTING: void (*)(void* srb), called on completion */
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SENSE_LEN + 2]; /* callers may widen it; SRB_SenseLen says how far */
} SRB_ExecSCSICmd;

typedef struct {
    BYTE SRB_Cmd; /* SC_RESCAN_SCSI_BUS */
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
} SRB_RescanPort;

#pragma pack(pop)

/* Low byte: number of host adapters; next byte: SS_COMP, or SS_NO_ADAPTERS
 * when there is none. */
typedef DWORD (*GET_ASPI32_SUPPORT_INFO)(void);
/* srb points to a request block whose first byte is the command. Inquiry
 * completes at once; execute and rescan return SS_PENDING and complete a
 * little later, when SRB_Status becomes non-zero. A request the manager has
 * no memory for fails at once with SS_INSUFFICIENT_RESOURCES. */
typedef DWORD (*SEND_ASPI32_COMMAND)(void* srb);

#ifdef __cplusplus
}
#endif

#endif
