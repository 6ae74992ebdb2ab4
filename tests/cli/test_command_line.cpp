// The command line: the banner, the missing argument, the output path and
// its folders, the mode chosen by the first argument's length.
#include <gtest/gtest.h>

#include "Cli.h"

using namespace cli;

TEST(CommandLine, NoArgumentsPrintsUsage) {
  Sandbox box;
  Result r = box.run({});
  EXPECT_EQ(r.out, banner() + usageLines());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(box.tree().empty());
}

struct OutPathCase {
  std::string arg;
  std::vector<std::string> lines;  // directory messages, in order
  std::vector<std::string> dirs;   // what exists afterwards
};

void PrintTo(const OutPathCase& c, std::ostream* os) { *os << '"' << c.arg << '"'; }

class OutputPath : public ::testing::TestWithParam<OutPathCase> {};

TEST_P(OutputPath, CreatesEachLevelFromTheFourthCharacterOn) {
  const OutPathCase& c = GetParam();
  Sandbox box;
  Result r = box.run({"missing.iso", c.arg});
  std::string expected = banner();
  for (const std::string& l : c.lines) expected += l + "\n";
  expected += "Input .iso or .hex File Not Found\n";
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.status, 0);
  Tree want;
  for (const std::string& d : c.dirs) want[d] = "";
  EXPECT_EQ(box.tree(), want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputPath,
    ::testing::Values(
        OutPathCase{"out", {"Subdirectory created named out/"}, {"out/"}},
#ifdef _WIN32
        // Backslashes separate levels, as slashes do.
        OutPathCase{"new\\deep\\er",
                    {"Subdirectory created named new\\", "Subdirectory created named new\\deep\\",
                     "Subdirectory created named new\\deep\\er/"},
                    {"new/", "new/deep/", "new/deep/er/"}},
        OutPathCase{"out\\", {"Subdirectory created named out\\"}, {"out/"}},
        OutPathCase{"VS\\Songs", {"Unable to create subdirectory named VS\\Songs/.. already exists?"}, {}},
#else
        // On this system a backslash is an ordinary character of a name.
        OutPathCase{"C:\\VS\\Songs",
                    {"Subdirectory created named C:\\VS\\", "Subdirectory created named C:\\VS\\Songs/"},
                    {"C:\\VS\\/", "C:\\VS\\Songs/"}},
#endif
        OutPathCase{"D:/backup/",
                    {"Unable to create subdirectory named D:/backup/.. already exists?"},
                    {}},
        OutPathCase{"ab/cd", {"Unable to create subdirectory named ab/cd/.. already exists?"}, {}},
        OutPathCase{"ab", {}, {}},
        OutPathCase{"", {}, {}},
        OutPathCase{"a/b/c/d/e",
                    {"Unable to create subdirectory named a/b/.. already exists?",
                     "Unable to create subdirectory named a/b/c/.. already exists?",
                     "Unable to create subdirectory named a/b/c/d/.. already exists?",
                     "Unable to create subdirectory named a/b/c/d/e/.. already exists?"},
                    {}},
        OutPathCase{"deep/er/est",
                    {"Subdirectory created named deep/", "Subdirectory created named deep/er/",
                     "Subdirectory created named deep/er/est/"},
                    {"deep/", "deep/er/", "deep/er/est/"}}));

#ifdef _WIN32
// A full Windows path, drive and backslashes (C:\VS\Songs and the like):
// the drive prefix is never a level, every folder of the sandbox's own path
// exists already, and the song folders go below the new ones.
TEST(CommandLine, DrivePathWithBackslashes) {
  Sandbox box, plain;
  std::string root = box.dir();
  for (char& c : root)
    if (c == '/') c = '\\';
  ASSERT_EQ(root.substr(1, 2), ":\\");
  const std::string arg = root + "\\VS\\Songs";
  std::string expected = banner();
  for (size_t j = 3; j < root.size(); j++)
    if (root[j] == '\\') expected += "Unable to create subdirectory named " + root.substr(0, j + 1) + ".. already exists?\n";
  expected += "Unable to create subdirectory named " + root + "\\.. already exists?\n" +
              "Subdirectory created named " + root + "\\VS\\\n" +
              "Subdirectory created named " + root + "\\VS\\Songs/\n";

  box.write("b.iso", fixture::sampleImage(1));
  plain.write("b.iso", fixture::sampleImage(1));
  Result r = box.run({"b.iso", arg});
  Result p = plain.run({"b.iso", "out"});
  std::string plainHead = banner() + "Subdirectory created named out/\n";
  ASSERT_EQ(r.out.substr(0, expected.size()), expected);
  // The rest is the plain run's, with the path as given.
  std::string rest = p.out.substr(plainHead.size());
  for (size_t at = 0; (at = rest.find("out/", at)) != std::string::npos; at += arg.size() + 1)
    rest.replace(at, 4, arg + "/");
  EXPECT_EQ(r.out.substr(expected.size()), rest);
  EXPECT_EQ(box.tree("VS/Songs"), plain.tree("out"));
  EXPECT_FALSE(plain.tree("out").empty());
}
#endif

TEST(CommandLine, ExistingLevelsAreReportedAndTheRestStillCreated) {
  Sandbox box;
  box.mkdir("have");
  Result r = box.run({"missing.iso", "have/new"});
  EXPECT_EQ(r.out, banner() +
                       "Unable to create subdirectory named have/.. already exists?\n"
                       "Subdirectory created named have/new/\n"
                       "Input .iso or .hex File Not Found\n");
  EXPECT_TRUE(box.exists("have/new"));
}

TEST(CommandLine, ThreeOrMoreArgumentsIgnoreTheOutputPath) {
  Sandbox plain, extra;
  plain.write("backup.iso", fixture::sampleImage(1));
  extra.write("backup.iso", fixture::sampleImage(1));
  Result one = plain.run({"backup.iso"});
  Result three = extra.run({"backup.iso", "out", "more"});
  EXPECT_EQ(three.out, one.out);
  EXPECT_EQ(three.status, 0);
  EXPECT_FALSE(extra.exists("out"));
  EXPECT_EQ(extra.tree(), plain.tree());
  EXPECT_TRUE(extra.exists("SONG1/SONG.VR6"));
}

TEST(CommandLine, ThreeCharactersNameAnImageFile) {
  Sandbox box;
  Result r = box.run({"D:\\"});
  EXPECT_EQ(r.out, banner() + "Input .iso or .hex File Not Found\n");
  EXPECT_EQ(r.status, 0);
}

TEST(CommandLine, OutputPathLongerThanTheBufferIsRefusedBeforeAnythingIsCreated) {
  Sandbox box;
  box.write("backup.iso", fixture::sampleImage(1));
  std::string longPath = "o/" + std::string(997, 'x');  // 999 characters, then "/" makes 1000
  Result r = box.run({"backup.iso", longPath});
  EXPECT_EQ(r.out, banner() + "Output path is too long: at most 999 characters are supported\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(box.exists("o"));
}
