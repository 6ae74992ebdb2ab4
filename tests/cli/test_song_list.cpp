// The song list: one folder per song with its record and a name file.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace cli;
using fixture::Image;

namespace {

// Console output of a run whose image holds only a song list.
std::string listRun(const Image& img, const std::string& out, const std::string& songPart) {
  int code = img.m().code;
  std::string made = out.empty() ? "" : "Subdirectory created named " + out + "\n";
  return banner() + made + head("b.iso", img.size()) + img.m().message + songPart +
         eventScanAll(code, img.size()) + takeScanAll(code, img.size()) + tail();
}

}  // namespace

class Family : public ::testing::TestWithParam<int> {};

// Names as the recorder stores them, and the file names they become.
TEST_P(Family, EverySongGetsAFolderRecordAndNameFile) {
  const int code = GetParam();
  Image img(code);
  img.song(3, "MIX 1")
      .song(0x85, "LOUD")
      .song(4, "            ")  // twelve spaces
      .song(5, "A.B/C:D*")
      .song(6, "NOSPACESATAL")
      .song(7, "Q?<>|,;\\\"X  ")
      .song(8, std::string("TAB\t \0x", 7))  // a zero byte stops the trim
      .padTo(8192);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso", "out"});

  const std::string ext = img.m().ext;
  struct Want {
    int number;
    std::string file;
  } wants[] = {{3, "MIX 1"}, {-123, "LOUD"}, {4, " "}, {5, "A_B_C_D_"}, {6, "NOSPACESATAL"},
#ifdef _WIN32
               // Windows has no file names with a double quote or a tab.
               {7, "Q________X"}, {8, "TAB_ "}};
#else
               {7, "Q_______\"X"}, {8, "TAB\t "}};
#endif
  std::string lines;
  Tree want;
  for (size_t i = 0; i < std::size(wants); i++) {
    const Want& w = wants[i];
    lines += songLines("out/", code, w.number, w.file);
    std::string folder = "SONG" + std::to_string(w.number) + "/";
    want[folder] = "";
    want[folder + "SONG" + ext] = str(img.record(i));
    // The name file holds the name as cleaned, with no line end.
    want[folder + w.file + ".txt"] = "This directory has files for a song named " + w.file;
  }
  EXPECT_EQ(r.out, listRun(img, "out/", lines));
  EXPECT_EQ(box.tree("out"), want);
}

INSTANTIATE_TEST_SUITE_P(OnePerFamily, Family, ::testing::Values(1, 4, 3));

TEST(SongList, NameFilePathKeepsTheDoubledSeparator) {
  Image img(3);
  img.song(3, "MIX").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso", "out"});
  EXPECT_NE(r.out.find("Writing SONG.VRx file out/SONG3/SONG.VR1\n"), std::string::npos);
  EXPECT_NE(r.out.find("Writing NAME file out//SONG3/MIX.txt\n"), std::string::npos);
}

TEST(SongList, EmptyFirstNameMeansNoSongs) {
  Image img(1);
  img.song(1, std::string(12, '\0')).song(2, "NEVER").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  EXPECT_EQ(box.run({"b.iso"}).out, listRun(img, "", ""));
  EXPECT_EQ(box.tree("", {"b.iso"}), Tree{});
}

TEST(SongList, TwoRecordsWithOneNumberShareAFolder) {
  Image img(1);
  img.song(2, "FIRST").song(2, "SECOND").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, listRun(img, "", songLines("", 1, 2, "FIRST") + songLines("", 1, 2, "SECOND", true)));
  EXPECT_EQ(box.tree("", {"b.iso"}),
            (Tree{{"SONG2/", ""},
                  {"SONG2/SONG.VR6", str(img.record(1))},
                  {"SONG2/FIRST.txt", "This directory has files for a song named FIRST"},
                  {"SONG2/SECOND.txt", "This directory has files for a song named SECOND"}}));
}

TEST(SongList, SecondRunRewritesFilesAndReportsExistingFolders) {
  Image img(4);
  img.song(1, "ONE").song(2, "TWO").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  Result first = box.run({"b.iso", "out"});
  Tree before = box.tree("out");
  box.write("out/SONG1/SONG.VR9", fixture::bytesOf("stale"));
  Result second = box.run({"b.iso", "out"});
  std::string again = banner() + "Unable to create subdirectory named out/.. already exists?\n" +
                      head("b.iso", img.size()) + img.m().message + songLines("out/", 4, 1, "ONE", true) +
                      songLines("out/", 4, 2, "TWO", true) + eventScanAll(4, img.size()) +
                      takeScanAll(4, img.size()) + tail();
  EXPECT_EQ(second.out, again);
  EXPECT_EQ(box.tree("out"), before);
}

TEST(SongList, ImageEndingInsideTheListEndsIt) {
  Image img(1);
  img.song(1, "WHOLE").song(2, "CUT");
  img.truncate(42 + 38 + 20);  // the second record is cut short
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, banner() + head("b.iso", img.size()) + img.m().message + songLines("", 1, 1, "WHOLE") +
                       "\nEventlist processing finished\n" + tail());
  EXPECT_FALSE(box.exists("SONG2"));
}

TEST(SongList, NameFileThatCannotBeCreatedEndsTheRun) {
  Image img(1);
  img.song(1, "BLOCKED").song(2, "NEVER").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  box.mkdir("out/SONG1/BLOCKED.txt");  // a folder where the file should go
  Result r = box.run({"b.iso", "out"});
  EXPECT_EQ(r.out, banner() + "Unable to create subdirectory named out/.. already exists?\n" +
                       head("b.iso", img.size()) + img.m().message +
                       "Unable to create song subdirectory named out/SONG1.. already exists?\n"
                       "Writing SONG.VRx file out/SONG1/SONG.VR6\n"
                       "ERROR creating NAME file named out//SONG1/BLOCKED.txt\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(box.exists("out/SONG2"));
}

TEST(SongList, SongFileThatCannotBeCreatedEndsTheRun) {
  Image img(3);
  img.song(9, "X").padTo(4096);
  Sandbox box;
  box.write("b.iso", img);
  box.mkdir("SONG9/SONG.VR1");
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, banner() + head("b.iso", img.size()) + img.m().message +
                       "Unable to create song subdirectory named SONG9.. already exists?\n"
                       "ERROR creating SONG output file named SONG9/SONG.VR1\n");
  EXPECT_EQ(r.status, 0);
}
