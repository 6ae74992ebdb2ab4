#include "Cli.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

Sandbox::Sandbox() {
  std::string tmpl = (fs::temp_directory_path() / "discsift-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  dir_ = buf.data();
}

Sandbox::~Sandbox() {
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void Sandbox::write(const std::string& rel, const fixture::Bytes& b) const {
  fixture::writeFile(path(rel), b);
}

void Sandbox::mkdir(const std::string& rel) const { fs::create_directories(path(rel)); }

bool Sandbox::exists(const std::string& rel) const {
  struct stat st;
  return lstat(path(rel).c_str(), &st) == 0;
}

std::string Sandbox::read(const std::string& rel) const { return str(fixture::readFile(path(rel))); }

Result Sandbox::run(const std::vector<std::string>& args, const RunOptions& o) const {
  std::string bin = o.binary.empty() ? std::string(DISCSIFT_BIN) : o.binary;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (chdir(dir_.c_str()) != 0) _exit(127);
    if (o.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl;
      rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(o.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    for (const std::string& e : o.env) putenv(const_cast<char*>(e.c_str()));
    alarm(o.timeoutSeconds);  // survives exec: a hung run is killed
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(bin.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  close(fds[1]);
  Result r;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
  return r;
}

Tree Sandbox::tree(const std::string& rel, const std::vector<std::string>& skip) const {
  Tree t;
  fs::path root = rel.empty() ? fs::path(dir_) : fs::path(path(rel));
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = fs::relative(it->path(), root).generic_string();
    bool skipped = false;
    for (const std::string& s : skip) skipped |= name == s;
    if (skipped) {
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory())
      t[name + "/"] = "";
    else
      t[name] = str(fixture::readFile(it->path().string()));
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

std::string tail() { return "All Files processed, Come Back Soon!!!!\n"; }

}  // namespace cli
