// Recognising the recorder from the signature at the first non-zero byte.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;
using fixture::Image;

namespace {

// The whole console output of a run over an image with one song and
// nothing else, written to the working folder.
std::string oneSongRun(const Image& img, const std::string& name) {
  int code = img.m().code;
  return banner() + head(name, img.size()) + img.m().message + songLines("", code, 1, "ONLY") +
         eventScanAll(code, img.size()) + takeScanAll(code, img.size()) + tail();
}

}  // namespace

class EveryModel : public ::testing::TestWithParam<int> {};

TEST_P(EveryModel, SignatureNamesTheModelAndItsFiles) {
  Image img(GetParam());
  img.song(1, "ONLY").padTo(3 * 4096);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, oneSongRun(img, "b.iso"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.tree("", {"b.iso"}),
            (Tree{{"SONG1/", ""},
                  {"SONG1/SONG" + img.m().ext, str(img.record(0))},
                  {"SONG1/ONLY.txt", "This directory has files for a song named ONLY"}}));
}

INSTANTIATE_TEST_SUITE_P(Models, EveryModel, ::testing::ValuesIn(fixture::allModels()));

TEST(Recognition, ZeroBytesBeforeTheSignatureAreSkipped) {
  for (int code : {6, 8}) {
    Image img(code, 40000);
    Sandbox box;
    box.write("z.iso", img);
    Result r = box.run({"z.iso"});
    // The song list lies at its fixed place, here all zero: no songs.
    EXPECT_EQ(r.out, banner() + head("z.iso", 40006) + img.m().message + eventScanAll(code, 40006) +
                         takeScanAll(code, 40006) + tail());
  }
}

struct NotABackup {
  const char* what;
  Bytes image;
};

void PrintTo(const NotABackup& c, std::ostream* os) { *os << c.what; }

class NotRecognised : public ::testing::TestWithParam<NotABackup> {};

TEST_P(NotRecognised, SaysSoAndWritesNothing) {
  const NotABackup& c = GetParam();
  Sandbox box;
  box.write("x.hex", c.image);
  Result r = box.run({"x.hex", "out"});
  EXPECT_EQ(r.out, banner() + "Subdirectory created named out/\n" + head("x.hex", c.image.size()) +
                       "This is not a valid roland backup file\n" + tail());
  EXPECT_EQ(box.tree("out"), Tree{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, NotRecognised,
    ::testing::Values(NotABackup{"one non-zero byte", {0x41}},
                      NotABackup{"lower case", fixture::bytesOf(std::string(100, '\0') + "vs1680xxxx")},
                      NotABackup{"cut short by the end", fixture::bytesOf(std::string(10, '\0') + "VS168")},
                      NotABackup{"line feed inside", fixture::bytesOf("VS\n680" + std::string(50, 'x'))},
                      NotABackup{"zero byte inside", fixture::bytesOf(std::string("VS16\0" "80", 7))},
                      NotABackup{"another signature shape", fixture::bytesOf("VS-1680 and more")}),
    [](const ::testing::TestParamInfo<NotABackup>& i) {
      std::string n = i.param.what;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST(Recognition, SignatureFollowedByMoreTextIsRecognised) {
  Image img(1);
  img.put(6, "GARBAGE AFTER THE SIGNATURE").song(1, "ONLY").padTo(8192);
  Sandbox box;
  box.write("b.iso", img);
  EXPECT_EQ(box.run({"b.iso"}).out, oneSongRun(img, "b.iso"));
}

TEST(Recognition, EmptyAndAllZeroImagesHoldNoData) {
  for (size_t size : {size_t{0}, size_t{5000}}) {
    Sandbox box;
    box.write("e.iso", Bytes(size, 0));
    Result r = box.run({"e.iso"});
    EXPECT_EQ(r.out, banner() + head("e.iso", size) + "This is not a valid roland backup file - No Data\n");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(Recognition, MissingImage) {
  Sandbox box;
  EXPECT_EQ(box.run({"nothing-here.iso"}).out, banner() + "Input .iso or .hex File Not Found\n");
}

TEST(Recognition, FolderNamedAsTheImageIsNoImage) {
  Sandbox box;
  box.mkdir("backup.iso");
  EXPECT_EQ(box.run({"backup.iso", "out"}).out,
            banner() + "Subdirectory created named out/\nInput .iso or .hex File Not Found\n");
}

TEST(Recognition, ImageNamedWithFoldersIsPrintedAsGiven) {
  Image img(3);
  img.song(1, "ONLY").padTo(4096);
  Sandbox box;
  box.mkdir("discs/one");
  box.write("discs/one/b.iso", img);
  EXPECT_EQ(box.run({"discs/one/b.iso"}).out, oneSongRun(img, "discs/one/b.iso"));
}
