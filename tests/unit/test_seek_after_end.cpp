// Positioning after the image's end was reached. Wine's C runtime leaves
// the end-of-file flag set after _fseeki64, so code that tests the flag
// after a seek would take the image for ended: SeekTo clears it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "ImageIO.h"

namespace fs = std::filesystem;

TEST(SeekAfterEnd, SeekClearsTheEndFlagAndTheSignatureReadsAgain) {
  std::random_device random;
  fs::path path = fs::temp_directory_path() / ("discsift-seek-" + std::to_string(random()) + ".img");
  const std::string bytes = "VS1680 and the rest of a small image";
  FILE* f = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);

  f = std::fopen(path.string().c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[64];
  EXPECT_EQ(EndPos(f), bytes.size());
  EXPECT_EQ(ReadAt(f, 30, buf, 20), 6u);  // runs into the end
  EXPECT_EQ(std::string(buf, 6), " image");
  EXPECT_NE(std::feof(f), 0);

  SeekTo(f, 0);
  EXPECT_EQ(std::feof(f), 0);
  char TypeVS[7];
  ASSERT_NE(std::fgets(TypeVS, sizeof TypeVS, f), nullptr);
  EXPECT_STREQ(TypeVS, "VS1680");
  EXPECT_EQ(ReadAt(f, 7, buf, 3), 3u);
  EXPECT_EQ(std::string(buf, 3), "and");
  std::fclose(f);
  fs::remove(path);
}
