// Takes that a multi-disc backup splits: no signature follows the last take
// of a disc, whose audio ends at the split-file marker, a 16-byte block
// counted from the data start. Carving the discs one after the other into
// one output path joins the pieces.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;
using fixture::End;
using fixture::Image;

namespace {

std::string takeFile(const Image& img, int song, int n) {
  return "SONG" + std::to_string(song) + "/" + img.m().takePrefix + img.takeNumber(n) + img.m().ext;
}

std::string slice(const Image& img, size_t from, size_t to) {
  return std::string(img.bytes().begin() + static_cast<ptrdiff_t>(from),
                     img.bytes().begin() + static_cast<ptrdiff_t>(to));
}

std::string found(const Image& img, size_t from, size_t H) {
  return takeScan(img.m().code, img.size(), from, H + 1) + takeFound();
}

std::string writing(const Image& img, int song, int n) {
  return "Writing TAKE file out/" + takeFile(img, song, n) + "\n";
}

// Console text of a carve into "out" up to the take stage, for an image
// whose only song is song 1, "SPLIT".
std::string before(const Image& img, bool again = false) {
  return banner() +
         (again ? "Unable to create subdirectory named out/.. already exists?\n"
                : "Subdirectory created named out/\n") +
         head("b.iso", img.size()) + img.m().message + songLines("out/", img.m().code, 1, "SPLIT", again) +
         eventScanAll(img.m().code, img.size());
}

Tree songFolder(const Image& img) {
  return {{"SONG1/", ""},
          {"SONG1/SONG" + img.m().ext, str(img.record(0))},
          {"SONG1/SPLIT.txt", "This directory has files for a song named SPLIT"}};
}

Result carve(Sandbox& box, const Image& img) {
  box.write("b.iso", img);
  return box.run({"b.iso", "out"});
}

}  // namespace

class SplitTake : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(OnePerFamily, SplitTake, ::testing::Values(1, 4, 3));

// The last take of a disc ends at the marker block; the bytes between the
// audio and the block belong to the take. A marker at the data start leaves
// an empty take.
TEST_P(SplitTake, MarkerEndsTheLastTake) {
  for (size_t length : {size_t(0), size_t(5000), size_t(4096 * 2 + 3)}) {
    SCOPED_TRACE(length);
    Image img(GetParam());
    img.song(1, "SPLIT");
    const size_t H1 = img.grid(1);
    Bytes first = fixture::audio(3000, 1);
    const size_t H2 = img.gridAtOrAfter(img.take(H1, 1, img.takeNumber(1), first) + 25);
    const size_t markerEnd = img.take(H2, 1, img.takeNumber(2), fixture::audio(length, 2), End::SplitMarker);
    img.padToSector();
    const size_t start = H2 + img.m().dataOffset;
    ASSERT_EQ(markerEnd - 16, start + (length + 15) / 16 * 16);
    Sandbox box;
    Result r = carve(box, img);
    EXPECT_EQ(r.out, before(img) + found(img, 0, H1) + writing(img, 1, 1) + found(img, H1 + 1, H2) +
                         writing(img, 1, 2) + takeScan(img.m().code, img.size(), H2 + 1, img.size()) + tail());
    Tree want = songFolder(img);
    want[takeFile(img, 1, 1)] = str(first);
    want[takeFile(img, 1, 2)] = slice(img, start, markerEnd - 16);
    EXPECT_EQ(box.tree("out"), want);
  }
}

// A marker off the 16-byte grid of the data is not seen. With no end mark
// the take is not written and the scan stops: no grid position after the
// header is tested.
TEST_P(SplitTake, MarkerOffTheGridEndsTheScan) {
  Image img(GetParam());
  img.song(1, "SPLIT");
  const size_t H1 = img.grid(1);
  Bytes first = fixture::audio(3000, 1);
  const size_t H2 = img.gridAtOrAfter(img.take(H1, 1, img.takeNumber(1), first) + 25);
  const size_t start = H2 + img.m().dataOffset;
  img.take(H2, 1, img.takeNumber(2), fixture::audio(4000, 2), End::None);
  img.put(start + 4000 + 8, fixture::kSplitMarker);  // 4008: not a multiple of 16
  img.padToSector();
  Sandbox box;
  Result r = carve(box, img);
  EXPECT_EQ(r.out, before(img) + found(img, 0, H1) + writing(img, 1, 1) + found(img, H1 + 1, H2) + tail());
  Tree want = songFolder(img);
  want[takeFile(img, 1, 1)] = str(first);
  EXPECT_EQ(box.tree("out"), want);
}

// An image whose length after the data start is not a multiple of 16 ends
// in a short block: it still ends the take when it holds the whole marker.
TEST_P(SplitTake, ShortLastBlockCountsWhenItHoldsTheMarker) {
  for (size_t kept : {size_t(16), size_t(10), size_t(9)}) {
    SCOPED_TRACE(kept);
    Image img(GetParam());
    img.song(1, "SPLIT");
    const size_t H = img.grid(1);
    Bytes data = fixture::audio(4096 * 3, 1);
    const size_t markerEnd = img.take(H, 1, img.takeNumber(1), data, End::SplitMarker);
    img.truncate(markerEnd - 16 + kept);
    Sandbox box;
    Result r = carve(box, img);
    Tree want = songFolder(img);
    if (kept >= 10) {
      EXPECT_EQ(r.out, before(img) + found(img, 0, H) + writing(img, 1, 1) +
                           takeScan(img.m().code, img.size(), H + 1, img.size()) + tail());
      want[takeFile(img, 1, 1)] = str(data);
    } else {
      EXPECT_EQ(r.out, before(img) + found(img, 0, H) + tail());
    }
    EXPECT_EQ(box.tree("out"), want);
  }
}

// Disc 1 ends with the first part of take 3, disc 2 begins with the rest:
// carved one after the other into one output path, the take file holds both.
TEST_P(SplitTake, TwoDiscsCarvedIntoOnePathJoinTheTake) {
  Image disc1(GetParam()), disc2(GetParam());
  disc1.song(1, "SPLIT");
  disc2.song(1, "SPLIT");
  Bytes first = fixture::audio(1000, 1), part1 = fixture::audio(4096 * 5, 2), part2 = fixture::audio(7777, 3);
  const size_t H1 = disc1.grid(1);
  const size_t H2 = disc1.gridAtOrAfter(disc1.take(H1, 1, disc1.takeNumber(1), first) + 25);
  disc1.take(H2, 1, disc1.takeNumber(3), part1, End::SplitMarker);
  disc1.padToSector();
  const size_t H3 = disc2.grid(1);
  disc2.take(H3, 1, disc2.takeNumber(3), part2);
  disc2.padToSector();

  Sandbox box;
  Result r1 = carve(box, disc1);
  EXPECT_EQ(r1.out, before(disc1) + found(disc1, 0, H1) + writing(disc1, 1, 1) + found(disc1, H1 + 1, H2) +
                        writing(disc1, 1, 3) + takeScan(disc1.m().code, disc1.size(), H2 + 1, disc1.size()) +
                        tail());
  Result r2 = carve(box, disc2);
  EXPECT_EQ(r2.out, before(disc2, true) + found(disc2, 0, H3) + writing(disc2, 1, 3) +
                        takeScan(disc2.m().code, disc2.size(), H3 + 1, disc2.size()) + tail());
  Tree want = songFolder(disc2);
  want[takeFile(disc1, 1, 1)] = str(first);
  want[takeFile(disc1, 1, 3)] = str(part1) + str(part2);
  EXPECT_EQ(box.tree("out"), want);
}
