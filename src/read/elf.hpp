// The ELF reader: an ELF executable of either class and either byte order
// into the image model.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/image.hpp"
#include "read/source.hpp"
#include "core/error.hpp"

namespace romwright {

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

// The host's ELF data encoding: ELFDATA2LSB or ELFDATA2MSB.
int hostorder();

void swapEh(Elf32_Ehdr* h);
void swapEh(Elf64_Ehdr* h);
void swapPh(Elf32_Phdr* p);
void swapPh(Elf64_Phdr* p);

}  // namespace romwright
