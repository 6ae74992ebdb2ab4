// The rip into an image file, on the simulated drive: every sector in
// order, the progress lines, the partial image after a failure, and the
// drive closed on every path.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SimDrive.h"
#include "cdtoimg.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

unsigned char Buffer[DATA_BUF_SIZE];

// The made-up disc's sectors [from, to).
Bytes discSectors(uint32_t from, uint32_t to) {
  Bytes b(2048 * size_t(to - from));
  for (uint32_t k = from; k < to; k++) simdrive::syntheticSector(k, b.data() + 2048 * size_t(k - from));
  return b;
}

Bytes readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Rip : public ::testing::Test {
 protected:
  void SetUp() override {
    data_buf = Buffer;
    char tmpl[] = "/tmp/discsift-rip-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Rips a made-up disc of `sectors` sectors; returns the result, keeps the
  // console output in out_.
  BOOL rip(uint32_t sectors, std::vector<simdrive::Rule> script = {}, const char* name = "disc.img") {
    simdrive::Drive d;
    d.medium = simdrive::Drive::Medium::Synthetic;
    d.sectors = sectors;
    d.script = std::move(script);
    simdrive::configure(d);
    testing::internal::CaptureStdout();
    BOOL r = read_cd_to_image('E', (dir_ / name).c_str(), DATA_BUF_SIZE);
    out_ = testing::internal::GetCapturedStdout();
    EXPECT_EQ(simdrive::openHandles(), 0);  // closed on every path
    return r;
  }
  Bytes image() const { return readFile(dir_ / "disc.img"); }
  // What follows the totals.
  std::string afterTotals() const {
    size_t p = out_.find("Total sectors     : ");
    return p == std::string::npos ? "" : out_.substr(out_.find("\n\n", p) + 2);
  }

  fs::path dir_;
  std::string out_;
};

struct ProgressCase {
  uint32_t sectors;
  std::string lines;
};

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.sectors << " sectors"; }

class RipProgress : public Rip, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(RipProgress, EverySectorInOrderWithALinePerChunk) {
  const ProgressCase& c = GetParam();
  EXPECT_EQ(rip(c.sectors), 1);
  EXPECT_EQ(afterTotals(), "\n\n" + c.lines);
  EXPECT_EQ(image(), discSectors(0, c.sectors));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RipProgress,
    ::testing::Values(ProgressCase{0, ""},
                      ProgressCase{1, "Reading sector 0 to 0  progress: 0.0%\r"},
                      ProgressCase{32, "Reading sector 0 to 31  progress: 96.9%\r"},
                      ProgressCase{33, "Reading sector 0 to 31  progress: 93.9%\r"
                                       "Reading sector 32 to 32  progress: 97.0%\r"},
                      ProgressCase{64, "Reading sector 0 to 31  progress: 48.4%\r"
                                       "Reading sector 32 to 63  progress: 98.4%\r"}));

TEST_F(Rip, SectorsTheDriveDoesNotDeliverAreZeros) {
  EXPECT_EQ(rip(70, {{simdrive::Command::Read10, 2, -1, simdrive::deliver(1000)}}), 1);
  Bytes want = discSectors(0, 70);
  std::fill(want.begin() + 32 * 2048 + 1000, want.begin() + 64 * 2048, 0);
  EXPECT_EQ(image(), want);
}

TEST_F(Rip, CheckConditionAtSector64LeavesTwoChunks) {
  EXPECT_EQ(rip(100, {{simdrive::Command::Read10, 0, 64, simdrive::checkCondition(0x03, 0x11, 0x00)}}), 0);
  EXPECT_EQ(image(), discSectors(0, 64));
  EXPECT_EQ(afterTotals(), "\n\nReading sector 0 to 31  progress: 31.0%\r"
                           "Reading sector 32 to 63  progress: 63.0%\r"
                           "Reading sector 64 to 95  progress: 95.0%\r"
                           "\nSense data, key:ASC:ASCQ: 03:11:00\n\nAborting process.\n");
  EXPECT_EQ(simdrive::requests().size(), 6u);  // TUR, two TOC stages, three READ(10): no retry
}

TEST_F(Rip, ImageThatCannotBeCreated) {
  EXPECT_EQ(rip(10, {}, "no-such-folder/disc.img"), 0);
  EXPECT_EQ(afterTotals(), "Could not create file!\nAborting process.\n");
  EXPECT_EQ(simdrive::requests().size(), 3u);  // no READ(10)
}

TEST_F(Rip, NeverReadyIsTriedExactlyThreeTimesAndNoImageIsMade) {
  EXPECT_EQ(rip(10, {{simdrive::Command::TestUnitReady, 0, -1, simdrive::checkCondition(0x02, 0x04, 0x01)}}), 0);
  EXPECT_EQ(simdrive::requests().size(), 3u);
  EXPECT_FALSE(fs::exists(dir_ / "disc.img"));
}

TEST_F(Rip, DriveThatCannotBeOpenedIsLeftAlone) {
  simdrive::Drive d;
  d.readWrite = d.readOnly = false;
  simdrive::configure(d);
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_cd_to_image('E', (dir_ / "disc.img").c_str(), DATA_BUF_SIZE), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(simdrive::requests().empty());
  EXPECT_EQ(simdrive::closeCalls(), 0);  // nothing to close
  EXPECT_FALSE(fs::exists(dir_ / "disc.img"));
}

}  // namespace
