// Opening the image, recognising the recorder that wrote it, and running the
// three extractors on it in order.
#include <stdio.h>
#include <string.h>

#include "ImageIO.h"
#include "include.h"

unsigned int FileSize;

// End position of the image, kept whole so that an image of 4 GiB or more
// can be refused instead of measured modulo 2^32.
static ImagePos ImageEnd;

void fsize(FILE* file) {
  ImageEnd = EndPos(file);
  FileSize = (unsigned int)ImageEnd;
}

struct VsModel {
  const char* Signature;
  const char* Message;
  unsigned char Code;
};

// In the order the signatures are compared.
static const VsModel Models[] = {
    {"VS1680", "Found a Roland 1680 backup file\n", Vs1680},
    {"VS1880", "Found a Roland 1880 backup file\n", Vs1880},
    {"VS2480", "Found a Roland 2480 backup file\n", Vs2480},
    {"VS-8EX", "Found a Roland 880EX backup file\n", Vs880EX},
    {"VSR880", "Found a Roland 890 backup file\n", Vs890},
    {"VS2000", "Found a Roland 2000 backup file\n", Vs2000},
    {"VS2400", "Found a Roland 2400 backup file\n", Vs2400},
    {"VS-880", "Found a Roland 880VX backup file\n", Vs880VX},
};

const char* SignatureOf(unsigned int VsType) {
  for (const VsModel& m : Models)
    if (m.Code == VsType) return m.Signature;
  return "";
}

const char* ExtensionOf(unsigned int VsType) {
  static const char* const Ext[] = {"", ".VR6", ".VR5", ".VR1", ".VR9",
                                    ".VR7", ".VR1", ".VR8", ".VR1"};
  return VsType < 9 ? Ext[VsType] : "";
}

unsigned int ScanStartOf(unsigned int VsType) {
  if (InFamily(VsType, Vs2480Family)) return ScanStart2480;
  if (InFamily(VsType, Vs880Family)) return ScanStart880;
  return ScanStart1680;
}

unsigned int SongByteBackOf(unsigned int VsType) {
  return InFamily(VsType, Vs2480Family) ? 25u : 23u;
}

unsigned int EvalStringMatch(const unsigned char* SR, unsigned int BufLen,
                             unsigned int SRIndex, const char* StToFind,
                             unsigned int StLen, const char* MaskSt) {
  unsigned int j = (SRIndex + BufLen - StLen) % BufLen;
  for (unsigned int k = 0; k < StLen; k++) {
    unsigned char Want = (unsigned char)StToFind[k];
    if (MaskSt[k] == '1' && SR[j] != Want) return 0;
    if (MaskSt[k] == '2' && SR[j] == Want) return 0;
    if (++j == BufLen) j = 0;
  }
  return 1;
}

// Position of the first non-zero byte of the image, or 0 with *Found clear
// when the image holds nothing but zero bytes.
static ImagePos FirstNonZero(FILE* fin, int* Found) {
  static unsigned char Block[1 << 16];
  ImagePos Pos = 0;
  *Found = 0;
  for (;;) {
    unsigned int n = ReadAt(fin, Pos, Block, sizeof Block);
    for (unsigned int i = 0; i < n; i++)
      if (Block[i] != 0) {
        *Found = 1;
        return Pos + i;
      }
    if (n < sizeof Block) return 0;
    Pos += n;
  }
}

void StartStrip(char* InFileName, char* OutFilePath) {
  static char StreamBuf[1 << 16];
  FILE* fin = fopen(InFileName, "rb");
  // A folder opens as a stream on some systems, but holds no image.
  if (fin != NULL && IsFolder(fin)) {
    fclose(fin);
    fin = NULL;
  }
  if (fin == NULL) {
    printf("Input .iso or .hex File Not Found\n");
    return;
  }
  setvbuf(fin, StreamBuf, _IOFBF, sizeof StreamBuf);
  fsize(fin);
  if (ImageEnd > 0xFFFFFFFFull) {
    printf("Input file %s is %llu bytes: images of 4 GiB or more are not supported\n",
           InFileName, ImageEnd);
    fclose(fin);
    return;
  }
  OpenImageWindow(fin);
  printf("size = %09x\n", FileSize);
  printf("\n\n\n%s Input File Found - Now Stripping Roland FileSystem\n\n", InFileName);
  rewind(fin);

  int Found;
  ImagePos First = FirstNonZero(fin, &Found);
  if (!Found) {
    printf("This is not a valid roland backup file - No Data\n");
    CloseImageWindow();
    fclose(fin);
    return;
  }

  // The signature: up to six bytes, stopping after a line feed or at the end.
  // Read like every other read of the image, so that an unreadable sector
  // here is reported rather than taken for a short text.
  char TypeVS[7];
  unsigned int SigLen = ReadAt(fin, First, TypeVS, 6);
  TypeVS[SigLen] = 0;
  char* LineFeed = (char*)memchr(TypeVS, '\n', SigLen);
  if (LineFeed != NULL) LineFeed[1] = 0;

  unsigned char FileType = VsUnknown;
  for (const VsModel& m : Models)
    if (strcmp(TypeVS, m.Signature) == 0) {
      printf("%s", m.Message);
      FileType = m.Code;
      break;
    }
  if (FileType == VsUnknown) printf("This is not a valid roland backup file\n");

  if (FileType != VsUnknown) {
    MakeSongFiles(fin, OutFilePath, FileType);
    GetEventLists(fin, OutFilePath, FileType);
    GetTakes(fin, OutFilePath, FileType);
  }
  printf("All Files processed, Come Back Soon!!!!\n");
  CloseImageWindow();
  fclose(fin);
}
