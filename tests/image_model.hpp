// What a memory image should hold, worked out from a fixture's segments
// apart from the tool: the memory's bytes, and each lane's words as the
// hex digits of their values or as their bytes in memory order.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "elf_fixture.hpp"

namespace model {

// The memory asked for: the options of one run.
struct Shape {
  uint32_t width = 32;
  uint32_t lanes = 1;
  uint32_t base = 0x1000;           // the region
  uint32_t size = 0x80;
  uint64_t depth = 0;               // 0: the region's words
  uint8_t fill = 0;
  std::optional<fixture::Order> byteOrder;  // default: the executable's
  bool run = false;                 // --addresses=run

  uint32_t wordBytes() const { return width / 8; }
  uint32_t laneBits() const { return width / lanes; }
  uint32_t laneBytes() const { return (laneBits() + 7) / 8; }
  uint64_t words() const { return depth != 0 ? depth : size / wordBytes(); }
  // The byte address of word 0 of a lane file: the lane's own space.
  uint64_t laneAddress() const { return lanes == 1 ? base : uint64_t{base} / wordBytes() * laneBytes(); }

  // The long options that ask for it.
  std::vector<std::string> args() const {
    std::vector<std::string> a = {"--width=" + std::to_string(width),
                                  "--region=" + std::to_string(base) + ":" + std::to_string(size),
                                  "--fill=" + std::to_string(fill)};
    if (lanes != 1) a.push_back("--lanes=" + std::to_string(lanes));
    if (depth != 0) a.push_back("--depth=" + std::to_string(depth));
    if (byteOrder) a.push_back(*byteOrder == fixture::Order::Little ? "--byte-order=little" : "--byte-order=big");
    if (run) a.push_back("--addresses=run");
    return a;
  }
};

inline std::string hexOf(const std::vector<uint8_t>& bytes) {
  std::string s;
  for (uint8_t b : bytes) s += "0123456789abcdef"[b >> 4], s += "0123456789abcdef"[b & 15];
  return s;
}

// The memory's bytes from the region's base: the segments' file bytes (the
// fixture's load and run addresses are the same), their zero tails when
// placed at run addresses, the fill elsewhere.
inline std::vector<uint8_t> memory(const std::vector<fixture::Seg>& segs, const Shape& s) {
  std::vector<uint8_t> mem(s.words() * s.wordBytes(), s.fill);
  auto set = [&](uint64_t addr, uint8_t b) {
    if (addr >= s.base && addr - s.base < mem.size()) mem[addr - s.base] = b;
  };
  for (const fixture::Seg& seg : segs) {
    for (size_t i = 0; i < seg.bytes.size(); i++) set(seg.vaddr + i, seg.bytes[i]);
    if (s.run) {
      for (uint64_t a = seg.vaddr + seg.bytes.size(); a < seg.vaddr + seg.memsz.value_or(0); a++) set(a, 0);
    }
  }
  return mem;
}

// Lane `lane`'s words: the hex digits of their values (one digit for a lane
// narrower than 4 bits), or with `memoryOrder` the hex of their bytes at
// rising addresses.
inline std::vector<std::string> laneWords(const std::vector<uint8_t>& mem, const Shape& s,
                                          fixture::Order fileOrder, uint32_t lane,
                                          bool memoryOrder = false) {
  const bool little = s.byteOrder.value_or(fileOrder) == fixture::Order::Little;
  const uint32_t wb = s.wordBytes(), bits = s.laneBits();
  std::vector<std::string> words;
  for (size_t k = 0; k + wb <= mem.size(); k += wb) {
    std::vector<uint8_t> value(mem.begin() + k, mem.begin() + k + wb);
    if (little) std::reverse(value.begin(), value.end());
    const std::string all = hexOf(value);
    std::string w;
    if (bits >= 4) {
      w = all.substr(all.size() - (lane + 1) * bits / 4, bits / 4);
    } else {
      const char digit = all[all.size() - 1 - lane * bits / 4];
      const int nibble = digit <= '9' ? digit - '0' : digit - 'a' + 10;
      w = std::string(1, "0123"[nibble >> (lane * bits % 4) & ((1 << bits) - 1)]);
    }
    if (memoryOrder && little) {
      std::string swapped;
      for (size_t i = w.size(); i >= 2; i -= 2) swapped += w.substr(i - 2, 2);
      w = swapped;
    }
    words.push_back(w);
  }
  return words;
}

// The same as bytes, one lane's words after another.
inline std::vector<uint8_t> laneBytes(const std::vector<std::string>& words) {
  std::vector<uint8_t> out;
  for (const std::string& w : words) {
    for (size_t i = 0; i + 1 < w.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(w.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The stretches a sparse image holds, as offsets from the region's base in
// units of `unit` bytes: each segment's placed bytes (with run addresses its
// zero tail too) within the region, widened to whole units; with `join`,
// stretches that share or touch a unit are one. The segments rise.
inline std::vector<std::pair<uint64_t, uint64_t>> placedStretches(const std::vector<fixture::Seg>& segs, const Shape& s,
                                                           uint64_t unit, bool join) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const fixture::Seg& seg : segs) {
    const uint64_t size = s.run ? seg.memsz.value_or(static_cast<uint32_t>(seg.bytes.size())) : seg.bytes.size();
    const uint64_t a = std::max<uint64_t>(seg.vaddr, s.base);
    const uint64_t b = std::min<uint64_t>(seg.vaddr + size, uint64_t{s.base} + s.size);
    if (a >= b) continue;
    const uint64_t first = (a - s.base) / unit, end = (b - s.base + unit - 1) / unit;
    if (join && !out.empty() && out.back().second >= first) {
      out.back().second = std::max(out.back().second, end);
    } else {
      out.push_back({first, end});
    }
  }
  return out;
}

}  // namespace model
