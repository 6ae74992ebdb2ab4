// libFuzzer target: one whole image-mode run of discsift per input.
//
// The input is written as an image file and discsift's own main runs on it
// ("discsift run/in.iso run/out"), so recognition, the song list, the event
// lists and the takes all see it exactly as a user's image. The carver ends
// the process on its own (exit(0) at the end of the run, after "ERROR
// creating ...", after a failed write or read); the link wraps exit so that
// such an end comes back here by longjmp, and wraps fopen/fclose so that the
// streams it left open are closed before the next input.
//
// Checked on every input, besides the sanitizers and libFuzzer's -timeout:
//   - every end is status 0;
//   - nothing is created outside the output path: the working folder holds
//     only run/, run/ only the image and out/, and the image is unchanged;
//   - below the output path there are only song folders SONG<n> holding
//     regular files (no other folder, no link).
#include <dirent.h>
#include <fcntl.h>
#include <setjmp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

int DiscsiftMain(int argc, char** argv);  // src/cdtoimg/main.cpp, renamed

extern "C" {
[[noreturn]] void __real_exit(int status);
FILE* __real_fopen(const char* path, const char* mode);
FILE* __real_fopen64(const char* path, const char* mode);
int __real_fclose(FILE* f);
}

namespace {

jmp_buf RunEnd;
bool InRun = false;
int ExitStatus = -1;
std::vector<FILE*> OpenStreams;  // opened by the carver during this run
std::string Root;                // private temporary folder of this process
int HomeDir = -1;                // libFuzzer's working folder (corpus, artifacts)

void Fail(const char* what, const std::string& detail) {
  fprintf(stderr, "\nPROPERTY VIOLATED: %s: %s\n", what, detail.c_str());
  abort();
}

FILE* Track(FILE* f) {
  if (InRun && f != nullptr) OpenStreams.push_back(f);
  return f;
}

void RemoveRoot() {
  if (Root.empty()) return;
  std::error_code ec;
  fs::remove_all(Root, ec);
}

bool IsSongFolderName(const std::string& n) {
  if (n.compare(0, 4, "SONG") != 0) return false;
  size_t i = 4;
  if (i < n.size() && n[i] == '-') i++;
  if (i == n.size()) return false;
  for (; i < n.size(); i++)
    if (n[i] < '0' || n[i] > '9') return false;
  return true;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

void CheckTree(size_t imageSize) {
  for (const std::string& n : Entries("."))
    if (n != "run") Fail("created outside the output path", n);
  for (const std::string& n : Entries("run"))
    if (n != "in.iso" && n != "out") Fail("created outside the output path", "run/" + n);
  struct stat st;
  if (lstat("run/in.iso", &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size != imageSize)
    Fail("image changed", "run/in.iso");
  if (lstat("run/out", &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) Fail("output path is not a folder", "run/out");
  for (const fs::directory_entry& song : fs::directory_iterator("run/out")) {
    std::string name = song.path().filename().string();
    if (!song.is_directory() || song.is_symlink() || !IsSongFolderName(name))
      Fail("not a song folder below the output path", name);
    for (const fs::directory_entry& f : fs::directory_iterator(song.path()))
      if (!f.is_regular_file() || f.is_symlink())
        Fail("not a regular file in a song folder", f.path().string());
  }
}

}  // namespace

extern "C" {

[[noreturn]] void __wrap_exit(int status) {
  if (InRun) {
    InRun = false;
    ExitStatus = status;
    longjmp(RunEnd, 1);
  }
  __real_exit(status);
}

FILE* __wrap_fopen(const char* path, const char* mode) { return Track(__real_fopen(path, mode)); }
FILE* __wrap_fopen64(const char* path, const char* mode) { return Track(__real_fopen64(path, mode)); }

int __wrap_fclose(FILE* f) {
  for (size_t i = 0; i < OpenStreams.size(); i++)
    if (OpenStreams[i] == f) {
      OpenStreams.erase(OpenStreams.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  return __real_fclose(f);
}

int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "discsift-fuzz-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (mkdtemp(buf.data()) == nullptr) Fail("setup", "mkdtemp");
  Root = buf.data();
  atexit(RemoveRoot);
  HomeDir = open(".", O_RDONLY | O_DIRECTORY);
  if (HomeDir < 0) Fail("setup", "open .");
  // The carver's console output is not checked here; keep it off the log.
  if (getenv("DISCSIFT_FUZZ_VERBOSE") == nullptr) {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0) Fail("setup", "/dev/null");
    close(null);
  }
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each run works in the private folder; libFuzzer's own files stay where
  // it was started.
  if (chdir(Root.c_str()) != 0) Fail("setup", "chdir");
  if (mkdir("run", 0777) != 0) Fail("setup", "mkdir run");
  int fd = open("run/in.iso", O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0 || (size > 0 && write(fd, data, size) != (ssize_t)size) || close(fd) != 0)
    Fail("setup", "writing run/in.iso");

  char prog[] = "discsift", image[] = "run/in.iso", out[] = "run/out";
  char* argv[] = {prog, image, out, nullptr};
  ExitStatus = -1;
  if (setjmp(RunEnd) == 0) {
    InRun = true;
    DiscsiftMain(3, argv);
    InRun = false;
    Fail("main returned", "it must end the process");
  }
  fflush(stdout);
  while (!OpenStreams.empty()) __wrap_fclose(OpenStreams.back());
  if (ExitStatus != 0) Fail("exit status", std::to_string(ExitStatus));

  CheckTree(size);
  std::error_code ec;
  fs::remove_all("run", ec);
  if (ec) Fail("cleanup", ec.message());
  if (fchdir(HomeDir) != 0) Fail("cleanup", "fchdir");
  return 0;
}

}  // extern "C"
