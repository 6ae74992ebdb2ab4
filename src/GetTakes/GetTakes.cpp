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
// Windows refuses the control bytes in a file name as well.
#ifdef _WIN32
static const char TakeNumUnsafe[] = "/\\:*?\"<>|" ControlBytes;
#else
static const char TakeNumUnsafe[] = "/\\:*?\"<>|";
#endif

// The block that ends a take continued on the next disc of the backup.
static const unsigned char SplitFileMarker[10] = {0x54, 0x44, 0x49, 0x01, 0x50,
                                                  0x01, 0x01, 0x01, 0x01, 0x80};

int FindTakeEnd(FILE* fin, ImagePos DataStart, const unsigned char* Header,
                const char* Signature, ImagePos* DataStop) {
  // The end search's ring still holds the header, so its first windows take
  // in header bytes 43 to 47 before the data's own bytes.
  ImagePos MatchEnd;
  if (FindInImage(fin, DataStart, Header + 43, Signature, 6, &MatchEnd)) {
    // A signature spelt partly by the header bytes leaves no audio.
    *DataStop = MatchEnd - 6 < DataStart ? DataStart : MatchEnd - 6;
    return 1;
  }
  // No signature up to the end of the image: the take goes on on the next
  // disc, and ends at the first 16-byte block that holds the split-file
  // marker. A last block cut short by the end of the image still counts
  // when it holds the whole marker.
  return FindBlockInImage(fin, DataStart, 16, SplitFileMarker, sizeof SplitFileMarker, DataStop);
}

static int IsTakeHeader(const unsigned char* Buffer, unsigned int VsType) {
  if (InFamily(VsType, Vs2480And2400Only))
    return EvalStringMatch(Buffer, 48, 11, Take2480, 11, Take2480Mask) == 1;
  if (InFamily(VsType, Vs2000Only))
    return EvalStringMatch(Buffer, 48, 11, Take2000, 11, Take2000Mask) == 1;
  return memcmp(Buffer, "TAKE", 4) == 0;
}

int CopyTakeToEnd(FILE* fin, ImagePos DataStart, const unsigned char* Header, unsigned int VsType,
                  FILE* fout, const char* OutName, ImagePos* DataStop, ImagePos* KnownUpTo,
                  ImagePos* NextHeader) {
  const unsigned char* Signature = (const unsigned char*)SignatureOf(VsType);
  const unsigned int Keep = 5;  // bytes that may begin a signature the next view completes
  const ImagePos Start = ScanStartOf(VsType);
  // The first scan position in the data, and whether the copy still tests them.
  ImagePos Grid = DataStart <= Start ? Start : Start + (DataStart - Start + ScanStep - 1) / ScanStep * ScanStep;
  int Looking = 1;
  *NextHeader = 0;
  *KnownUpTo = Grid;

  // The data is searched and written where the image is read into; each
  // view begins with the last Keep bytes of the one before.
  ImagePos Pos = DataStart;      // image position of the view's first byte
  ImagePos Written = DataStart;  // the take file holds the data up to here
  for (;;) {
    const unsigned char* View;
    const unsigned int n = ViewAt(fin, Pos, Keep + 1, &View);
    const ImagePos Read = Pos + n;  // the data read so far ends here
    int Found = 0;
    ImagePos SigAt = 0;
    // The ring still holds header bytes 43 to 47: a signature they begin
    // ends within the first data bytes and leaves no audio.
    if (Pos == DataStart && FindFromPrefix(Header + 43, View, n, Signature, 6) >= 0) Found = 1, SigAt = DataStart;
    if (!Found) {
      const long Idx = FindBytes(View, n, Signature, 6);
      if (Idx >= 0) Found = 1, SigAt = Pos + (ImagePos)Idx;
    }

    // Scan positions whose 48 bytes lie in the view: the scan need not read them again.
    for (; Looking && Grid + 48 <= Read; Grid += ScanStep) {
      if (Grid < Pos) {
        Looking = 0;  // a header across two views: from here on the scan reads for itself
        break;
      }
      if (IsTakeHeader(View + (Grid - Pos), VsType)) {
        *NextHeader = Grid;
        Looking = 0;
        *KnownUpTo = Grid + 1;
        break;
      }
      *KnownUpTo = Grid + ScanStep;
    }

    // The data up to the signature, or up to the last bytes of the view,
    // which may begin a signature that the next view completes. A view
    // shorter than asked for ends at the end of the image.
    const int AtEnd = n <= Keep;
    const ImagePos Stop = Found ? SigAt : AtEnd ? Read : Read - Keep;
    if (Stop > Written) {
      WriteOut(fout, View + (Written - Pos), (size_t)(Stop - Written), OutName);
      Written = Stop;
    }
    if (Found || AtEnd) {
      *DataStop = Written;
      return Found;
    }
    Pos = Written;
  }
}

void GetTakes(FILE* fin, char* OutFilePath, unsigned int VsType) {
  unsigned char Buffer[48];
  char TakeNum[7];
  char NameSt[PathBufLen];
  const int Is2480 = InFamily(VsType, Vs2480Family);
  const unsigned int NumAt = Is2480 ? 2 : 4, NumLen = Is2480 ? 6 : 4;
  const ImagePos DataOffset = Is2480 ? 21898 : InFamily(VsType, Vs880Family) ? 27100 : 23500;
  const char* Signature = SignatureOf(VsType);

  // Where the image's last signature begins, once a take asks: a take whose
  // data starts at or before it surely ends at a signature, so its file can
  // be opened before the end is found and its data copied as it is searched.
  ImagePos LastSignature = 0;
  int LastSignatureKnown = 0, HasSignature = 0;
  // What the last streamed copy learned: the scan positions from KnownFrom
  // up to KnownUpTo hold no header, except NextHeader.
  ImagePos KnownFrom = 0, KnownUpTo = 0, NextHeader = 0;

  rewind(fin);
  for (ImagePos MainStep = ScanStartOf(VsType); MainStep < FileSize;) {
    PrintProgress((unsigned int)MainStep, FileSize, 9);
    const ImagePos H = MainStep;
    MainStep += ScanStep;

    if (H >= KnownFrom && H < KnownUpTo && H != NextHeader) continue;
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

    if (!LastSignatureKnown) {
      HasSignature = FindLastInImage(fin, Signature, 6, &LastSignature);
      LastSignatureKnown = 1;
    }
    const int Streamed = HasSignature && LastSignature >= DataStart;
    ImagePos DataStop = 0;
    if (!Streamed && !FindTakeEnd(fin, DataStart, Buffer, Signature, &DataStop)) return;

    ComposePath(NameSt, "%sSONG%d/%s%s%s", OutFilePath, (int)SongNum, Is2480 ? "TK" : "TAKE",
                TakeNum, ExtensionOf(VsType));
    FILE* fout = fopen(NameSt, "ab+");
    if (fout == NULL) {
      printf("ERROR creating TAKE output file named %s\n", NameSt);
      exit(0);
    }
    // The data goes out in the large blocks it is copied in.
    setvbuf(fout, NULL, _IONBF, 0);
    printf("Writing TAKE file %s\n", NameSt);
    if (Streamed) {
      // The scan positions between the header and the data, tested while
      // the image window still holds them (the copy moves it on). When it
      // holds them all, they join what the copy learns of the data.
      ImagePos GapHeader = 0;
      int GapKnown = 1;
      for (ImagePos G = H + ScanStep; G < DataStart && G < FileSize; G += ScanStep) {
        unsigned char Gap[48];
        if (!HeldInWindow(fin, G, 48)) {
          GapKnown = 0;
          break;
        }
        if (ReadAt(fin, G, Gap, 48) == 48 && IsTakeHeader(Gap, VsType)) {
          GapHeader = G;
          break;
        }
      }
      CopyTakeToEnd(fin, DataStart, Buffer, VsType, fout, NameSt, &DataStop, &KnownUpTo, &NextHeader);
      KnownFrom = GapKnown ? H + ScanStep : DataStart;
      if (GapKnown && GapHeader != 0) {
        NextHeader = GapHeader;
        KnownUpTo = GapHeader + 1;
      }
    } else {
      CopyImageRange(fin, DataStart, DataStop - DataStart, fout, NameSt);
      KnownUpTo = 0;
    }
    CloseOut(fout, NameSt);
  }
}
