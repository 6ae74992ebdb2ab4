// Drive naming and the translation between the pass-through block and the
// SG_IO request of the Linux SCSI layer.
#include "sgio.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/cdrom.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Low four bits of driver_status; DRIVER_SENSE only says that sense data
// came back with the status.
#define SG_DRIVER_MASK 0x0F
#define SG_DRIVER_SENSE 0x08

// Peripheral device type of a CD/DVD drive.
#define SCSI_TYPE_ROM 5

int DriveNumberOfLetter(char letter) {
  if (letter >= '0' && letter <= '9') return letter - '0';
  if (letter >= 'D' && letter <= 'Z') return letter - 'D';
  if (letter >= 'd' && letter <= 'z') return letter - 'd';
  return -1;
}

int DevicePathOfLetter(char letter, char* Dev, size_t DevLen) {
  int n = DriveNumberOfLetter(letter);
  if (n < 0) return 0;
  int len = snprintf(Dev, DevLen, "/dev/sr%d", n);
  return len > 0 && (size_t)len < DevLen;
}

int LetterOfRoot(const char* RootName) {
  if (RootName[0] == 0 || RootName[1] != ':' || RootName[2] != '\\' || RootName[3] != 0) return -1;
  return (unsigned char)RootName[0];
}

int LetterOfVolume(const char* VolumeName) {
  if (strncmp(VolumeName, "\\\\.\\", 4) != 0) return -1;
  const char* v = VolumeName + 4;
  if (v[0] == 0 || v[1] != ':' || v[2] != 0) return -1;
  return (unsigned char)v[0];
}

// The peripheral device type the kernel read from the drive, or -1.
static int SysfsDeviceType(dev_t Rdev) {
  char Path[64];
  snprintf(Path, sizeof Path, "/sys/dev/block/%u:%u/device/type", major(Rdev), minor(Rdev));
  FILE* f = fopen(Path, "r");
  if (f == NULL) return -1;
  int Type = -1;
  if (fscanf(f, "%d", &Type) != 1) Type = -1;
  fclose(f);
  return Type;
}

int IsOpticalDevice(const char* Dev) {
  struct stat st;
  if (stat(Dev, &st) != 0 || !S_ISBLK(st.st_mode)) return 0;
  if (SysfsDeviceType(st.st_rdev) == SCSI_TYPE_ROM) return 1;
  // No sysfs: ask the CD-ROM driver itself.
  int fd = open(Dev, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  int IsCd = ioctl(fd, CDROM_GET_CAPABILITY, 0) >= 0;
  close(fd);
  return IsCd;
}

int RequestToSgIo(SCSI_PASS_THROUGH_DIRECT* Sptd, DWORD InSize, DWORD OutSize, sg_io_hdr_t* Io) {
  if (InSize < sizeof *Sptd || OutSize < sizeof *Sptd) return 0;
  if (Sptd->Length != sizeof *Sptd) return 0;
  if (Sptd->CdbLength == 0 || Sptd->CdbLength > sizeof Sptd->Cdb) return 0;
  if (Sptd->SenseInfoLength != 0 &&
      (Sptd->SenseInfoOffset < sizeof *Sptd ||
       (unsigned long long)Sptd->SenseInfoOffset + Sptd->SenseInfoLength > OutSize))
    return 0;

  memset(Io, 0, sizeof *Io);
  Io->interface_id = 'S';
  Io->cmd_len = Sptd->CdbLength;
  Io->cmdp = Sptd->Cdb;
  Io->mx_sb_len = Sptd->SenseInfoLength;
  Io->sbp = Sptd->SenseInfoLength ? (unsigned char*)Sptd + Sptd->SenseInfoOffset : NULL;

  if (Sptd->DataIn == SCSI_IOCTL_DATA_UNSPECIFIED || Sptd->DataTransferLength == 0) {
    Io->dxfer_direction = SG_DXFER_NONE;
  } else if (Sptd->DataIn == SCSI_IOCTL_DATA_IN || Sptd->DataIn == SCSI_IOCTL_DATA_OUT) {
    if (Sptd->DataBuffer == NULL) return 0;
    Io->dxfer_direction = Sptd->DataIn == SCSI_IOCTL_DATA_IN ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV;
    Io->dxfer_len = Sptd->DataTransferLength;
    Io->dxferp = Sptd->DataBuffer;
  } else {
    return 0;
  }

  // Seconds to milliseconds, as far as the field reaches.
  Io->timeout = Sptd->TimeOutValue > UINT_MAX / 1000 ? UINT_MAX : Sptd->TimeOutValue * 1000u;
  return 1;
}

BOOL SgIoToRequest(int IoctlResult, const sg_io_hdr_t* Io, SCSI_PASS_THROUGH_DIRECT* Sptd,
                   DWORD* BytesReturned) {
  if (IoctlResult < 0) return FALSE;
  if (Io->host_status != 0) return FALSE;
  unsigned int Driver = Io->driver_status & SG_DRIVER_MASK;
  if (Driver != 0 && Driver != SG_DRIVER_SENSE) return FALSE;

  Sptd->ScsiStatus = Io->status;
  Sptd->SenseInfoLength = Io->sb_len_wr;
  if (Io->dxfer_direction != SG_DXFER_NONE && Io->resid > 0 &&
      (unsigned int)Io->resid <= Io->dxfer_len)
    Sptd->DataTransferLength = Io->dxfer_len - (unsigned int)Io->resid;
  if (BytesReturned != NULL)
    *BytesReturned = Io->sb_len_wr ? Sptd->SenseInfoOffset + Io->sb_len_wr : (DWORD)sizeof *Sptd;
  return TRUE;
}
