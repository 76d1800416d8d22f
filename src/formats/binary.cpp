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

// UF2, the format of drag-and-drop bootloaders: a 512-byte block for each
// 256-byte page at a 256-aligned address that holds a placed byte (every
// page of the memory when dense), in rising order, numbered from 0 with
// the count of blocks written in each, as the SDKs' converters write them.
// The bytes of a page that the memory does not cover hold the fill. With a
// family ID the blocks carry it and flag 0x2000; without, flags and that
// field are 0. Only the pages written are read: a far-apart image costs
// what its pages cost.
bool writeUf2(sink& s, const memLayout& m, wordReader& r) {
  constexpr uint64_t page = 256;
  byteFile f = byteParts(m, r);
  const uint64_t memEnd = m.address + m.depth * wordSize(m.width);
  // Runs of pages that follow one another, [first, end) at page addresses.
  std::vector<stretch> runs;
  uint64_t blocks = 0;
  for (const byteFile::part& p : f.parts) {
    if (p.end == p.first) continue;
    const uint64_t a = p.at / page * page;
    const uint64_t b = (p.at + (p.end - p.first) * f.size + page - 1) / page * page;
    if (!runs.empty() && runs.back().end >= a) {
      blocks += (std::max(runs.back().end, b) - runs.back().end) / page;
      runs.back().end = std::max(runs.back().end, b);
    } else {
      runs.push_back({a, b});
      blocks += (b - a) / page;
    }
  }
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
  bool ok = true;
  for (const stretch& run : runs) {
    uint64_t at = run.first;  // the address of the page gathered
    size_t have = 0;          // bytes of it gathered
    auto emit = [&] {
      putLe32(block + 12, at);
      putLe32(block + 20, number++);
      ok = ok && put(s, block, sizeof block);
      at += page;
      have = 0;
    };
    // The fill before the memory's first byte and after its last.
    const uint64_t from = std::max(run.first, m.address), to = std::min(run.end, memEnd);
    have = static_cast<size_t>(from - run.first);
    memset(data, r.fill, have);
    eachByte(f, from - m.address, to - m.address, [&](const uint8_t* bytes, size_t n) {
      while (n > 0) {
        const size_t k = std::min<size_t>(page - have, n);
        memcpy(data + have, bytes, k);
        have += k;
        bytes += k;
        n -= k;
        if (have == page) emit();
      }
    });
    if (have > 0) {
      memset(data + have, r.fill, page - have);
      emit();
    }
  }
  return ok && flush(s);
}

}  // namespace romwright::formats
