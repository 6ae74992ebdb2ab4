// The four kernel services of the drive code, on Linux: a drive letter
// names /dev/srN, a handle is the open device's file descriptor, and a
// pass-through request is sent with the SG_IO ioctl.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "sgio.h"
#include "winkernel.h"

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  char Dev[32];
  int letter = LetterOfRoot(lpRootPathName);
  if (letter < 0 || !DevicePathOfLetter((char)letter, Dev, sizeof Dev)) return DRIVE_NO_ROOT_DIR;
  if (access(Dev, F_OK) != 0) return DRIVE_NO_ROOT_DIR;
  return IsOpticalDevice(Dev) ? DRIVE_CDROM : DRIVE_UNKNOWN;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)dwCreationDisposition;
  (void)dwFlagsAndAttributes;
  (void)hTemplateFile;
  char Dev[32];
  int letter = LetterOfVolume(lpFileName);
  if (letter < 0 || !DevicePathOfLetter((char)letter, Dev, sizeof Dev)) {
    errno = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  // Non-blocking, so that a drive without a disc still opens and answers.
  int Mode = (dwDesiredAccess & GENERIC_WRITE) ? O_RDWR : O_RDONLY;
  int fd = open(Dev, Mode | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  return (HANDLE)(intptr_t)fd;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  (void)lpOverlapped;
  if (dwIoControlCode != IOCTL_SCSI_PASS_THROUGH_DIRECT || lpInBuffer == NULL ||
      lpOutBuffer == NULL || hDevice == INVALID_HANDLE_VALUE) {
    errno = EINVAL;
    return FALSE;
  }
  // The answer goes into the output block.
  if (lpOutBuffer != lpInBuffer)
    memmove(lpOutBuffer, lpInBuffer, nInBufferSize < nOutBufferSize ? nInBufferSize : nOutBufferSize);
  SCSI_PASS_THROUGH_DIRECT* Sptd = (SCSI_PASS_THROUGH_DIRECT*)lpOutBuffer;
  sg_io_hdr_t Io;
  if (!RequestToSgIo(Sptd, nInBufferSize, nOutBufferSize, &Io)) {
    errno = EINVAL;
    return FALSE;
  }
  int Result = ioctl((int)(intptr_t)hDevice, SG_IO, &Io);
  return SgIoToRequest(Result, &Io, Sptd, lpBytesReturned);
}

BOOL CloseHandle(HANDLE hObject) {
  if (hObject == INVALID_HANDLE_VALUE) return FALSE;
  return close((int)(intptr_t)hObject) == 0;
}
