// Disc mode: whole runs of the program on a simulated drive. The drive
// holds a backup disc (a built image), answers with scripted outcomes, and
// logs every kernel call; the program rips the disc into cd.hex, carves it
// exactly as image mode does, and deletes it.
#include <gtest/gtest.h>

#include <cstdio>

#include "Cli.h"

#ifndef DISCSIFT_SIMDRIVE_BIN
#error "DISCSIFT_SIMDRIVE_BIN must name the program built on the simulated drive"
#endif

using namespace cli;
using fixture::Bytes;
using fixture::Image;

namespace {

const std::string kStart = "\nStarting Strip process - need to create .hex\n\n";
const std::string kOptical = "Drive type is recognised as CDROM/DVD.\n";
const std::string kNotOptical = "Drive type is not CDROM/DVD, aborting.\n";
const std::string kTur = "Sending SPC1 Test Unit CDB6 command..";
const std::string kGood = kTur + "done.\nReturned good status.\n";
const std::string kReady = "\n" + kGood + "\n";
const std::string kToc = "Sending read TOC command..done.\n";
const std::string kAbort = "Aborting process.\n";
const std::string kNoImage = "Input .iso or .hex File Not Found\n";
const std::string kDelete = "\nDeleting temporary cd.hex file\n";
const std::string kOut = "Subdirectory created named out/\n";

std::string fmt(const char* f, unsigned a, unsigned b, double c) {
  char buf[128];
  snprintf(buf, sizeof buf, f, a, b, c);
  return buf;
}

std::string totals(unsigned tracks, unsigned sectors) {
  return "Total user tracks : " + std::to_string(tracks) + "\nTotal sectors     : " +
         std::to_string(sectors) + "\n\n";
}

// "\n\n" and the progress lines of the chunks that start below `upTo`.
std::string progress(unsigned sectors, unsigned upTo = ~0u) {
  std::string s = "\n\n";
  for (unsigned a = 0; a < sectors && a < upTo; a += 32) {
    unsigned b = std::min(a + 32, sectors) - 1;
    s += fmt("Reading sector %u to %u  progress: %.1f%%\r", a, b, double(b) / sectors * 100);
  }
  return s;
}

std::string sense(const std::string& kaq, const std::string& remark = "") {
  return "Sense data, key:ASC:ASCQ: " + kaq + remark + "\n";
}

// The log lines of the simulated drive.
const std::string kQueryE = "GetDriveTypeA E:\\ -> 5\n";
const std::string kOpenE = "CreateFileA \\\\.\\E: C0000000 -> opened\n";
const std::string kTurGood = "DeviceIoControl CDB 00 00 00 00 00 00 -> status 00\n";
const std::string kTocHeader = "DeviceIoControl CDB 43 00 00 00 00 00 00 00 04 00 -> status 00\n";
const std::string kTocWhole = "DeviceIoControl CDB 43 00 00 00 00 00 00 00 14 00 -> status 00\n";
const std::string kClose = "CloseHandle -> closed\n";

std::string readLog(unsigned lba, unsigned n, const std::string& result = "status 00") {
  char buf[128];
  snprintf(buf, sizeof buf, "DeviceIoControl CDB 28 00 %02X %02X %02X %02X 00 %02X %02X 00 -> ",
           lba >> 24, (lba >> 16) & 0xFF, (lba >> 8) & 0xFF, lba & 0xFF, n >> 8, n & 0xFF);
  return buf + result + "\n";
}

std::string senseLog(const std::string& kaq) {  // "02 04 01"
  return "sense 70 00 " + kaq.substr(0, 2) + " 00 00 00 00 0A 00 00 00 00 " + kaq.substr(3) +
         " 00 00 00 00";
}

Bytes sectors(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<long>(n * 2048)); }

// A sandbox with a simulated drive; the drive's files live in drive/.
struct Disc {
  Sandbox box;

  Result run(const std::string& directives, const std::vector<std::string>& args = {"E", "out"},
             RunOptions o = {}) const {
    box.mkdir("drive");
    box.write("drive/drive.cfg", fixture::bytesOf(directives + "log drive/log\n"));
    o.binary = DISCSIFT_SIMDRIVE_BIN;
    o.env.push_back({"DISCSIFT_SIMDRIVE", "drive/drive.cfg"});
    return box.run(args, o);
  }
  void medium(const Bytes& b) const {
    box.mkdir("drive");
    box.write("drive/disc.iso", b);
  }
  std::string log() const { return box.read("drive/log"); }
  Tree tree() const { return box.tree("", {"drive"}); }
};

// What image mode prints after its banner and writes, for this image
// carved as cd.hex into out/.
struct Carve {
  std::string strip;
  Tree tree;
};

Carve carve(const Bytes& image) {
  Sandbox box;
  box.write("cd.hex", image);
  Result r = box.run({"cd.hex", "out"});
  std::string prefix = banner() + kOut;
  EXPECT_EQ(r.out.substr(0, prefix.size()), prefix);
  return {r.out.substr(prefix.size()), box.tree("", {"cd.hex"})};
}

Bytes backupDisc() { return fixture::sampleImage(1).padToSector().bytes(); }

}  // namespace

TEST(DiscMode, RipsTheDiscCarvesItAndDeletesTheImage) {
  Bytes disc = backupDisc();
  unsigned n = static_cast<unsigned>(disc.size() / 2048);
  ASSERT_GT(n % 32, 0u);  // a shorter last chunk
  Carve want = carve(disc);
  Disc d;
  d.medium(disc);
  // Only the first character names the drive: D: is drive D.
  Result r = d.run("optical D\nmedium drive/disc.iso\n", {"D:", "out"});
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + kReady + kToc + totals(1, n) + progress(n) +
                       "Process finished." + want.strip + kDelete);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(d.tree(), want.tree);  // the songs, and no cd.hex

  std::string log = "GetDriveTypeA D:\\ -> 5\nCreateFileA \\\\.\\D: C0000000 -> opened\n" + kTurGood +
                    kTocHeader + kTocWhole;
  for (unsigned a = 0; a < n; a += 32) log += readLog(a, std::min(32u, n - a));
  EXPECT_EQ(d.log(), log + kClose);
}

TEST(DiscMode, ReadOnlyDriveIsOpenedWithoutAWord) {
  Bytes disc = sectors(backupDisc(), 40);
  Disc rw, ro;
  rw.medium(disc);
  ro.medium(disc);
  Result a = rw.run("medium drive/disc.iso\n");
  Result b = ro.run("medium drive/disc.iso\nopen ro\n");
  EXPECT_EQ(b.out, a.out);
  EXPECT_NE(b.out.find("Process finished."), std::string::npos);
  EXPECT_EQ(ro.tree(), rw.tree());
  EXPECT_EQ(ro.log(), kQueryE + "CreateFileA \\\\.\\E: C0000000 -> refused\n"
                               "CreateFileA \\\\.\\E: 80000000 -> opened\n" +
                          kTurGood + kTocHeader + kTocWhole + readLog(0, 32) + readLog(32, 8) + kClose);
}

TEST(DiscMode, DriveThatBecomesReadyOnTheThirdTry) {
  Bytes disc = sectors(backupDisc(), 40);
  Carve want = carve(disc);
  Disc d;
  d.medium(disc);
  Result r = d.run("medium drive/disc.iso\non tur #1 check 02 04 01\non tur #2 check 06 29 00\n");
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + "\n" + kTur + "done.\n" + sense("02:04:01") +
                       kTur + "done.\n" + sense("06:29:00") + kGood + "\n" + kToc + totals(1, 40) +
                       progress(40) + "Process finished." + want.strip + kDelete);
  EXPECT_EQ(d.tree(), want.tree);
}

// Runs that end before the image is created: no "Process finished.", the
// carve finds no image, and the log shows how far the drive got.
struct NoImageCase {
  const char* what;
  std::string directives;
  std::string args0;
  std::string rip;  // between the start lines and "Input ... Not Found"
  std::string log;
};

void PrintTo(const NoImageCase& c, std::ostream* os) { *os << c.what; }

class RipFailsEarly : public ::testing::TestWithParam<NoImageCase> {};

TEST_P(RipFailsEarly, NoImageIsCarved) {
  const NoImageCase& c = GetParam();
  Disc d;
  d.medium(sectors(backupDisc(), 40));
  Result r = d.run(c.directives, {c.args0, "out"});
  EXPECT_EQ(r.out, banner() + kOut + kStart + c.rip + kNoImage + kDelete);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(d.log(), c.log);
  EXPECT_EQ(d.tree(), (Tree{{"out/", ""}}));
}

const std::string kTurCheck = "DeviceIoControl CDB 00 00 00 00 00 00 -> status 02, ";
const std::string kNotReady = "\nDrive is not ready!\n" + kAbort;

INSTANTIATE_TEST_SUITE_P(
    Table, RipFailsEarly,
    ::testing::Values(
        NoImageCase{"not_optical", "medium drive/disc.iso\n", "F", kNotOptical,
                    "GetDriveTypeA F:\\ -> 1\n"},
        NoImageCase{"letter_a_is_never_a_drive_here_either", "optical E\nmedium drive/disc.iso\n", "a",
                    kNotOptical, "GetDriveTypeA a:\\ -> 1\n"},
        NoImageCase{"empty_argument_is_the_letter_nul", "medium drive/disc.iso\n", "", kNotOptical,
                    "GetDriveTypeA \\0:\\ -> 1\n"},
        NoImageCase{"both_opens_refused", "medium drive/disc.iso\nopen none\n", "E",
                    kOptical + "Could not create handle for CD/DVD device.\n",
                    kQueryE + "CreateFileA \\\\.\\E: C0000000 -> refused\n"
                              "CreateFileA \\\\.\\E: 80000000 -> refused\n"},
        NoImageCase{"empty_drive_tried_three_times", "", "E",
                    kOptical + "\n" + kTur + "done.\n" + sense("02:3A:01", " - Medium not present-tray closed.") +
                        kTur + "done.\n" + sense("02:3A:01", " - Medium not present-tray closed.") + kTur +
                        "done.\n" + sense("02:3A:01", " - Medium not present-tray closed.") + kNotReady,
                    kQueryE + kOpenE + kTurCheck + senseLog("02 3A 01") + "\n" + kTurCheck +
                        senseLog("02 3A 01") + "\n" + kTurCheck + senseLog("02 3A 01") + "\n" + kClose},
        NoImageCase{"requests_not_carried_out", "medium drive/disc.iso\non tur * fail\n", "E",
                    kOptical + "\n" +
                        kTur + "failed.\nDeviceIOControl returned with failed status.\n" +
                        kTur + "failed.\nDeviceIOControl returned with failed status.\n" +
                        kTur + "failed.\nDeviceIOControl returned with failed status.\n" + kNotReady,
                    kQueryE + kOpenE +
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> not carried out\n"
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> not carried out\n"
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> not carried out\n" + kClose},
        NoImageCase{"busy_drive", "medium drive/disc.iso\non tur * status 08\n", "E",
                    kOptical + "\n" +
                        kTur + "done.\nCommand sent but returned with an unhandled status code: 08\n" +
                        kTur + "done.\nCommand sent but returned with an unhandled status code: 08\n" +
                        kTur + "done.\nCommand sent but returned with an unhandled status code: 08\n" +
                        kNotReady,
                    kQueryE + kOpenE +
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> status 08\n"
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> status 08\n"
                        "DeviceIoControl CDB 00 00 00 00 00 00 -> status 08\n" + kClose},
        NoImageCase{"toc_header_not_carried_out", "medium drive/disc.iso\non toc #1 fail\n", "E",
                    kOptical + kReady + "Sending read TOC command..failed.\n"
                                        "Could not return 4 byte Read TOC header.\n"
                                        "Could not read TOC!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood +
                        "DeviceIoControl CDB 43 00 00 00 00 00 00 00 04 00 -> not carried out\n" + kClose},
        NoImageCase{"toc_header_check_condition", "medium drive/disc.iso\non toc #1 check 05 24 00\n", "E",
                    kOptical + kReady + kToc + sense("05:24:00") + "Could not read TOC!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood +
                        "DeviceIoControl CDB 43 00 00 00 00 00 00 00 04 00 -> status 02, " +
                        senseLog("05 24 00") + "\n" + kClose},
        NoImageCase{"toc_not_carried_out", "medium drive/disc.iso\non toc #2 fail\n", "E",
                    kOptical + kReady + "Sending read TOC command..failed.\n"
                                        "Could only return 4 byte Read TOC header.\n"
                                        "Could not read TOC!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood + kTocHeader +
                        "DeviceIoControl CDB 43 00 00 00 00 00 00 00 14 00 -> not carried out\n" + kClose},
        NoImageCase{"toc_unhandled_status", "medium drive/disc.iso\non toc #2 status 18\n", "E",
                    kOptical + kReady + kToc + "Command sent but returned with an unhandled status code: 18\n" +
                        "Could not read TOC!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood + kTocHeader +
                        "DeviceIoControl CDB 43 00 00 00 00 00 00 00 14 00 -> status 18\n" + kClose},
        // The header alone: no second stage and no "done.", so the lead-out
        // message goes on the same line.
        NoImageCase{"toc_data_length_zero", "medium drive/disc.iso\ntocbytes 00 00 01 01\n", "E",
                    kOptical + kReady + "Sending read TOC command.." +
                        "Could not find lead-out entry in TOC to determine total sectors on CD!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood + kTocHeader + kClose},
        NoImageCase{"no_lead_out", "medium drive/disc.iso\ntocbytes 00 0A 01 01 00 14 01 00 00 00 00 00\n", "E",
                    kOptical + kReady + kToc +
                        "Could not find lead-out entry in TOC to determine total sectors on CD!\n" + kAbort,
                    kQueryE + kOpenE + kTurGood + kTocHeader +
                        "DeviceIoControl CDB 43 00 00 00 00 00 00 00 0C 00 -> status 00\n" + kClose}),
    [](const ::testing::TestParamInfo<NoImageCase>& i) { return std::string(i.param.what); });

TEST(DiscMode, OldImageIsDeletedEvenWhenTheDriveIsUnusable) {
  Disc d;
  d.box.write("cd.hex", fixture::sampleImage(1));
  Result r = d.run("optical E\n", {"F"});
  EXPECT_EQ(r.out, banner() + kStart + kNotOptical + kNoImage + kDelete);
  EXPECT_EQ(d.tree(), Tree{});
}

TEST(DiscMode, NoTransferBufferNoRip) {
  Disc d;
  d.medium(backupDisc());
  d.box.write("cd.hex", fixture::sampleImage(1));
  Result r = d.run("medium drive/disc.iso\nno-buffer\n");
  EXPECT_EQ(r.out, banner() + kOut + kStart +
                       "Could not allocate the 65536-byte transfer buffer: the disc is not read\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(d.log(), "");  // the drive is never touched
  EXPECT_EQ(d.tree(), (Tree{{"out/", ""}}));
}

TEST(DiscMode, LeadOutAtZeroGivesAnEmptyImage) {
  Disc d;
  d.medium({});
  Result r = d.run("medium drive/disc.iso\n");
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + kReady + kToc + totals(1, 0) + "\n\n" +
                       "Process finished." + head("cd.hex", 0).substr(0, 16) +
                       head("cd.hex", 0).substr(16) + "This is not a valid roland backup file - No Data\n" +
                       kDelete);
  EXPECT_EQ(d.log(), kQueryE + kOpenE + kTurGood + kTocHeader + kTocWhole + kClose);  // no READ(10)
}

TEST(DiscMode, ThirtyThreeSectorsAreTwoChunks) {
  Image img(1);
  img.song(1, "ONLY").padTo(33 * 2048);
  Carve want = carve(img.bytes());
  Disc d;
  d.medium(img.bytes());
  Result r = d.run("medium drive/disc.iso\n");
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + kReady + kToc + totals(1, 33) + "\n\n" +
                       "Reading sector 0 to 31  progress: 93.9%\r"
                       "Reading sector 32 to 32  progress: 97.0%\r"
                       "Process finished." + want.strip + kDelete);
  EXPECT_NE(want.strip.find("size = 000010800\n"), std::string::npos);  // 67584 bytes
  EXPECT_EQ(d.tree(), want.tree);
  EXPECT_EQ(d.log(), kQueryE + kOpenE + kTurGood + kTocHeader + kTocWhole + readLog(0, 32) +
                         readLog(32, 1) + kClose);
}

// A 600 MB disc: the drive makes its sectors up, and the image goes to
// /dev/null (the carve then sees an empty file).
TEST(DiscMode, ThreeHundredThousandSectors) {
  Disc d;
  Result r = d.run("synthetic 300000\nimage-to-null cd.hex\n");
  std::string p = progress(300000);
  const std::string last = "Reading sector 299968 to 299999  progress: 100.0%\r";
  EXPECT_EQ(p.substr(p.size() - last.size()), last);
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + kReady + kToc + totals(1, 300000) + p +
                       "Process finished." + head("cd.hex", 0) +
                       "This is not a valid roland backup file - No Data\n" + kDelete);
  EXPECT_EQ(d.tree(), (Tree{{"out/", ""}}));
}

// Failures part-way: the partial image is carved as far as it goes, then
// deleted; "Process finished." never appears.
struct PartialCase {
  const char* what;
  std::string directives;
  unsigned chunksWritten;
  std::string failure;  // after the failing chunk's progress line
  std::string lastLog;  // the failing chunk's log line
  long fileSizeLimit;
};

void PrintTo(const PartialCase& c, std::ostream* os) { *os << c.what; }

class RipFailsPartWay : public ::testing::TestWithParam<PartialCase> {};

TEST_P(RipFailsPartWay, PartialImageIsCarvedThenDeleted) {
  const PartialCase& c = GetParam();
  Bytes disc = backupDisc();  // 100 sectors
  unsigned n = static_cast<unsigned>(disc.size() / 2048);
  ASSERT_EQ(n, 100u);
  Carve want = carve(sectors(disc, c.chunksWritten * 32));
  Disc d;
  d.medium(disc);
  RunOptions o;
  o.fileSizeLimit = c.fileSizeLimit;
  Result r = d.run("medium drive/disc.iso\n" + c.directives, {"E", "out"}, o);
  EXPECT_EQ(r.out, banner() + kOut + kStart + kOptical + kReady + kToc + totals(1, n) +
                       progress(n, (c.chunksWritten + 1) * 32) + c.failure + want.strip + kDelete);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(d.tree(), want.tree);
  std::string log = kQueryE + kOpenE + kTurGood + kTocHeader + kTocWhole;
  for (unsigned k = 0; k < c.chunksWritten + (c.fileSizeLimit < 0 ? 0 : 1); k++) log += readLog(k * 32, 32);
  EXPECT_EQ(d.log(), log + c.lastLog + kClose);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RipFailsPartWay,
    ::testing::Values(
        PartialCase{"check_condition_at_sector_64", "on read10 @64 check 03 11 00\n", 2,
                    "\n" + sense("03:11:00") + "\n" + kAbort,
                    readLog(64, 32, "status 02, " + senseLog("03 11 00")), -1},
        PartialCase{"request_not_carried_out", "on read10 #2 fail\n", 1,
                    "DeviceIOControl returned with failed status.\n" + kAbort,
                    readLog(32, 32, "not carried out"), -1},
        PartialCase{"unhandled_status_on_the_first_chunk", "on read10 #1 status 28\n", 0,
                    "Command sent but returned with an unhandled status code: 28\n" + kAbort,
                    readLog(0, 32, "status 28"), -1},
        // The file may grow to two chunks: the third one's write fails.
        PartialCase{"write_error", "", 2, "Write file error!\n" + kAbort, "", 2 * 65536}),
    [](const ::testing::TestParamInfo<PartialCase>& i) { return std::string(i.param.what); });

// The product binary: on Linux the letters A to C name no drive.
TEST(DiscMode, LinuxLetterThatNamesNoDrive) {
  Sandbox box;
  Result r = box.run({"B", "out"});
  EXPECT_EQ(r.out, banner() + kOut + kStart + kNotOptical + kNoImage + kDelete);
  EXPECT_EQ(r.status, 0);
}
