// Event lists: the header on the scan grid, the length and song number it
// gives, the data start found by the marker (1680 and 2480 families) or by
// the first non-empty 16-byte block (880 family), the copy, and the ends.
#include <gtest/gtest.h>

#include <cstdio>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;
using fixture::Image;

namespace {

const std::string kFinished = "\nEventlist processing finished\n";

Bytes le32(uint32_t v) {
  return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
               static_cast<uint8_t>(v >> 24)};
}

std::string slice(const Image& img, size_t from, size_t to) {
  const Bytes& b = img.bytes();
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

struct Song {
  int number;  // as the folder shows it
  std::string name;
};

// Banner, size and found lines, the model's line and the song list's lines.
std::string opening(const Image& img, const std::vector<Song>& songs, const std::string& out = "") {
  std::string s = banner() + (out.empty() ? "" : "Subdirectory created named " + out + "\n") +
                  head("b.iso", img.size()) + img.m().message;
  for (const Song& g : songs) s += songLines(out, img.m().code, g.number, g.name);
  return s;
}

// The folders the song list makes, with their record and name files.
Tree songFolders(const Image& img, const std::vector<Song>& songs) {
  Tree t;
  for (size_t i = 0; i < songs.size(); i++) {
    std::string folder = "SONG" + std::to_string(songs[i].number) + "/";
    t[folder] = "";
    t[folder + "SONG" + img.m().ext] = str(img.record(i));
    t[folder + songs[i].name + ".txt"] = "This directory has files for a song named " + songs[i].name;
  }
  return t;
}

// Event-scan progress lines up to and including position H, and after it.
std::string scanThrough(const Image& img, size_t H) { return eventScan(img.m().code, img.size(), 0, H + 1); }
std::string scanAfter(const Image& img, size_t H) { return eventScan(img.m().code, img.size(), H + 1, img.size()); }

std::string writing(const std::string& path) { return "\nWriting EVENTLST file " + path + "\n"; }

std::string listFile(const Image& img, int song) {
  return "SONG" + std::to_string(song) + "/" + img.m().eventListName + img.m().ext;
}

// A run over an image whose one list, with its header at H, is written
// whole to the file of `song`.
void expectOneList(const Image& img, size_t H, const std::vector<Song>& songs, int song, const std::string& data) {
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, opening(img, songs) + scanThrough(img, H) + writing(listFile(img, song)) + scanAfter(img, H) +
                       kFinished + takeScanAll(img.m().code, img.size()) + tail());
  Tree want = songFolders(img, songs);
  want[listFile(img, song)] = data;
  EXPECT_EQ(box.tree("", {"b.iso"}), want);
}

}  // namespace

// Fewer than scanStart + 1 bytes: no position to test, no progress line.
TEST(EventLists, ImageNoLargerThanTheScanStartTestsNothing) {
  for (int code : {1, 4, 3}) {
    const size_t s = fixture::model(code).scanStart;
    for (size_t size : {s, s + 1}) {
      Image img(code);
      img.padTo(size);
      Sandbox box;
      box.write("b.iso", img);
      char line[64];
      std::snprintf(line, sizeof line, "Searching at %08zx File End at %08zx\r", s, size);
      std::string events = (size == s ? "" : line) + kFinished;
      EXPECT_EQ(box.run({"b.iso"}).out, opening(img, {}) + events + takeScanAll(code, size) + tail())
          << "model " << code << ", " << size << " bytes";
    }
  }
}

// The 2480 family reads the length at H + 54 and the song at H - 25; the
// marker lies 500 bytes after the header; 300 bytes are one 256-byte chunk
// and 44 single bytes.
TEST(EventLists, MarkerSearchFindsTheListWhereverItStarts) {
  Image img(3);
  img.song(4, "VERSE");
  const size_t H = img.grid(1);
  img.put(H - 200, fixture::audio(1000, 7));  // audio around the header, never the marker
  img.put(H, "EVENTLSTVR").put(H + 54, le32(300)).putByte(H - 25, 4);
  img.put(H + 500, fixture::kEventMarker).put(H + 516, fixture::audio(400, 8));
  img.padTo(H + 4096 * 2);
  const std::string data = slice(img, H + 500, H + 800);
  ASSERT_EQ(data.substr(0, 16), "TAKE EVENT LIST ");
  expectOneList(img, H, {{4, "VERSE"}}, 4, data);
}

// The 880 family: header at 1572, song at 1549; the blocks start at the
// first multiple of 256 above 1550, that is 1792. Bytes before it do not
// count; the blocks at 1792 and 1808 are empty, the one at 1824 holds a
// byte at its last place, and the list starts with that whole block.
TEST(EventLists, BlockSearchStartsAtTheNextMultipleOf256) {
  for (int code : {4, 5, 7}) {
    Image img(code);
    img.song(2, "BASS");
    const size_t H = 1572;
    ASSERT_EQ(img.grid(0), H);
    img.put(H, "EVENTLSTVR").put(H + 46, le32(40)).putByte(1549, 2);
    img.putByte(1700, 0x11).putByte(1791, 0x22);  // before the first block
    img.putByte(1839, 0x5A).put(1840, fixture::bytesOf("rest of the list, more than is copied"));
    img.padTo(8192);
    const std::string data = slice(img, 1824, 1864);
    ASSERT_EQ(data.substr(0, 16), std::string(15, '\0') + "\x5A");
    expectOneList(img, H, {{2, "BASS"}}, 2, data);
  }
}

struct Length {
  int code;
  uint32_t length;
};

void PrintTo(const Length& c, std::ostream* os) { *os << "model " << c.code << ", length " << c.length; }

class ListLength : public ::testing::TestWithParam<Length> {};

// The data start is found first, then exactly `length` bytes are copied,
// across 256-byte chunks and the single bytes after them.
TEST_P(ListLength, CopiesExactlyTheLength) {
  const Length& c = GetParam();
  Image img(c.code);
  img.song(1, "TAKE ONE");
  const size_t H = img.grid(0);
  size_t end = 0;
  img.eventList(H, 1, fixture::audio(c.length + 100, c.length), {"EVENTLSTVR", 0, c.length}, &end);
  img.padTo(end + 5000);
  const size_t start = img.m().family == '8' ? H + 220 : H + 64;
  expectOneList(img, H, {{1, "TAKE ONE"}}, 1, slice(img, start, start + c.length));
}

INSTANTIATE_TEST_SUITE_P(Table, ListLength,
                         ::testing::Values(Length{1, 0}, Length{5, 0}, Length{8, 0}, Length{2, 256}, Length{4, 257},
                                           Length{6, 4095}, Length{1, 1000000}));

struct Naming {
  int code;
  std::string headerText;
  uint8_t songByte;
  std::string file;  // the file the list is written to
};

void PrintTo(const Naming& c, std::ostream* os) {
  *os << "model " << c.code << ", " << c.headerText << ", song byte " << int(c.songByte);
}

class ListName : public ::testing::TestWithParam<Naming> {};

// The file name depends on the model only; the three header texts are alike.
TEST_P(ListName, FollowsTheModelNotTheHeaderText) {
  const Naming& c = GetParam();
  Image img(c.code);
  img.song(c.songByte, "NAMED");
  const size_t H = img.grid(2);
  Bytes want = img.eventList(H, c.songByte, fixture::audio(900, 3), {c.headerText});
  img.padTo(H + 8192);
  const int number = static_cast<int8_t>(c.songByte);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, opening(img, {{number, "NAMED"}}) + scanThrough(img, H) + writing(c.file) + scanAfter(img, H) +
                       kFinished + takeScanAll(c.code, img.size()) + tail());
  Tree t = songFolders(img, {{number, "NAMED"}});
  t[c.file] = str(want);
  EXPECT_EQ(box.tree("", {"b.iso"}), t);
}

INSTANTIATE_TEST_SUITE_P(Table, ListName,
                         ::testing::Values(Naming{1, "EVENTLSTVS", 1, "SONG1/EVENTLST.VR6"},
                                           Naming{2, "EVENTLS0VR", 12, "SONG12/EVENTLST.VR5"},
                                           Naming{3, "EVENTLSTVR", 0xFE, "SONG-2/EVENTLST.VR1"},
                                           Naming{4, "EVENTLS0VR", 0x80, "SONG-128/EVENTLST.VR9"},
                                           Naming{5, "EVENTLSTVS", 0x7F, "SONG127/EVENTLST.VR7"},
                                           Naming{6, "EVENTLSTVS", 0, "SONG0/EVENTLST.VR1"},
                                           Naming{7, "EVENTLSTVR", 3, "SONG3/EVENTLS0.VR8"},
                                           Naming{7, "EVENTLSTVS", 3, "SONG3/EVENTLS0.VR8"},
                                           Naming{7, "EVENTLS0VR", 3, "SONG3/EVENTLS0.VR8"},
                                           Naming{8, "EVENTLS0VR", 9, "SONG9/EVENTLST.VR1"}));

TEST(EventLists, OutputPathPrefixesTheSongFolder) {
  Image img(6);
  img.song(5, "OUT");
  const size_t H = img.grid(0);
  Bytes want = img.eventList(H, 5, fixture::audio(500, 4));
  img.padTo(8192);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso", "out"});
  EXPECT_EQ(r.out, opening(img, {{5, "OUT"}}, "out/") + scanThrough(img, H) + writing("out/SONG5/EVENTLST.VR1") +
                       scanAfter(img, H) + kFinished + takeScanAll(6, img.size()) + tail());
  EXPECT_EQ(box.read("out/SONG5/EVENTLST.VR1"), str(want));
}

// Headers are only looked for on the grid; a header one byte late, or on
// another family's grid, is passed over.
TEST(EventLists, HeaderOffTheGridIsNeverFound) {
  struct Case {
    int code;
    size_t at;
  } cases[] = {{1, 1076 + 4096 + 1}, {1, 1076 + 4096 - 4096 / 2}, {3, 1076 + 4096}, {4, 2678 + 8192}};
  for (const Case& c : cases) {
    Image img(c.code);
    img.song(1, "ONE");
    img.eventList(c.at, 1, fixture::audio(700, 5));
    img.padTo(5 * 4096);
    Sandbox box;
    box.write("b.iso", img);
    EXPECT_EQ(box.run({"b.iso"}).out, opening(img, {{1, "ONE"}}) + eventScanAll(c.code, img.size()) +
                                          takeScanAll(c.code, img.size()) + tail())
        << "model " << c.code << ", header at " << c.at;
    EXPECT_EQ(box.tree("", {"b.iso"}), songFolders(img, {{1, "ONE"}}));
  }
}

// Every grid position is tested, also those inside a list already copied;
// a second list for the same song replaces the first one's file.
TEST(EventLists, LaterListForTheSameSongReplacesTheEarlier) {
  for (int code : {2, 4}) {
    Image img(code);
    img.song(7, "TWICE");
    const size_t H1 = img.grid(0), H2 = img.grid(3);
    img.eventList(H1, 7, fixture::audio(9000, 1));  // runs over grid positions 1 and 2
    Bytes second = img.eventList(H2, 7, fixture::audio(300, 2));
    img.padTo(H2 + 4096);
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso"});
    const std::string file = listFile(img, 7);
    EXPECT_EQ(r.out, opening(img, {{7, "TWICE"}}) + scanThrough(img, H1) + writing(file) +
                         eventScan(code, img.size(), H1 + 1, H2 + 1) + writing(file) + scanAfter(img, H2) +
                         kFinished + takeScanAll(code, img.size()) + tail());
    Tree want = songFolders(img, {{7, "TWICE"}});
    want[file] = str(second);
    EXPECT_EQ(box.tree("", {"b.iso"}), want);
  }
}

// A list for a song the song list does not hold has no folder to go to:
// the run ends there, takes and all.
TEST(EventLists, ListForASongWithoutFolderEndsTheRun) {
  Image img(1);
  img.song(1, "KEPT");
  const size_t H1 = img.grid(0), H2 = img.grid(1);
  Bytes first = img.eventList(H1, 1, fixture::audio(200, 1));
  img.eventList(H2, 9, fixture::audio(200, 2));
  img.take(img.grid(2), 1, "0001", fixture::audio(3000, 3));
  img.padToSector();
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, opening(img, {{1, "KEPT"}}) + scanThrough(img, H1) + writing("SONG1/EVENTLST.VR6") +
                       eventScan(1, img.size(), H1 + 1, H2 + 1) +
                       "ERROR creating EVENTLST output file named SONG9/EVENTLST.VR6\n");
  EXPECT_EQ(r.status, 0);
  Tree want = songFolders(img, {{1, "KEPT"}});
  want["SONG1/EVENTLST.VR6"] = str(first);
  EXPECT_EQ(box.tree("", {"b.iso"}), want);
}

// The length is checked once the data start is found: 1000000 bytes pass,
// one more stops the event lists with the overflow message; the takes are
// still carved.
TEST(EventLists, ListAboveOneMillionBytesStopsTheEventLists) {
  for (int code : {1, 8, 5}) {
    Image img(code);
    img.song(1, "LONG").song(2, "NEXT");
    const size_t H1 = img.grid(0), H2 = img.grid(1), T = img.grid(2);
    img.eventList(H1, 1, fixture::audio(600, 1), {"EVENTLSTVR", 0, 1000001});
    img.eventList(H2, 2, fixture::audio(600, 2));
    const std::string takeNum = img.m().takeNumLen == 4 ? "0001" : "000001";
    Bytes audio = fixture::audio(5000, 3);
    img.take(T, 1, takeNum, audio);
    img.padToSector();
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso"});
    const std::string takeFile = "SONG1/" + img.m().takePrefix + takeNum + img.m().ext;
    EXPECT_EQ(r.out, opening(img, {{1, "LONG"}, {2, "NEXT"}}) + scanThrough(img, H1) +
                         "DANGER WILL MARQUOD!!! EVENT LIST OVERFLOW000F4241\n" +
                         takeScan(code, img.size(), 0, T + 1) + takeFound() +
                         "Writing TAKE file " + takeFile + "\n" + takeScan(code, img.size(), T + 1, img.size()) +
                         tail())
        << "model " << code;
    Tree want = songFolders(img, {{1, "LONG"}, {2, "NEXT"}});
    want[takeFile] = str(audio);
    EXPECT_EQ(box.tree("", {"b.iso"}), want);
  }
}

struct EarlyEnd {
  const char* what;
  int code;
  // Builds the image from one with songs 1 and 2; returns the header position.
  size_t (*build)(Image&);
};

void PrintTo(const EarlyEnd& c, std::ostream* os) { *os << c.what; }

class DataStartNotFound : public ::testing::TestWithParam<EarlyEnd> {};

// No data start before the end of the image: the event lists end silently
// after the header's progress line, nothing is written for it, and the
// takes are still looked for.
TEST_P(DataStartNotFound, EndsTheEventListsSilently) {
  const EarlyEnd& c = GetParam();
  Image img(c.code);
  img.song(1, "ONE").song(2, "TWO");
  const size_t H = c.build(img);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out,
            opening(img, {{1, "ONE"}, {2, "TWO"}}) + scanThrough(img, H) + takeScanAll(c.code, img.size()) + tail());
  EXPECT_EQ(box.tree("", {"b.iso"}), songFolders(img, {{1, "ONE"}, {2, "TWO"}}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DataStartNotFound,
    ::testing::Values(EarlyEnd{"no_marker", 1,
                               [](Image& img) {
                                 size_t H = img.grid(1);
                                 img.put(H, "EVENTLSTVR").put(H + 46, le32(100)).putByte(H - 23, 1);
                                 img.put(H + 100, fixture::audio(20000, 9));
                                 return H;
                               }},
                      EarlyEnd{"marker_cut_by_the_end", 6,
                               [](Image& img) {
                                 size_t H = img.grid(0);
                                 img.put(H, "EVENTLSTVS").put(H + 54, le32(10)).putByte(H - 25, 2);
                                 img.padTo(H + 9000).put(H + 9000, "TAKE EVENT LIST");
                                 return H;
                               }},
                      EarlyEnd{"zero_length_list_without_marker", 2,
                               [](Image& img) {
                                 size_t H = img.grid(0);
                                 img.put(H, "EVENTLS0VR").putByte(H - 23, 1).padTo(H + 5000);
                                 return H;
                               }},
                      EarlyEnd{
                          "overflow_without_marker", 8,
                          [](Image& img) {
                            size_t H = img.grid(0);
                            img.put(H, "EVENTLSTVR").put(H + 54, le32(2000000)).putByte(H - 25, 1).padTo(H + 5000);
                            return H;
                          }},
                      EarlyEnd{"no_non_empty_block", 4,
                               [](Image& img) {
                                 size_t H = img.grid(1);
                                 img.put(H, "EVENTLSTVR").put(H + 46, le32(64)).putByte(H - 23, 1);
                                 img.put(H - 1000, fixture::audio(900, 2));  // before the blocks
                                 img.padTo(H + 220 + 16 * 100);
                                 return H;
                               }},
                      // The last block is cut short by the end of the image: the end is
                      // noticed before the byte in it counts.
                      EarlyEnd{"non_zero_byte_in_a_short_last_block", 7,
                               [](Image& img) {
                                 size_t H = img.grid(0);
                                 img.put(H, "EVENTLSTVR").put(H + 46, le32(64)).putByte(H - 23, 2);
                                 img.padTo(H + 220 + 16 * 40 + 9).putByte(H + 220 + 16 * 40 + 3, 0x01);
                                 return H;
                               }}),
    [](const ::testing::TestParamInfo<EarlyEnd>& i) { return std::string(i.param.what); });

// A last block that is whole still counts, even when the image ends with it.
TEST(EventLists, NonEmptyBlockEndingTheImageIsFound) {
  Image img(5);
  img.song(1, "ONE");
  const size_t H = img.grid(0);
  const size_t block = H + 220 + 16 * 40;
  img.put(H, "EVENTLSTVR").put(H + 46, le32(16)).putByte(H - 23, 1);
  img.padTo(block + 16).putByte(block + 15, 0x01);
  expectOneList(img, H, {{1, "ONE"}}, 1, slice(img, block, block + 16));
}

struct Cut {
  int code;
  uint32_t length;
  size_t keep;  // data bytes the image still holds
};

void PrintTo(const Cut& c, std::ostream* os) {
  *os << "model " << c.code << ", length " << c.length << ", " << c.keep << " bytes left";
}

class TruncatedImage : public ::testing::TestWithParam<Cut> {};

// A list whose length runs past the end of the image: the file holds the
// bytes up to the end, a warning says how many, and the scan goes on.
TEST_P(TruncatedImage, CopyEndsAtTheEndOfTheImage) {
  const Cut& c = GetParam();
  Image img(c.code);
  img.song(3, "CUT");
  const size_t H = img.grid(1);
  img.eventList(H, 3, fixture::audio(c.length, 11));
  const size_t start = img.m().family == '8' ? H + 220 : H + 64;
  img.truncate(start + c.keep);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  const std::string file = listFile(img, 3);
  const uint32_t length = c.length + (img.m().family == '8' ? 0 : 16);  // the marker counts
  const std::string warning = "WARNING: the image ends inside this event list: " + file + " holds " +
                              std::to_string(c.keep) + " of its " + std::to_string(length) + " bytes\n";
  EXPECT_EQ(r.out, opening(img, {{3, "CUT"}}) + scanThrough(img, H) + writing(file) + warning + scanAfter(img, H) +
                       kFinished + takeScanAll(c.code, img.size()) + tail());
  Tree want = songFolders(img, {{3, "CUT"}});
  want[file] = slice(img, start, img.size());
  EXPECT_EQ(box.tree("", {"b.iso"}), want);
}

INSTANTIATE_TEST_SUITE_P(Table, TruncatedImage,
                         ::testing::Values(Cut{1, 5000, 1000}, Cut{4, 20000, 9000}, Cut{3, 700, 512},
                                           Cut{7, 300, 16}));

// The image ends inside the 50 bytes after the header: the step back to the
// song number is taken from where that read stopped, and the marker search
// runs on from there.
TEST(EventLists, ImageEndingInsideTheHeaderStepsBackFromItsEnd) {
  Image img(1);
  img.song(1, "ONE").song(2, "TWO");
  const size_t H = img.grid(1);
  img.put(H, "EVENTLSTVR").put(H + 46, le32(20));
  img.putByte(H - 33, 1);                  // 83 bytes before the end at H + 50
  img.put(H - 30, fixture::kEventMarker);  // after that byte
  img.truncate(H + 50);
  expectOneList(img, H, {{1, "ONE"}, {2, "TWO"}}, 1, slice(img, H - 30, H - 10));
}

// The marker search's window starts out holding bytes 17 to 31 of the read
// after the header (H + 27 to H + 41): a marker they begin and the first
// bytes after the song number end is found, and the list starts inside them.
TEST(EventLists, MarkerBegunByTheHeaderBytesIsFound) {
  for (int code : {2, 3}) {
    Image img(code);
    img.song(1, "ONE");
    const size_t H = img.grid(0), from = H - img.m().songBack + 1;
    img.put(H, "EVENTLSTVR").put(H + img.m().lengthAt, le32(48)).putByte(from - 1, 1);
    img.put(H + 29, "TAKE EVENT LI").put(from, "ST ");
    img.put(H + 300, fixture::kEventMarker);  // the first marker of the image itself
    img.padTo(8192);
    expectOneList(img, H, {{1, "ONE"}}, 1, slice(img, from + 3 - 16, from + 3 - 16 + 48));
  }
}

// A path that does not fit the 999-character name buffer is refused, and
// the run ends there.
TEST(EventLists, OutputPathTooLongForTheListFileIsRefused) {
  // 983 characters with the separator: the song folder, its record and
  // name file fit; "SONG3/EVENTLST.VR6" makes 1001.
  std::string out;
  for (int i = 0; i < 4; i++) out += std::string(200, static_cast<char>('a' + i)) + "/";
  out += std::string(982 - out.size(), 'e');
  Image img(1);
  img.song(3, "            ");
  const size_t H = img.grid(0);
  img.eventList(H, 3, fixture::audio(100, 1));
  img.padTo(8192);
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso", out});
  const std::string outSep = out + "/";
#ifdef _WIN32
  // Windows cannot make the song folder, far longer than a Windows path,
  // nor create its record: the run ends there, before the list.
  EXPECT_EQ(r.out, banner() + levelLines(box, outSep) + head("b.iso", img.size()) + img.m().message +
                       songFileRefused(outSep, 1, 3));
  EXPECT_FALSE(box.exists(outSep));
#else
  const std::string path = outSep + "SONG3/EVENTLST.VR6";
  EXPECT_EQ(r.out, banner() + levelLines(box, outSep) + head("b.iso", img.size()) + img.m().message +
                       songLines(outSep, 1, 3, " ") + scanThrough(img, H) +
                       "ERROR output file name longer than 999 characters: " + path.substr(0, 999) + "...\n");
  EXPECT_FALSE(box.exists(outSep + "SONG3/EVENTLST.VR6"));
#endif
  EXPECT_EQ(r.status, 0);
}
