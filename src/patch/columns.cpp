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
  uint64_t block[64];
  for (size_t k = 0; k < c.stride; ++k) {
    const size_t first = k * 64;
    const size_t n = std::min<size_t>(64, words.size() - first);
    std::copy_n(words.begin() + static_cast<std::ptrdiff_t>(first), n, block);
    std::fill(block + n, block + 64, 0);
    transpose64(block);
    for (uint32_t b = 0; b < width; ++b) c.bits[b * c.stride + k] = block[b];
  }
  return c;
}

}  // namespace romwright
