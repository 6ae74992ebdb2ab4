// The event-list extractor looks for the start of a list's data in large
// reads of the image. These tests hold it against the same rule taken one
// byte at a time: each byte goes into a 32-byte ring that starts out holding
// the 50 bytes read after the header, and EvalStringMatch tests the ring
// after every byte (1680 and 2480 families); or 16-byte blocks are read
// until one holds a non-zero byte, the end of the image being noticed
// before a found block counts (880 family).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Fixture.h"
#include "ImageIO.h"
#include "include.h"

namespace {

namespace fs = std::filesystem;
using fixture::Bytes;

const char kMarker[] = "TAKE EVENT LIST ";
const char kMarkerMask[] = "1111111111111111";

// The searches look at the first 4096 bytes after their start, then go on
// in blocks of ImageBlock bytes: where one read ends and the next begins
// (ImageBlock itself as well, so that either way of reading is covered).
const size_t kEdges[] = {4096, ImageBlock, 4096 + ImageBlock};

struct Outcome {
  std::string out;                     // what the extractor prints
  std::map<std::string, Bytes> files;  // list files written, by path below the output folder
  bool operator==(const Outcome& o) const { return out == o.out && files == o.files; }
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// The image as a stream of the C library: a read that comes back short
// sets the end-of-file flag, a seek clears it.
struct Stream {
  const Bytes& img;
  uint64_t pos = 0;
  bool eof = false;
  size_t read(uint8_t* dst, size_t n) {
    size_t avail = pos < img.size() ? img.size() - pos : 0;
    size_t got = std::min(n, avail);
    if (got) memcpy(dst, img.data() + pos, got);
    pos += got;
    if (got < n) eof = true;
    return got;
  }
  void seek(uint64_t p) {
    pos = p;
    eof = false;
  }
};

// The extractor's rule, one byte (or one 16-byte block) at a time.
Outcome byteAtATime(const Bytes& img, int code) {
  const fixture::Model& m = fixture::model(code);
  const bool is2480 = m.family == '2';
  Outcome o;
  unsigned char Buffer[100] = {0};
  Stream s{img};
  const uint64_t size = img.size();
  for (uint64_t MainStep = m.scanStart; MainStep < size; MainStep += 4096) {
    o.out += format("Searching at %08x File End at %08x\r", unsigned(MainStep), unsigned(size));
    s.seek(MainStep);
    if (s.read(Buffer, 10) < 10) continue;
    if (memcmp(Buffer, "EVENTLSTVR", 10) && memcmp(Buffer, "EVENTLSTVS", 10) && memcmp(Buffer, "EVENTLS0VR", 10))
      continue;
    size_t got = s.read(Buffer, 50);
    memset(Buffer + got, 0, 50 - got);
    const uint32_t FileLen = Char4_L(Buffer, is2480 ? 44 : 36);
    s.seek(s.pos - (is2480 ? 85 : 83));
    uint8_t SongNum = 0;
    s.read(&SongNum, 1);

    uint64_t DataStart = 0;
    if (m.family == '8') {
      s.seek((s.pos + 256) & ~uint64_t{255});
      for (;;) {
        if (s.eof) return o;
        if (DataStart) break;
        size_t n = s.read(Buffer, 16);
        if (std::any_of(Buffer, Buffer + n, [](uint8_t b) { return b != 0; })) DataStart = s.pos - 16;
      }
    } else {
      unsigned BufIdx = 0;
      for (;;) {
        if (s.eof) return o;
        if (DataStart) break;
        if (s.pos >= size) {  // the end: nothing stored, nothing found
          s.eof = true;
          continue;
        }
        Buffer[BufIdx] = img[s.pos++];
        if (++BufIdx == 32) BufIdx = 0;
        if (EvalStringMatch(Buffer, 32, BufIdx, kMarker, 16, kMarkerMask)) DataStart = s.pos - 16;
      }
    }
    if (FileLen > 1000000) {
      o.out += format("DANGER WILL MARQUOD!!! EVENT LIST OVERFLOW%08lX\n", (unsigned long)FileLen);
      return o;
    }
    const std::string path = "SONG" + std::to_string(int(int8_t(SongNum))) + "/" + m.eventListName + m.ext;
    o.out += "\nWriting EVENTLST file out/" + path + "\n";
    const uint64_t end = std::min<uint64_t>(DataStart + FileLen, size);
    o.files[path] =
        Bytes(img.begin() + static_cast<std::ptrdiff_t>(DataStart), img.begin() + static_cast<std::ptrdiff_t>(end));
    if (end - DataStart < FileLen)
      o.out += format("WARNING: the image ends inside this event list: out/%s holds %llu of its %u bytes\n",
                      path.c_str(), (unsigned long long)(end - DataStart), FileLen);
  }
  o.out += "\nEventlist processing finished\n";
  return o;
}

// Set while GetEventLists runs here: it ends the process when it cannot
// create a file, and that must not pass for a finished test.
bool gInsideExtractor = false;
void failIfEndedInside() {
  if (gInsideExtractor) {
    fprintf(stderr, "GetEventLists ended the process\n");
    _exit(1);
  }
}

// Runs GetEventLists itself on the image, in a scratch folder that holds
// the song folders named, and collects what it printed and wrote.
class Scratch {
 public:
  Scratch() {
    std::random_device rd;
    for (;;) {
      fs::path t = fs::temp_directory_path() / ("discsift-unit-" + std::to_string(rd()));
      if (fs::create_directory(t)) {
        dir_ = t.string();
        break;
      }
    }
    static bool registered = false;
    if (!registered) registered = std::atexit(failIfEndedInside) == 0;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // window: read the image as a whole carve does, through the image window,
  // here with 4096-byte read steps so that small images cross its edges.
  Outcome carve(const Bytes& img, int code, const std::vector<std::string>& folders, bool window) {
    fs::remove_all(dir_ + "/out");
    for (const std::string& f : folders) fs::create_directories(dir_ + "/out/" + f);
    fixture::writeFile(dir_ + "/image", img);

    // The extractor names files below the output prefix it is given; run
    // it from the scratch folder so that they read "out/SONG..".
    const fs::path back = fs::current_path();
    fs::current_path(dir_);
    FILE* fin = fopen("image", "rb");
    if (fin == nullptr) throw std::runtime_error("cannot open the image");
    fsize(fin);
    if (window) {
      SetImageBlocks(4096, 3 * 4096);
      OpenImageWindow(fin);
    }
    char prefix[] = "out/";
    fflush(stdout);
    int saved = dup(1);
    // Binary on Windows: the file gets the bytes the extractor printed, with
    // no "\r" put before each "\n".
    int fd = open("printed", O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
    dup2(fd, 1);
    close(fd);
    gInsideExtractor = true;
    GetEventLists(fin, prefix, static_cast<unsigned>(code));
    gInsideExtractor = false;
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    if (window) {
      CloseImageWindow();
      SetImageBlocks(ImageBlock, ~0u);
    }
    fclose(fin);
    fs::current_path(back);

    Outcome o;
    const Bytes printed = fixture::readFile(dir_ + "/printed");
    o.out.assign(printed.begin(), printed.end());
    for (auto& e : fs::recursive_directory_iterator(dir_ + "/out"))
      if (e.is_regular_file())
        o.files[fs::relative(e.path(), dir_ + "/out").generic_string()] = fixture::readFile(e.path().string());
    return o;
  }

 private:
  std::string dir_;
};

uint32_t next(uint32_t& s) {
  s ^= s << 13;
  s ^= s >> 17;
  s ^= s << 5;
  return s;
}

// One list: header at H, song 1; the caller places the data start.
fixture::Image withHeader(int code, size_t H, uint32_t length, const std::string& text = "EVENTLSTVR") {
  fixture::Image img(code);
  img.song(1, "ONE");
  const fixture::Model& m = img.m();
  img.put(H, text).putByte(H - m.songBack, 1);
  img.put(H + m.lengthAt, Bytes{uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)});
  return img;
}

// Where the marker search begins: the byte after the song number.
size_t searchFrom(const fixture::Image& img, size_t H) { return H - img.m().songBack + 1; }

void expectSame(Scratch& box, const fixture::Image& img, const std::string& what) {
  const Outcome want = byteAtATime(img.bytes(), img.m().code);
  // The folders of songs 1 to 3, and of any other song the rule writes to.
  std::vector<std::string> folders = {"SONG1", "SONG2", "SONG3"};
  for (const auto& f : want.files) folders.push_back(f.first.substr(0, f.first.find('/')));
  for (bool window : {false, true}) {
    const Outcome got = box.carve(img.bytes(), img.m().code, folders, window);
    EXPECT_EQ(got.out, want.out) << what << (window ? " (image window)" : "");
    EXPECT_TRUE(got.files == want.files) << what << (window ? " (image window)" : "");
  }
}

}  // namespace

// Markers laid across each place where one read of the search ends and the
// next begins (each of the 15 ways to straddle it, and just before and
// after), ending the image or not, with near misses just before; markers
// cut short by the end; images that end exactly where a read ends.
TEST(EventDataStart, MarkerSearchAgreesAcrossReadBoundariesAndTheEnd) {
  Scratch box;
  for (int code : {1, 3}) {
    const size_t H = fixture::model(code).scanStart + 4096;
    for (size_t edge : kEdges) {
      if (code == 3 && edge > 4096) continue;  // the large images once
      for (size_t d = edge - 16; d <= edge; d++) {
        for (int tail : {0, 100}) {                              // bytes after the marker before the image ends
          if (tail == 0 && edge > 4096 && d % 4 != 0) continue;  // a sample will do for the large images
          fixture::Image img = withHeader(code, H, 40);
          const size_t from = searchFrom(img, H);
          img.put(from + d - 40, "TAKE EVENT LIS-TAKE EVEN_");  // near misses first
          img.put(from + d, kMarker);
          img.padTo(from + d + 16 + tail);
          expectSame(box, img,
                     "model " + std::to_string(code) + ", marker at search start + " + std::to_string(d) + ", " +
                         std::to_string(tail) + " bytes after it");
        }
      }
      for (size_t cut : {size_t{1}, size_t{8}, size_t{15}}) {
        for (size_t d : {edge - 8, edge}) {
          fixture::Image img = withHeader(code, H, 40);
          img.put(searchFrom(img, H) + d, std::string(kMarker, 16 - cut));
          expectSame(box, img,
                     "model " + std::to_string(code) + ", marker at " + std::to_string(d) + " cut by " +
                         std::to_string(cut));
        }
      }
      for (bool marker : {false, true}) {
        fixture::Image img = withHeader(code, H, 40);
        const size_t from = searchFrom(img, H);
        if (marker) img.put(from + edge - 16, kMarker);
        img.padTo(from + edge);
        expectSame(box, img,
                   "image ending " + std::to_string(edge) + " bytes after the search start" +
                       (marker ? " with a marker" : ""));
      }
    }
  }
}

// The ring starts out holding bytes 17 to 31 of the 50-byte read (H + 27 to
// H + 41): markers begun there and ended by the first 1 to 15 bytes of the
// search, windows that almost match, and images that end inside the 50
// bytes so that the search starts where the step back lands.
TEST(EventDataStart, MarkerSearchAgreesWhereTheRingStillHoldsTheHeaderBytes) {
  Scratch box;
  for (int code : {2, 6}) {
    const size_t H = fixture::model(code).scanStart;
    for (size_t k = 1; k <= 16; k++) {
      for (bool spoil : {false, true}) {
        fixture::Image img = withHeader(code, H, 64);
        const size_t from = searchFrom(img, H);
        std::string head(kMarker, 16 - k), rest(kMarker + 16 - k, k);
        if (spoil) rest[k - 1] = '#';
        img.put(H + 42 - head.size(), head).put(from, rest);
        img.put(H + 700, kMarker);
        img.padTo(H + 2000);
        expectSame(box, img,
                   "model " + std::to_string(code) + ", " + std::to_string(k) + " marker bytes after the song" +
                       (spoil ? ", spoilt" : ""));
      }
    }
    for (size_t got : {size_t{0}, size_t{7}, size_t{30}, size_t{40}, size_t{49}}) {
      for (size_t at : {size_t{70}, size_t{40}, size_t{20}}) {
        fixture::Image img = withHeader(code, H, 24);
        img.put(H + 10 + got - at, kMarker);
        img.truncate(H + 10 + got);
        expectSame(box, img,
                   "image ending " + std::to_string(got) + " bytes into the read after the header, marker " +
                       std::to_string(at) + " bytes before its end");
      }
    }
    // The same after a whole list: what the short read does not fill takes
    // nothing from the earlier header's bytes (its length at H + 46 or 54).
    for (size_t got : {size_t{20}, size_t{38}}) {
      fixture::Image img = withHeader(code, H, 0x000F0201);
      img.put(H + 100, kMarker);
      const size_t H2 = H + 4096;
      img.put(H2, "EVENTLSTVS").put(H2 + 10 + got - 60, kMarker);
      img.truncate(H2 + 10 + got);
      expectSame(box, img, "second header cut " + std::to_string(got) + " bytes into its read");
    }
  }
}

// The first non-empty 16-byte block: a byte at the first and last place of
// the blocks on either side of each place where one read ends and the next
// begins, the image ending there or later; images all zero to the end.
TEST(EventDataStart, BlockSearchAgreesAcrossReadBoundariesAndTheEnd) {
  Scratch box;
  const int code = 5;
  const size_t H = 1572 + 4096;
  const size_t from = H + 220;
  std::vector<size_t> places = {0, 15, 16, 31};
  for (size_t edge : kEdges)
    for (size_t p : {edge - 16, edge - 1, edge, edge + 15, edge + 16}) places.push_back(p);
  for (size_t at : places) {
    for (size_t after : {size_t{0}, size_t{1}, size_t{9}, size_t{16}, size_t{300}}) {
      if (at > 4096 + 16 && (after == 1 || after == 16)) continue;  // fewer of the large images
      fixture::Image img = withHeader(code, H, 32);
      img.putByte(from - 1, 0x40);  // before the first block: never counts
      img.putByte(from + at, 0x01);
      img.padTo(from + at + 1 + after);
      expectSame(box, img,
                 "non-zero byte at block start + " + std::to_string(at) + ", image ending " + std::to_string(after) +
                     " bytes later");
    }
  }
  for (size_t end : {size_t{0}, size_t{16}, size_t{4096}, size_t{ImageBlock}, size_t{4096 + ImageBlock}}) {
    fixture::Image img = withHeader(code, H, 32);
    img.padTo(from + end);
    expectSame(box, img, "all zero to the end");
  }
  // Images that end inside the 50 bytes after the header: the blocks start
  // at the multiple of 256 above the byte after where the step back lands
  // (for 36 bytes read, that byte is itself a multiple of 256).
  for (size_t got : {size_t{0}, size_t{20}, size_t{35}, size_t{36}, size_t{37}, size_t{49}}) {
    fixture::Image img = withHeader(code, H, 32);
    img.put(H - 300, fixture::audio(300, uint32_t(got)));
    img.truncate(H + 10 + got);
    expectSame(box, img, "image ending " + std::to_string(got) + " bytes into the read after the header");
  }
}

// Generated images: several lists per image at random grid positions, with
// their data start near, far, straddling a 1 MiB boundary of the search,
// begun in the ring's old bytes or missing; random lengths, some past the
// end of the image, some over the cap.
TEST(EventDataStart, GeneratedLayoutsAgree) {
  Scratch box;
  uint32_t rnd = 12345;
  for (int round = 0; round < 48; round++) {
    const int code = std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}[round % 8];
    fixture::Image img(code);
    img.song(1, "ONE").song(2, "TWO").song(3, "THREE");
    const fixture::Model& m = img.m();
    const bool big = round % 3 == 0;
    const size_t size = big ? ImageBlock + 4096 * (2 + next(rnd) % 200) : 4096 * (3 + next(rnd) % 40);
    img.put(m.scanStart + 200, fixture::audio(size - m.scanStart - 200, rnd));
    const int lists = 1 + int(next(rnd) % 3);
    for (int l = 0; l < lists; l++) {
      const size_t H = img.grid(next(rnd) % ((size - m.scanStart) / 4096));
      const uint32_t r = next(rnd);
      uint32_t length = r % 4 == 0 ? r % 300 : r % 4 == 1 ? r % 70000 : r % 4 == 2 ? 1000000 + r % 3 : r % 5000;
      img.put(H, std::vector<std::string>{"EVENTLSTVR", "EVENTLSTVS", "EVENTLS0VR"}[r % 3]);
      img.putByte(H - m.songBack, uint8_t(1 + (r >> 8) % 3));
      img.put(H + m.lengthAt,
              Bytes{uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)});
      const size_t from = H - m.songBack + 1;
      const uint32_t where = next(rnd) % 6;
      if (m.family == '8') {
        const size_t blocks = (from + 256) & ~size_t{255};
        // Zero bytes from before the first block on, up to somewhere near a
        // read boundary or a few blocks in.
        const size_t zeros =
            where == 0 ? kEdges[next(rnd) % 3] - 32 + next(rnd) % 64 : 16 * (next(rnd) % 64) + next(rnd) % 16;
        img.put(blocks - 60, Bytes(60 + zeros, 0));
      } else {
        size_t d = where == 0   ? kEdges[next(rnd) % 3] - 15 + next(rnd) % 15
                   : where == 1 ? 60 + next(rnd) % 9000
                                : next(rnd) % 40;
        if (where == 2) {  // begun in the ring's old bytes
          size_t k = 1 + next(rnd) % 15;
          img.put(H + 42 - (16 - k), std::string(kMarker, 16 - k)).put(from, std::string(kMarker + 16 - k, k));
        } else if (where != 3) {
          img.put(from + d, kMarker);
        }
      }
    }
    if (next(rnd) % 4 == 0) img.truncate(img.size() - next(rnd) % 5000);
    expectSame(box, img, "round " + std::to_string(round) + ", model " + std::to_string(code));
  }
}
