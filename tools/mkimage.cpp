// Writes Roland VS backup images made by the fixture builder.
//   mkimage sample OUT [MODEL]                 the small sample backup
//   mkimage realistic OUT MODEL BYTES [SEED]   a large backup with many takes
//   mkimage seeds DIR                          the fuzzer's seed corpus
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Fixture.h"

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
  if (what == "seeds" && argc == 3) {
    std::filesystem::create_directories(argv[2]);
    for (const fixture::NamedImage& s : fixture::seedImages())
      s.image.write(std::string(argv[2]) + "/" + s.name + ".iso");
    return 0;
  }
  std::fprintf(stderr,
               "usage: mkimage sample OUT [MODEL]\n"
               "       mkimage realistic OUT MODEL BYTES [SEED]\n"
               "       mkimage seeds DIR\n");
  return 2;
}
