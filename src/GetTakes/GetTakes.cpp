// Takes: a 48-byte header on the 4096-byte scan grid, the audio a fixed
// distance after it, up to the next copy of the model's own signature or,
// where the backup continues on another disc, up to the split-file marker.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ImageIO.h"
#include "include.h"

static const char Take2480[] = "TKxxxxxxVR1";
static const char Take2480Mask[] = "11000000101";
static const char Take2000[] = "TKxxxxxxVS2";
static const char Take2000Mask[] = "11000000101";

// A take number is the header's bytes as they stand; on a damaged image
// these would turn it into a path (a folder below the song folder, or a
// name that cannot be opened and would end the run), so they become "_".
static const char TakeNumUnsafe[] = "/\\:*?\"<>|";

// The block that ends a take continued on the next disc of the backup.
static const unsigned char SplitFileMarker[10] = {0x54, 0x44, 0x49, 0x01, 0x50,
                                                  0x01, 0x01, 0x01, 0x01, 0x80};

// Searches the 16-byte blocks from DataStart on for one that begins with
// the split-file marker. A last block cut short by the end of the image
// still counts when it holds the whole marker.
static int FindSplitMarker(FILE* fin, ImagePos DataStart, ImagePos* DataStop) {
  static unsigned char Block[ImageBlock];
  for (ImagePos Pos = DataStart;; Pos += ImageBlock) {
    unsigned int n = ReadAt(fin, Pos, Block, ImageBlock);
    for (unsigned int b = 0; b + sizeof SplitFileMarker <= n; b += 16)
      if (memcmp(Block + b, SplitFileMarker, sizeof SplitFileMarker) == 0) {
        *DataStop = Pos + b;
        return 1;
      }
    if (n < ImageBlock) return 0;
  }
}

static int IsTakeHeader(const unsigned char* Buffer, unsigned int VsType) {
  if (InFamily(VsType, Vs2480And2400Only))
    return EvalStringMatch(Buffer, 48, 11, Take2480, 11, Take2480Mask) == 1;
  if (InFamily(VsType, Vs2000Only))
    return EvalStringMatch(Buffer, 48, 11, Take2000, 11, Take2000Mask) == 1;
  return memcmp(Buffer, "TAKE", 4) == 0;
}

void GetTakes(FILE* fin, char* OutFilePath, unsigned int VsType) {
  unsigned char Buffer[48];
  char TakeNum[7];
  char NameSt[PathBufLen];
  const int Is2480 = InFamily(VsType, Vs2480Family);
  const unsigned int NumAt = Is2480 ? 2 : 4, NumLen = Is2480 ? 6 : 4;
  const ImagePos DataOffset = Is2480 ? 21898 : InFamily(VsType, Vs880Family) ? 27100 : 23500;
  const char* Signature = SignatureOf(VsType);

  rewind(fin);
  for (ImagePos MainStep = ScanStartOf(VsType); MainStep < FileSize;) {
    printf("Searching at %09x File End at %09x\r", (unsigned int)MainStep, FileSize);
    const ImagePos H = MainStep;
    MainStep += ScanStep;

    // A header cut short by the end of the image is no header.
    if (ReadAt(fin, H, Buffer, 48) < 48 || !IsTakeHeader(Buffer, VsType)) continue;
    printf("\nTAKE FILE found, preparing to write\n");

    memcpy(TakeNum, Buffer + NumAt, NumLen);
    TakeNum[NumLen] = 0;
    for (unsigned int i = 0; TakeNum[i] != 0; i++)
      if (strchr(TakeNumUnsafe, TakeNum[i]) != NULL) TakeNum[i] = '_';
    unsigned char SongByte = 0;
    ReadAt(fin, H - SongByteBackOf(VsType), &SongByte, 1);
    const signed char SongNum = (signed char)SongByte;
    const ImagePos DataStart = H + DataOffset;

    // The end search's ring still holds the header, so its first windows
    // take in header bytes 43 to 47 before the data's own bytes.
    ImagePos DataStop, MatchEnd;
    if (FindInImage(fin, DataStart, Buffer + 43, Signature, 6, &MatchEnd)) {
      DataStop = MatchEnd - 6;
      // A signature spelt partly by the header bytes leaves no audio.
      if (DataStop < DataStart) DataStop = DataStart;
    } else if (!FindSplitMarker(fin, DataStart, &DataStop)) {
      return;
    }

    ComposePath(NameSt, "%sSONG%d/%s%s%s", OutFilePath, (int)SongNum, Is2480 ? "TK" : "TAKE",
                TakeNum, ExtensionOf(VsType));
    FILE* fout = fopen(NameSt, "ab+");
    if (fout == NULL) {
      printf("ERROR creating TAKE output file named %s\n", NameSt);
      exit(0);
    }
    printf("Writing TAKE file %s\n", NameSt);
    CopyImageRange(fin, DataStart, DataStop - DataStart, fout, NameSt);
    CloseOut(fout, NameSt);
  }
}
