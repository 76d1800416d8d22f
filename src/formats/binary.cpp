// Formats of the bytes themselves: raw binary, and UF2 blocks for
// drag-and-drop bootloaders.
#include "formats/writers.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "formats/text.hpp"

namespace romwright::formats {

// The raw bytes of the memory at rising addresses.
bool writeBin(sink& s, const memLayout& m, wordReader& r) {
  const size_t size = wordSize(m.width);
  for (uint64_t left = m.depth; left > 0;) {
    const std::span<const uint8_t> w = nextWords(r, outBlock / size);
    if (!put(s, w.data(), w.size())) return false;
    left -= w.size() / size;
  }
  return flush(s);
}

namespace {



// A 32-bit value, least significant byte first.
void putLe32(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> 8 * i);
}

}  // namespace

// UF2, the format of drag-and-drop bootloaders: a 512-byte block for each
// 256 bytes of the memory at a 256-aligned address, in rising order,
// numbered from 0 with the count of blocks in each. The bytes of the first
// and last page that the memory does not cover hold the fill. With a family
// ID the blocks carry it and flag 0x2000; without, flags and that field are
// 0.
bool writeUf2(sink& s, const memLayout& m, wordReader& r) {
  constexpr uint32_t page = 256;
  const size_t size = wordSize(m.width);
  const uint64_t first = m.address / page * page;
  const uint64_t end = m.address + m.depth * size;
  const uint64_t blocks = (end - first + page - 1) / page;
  uint8_t block[512] = {};
  putLe32(block, 0x0A324655);
  putLe32(block + 4, 0x9E5D5157);
  putLe32(block + 8, m.hasFamily ? 0x2000 : 0);
  putLe32(block + 16, page);
  putLe32(block + 24, blocks);
  putLe32(block + 28, m.hasFamily ? m.family : 0);
  putLe32(block + 508, 0x0AB16F30);
  uint8_t* data = block + 32;
  uint64_t number = 0;
  auto next = [&] {
    putLe32(block + 12, first + number * page);
    putLe32(block + 20, number);
    number++;
    return put(s, block, sizeof block);
  };
  size_t have = static_cast<size_t>(m.address - first);  // bytes of the page gathered
  memset(data, r.fill, have);
  for (uint64_t left = m.depth; left > 0;) {
    const std::span<const uint8_t> w = nextWords(r, (size_t{1} << 20) / size);
    left -= w.size() / size;
    for (size_t i = 0; i < w.size();) {
      const size_t k = std::min(page - have, w.size() - i);
      memcpy(data + have, w.data() + i, k);
      have += k;
      i += k;
      if (have == page) {
        if (!next()) return false;
        have = 0;
      }
    }
  }
  if (have > 0) {
    memset(data + have, r.fill, page - have);
    if (!next()) return false;
  }
  return flush(s);
}

}  // namespace romwright::formats
