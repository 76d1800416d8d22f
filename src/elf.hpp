// ELF image loader: reads a 32-bit ELF executable of either byte order and
// merges its loadable segments into one text image and one data image.
#pragma once

#include <elf.h>

#include <cstdint>
#include <span>

// The load image. Addresses and lengths are in host order; the bytes stay in
// file order. Byte k of the text image belongs to address textAddr + k, and
// likewise for data. The text buffer holds textLen bytes, the data buffer at
// least dataLen: the zero tail trimmed off into bss is not held.
struct elfImage {
  uint8_t* textBytes;  // null when no executable segment was loaded
  uint8_t* dataBytes;  // null when no other loadable segment was loaded
  uint32_t textAddr;
  uint32_t dataAddr;
  uint32_t textLen;
  uint32_t dataLen;    // data bytes up to the last nonzero one
  uint32_t bssAddr;    // the zero tail taken off the data image
  uint32_t bssLen;
  uint32_t entryAddr;
};

// Loads the executable at `path`. Writes two diagnostic lines to standard
// error on every load that gets far enough; on failure writes one more line
// saying why and returns null. The image is never released.
elfImage* elfRead(const char* path);

// The same load in steps, for callers that also need the segment table:
// elfOpen reads and checks the header and program header table with the
// messages elfRead gives (false after one), elfMerge builds the load image
// from them (null after a message), and elfClose releases the file.
bool elfOpen(const char* path);
elfImage* elfMerge();
void elfClose();

// Holds the loader's lines from now on, writing them (and why) only when a
// load fails: a load that succeeds says nothing.
void elfHold();

// The open file's entry address and program header table, in host order,
// and its byte order: ELFDATA2LSB, or ELFDATA2MSB for any other encoding
// byte, which the loader swaps as big-endian.
uint32_t elfEntry();
int elfOrder();
std::span<const Elf32_Phdr> elfSegments();

// Every byte of the open file (mapped, or read when it cannot be mapped);
// empty when it cannot be had. Check ranges in it with fits().
std::span<const uint8_t> elfFileBytes();

// True when [off, off + size) lies within [0, limit); cannot overflow.
bool fits(uint64_t off, uint64_t size, uint64_t limit);

// Writes the layout of `img` to standard output (a debugging aid).
void dumpImage(const elfImage* img);

// The host's ELF data encoding: ELFDATA2LSB or ELFDATA2MSB.
int hostorder();

uint16_t swap16(uint16_t v);
uint32_t swap32(uint32_t v);
void swapEh(Elf32_Ehdr* h);
void swapPh(Elf32_Phdr* p);
