// The Linux layer without a drive: which device a drive letter names, which
// devices count as optical, and the request block turned into an SG_IO
// request and the answer turned back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cdtoimg.h"
#include "sgio.h"

namespace {

TEST(LinuxLayer, DriveLettersNameScsiCdDevices) {
  struct {
    char letter;
    const char* dev;  // nullptr: no optical drive
  } cases[] = {{'0', "/dev/sr0"}, {'9', "/dev/sr9"},  {'D', "/dev/sr0"},  {'d', "/dev/sr0"},
               {'E', "/dev/sr1"}, {'e', "/dev/sr1"},  {'Z', "/dev/sr22"}, {'z', "/dev/sr22"},
               {'A', nullptr},    {'b', nullptr},     {'C', nullptr},     {'c', nullptr},
               {'-', nullptr},    {'\0', nullptr},    {':', nullptr},     {'\xC4', nullptr}};
  for (const auto& c : cases) {
    char dev[32] = "unchanged";
    int ok = DevicePathOfLetter(c.letter, dev, sizeof dev);
    EXPECT_EQ(ok != 0, c.dev != nullptr) << int(c.letter);
    if (c.dev) {
      EXPECT_STREQ(dev, c.dev) << c.letter;
    }
  }
}

TEST(LinuxLayer, RootAndDeviceNamesCarryTheLetter) {
  EXPECT_EQ(LetterOfRoot("E:\\"), 'E');
  EXPECT_EQ(LetterOfRoot("7:\\"), '7');
  EXPECT_EQ(LetterOfRoot(""), -1);
  EXPECT_EQ(LetterOfRoot("E:"), -1);
  EXPECT_EQ(LetterOfRoot("E:\\x"), -1);
  EXPECT_EQ(LetterOfVolume("\\\\.\\E:"), 'E');
  EXPECT_EQ(LetterOfVolume("\\\\.\\e:"), 'e');
  EXPECT_EQ(LetterOfVolume("\\\\.\\:"), -1);
  EXPECT_EQ(LetterOfVolume("\\\\.\\E:\\"), -1);
  EXPECT_EQ(LetterOfVolume("/dev/sr0"), -1);
}

TEST(LinuxLayer, OnlyBlockDevicesCanBeOptical) {
  char file[] = "/tmp/discsift-notadrive-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(IsOpticalDevice(file), 0);
  EXPECT_EQ(IsOpticalDevice("/dev/null"), 0);  // a character device
  EXPECT_EQ(IsOpticalDevice("/tmp"), 0);
  EXPECT_EQ(IsOpticalDevice("/nonexistent/sr0"), 0);
  unlink(file);
  // A letter that names no drive is never looked up.
  EXPECT_NE(GetDriveTypeA("A:\\"), UINT(DRIVE_CDROM));
  EXPECT_EQ(CreateFileA("\\\\.\\A:", GENERIC_READ, 3, NULL, OPEN_EXISTING, 0x80, NULL), INVALID_HANDLE_VALUE);
}

unsigned char Buffer[DATA_BUF_SIZE];

// The block as the drive code fills it for a command, without sending it.
T_SPDT_SBUF blockOf(unsigned char cdb0, unsigned char dataIn, unsigned long transfer, unsigned char cdbLength) {
  T_SPDT_SBUF b;
  memset(&b, 0, sizeof b);
  b.sptd.Length = sizeof b.sptd;
  b.sptd.CdbLength = cdbLength;
  b.sptd.SenseInfoLength = 18;
  b.sptd.DataIn = dataIn;
  b.sptd.DataTransferLength = transfer;
  b.sptd.TimeOutValue = 108000;
  b.sptd.DataBuffer = Buffer;
  b.sptd.SenseInfoOffset = offsetof(T_SPDT_SBUF, SenseBuf);
  b.sptd.Cdb[0] = cdb0;
  return b;
}

TEST(LinuxLayer, RequestBecomesSgIo) {
  struct {
    T_SPDT_SBUF block;
    int direction;
    unsigned len;
  } cases[] = {{blockOf(0x00, SCSI_IOCTL_DATA_UNSPECIFIED, 0, 6), SG_DXFER_NONE, 0},
               {blockOf(0x43, SCSI_IOCTL_DATA_IN, 4, 10), SG_DXFER_FROM_DEV, 4},
               {blockOf(0x28, SCSI_IOCTL_DATA_IN, 65536, 10), SG_DXFER_FROM_DEV, 65536},
               {blockOf(0x2A, SCSI_IOCTL_DATA_OUT, 2048, 10), SG_DXFER_TO_DEV, 2048}};
  for (auto& c : cases) {
    sg_io_hdr_t io;
    memset(&io, 0xAB, sizeof io);
    ASSERT_EQ(RequestToSgIo(&c.block.sptd, sizeof c.block, sizeof c.block, &io), 1);
    EXPECT_EQ(io.interface_id, 'S');
    EXPECT_EQ(io.dxfer_direction, c.direction);
    EXPECT_EQ(io.cmd_len, c.block.sptd.CdbLength);
    EXPECT_EQ(io.cmdp, c.block.sptd.Cdb);
    EXPECT_EQ(io.mx_sb_len, 18);
    EXPECT_EQ(io.sbp, c.block.SenseBuf);  // the sense lands in the block
    EXPECT_EQ(io.dxfer_len, c.len);
    EXPECT_EQ(io.dxferp, c.len ? Buffer : nullptr);  // and the data straight in the buffer
    EXPECT_EQ(io.iovec_count, 0);
    EXPECT_EQ(io.flags, 0u);
    EXPECT_EQ(io.timeout, 108000000u);  // milliseconds
  }
}

TEST(LinuxLayer, MalformedRequestIsNotSent) {
  sg_io_hdr_t io;
  T_SPDT_SBUF b = blockOf(0x28, SCSI_IOCTL_DATA_IN, 2048, 10);
  EXPECT_EQ(RequestToSgIo(&b.sptd, sizeof b, sizeof b, &io), 1);
  EXPECT_EQ(RequestToSgIo(&b.sptd, sizeof b.sptd - 1, sizeof b, &io), 0);
  EXPECT_EQ(RequestToSgIo(&b.sptd, sizeof b, offsetof(T_SPDT_SBUF, SenseBuf) + 17, &io), 0);  // sense outside
  T_SPDT_SBUF bad = b;
  bad.sptd.Length = 44 + 1;
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad = b;
  bad.sptd.CdbLength = 0;
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad.sptd.CdbLength = 17;
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad = b;
  bad.sptd.SenseInfoOffset = 4;  // inside the request
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad = b;
  bad.sptd.DataBuffer = nullptr;
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad = b;
  bad.sptd.DataIn = 3;
  EXPECT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 0);
  bad = b;
  bad.sptd.TimeOutValue = 0xFFFFFFFF;  // as far as the millisecond field reaches
  ASSERT_EQ(RequestToSgIo(&bad.sptd, sizeof b, sizeof b, &io), 1);
  EXPECT_EQ(io.timeout, 0xFFFFFFFFu);
}

TEST(LinuxLayer, AnswerComesBackIntoTheBlock) {
  struct {
    const char* what;
    int ioctlResult;
    unsigned char status, host, driver, senseWritten;
    int resid;
    BOOL carriedOut;
    unsigned transferred;
  } cases[] = {
      {"good", 0, 0x00, 0, 0, 0, 0, TRUE, 65536},
      {"check condition with sense", 0, 0x02, 0, 0x08, 18, 0, TRUE, 65536},
      {"busy", 0, 0x08, 0, 0, 0, 0, TRUE, 65536},
      {"fewer bytes delivered", 0, 0x00, 0, 0, 0, 61440, TRUE, 4096},
      {"ioctl failed", -1, 0, 0, 0, 0, 0, FALSE, 0},
      {"no connection", 0, 0, 0x01, 0, 0, 0, FALSE, 0},
      {"adapter time-out", 0, 0, 0x03, 0, 0, 0, FALSE, 0},
      {"driver time-out", 0, 0, 0, 0x06, 0, 0, FALSE, 0},
      {"driver error", 0, 0x00, 0, 0x24, 0, 0, FALSE, 0},
  };
  for (const auto& c : cases) {
    T_SPDT_SBUF b = blockOf(0x28, SCSI_IOCTL_DATA_IN, 65536, 10);
    b.sptd.ScsiStatus = 0x77;
    sg_io_hdr_t io;
    ASSERT_EQ(RequestToSgIo(&b.sptd, sizeof b, sizeof b, &io), 1);
    io.status = c.status;
    io.masked_status = c.status >> 1;
    io.host_status = c.host;
    io.driver_status = c.driver;
    io.sb_len_wr = c.senseWritten;
    io.resid = c.resid;
    DWORD returned = 0;
    EXPECT_EQ(SgIoToRequest(c.ioctlResult, &io, &b.sptd, &returned), c.carriedOut) << c.what;
    if (!c.carriedOut) continue;
    EXPECT_EQ(b.sptd.ScsiStatus, c.status) << c.what;
    EXPECT_EQ(b.sptd.SenseInfoLength, c.senseWritten) << c.what;
    EXPECT_EQ(b.sptd.DataTransferLength, c.transferred) << c.what;
    EXPECT_EQ(returned, c.senseWritten ? sizeof b.sptd + c.senseWritten : sizeof b.sptd) << c.what;
  }
}

}  // namespace
