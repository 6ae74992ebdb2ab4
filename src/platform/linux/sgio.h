// Linux layer of the kernel services: optical drives are reached as SCSI
// block devices /dev/srN, and a pass-through request block becomes an SG_IO
// request on the open device.
//
// Drive letters: a digit n names /dev/srN; the letters D to Z (either case)
// name the drives in order, D = /dev/sr0, E = /dev/sr1, ... Z = /dev/sr22;
// every other letter names no optical drive.
//
// The functions here are the layer's data handling, kept apart from the
// system calls so that they can be checked without a drive.
#ifndef DISCSIFT_SGIO_H
#define DISCSIFT_SGIO_H

#include <scsi/sg.h>
#include <stddef.h>

#include "my_ntddscsi.h"

// N of the /dev/srN the letter names, or -1.
int DriveNumberOfLetter(char letter);
// Writes "/dev/srN" for the letter into Dev; 0 when the letter names no
// optical drive.
int DevicePathOfLetter(char letter, char* Dev, size_t DevLen);
// The letter of a root name "X:\" and of a device name "\\.\X:"; -1 when
// the name has another form.
int LetterOfRoot(const char* RootName);
int LetterOfVolume(const char* VolumeName);

// 1 when Dev is a block device that the kernel reports as a CD/DVD drive.
int IsOpticalDevice(const char* Dev);

// Fills an SG_IO request from the pass-through block (InSize and OutSize
// are the buffer sizes handed to DeviceIoControl): the CDB and the sense
// area point into the block, the data straight at its DataBuffer. 0 when
// the block is malformed (nothing must then be sent).
int RequestToSgIo(SCSI_PASS_THROUGH_DIRECT* Sptd, DWORD InSize, DWORD OutSize, sg_io_hdr_t* Io);

// After the SG_IO ioctl (IoctlResult is its result): TRUE when the command
// was carried to the drive and back, with ScsiStatus, SenseInfoLength and
// DataTransferLength of the block set from the answer; FALSE when the
// ioctl failed or the adapter or driver reports a transport error.
BOOL SgIoToRequest(int IoctlResult, const sg_io_hdr_t* Io, SCSI_PASS_THROUGH_DIRECT* Sptd,
                   DWORD* BytesReturned);

#endif
