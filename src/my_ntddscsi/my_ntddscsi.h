// The SCSI pass-through request block: the request itself, followed in
// memory by the sense buffer the drive fills in.
#ifndef DISCSIFT_MY_NTDDSCSI_H
#define DISCSIFT_MY_NTDDSCSI_H

#include <stddef.h>

#include "winkernel.h"

#ifndef IOCTL_SCSI_PASS_THROUGH_DIRECT
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x4D014
#endif

// Transfer directions of DataIn.
#ifndef SCSI_IOCTL_DATA_OUT
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2
#endif

typedef struct _SCSI_PASS_THROUGH_DIRECT {
  USHORT Length;             // size of this structure
  UCHAR ScsiStatus;          // status byte of the completed command
  UCHAR PathId;
  UCHAR TargetId;
  UCHAR Lun;
  UCHAR CdbLength;           // valid bytes in Cdb
  UCHAR SenseInfoLength;     // size of the sense area
  UCHAR DataIn;              // SCSI_IOCTL_DATA_...
  ULONG DataTransferLength;  // bytes to transfer
  ULONG TimeOutValue;        // seconds
  PVOID DataBuffer;          // where the data goes, no copy
  ULONG SenseInfoOffset;     // from the start of the request block
  UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT;

#define SENSE_BUF_LEN 18

typedef struct _SCSI_PASS_THROUGH_DIRECT_AND_SENSE_BUFFER {
  SCSI_PASS_THROUGH_DIRECT sptd;
  UCHAR SenseBuf[SENSE_BUF_LEN];
} T_SPDT_SBUF;

// The block is handed to the kernel as a whole: the sense buffer must
// follow the request directly, where SenseInfoOffset says it is.
static_assert(offsetof(T_SPDT_SBUF, SenseBuf) == sizeof(SCSI_PASS_THROUGH_DIRECT),
              "SenseBuf must follow sptd directly");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) <= 0xFFFF, "Length is 16 bits");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) + 16 <= sizeof(SCSI_PASS_THROUGH_DIRECT),
              "Cdb inside sptd");
static_assert(sizeof(((SCSI_PASS_THROUGH_DIRECT*)0)->DataTransferLength) == 4 &&
                  sizeof(((SCSI_PASS_THROUGH_DIRECT*)0)->TimeOutValue) == 4 &&
                  sizeof(((SCSI_PASS_THROUGH_DIRECT*)0)->SenseInfoOffset) == 4,
              "ULONG fields are 32 bits");

// A 32-bit build has the layout of the 32-bit Windows kernel.
#define SPTD_32(cond) (sizeof(void*) != 4 || (cond))
static_assert(SPTD_32(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44), "sptd is 44 bytes");
static_assert(SPTD_32(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12), "DataTransferLength at 12");
static_assert(SPTD_32(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16), "TimeOutValue at 16");
static_assert(SPTD_32(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20), "DataBuffer at 20");
static_assert(SPTD_32(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24), "SenseInfoOffset at 24");
static_assert(SPTD_32(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28), "Cdb at 28");
static_assert(SPTD_32(offsetof(T_SPDT_SBUF, SenseBuf) == 44), "SenseBuf at 44");
static_assert(SPTD_32(sizeof(T_SPDT_SBUF) == 64), "the block is 64 bytes");
#undef SPTD_32

#endif
