// Runs of bytes at addresses.
#include "core/bytemap.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace romwright {

void byteMap::paint(uint64_t a, uint64_t b, const uint8_t* from, uint32_t seg) {
  if (a >= b) return;
  // The part of `old` (starting at `start`) from b on.
  auto cut = [&](uint64_t start, const byteRun& old) {
    runs_.emplace(b, byteRun{old.end, old.from == nullptr ? nullptr : old.from + (b - start), old.seg});
  };
  auto it = runs_.lower_bound(a);
  if (it != runs_.begin()) {
    auto prev = std::prev(it);
    if (prev->second.end > a) {
      const byteRun old = prev->second;
      prev->second.end = a;
      if (old.end > b) cut(prev->first, old);
    }
  }
  for (it = runs_.lower_bound(a); it != runs_.end() && it->first < b;) {
    const uint64_t start = it->first;
    const byteRun old = it->second;
    it = runs_.erase(it);
    if (old.end > b) {
      cut(start, old);
      break;
    }
  }
  runs_.emplace(a, byteRun{b, from, seg});
}

void byteMap::read(uint64_t addr, size_t n, uint8_t fill, uint8_t* dst) const {
  uint8_t* to = dst;
  walk(
      addr, addr + n, fill,
      [&](const uint8_t* p, uint64_t k) {
        memcpy(to, p, k);
        to += k;
      },
      [&](uint8_t byte, uint64_t k) {
        memset(to, byte, k);
        to += k;
      });
}

uint64_t byteMap::lastNonzero(uint64_t from) const {
  for (auto it = runs_.rbegin(); it != runs_.rend() && it->second.end > from; ++it) {
    if (it->second.from == nullptr) continue;
    const uint64_t start = std::max(it->first, from);
    for (uint64_t at = it->second.end; at > start; at--) {
      if (it->second.from[at - 1 - it->first] != 0) return at;
    }
  }
  return from;
}

}  // namespace romwright
