// The drive commands on the simulated drive: what each one puts into the
// request block and clears in the transfer buffer, the sense report, the
// TOC walk and the two-stage TOC read.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "SimDrive.h"
#include "cdtoimg.h"

namespace {

using Bytes = std::vector<uint8_t>;

unsigned char Buffer[DATA_BUF_SIZE];

// A simulated drive E with a disc, and the drive opened.
HANDLE openDrive(simdrive::Drive d) {
  data_buf = Buffer;
  simdrive::configure(d);
  testing::internal::CaptureStdout();
  HANDLE h = open_volume('E');
  testing::internal::GetCapturedStdout();
  return h;
}

simdrive::Drive withDisc(uint32_t sectors) {
  simdrive::Drive d;
  d.medium = simdrive::Drive::Medium::Synthetic;
  d.sectors = sectors;
  return d;
}

Bytes cdb16(Bytes b) {
  b.resize(16, 0);
  return b;
}

struct CommandCase {
  const char* what;
  std::function<BOOL(HANDLE)> send;
  Bytes cdb;  // all 16 bytes
  unsigned cdbLength, dataIn, transfer;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.what; }

class Command : public ::testing::TestWithParam<CommandCase> {};

TEST_P(Command, FillsTheBlockAndClearsWhatItTransfers) {
  const CommandCase& c = GetParam();
  simdrive::Drive d = withDisc(100);
  // Nothing comes back, so the buffer shows what the command cleared.
  for (auto cmd : {simdrive::Command::TestUnitReady, simdrive::Command::ReadToc, simdrive::Command::Read10})
    d.script.push_back({cmd, 0, -1, simdrive::deliver(0)});
  HANDLE h = openDrive(d);
  memset(Buffer, 0xEE, sizeof Buffer);
  memset(&sptd_sb, 0xEE, sizeof sptd_sb);

  testing::internal::CaptureStdout();
  EXPECT_TRUE(c.send(h));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the caller reports

  ASSERT_EQ(simdrive::requests().size(), 1u);
  const simdrive::Request& r = simdrive::requests()[0];
  const SCSI_PASS_THROUGH_DIRECT& s = r.block.sptd;
  EXPECT_EQ(r.code, 0x4D014u);  // IOCTL_SCSI_PASS_THROUGH_DIRECT
  EXPECT_EQ(r.inSize, sizeof(T_SPDT_SBUF));
  EXPECT_EQ(r.outSize, sizeof(T_SPDT_SBUF));
  EXPECT_TRUE(r.sameBuffers);
  EXPECT_EQ(s.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
  EXPECT_EQ(s.ScsiStatus, 0xEE);  // the drive's field: left alone
  EXPECT_EQ(s.PathId, 0);
  EXPECT_EQ(s.TargetId, 0);
  EXPECT_EQ(s.Lun, 0);
  EXPECT_EQ(s.CdbLength, c.cdbLength);
  EXPECT_EQ(s.SenseInfoLength, 18);
  EXPECT_EQ(s.DataIn, c.dataIn);
  EXPECT_EQ(s.DataTransferLength, c.transfer);
  EXPECT_EQ(s.TimeOutValue, 108000u);
  EXPECT_EQ(s.DataBuffer, data_buf);
  EXPECT_EQ(s.SenseInfoOffset, offsetof(T_SPDT_SBUF, SenseBuf));
  EXPECT_EQ(Bytes(s.Cdb, s.Cdb + 16), c.cdb);
  EXPECT_EQ(Bytes(r.block.SenseBuf, r.block.SenseBuf + 18), Bytes(18, 0));
  EXPECT_TRUE(r.transferZeroed);

  EXPECT_EQ(Bytes(Buffer, Buffer + c.transfer), Bytes(c.transfer, 0));
  EXPECT_EQ(Bytes(Buffer + c.transfer, Buffer + DATA_BUF_SIZE), Bytes(DATA_BUF_SIZE - c.transfer, 0xEE));
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Command,
    ::testing::Values(
        CommandCase{"test_unit_ready", test_unit_ready, Bytes(16, 0), 6, 2, 0},
        CommandCase{"toc_header", [](HANDLE h) { return read_TOC_PMA_ATIP(h, 0, 0, 4); },
                    cdb16({0x43, 0, 0, 0, 0, 0, 0, 0, 0x04, 0}), 10, 1, 4},
        CommandCase{"toc_fields", [](HANDLE h) { return read_TOC_PMA_ATIP(h, 0x02, 0x05, 0x1234); },
                    cdb16({0x43, 0, 0x02, 0, 0, 0, 0x05, 0x12, 0x34, 0}), 10, 1, 0x1234},
        CommandCase{"read10_32_sectors", [](HANDLE h) { return read10(h, 0x12345678, 32); },
                    cdb16({0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 0x20, 0}), 10, 1, 65536},
        CommandCase{"read10_one_sector", [](HANDLE h) { return read10(h, 299999, 1); },
                    cdb16({0x28, 0, 0x00, 0x04, 0x93, 0xDF, 0, 0, 0x01, 0}), 10, 1, 2048}),
    [](const ::testing::TestParamInfo<CommandCase>& i) { return std::string(i.param.what); });

TEST(Command, AnswerIsLeftToTheCaller) {
  simdrive::Drive d = withDisc(100);
  d.script = {{simdrive::Command::Read10, 1, -1, simdrive::notCarriedOut()},
              {simdrive::Command::Read10, 2, -1, simdrive::checkCondition(0x03, 0x11, 0x05)},
              {simdrive::Command::Read10, 3, -1, simdrive::status(0x08)}};
  HANDLE h = openDrive(d);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(read10(h, 0, 32));
  EXPECT_TRUE(read10(h, 0, 32));
  EXPECT_EQ(sptd_sb.sptd.ScsiStatus, 2);
  EXPECT_EQ(sptd_sb.SenseBuf[2], 0x03);
  EXPECT_EQ(sptd_sb.SenseBuf[12], 0x11);
  EXPECT_EQ(sptd_sb.SenseBuf[13], 0x05);
  EXPECT_TRUE(read10(h, 0, 32));
  EXPECT_EQ(sptd_sb.sptd.ScsiStatus, 8);
  EXPECT_EQ(Bytes(sptd_sb.SenseBuf, sptd_sb.SenseBuf + 18), Bytes(18, 0));  // cleared again
  EXPECT_TRUE(read10(h, 5, 2));
  EXPECT_EQ(sptd_sb.sptd.ScsiStatus, 0);
  Bytes sector(2048);
  simdrive::syntheticSector(6, sector.data());
  EXPECT_EQ(Bytes(Buffer + 2048, Buffer + 4096), sector);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  CloseHandle(h);
}

TEST(OpenVolume, NamesTheRootAndTheDeviceByTheLetterAsGiven) {
  simdrive::Drive d;
  d.optical = "e";
  simdrive::configure(d);
  testing::internal::CaptureStdout();
  HANDLE h = open_volume('e');
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Drive type is recognised as CDROM/DVD.\n");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(simdrive::driveTypeQueries(), std::vector<std::string>{"e:\\"});
  ASSERT_EQ(simdrive::opens().size(), 1u);
  const simdrive::Open& o = simdrive::opens()[0];
  EXPECT_EQ(o.name, "\\\\.\\e:");
  EXPECT_EQ(o.access, 0xC0000000u);
  EXPECT_EQ(o.share, 3u);
  EXPECT_EQ(o.disposition, 3u);  // OPEN_EXISTING
  EXPECT_EQ(o.attributes, 0x80u);
  EXPECT_FALSE(o.security);
  EXPECT_FALSE(o.templ);
  EXPECT_TRUE(CloseHandle(h));
}

TEST(OpenVolume, ReadOnlyRetryAndRefusal) {
  for (bool readOnly : {true, false}) {
    simdrive::Drive d;
    d.readWrite = false;
    d.readOnly = readOnly;
    simdrive::configure(d);
    testing::internal::CaptureStdout();
    HANDLE h = open_volume('E');
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("Drive type is recognised as CDROM/DVD.\n") +
                  (readOnly ? "" : "Could not create handle for CD/DVD device.\n"));
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, readOnly);
    ASSERT_EQ(simdrive::opens().size(), 2u);
    EXPECT_EQ(simdrive::opens()[1].access, 0x80000000u);
    EXPECT_EQ(simdrive::opens()[1].share, 3u);
    if (readOnly) CloseHandle(h);
  }
}

struct SenseCase {
  uint8_t b2, asc, ascq;
  std::string printed;
};

void PrintTo(const SenseCase& c, std::ostream* os) { *os << c.printed; }

class DispSense : public ::testing::TestWithParam<SenseCase> {};

TEST_P(DispSense, KeyAscAscqAndAtMostOneRemark) {
  const SenseCase& c = GetParam();
  memset(sptd_sb.SenseBuf, 0xFF, sizeof sptd_sb.SenseBuf);  // only bytes 2, 12, 13 count
  sptd_sb.SenseBuf[2] = c.b2;
  sptd_sb.SenseBuf[12] = c.asc;
  sptd_sb.SenseBuf[13] = c.ascq;
  testing::internal::CaptureStdout();
  disp_sense();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sense data, key:ASC:ASCQ: " + c.printed + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DispSense,
    ::testing::Values(SenseCase{0x00, 0x00, 0x00, "00:00:00 - No additional sense info."},
                      SenseCase{0x22, 0x3A, 0x01, "02:3A:01 - Medium not present-tray closed."},
                      SenseCase{0x02, 0x3A, 0x00, "02:3A:00 - Medium not present."},
                      SenseCase{0x72, 0x3A, 0x02, "02:3A:02 - Medium not present-tray open."},
                      SenseCase{0x02, 0x3A, 0x03, "02:3A:03"},
                      SenseCase{0x00, 0x04, 0x00, "00:04:00"},
                      SenseCase{0xF0, 0x00, 0x01, "00:00:01"},
                      SenseCase{0x03, 0x3A, 0x01, "03:3A:01"},
                      SenseCase{0x05, 0x21, 0x00, "05:21:00"}));

struct TocCase {
  const char* what;
  Bytes toc;  // exactly the bytes in the buffer
  bool found;
  unsigned tracks;
  unsigned sectors;  // 0xDEADBEEF: left as it was
};

void PrintTo(const TocCase& c, std::ostream* os) { *os << c.what; }

class LeadOut : public ::testing::TestWithParam<TocCase> {};

TEST_P(LeadOut, WalksTheAdr1DescriptorsInsideTheDataLength) {
  const TocCase& c = GetParam();
  unsigned char tracks = 99;
  unsigned int sectors = 0xDEADBEEF;
  EXPECT_EQ(find_leadout_from_TOC(c.toc.data(), tracks, sectors), c.found ? TRUE : FALSE);
  EXPECT_EQ(tracks, c.tracks);
  EXPECT_EQ(sectors, c.sectors);
}

Bytes toc(uint16_t length, std::vector<Bytes> descriptors, size_t padTo = 0) {
  Bytes b = {uint8_t(length >> 8), uint8_t(length), 1, 2};
  for (const Bytes& d : descriptors) b.insert(b.end(), d.begin(), d.end());
  if (b.size() < padTo) b.resize(padTo, 0);
  return b;
}

Bytes track(uint8_t adrControl, uint8_t number, uint32_t start) {
  return {0, adrControl, number, 0, uint8_t(start >> 24), uint8_t(start >> 16), uint8_t(start >> 8),
          uint8_t(start)};
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeadOut,
    ::testing::Values(
        TocCase{"two_tracks_and_the_lead_out",
                toc(26, {track(0x14, 1, 0), track(0x10, 2, 4096), track(0x14, 0xAA, 300000)}), true, 2, 300000},
        TocCase{"adr_2_and_3_neither_counted_nor_searched",
                toc(42, {track(0x14, 1, 0), track(0x24, 2, 10), track(0x34, 0xAA, 7), track(0x10, 2, 4096),
                         track(0x14, 0xAA, 1234)}),
                true, 2, 1234},
        TocCase{"only_an_adr_3_lead_out", toc(18, {track(0x14, 1, 0), track(0x34, 0xAA, 7)}), false, 1,
                0xDEADBEEF},
        TocCase{"last_descriptor_cut_short",
                toc(17, {track(0x14, 1, 0), track(0x14, 0xAA, 5000)}), false, 1, 0xDEADBEEF},
        TocCase{"two_lead_outs_the_last_wins",
                toc(26, {track(0x14, 0xAA, 111), track(0x14, 1, 0), track(0x14, 0xAA, 222)}), true, 1, 222},
        TocCase{"data_length_0", toc(0, {track(0x14, 1, 0), track(0x14, 0xAA, 5000)}), false, 0, 0xDEADBEEF},
        TocCase{"lead_out_at_0", toc(18, {track(0x14, 1, 0), track(0x14, 0xAA, 0)}), true, 1, 0},
        TocCase{"lead_out_start_uses_all_four_bytes", toc(10, {track(0x10, 0xAA, 0x89ABCDEF)}), true, 0,
                0x89ABCDEF},
        // 0xFFFE + 2 kept to 16 bits is 0: nothing is walked.
        TocCase{"data_length_wraps", toc(0xFFFE, {track(0x14, 1, 0), track(0x14, 0xAA, 5000)}, 65536), false,
                0, 0xDEADBEEF}),
    [](const ::testing::TestParamInfo<TocCase>& i) { return std::string(i.param.what); });

struct TocReadCase {
  uint16_t dataLength;
  unsigned long bufferSize;
  unsigned asked;  // allocation length of the second stage
};

void PrintTo(const TocReadCase& c, std::ostream* os) { *os << c.dataLength << " in " << c.bufferSize; }

class TocRead : public ::testing::TestWithParam<TocReadCase> {};

TEST_P(TocRead, SecondStageAsksForTheWholeResponseAsFarAsItFits) {
  const TocReadCase& c = GetParam();
  simdrive::Drive d = withDisc(10);
  d.toc = toc(c.dataLength, {track(0x14, 1, 0), track(0x14, 0xAA, 10)}, c.dataLength + 2u);
  HANDLE h = openDrive(d);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(verified_read_TOC(h, c.bufferSize));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sending read TOC command..done.\n");
  ASSERT_EQ(simdrive::requests().size(), 2u);
  const SCSI_PASS_THROUGH_DIRECT& s = simdrive::requests()[1].block.sptd;
  EXPECT_EQ((s.Cdb[7] << 8) | s.Cdb[8], int(c.asked));
  EXPECT_EQ(s.DataTransferLength, c.asked);
  EXPECT_EQ(Bytes(Buffer, Buffer + c.asked), Bytes(d.toc.begin(), d.toc.begin() + c.asked));
  CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Table, TocRead,
                         ::testing::Values(TocReadCase{18, 65536, 20}, TocReadCase{4094, 4096, 4096},
                                           TocReadCase{4095, 4096, 4096}, TocReadCase{0xFFFD, 65536, 0xFFFF},
                                           // the 16-bit allocation length cannot ask for more
                                           TocReadCase{0xFFFE, 65536, 0xFFFF},
                                           TocReadCase{0xFFFF, 65536, 0xFFFF}));

TEST(TocRead, OversizedTocEndsInFailure) {
  simdrive::Drive d = withDisc(10);
  d.toc = toc(0xFFFE, {track(0x14, 1, 0), track(0x14, 0xAA, 10)}, 0x10000);
  HANDLE h = openDrive(d);
  CloseHandle(h);
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_cd_to_image('E', "never-written.img", DATA_BUF_SIZE), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Sending read TOC command..done.\n"
                     "Could not find lead-out entry in TOC to determine total sectors on CD!\n"
                     "Aborting process.\n"),
            std::string::npos);
  EXPECT_EQ(simdrive::openHandles(), 0);
}

}  // namespace
