// The optical drive: opening it by its letter, the three SCSI commands the
// rip needs, sense reporting, and the rip itself.
//
// Every command goes through the one request block sptd_sb and lands in the
// one transfer buffer data_buf; the command functions only fill, clear and
// send, and the caller judges the status byte and reads the data.
#include "cdtoimg.h"

#include <stdio.h>
#include <string.h>

T_SPDT_SBUF sptd_sb;
unsigned char* data_buf;

// 30 hours: a drive that is spinning up or recovering a scratched sector
// is never cut off.
#define TIME_OUT_SECONDS 108000u

HANDLE open_volume(char drive_letter) {
  char szRootName[4] = {drive_letter, ':', '\\', 0};
  char szVolumeName[7] = {'\\', '\\', '.', '\\', drive_letter, ':', 0};

  if (GetDriveTypeA(szRootName) != DRIVE_CDROM) {
    printf("Drive type is not CDROM/DVD, aborting.\n");
    return INVALID_HANDLE_VALUE;
  }
  printf("Drive type is recognised as CDROM/DVD.\n");

  HANDLE hVolume = CreateFileA(szVolumeName, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
  if (hVolume == INVALID_HANDLE_VALUE) {
    // A drive that refuses writing still reads.
    hVolume = CreateFileA(szVolumeName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hVolume == INVALID_HANDLE_VALUE) printf("Could not create handle for CD/DVD device.\n");
  }
  return hVolume;
}

// Fills every field of the block that a command writes (ScsiStatus is the
// drive's), and clears the command block and the sense buffer.
static void fill_request(unsigned char CdbLength, unsigned char DataIn,
                         unsigned long DataTransferLength) {
  SCSI_PASS_THROUGH_DIRECT& sptd = sptd_sb.sptd;
  sptd.Length = (USHORT)sizeof(SCSI_PASS_THROUGH_DIRECT);
  sptd.PathId = 0;
  sptd.TargetId = 0;
  sptd.Lun = 0;
  sptd.CdbLength = CdbLength;
  sptd.SenseInfoLength = SENSE_BUF_LEN;
  sptd.DataIn = DataIn;
  sptd.DataTransferLength = (ULONG)DataTransferLength;
  sptd.TimeOutValue = TIME_OUT_SECONDS;
  sptd.DataBuffer = data_buf;
  sptd.SenseInfoOffset = (ULONG)offsetof(T_SPDT_SBUF, SenseBuf);
  memset(sptd.Cdb, 0, sizeof sptd.Cdb);
}

static BOOL send_request(HANDLE hVolume) {
  DWORD dwBytesReturned = 0;
  memset(sptd_sb.SenseBuf, 0, sizeof sptd_sb.SenseBuf);
  return DeviceIoControl(hVolume, IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd_sb, sizeof(T_SPDT_SBUF),
                         &sptd_sb, sizeof(T_SPDT_SBUF), &dwBytesReturned, NULL);
}

BOOL test_unit_ready(HANDLE hVolume) {
  T_test_unit_ready cdb;
  memset(&cdb, 0, sizeof cdb);  // opcode 0x00, every field zero
  fill_request(sizeof cdb, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
  memcpy(sptd_sb.sptd.Cdb, &cdb, sizeof cdb);
  return send_request(hVolume);
}

BOOL read_TOC_PMA_ATIP(HANDLE hVolume, unsigned char in_format, unsigned char in_trk_sess_no,
                       unsigned short in_data_trans_len) {
  fill_request(10, SCSI_IOCTL_DATA_IN, in_data_trans_len);
  UCHAR* cdb = sptd_sb.sptd.Cdb;
  cdb[0] = 0x43;  // READ TOC/PMA/ATIP
  cdb[1] = 0x00;  // MSF clear: logical block addresses
  cdb[2] = in_format;
  cdb[6] = in_trk_sess_no;
  cdb[7] = (UCHAR)(in_data_trans_len >> 8);
  cdb[8] = (UCHAR)in_data_trans_len;
  memset(data_buf, 0, in_data_trans_len);
  return send_request(hVolume);
}

BOOL read10(HANDLE hVolume, unsigned long LBA_sector, unsigned short n_sectors) {
  unsigned long Len = (unsigned long)n_sectors * SECTOR_SIZE;
  fill_request(10, SCSI_IOCTL_DATA_IN, Len);
  UCHAR* cdb = sptd_sb.sptd.Cdb;
  cdb[0] = 0x28;  // READ(10)
  cdb[2] = (UCHAR)(LBA_sector >> 24);
  cdb[3] = (UCHAR)(LBA_sector >> 16);
  cdb[4] = (UCHAR)(LBA_sector >> 8);
  cdb[5] = (UCHAR)LBA_sector;
  cdb[7] = (UCHAR)(n_sectors >> 8);
  cdb[8] = (UCHAR)n_sectors;
  // Bytes the drive does not deliver read as zero.
  memset(data_buf, 0, Len);
  return send_request(hVolume);
}

void disp_sense() {
  const T_sense_data* sense = (const T_sense_data*)sptd_sb.SenseBuf;  // its first 18 bytes
  unsigned char key = sense->flags_sensekey & 0x0F;
  unsigned char ASC = sense->ASC;
  unsigned char ASCQ = sense->ASCQ;
  printf("Sense data, key:ASC:ASCQ: %02X:%02X:%02X", key, ASC, ASCQ);
  if (key == 0 && ASC == 0 && ASCQ == 0) {
    printf(" - No additional sense info.");
  } else if (key == 2 && ASC == 0x3A) {  // NOT READY, MEDIUM NOT PRESENT
    if (ASCQ == 0) printf(" - Medium not present.");
    if (ASCQ == 1) printf(" - Medium not present-tray closed.");
    if (ASCQ == 2) printf(" - Medium not present-tray open.");
  }
  printf("\n");
}

// Reports a completed command whose status is not GOOD.
static void report_status(unsigned char ScsiStatus) {
  if (ScsiStatus == 2)  // CHECK CONDITION
    disp_sense();
  else
    printf("Command sent but returned with an unhandled status code: %02X\n", ScsiStatus);
}

BOOL verified_test_unit_ready3(HANDLE hVolume) {
  BOOL success = FALSE;
  for (int tries = 0; tries < 3; tries++) {
    printf("Sending SPC1 Test Unit CDB6 command..");
    success = test_unit_ready(hVolume);
    if (success) {
      printf("done.\n");
      if (sptd_sb.sptd.ScsiStatus == 0) {
        printf("Returned good status.\n");
        return TRUE;
      }
      report_status(sptd_sb.sptd.ScsiStatus);
      success = FALSE;
    } else {
      printf("failed.\n");
      printf("DeviceIOControl returned with failed status.\n");
    }
  }
  return success;
}

BOOL verified_read_TOC(HANDLE hVolume, unsigned long data_buffer_size) {
  printf("Sending read TOC command..");
  // The 4-byte header first: it tells how long the whole response is.
  if (!read_TOC_PMA_ATIP(hVolume, 0, 0, 4)) {
    printf("failed.\n");
    printf("Could not return 4 byte Read TOC header.\n");
    return FALSE;
  }
  if (sptd_sb.sptd.ScsiStatus != 0) {
    printf("done.\n");
    report_status(sptd_sb.sptd.ScsiStatus);
    return FALSE;
  }
  unsigned long alloc_len = ((unsigned long)data_buf[0] << 8) | data_buf[1];
  if (alloc_len == 0) return TRUE;
  if (alloc_len + 2 > data_buffer_size) alloc_len = data_buffer_size - 2;
  // The allocation length is 16 bits: a longer response is asked for as
  // far as the field reaches (the lead-out search then rejects it).
  if (alloc_len + 2 > 0xFFFF) alloc_len = 0xFFFF - 2;

  if (!read_TOC_PMA_ATIP(hVolume, 0, 0, (unsigned short)(alloc_len + 2))) {
    printf("failed.\n");
    printf("Could only return 4 byte Read TOC header.\n");
    return FALSE;
  }
  printf("done.\n");
  if (sptd_sb.sptd.ScsiStatus == 0) return TRUE;
  report_status(sptd_sb.sptd.ScsiStatus);
  return FALSE;
}

BOOL find_leadout_from_TOC(const unsigned char* toc, unsigned char& out_n_tracks,
                           unsigned int& out_n_sectors) {
  unsigned short TOC_response_data_len = (unsigned short)((((unsigned)toc[0] << 8) | toc[1]) + 2);
  BOOL found_leadout = FALSE;
  out_n_tracks = 0;
  for (unsigned int i = 4; i < TOC_response_data_len; i += 8) {
    if (i + 7 >= TOC_response_data_len) continue;  // cut short by the data length
    if ((toc[i + 1] >> 4) != 1) continue;           // ADR 1: track start addresses
    if (toc[i + 2] == 0xAA) {
      out_n_sectors = ((unsigned int)toc[i + 4] << 24) | ((unsigned int)toc[i + 5] << 16) |
                      ((unsigned int)toc[i + 6] << 8) | toc[i + 7];
      found_leadout = TRUE;
    } else {
      out_n_tracks++;
    }
  }
  return found_leadout;
}

BOOL read_cd_to_image(char drive_letter, const char* file_pathname,
                      unsigned long data_buffer_size) {
  HANDLE hVolume = open_volume(drive_letter);
  if (hVolume == INVALID_HANDLE_VALUE) return 0;

  BOOL success = 0;
  unsigned char n_tracks = 0;
  unsigned int n_sectors = 0;
  FILE* file_ptr = NULL;

  printf("\n");
  BOOL ready = verified_test_unit_ready3(hVolume);
  printf("\n");
  if (!ready) {
    printf("Drive is not ready!\n");
    printf("Aborting process.\n");
  } else if (!verified_read_TOC(hVolume, data_buffer_size)) {
    printf("Could not read TOC!\n");
    printf("Aborting process.\n");
  } else if (!find_leadout_from_TOC(data_buf, n_tracks, n_sectors)) {
    printf("Could not find lead-out entry in TOC to determine total sectors on CD!\n");
    printf("Aborting process.\n");
  } else {
    printf("Total user tracks : %u\n", (unsigned int)n_tracks);
    printf("Total sectors     : %u\n\n", n_sectors);
    file_ptr = fopen(file_pathname, "wb");
    if (file_ptr == NULL) {
      printf("Could not create file!\n");
      printf("Aborting process.\n");
    } else {
      // Each chunk goes to the file in one write, straight from data_buf,
      // so a failed write (a full disk) shows at the chunk it hits.
      setvbuf(file_ptr, NULL, _IONBF, 0);
    }
  }

  if (file_ptr != NULL) {
    unsigned int n_sectors_to_read = (unsigned int)(data_buffer_size / SECTOR_SIZE);
    unsigned int LBA_i = 0;
    success = 1;
    printf("\n\n");
    while (LBA_i < n_sectors) {
      if (n_sectors - LBA_i < n_sectors_to_read) n_sectors_to_read = n_sectors - LBA_i;
      unsigned int LBA_i2 = LBA_i + n_sectors_to_read - 1;
      printf("Reading sector %u to %u  progress: %.1f%%\r", LBA_i, LBA_i2,
             (double)LBA_i2 / (double)n_sectors * 100.0);
      if (!read10(hVolume, LBA_i, (unsigned short)n_sectors_to_read)) {
        printf("DeviceIOControl returned with failed status.\n");
        printf("Aborting process.\n");
        success = 0;
        break;
      }
      if (sptd_sb.sptd.ScsiStatus == 0) {
        // The whole chunk, straight from the transfer buffer.
        fwrite(data_buf, (size_t)n_sectors_to_read * SECTOR_SIZE, 1, file_ptr);
        if (ferror(file_ptr)) {
          printf("Write file error!\n");
          printf("Aborting process.\n");
          success = 0;
          break;
        }
      } else {
        if (sptd_sb.sptd.ScsiStatus == 2) {
          printf("\n");
          disp_sense();
          printf("\n");
        } else {
          printf("Command sent but returned with an unhandled status code: %02X\n",
                 sptd_sb.sptd.ScsiStatus);
        }
        printf("Aborting process.\n");
        success = 0;
        break;
      }
      LBA_i += n_sectors_to_read;
    }
    if (fclose(file_ptr) != 0 && success) {
      printf("Write file error!\n");
      printf("Aborting process.\n");
      success = 0;
    }
  }

  CloseHandle(hVolume);
  return success;
}
