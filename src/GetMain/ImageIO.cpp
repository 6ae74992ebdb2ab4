// Positioned reads of the image, block searches, and checked output writes.
#include "ImageIO.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "include.h"

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#endif

// 64-bit positioning of a stream.
static int Seek64(FILE* f, long long Offset, int Whence) {
#ifdef _WIN32
  return _fseeki64(f, Offset, Whence);
#else
  return fseeko(f, (off_t)Offset, Whence);
#endif
}

int SeekTo(FILE* f, ImagePos Pos) {
  int r = Seek64(f, (long long)Pos, SEEK_SET);
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

int IsFolder(FILE* f) {
#ifdef _WIN32
  (void)f;  // a folder cannot be opened as a stream there
  return 0;
#else
  struct stat St;
  return fstat(fileno(f), &St) == 0 && S_ISDIR(St.st_mode);
#endif
}

ImagePos EndPos(FILE* f) {
  Seek64(f, 0, SEEK_END);
  return TellPos(f);
}

static void ReadFailed(ImagePos At) {
  printf("\nERROR reading the image at byte %llu (0x%09llx): the image cannot be read there\n",
         (unsigned long long)At, (unsigned long long)At);
  exit(0);
}

// Reads straight from the stream, bypassing the window. Where the system
// reads a file at a position (pread), the bytes go from the file straight
// into Buf, without a seek and without a pass through the stream's buffer.
// The stream itself reads what pread leaves: the end of the image (so that
// its end-of-file flag is set as by a plain read), or a stream that is not
// a positionable file.
static unsigned int ReadDirect(FILE* fin, ImagePos Pos, void* Buf, unsigned int Len) {
  unsigned int Done = 0;
#ifndef _WIN32
  const int Fd = fileno(fin);
  while (Fd >= 0 && Done < Len) {
    ssize_t n = pread(Fd, (unsigned char*)Buf + Done, Len - Done, (off_t)(Pos + Done));
    if (n > 0)
      Done += (unsigned int)n;
    else if (n == 0 || (errno == ESPIPE && Done == 0))
      break;
    else if (errno != EINTR)
      ReadFailed(Pos + Done);
  }
  if (Done == Len) return Done;
#endif
  SeekTo(fin, Pos + Done);
  size_t n = fread((unsigned char*)Buf + Done, 1, Len - Done, fin);
  if (n < Len - Done && ferror(fin)) ReadFailed(Pos + Done + n);
  return Done + (unsigned int)n;
}

// The image window: a stretch of the image held in memory, read in large
// steps. The scanners' small reads at their grid positions draw on it (one
// read per step instead of a seek and a read per position), and so do the
// searches and copies that start where the scan stands, and the take data,
// which is searched and written where it was read. It is kept small, two
// read steps: a buffer that stays in the processor's caches copies faster
// than a large one, and each of its pages costs a fault when first used.
#define WindowCap (2u << 20)
// Bytes kept before a small read that restarts the window: the song number
// lies a few bytes before the header that the scanner has just found.
#define WindowLookBack 64u
// Reads of at most this many bytes restart the window when it misses them.
#define SmallRead 4096u

static unsigned char Window[WindowCap];
static FILE* WinFile;
static ImagePos WinPos;      // image position of Window[0]
static unsigned int WinLen;  // bytes held
static int WinAtEnd;         // the last read into the window met the end of the image
static unsigned int ReadStep = ImageBlock;  // bytes added to the window per read
static unsigned int WinCap = WindowCap;     // bytes the window may hold
static unsigned int SearchStep = ImageBlock;  // block of the searches without a window

void OpenImageWindow(FILE* fin) {
  WinFile = fin;
  WinPos = 0;
  WinLen = 0;
  WinAtEnd = 0;
}

void CloseImageWindow(void) { OpenImageWindow(NULL); }

void SetImageBlocks(unsigned int Step, unsigned int Cap) {
  ReadStep = Step < 1 ? 1 : Step > ImageBlock ? ImageBlock : Step;
  WinCap = Cap < 64 ? 64 : Cap > WindowCap ? WindowCap : Cap;
  if (ReadStep > WinCap) ReadStep = WinCap;
  SearchStep = ReadStep;
  OpenImageWindow(WinFile);
}

static int InWindow(ImagePos Pos) { return Pos >= WinPos && Pos - WinPos < WinLen; }

// Reads Len more bytes at the window's end.
static void FillWindow(unsigned int Len) {
  unsigned int n = ReadDirect(WinFile, WinPos + WinLen, Window + WinLen, Len);
  WinLen += n;
  WinAtEnd = n < Len;
}

// Starts the window afresh at Pos with at least Need bytes.
static void RestartWindow(ImagePos Pos, unsigned int Need) {
  WinPos = Pos;
  WinLen = 0;
  FillWindow(Need > ReadStep ? Need : ReadStep);
}

// Adds one read step at the window's end. When the window is full, the
// bytes before KeepFrom (which must lie in the window or at its end) are
// dropped first.
static void ExtendWindow(ImagePos KeepFrom) {
  if (WinLen + ReadStep > WinCap) {
    unsigned int Drop = (unsigned int)(KeepFrom - WinPos);
    memmove(Window, Window + Drop, WinLen - Drop);
    WinPos = KeepFrom;
    WinLen -= Drop;
  }
  FillWindow(WinLen + ReadStep > WinCap ? WinCap - WinLen : ReadStep);
}

int HeldInWindow(FILE* fin, ImagePos Pos, unsigned int Len) {
  return fin != NULL && fin == WinFile && Pos >= WinPos && Pos - WinPos <= WinLen &&
         (Pos - WinPos + Len <= WinLen || WinAtEnd);
}

// Bytes of the view of a stream read without the image window.
static unsigned char ViewBuf[ImageBlock];

unsigned int ViewAt(FILE* fin, ImagePos Pos, unsigned int Need, const unsigned char** At) {
  if (fin == NULL || fin != WinFile) {
    *At = ViewBuf;
    return ReadDirect(fin, Pos, ViewBuf, Need > ReadStep ? Need : ReadStep);
  }
  if (Pos < WinPos || Pos - WinPos > WinLen)
    RestartWindow(Pos, Need);
  else
    while (WinPos + WinLen - Pos < Need && !WinAtEnd) ExtendWindow(Pos);
  *At = Window + (Pos - WinPos);
  return (unsigned int)(WinPos + WinLen - Pos);
}

unsigned int ReadAt(FILE* fin, ImagePos Pos, void* Buf, unsigned int Len) {
  if (fin == NULL || fin != WinFile) return ReadDirect(fin, Pos, Buf, Len);
  if (!HeldInWindow(fin, Pos, Len)) {
    unsigned int Back = Pos < WindowLookBack ? (unsigned int)Pos : WindowLookBack;
    if (Len > SmallRead || Back + Len > WinCap) {
      // A large read: what the window holds of its start, then the rest from the file.
      unsigned int Have = InWindow(Pos) ? (unsigned int)(WinPos + WinLen - Pos) : 0;
      memcpy(Buf, Window + (Have ? Pos - WinPos : 0), Have);
      return Have + ReadDirect(fin, Pos + Have, (unsigned char*)Buf + Have, Len - Have);
    }
    RestartWindow(Pos - Back, Back + Len);
  }
  unsigned int Off = (unsigned int)(Pos - WinPos);
  unsigned int n = Off >= WinLen ? 0 : WinLen - Off < Len ? WinLen - Off : Len;
  memcpy(Buf, Window + Off, n);
  return n;
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
    // Audio holds the first byte every few hundred bytes: test the second
    // before calling memcmp.
    if ((PatLen == 1 || p[1] == Pat[1]) && memcmp(p + 1, Pat + 1, PatLen - 1) == 0) return (long)(p - Hay);
    p++;
  }
  return -1;
}

long FindFromPrefix(const unsigned char* Prefix, const unsigned char* Bytes, unsigned long Avail,
                    const unsigned char* Pat, unsigned int PatLen) {
  unsigned char Head[2 * 64];
  const unsigned int Keep = PatLen - 1;
  if (Avail > Keep) Avail = Keep;
  memcpy(Head, Prefix, Keep);
  memcpy(Head + Keep, Bytes, Avail);
  return FindBytes(Head, Keep + Avail, Pat, PatLen);
}

unsigned int ImageStep(void) { return ReadStep; }

// Search window of streams read without the image window: the bytes
// carried over from the previous block, then one block.
static unsigned char SearchBuf[ImageBlock + 64];

static int FindInWindow(ImagePos From, const unsigned char* Prefix, const unsigned char* Pat,
                        unsigned int PatLen, ImagePos* MatchEnd) {
  const unsigned int Keep = PatLen - 1;
  if (!InWindow(From)) RestartWindow(From, ReadStep);
  while (WinPos + WinLen - From < Keep && !WinAtEnd) ExtendWindow(From);
  if (!InWindow(From)) return 0;  // the image ends at From

  // Occurrences that begin in the prefix.
  long Idx = FindFromPrefix(Prefix, Window + (From - WinPos), (unsigned int)(WinPos + WinLen - From), Pat, PatLen);
  if (Idx >= 0) {
    *MatchEnd = From - Keep + (ImagePos)Idx + PatLen;
    return 1;
  }

  // Occurrences that begin at From or later; Next is the first start not yet ruled out.
  ImagePos Next = From;
  for (;;) {
    unsigned int Off = (unsigned int)(Next - WinPos);
    Idx = FindBytes(Window + Off, WinLen - Off, Pat, PatLen);
    if (Idx >= 0) {
      *MatchEnd = Next + (ImagePos)Idx + PatLen;
      return 1;
    }
    if (WinAtEnd) return 0;
    if (WinLen - Off > Keep) Next = WinPos + WinLen - Keep;
    ExtendWindow(Next);
  }
}

int FindInImage(FILE* fin, ImagePos From, const unsigned char* Prefix,
                const char* Pat, unsigned int PatLen, ImagePos* MatchEnd) {
  if (fin != NULL && fin == WinFile)
    return FindInWindow(From, Prefix, (const unsigned char*)Pat, PatLen, MatchEnd);
  const unsigned int Keep = PatLen - 1;  // bytes carried between blocks
  memcpy(SearchBuf, Prefix, Keep);
  ImagePos Pos = From;  // image position of SearchBuf[Keep]
  for (;;) {
    unsigned int n = ReadDirect(fin, Pos, SearchBuf + Keep, SearchStep);
    if (n == 0) return 0;
    long Idx = FindBytes(SearchBuf, Keep + n, (const unsigned char*)Pat, PatLen);
    if (Idx >= 0) {
      *MatchEnd = Pos - Keep + (ImagePos)Idx + PatLen;
      return 1;
    }
    if (n < SearchStep) return 0;
    memmove(SearchBuf, SearchBuf + n, Keep);
    Pos += n;
  }
}

// First block of BlockLen bytes from From on whose first PatLen bytes are
// Pat, searched in the window; see FindBlockInImage.
static int FindBlockInWindow(ImagePos From, unsigned int BlockLen, const unsigned char* Pat,
                             unsigned int PatLen, ImagePos* BlockAt) {
  ImagePos Pos = From;  // the next block to test
  if (!InWindow(Pos)) RestartWindow(Pos, ReadStep);
  for (;;) {
    // Every block whose first PatLen bytes the window holds.
    while (WinPos + WinLen - Pos >= PatLen) {
      if (memcmp(Window + (Pos - WinPos), Pat, PatLen) == 0) {
        *BlockAt = Pos;
        return 1;
      }
      Pos += BlockLen;
      if (Pos - WinPos > WinLen) break;
    }
    if (WinAtEnd) return 0;
    if (Pos - WinPos >= WinLen) {
      RestartWindow(Pos, ReadStep);
      if (WinLen == 0) return 0;
    } else {
      ExtendWindow(Pos);
    }
  }
}

int FindBlockInImage(FILE* fin, ImagePos From, unsigned int BlockLen, const unsigned char* Pat,
                     unsigned int PatLen, ImagePos* BlockAt) {
  if (fin != NULL && fin == WinFile) return FindBlockInWindow(From, BlockLen, Pat, PatLen, BlockAt);
  // Whole blocks per read, so that no block straddles two reads.
  const unsigned int Step = SearchStep < BlockLen ? BlockLen : SearchStep / BlockLen * BlockLen;
  for (ImagePos Pos = From;; Pos += Step) {
    unsigned int n = ReadDirect(fin, Pos, SearchBuf, Step);
    for (unsigned int b = 0; b < n && n - b >= PatLen; b += BlockLen)
      if (memcmp(SearchBuf + b, Pat, PatLen) == 0) {
        *BlockAt = Pos + b;
        return 1;
      }
    if (n < Step) return 0;
  }
}

int FindLastInImage(FILE* fin, const char* Pat, unsigned int PatLen, ImagePos* Start) {
  const unsigned int Keep = PatLen - 1;
  const ImagePos End = EndPos(fin);
  // Blocks from the end backwards, each with the first Keep bytes of the
  // block after it, so that an occurrence across a boundary is seen.
  for (ImagePos To = End; To > 0;) {
    const ImagePos From = To > SearchStep ? To - SearchStep : 0;
    const unsigned int Want = (unsigned int)(To - From) + (End - To < Keep ? (unsigned int)(End - To) : Keep);
    const unsigned int n = ReadDirect(fin, From, SearchBuf, Want);
    long Last = -1;
    for (long At = 0, Idx; (Idx = FindBytes(SearchBuf + At, n - At, (const unsigned char*)Pat, PatLen)) >= 0;
         At = Last + 1)
      Last = At + Idx;
    if (Last >= 0) {
      *Start = From + (ImagePos)Last;
      return 1;
    }
    To = From;
  }
  return 0;
}

static unsigned char CopyBuf[ImageBlock];

ImagePos CopyImageRange(FILE* fin, ImagePos From, ImagePos Len, FILE* fout,
                        const char* OutName) {
  ImagePos Done = 0;
  while (Done < Len) {
    const ImagePos Pos = From + Done, Left = Len - Done;
    if (fin != NULL && fin == WinFile && InWindow(Pos)) {
      // Straight out of the window.
      ImagePos n = WinPos + WinLen - Pos < Left ? WinPos + WinLen - Pos : Left;
      WriteOut(fout, Window + (Pos - WinPos), (size_t)n, OutName);
      Done += n;
      continue;
    }
    unsigned int Want = Left < ImageBlock ? (unsigned int)Left : ImageBlock;
    // Bytes before the window are read up to its start only.
    if (fin == WinFile && Pos < WinPos && WinLen != 0 && WinPos - Pos < Want)
      Want = (unsigned int)(WinPos - Pos);
    unsigned int n = ReadDirect(fin, Pos, CopyBuf, Want);
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

static char* PutHex(char* At, unsigned int Val, unsigned int Digits) {
  static const char Hex[] = "0123456789abcdef";
  for (unsigned int i = Digits; i-- > 0; Val >>= 4) At[i] = Hex[Val & 15];
  return At + Digits;
}

void PrintProgress(unsigned int Pos, unsigned int End, unsigned int Digits) {
  char Line[64];
  char* p = Line;
  memcpy(p, "Searching at ", 13);
  p = PutHex(p + 13, Pos, Digits);
  memcpy(p, " File End at ", 13);
  p = PutHex(p + 13, End, Digits);
  *p++ = '\r';
  fwrite(Line, 1, (size_t)(p - Line), stdout);
}

void BufferConsole(void) {
#ifdef _WIN32
  const int Terminal = _isatty(_fileno(stdout));
#else
  const int Terminal = isatty(fileno(stdout));
#endif
  static char Buf[1 << 16];
  static int Done;  // a stream's buffer is set before its first output, once
  if (!Terminal && !Done) setvbuf(stdout, Buf, _IOFBF, sizeof Buf);
  Done = 1;
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
