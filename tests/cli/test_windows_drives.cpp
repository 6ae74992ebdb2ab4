// Disc mode on Windows itself: the real kernel services answer. Under Wine
// unmapped letters name no drive, C: is a folder, and a letter that Wine is
// told is a CD drive opens, but the pass-through request fails there (Wine
// only passes SCSI commands through to a real device).
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "Cli.h"

using namespace cli;

namespace {

const std::string kStart = "\nStarting Strip process - need to create .hex\n\n";
const std::string kOut = "Subdirectory created named out/\n";
const std::string kNotOptical = "Drive type is not CDROM/DVD, aborting.\n";
const std::string kNoImage = "Input .iso or .hex File Not Found\n";
const std::string kDelete = "\nDeleting temporary cd.hex file\n";

UINT driveType(char letter) {
  char root[] = {letter, ':', '\\', 0};
  return GetDriveTypeA(root);
}

}  // namespace

TEST(WindowsDrive, LetterOfNoDriveIsNotOptical) {
  char letter = 0;
  for (char l = 'D'; l <= 'Y' && !letter; l++)
    if (driveType(l) == DRIVE_NO_ROOT_DIR) letter = l;
  ASSERT_NE(letter, 0) << "every letter names a drive";
  for (std::string arg : {std::string(1, letter), std::string(1, char(letter + 'a' - 'A')) + ":"}) {
    Sandbox box;
    box.write("cd.hex", fixture::bytesOf("an old image"));
    Result r = box.run({arg, "out"});
    EXPECT_EQ(r.out, banner() + kOut + kStart + kNotOptical + kNoImage + kDelete) << arg;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.tree(), (Tree{{"out/", ""}})) << arg;
  }
}

TEST(WindowsDrive, FixedDriveIsNotOptical) {
  ASSERT_EQ(driveType('C'), static_cast<UINT>(DRIVE_FIXED));
  Sandbox box;
  Result r = box.run({"C", "out"});
  EXPECT_EQ(r.out, banner() + kOut + kStart + kNotOptical + kNoImage + kDelete);
  EXPECT_EQ(box.tree(), (Tree{{"out/", ""}}));
}

// The CI's Wine prefix maps the letter in DISCSIFT_WINE_CDROM to a folder
// and declares it a CD drive.
TEST(WindowsDrive, WineCdDriveFailsAtThePassThroughRequest) {
  const char* letter = std::getenv("DISCSIFT_WINE_CDROM");
  if (!letter || !*letter) GTEST_SKIP() << "DISCSIFT_WINE_CDROM names no Wine CD drive letter";
  ASSERT_EQ(driveType(letter[0]), static_cast<UINT>(DRIVE_CDROM)) << letter;
  const std::string failedTry = "Sending SPC1 Test Unit CDB6 command..failed.\n"
                                "DeviceIOControl returned with failed status.\n";
  Sandbox box;
  Result r = box.run({std::string(1, letter[0]), "out"});
  EXPECT_EQ(r.out, banner() + kOut + kStart + "Drive type is recognised as CDROM/DVD.\n" + "\n" + failedTry +
                       failedTry + failedTry + "\n" + "Drive is not ready!\n" + "Aborting process.\n" +
                       kNoImage + kDelete);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(box.tree(), (Tree{{"out/", ""}}));
}

#endif
