// Shared header of the extraction modules: the recorder model codes and
// families, the image size, and the extractors that StartStrip runs in order.
#ifndef DISCSIFT_INCLUDE_H
#define DISCSIFT_INCLUDE_H

#include <stdio.h>

// Recorder model codes (VsType). 0 means not recognised.
enum {
  VsUnknown = 0,
  Vs1680 = 1,
  Vs1880 = 2,
  Vs2480 = 3,
  Vs880EX = 4,
  Vs890 = 5,
  Vs2400 = 6,
  Vs880VX = 7,
  Vs2000 = 8
};

// Model families as bit sets over the codes: code n belongs to a set when
// bit n of its mask is 1.
#define Vs1680Family 0x06u
#define Vs880Family 0xB0u
#define Vs2480Family 0x148u
#define Vs1680And880Family 0xB6u
#define Vs1680And2480Family 0x14Eu
#define Vs2480And2400Only 0x48u
#define Vs2000Only 0x100u

#define InFamily(VsType, Mask) (((1u << (VsType)) & (Mask)) != 0)

// Scan grid of the event-list and take scanners: every family's headers sit
// at the same offset inside a 4096-byte block.
#define ScanStep 4096u
#define ScanStart1680 1076u
#define ScanStart880 1572u
#define ScanStart2480 2678u

// Bytes 0x01 to 0x1F, which Windows refuses in a file name.
#define ControlBytes                                                             \
  "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11\x12\x13\x14" \
  "\x15\x16\x17\x18\x19\x1A\x1B\x1C\x1D\x1E\x1F"

// Every composed path lives in a buffer of this size (999 characters + NUL).
#define PathBufLen 1000

// Length of the open image: low 32 bits of its end position.
extern unsigned int FileSize;

void fsize(FILE* file);
void StartStrip(char* InFileName, char* OutFilePath);
unsigned int EvalStringMatch(const unsigned char* SR, unsigned int BufLen,
                             unsigned int SRIndex, const char* StToFind,
                             unsigned int StLen, const char* MaskSt);

void MakeSongFiles(FILE* fin, char* OutFilePath, unsigned char VSType);
unsigned int Char4_L(const unsigned char* Buffer, unsigned int Offset);
void GetEventLists(FILE* fin, char* OutFilePath, unsigned int VsType);
void GetTakes(FILE* fin, char* OutFilePath, unsigned int VsType);
// Where the take whose 48-byte header is Header and whose data begins at
// DataStart ends: before the next copy of the model's Signature, or, when
// none follows, before the first split-file marker block. 0 when neither.
int FindTakeEnd(FILE* fin, unsigned long long DataStart, const unsigned char* Header,
                const char* Signature, unsigned long long* DataStop);
// Copies that take into fout as its data is searched, for a take that
// surely ends at a signature: 1 when it did (*DataStop is then its end).
// Also tests the scan positions in the data it read for take headers: those
// from the data start up to *KnownUpTo hold none except *NextHeader (0: none).
int CopyTakeToEnd(FILE* fin, unsigned long long DataStart, const unsigned char* Header,
                  unsigned int VsType, FILE* fout, const char* OutName,
                  unsigned long long* DataStop, unsigned long long* KnownUpTo,
                  unsigned long long* NextHeader);

// Per-model facts shared by the extractors.
unsigned int ScanStartOf(unsigned int VsType);
unsigned int SongByteBackOf(unsigned int VsType);  // 23 or 25
const char* ExtensionOf(unsigned int VsType);      // ".VR6" ...
const char* SignatureOf(unsigned int VsType);      // "VS1680" ...

#endif
