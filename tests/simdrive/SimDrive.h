// A simulated optical drive behind the four kernel services of the drive
// code, linked in place of the platform layer: tests give it a disc (an
// image file, made-up sectors or none), a TOC (built from the disc or given
// as raw bytes) and a script of outcomes per command, and read back every
// request block it received.
//
// In-process tests call configure(). A test build of the discsift program
// reads its drive from the file named by the environment variable
// DISCSIFT_SIMDRIVE, one directive a line:
//
//   optical E              letters that name the drive (default E)
//   open rw|ro|none        which opens it allows (default rw: both)
//   medium FILE            the disc is this image (its last sector zero-padded)
//   synthetic N            the disc has N made-up sectors (see syntheticSector)
//   tocbytes HEX...        the TOC response, raw (default: built from the disc)
//   on CMD WHEN OUTCOME    CMD tur, toc or read10; WHEN * (every one), #n (the
//                          nth of its kind) or @lba (the READ(10) of that
//                          chunk); OUTCOME fail (not carried out),
//                          check KEY ASC ASCQ, status XX, deliver N (bytes)
//   image-to-null NAME     when the drive opens, NAME becomes a link to
//                          /dev/null: a long rip then needs no disk space
//   no-buffer              the 65536-byte transfer buffer cannot be allocated
//   log FILE               one line per kernel call
//
// Without a medium line the drive is empty: TEST UNIT READY answers
// NOT READY, medium not present (tray closed).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "my_ntddscsi.h"

namespace simdrive {

enum class Command { TestUnitReady, ReadToc, Read10 };

struct Outcome {
  enum Kind { Normal, NotCarriedOut, CheckCondition, Status, Deliver };
  Kind kind = Normal;
  uint8_t status = 0;          // Status
  std::vector<uint8_t> sense;  // CheckCondition: the sense bytes
  uint32_t bytes = 0;          // Deliver: bytes of the answer that arrive (status GOOD)
};
Outcome notCarriedOut();
Outcome checkCondition(uint8_t key, uint8_t asc, uint8_t ascq);  // fixed-format sense
Outcome status(uint8_t s);
Outcome deliver(uint32_t bytes);

struct Rule {
  Command command;
  int nth = 0;       // the nth command of this kind, from 1; 0: every one
  int64_t lba = -1;  // READ(10) only: the one starting at this sector; -1: any
  Outcome outcome;
};

struct Drive {
  std::string optical = "E";
  bool readWrite = true;
  bool readOnly = true;
  enum class Medium { None, File, Synthetic } medium = Medium::None;
  std::string mediumFile;
  uint32_t sectors = 0;       // Synthetic
  std::vector<uint8_t> toc;   // empty: one data track at 0, lead-out at the end
  std::vector<Rule> script;
  std::string imageToNull;
  bool noBuffer = false;
  std::string log;
};

// A request as it arrived.
struct Request {
  T_SPDT_SBUF block;
  uint32_t code, inSize, outSize;
  bool sameBuffers;      // input and output block are one
  bool transferZeroed;   // the DataTransferLength bytes at DataBuffer were all zero
};

struct Open {
  std::string name;
  uint32_t access, share, disposition, attributes;
  bool security, templ;  // non-NULL security attributes / template handle
  bool granted;
};

// Replaces the drive and forgets every record.
void configure(const Drive& d);
// Reads a drive from a file of directives; false (and a message on
// standard error) when it cannot.
bool configureFromFile(const std::string& path, Drive& d);

const std::vector<std::string>& driveTypeQueries();
const std::vector<Open>& opens();
const std::vector<Request>& requests();
int openHandles();  // handles opened and not yet closed
int closeCalls();   // CloseHandle calls, on any handle

// The 2048 bytes of made-up sector lba: its number, most significant byte
// first, then bytes that depend on it.
void syntheticSector(uint32_t lba, uint8_t* out);
// The TOC of a disc of one data track: header, track 1 at 0, lead-out.
std::vector<uint8_t> tocOf(uint32_t sectors);
// Fixed-format sense data.
std::vector<uint8_t> senseOf(uint8_t key, uint8_t asc, uint8_t ascq);

bool noBuffer();

}  // namespace simdrive
