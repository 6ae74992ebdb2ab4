// Event lists: a 10-byte header on the 4096-byte scan grid gives the list's
// length and song; the data starts at the "TAKE EVENT LIST " marker (1680 and
// 2480 families) or at the first non-empty 16-byte block (880 family).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ImageIO.h"
#include "include.h"

#define EventListCap 1000000u

unsigned int Char4_L(const unsigned char* Buffer, unsigned int Offset) {
  unsigned int Val = Buffer[Offset];
  Val |= (unsigned int)Buffer[Offset + 1] << 8;
  Val |= (unsigned int)Buffer[Offset + 2] << 16;
  Val |= (unsigned int)Buffer[Offset + 3] << 24;
  return Val;
}

static const char EventDataStart[17] = "TAKE EVENT LIST ";

// A list starts a few dozen bytes after its header: the block search first
// looks at this many bytes, which the image window holds already.
#define NearRead 4096u

// 880 family: the first 16-byte block holding a non-zero byte, in blocks
// from From on. A block cut short by the end of the image ends the search.
static int FindFirstNonEmptyBlock(FILE* fin, ImagePos From, ImagePos* DataStart) {
  static unsigned char Block[ImageBlock];
  unsigned int Want = NearRead;
  for (ImagePos Pos = From;; Pos += Want, Want = ImageBlock) {
    unsigned int n = ReadAt(fin, Pos, Block, Want);
    for (unsigned int b = 0; b + 16 <= n; b += 16)
      for (unsigned int i = 0; i < 16; i++)
        if (Block[b + i] != 0) {
          *DataStart = Pos + b;
          return 1;
        }
    if (n < Want) return 0;
  }
}

void GetEventLists(FILE* fin, char* OutFilePath, unsigned int VsType) {
  static const char* const Headers[] = {"EVENTLSTVR", "EVENTLSTVS", "EVENTLS0VR"};
  unsigned char Buffer[100];
  char NameSt[PathBufLen];
  const int Is2480 = InFamily(VsType, Vs2480Family);
  const char* ListName = VsType == Vs880VX ? "EVENTLS0" : "EVENTLST";

  memset(Buffer, 0, sizeof Buffer);
  rewind(fin);
  for (ImagePos MainStep = ScanStartOf(VsType); MainStep < FileSize; MainStep += ScanStep) {
    PrintProgress((unsigned int)MainStep, FileSize, 8);

    const ImagePos H = MainStep;
    if (ReadAt(fin, H, Buffer, 10) < 10) continue;
    int IsHeader = 0;
    for (const char* Text : Headers) IsHeader |= memcmp(Buffer, Text, 10) == 0;
    if (!IsHeader) continue;

    // The 50 bytes after the header text; what the image does not hold reads as 0.
    unsigned int Got = ReadAt(fin, H + 10, Buffer, 50);
    memset(Buffer + Got, 0, 50 - Got);
    const unsigned int FileLen = Char4_L(Buffer, Is2480 ? 44 : 36);

    // Step back from where the read stopped to the song-number byte.
    const ImagePos SongAt = H + 10 + Got - (Is2480 ? 85 : 83);
    unsigned char SongByte = 0;
    ReadAt(fin, SongAt, &SongByte, 1);
    const signed char SongNum = (signed char)SongByte;

    ImagePos DataStart;
    if (InFamily(VsType, Vs880Family)) {
      if (!FindFirstNonEmptyBlock(fin, (SongAt + 1 + 256) & ~(ImagePos)255, &DataStart)) return;
    } else {
      // The marker ring is Buffer's first 32 bytes, still holding the 50-byte
      // read: the first windows take in its bytes 17 to 31.
      ImagePos MatchEnd;
      if (!FindInImage(fin, SongAt + 1, Buffer + 17, EventDataStart, 16, &MatchEnd)) return;
      DataStart = MatchEnd - 16;
    }

    if (FileLen > EventListCap) {
      printf("DANGER WILL MARQUOD!!! EVENT LIST OVERFLOW%08lX\n", (unsigned long)FileLen);
      return;
    }

    ComposePath(NameSt, "%sSONG%d/%s%s", OutFilePath, (int)SongNum, ListName, ExtensionOf(VsType));
    FILE* fout = fopen(NameSt, "wb");
    if (fout == NULL) {
      printf("ERROR creating EVENTLST output file named %s\n", NameSt);
      exit(0);
    }
    printf("\nWriting EVENTLST file %s\n", NameSt);
    ImagePos Copied = CopyImageRange(fin, DataStart, FileLen, fout, NameSt);
    CloseOut(fout, NameSt);
    if (Copied < FileLen)
      printf("WARNING: the image ends inside this event list: %s holds %llu of its %u bytes\n",
             NameSt, Copied, FileLen);
  }
  printf("\nEventlist processing finished\n");
}
