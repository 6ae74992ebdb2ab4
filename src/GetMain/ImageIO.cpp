// Positioned reads of the image, block searches, and checked output writes.
#include "ImageIO.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "include.h"

#ifdef _WIN32
#include <direct.h>
#else
#include <sys/stat.h>
#include <sys/types.h>
#endif

int SeekTo(FILE* f, ImagePos Pos) {
#ifdef _WIN32
  int r = _fseeki64(f, (long long)Pos, SEEK_SET);
#else
  int r = fseeko(f, (off_t)Pos, SEEK_SET);
#endif
  // Some C runtimes leave the end-of-file flag set after a seek.
  clearerr(f);
  return r;
}

ImagePos TellPos(FILE* f) {
#ifdef _WIN32
  long long p = _ftelli64(f);
#else
  off_t p = ftello(f);
#endif
  return p < 0 ? 0 : (ImagePos)p;
}

ImagePos EndPos(FILE* f) {
#ifdef _WIN32
  _fseeki64(f, 0, SEEK_END);
#else
  fseeko(f, 0, SEEK_END);
#endif
  return TellPos(f);
}

unsigned int ReadAt(FILE* fin, ImagePos Pos, void* Buf, unsigned int Len) {
  SeekTo(fin, Pos);
  size_t n = fread(Buf, 1, Len, fin);
  if (n < Len && ferror(fin)) {
    printf("\nERROR reading the image at byte %llu (0x%09llx): the image cannot be read there\n",
           (unsigned long long)(Pos + n), (unsigned long long)(Pos + n));
    exit(0);
  }
  return (unsigned int)n;
}

long FindBytes(const unsigned char* Hay, unsigned long HayLen,
               const unsigned char* Pat, unsigned int PatLen) {
  if (PatLen == 0) return 0;
  if (HayLen < PatLen) return -1;
  const unsigned char* p = Hay;
  const unsigned char* Last = Hay + (HayLen - PatLen);
  while (p <= Last) {
    p = (const unsigned char*)memchr(p, Pat[0], (size_t)(Last - p) + 1);
    if (p == NULL) return -1;
    if (memcmp(p + 1, Pat + 1, PatLen - 1) == 0) return (long)(p - Hay);
    p++;
  }
  return -1;
}

// Search window: the bytes carried over from the previous block, then one block.
static unsigned char SearchBuf[ImageBlock + 64];

int FindInImage(FILE* fin, ImagePos From, const unsigned char* Prefix,
                const char* Pat, unsigned int PatLen, ImagePos* MatchEnd) {
  const unsigned int Keep = PatLen - 1;  // bytes carried between blocks
  memcpy(SearchBuf, Prefix, Keep);
  ImagePos Pos = From;  // image position of SearchBuf[Keep]
  for (;;) {
    unsigned int n = ReadAt(fin, Pos, SearchBuf + Keep, ImageBlock);
    if (n == 0) return 0;
    long Idx = FindBytes(SearchBuf, Keep + n, (const unsigned char*)Pat, PatLen);
    if (Idx >= 0) {
      *MatchEnd = Pos - Keep + (ImagePos)Idx + PatLen;
      return 1;
    }
    if (n < ImageBlock) return 0;
    memmove(SearchBuf, SearchBuf + n, Keep);
    Pos += n;
  }
}

static unsigned char CopyBuf[ImageBlock];

ImagePos CopyImageRange(FILE* fin, ImagePos From, ImagePos Len, FILE* fout,
                        const char* OutName) {
  ImagePos Done = 0;
  while (Done < Len) {
    unsigned int Want = Len - Done < ImageBlock ? (unsigned int)(Len - Done) : ImageBlock;
    unsigned int n = ReadAt(fin, From + Done, CopyBuf, Want);
    WriteOut(fout, CopyBuf, n, OutName);
    Done += n;
    if (n < Want) break;  // end of the image
  }
  return Done;
}

static void WriteFailed(const char* OutName) {
  printf("ERROR writing output file named %s - the disk may be full\n", OutName);
  exit(0);
}

void WriteOut(FILE* fout, const void* Buf, size_t Len, const char* OutName) {
  if (Len != 0 && fwrite(Buf, 1, Len, fout) != Len) WriteFailed(OutName);
}

void CloseOut(FILE* fout, const char* OutName) {
  int Bad = fflush(fout) != 0 || ferror(fout);
  if (fclose(fout) != 0 || Bad) WriteFailed(OutName);
}

void ComposePath(char* NameSt, const char* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  int n = vsnprintf(NameSt, PathBufLen, Fmt, Args);
  va_end(Args);
  if (n < 0 || n >= PathBufLen) {
    printf("ERROR output file name longer than %d characters: %s...\n", PathBufLen - 1, NameSt);
    exit(0);
  }
}

int MakeDir(const char* Path) {
#ifdef _WIN32
  return _mkdir(Path);
#else
  return mkdir(Path, 0777);
#endif
}
