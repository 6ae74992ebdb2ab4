// Where a take ends. The recorder's rule reads the take's data one byte at a
// time into the 48-byte ring that still holds the take header, tests the
// ring after every byte for the model's signature (a read past the end of
// the image stores 0xFF), and, when the image ends first, looks for the
// split-file marker in the 16-byte blocks counted from the data start. The
// carver searches whole blocks of the image instead; these tests hold it to
// the byte-at-a-time reading of the rule on many images, with the blocks of
// the image window made small so that every kind of block boundary occurs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Fixture.h"
#include "ImageIO.h"
#include "include.h"

namespace {

using fixture::Bytes;
using fixture::Image;

struct End {
  bool found = false;
  uint64_t stop = 0;
  bool bySignature = false;
  bool operator==(const End& o) const { return found == o.found && (!found || stop == o.stop); }
};

std::ostream& operator<<(std::ostream& os, const End& e) {
  return e.found ? os << "ends at " << e.stop : os << "no end";
}

// The rule, one byte at a time, as a stream reads it: the end-of-file state
// is set by the first read that comes up short. Two outcomes are the
// carver's own: a signature that begins in the header bytes gives an empty
// take, and a last marker block cut short by the end of the image counts
// when the bytes read hold the whole marker, ending the take at that block.
End byteAtATime(const Bytes& img, uint64_t dataStart, const Bytes& header, const std::string& sig) {
  unsigned char ring[48];
  std::memcpy(ring, header.data(), 48);
  unsigned idx = 0;
  uint64_t pos = dataStart;
  bool eof = false;
  while (!eof) {
    uint8_t b = 0xFF;
    if (pos < img.size())
      b = img[pos++];
    else
      eof = true;
    ring[idx] = b;
    if (++idx == 48) idx = 0;
    if (EvalStringMatch(ring, 48, idx, sig.data(), 6, "111111")) {
      uint64_t stop = pos - 6;
      return {true, stop < dataStart ? dataStart : stop, true};
    }
  }
  pos = dataStart;
  eof = false;
  for (;;) {
    if (eof) return {};
    size_t n = pos < img.size() ? std::min<uint64_t>(16, img.size() - pos) : 0;
    if (n < 16) eof = true;
    if (n >= 10 && std::equal(fixture::kSplitMarker.begin(), fixture::kSplitMarker.end(), img.begin() + pos))
      return {true, pos};
    pos += n;
  }
}

// An image file open for reading, optionally through the image window.
class OpenImage {
 public:
  OpenImage(const Bytes& img, bool window) : f_(fixture::scratchFile()) {
    if (!img.empty()) std::fwrite(img.data(), 1, img.size(), f_);
    std::fflush(f_);
    std::rewind(f_);
    if (window) OpenImageWindow(f_);
  }
  ~OpenImage() {
    CloseImageWindow();
    std::fclose(f_);
  }
  FILE* f() const { return f_; }

 private:
  FILE* f_;
};

Bytes copied(FILE* fin, uint64_t from, uint64_t len) {
  FILE* out = fixture::scratchFile();
  CopyImageRange(fin, from, len, out, "copy");
  std::fflush(out);
  Bytes b(static_cast<size_t>(std::ftell(out)));
  std::rewind(out);
  if (!b.empty() && std::fread(b.data(), 1, b.size(), out) != b.size()) b.clear();
  std::fclose(out);
  return b;
}

bool isHeader(int code, const uint8_t* h) {
  const fixture::Model& m = fixture::model(code);
  if (m.family != '2') return std::memcmp(h, "TAKE", 4) == 0;
  return h[0] == 'T' && h[1] == 'K' && h[8] == 'V' && h[10] == (code == 8 ? '2' : '1');
}

// The copy that searches as it goes, for a take that ends at a signature:
// it must write the same bytes, and what it says of the scan positions in
// the data must hold.
// Returns the header it noted, 0 for none.
uint64_t streamedCopy(const Bytes& img, uint64_t dataStart, const Bytes& header, int code, bool window,
                      const End& want) {
  OpenImage image(img, window);
  FILE* out = fixture::scratchFile();
  unsigned long long stop = 0, knownUpTo = 0, nextHeader = 0;
  int found = CopyTakeToEnd(image.f(), dataStart, header.data(), static_cast<unsigned>(code), out, "copy", &stop,
                            &knownUpTo, &nextHeader);
  std::fflush(out);
  Bytes got(static_cast<size_t>(std::ftell(out)));
  std::rewind(out);
  if (!got.empty() && std::fread(got.data(), 1, got.size(), out) != got.size()) got.clear();
  std::fclose(out);
  EXPECT_EQ(found == 1, want.bySignature);
  if (!want.bySignature || found != 1) return 0;
  EXPECT_EQ(stop, want.stop);
  EXPECT_EQ(got, Bytes(img.begin() + static_cast<ptrdiff_t>(dataStart), img.begin() + static_cast<ptrdiff_t>(want.stop)));
  const uint64_t start = fixture::model(code).scanStart;
  for (uint64_t p = start; p < knownUpTo; p += 4096) {
    if (p < dataStart) continue;
    EXPECT_LE(p + 48, img.size());
    EXPECT_EQ(isHeader(code, img.data() + p), p == nextHeader) << "scan position " << p;
    if (p == nextHeader) break;
  }
  if (nextHeader != 0) {
    EXPECT_EQ(knownUpTo, nextHeader + 1);
  }
  return nextHeader;
}

// The carver's answer, and what it copies for it; then the scan's small
// reads at the grid positions after the header, which the window serves.
End carve(const Bytes& img, uint64_t dataStart, const Bytes& header, const std::string& sig,
          bool window, uint64_t headerAt) {
  OpenImage image(img, window);
  End e;
  unsigned long long stop = 0;
  e.found = FindTakeEnd(image.f(), dataStart, header.data(), sig.c_str(), &stop) == 1;
  e.stop = stop;
  if (e.found) {
    EXPECT_GE(e.stop, dataStart);
    Bytes want(img.begin() + static_cast<ptrdiff_t>(dataStart), img.begin() + static_cast<ptrdiff_t>(e.stop));
    EXPECT_EQ(copied(image.f(), dataStart, e.stop - dataStart), want) << "copy of the take";
  }
  for (uint64_t p = headerAt + 4096; p < img.size() + 4096; p += 1000) {
    unsigned char got[48];
    unsigned n = ReadAt(image.f(), p, got, 48);
    size_t have = p < img.size() ? std::min<uint64_t>(48, img.size() - p) : 0;
    EXPECT_EQ(n, have) << "read at " << p;
    if (n == have && have != 0) {
      EXPECT_EQ(0, std::memcmp(got, img.data() + p, have)) << "read at " << p;
    }
  }
  return e;
}

// Block sizes of the window: (read step, capacity).
struct Blocks {
  unsigned step, cap;
};
const Blocks kSmallBlocks[] = {{7, 64}, {16, 64}, {48, 100}, {64, 4096}, {4096, 1u << 16}};

class WithBlocks : public ::testing::Test {
 protected:
  void TearDown() override { SetImageBlocks(ImageBlock, ~0u); }
};

const Bytes kSignatureChars = fixture::bytesOf("VS16802480-8EXR");

struct Planted {
  Bytes img;
  uint64_t dataStart;
  Bytes header;
  int code;
  std::string sig;
};

// A random take: a header whose last bytes may begin the signature, data
// drawn mostly from the characters of the signatures and the marker, with
// signatures, halves of them and markers planted around the block
// boundaries, at the start and at the end.
Planted randomTake(std::mt19937& rng, unsigned step) {
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const std::vector<int>& codes = fixture::allModels();
  Planted t;
  t.code = codes[pick(static_cast<uint32_t>(codes.size()))];
  t.sig = fixture::model(t.code).signature;
  t.dataStart = 48 + pick(200);
  uint64_t len = pick(4 * step + 80);
  t.img.resize(t.dataStart + len);
  Bytes alphabet = kSignatureChars;
  alphabet.insert(alphabet.end(), fixture::kSplitMarker.begin(), fixture::kSplitMarker.end());
  for (uint8_t& b : t.img) b = pick(4) ? alphabet[pick(static_cast<uint32_t>(alphabet.size()))] : uint8_t(rng());
  t.header.resize(48);
  for (uint8_t& b : t.header) b = alphabet[pick(static_cast<uint32_t>(alphabet.size()))];
  if (pick(3) == 0) {
    unsigned k = 1 + pick(5);  // header bytes 48-k.. spell the signature's first k characters
    std::copy(t.sig.begin(), t.sig.begin() + k, t.header.begin() + (48 - k));
  }
  auto plant = [&](uint64_t at, const Bytes& what) {
    for (size_t i = 0; i < what.size() && at + i < t.img.size(); i++) t.img[at + i] = what[i];
  };
  Bytes sig = fixture::bytesOf(t.sig);
  Bytes half(sig.begin(), sig.begin() + 3 + pick(3));
  Bytes marker = fixture::kSplitMarker;
  for (int n = 1 + pick(4); n > 0; n--) {
    uint64_t base;
    switch (pick(4)) {
      case 0: base = t.dataStart + (1 + pick(4)) * uint64_t(step); break;  // a read boundary
      case 1: base = t.dataStart + 16 * uint64_t(pick(static_cast<uint32_t>(len / 16 + 1))); break;
      case 2: base = t.img.size(); break;  // the end of the image
      default: base = t.dataStart; break;
    }
    base = base - std::min<uint64_t>(base, pick(12)) + pick(3);
    switch (pick(4)) {
      case 0: plant(base, sig); break;
      case 1: plant(base, half); break;
      default: plant(base, marker); break;
    }
  }
  // Often no signature at all, so that the marker search runs.
  if (pick(2) == 0) {
    if (pick(2) == 0) plant(t.dataStart + 16 * uint64_t(pick(static_cast<uint32_t>(len / 16 + 1))), marker);
    for (size_t i = t.dataStart; i + 6 <= t.img.size(); i++)
      if (std::equal(sig.begin(), sig.end(), t.img.begin() + static_cast<ptrdiff_t>(i))) t.img[i] = 'x';
  }
  return t;
}

}  // namespace

TEST_F(WithBlocks, FastSearchAgreesWithTheByteAtATimeRule) {
  std::mt19937 rng(20240611);
  int markerEnds = 0, signatureEnds = 0, noEnds = 0;
  for (const Blocks& b : kSmallBlocks) {
    SetImageBlocks(b.step, b.cap);
    for (int i = 0; i < 400; i++) {
      Planted t = randomTake(rng, b.step);
      End want = byteAtATime(t.img, t.dataStart, t.header, t.sig);
      for (bool window : {true, false}) {
        SCOPED_TRACE(testing::Message() << "step " << b.step << " cap " << b.cap << " case " << i
                                        << (window ? " window" : " stream") << " sig " << t.sig
                                        << " data start " << t.dataStart << " size " << t.img.size());
        ASSERT_EQ(carve(t.img, t.dataStart, t.header, t.sig, window, t.dataStart - 48), want);
        streamedCopy(t.img, t.dataStart, t.header, t.code, window, want);
      }
      if (!want.found)
        noEnds++;
      else if (want.stop + 6 <= t.img.size() &&
               std::equal(t.sig.begin(), t.sig.end(), t.img.begin() + static_cast<ptrdiff_t>(want.stop)))
        signatureEnds++;
      else
        markerEnds++;
    }
  }
  // The random images reach every outcome often.
  EXPECT_GT(signatureEnds, 120);
  EXPECT_GT(markerEnds, 250);
  EXPECT_GT(noEnds, 600);
}

// The blocks as the carver runs: 1 MiB reads, with signatures and markers
// planted across the first read boundaries after the data start.
TEST_F(WithBlocks, FullSizeBlocksAgreeWithTheByteAtATimeRule) {
  std::mt19937 rng(7);
  const Bytes header = fixture::Image(1).takeHeader("0001");
  const uint64_t dataStart = 23500;
  struct Case {
    uint64_t at;  // where the signature or marker goes, from the data start
    bool marker;
    uint64_t size;  // image size, from the data start
  } cases[] = {
      {ImageBlock - 3, false, 2 * ImageBlock},      // across the first boundary
      {ImageBlock - 6, false, 2 * ImageBlock},      // ends at it
      {ImageBlock, false, 2 * ImageBlock},          // begins at it
      {2 * ImageBlock - 1, false, 2 * ImageBlock + 5},
      {2 * ImageBlock - 6, false, 2 * ImageBlock},  // the last six bytes
      {ImageBlock - 16, true, ImageBlock + 100},
      {ImageBlock, true, ImageBlock + 100},
      {ImageBlock + 8, true, ImageBlock + 100},     // off the 16-byte grid
      {ImageBlock + 16, true, ImageBlock + 28},     // a last block of 12 bytes
      {ImageBlock + 16, true, ImageBlock + 25},     // a last block of 9 bytes
  };
  for (const Case& c : cases) {
    Bytes img = fixture::audio(static_cast<size_t>(dataStart + c.size), static_cast<uint32_t>(rng()));
    const Bytes& what = c.marker ? fixture::kSplitMarker : fixture::bytesOf("VS1680");
    for (size_t i = 0; i < what.size() && dataStart + c.at + i < img.size(); i++) img[dataStart + c.at + i] = what[i];
    End want = byteAtATime(img, dataStart, header, "VS1680");
    for (bool window : {true, false}) {
      SCOPED_TRACE(testing::Message() << "at " << c.at << (c.marker ? " marker" : " signature") << " size "
                                      << c.size << (window ? " window" : " stream"));
      EXPECT_EQ(carve(img, dataStart, header, "VS1680", window, 1076), want);
    }
  }
}

// A window smaller than the take: the search drops the take's start from
// the window, and the copy reads it again.
TEST_F(WithBlocks, TakeLargerThanTheWindow) {
  SetImageBlocks(4096, 3 * 4096);
  const Bytes header = fixture::Image(4).takeHeader("0007");
  Bytes img = fixture::audio(200000, 3);
  const Bytes sig = fixture::bytesOf("VS-8EX");
  std::copy(sig.begin(), sig.end(), img.begin() + 150001);
  EXPECT_EQ(carve(img, 30000, header, "VS-8EX", true, 2900), (End{true, 150001}));
}

// The rule's corner cases, each with its answer spelt out.
TEST_F(WithBlocks, CornerCases) {
  const uint64_t ds = 100;
  auto image = [&](size_t dataLen, std::initializer_list<std::pair<size_t, Bytes>> puts) {
    Bytes img = fixture::audio(ds + dataLen + 16, 11);
    for (const auto& p : puts) std::copy(p.second.begin(), p.second.end(), img.begin() + static_cast<ptrdiff_t>(ds + p.first));
    img.resize(ds + dataLen);  // what was put beyond the end is cut off
    return img;
  };
  auto headerEnding = [](const std::string& tail) {
    Bytes h(48, 0x80);
    std::copy(tail.begin(), tail.end(), h.end() - static_cast<ptrdiff_t>(tail.size()));
    return h;
  };
  const Bytes sig = fixture::bytesOf("VS2480"), mk = fixture::kSplitMarker;
  Bytes mkShort(mk.begin(), mk.begin() + 9);
  struct Case {
    const char* what;
    Bytes img;
    Bytes header;
    End want;
  } cases[] = {
      {"signature at the data start: empty take", image(500, {{0, sig}}), headerEnding(""), {true, ds}},
      {"header bytes 43-47 and the first data byte", image(500, {{0, fixture::bytesOf("0")}}),
       headerEnding("VS248"), {true, ds}},
      {"header bytes 45-47 and three data bytes", image(500, {{0, fixture::bytesOf("480")}}),
       headerEnding("VS2"), {true, ds}},
      {"header bytes alone never end it", image(500, {{300, sig}}), headerEnding("VS248"), {true, ds + 300}},
      {"across the ring's wrap (positions 45 to 2)", image(500, {{45, sig}}), headerEnding(""), {true, ds + 45}},
      {"the last six bytes of the image", image(506, {{500, sig}}), headerEnding(""), {true, ds + 500}},
      {"five bytes of it at the end of the image", image(505, {{500, sig}}), headerEnding(""), {false, 0}},
      {"marker at the data start", image(64, {{0, mk}}), headerEnding(""), {true, ds}},
      {"marker on the 16-byte grid", image(640, {{320, mk}}), headerEnding(""), {true, ds + 320}},
      {"marker off the grid", image(640, {{328, mk}}), headerEnding(""), {false, 0}},
      {"marker in a last block of 10 bytes", image(330, {{320, mk}}), headerEnding(""), {true, ds + 320}},
      {"nine marker bytes in a last block of 9", image(329, {{320, mkShort}}), headerEnding(""), {false, 0}},
      {"signature before the marker wins", image(640, {{320, mk}, {500, sig}}), headerEnding(""), {true, ds + 500}},
      {"data start at the end of the image", image(0, {}), headerEnding("VS248"), {false, 0}},
  };
  for (const Blocks& b : {Blocks{7, 64}, Blocks{ImageBlock, ~0u}}) {
    SetImageBlocks(b.step, b.cap);
    for (const Case& c : cases)
      for (bool window : {true, false}) {
        SCOPED_TRACE(testing::Message() << c.what << " step " << b.step << (window ? " window" : " stream"));
        EXPECT_EQ(byteAtATime(c.img, ds, c.header, "VS2480"), c.want) << "the rule itself";
        EXPECT_EQ(carve(c.img, ds, c.header, "VS2480", window, 0), c.want);
      }
  }
  // A data start beyond the end of the image.
  Bytes img = fixture::audio(50, 1);
  OpenImage open(img, true);
  unsigned long long stop = 0;
  EXPECT_EQ(FindTakeEnd(open.f(), 80, headerEnding("").data(), "VS2480", &stop), 0);
}

// Take headers on the scan grid inside a take's data: the copy that searches
// as it goes notes the first of them, and that no scan position before it
// holds one, so that the scan need not read those positions again.
TEST_F(WithBlocks, StreamedCopyNotesTheHeadersInTheData) {
  std::mt19937 rng(99);
  int noted = 0, cases = 0;
  for (const Blocks& b : {Blocks{61, 200}, Blocks{4096, 1u << 16}, Blocks{ImageBlock, ~0u}}) {
    SetImageBlocks(b.step, b.cap);
    for (int code : {1, 4, 3, 8}) {
      Image img(code);
      const size_t H = img.grid(1), start = H + img.m().dataOffset;
      for (int i = 0; i < 30; i++) {
        Image t = img;
        const size_t len = 4096 * (2 + rng() % 12) + rng() % 4096;
        t.take(H, 1, std::string(t.m().takeNumLen, '1'), fixture::audio(len, static_cast<uint32_t>(rng())));
        t.padToSector();
        // Headers, and near misses, at some scan positions in the data.
        for (size_t g = t.gridAtOrAfter(start); g + 48 <= start + len; g += 4096)
          switch (rng() % 6) {
            case 0: t.put(g, t.takeHeader(std::string(t.m().takeNumLen, '2'))); break;
            case 1: t.put(g, t.m().family == '2' ? "TK123456VX1" : "TAKx"); break;
          }
        End want = byteAtATime(t.bytes(), start, t.takeHeader(std::string(t.m().takeNumLen, '1')), t.m().signature);
        ASSERT_TRUE(want.bySignature);
        for (bool window : {true, false}) {
          SCOPED_TRACE(testing::Message() << "code " << code << " step " << b.step << " case " << i);
          noted += streamedCopy(t.bytes(), start, t.takeHeader(std::string(t.m().takeNumLen, '1')), code, window,
                                want) != 0;
          cases++;
        }
      }
    }
  }
  // Most takes hold a header; the smallest blocks cut the notes short.
  EXPECT_GT(noted, cases / 2);
}

// The image's last signature decides whether a take's copy may start before
// its end is found; a signature reported too late would write a take that
// has no end.
TEST_F(WithBlocks, LastSignatureIsFoundFromTheEnd) {
  std::mt19937 rng(5);
  const Bytes sig = fixture::bytesOf("VS-880");
  for (unsigned step : {7u, 16u, 4096u, unsigned(ImageBlock)}) {
    SetImageBlocks(step, ~0u);
    for (int i = 0; i < 300; i++) {
      Bytes img(rng() % (5 * std::min(step, 5000u) + 20));
      for (uint8_t& b : img) b = "VS-880x"[rng() % 7];
      for (int n = rng() % 3; n > 0 && img.size() >= 6; n--) {
        size_t at = rng() % (img.size() - 5);
        if (rng() % 2) at = std::min(img.size() - 6, (rng() % 6) * size_t(step) + rng() % 12);
        std::copy(sig.begin(), sig.end(), img.begin() + static_cast<ptrdiff_t>(at));
      }
      auto last = std::find_end(img.begin(), img.end(), sig.begin(), sig.end());
      OpenImage image(img, false);
      unsigned long long start = 0;
      int found = FindLastInImage(image.f(), "VS-880", 6, &start);
      SCOPED_TRACE(testing::Message() << "step " << step << " case " << i << " size " << img.size());
      ASSERT_EQ(found == 1, last != img.end());
      if (found) {
        EXPECT_EQ(start, static_cast<unsigned long long>(last - img.begin()));
      }
    }
  }
}
