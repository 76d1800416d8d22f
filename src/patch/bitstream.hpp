// New words into a finished FPGA configuration, without synthesis or
// place-and-route again: the part every device family shares. The design is
// built once with placeholder words in each memory (seed.hpp); a family finds
// where every placeholder bit went in its configuration and writes the new
// words' bits there, leaving every other byte as it was. All memories of a
// patch change together or none does: any memory not found exactly is a
// failure, and then nothing is made.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace romwright {

// One memory of a patch. `seed` holds the placeholder words the design was
// built with, `words` the words to put in their place; both are `depth`
// words of (width + 7) / 8 bytes each, least significant byte first, with
// the bits above the width clear.
struct patchMemory {
  std::string name;             // names the memory in failures and notes
  uint32_t width = 0;           // bits in a word: 1 to 64
  uint64_t depth = 0;           // words
  std::vector<uint8_t> seed;
  std::vector<uint8_t> words;
  // How many times the design holds the memory: synthesis makes a copy of
  // a ROM for each port that reads it. Every placeholder bit must be found
  // exactly this many times, and every copy is patched.
  uint32_t copies = 1;
};

// What a patch did, for a verbose run: one line per memory, each ending in
// "\n", such as which RAM tiles hold it.
using patchNotes = std::vector<std::string>;

// One change a patch makes: the `size` bytes at `offset` of the
// configuration replaced by `bytes`.
struct configEdit {
  size_t offset = 0;
  size_t size = 0;
  std::vector<uint8_t> bytes;
};

// A patch's changes, at rising offsets, none overlapping; every byte they
// do not cover stays as it was. A writer can copy the unchanged bytes
// straight from the input between them.
using configEdits = std::vector<configEdit>;

// A device family's configuration format.
struct bitstreamFamily {
  const char* name;         // "ice40"
  const char* description;  // "iCE40 ASCII configuration (.asc)"
  // Whether `config` looks like this family's configuration.
  bool (*recognise)(std::span<const uint8_t> config);
  // The edits that put each memory's words in place of its placeholder in
  // `config`. Appends a note per memory to `notes` on success. Fails (one
  // line per fault, naming the memory) when a memory's bits are not all
  // found exactly as many times as it has copies, when two memories claim
  // the same bits, or (as malformed) when `config` is not such a
  // configuration; then there are no edits at all.
  Result<configEdits> (*patch)(std::span<const uint8_t> config, std::span<const patchMemory> memories,
                               patchNotes& notes);
};

// `config` with `edits` made.
std::vector<uint8_t> applyEdits(std::span<const uint8_t> config, const configEdits& edits);

// The new configuration: `family`'s patch of `config`, made.
Result<std::vector<uint8_t>> patchConfig(const bitstreamFamily& family, std::span<const uint8_t> config,
                                         std::span<const patchMemory> memories, patchNotes& notes);

// Every family this build knows.
std::span<const bitstreamFamily> bitstreamFamilies();

// The family called `name`, or null.
const bitstreamFamily* familyNamed(std::string_view name);

// The first family that recognises `config`, or null.
const bitstreamFamily* familyOf(std::span<const uint8_t> config);

// Words (each in its low `width` bits, 1 to 64) packed as patchMemory holds
// them.
std::vector<uint8_t> packWords(std::span<const uint64_t> words, uint32_t width);

// A memory's placeholder (`seed` true) or new words, unpacked; fails, naming
// the memory, when the width is not 1 to 64, when the bytes are not `depth`
// whole words, or when a word has bits above the width.
Result<std::vector<uint64_t>> unpackWords(const patchMemory& m, bool seed);

// iCE40 (ice40.cpp): the ASCII configuration that nextpnr-ice40 and the
// open iCE40 tools write, whose 4-kbit block RAMs' contents are its
// `.ram_data` blocks.
extern const bitstreamFamily ice40Family;

}  // namespace romwright
