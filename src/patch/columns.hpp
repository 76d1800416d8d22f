// Bit columns of a list of words: bit b of every word, in word order. The
// placeholder generator checks its words column by column, and the bitstream
// patchers find memories by their columns, because synthesis moves a
// memory's data bits around but keeps each one's sequence of values over the
// addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace romwright {

// Transposes a 64 x 64 bit matrix in place: bit j of a[i] becomes bit i of
// a[j].
void transpose64(uint64_t a[64]);

// The columns of `depth` words of `width` bits (1 to 64), 64 words to a
// uint64_t: word i of column b is bit i % 64 of at(b)[i / 64]. Bits past the
// last word are 0.
struct bitColumns {
  uint32_t width = 0;
  uint64_t depth = 0;
  size_t stride = 0;            // uint64_t per column: depth / 64, rounded up
  std::vector<uint64_t> bits;   // column b from bits[b * stride]
  const uint64_t* at(uint32_t b) const { return bits.data() + b * stride; }
};

// The columns of `words`, each held in its low `width` bits.
bitColumns toColumns(std::span<const uint64_t> words, uint32_t width);

// The mask of a word of `width` bits (1 to 64).
inline uint64_t widthMask(uint32_t width) {
  return width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
}

}  // namespace romwright
