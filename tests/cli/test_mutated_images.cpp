// Damaged backups: the seed images with bytes flipped, headers, signatures,
// markers and huge lengths planted on the recorder's grid, song numbers
// changed, pieces repeated and the image cut short, always with the same
// random seed. Whatever the bytes say, the run ends by itself with status
// 0 and a closing line that says how it ended, and it writes nothing but
// files in song folders below the output path.
#include <gtest/gtest.h>

#include <cstring>

#include "Cli.h"

using namespace cli;
using fixture::Bytes;

namespace {

struct Random {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  size_t below(size_t n) { return n == 0 ? 0 : next() % n; }
};

// What a damaged backup may hold where the carver looks.
std::vector<Bytes> plantings(const fixture::Model& m) {
  std::vector<Bytes> p;
  for (int code : fixture::allModels()) p.push_back(fixture::bytesOf(fixture::model(code).signature));
  for (const char* s : {"TAKE", "EVENTLSTVR", "EVENTLSTVS", "EVENTLS0VR", "TAKE EVENT LIST ", "TK000001VR1",
                        "TK000001VS2", "TAKE0/.."})
    p.push_back(fixture::bytesOf(s));
  p.push_back(fixture::kSplitMarker);
  p.push_back({0xFF, 0xFF, 0xFF, 0xFF});
  p.push_back({0x40, 0x42, 0x0F, 0x00});  // 1000000
  p.push_back({0x41, 0x42, 0x0F, 0x00});  // 1000001
  p.push_back(Bytes(48, 0));
  Bytes h = fixture::bytesOf(m.takePrefix + std::string(m.takeNumLen, '7'));
  h.resize(48, 'x');
  p.push_back(h);
  return p;
}

Bytes mutate(Bytes img, const fixture::Model& m, Random& rnd) {
  const std::vector<Bytes> plant = plantings(m);
  const int steps = 1 + static_cast<int>(rnd.below(6));
  for (int i = 0; i < steps && !img.empty(); i++) {
    switch (rnd.below(7)) {
      case 0:  // flip a few bytes anywhere
        for (size_t k = 0, n = 1 + rnd.below(16); k < n; k++) img[rnd.below(img.size())] ^= 1 + rnd.below(255);
        break;
      case 1:
      case 2: {  // plant something on or near a grid position
        const Bytes& b = plant[rnd.below(plant.size())];
        size_t grid = m.scanStart + 4096 * rnd.below(img.size() / 4096 + 1);
        static const long near[] = {0, 0, 0, 2, 8, 10, 43, 46, 54, 64, -23, -25, 220};
        long at = static_cast<long>(grid) + near[rnd.below(std::size(near))];
        if (at < 0) at = 0;
        if (static_cast<size_t>(at) + b.size() > img.size()) img.resize(static_cast<size_t>(at) + b.size());
        std::memcpy(img.data() + at, b.data(), b.size());
        break;
      }
      case 3:  // a song number that has no folder, or a new one
        if (img.size() > m.scanStart) img[m.scanStart - m.songBack + 4096 * rnd.below(img.size() / 4096)] =
            static_cast<uint8_t>(rnd.next());
        break;
      case 4:  // cut the image short
        img.resize(rnd.below(img.size() + 1));
        break;
      case 5: {  // repeat a piece of the image further on
        size_t from = rnd.below(img.size()), len = 1 + rnd.below(30000);
        if (from + len > img.size()) len = img.size() - from;
        Bytes piece(img.begin() + static_cast<std::ptrdiff_t>(from),
                    img.begin() + static_cast<std::ptrdiff_t>(from + len));
        size_t to = rnd.below(img.size());
        img.insert(img.begin() + static_cast<std::ptrdiff_t>(to), piece.begin(), piece.end());
        break;
      }
      default:  // the song list
        img[m.listStart + rnd.below(3 * m.recordSize)] = static_cast<uint8_t>(rnd.next());
        break;
    }
  }
  return img;
}

// The last line of the console output, progress lines set aside.
std::string lastLine(const std::string& out) {
  size_t end = out.size();
  if (end > 0 && out[end - 1] == '\n') end--;
  size_t start = out.find_last_of("\r\n", end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 1;
  return out.substr(start, end - start);
}

bool isSongFolder(const std::string& name) {
  if (name.compare(0, 4, "SONG") != 0) return false;
  size_t i = name.size() > 4 && name[4] == '-' ? 5 : 4;
  if (i == name.size()) return false;
  for (; i < name.size(); i++)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

}  // namespace

class MutatedBackup : public ::testing::TestWithParam<size_t> {};

TEST_P(MutatedBackup, EndsCleanlyAndWritesOnlySongFolders) {
  const std::vector<fixture::NamedImage> seeds = fixture::seedImages();
  const fixture::NamedImage& seed = seeds.at(GetParam());
  const fixture::Model& m = seed.image.m();
  Random rnd{static_cast<uint32_t>(0x5EED0000u + GetParam() * 7919u)};
  for (int variant = 0; variant < 12; variant++) {
    Bytes img = mutate(seed.image.bytes(), m, rnd);
    SCOPED_TRACE(seed.name + " variant " + std::to_string(variant));
    Sandbox box;
    box.write("b.iso", img);
    RunOptions o;
    o.timeoutSeconds = 60;
    Result r = box.run({"b.iso", "out"}, o);
    ASSERT_EQ(r.signal, 0) << r.out;
    EXPECT_EQ(r.status, 0);

    // The run says how it ended, and an error is the last thing it says.
    const std::string last = lastLine(r.out);
    EXPECT_TRUE(last == "All Files processed, Come Back Soon!!!!" ||
                last == "This is not a valid roland backup file - No Data" || last.compare(0, 6, "ERROR ") == 0)
        << last;
    size_t err = r.out.find("ERROR ");
    if (err != std::string::npos) {
      EXPECT_EQ(r.out.find('\n', err), r.out.size() - 1) << r.out.substr(err);
    }

    // Only the image and the output path in the working folder; below it
    // only song folders holding files.
    for (const auto& [name, contents] : box.tree("", {"b.iso", "out"})) ADD_FAILURE() << "outside: " << name;
    if (!box.exists("out")) continue;
    for (const auto& [name, contents] : box.tree("out")) {
      size_t slash = name.find('/');
      ASSERT_NE(slash, std::string::npos) << name;
      EXPECT_TRUE(isSongFolder(name.substr(0, slash))) << name;
      EXPECT_TRUE(slash + 1 == name.size() || name.find('/', slash + 1) == std::string::npos) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MutatedBackup, ::testing::Range<size_t>(0, fixture::seedImages().size()),
                         [](const ::testing::TestParamInfo<size_t>& i) {
                           std::string n = fixture::seedImages().at(i.param).name;
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });
