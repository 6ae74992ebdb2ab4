#include "Cli.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#ifndef DISCSIFT_BIN
#error "DISCSIFT_BIN must name the discsift binary under test"
#endif

namespace cli {

namespace fs = std::filesystem;

Sandbox::Sandbox() : dir_(os::makeTempDir("discsift-test-")) {}

Sandbox::~Sandbox() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void Sandbox::write(const std::string& rel, const fixture::Bytes& b) const {
  fixture::writeFile(path(rel), b);
}

void Sandbox::mkdir(const std::string& rel) const { fs::create_directories(path(rel)); }

bool Sandbox::exists(const std::string& rel) const { return os::exists(path(rel)); }

std::string Sandbox::read(const std::string& rel) const { return str(fixture::readFile(path(rel))); }

Result Sandbox::run(const std::vector<std::string>& args, const RunOptions& o) const {
  Result r = os::run(o.binary.empty() ? std::string(DISCSIFT_BIN) : o.binary, args, dir_, o);
#ifdef _WIN32
  r.out = fromTextMode(r.out);
#endif
  return r;
}

std::string fromTextMode(const std::string& out) {
  std::string s;
  s.reserve(out.size());
  for (size_t i = 0; i < out.size(); i++)
    if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) s += out[i];
  return s;
}

Tree Sandbox::tree(const std::string& rel, const std::vector<std::string>& skip) const {
  Tree t;
  fs::path root = rel.empty() ? fs::path(dir_) : fs::path(path(rel));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = os::name(fs::relative(it->path(), root));
    bool skipped = false;
    for (const std::string& s : skip) skipped |= name == s;
    if (skipped) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory())
      t[name + "/"] = "";
    else
      t[name] = str(fixture::readFile(os::name(it->path())));
  }
  return t;
}

std::string str(const fixture::Bytes& b) { return std::string(b.begin(), b.end()); }

static std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static std::string format(const char* fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string banner() { return std::string("Discsift version ") + DISCSIFT_VERSION + "\n"; }

std::string usageLines() {
  return "No Valid drive letter or file name specified\n"
         "\nUsage: Discsift [filename.iso (output path)] or [drive letter] (output path)\n";
}

std::string head(const std::string& imageName, uint64_t size) {
  return format("size = %09x\n", static_cast<unsigned>(size)) +
         "\n\n\n" + imageName + " Input File Found - Now Stripping Roland FileSystem\n\n";
}

std::string songLines(const std::string& out, int code, int song, const std::string& cleanName,
                      bool folderExists) {
  const fixture::Model& m = fixture::model(code);
  std::string folder = out + "SONG" + std::to_string(song);
  std::string s = folderExists ? "Unable to create song subdirectory named " + folder + ".. already exists?\n"
                               : "Subdirectory created named " + folder + "\n";
  s += "Writing SONG.VRx file " + folder + "/SONG" + m.ext + "\n";
  std::string nameFile = out.empty() ? folder + "/" + cleanName + ".txt"
                                     : out + "/SONG" + std::to_string(song) + "/" + cleanName + ".txt";
  s += "Writing NAME file " + nameFile + "\n";
  return s;
}

std::string eventScan(int code, uint64_t fileSize, uint64_t from, uint64_t to) {
  std::string s;
  uint64_t start = fixture::model(code).scanStart;
  for (uint64_t p = start; p < to && p < fileSize; p += 4096)
    if (p >= from)
      s += format("Searching at %08x File End at %08x\r", static_cast<unsigned>(p),
                  static_cast<unsigned>(fileSize));
  return s;
}

std::string eventScanAll(int code, uint64_t fileSize) {
  return eventScan(code, fileSize, 0, fileSize) + "\nEventlist processing finished\n";
}

std::string takeScan(int code, uint64_t fileSize, uint64_t from, uint64_t to) {
  std::string s;
  uint64_t start = fixture::model(code).scanStart;
  for (uint64_t p = start; p < to && p < fileSize; p += 4096)
    if (p >= from)
      s += format("Searching at %09x File End at %09x\r", static_cast<unsigned>(p),
                  static_cast<unsigned>(fileSize));
  return s;
}

std::string takeScanAll(int code, uint64_t fileSize) { return takeScan(code, fileSize, 0, fileSize); }

std::string takeFound() { return "\nTAKE FILE found, preparing to write\n"; }

std::string tail() { return "All Files processed, Come Back Soon!!!!\n"; }

std::string levelLines([[maybe_unused]] const Sandbox& box, const std::string& prepared) {
  std::string s;
  for (size_t j = 3; j < prepared.size(); j++) {
    if (prepared[j] != '/' && prepared[j] != '\\') continue;
    const std::string level = prepared.substr(0, j + 1);
#ifdef _WIN32
    if (!box.exists(level)) {
      s += "Unable to create subdirectory named " + level + ".. already exists?\n";
      continue;
    }
#endif
    s += "Subdirectory created named " + level + "\n";
  }
  return s;
}

std::string songFileRefused(const std::string& out, int code, int song) {
  const std::string folder = out + "SONG" + std::to_string(song);
  return "Unable to create song subdirectory named " + folder + ".. already exists?\n" +
         "ERROR creating SONG output file named " + folder + "/SONG" + fixture::model(code).ext + "\n";
}

}  // namespace cli
