// The optical drive: opening it by its letter, the SCSI commands sent
// through the one pass-through request block, and the rip of a whole disc
// into an image file.
#ifndef DISCSIFT_CDTOIMG_H
#define DISCSIFT_CDTOIMG_H

#include "my_ntddscsi.h"
#include "spc.h"
#include "winkernel.h"

// Size of data_buf: 32 sectors of 2048 bytes.
#define DATA_BUF_SIZE 65536u
#define DATA_BUF_ALIGN 4096u
#define SECTOR_SIZE 2048u

// The one request block, reused by every command.
extern T_SPDT_SBUF sptd_sb;
// The one transfer buffer of DATA_BUF_SIZE bytes; the drive writes into it
// directly. Allocated and freed by the disc-mode run.
extern unsigned char* data_buf;

// Opens the drive named by the letter (prints why it cannot);
// INVALID_HANDLE_VALUE when it is not optical or cannot be opened.
HANDLE open_volume(char drive_letter);

// The commands: each fills sptd_sb, clears the sense buffer (and the part of
// data_buf it transfers), sends the request and returns whether it was
// carried out. The caller judges sptd_sb.sptd.ScsiStatus.
BOOL test_unit_ready(HANDLE hVolume);
BOOL read_TOC_PMA_ATIP(HANDLE hVolume, unsigned char in_format, unsigned char in_trk_sess_no,
                       unsigned short in_data_trans_len);
BOOL read10(HANDLE hVolume, unsigned long LBA_sector, unsigned short n_sectors);

// Prints the sense key, ASC and ASCQ of the last command.
void disp_sense();

// TEST UNIT READY up to three times; true once the drive answered GOOD.
BOOL verified_test_unit_ready3(HANDLE hVolume);
// The TOC (format 0, LBA addresses): the 4-byte header, then the whole
// response; true when data_buf holds it.
BOOL verified_read_TOC(HANDLE hVolume, unsigned long data_buffer_size);
// Walks the TOC response in data_buf: out_n_tracks gets the number of
// tracks, out_n_sectors the lead-out start address when there is one.
BOOL find_leadout_from_TOC(const unsigned char* toc, unsigned char& out_n_tracks,
                           unsigned int& out_n_sectors);

// Copies every sector from 0 up to the lead-out into file_pathname, in
// chunks of data_buffer_size / 2048 sectors. data_buffer_size is at least
// 2048 and at most DATA_BUF_SIZE. Returns 1 when the whole disc was copied;
// after a failure a partial image stays on disk.
BOOL read_cd_to_image(char drive_letter, const char* file_pathname,
                      unsigned long data_buffer_size);

#endif
