// The ELF reader: an ELF executable of either class and either byte order
// into the image model; and the merger that makes the fixed outputs' load
// image (one text image, one data image, the bss range) from its segments.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "bytemap.hpp"
#include "image.hpp"
#include "source.hpp"
#include "result.hpp"

// Which allocated sections of ELF inputs to place instead of their
// segments: with `keep` empty, every one but those `remove` names. Names
// may use * and ?.
struct sectionChoice {
  std::vector<std::string> keep;
  std::vector<std::string> remove;
  // How many sections each name matched, counted over every ELF input.
  std::vector<size_t> keepHits;
  std::vector<size_t> removeHits;
  bool active() const { return !keep.empty() || !remove.empty(); }
};

// True when `head` starts with the ELF magic.
bool isElf(std::span<const uint8_t> head);

// Reads the ELF file `in` into `img`: its loadable segments (or, with
// `sections` active, the chosen sections) and, for the first input, its
// entry and byte order. The loader's lines ("before swap ...", "sz ...")
// go to `log`; a failure is the loader's line. `img.elfType` is set as
// soon as the header is read, so that a caller can explain a refusal. Any
// file is read as ELF, 32-bit unless it has the magic and says 64. With
// `symbols`, the defined symbols of its symbol table go to img.symbols.
status readElf(inputSource& in, image& img, std::string& log, sectionChoice& sections, bool symbols = false);

// The load image of the fixed outputs. Addresses and lengths are 32-bit;
// byte k of the text image lies at offset k of `text` (likewise for data),
// holes reading as zero. The zero tail trimmed off into bss is not held.
struct elfImage {
  byteMap text;
  byteMap data;
  uint32_t textAddr = 0;
  uint32_t dataAddr = 0;
  uint32_t textLen = 0;
  uint32_t dataLen = 0;   // data bytes up to the last nonzero one
  uint32_t bssAddr = 0;   // the zero tail taken off the data image
  uint32_t bssLen = 0;
  uint32_t entryAddr = 0;

  byteSource textBytes() const { return {&text, 0, textLen}; }
  byteSource dataBytes() const { return {&data, 0, dataLen}; }
};

// Merges the loadable segments of `img` (a 32-bit executable) into the load
// image: the executable ones into the text image, the others into the data
// image, then trims the data's zero tail. Its warnings go to `echo` in
// blocks as they come, or to `log` without one (and, when the merge fails,
// those not yet written); a failure is the merger's line. Work and memory
// follow the segments, never the address span.
result<elfImage> eatPh(const image& img, std::string& log, FILE* echo = nullptr);

// Writes the layout of `img` to standard output (a debugging aid).
void dumpImage(const elfImage& img);

// True when [off, off + size) lies within [0, limit); cannot overflow.
bool fits(uint64_t off, uint64_t size, uint64_t limit);

// The host's ELF data encoding: ELFDATA2LSB or ELFDATA2MSB.
int hostorder();

uint16_t swap16(uint16_t v);
uint32_t swap32(uint32_t v);
uint64_t swap64(uint64_t v);
void swapEh(Elf32_Ehdr* h);
void swapEh(Elf64_Ehdr* h);
void swapPh(Elf32_Phdr* p);
void swapPh(Elf64_Phdr* p);
