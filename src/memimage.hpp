// The memory-image mode: the loadable segments of the executable placed at
// their load or run addresses in a memory of a given region, word width,
// depth, byte order and fill, written in one of the formats (split into byte
// lanes on request), straight from the ELF.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "checksum.hpp"
#include "image.hpp"
#include "options.hpp"
#include "output.hpp"
#include "place.hpp"
#include "result.hpp"

// The checked values. `format` is null when no memory image is asked for.
struct memOptions {
  const struct memFormat* format;
  const char* output;   // null: standard output
  bool runAddresses;
  bool hasRegion;
  uint64_t base;
  uint64_t size;        // rounded up to whole words
  uint32_t width;       // bits
  int byteOrder;        // ELFDATA2LSB, ELFDATA2MSB, or 0 for the file's own
  uint64_t depth;       // 0: as many words as the memory has
  uint8_t fill;
  uint32_t lanes;
  const char* name;
  const char* header;
  bool crop;
  bool overlapLater;
  bool quiet;           // no lines about segments left out
  const char* label;    // the memory's NAME with --memory, else null
  uint32_t banks;       // files the depth is split into (1: one)
  uint32_t radix;       // 2 or 16
  uint32_t uf2Family;   // when hasUf2Family
  bool hasUf2Family;
  bool sparse;          // only the words that hold placed bytes are written
  bool rebased;         // --rebase: addresses written from `rebase`
  uint64_t rebase;      //   in the format's unit: bytes, or words
  uint32_t recordBytes; // data bytes an Intel HEX or S-record record holds
  bool srecS3;          // S3 and S7 records whatever the addresses
};

// An address of --insert: a number, or a symbol and an offset.
struct insertAddress {
  uint64_t value = 0;
  std::string symbol;  // empty: `value` is the address
};

// A value --insert stores.
struct insertField {
  std::string text;  // the option's value, for messages
  checksumKind kind;
  insertAddress where;
  bool over = false;  // FROM..TO given
  insertAddress from, to;
  int order = 0;      // ELFDATA2LSB, ELFDATA2MSB, or 0: the memory's
};

// The memories of a run, with the text their options point into.
struct memoryPlan {
  std::deque<std::string> text;
  std::vector<memOptions> memories;  // empty: no memory image
  bool several;                      // given with --memory
  bool allowUnplaced;
  std::vector<insertField> inserts;  // in command-line order
  bool symbols;                      // an address is given by name
};

// Reads `s` whole as 0x-prefixed hex or as decimal (a leading 0 is still
// decimal), with a K, M or G suffix (powers of 1024) when `scaled`. False
// for anything else, or for a value above 2^40.
bool parseNumber(const char* s, bool scaled, uint64_t& v);

// Checks every value and how they combine, before anything is read or
// written; `listing` says that -H writes to standard output. A bad value
// fails with one line naming the option and the value.
result<memOptions> checkMemArgs(const memArgs& a, bool listing);

// What a run writes besides the memory image.
struct runOutputs {
  bool rom;             // -r: rom.h and rom.c
  bool ROM;             // -R: tolvek.rom
  const char* listing;  // "-H" when the listing goes to standard output, else null
  const char* reports;  // the first of "-l", "-t", "-e" asked for, else null
};

// Refuses, with one line naming both, two outputs of the run that are the
// same file (through links too), or one that is the file standard output
// is, when the run writes to standard output. Character devices (a
// terminal, /dev/null) may be named more than once. Call before anything is
// read or written.
status checkDistinctOutputs(std::span<const memOptions> mems, const runOutputs& run);

// Checks the memories of the run: the one of --format and its options, or
// every --memory with those options as defaults; memories that overlap are
// refused.
result<memoryPlan> checkMemories(const memArgs& a, bool listing);

// Writes the memory images of `plan` from `img`, every file of them as one
// group. With several memories every stored byte must land in one, unless
// they allow it. Lines about segments left out or cut go to standard error.
status dumpMemImages(const memoryPlan& plan, const image& img);

// Refuses, with one line naming the format and the address, an address
// that a format of 32-bit addresses would have to write and cannot hold:
// with --rebase, the highest address of the image or its start address.
status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry);

// Writes lane `lane` of the memory that `p` holds, `depth` words, in the
// format `o` asks for (its header file when `header`), to `s`; `little` is
// the byte order and `name` the image's identifier. False when a write
// failed.
bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane,
                bool little, uint32_t entry, const char* name, bool header);
