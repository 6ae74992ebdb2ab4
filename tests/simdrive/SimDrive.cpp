#include "SimDrive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "winkernel.h"

namespace simdrive {

namespace {

struct State {
  bool configured = false;
  Drive drive;
  std::vector<std::string> queries;
  std::vector<Open> opens;
  std::vector<Request> requests;
  int counts[3] = {0, 0, 0};
  intptr_t nextHandle = 0x5D0;
  std::vector<intptr_t> handles;
  int closeCalls = 0;
  FILE* medium = nullptr;
  uint32_t mediumSectors = 0;
  FILE* log = nullptr;
};

State& state() {
  static State s;
  return s;
}

void logLine(const std::string& line) {
  State& s = state();
  if (s.log) fprintf(s.log, "%s\n", line.c_str());
}

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
    s += b;
  }
  return s;
}

void openMedium(State& s) {
  if (s.drive.medium == Drive::Medium::File) {
    s.medium = fopen(s.drive.mediumFile.c_str(), "rb");
    if (!s.medium) {
      fprintf(stderr, "simdrive: cannot open the medium %s\n", s.drive.mediumFile.c_str());
      abort();
    }
    fseeko(s.medium, 0, SEEK_END);
    s.mediumSectors = static_cast<uint32_t>((ftello(s.medium) + 2047) / 2048);
  } else if (s.drive.medium == Drive::Medium::Synthetic) {
    s.mediumSectors = s.drive.sectors;
  }
  if (s.drive.toc.empty() && s.drive.medium != Drive::Medium::None) s.drive.toc = tocOf(s.mediumSectors);
}

void reset(State& s) {
  if (s.medium) fclose(s.medium);
  if (s.log) fclose(s.log);
  State fresh;
  s = fresh;
}

// The drive of a test run of the program, from its environment.
State& ready() {
  State& s = state();
  if (s.configured) return s;
  Drive d;
  const char* file = getenv("DISCSIFT_SIMDRIVE");
  if (file && !configureFromFile(file, d)) abort();
  configure(d);
  return s;
}

void readSectors(State& s, uint32_t lba, uint32_t n, uint8_t* out) {
  if (s.drive.medium == Drive::Medium::Synthetic) {
    for (uint32_t k = 0; k < n; k++) syntheticSector(lba + k, out + 2048u * k);
    return;
  }
  memset(out, 0, 2048u * n);
  fseeko(s.medium, static_cast<off_t>(lba) * 2048, SEEK_SET);
  size_t got = fread(out, 1, 2048u * n, s.medium);
  (void)got;  // the zero-padded end of the last sector
}

// The drive's own answer to a command: status, sense and data.
struct Answer {
  uint8_t status = 0;
  std::vector<uint8_t> sense;
  std::vector<uint8_t> data;
};

Answer answer(State& s, const SCSI_PASS_THROUGH_DIRECT& sptd) {
  Answer a;
  const uint8_t* cdb = sptd.Cdb;
  auto check = [&](uint8_t key, uint8_t asc, uint8_t ascq) {
    a.status = 2;
    a.sense = senseOf(key, asc, ascq);
  };
  bool hasMedium = s.drive.medium != Drive::Medium::None;
  switch (cdb[0]) {
    case 0x00:
      if (!hasMedium) check(0x02, 0x3A, 0x01);
      break;
    case 0x43:
      if (!hasMedium) {
        check(0x02, 0x3A, 0x01);
        break;
      }
      a.data = s.drive.toc;
      a.data.resize(std::min<size_t>(a.data.size(), (cdb[7] << 8) | cdb[8]));
      break;
    case 0x28: {
      uint32_t lba = (uint32_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
      uint32_t n = (cdb[7] << 8) | cdb[8];
      if (!hasMedium) {
        check(0x02, 0x3A, 0x01);
      } else if (uint64_t(lba) + n > s.mediumSectors) {
        check(0x05, 0x21, 0x00);  // logical block address out of range
      } else {
        a.data.resize(2048u * n);
        readSectors(s, lba, n, a.data.data());
      }
      break;
    }
    default:
      check(0x05, 0x20, 0x00);  // invalid command operation code
  }
  return a;
}

const Rule* ruleFor(State& s, Command c, const uint8_t* cdb) {
  int nth = ++s.counts[static_cast<int>(c)];
  int64_t lba = (int64_t(cdb[2]) << 24) | (cdb[3] << 16) | (cdb[4] << 8) | cdb[5];
  for (const Rule& r : s.drive.script) {
    if (r.command != c || (r.nth != 0 && r.nth != nth)) continue;
    if (r.lba >= 0 && (c != Command::Read10 || r.lba != lba)) continue;
    return &r;
  }
  return nullptr;
}

bool parseByte(const std::string& t, uint8_t& b) {
  char* end = nullptr;
  unsigned long v = strtoul(t.c_str(), &end, 16);
  if (t.empty() || *end || v > 0xFF) return false;
  b = static_cast<uint8_t>(v);
  return true;
}

}  // namespace

Outcome notCarriedOut() {
  Outcome o;
  o.kind = Outcome::NotCarriedOut;
  return o;
}
Outcome checkCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
  Outcome o;
  o.kind = Outcome::CheckCondition;
  o.sense = senseOf(key, asc, ascq);
  return o;
}
Outcome status(uint8_t st) {
  Outcome o;
  o.kind = Outcome::Status;
  o.status = st;
  return o;
}
Outcome deliver(uint32_t bytes) {
  Outcome o;
  o.kind = Outcome::Deliver;
  o.bytes = bytes;
  return o;
}

std::vector<uint8_t> senseOf(uint8_t key, uint8_t asc, uint8_t ascq) {
  std::vector<uint8_t> s(18, 0);
  s[0] = 0x70;  // current error, fixed format
  s[2] = key;
  s[7] = 10;    // additional length
  s[12] = asc;
  s[13] = ascq;
  return s;
}

std::vector<uint8_t> tocOf(uint32_t sectors) {
  return {0x00, 0x12, 0x01, 0x01,
          0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // track 1, data, at 0
          0x00, 0x14, 0xAA, 0x00, uint8_t(sectors >> 24), uint8_t(sectors >> 16),
          uint8_t(sectors >> 8), uint8_t(sectors)};
}

void syntheticSector(uint32_t lba, uint8_t* out) {
  out[0] = uint8_t(lba >> 24);
  out[1] = uint8_t(lba >> 16);
  out[2] = uint8_t(lba >> 8);
  out[3] = uint8_t(lba);
  memset(out + 4, uint8_t(lba * 37u + 11u), 2044);
}

void configure(const Drive& d) {
  State& s = state();
  reset(s);
  s.drive = d;
  s.configured = true;
  openMedium(s);
  if (!d.log.empty()) {
    s.log = fopen(d.log.c_str(), "w");
    if (!s.log) abort();
  }
}

bool configureFromFile(const std::string& path, Drive& d) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "simdrive: cannot read %s\n", path.c_str());
    return false;
  }
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    n++;
    std::istringstream ws(line);
    std::vector<std::string> w;
    for (std::string t; ws >> t;) w.push_back(t);
    if (w.empty() || w[0][0] == '#') continue;
    bool ok = true;
    const std::string& k = w[0];
    if (k == "optical" && w.size() == 2) {
      d.optical = w[1];
    } else if (k == "open" && w.size() == 2) {
      d.readWrite = w[1] == "rw";
      d.readOnly = w[1] == "rw" || w[1] == "ro";
      ok = d.readOnly || w[1] == "none";
    } else if (k == "medium" && w.size() == 2) {
      d.medium = Drive::Medium::File;
      d.mediumFile = w[1];
    } else if (k == "synthetic" && w.size() == 2) {
      d.medium = Drive::Medium::Synthetic;
      d.sectors = static_cast<uint32_t>(strtoul(w[1].c_str(), nullptr, 10));
    } else if (k == "tocbytes") {
      for (size_t i = 1; i < w.size() && ok; i++) {
        uint8_t b = 0;
        ok = parseByte(w[i], b);
        d.toc.push_back(b);
      }
    } else if (k == "on" && w.size() >= 4) {
      Rule r;
      if (w[1] == "tur") r.command = Command::TestUnitReady;
      else if (w[1] == "toc") r.command = Command::ReadToc;
      else if (w[1] == "read10") r.command = Command::Read10;
      else ok = false;
      if (w[2][0] == '#') r.nth = atoi(w[2].c_str() + 1);
      else if (w[2][0] == '@') r.lba = atoll(w[2].c_str() + 1);
      else ok = ok && w[2] == "*";
      uint8_t b[3] = {0, 0, 0};
      if (w[3] == "fail" && w.size() == 4) r.outcome = notCarriedOut();
      else if (w[3] == "check" && w.size() == 7 && parseByte(w[4], b[0]) && parseByte(w[5], b[1]) &&
               parseByte(w[6], b[2]))
        r.outcome = checkCondition(b[0], b[1], b[2]);
      else if (w[3] == "status" && w.size() == 5 && parseByte(w[4], b[0])) r.outcome = status(b[0]);
      else if (w[3] == "deliver" && w.size() == 5)
        r.outcome = deliver(static_cast<uint32_t>(strtoul(w[4].c_str(), nullptr, 10)));
      else ok = false;
      d.script.push_back(r);
    } else if (k == "image-to-null" && w.size() == 2) {
      d.imageToNull = w[1];
    } else if (k == "no-buffer" && w.size() == 1) {
      d.noBuffer = true;
    } else if (k == "log" && w.size() == 2) {
      d.log = w[1];
    } else {
      ok = false;
    }
    if (!ok) {
      fprintf(stderr, "simdrive: %s:%d: cannot read \"%s\"\n", path.c_str(), n, line.c_str());
      return false;
    }
  }
  return true;
}

const std::vector<std::string>& driveTypeQueries() { return state().queries; }
const std::vector<Open>& opens() { return state().opens; }
const std::vector<Request>& requests() { return state().requests; }
int openHandles() { return static_cast<int>(state().handles.size()); }
int closeCalls() { return state().closeCalls; }
bool noBuffer() { return ready().drive.noBuffer; }

}  // namespace simdrive

using namespace simdrive;

UINT GetDriveTypeA(LPCSTR lpRootPathName) {
  State& s = ready();
  // The letter as passed, even a NUL (open_volume's name goes on after it).
  std::string root = std::string(1, lpRootPathName[0]) + std::string(lpRootPathName + 1);
  s.queries.push_back(root);
  bool optical = root.size() == 3 && root[1] == ':' && root[2] == '\\' &&
                 s.drive.optical.find(root[0]) != std::string::npos;
  UINT type = optical ? DRIVE_CDROM : DRIVE_NO_ROOT_DIR;
  std::string shown = root[0] ? root : "\\0" + root.substr(1);
  logLine("GetDriveTypeA " + shown + " -> " + std::to_string(type));
  return type;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  State& s = ready();
  std::string name = lpFileName;
  bool ours = name.size() == 6 && name.compare(0, 4, "\\\\.\\") == 0 && name[5] == ':' &&
              s.drive.optical.find(name[4]) != std::string::npos;
  bool write = (dwDesiredAccess & GENERIC_WRITE) != 0;
  bool granted = ours && (write ? s.drive.readWrite : s.drive.readOnly);
  s.opens.push_back(Open{name, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                         dwFlagsAndAttributes, lpSecurityAttributes != nullptr,
                         hTemplateFile != nullptr, granted});
  char access[16];
  snprintf(access, sizeof access, "%08X", dwDesiredAccess);
  logLine("CreateFileA " + name + " " + access + (granted ? " -> opened" : " -> refused"));
  if (!granted) return INVALID_HANDLE_VALUE;
  if (!s.drive.imageToNull.empty()) {
    unlink(s.drive.imageToNull.c_str());
    if (symlink("/dev/null", s.drive.imageToNull.c_str()) != 0) abort();
  }
  intptr_t h = s.nextHandle++;
  s.handles.push_back(h);
  return reinterpret_cast<HANDLE>(h);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                     DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                     LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  State& s = ready();
  if (!lpInBuffer || !lpOutBuffer) {
    logLine("DeviceIoControl -> refused: no request block");
    return FALSE;
  }
  Request r;
  memset(&r.block, 0, sizeof r.block);
  memcpy(&r.block, lpInBuffer, std::min<size_t>(nInBufferSize, sizeof r.block));
  r.code = dwIoControlCode;
  r.inSize = nInBufferSize;
  r.outSize = nOutBufferSize;
  r.sameBuffers = lpInBuffer == lpOutBuffer;
  const SCSI_PASS_THROUGH_DIRECT& in = r.block.sptd;
  r.transferZeroed = true;
  if (in.DataBuffer && in.DataTransferLength) {
    const uint8_t* p = static_cast<const uint8_t*>(in.DataBuffer);
    r.transferZeroed = p[0] == 0 && memcmp(p, p + 1, in.DataTransferLength - 1) == 0;
  }
  s.requests.push_back(r);
  std::string line = "DeviceIoControl CDB " + hex(in.Cdb, std::min<size_t>(in.CdbLength, 16));

  bool open = false;
  for (intptr_t h : s.handles) open |= reinterpret_cast<HANDLE>(h) == hDevice;
  bool wellFormed = open && dwIoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT && !lpOverlapped &&
                    r.sameBuffers && nInBufferSize >= sizeof(SCSI_PASS_THROUGH_DIRECT) &&
                    nOutBufferSize >= sizeof(SCSI_PASS_THROUGH_DIRECT) &&
                    in.Length == sizeof(SCSI_PASS_THROUGH_DIRECT) && in.CdbLength >= 1 &&
                    in.CdbLength <= 16 && in.SenseInfoOffset >= sizeof(SCSI_PASS_THROUGH_DIRECT) &&
                    in.SenseInfoOffset + in.SenseInfoLength <= nOutBufferSize;
  if (!wellFormed) {
    logLine(line + " -> refused: not a well-formed request");
    return FALSE;
  }

  // Scripted commands; any other is answered as the drive would.
  const Rule* rule = nullptr;
  if (in.Cdb[0] == 0x00) rule = ruleFor(s, Command::TestUnitReady, in.Cdb);
  if (in.Cdb[0] == 0x43) rule = ruleFor(s, Command::ReadToc, in.Cdb);
  if (in.Cdb[0] == 0x28) rule = ruleFor(s, Command::Read10, in.Cdb);
  Outcome o = rule ? rule->outcome : Outcome{};
  if (o.kind == Outcome::NotCarriedOut) {
    logLine(line + " -> not carried out");
    return FALSE;
  }

  Answer a;
  uint32_t lba = (uint32_t(in.Cdb[2]) << 24) | (in.Cdb[3] << 16) | (in.Cdb[4] << 8) | in.Cdb[5];
  uint32_t count = (in.Cdb[7] << 8) | in.Cdb[8];
  bool plainRead = in.Cdb[0] == 0x28 && o.kind == Outcome::Normal && s.drive.medium != Drive::Medium::None &&
                   uint64_t(lba) + count <= s.mediumSectors && in.DataIn == SCSI_IOCTL_DATA_IN &&
                   in.DataBuffer && in.DataTransferLength == 2048u * count;
  if (plainRead) {
    // The common case, straight into the caller's buffer.
    readSectors(s, lba, count, static_cast<uint8_t*>(in.DataBuffer));
    SCSI_PASS_THROUGH_DIRECT* out = static_cast<SCSI_PASS_THROUGH_DIRECT*>(lpOutBuffer);
    out->ScsiStatus = 0;
    out->SenseInfoLength = 0;
    if (lpBytesReturned) *lpBytesReturned = sizeof *out;
    logLine(line + " -> status 00");
    return TRUE;
  }
  if (o.kind == Outcome::CheckCondition) {
    a.status = 2;
    a.sense = o.sense;
  } else if (o.kind == Outcome::Status) {
    a.status = o.status;
  } else {
    a = answer(s, in);
    if (o.kind == Outcome::Deliver) {
      a.status = 0;
      a.sense.clear();
      a.data.resize(std::min<size_t>(a.data.size(), o.bytes));
    }
  }

  uint8_t* block = static_cast<uint8_t*>(lpOutBuffer);
  SCSI_PASS_THROUGH_DIRECT* out = static_cast<SCSI_PASS_THROUGH_DIRECT*>(lpOutBuffer);
  size_t n = in.DataIn == SCSI_IOCTL_DATA_IN && in.DataBuffer
                 ? std::min<size_t>(a.data.size(), in.DataTransferLength)
                 : 0;
  if (n) memcpy(in.DataBuffer, a.data.data(), n);
  size_t sn = std::min<size_t>(a.sense.size(), in.SenseInfoLength);
  if (sn) memcpy(block + in.SenseInfoOffset, a.sense.data(), sn);
  out->ScsiStatus = a.status;
  out->SenseInfoLength = static_cast<UCHAR>(sn);
  out->DataTransferLength = static_cast<ULONG>(n);
  if (lpBytesReturned) *lpBytesReturned = static_cast<DWORD>(sn ? in.SenseInfoOffset + sn : sizeof *out);
  char st[32];
  snprintf(st, sizeof st, " -> status %02X", a.status);
  logLine(line + st + (sn ? ", sense " + hex(a.sense.data(), sn) : std::string()));
  return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
  State& s = ready();
  s.closeCalls++;
  for (size_t i = 0; i < s.handles.size(); i++)
    if (reinterpret_cast<HANDLE>(s.handles[i]) == hObject) {
      s.handles.erase(s.handles.begin() + static_cast<long>(i));
      logLine("CloseHandle -> closed");
      return TRUE;
    }
  logLine("CloseHandle -> not an open handle");
  return FALSE;
}
