// Takes: the header on the scan grid, the take and song numbers, the audio
// from the data start up to the model's signature, and the take file in the
// song's folder, appended to.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;
using fixture::End;
using fixture::Image;

namespace {

std::string takeFile(const Image& img, const std::string& out, int song, const std::string& number) {
  return out + "SONG" + std::to_string(song) + "/" + img.m().takePrefix + number + img.m().ext;
}

// The first grid position far enough after pos for a take header, whose
// song-number byte lies up to 25 bytes before it.
size_t nextHeader(const Image& img, size_t pos) { return img.gridAtOrAfter(pos + 25); }

Bytes slice(const Image& img, size_t from, size_t to) {
  return Bytes(img.bytes().begin() + static_cast<ptrdiff_t>(from), img.bytes().begin() + static_cast<ptrdiff_t>(to));
}

// The take stage's console text, in the order the scan meets the headers.
class TakeLines {
 public:
  explicit TakeLines(const Image& img) : code_(img.m().code), size_(img.size()) {}
  // A header at H whose take is written to file.
  TakeLines& written(uint64_t H, const std::string& file) {
    upTo(H);
    s_ += takeFound() + "Writing TAKE file " + file + "\n";
    return *this;
  }
  // A header at H after which the scan stops: no end mark follows.
  std::string stopped(uint64_t H) {
    upTo(H);
    return s_ + takeFound();
  }
  std::string all() const { return s_ + takeScan(code_, size_, next_, size_); }

 private:
  void upTo(uint64_t H) {
    s_ += takeScan(code_, size_, next_, H + 1);
    next_ = H + 1;
  }
  int code_;
  uint64_t size_;
  uint64_t next_ = 0;
  std::string s_;
};

struct Song {
  uint8_t number;
  std::string name;
};

// A carve into "out" of an image whose song list holds these songs.
struct Carve {
  Carve(Image& img, std::vector<Song> songs) : img(img), songs(std::move(songs)) {
    for (const Song& s : this->songs) img.song(s.number, s.name);
  }
  // Everything before the take stage; the songs' folders are new unless again.
  std::string before(bool again = false) const {
    std::string s = banner() + (again ? "Unable to create subdirectory named out/.. already exists?\n"
                                      : "Subdirectory created named out/\n") +
                    head("b.iso", img.size()) + img.m().message;
    for (const Song& song : songs) s += songLines("out/", img.m().code, int8_t(song.number), song.name, again);
    return s + eventScanAll(img.m().code, img.size());
  }
  // The song folders with their record and name files, and these takes.
  Tree tree(const Tree& takes) const {
    Tree t;
    for (size_t i = 0; i < songs.size(); i++) {
      std::string folder = "SONG" + std::to_string(int8_t(songs[i].number)) + "/";
      t[folder] = "";
      t[folder + "SONG" + img.m().ext] = str(img.record(i));
      t[folder + songs[i].name + ".txt"] = "This directory has files for a song named " + songs[i].name;
    }
    for (const auto& [file, data] : takes) t[file] = data;
    return t;
  }
  Result run(Sandbox& box) const {
    box.write("b.iso", img);
    return box.run({"b.iso", "out"});
  }
  Image& img;
  std::vector<Song> songs;
};

}  // namespace

// One model of each family; the 2480 family's header has tests of its own.
class Takes : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(OnePerFamily, Takes, ::testing::Values(1, 4, 3));

TEST_P(Takes, ImageNoLongerThanTheFirstScanPositionHasNoTakes) {
  const int code = GetParam();
  for (size_t extra : {0, 1}) {
    Image img(code);
    Carve c(img, {{1, "SHORT"}});
    img.padTo(img.m().scanStart + extra);
    Sandbox box;
    Result r = c.run(box);
    // One byte more brings in the first scan position, of both scans.
    EXPECT_EQ(r.out, c.before() + takeScanAll(code, img.size()) + tail()) << extra;
    EXPECT_EQ(takeScanAll(code, img.size()).empty(), extra == 0);
    EXPECT_EQ(box.tree("out"), c.tree({}));
  }
}

// Takes of two songs, one of them stored as song byte 0xFF, of lengths
// around the copy's 4096-byte chunks and beyond one 1 MiB block of the
// image; the scan walks on through each take's data.
TEST_P(Takes, EveryTakeGoesToItsSongFolder) {
  Image img(GetParam());
  Carve c(img, {{1, "FIRST"}, {255, "LAST"}});
  struct Take {
    uint8_t song;
    int number;
    size_t length;
  } takes[] = {{1, 1, 5000}, {255, 1, 8192}, {1, 2, 1}, {1, 3, (1u << 20) + 4096 * 3 + 17}, {255, 7, 4095}};
  Tree want;
  std::vector<std::pair<size_t, std::string>> headers;
  size_t H = img.grid(1);
  uint32_t seed = 1;
  for (const Take& t : takes) {
    Bytes data = fixture::audio(t.length, seed++);
    size_t end = img.take(H, t.song, img.takeNumber(t.number), data);
    std::string file = takeFile(img, "out/", int8_t(t.song), img.takeNumber(t.number));
    headers.push_back({H, file});
    want[file.substr(4)] = str(data);
    H = nextHeader(img, end);
  }
  img.padToSector();
  TakeLines lines(img);
  for (const auto& [at, file] : headers) lines.written(at, file);
  Sandbox box;
  Result r = c.run(box);
  EXPECT_EQ(r.out, c.before() + lines.all() + tail());
  EXPECT_EQ(box.tree("out"), c.tree(want));
  EXPECT_TRUE(box.exists("out/SONG-1/" + img.m().takePrefix + img.takeNumber(7) + img.m().ext));
}

// A take whose number and song come twice is one file: both copies, in the
// order the scan found them.
TEST_P(Takes, SameTakeTwiceIsAppended) {
  Image img(GetParam());
  Carve c(img, {{4, "TWICE"}});
  Bytes first = fixture::audio(7000, 1), second = fixture::audio(3000, 2);
  size_t H1 = img.grid(1);
  size_t H2 = nextHeader(img, img.take(H1, 4, img.takeNumber(9), first));
  img.take(H2, 4, img.takeNumber(9), second);
  img.padToSector();
  const std::string file = takeFile(img, "out/", 4, img.takeNumber(9));
  Sandbox box;
  Result r = c.run(box);
  EXPECT_EQ(r.out, c.before() + TakeLines(img).written(H1, file).written(H2, file).all() + tail());
  EXPECT_EQ(box.tree("out"), c.tree({{file.substr(4), str(first) + str(second)}}));
}

// Where the signature that ends a take can lie. The end search reads the
// data into a 48-byte ring that still holds the take header.
struct EndCase {
  const char* what;
  size_t dataLength;
  std::string headerTail;  // the last bytes of the 48-byte header
  std::string dataHead;    // the first bytes of the data
  bool imageEndsAtSignature;
  size_t takeLength;       // what the take file holds
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.what; }

class EndMark : public ::testing::TestWithParam<std::tuple<int, EndCase>> {};

TEST_P(EndMark, EndsTheTakeAtTheSignature) {
  const auto& [code, c] = GetParam();
  Image img(code);
  Carve carve(img, {{2, "ENDS"}});
  const std::string sig = img.m().signature;
  Bytes data = fixture::audio(c.dataLength, 5);
  std::copy(c.dataHead.begin(), c.dataHead.end(), data.begin());
  const size_t H = img.grid(1);
  size_t end = img.take(H, 2, img.takeNumber(1), data);
  // The header's last bytes in place of the builder's.
  if (!c.headerTail.empty()) img.put(H + 48 - c.headerTail.size(), c.headerTail);
  if (!c.imageEndsAtSignature) img.padToSector();
  ASSERT_EQ(img.size() == end, c.imageEndsAtSignature);
  const std::string file = takeFile(img, "out/", 2, img.takeNumber(1));
  const size_t start = H + img.m().dataOffset;
  Sandbox box;
  Result r = carve.run(box);
  EXPECT_EQ(r.out, carve.before() + TakeLines(img).written(H, file).all() + tail());
  EXPECT_EQ(box.tree("out"), carve.tree({{file.substr(4), str(slice(img, start, start + c.takeLength))}}));
}

// The header's last bytes and the data's first spell the model's signature.
std::vector<std::tuple<int, EndCase>> endCases() {
  std::vector<std::tuple<int, EndCase>> all;
  for (int code : {1, 4, 3}) {
    const std::string sig = fixture::model(code).signature;
    EndCase cases[] = {
        {"signature at the data start: empty take", 0, "", "", false, 0},
        // Ring positions 45, 46, 47, 0, 1, 2.
        {"signature across the ring's wrap", 45, "", "", false, 45},
        {"signature across the wrap, one turn on", 93, "", "", false, 93},
        {"signature as the last six bytes of the image", 20000, "", "", true, 20000},
        // Header bytes 43-47 spell the first five characters: the window after
        // the first data byte ends the take before its start: empty.
        {"header bytes 43 to 47 and the first data byte", 3000, sig.substr(0, 5), sig.substr(5), false, 0},
        {"header bytes 46 and 47 and four data bytes", 3000, sig.substr(0, 2), sig.substr(2), false, 0},
        // Only five header bytes in the ring take part: a sixth byte before
        // them does not count.
        {"header bytes alone", 3000, sig.substr(0, 6), "", false, 3000},
    };
    for (const EndCase& c : cases) all.push_back({code, c});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndMark, ::testing::ValuesIn(endCases()),
                         [](const ::testing::TestParamInfo<EndMark::ParamType>& i) {
                           std::string n = std::to_string(std::get<0>(i.param)) + "_" + std::get<1>(i.param).what;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// A scan position inside a take's data that passes the header test is taken
// for another take: its audio starts the usual distance after it and ends at
// the same signature.
TEST_P(Takes, HeaderInsideTakeDataStartsAnotherTake) {
  Image img(GetParam());
  Carve c(img, {{1, "OUTER"}, {3, "INNER"}});
  const size_t H = img.grid(1), inner = img.grid(12);
  const size_t start = H + img.m().dataOffset;
  Bytes data = fixture::audio(100000, 9);
  img.take(H, 1, img.takeNumber(1), data);
  // Inside the data of take 1: a header of take 5 of song 3.
  ASSERT_GT(inner - img.m().songBack, start);
  img.putByte(inner - img.m().songBack, 3).put(inner, img.takeHeader(img.takeNumber(5)));
  img.padToSector();
  const size_t stop = start + data.size();
  const std::string outer = takeFile(img, "out/", 1, img.takeNumber(1)), innerFile = takeFile(img, "out/", 3, img.takeNumber(5));
  Sandbox box;
  Result r = c.run(box);
  EXPECT_EQ(r.out, c.before() + TakeLines(img).written(H, outer).written(inner, innerFile).all() + tail());
  EXPECT_EQ(box.tree("out"), c.tree({{outer.substr(4), str(slice(img, start, stop))},
                                     {innerFile.substr(4), str(slice(img, inner + img.m().dataOffset, stop))}}));
}

// The end of the image before the take's data, or inside its header.
TEST_P(Takes, ImageEndingBeforeTheData) {
  Image img(GetParam());
  Carve c(img, {{1, "CUT"}});
  const size_t H1 = img.grid(1);
  Bytes data = fixture::audio(5000, 3);
  const size_t H2 = nextHeader(img, img.take(H1, 1, img.takeNumber(1), data));
  img.put(H2, img.takeHeader(img.takeNumber(2))).putByte(H2 - img.m().songBack, 1);
  const std::string file = takeFile(img, "out/", 1, img.takeNumber(1));
  {
    // The data would start beyond the end: the scan stops there, take 2
    // unwritten and the two grid positions after it untested.
    Image whole = img;
    whole.padTo(H2 + 3 * 4096);
    Carve wc(whole, {});
    wc.songs = c.songs;
    Sandbox box;
    Result r = wc.run(box);
    EXPECT_EQ(r.out, wc.before() + TakeLines(whole).written(H1, file).stopped(H2) + tail());
    EXPECT_EQ(box.tree("out"), wc.tree({{file.substr(4), str(data)}}));
  }
  {
    // A header that the end of the image cuts short is no header.
    Image cut = img;
    cut.truncate(H2 + 47);
    Carve cc(cut, {});
    cc.songs = c.songs;
    Sandbox box;
    Result r = cc.run(box);
    EXPECT_EQ(r.out, cc.before() + TakeLines(cut).written(H1, file).all() + tail());
    EXPECT_EQ(box.tree("out"), cc.tree({{file.substr(4), str(data)}}));
  }
}

// A take whose song has no folder (the song list does not hold it) ends the
// run; the takes written before it are complete.
TEST_P(Takes, TakeOfASongWithoutFolderEndsTheRun) {
  Image img(GetParam());
  Carve c(img, {{1, "LISTED"}});
  Bytes data = fixture::audio(4000, 1);
  const size_t H1 = img.grid(1);
  const size_t H2 = nextHeader(img, img.take(H1, 1, img.takeNumber(1), data));
  const size_t H3 = nextHeader(img, img.take(H2, 9, img.takeNumber(1), fixture::audio(100, 2)));
  img.take(H3, 1, img.takeNumber(2), fixture::audio(100, 3));
  img.padToSector();
  const std::string file = takeFile(img, "out/", 1, img.takeNumber(1));
  Sandbox box;
  Result r = c.run(box);
  EXPECT_EQ(r.out, c.before() + TakeLines(img).written(H1, file).stopped(H2) +
                       "ERROR creating TAKE output file named " + takeFile(img, "out/", 9, img.takeNumber(1)) + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.tree("out"), c.tree({{file.substr(4), str(data)}}));
}

// The 2480 family tests header bytes 0, 1, 8 and 10 only: "TK", six take
// number characters, "V", any byte, and "1" (VS-2480, VS-2400) or "2" (VS-2000).
TEST(TakeHeader2480, OnlyTheMaskedPositionsCount) {
  struct Case {
    int code;
    std::string header;  // the first 11 bytes
    bool isTake;
    std::string fileNumber;  // the take number as the file name holds it
  };
  // Windows refuses a control byte in a file name: there it becomes "_".
#ifdef _WIN32
  const std::string control = "_";
#else
  const std::string control = "\x01";
#endif
  const Case cases[] = {
      {3, "TK000042VR1", true, "000042"},
      {3, std::string("TK\x01zz!~9V\xff" "1", 11), true, control + "zz!~9"},
      {6, "TKabcdefVQ1", true, "abcdef"},
      {6, std::string("TK12\0" "456V 1", 11), true, "12"},  // a zero byte ends the number
      {8, "TK000042VS2", true, "000042"},
      {8, "TKxxxxxxV#2", true, "xxxxxx"},
      {8, "TK000042VR1", false, ""},   // the VS-2480's header on a VS-2000
      {3, "TK000042VS2", false, ""},
      {6, "TK000042WR1", false, ""},
      {3, "Tk000042VR1", false, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.header);
    Image img(k.code);
    Carve c(img, {{1, "MASK"}});
    const size_t H = img.grid(1);
    Bytes data = fixture::audio(2000, 4);
    img.take(H, 1, "000001", data);
    img.put(H, k.header);
    img.padToSector();
    const std::string file = "out/SONG1/TK" + k.fileNumber + ".VR1";
    Sandbox box;
    Result r = c.run(box);
    if (k.isTake) {
      EXPECT_EQ(r.out, c.before() + TakeLines(img).written(H, file).all() + tail());
      EXPECT_EQ(box.tree("out"), c.tree({{file.substr(4), str(data)}}));
    } else {
      EXPECT_EQ(r.out, c.before() + TakeLines(img).all() + tail());
      EXPECT_EQ(box.tree("out"), c.tree({}));
    }
  }
}

// A take file name longer than 999 characters is refused before anything is
// written for it, and ends the run.
TEST(TakeFileName, TooLongForTheNameBufferEndsTheRun) {
  Image img(1);
  // 984 characters: the song's own files still fit, the take's name does not.
  std::string out;
  for (int i = 0; i < 4; i++) out += std::string(199, 'a' + i) + "/";
  out += std::string(183, 'e') + "/";
  ASSERT_EQ(out.size(), 984u);
  img.song(1, "A");
  img.take(img.grid(1), 1, "0001", fixture::audio(100, 1));
  img.padToSector();
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso", out});
#ifdef _WIN32
  // Windows cannot make the song folder, far longer than a Windows path,
  // nor create its record: the run ends there, before the take.
  EXPECT_EQ(r.out, banner() + levelLines(box, out) + head("b.iso", img.size()) + img.m().message +
                       songFileRefused(out, 1, 1));
  EXPECT_FALSE(box.exists(out));
#else
  const std::string name = out + "SONG1/TAKE0001.VR6";
  EXPECT_EQ(r.out, banner() + levelLines(box, out) + head("b.iso", img.size()) + img.m().message +
                       songLines(out, 1, 1, "A") + eventScanAll(1, img.size()) + TakeLines(img).stopped(img.grid(1)) +
                       "ERROR output file name longer than 999 characters: " + name.substr(0, 999) + "...\n");
  EXPECT_FALSE(box.exists(out + "SONG1/TAKE0001.VR6"));
#endif
}
