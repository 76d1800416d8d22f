// Shapes the memory into words and lanes for the formats.
#include "shape/words.hpp"

#include <algorithm>
#include <cstring>

namespace romwright {

namespace {

// Copies the `n` bytes at `from` to `to` in reverse order, with byte swaps
// for the word sizes.
template <class T>
void swapCopy(const uint8_t* from, uint8_t* to, T (*swap)(T)) {
  T v;
  memcpy(&v, from, sizeof v);
  v = swap(v);
  memcpy(to, &v, sizeof v);
}

void reverseCopy(const uint8_t* from, size_t n, uint8_t* to) {
  switch (n) {
    case 2: return swapCopy<uint16_t>(from, to, [](uint16_t v) { return __builtin_bswap16(v); });
    case 4: return swapCopy<uint32_t>(from, to, [](uint32_t v) { return __builtin_bswap32(v); });
    case 8: return swapCopy<uint64_t>(from, to, [](uint64_t v) { return __builtin_bswap64(v); });
    case 16:
      reverseCopy(from, 8, to + 8);
      return reverseCopy(from + 8, 8, to);
    default: std::reverse_copy(from, from + n, to);
  }
}

// `n` words of `Bytes` bytes from `from` to `to`, each reversed: with the
// size known, the compiler turns the loop into vector byte shuffles.
template <size_t Bytes>
void reverseWords(const uint8_t* from, uint8_t* to, size_t n) {
  for (size_t k = 0; k < n; k++) {
    for (size_t i = 0; i < Bytes; i++) to[k * Bytes + i] = from[k * Bytes + Bytes - 1 - i];
  }
}

}  // namespace

std::span<const uint8_t> nextWords(wordReader& r, size_t max) {
  const size_t chunk = std::max<size_t>(1, (size_t{1} << 20) / r.wordBytes);
  const size_t n = static_cast<size_t>(std::min<uint64_t>({max, r.depth - r.next, chunk}));
  const size_t wb = r.wordBytes;
  // Grown to the words asked for, not to a whole chunk up front: zeroing
  // (and faulting in) a megabyte that a small image never uses cost more
  // than writing its words.
  r.mem.resize(std::max(r.mem.size(), n * wb));
  uint8_t* mem = r.mem.data();
  const size_t placed = static_cast<size_t>(std::min<uint64_t>(n, r.memWords - std::min(r.next, r.memWords)));
  r.p->map.read(r.p->base + r.next * wb, placed * wb, r.fill, mem);
  memset(mem + placed * wb, r.fill, (n - placed) * wb);
  r.next += n;

  const bool reverse = r.little && !r.memoryOrder;
  if (r.lanes == 1 && (!reverse || wb == 1)) return {mem, n * wb};
  const size_t lb = (r.laneBits + 7) / 8;
  r.out.resize(std::max(r.out.size(), n * lb));
  uint8_t* out = r.out.data();
  if (r.lanes == 1) {
    switch (wb) {
      case 2: reverseWords<2>(mem, out, n); break;
      case 4: reverseWords<4>(mem, out, n); break;
      case 8: reverseWords<8>(mem, out, n); break;
      case 16: reverseWords<16>(mem, out, n); break;
      default:
        for (size_t k = 0; k < n; k++) std::reverse_copy(mem + k * wb, mem + (k + 1) * wb, out + k * wb);
    }
    return {out, n * wb};
  }
  if (r.laneBits < 8) {
    // A lane of 1, 2 or 4 bits: its bits of the word's value.
    const size_t bit = size_t{r.lane} * r.laneBits;
    const size_t at = r.little ? bit / 8 : wb - 1 - bit / 8;
    const unsigned mask = (1u << r.laneBits) - 1;
    for (size_t k = 0; k < n; k++) out[k] = static_cast<uint8_t>(mem[k * wb + at] >> bit % 8 & mask);
    return {out, n};
  }
  // The lane's bytes sit at the same offset in every word: the low-order
  // end of a little-endian word, the high-order end of a big-endian one.
  const size_t at = r.little ? r.lane * lb : wb - (r.lane + 1) * lb;
  for (size_t k = 0; k < n; k++) {
    const uint8_t* from = mem + k * wb + at;
    uint8_t* to = out + k * lb;
    if (reverse) {
      reverseCopy(from, lb, to);
    } else {
      memcpy(to, from, lb);
    }
  }
  return {out, n * lb};
}

}  // namespace romwright
