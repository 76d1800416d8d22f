// A memory of the run as a format writes it: one lane of one bank, its
// words handed to the format's writer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/error.hpp"
#include "formats/memory.hpp"
#include "core/sink.hpp"
#include "place/place.hpp"

namespace romwright {

// Refuses, with one line naming the format and the address, an address
// that a format of 32-bit addresses would have to write and cannot hold:
// the highest address of the image (from --rebase, when given), or its
// start address `entry` when it has one (`hasStart`); for the formats of
// word addresses (mif, ihex-words, sparse vmem), the highest word address
// from --rebase.
status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry,
                         bool hasStart = true);

// Writes lane `lane` of the memory that `p` holds, `depth` words, in the
// format `o` asks for (its header file when `header`), to `s`; `little` is
// the byte order and `name` the image's identifier; `entry` is the start
// address, written by the formats that write one when `hasStart`; `file` is
// the name of the file written as given (null for standard output), which
// an S-record header holds. False when a write failed.
bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
                uint64_t entry, const char* name, bool header, bool hasStart = true, const char* file = nullptr);

// Takes the words of a memory a block at a time: `words` holds `count`
// words from index `first`, each (lane width + 7) / 8 bytes, its value most
// significant byte first (a word narrower than 8 bits in the low bits of
// its byte).
using wordVisitor = std::function<void(uint64_t first, uint64_t count, std::span<const uint8_t> words)>;

// Hands the `depth` words of lane `lane` of the memory `p` holds, shaped as
// `o` says, to `fn`.
void eachWord(const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
              const wordVisitor& fn);

}  // namespace romwright
