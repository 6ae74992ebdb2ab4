// The song list at the start of the image: one folder per song, holding the
// song's record (SONG.VRx) and a text file named after the song.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ImageIO.h"
#include "include.h"

// Song names become file names: these characters would not survive that.
// Windows refuses a double quote and the control bytes in a file name as
// well; there a name holding one would stop the whole carve.
#ifdef _WIN32
static const char NameUnsafe[] = "/\\*.?<>|,:;\"" ControlBytes;
#else
static const char NameUnsafe[] = "/\\*.?<>|,:;";
#endif

void MakeSongFiles(FILE* fin, char* OutFilePath, unsigned char VSType) {
  unsigned char Record[45];
  char SongName[13];
  char NameSt[PathBufLen];
  unsigned int FileLen, SongNum, NumAt, NameAt;
  ImagePos Pos;
  FILE* fout;

  // Record layout per family: size, song-number byte, 12 name bytes.
  if (InFamily(VSType, Vs2480Family)) {
    Pos = 44, FileLen = 44, NumAt = 9, NameAt = 10;
  } else if (InFamily(VSType, Vs1680Family)) {
    Pos = 42, FileLen = 38, NumAt = 5, NameAt = 6;
  } else {
    Pos = 42, FileLen = 20, NumAt = 5, NameAt = 6;
  }

  for (;; Pos += FileLen) {
    // An image that ends inside the list ends the list: a part record is
    // not a song.
    if (ReadAt(fin, Pos, Record, FileLen) < FileLen) return;
    SongNum = (unsigned int)(int)(signed char)Record[NumAt];
    memcpy(SongName, Record + NameAt, 12);
    if (SongName[0] == 0) return;

    ComposePath(NameSt, "%sSONG%d", OutFilePath, (int)SongNum);
    if (MakeDir(NameSt) != 0)
      printf("Unable to create song subdirectory named %s.. already exists?\n", NameSt);
    else
      printf("Subdirectory created named %s\n", NameSt);

    ComposePath(NameSt, "%sSONG%d/SONG%s", OutFilePath, (int)SongNum, ExtensionOf(VSType));
    fout = fopen(NameSt, "wb");
    if (fout == NULL) {
      printf("ERROR creating SONG output file named %s\n", NameSt);
      exit(0);
    }
    printf("Writing SONG.VRx file %s\n", NameSt);
    WriteOut(fout, Record, FileLen, NameSt);
    CloseOut(fout, NameSt);

    // Trailing blanks off (position 0 always stays), then make it a file name.
    unsigned int i = 11;
    while (i != 0 && SongName[i] == ' ') i--;
    SongName[i + 1] = 0;
    for (i = 0; SongName[i] != 0; i++)
      if (strchr(NameUnsafe, SongName[i]) != NULL) SongName[i] = '_';

    if (OutFilePath[0] != 0)
      ComposePath(NameSt, "%s/SONG%d/%s.txt", OutFilePath, (int)SongNum, SongName);
    else
      ComposePath(NameSt, "SONG%d/%s.txt", (int)SongNum, SongName);
    fout = fopen(NameSt, "w");
    if (fout == NULL) {
      printf("ERROR creating NAME file named %s\n", NameSt);
      exit(0);
    }
    printf("Writing NAME file %s\n", NameSt);
    fprintf(fout, "This directory has files for a song named %s", SongName);
    CloseOut(fout, NameSt);
  }
}
