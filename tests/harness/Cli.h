// Runs the real discsift binary in a fresh working folder and reads back
// what it wrote: the console output and the tree of files below the folder.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Fixture.h"
#include "Process.h"

namespace cli {

// Path of a file or folder below the sandbox -> contents. Folders appear
// with a trailing "/" and empty contents.
using Tree = std::map<std::string, std::string>;

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

  // Runs discsift with these arguments, the sandbox as working folder. On
  // Windows the output comes back through fromTextMode.
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
std::string takeFound();  // "\nTAKE FILE found, preparing to write\n", where a take header is found
std::string tail();  // "All Files processed, Come Back Soon!!!!\n"

// How main reports making the levels of a prepared output path (relative to
// the sandbox): "Subdirectory created named ..." for each. Windows cannot
// make a folder whose path is longer than MAX_PATH (260 characters), and
// its C runtime calls refuse such names: there a level that does not exist
// after the run reads "Unable to create subdirectory named ...".
std::string levelLines(const Sandbox& box, const std::string& prepared);

// The end of a run that can create neither a song's folder nor its record.
std::string songFileRefused(const std::string& out, int code, int song);

}  // namespace cli
