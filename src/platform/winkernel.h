// The four kernel services the drive code calls: the drive-type query, the
// open of the drive's device, the SCSI pass-through request and the close.
//
// On Windows they are the real kernel32 calls. Elsewhere this header
// declares them, with the types and constants the drive code uses, and a
// platform layer linked into the program implements them (the Linux layer
// in src/platform/linux, or the simulated drive of the tests).
#ifndef DISCSIFT_WINKERNEL_H
#define DISCSIFT_WINKERNEL_H

#ifdef _WIN32

#include <windows.h>

#else

#include <stdint.h>

typedef int BOOL;
typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef uint32_t ULONG;  // 32 bits, as on Windows
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef void* PVOID;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef const char* LPCSTR;
typedef void* HANDLE;
typedef void* LPSECURITY_ATTRIBUTES;  // never used: always NULL
typedef void* LPOVERLAPPED;           // never used: requests are synchronous

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

// Results of GetDriveTypeA.
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_CDROM 5

// CreateFileA: access, sharing, disposition, attributes.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

// Drive type of the root "X:\".
UINT GetDriveTypeA(LPCSTR lpRootPathName);

// Opens the device "\\.\X:"; INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Sends one control request and waits for it; non-zero when it was carried
// out.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

BOOL CloseHandle(HANDLE hObject);

#endif

#endif
