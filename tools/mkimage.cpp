// Writes Roland VS backup images made by the fixture builder.
//   mkimage sample OUT [MODEL]                 the small sample backup
//   mkimage realistic OUT MODEL BYTES [SEED]   a large backup with many takes
//   mkimage disc OUT MODEL BIGTAKE [SEED]      a backup CD: five songs with
//                                              event lists and takes, one
//                                              take BIGTAKE bytes long
//   mkimage seeds DIR                          the fuzzer's seed corpus
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Fixture.h"

// A backup CD as a recorder burns it: songs with event lists, a few takes
// each (one long recording among them, one song never recorded on), on the
// recorder's grid, padded to whole 2048-byte sectors.
static fixture::Image discImage(int code, size_t bigTake, uint32_t seed) {
  fixture::Image img(code);
  const char* names[] = {"OPENER", "BALLAD", "LIVE AT HOME", "DEMO 2", "SKETCH"};
  const int takes[] = {3, 2, 1, 4, 0};
  for (int s = 0; s < 5; s++) img.song(static_cast<uint8_t>(s + 1), names[s]);
  const size_t numLen = img.m().takeNumLen;
  auto num = [&](int n) {
    std::string t = std::to_string(n);
    return std::string(numLen - t.size(), '0') + t;
  };
  size_t k = 0;
  auto next = [&](size_t end) { k = (img.gridAtOrAfter(end) - img.m().scanStart) / 4096; };
  int takeNo = 1;
  for (int s = 0; s < 5; s++) {
    size_t end = 0;
    uint8_t song = static_cast<uint8_t>(s + 1);
    img.eventList(img.grid(k), song, fixture::audio(1500 + 900 * s, seed++), {}, &end);
    next(end);
    for (int t = 0; t < takes[s]; t++) {
      size_t len = (s == 1 && t == 1) ? bigTake : 40000 + 370000 * static_cast<size_t>(t + s);
      end = img.take(img.grid(k), song, num(takeNo++), fixture::audio(len, seed++));
      next(end);
    }
  }
  img.padToSector();
  return img;
}

int main(int argc, char** argv) {
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "sample" && (argc == 3 || argc == 4)) {
    int code = argc == 4 ? std::atoi(argv[3]) : 1;
    fixture::sampleImage(code).write(argv[2]);
    return 0;
  }
  if (what == "realistic" && (argc == 5 || argc == 6)) {
    uint32_t seed = argc == 6 ? static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 0)) : 1;
    size_t takes = fixture::writeRealisticImage(argv[2], std::atoi(argv[3]),
                                                std::strtoull(argv[4], nullptr, 0), seed);
    std::printf("%s: %zu takes\n", argv[2], takes);
    return 0;
  }
  if (what == "disc" && (argc == 5 || argc == 6)) {
    uint32_t seed = argc == 6 ? static_cast<uint32_t>(std::strtoul(argv[5], nullptr, 0)) : 1;
    discImage(std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 0), seed).write(argv[2]);
    return 0;
  }
  if (what == "seeds" && argc == 3) {
    std::filesystem::create_directories(argv[2]);
    for (const fixture::NamedImage& s : fixture::seedImages())
      s.image.write(std::string(argv[2]) + "/" + s.name + ".iso");
    return 0;
  }
  std::fprintf(stderr,
               "usage: mkimage sample OUT [MODEL]\n"
               "       mkimage realistic OUT MODEL BYTES [SEED]\n"
               "       mkimage disc OUT MODEL BIGTAKE [SEED]\n"
               "       mkimage seeds DIR\n");
  return 2;
}
