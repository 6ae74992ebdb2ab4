// Runs the real discsift binary in a fresh working folder and reads back
// what it wrote: the console output and the tree of files below the folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Fixture.h"

namespace cli {

struct Result {
  std::string out;  // everything written to standard output
  int status = -1;  // exit status; -1 when killed by a signal
  int signal = 0;
};

// Path of a file or folder below the sandbox -> contents. Folders appear
// with a trailing "/" and empty contents.
using Tree = std::map<std::string, std::string>;

struct RunOptions {
  std::string binary;            // default: the discsift built with the tests
  long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  unsigned timeoutSeconds = 120;
  std::vector<std::string> env;  // extra "NAME=value" entries for the run
};

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string path(const std::string& rel) const { return dir_ + "/" + rel; }

  void write(const std::string& rel, const fixture::Bytes& b) const;
  void write(const std::string& rel, const fixture::Image& img) const { write(rel, img.bytes()); }
  void mkdir(const std::string& rel) const;
  bool exists(const std::string& rel) const;
  std::string read(const std::string& rel) const;

  // Runs discsift with these arguments, the sandbox as working folder.
  Result run(const std::vector<std::string>& args, const RunOptions& o = {}) const;

  // Everything below rel (default: the whole sandbox), minus the given names.
  Tree tree(const std::string& rel = "", const std::vector<std::string>& skip = {}) const;

 private:
  std::string dir_;
};

std::string str(const fixture::Bytes& b);

// The console lines of a run, built the way the program words them.
std::string banner();
std::string usageLines();  // "No Valid drive letter ..." and the usage text
std::string head(const std::string& imageName, uint64_t size);  // size line and found line
std::string songLines(const std::string& out, int code, int song, const std::string& cleanName,
                      bool folderExists = false);
// Progress lines of the event-list scan for the grid positions in [from, to).
std::string eventScan(int code, uint64_t fileSize, uint64_t from, uint64_t to);
std::string eventScanAll(int code, uint64_t fileSize);
// Progress lines of the take scan for the grid positions in [from, to).
std::string takeScan(int code, uint64_t fileSize, uint64_t from, uint64_t to);
std::string takeScanAll(int code, uint64_t fileSize);
std::string tail();  // "All Files processed, Come Back Soon!!!!\n"

}  // namespace cli
