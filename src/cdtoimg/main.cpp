// Discsift: rips a Roland VS backup CD into an image, or carves an image
// into one folder per song. The first argument picks the job by its length.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ImageIO.h"
#include "cdtoimg.h"
#include "include.h"

void usage() {
  printf("\nUsage: Discsift [filename.iso (output path)] or [drive letter] (output path)\n");
}

int main(int argc, char** argv) {
  char OutPath[PathBufLen];
  char IsoName[7] = "cd.hex";  // the ripped disc, in the working folder

  BufferConsole();
  printf("Discsift version %s\n", DISCSIFT_VERSION);
  if (argc < 2) {
    printf("No Valid drive letter or file name specified\n");
    usage();
    exit(0);
  }

  OutPath[0] = 0;
  if (argc == 3) {
    unsigned int n = (unsigned int)strlen(argv[2]);
    int HasSep = n > 0 && (argv[2][n - 1] == '/' || argv[2][n - 1] == '\\');
    if (n + (HasSep ? 0 : 1) > PathBufLen - 1) {
      printf("Output path is too long: at most %d characters are supported\n", PathBufLen - 1);
      exit(0);
    }
    strcpy(OutPath, argv[2]);
    if (!HasSep) {
      OutPath[n++] = '/';
      OutPath[n] = 0;
    }
    // Create each directory level, shortest first; the first three
    // characters (a drive prefix such as C:\) are never a level of their own.
    for (unsigned int j = 3; j < n; j++) {
      if (OutPath[j] != '/' && OutPath[j] != '\\') continue;
      char Save = OutPath[j + 1];
      OutPath[j + 1] = 0;
      if (MakeDir(OutPath) == 0)
        printf("Subdirectory created named %s\n", OutPath);
      else
        printf("Unable to create subdirectory named %s.. already exists?\n", OutPath);
      OutPath[j + 1] = Save;
    }
  }

  if (strlen(argv[1]) >= 3) {
    StartStrip(argv[1], OutPath);
    exit(0);
  }

  // Disc mode: rip the drive into IsoName, carve it, delete it. An old
  // image is deleted first, so a failed rip never carves a stale one.
  remove(IsoName);
  printf("\nStarting Strip process - need to create .hex\n\n");
  // The buffer starts on a page boundary inside its block: the kernel then
  // moves the drive's data straight into it, not through a bounce buffer.
  unsigned char* DataBlock = (unsigned char*)malloc(DATA_BUF_SIZE + DATA_BUF_ALIGN);
  data_buf = DataBlock == NULL ? NULL
                               : (unsigned char*)(((uintptr_t)DataBlock + DATA_BUF_ALIGN - 1) &
                                                  ~(uintptr_t)(DATA_BUF_ALIGN - 1));
  if (data_buf == NULL) {
    printf("Could not allocate the %u-byte transfer buffer: the disc is not read\n", DATA_BUF_SIZE);
    exit(0);
  }
  if (read_cd_to_image(argv[1][0], IsoName, DATA_BUF_SIZE)) printf("Process finished.");
  StartStrip(IsoName, OutPath);
  printf("\nDeleting temporary cd.hex file\n");
  remove(IsoName);
  free(DataBlock);
  exit(0);
}
