// The words of a memory image, a block at a time: the placed bytes and the
// fill made into words of the chosen width and byte order, and split into
// lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "place/place.hpp"

namespace romwright {

// Hands out the memory's words in order. A word is (width + 7) / 8 bytes:
// its value, most significant byte first (a word narrower than 8 bits in
// the low bits of its byte); or, with `memoryOrder`, the memory's bytes at
// rising addresses.
struct wordReader {
  const placement* p;
  uint64_t next;         // index of the next word
  uint64_t memWords;     // words the placement covers; the rest up to depth is fill
  uint64_t depth;
  uint32_t wordBytes;    // of the whole memory word
  uint32_t laneBits;     // of the words handed out
  uint32_t lane;
  uint32_t lanes;
  bool little;           // the memory's byte order
  bool memoryOrder;      // hand out memory bytes, not word values
  uint8_t fill;
  std::vector<uint8_t> mem;
  std::vector<uint8_t> out;
};

// The next words, at most `max` of them (at least 1 while any are left).
std::span<const uint8_t> nextWords(wordReader& r, size_t max);

}  // namespace romwright
