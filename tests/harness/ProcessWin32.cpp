// Sandbox folders and program runs on Windows (also under Wine).
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <thread>

#include "Process.h"

namespace cli::os {

namespace {

// One argument as the C runtime's command-line parser reads it back:
// quotes around anything with blanks or quotes (or nothing at all), a
// backslash before each quote, and backslashes doubled before a quote.
std::string quoteArg(const std::string& a) {
  if (!a.empty() && a.find_first_of(" \t\n\v\"") == std::string::npos) return a;
  std::string q = "\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < a.size() && a[i] == '\\') ++i, ++backslashes;
    if (i == a.size()) {
      q.append(backslashes * 2, '\\');
      break;
    }
    if (a[i] == '"') {
      q.append(backslashes * 2 + 1, '\\');
    } else {
      q.append(backslashes, '\\');
    }
    q.push_back(a[i]);
  }
  q.push_back('"');
  return q;
}

std::string lastError(const char* what) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%s failed, error %lu", what, GetLastError());
  return buf;
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
  }
  void close() {
    if (h != INVALID_HANDLE_VALUE && h != nullptr) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
};

}  // namespace

std::string makeTempDir(const std::string& prefix) {
  static unsigned counter = 0;
  for (int tries = 0; tries < 1000; tries++) {
    char name[64];
    std::snprintf(name, sizeof name, "%lx-%lx-%x", GetCurrentProcessId(), GetTickCount(), counter++);
    std::string dir = (std::filesystem::temp_directory_path() / (prefix + name)).string();
    if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error(lastError("CreateDirectoryA"));
  }
  throw std::runtime_error("no free name for a temporary folder");
}

bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string name(const std::filesystem::path& p) {
  // The library would give UTF-8; a name with bytes 0x80 to 0xFF would then
  // neither compare nor open.
  const std::wstring w = p.generic_wstring();
  if (w.empty()) return "";
  const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  if (n == 0 || WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                                    nullptr) != n)
    throw std::runtime_error(lastError("WideCharToMultiByte"));
  return s;
}

Result run(const std::string& bin, const std::vector<std::string>& args, const std::string& dir,
           const RunOptions& o) {
  if (o.fileSizeLimit >= 0) throw std::logic_error("a file size limit can only be set on POSIX systems");

  // The program is started in another folder: name it in full first (under
  // Wine this also turns a Unix path into a drive path).
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(bin.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) throw std::runtime_error(lastError("GetFullPathNameA"));

  std::string cmd = quoteArg(full);
  for (const std::string& a : args) cmd += " " + quoteArg(a);

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle outRead, outWrite, in, err;
  if (!CreatePipe(&outRead.h, &outWrite.h, &inherit, 1 << 16)) throw std::runtime_error(lastError("CreatePipe"));
  SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);
  in.h = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(), &err.h, 0,
                       TRUE, DUPLICATE_SAME_ACCESS))
    err.h = INVALID_HANDLE_VALUE;

  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in.h;
  si.hStdOutput = outWrite.h;
  si.hStdError = err.h;
  PROCESS_INFORMATION pi{};
  std::vector<char> cmdLine(cmd.begin(), cmd.end());
  cmdLine.push_back(0);
  // The child inherits this process's environment: set the run's variables
  // for the moment of its creation.
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  for (const auto& e : o.env) {
    char old[32768];
    SetLastError(0);
    DWORD len = GetEnvironmentVariableA(e.first.c_str(), old, sizeof old);
    bool unset = len == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
    saved.emplace_back(e.first, unset ? std::nullopt : std::optional<std::string>(std::string(old, len)));
    SetEnvironmentVariableA(e.first.c_str(), e.second.c_str());
  }
  std::fflush(nullptr);
  BOOL started = CreateProcessA(full, cmdLine.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi);
  DWORD startError = GetLastError();
  for (auto it = saved.rbegin(); it != saved.rend(); ++it)
    SetEnvironmentVariableA(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
  SetLastError(startError);
  if (!started) throw std::runtime_error(lastError("CreateProcessA") + " for " + cmd);
  Handle process, thread;
  process.h = pi.hProcess;
  thread.h = pi.hThread;
  outWrite.close();  // the pipe ends when the child's copy closes

  Result r;
  std::thread reader([&] {
    char buf[65536];
    DWORD got;
    while (ReadFile(outRead.h, buf, sizeof buf, &got, nullptr) && got > 0) r.out.append(buf, got);
  });
  bool timedOut = WaitForSingleObject(process.h, o.timeoutSeconds * 1000u) == WAIT_TIMEOUT;
  if (timedOut) {
    TerminateProcess(process.h, 1);
    WaitForSingleObject(process.h, INFINITE);
  }
  reader.join();
  DWORD code = 0;
  if (!timedOut && GetExitCodeProcess(process.h, &code)) r.status = static_cast<int>(code);
  return r;
}

}  // namespace cli::os
