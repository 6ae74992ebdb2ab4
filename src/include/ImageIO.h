// Reading the backup image and writing the carved files.
//
// The image is read through these helpers rather than byte by byte: every
// read names its absolute position, so a stream whose end-of-file flag a
// seek fails to clear cannot confuse the extractors, and a read error of the
// image (a bad sector on an old CD-R) is reported with its byte offset
// instead of being taken for data. Output files are written and closed
// through helpers that report a failed write (a full disk) and end the run,
// so a short take is never followed by a success message.
#ifndef DISCSIFT_IMAGEIO_H
#define DISCSIFT_IMAGEIO_H

#include <stdio.h>

typedef unsigned long long ImagePos;

// Size of the block in which the searches and copies move through the image.
#define ImageBlock (1u << 20)

// 64-bit positioning of a stream; clears the end-of-file flag as well.
int SeekTo(FILE* f, ImagePos Pos);
ImagePos TellPos(FILE* f);
// Whether the stream was opened on a folder rather than a file or device.
int IsFolder(FILE* f);
// Position of the end of the stream (moves the stream there).
ImagePos EndPos(FILE* f);

// The image window: reads, searches and copies of fin draw on a stretch of
// the image held in memory, from OpenImageWindow until CloseImageWindow
// (call it before the stream is closed). Other streams are read directly.
void OpenImageWindow(FILE* fin);
void CloseImageWindow(void);
// Shrinks the window's read step and capacity (at most ImageBlock and the
// window's own size), so that tests reach its block boundaries with small
// images; the step also sets the block of the searches without a window.
void SetImageBlocks(unsigned int Step, unsigned int Cap);

// Reads up to Len bytes at Pos into Buf and returns how many were read; a
// short count means the image ends there. A read error ends the process
// after a message that names the byte offset. Where the stream stands
// afterwards is not defined: reposition it before reading it directly.
unsigned int ReadAt(FILE* fin, ImagePos Pos, void* Buf, unsigned int Len);

// Whether ReadAt of these bytes would be served by the window without
// reading the image.
int HeldInWindow(FILE* fin, ImagePos Pos, unsigned int Len);

// Makes the image from Pos on readable in place, for a search that goes on
// at the last bytes of the previous view: returns how many bytes are held
// from Pos (at least Need, a few bytes and at most 64, unless the image
// ends first) and sets *At to the first. They stay valid until the next
// read of fin.
unsigned int ViewAt(FILE* fin, ImagePos Pos, unsigned int Need, const unsigned char** At);

// Searches the byte stream made of Prefix (PatLen - 1 bytes left over from
// an earlier read) followed by the image from From to its end, for the first
// occurrence of Pat that takes in at least one image byte. Returns 1 and the
// image position just past the occurrence in *MatchEnd, or 0 when the image
// ends first.
int FindInImage(FILE* fin, ImagePos From, const unsigned char* Prefix,
                const char* Pat, unsigned int PatLen, ImagePos* MatchEnd);

// Searches the blocks of BlockLen bytes that follow one another from From
// for the first whose first PatLen bytes are Pat (PatLen at most BlockLen).
// A last block cut short by the end of the image counts when it holds those
// PatLen bytes. Returns 1 and the block's position in *BlockAt, or 0.
int FindBlockInImage(FILE* fin, ImagePos From, unsigned int BlockLen, const unsigned char* Pat,
                     unsigned int PatLen, ImagePos* BlockAt);

// Position of the last occurrence of Pat in the image, searched from its end.
int FindLastInImage(FILE* fin, const char* Pat, unsigned int PatLen, ImagePos* Start);

// Bytes per read of the block searches and copies: ImageBlock, unless a test
// made it smaller with SetImageBlocks.
unsigned int ImageStep(void);

// Copies Len bytes of the image from From to fout, stopping early only at
// the end of the image. Returns the number of bytes copied.
ImagePos CopyImageRange(FILE* fin, ImagePos From, ImagePos Len, FILE* fout,
                        const char* OutName);

// Writes Len bytes to an output file; a failed write ends the process.
void WriteOut(FILE* fout, const void* Buf, size_t Len, const char* OutName);
// Closes an output file; a failed close (data not stored) ends the process.
void CloseOut(FILE* fout, const char* OutName);

// The scanners' progress line "Searching at %0Nx File End at %0Nx\r" with
// N = Digits hexadecimal digits. It is printed for every grid position, so
// it is formatted by hand: printf would cost more than testing the position.
void PrintProgress(unsigned int Pos, unsigned int End, unsigned int Digits);

// Gives the console output a large buffer when it goes to a file or a pipe
// rather than to a terminal, which keeps showing the progress as it comes.
void BufferConsole(void);

// Composes a path into a PathBufLen buffer with a printf format; a path
// that would not fit ends the process with a message naming it.
void ComposePath(char* NameSt, const char* Fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// First occurrence of Pat (PatLen bytes) in Hay, or -1.
long FindBytes(const unsigned char* Hay, unsigned long HayLen,
               const unsigned char* Pat, unsigned int PatLen);
// An occurrence of Pat that begins in Prefix (PatLen - 1 bytes left in a
// search ring) and ends in the Avail bytes that follow it: its index in
// Prefix, or -1. PatLen is at most 64.
long FindFromPrefix(const unsigned char* Prefix, const unsigned char* Bytes, unsigned long Avail,
                    const unsigned char* Pat, unsigned int PatLen);

// Creates one directory; 0 when it was created.
int MakeDir(const char* Path);

#endif
