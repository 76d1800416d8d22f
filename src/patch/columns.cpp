#include "patch/columns.hpp"

#include <algorithm>

namespace romwright {

namespace {

// One step of the transpose: within each 2j x 2j block, swaps the j x j
// block above the diagonal with the one below it.
// Unrolled whole: a patch transposes some hundreds of these, and the
// loops' own counting took a sixth of the time.
template <unsigned j>
inline void swapBlocks(uint64_t a[64], uint64_t m) {
#pragma GCC unroll 64
  for (unsigned k0 = 0; k0 < 64; k0 += 2 * j) {
#pragma GCC unroll 64
    for (unsigned k = k0; k < k0 + j; ++k) {
      const uint64_t t = ((a[k] >> j) ^ a[k + j]) & m;
      a[k] ^= t << j;
      a[k + j] ^= t;
    }
  }
}

}  // namespace

void transpose64(uint64_t a[64]) {
  swapBlocks<32>(a, 0x00000000ffffffffull);
  swapBlocks<16>(a, 0x0000ffff0000ffffull);
  swapBlocks<8>(a, 0x00ff00ff00ff00ffull);
  swapBlocks<4>(a, 0x0f0f0f0f0f0f0f0full);
  swapBlocks<2>(a, 0x3333333333333333ull);
  swapBlocks<1>(a, 0x5555555555555555ull);
}

bitColumns toColumns(std::span<const uint64_t> words, uint32_t width) {
  bitColumns c;
  c.width = width;
  c.depth = words.size();
  c.stride = (words.size() + 63) / 64;
  c.bits.assign(c.stride * width, 0);
  // Blocks of 64 words side by side in fields of 8, 16, 32 or 64 bits, as
  // many as fit: one transpose turns them all.
  const unsigned fieldBits = width <= 8 ? 8 : width <= 16 ? 16 : width <= 32 ? 32 : 64;
  const unsigned fields = 64 / fieldBits;
  const uint64_t mask = widthMask(width);
  uint64_t block[64];
  for (size_t k0 = 0; k0 < c.stride; k0 += fields) {
    std::fill(block, block + 64, 0);
    for (unsigned f = 0; f < fields && k0 + f < c.stride; ++f) {
      const size_t first = (k0 + f) * 64;
      const size_t n = std::min<size_t>(64, words.size() - first);
      for (size_t i = 0; i < n; ++i) block[i] |= (words[first + i] & mask) << (f * fieldBits);
    }
    transpose64(block);
    for (unsigned f = 0; f < fields && k0 + f < c.stride; ++f) {
      for (uint32_t b = 0; b < width; ++b) c.bits[b * c.stride + k0 + f] = block[f * fieldBits + b];
    }
  }
  return c;
}

}  // namespace romwright
