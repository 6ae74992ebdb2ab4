// The operating-system side of the sandbox: a private temporary folder, and
// running a program in it with its standard output captured. One
// implementation for POSIX systems, one for Windows.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace cli {

struct Result {
  std::string out;  // everything written to standard output
  int status = -1;  // exit status; -1 when killed by a signal or timed out
  int signal = 0;   // POSIX: the signal that ended the run
};

struct RunOptions {
  std::string binary;            // default: the discsift built with the tests
  long fileSizeLimit = -1;       // POSIX only: RLIMIT_FSIZE in bytes, SIGXFSZ ignored
  unsigned timeoutSeconds = 120;
  std::vector<std::pair<std::string, std::string>> env;  // set for the run
};

namespace os {

// Creates a new, empty folder below the system's temporary folder whose name
// starts with prefix, and returns its path.
std::string makeTempDir(const std::string& prefix);

// Whether anything (file, folder, dangling link) exists at path.
bool exists(const std::string& path);

// A path found in the file system, spelt as the program's own byte strings
// spell it, "/" between the names. On Windows these are the bytes of the
// ANSI code page, which the C runtime's file functions take.
std::string name(const std::filesystem::path& p);

// Runs bin with args in the folder dir and returns what it wrote to standard
// output, exactly as written (no line-end conversion), and how it ended.
Result run(const std::string& bin, const std::vector<std::string>& args, const std::string& dir,
           const RunOptions& o);

}  // namespace os

// Standard output as the program meant it: Windows writes every "\n" to a
// text-mode stream as "\r\n", so each "\r\n" goes back to "\n"; a lone "\r"
// (the end of a progress line) stays.
std::string fromTextMode(const std::string& out);

}  // namespace cli
