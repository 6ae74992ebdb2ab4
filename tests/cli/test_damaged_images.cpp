// Damaged images and a full disk: every failure is reported and ends the
// run, and images at the limits of the recorder's layout are carved safely.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;
using fixture::Image;

namespace {

// A song with its event list and two takes, and where each piece lies.
struct Backup {
  Image img;
  size_t listAt, take1At, take2At;
  Bytes list, take1, take2;
};

Backup backup(int code) {
  Backup b{Image(code), 0, 0, 0, {}, {}, {}};
  Image& img = b.img;
  img.song(1, "SONG");
  size_t end = 0;
  b.listAt = img.grid(0);
  b.list = img.eventList(b.listAt, 1, fixture::audio(1000, 1), {}, &end);
  b.take1At = img.gridAtOrAfter(end);
  b.take1 = fixture::audio(20000, 2);
  end = img.take(b.take1At, 1, "0001", b.take1);
  b.take2At = img.gridAtOrAfter(end);
  b.take2 = fixture::audio(9000, 3);
  img.take(b.take2At, 1, "0002", b.take2);
  img.padToSector();
  return b;
}

// Console output of the run into "out" up to the take header at H.
std::string upToTake(const Backup& b, size_t H) {
  const int code = b.img.m().code;
  const size_t size = b.img.size();
  return banner() + "Subdirectory created named out/\n" + head("b.iso", size) + b.img.m().message +
         songLines("out/", code, 1, "SONG") + eventScan(code, size, 0, b.listAt + 1) +
         "\nWriting EVENTLST file out/SONG1/EVENTLST" + b.img.m().ext + "\n" +
         eventScan(code, size, b.listAt + 1, size) + "\nEventlist processing finished\n" +
         takeScan(code, size, 0, H + 1) + takeFound();
}

// A path of exactly n characters whose levels the output-path loop creates
// one by one: no separator before position 3, no level longer than 200.
std::string pathOfLength(size_t n) {
  std::string p(n, 'x');
  for (size_t j = 150; j + 1 < n; j += 200) p[j] = '/';
  return p;
}

}  // namespace

// A full disk, played by a file-size limit: the file whose write fails is
// named, the run ends there, and no success message follows.
struct FullDisk {
  const char* what;
  int code;
  long limit;
  std::string file;  // the file that cannot be written whole
};

void PrintTo(const FullDisk& c, std::ostream* os) { *os << c.what; }

class WriteFailure : public ::testing::TestWithParam<FullDisk> {};

TEST_P(WriteFailure, NamesTheFileAndEndsTheRun) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit to make a disk look full";
#endif
  const FullDisk& c = GetParam();
  Backup b = backup(c.code);
  const std::string ext = b.img.m().ext;
  Sandbox box;
  box.write("b.iso", b.img);
  RunOptions o;
  o.fileSizeLimit = c.limit;
  Result r = box.run({"b.iso", "out"}, o);

  std::string failed = "ERROR writing output file named " + c.file + " - the disk may be full\n";
  std::string before;
  Bytes whole;
  if (c.file == "out/SONG1/SONG" + ext) {
    before = banner() + "Subdirectory created named out/\n" + head("b.iso", b.img.size()) + b.img.m().message +
             "Subdirectory created named out/SONG1\nWriting SONG.VRx file out/SONG1/SONG" + ext + "\n";
    whole = b.img.record(0);
  } else if (c.file == "out//SONG1/SONG.txt") {
    before = banner() + "Subdirectory created named out/\n" + head("b.iso", b.img.size()) + b.img.m().message +
             songLines("out/", c.code, 1, "SONG");
    whole = fixture::bytesOf("This directory has files for a song named SONG");
  } else if (c.file == "out/SONG1/EVENTLST" + ext) {
    std::string all = upToTake(b, b.take1At);
    before = all.substr(0, all.find("\nWriting EVENTLST")) + "\nWriting EVENTLST file " + c.file + "\n";
    whole = b.list;
  } else {
    before = upToTake(b, b.take1At) + "Writing TAKE file " + c.file + "\n";
    whole = b.take1;
  }
  EXPECT_EQ(r.out, before + failed);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.signal, 0);
  // What reached the disk is a true prefix, never more than the limit.
  std::string got = box.read(c.file == "out//SONG1/SONG.txt" ? "out/SONG1/SONG.txt" : c.file);
  EXPECT_LE(got.size(), static_cast<size_t>(c.limit));
  EXPECT_LT(got.size(), whole.size());
  EXPECT_EQ(got, str(whole).substr(0, got.size()));
  EXPECT_FALSE(box.exists("out/SONG1/TAKE0002" + ext));
}

INSTANTIATE_TEST_SUITE_P(
    Table, WriteFailure,
    ::testing::Values(FullDisk{"song file", 1, 10, "out/SONG1/SONG.VR6"},
                      FullDisk{"name file", 4, 30, "out//SONG1/SONG.txt"},
                      FullDisk{"event list", 2, 600, "out/SONG1/EVENTLST.VR5"},
                      FullDisk{"take", 1, 5000, "out/SONG1/TAKE0001.VR6"},
                      FullDisk{"take of the 880 family", 5, 12288, "out/SONG1/TAKE0001.VR7"}),
    [](const ::testing::TestParamInfo<FullDisk>& i) {
      std::string n = i.param.what;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

#ifdef DISCSIFT_READ_FAULT_LIB
// The image as a drive with one unreadable sector: the preloaded shim fails
// every read of the named image from byte `at` on with EIO.
static std::string hex9(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%09llx", static_cast<unsigned long long>(v));
  return buf;
}

static std::vector<std::pair<std::string, std::string>> readFault(const std::string& image, size_t at) {
  return {{"LD_PRELOAD", DISCSIFT_READ_FAULT_LIB},
          {"DISCSIFT_READ_FAULT_FILE", image},
          {"DISCSIFT_READ_FAULT_AT", std::to_string(at)}};
}

// An unreadable sector, as on an old CD-R: the run names the byte where
// reading failed and ends there, instead of carving stale bytes. The
// event-list scan reads every grid position, so it is the first to meet a
// sector inside the takes: the run ends before any take is carved.
TEST(ReadError, NamesTheOffsetAndEndsTheRun) {
  Image img(1);
  img.song(1, "SONG");
  const size_t take1At = img.grid(1);
  // A long first take keeps the bad sector past the reads that recognise
  // the image.
  size_t end = img.take(take1At, 1, "0001", fixture::audio(1100000, 2));
  const size_t take2At = img.gridAtOrAfter(end);
  img.take(take2At, 1, "0002", fixture::audio(9000, 3));
  img.padToSector();
  const size_t size = img.size();
  const size_t bad = img.gridAtOrAfter(take2At + 23500 + 2048);  // inside the second take
  ASSERT_LT(bad + 4096, size);
  Sandbox box;
  box.write("b.iso", img);
  RunOptions o;
  o.env = readFault("b.iso", bad);
  Result r = box.run({"b.iso", "out"}, o);
  // The image is read ahead of the scan, so the scan may stop at any grid
  // position up to the bad sector's.
  const std::string before = banner() + "Subdirectory created named out/\n" + head("b.iso", size) +
                             img.m().message + songLines("out/", 1, 1, "SONG");
  const std::string error = "\nERROR reading the image at byte " + std::to_string(bad) + " (0x" + hex9(bad) +
                            "): the image cannot be read there\n";
  ASSERT_EQ(r.out.substr(0, before.size()), before);
  ASSERT_GE(r.out.size(), before.size() + error.size());
  EXPECT_EQ(r.out.substr(r.out.size() - error.size()), error);
  const std::string scanned = r.out.substr(before.size(), r.out.size() - before.size() - error.size());
  const std::string allLines = eventScan(1, size, 0, bad + 1);
  EXPECT_EQ(allLines.substr(0, scanned.size()), scanned);
  EXPECT_TRUE(scanned.empty() || scanned.back() == '\r');
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.tree("out"), (Tree{{"SONG1/", ""},
                                   {"SONG1/SONG.VR6", str(img.record(0))},
                                   {"SONG1/SONG.txt", "This directory has files for a song named SONG"}}));
}

TEST(ReadError, BeforeTheModelIsKnown) {
  struct Case {
    size_t zeros;  // zero bytes before the signature
    size_t bad;
  };
  // In the song list; and right after the first three signature bytes,
  // where the recognition read would otherwise see a short text.
  for (Case c : {Case{0, 50}, Case{65533, 65536}}) {
    Image img(1, c.zeros);
    if (c.zeros == 0) img.song(1, "SONG");
    img.padTo(c.zeros + 8192);
    Sandbox box;
    box.write("b.iso", img);
    RunOptions o;
    o.env = readFault("b.iso", c.bad);
    Result r = box.run({"b.iso"}, o);
    EXPECT_EQ(r.out, banner() + head("b.iso", img.size()) + "\nERROR reading the image at byte " +
                         std::to_string(c.bad) + " (0x" + hex9(c.bad) + "): the image cannot be read there\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.tree("", {"b.iso"}), Tree{});
  }
}

#endif  // DISCSIFT_READ_FAULT_LIB

// Positions are 32-bit, so an image of 4 GiB or more is
// refused before anything is read from it.
TEST(Limits, ImagesOf4GiBOrMoreAreRefused) {
  for (uint64_t size : {uint64_t{1} << 32, (uint64_t{1} << 32) + 2048}) {
    Sandbox box;
    box.write("big.iso", fixture::bytesOf("VS1680"));
    std::filesystem::resize_file(box.path("big.iso"), size);  // sparse: no disk space taken
    Result r = box.run({"big.iso", "out"});
    EXPECT_EQ(r.out, banner() + "Subdirectory created named out/\nInput file big.iso is " + std::to_string(size) +
                         " bytes: images of 4 GiB or more are not supported\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.tree("out"), Tree{});
  }
}

// Under one sector: the grid positions inside the image are still scanned,
// and a take header there whose audio would lie past the end ends the scan.
TEST(Limits, ImageOf2047Bytes) {
  for (int code : {1, 4, 3}) {
    Image img(code);
    img.song(1, "TINY");
    const bool gridInside = img.grid(0) + 48 <= 2047;
    if (gridInside) img.put(img.grid(0), img.takeHeader(std::string(img.m().takeNumLen, '1')));
    img.padTo(2047);
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso"});
    EXPECT_EQ(r.out, banner() + head("b.iso", 2047) + img.m().message + songLines("", code, 1, "TINY") +
                         eventScanAll(code, 2047) + takeScanAll(code, 2047) +
                         (gridInside ? takeFound() : "") + tail())
        << "model " << code;
    EXPECT_EQ(box.tree("", {"b.iso"}).size(), 3u) << "model " << code;
  }
}

TEST(Limits, SongListRunningToTheEndOfTheImage) {
  Image img(1);
  img.song(1, "ONE").song(2, "TWO").song(3, "THREE");
  ASSERT_EQ(img.size(), 42u + 3 * 38);  // no closing record
  Sandbox box;
  box.write("b.iso", img);
  Result r = box.run({"b.iso"});
  EXPECT_EQ(r.out, banner() + head("b.iso", img.size()) + img.m().message + songLines("", 1, 1, "ONE") +
                       songLines("", 1, 2, "TWO") + songLines("", 1, 3, "THREE") +
                       "\nEventlist processing finished\n" + tail());
  EXPECT_TRUE(box.exists("SONG3/THREE.txt"));
}

// A length field far beyond the image: up to the cap the list is copied to
// the end of the image and the shortfall reported; beyond it the overflow.
TEST(Limits, EventListLengthFarPastTheEnd) {
  for (uint32_t length : {1000000u, 0xFFFFFFF0u}) {
    Image img(3);
    img.song(1, "LONG");
    fixture::EventListOpts o;
    o.length = length;
    Bytes data = img.eventList(img.grid(0), 1, fixture::audio(500, 4), o);
    img.padToSector();
    const size_t size = img.size();
    const size_t held = size - (img.grid(0) + 64);
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso"});
    std::string lists = length <= 1000000
        ? "\nWriting EVENTLST file SONG1/EVENTLST.VR1\nWARNING: the image ends inside this event list: "
          "SONG1/EVENTLST.VR1 holds " + std::to_string(held) + " of its 1000000 bytes\n" +
          "\nEventlist processing finished\n"
        : std::string("DANGER WILL MARQUOD!!! EVENT LIST OVERFLOWFFFFFFF0\n");
    EXPECT_EQ(r.out, banner() + head("b.iso", size) + img.m().message + songLines("", 3, 1, "LONG") +
                         eventScan(3, size, 0, size) + lists + takeScanAll(3, size) + tail());
    if (length <= 1000000) {
      std::string got = box.read("SONG1/EVENTLST.VR1");
      EXPECT_EQ(got.size(), held);
      EXPECT_EQ(got.substr(0, data.size()), str(data));
    } else {
      EXPECT_FALSE(box.exists("SONG1/EVENTLST.VR1"));
    }
  }
}

// A take number is four or six bytes as the header holds them: a zero byte
// ends it, and a separator (or another character no file name may hold)
// becomes "_", so every take lands in its song folder under a name that
// can be opened.
TEST(Limits, TakeNumbersWithZeroBytesAndSeparators) {
  struct Case {
    int code;
    std::string number;
    std::string file;
  };
  const std::vector<Case> cases = {
      {1, "1/23", "TAKE1_23.VR6"},
      {1, std::string("12\0" "4", 4), "TAKE12.VR6"},
      {1, std::string("\0" "123", 4), "TAKE.VR6"},
      {1, "..\\.", "TAKE.._..VR6"},
      {1, "a:b?", "TAKEa_b_.VR6"},
      {3, "/../..", "TK_.._...VR1"},
      {3, "<*|\">7", "TK_____7.VR1"},
  };
  for (int code : {1, 3}) {
    Image img(code);
    img.song(1, "ODD");
    Tree want = {{"SONG1/", ""},
                 {"SONG1/SONG" + img.m().ext, ""},
                 {"SONG1/ODD.txt", "This directory has files for a song named ODD"}};
    size_t end = img.grid(1);
    uint32_t seed = 10;
    for (const Case& c : cases) {
      if (c.code != code) continue;
      Bytes data = fixture::audio(300, seed++);
      end = img.take(img.gridAtOrAfter(end), 1, c.number, data);
      want["SONG1/" + c.file] = str(data);
    }
    img.padToSector();
    want["SONG1/SONG" + img.m().ext] = str(img.record(0));
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso"});
    EXPECT_EQ(r.out.substr(r.out.size() - tail().size()), tail()) << "model " << code;
    for (const Case& c : cases) {
      if (c.code != code) continue;
      EXPECT_NE(r.out.find("Writing TAKE file SONG1/" + c.file + "\n"), std::string::npos) << c.file;
    }
    EXPECT_EQ(box.tree("", {"b.iso"}), want) << "model " << code;
  }
}

// The output path holds at most 999 characters, and so does every path
// composed from it. 1000 characters are refused by the command line itself.
TEST(Limits, OutputPathOf999Characters) {
  Backup b = backup(1);
  const std::string arg = pathOfLength(998);
  const std::string prepared = arg + "/";
  ASSERT_EQ(prepared.size(), 999u);
  Sandbox box;
  box.write("b.iso", b.img);
  Result r = box.run({"b.iso", arg});
  // The song folder would need 1004 characters.
  EXPECT_EQ(r.out, banner() + levelLines(box, prepared) + head("b.iso", b.img.size()) + b.img.m().message +
                       "ERROR output file name longer than 999 characters: " + prepared + "...\n");
  EXPECT_EQ(r.status, 0);
#ifdef _WIN32
  // Only the first levels fit in a Windows path.
  EXPECT_TRUE(box.exists(arg.substr(0, 151)));
  EXPECT_FALSE(box.exists(prepared));
#else
  EXPECT_EQ(box.tree(prepared), Tree{});
#endif
}

TEST(Limits, LongestComposedPathAtTheLimit) {
  // The name file is the longest path: out + "/SONG1/" + 12 + ".txt".
  for (size_t outLen : {size_t{976}, size_t{977}}) {
    Image img(1);
    img.song(1, "ABCDEFGHIJKL");
    size_t end = 0;
    Bytes list = img.eventList(img.grid(0), 1, fixture::audio(100, 5), {}, &end);
    Bytes take = fixture::audio(700, 6);
    img.take(img.gridAtOrAfter(end), 1, "0001", take);
    img.padToSector();
    const std::string arg = pathOfLength(outLen - 1), out = arg + "/";
    const std::string nameFile = out + "/SONG1/ABCDEFGHIJKL.txt";
    Sandbox box;
    box.write("b.iso", img);
    Result r = box.run({"b.iso", arg});
#ifdef _WIN32
    // Windows cannot make the song folder, far longer than a Windows path,
    // nor create its record: the run ends there, before any limit matters.
    EXPECT_EQ(r.out, banner() + levelLines(box, out) + head("b.iso", img.size()) + img.m().message +
                         songFileRefused(out, 1, 1));
    EXPECT_FALSE(box.exists(out));
#else
    if (nameFile.size() <= 999) {
      EXPECT_EQ(r.out.substr(r.out.size() - tail().size()), tail());
      EXPECT_EQ(box.tree(out), (Tree{{"SONG1/", ""},
                                     {"SONG1/SONG.VR6", str(img.record(0))},
                                     {"SONG1/ABCDEFGHIJKL.txt", "This directory has files for a song named ABCDEFGHIJKL"},
                                     {"SONG1/EVENTLST.VR6", str(list)},
                                     {"SONG1/TAKE0001.VR6", str(take)}}));
    } else {
      ASSERT_EQ(nameFile.size(), 1000u);
      EXPECT_EQ(r.out, banner() + levelLines(box, out) + head("b.iso", img.size()) + img.m().message +
                           "Subdirectory created named " + out + "SONG1\nWriting SONG.VRx file " + out +
                           "SONG1/SONG.VR6\nERROR output file name longer than 999 characters: " +
                           nameFile.substr(0, 999) + "...\n");
      EXPECT_EQ(box.tree(out), (Tree{{"SONG1/", ""}, {"SONG1/SONG.VR6", str(img.record(0))}}));
    }
#endif
    EXPECT_EQ(r.status, 0);
  }
}
