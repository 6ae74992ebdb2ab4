// Sandbox folders and program runs on POSIX systems.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "Process.h"

namespace cli::os {

std::string makeTempDir(const std::string& prefix) {
  std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string name(const std::filesystem::path& p) { return p.generic_string(); }

Result run(const std::string& bin, const std::vector<std::string>& args, const std::string& dir,
           const RunOptions& o) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (o.fileSizeLimit >= 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl;
      rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(o.fileSizeLimit);
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    for (const auto& e : o.env) setenv(e.first.c_str(), e.second.c_str(), 1);
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

}  // namespace cli::os
