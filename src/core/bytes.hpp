// Byte-level helpers every stage shares: the overflow-free range check and
// byte swaps.
#pragma once

#include <cstdint>

namespace romwright {

// True when [off, off + size) lies within [0, limit); cannot overflow.
inline bool fits(uint64_t off, uint64_t size, uint64_t limit) { return size <= limit && off <= limit - size; }

inline uint16_t swap16(uint16_t v) { return static_cast<uint16_t>(v << 8 | v >> 8); }

inline uint32_t swap32(uint32_t v) { return v << 24 | (v & 0xff00) << 8 | (v >> 8 & 0xff00) | v >> 24; }

inline uint64_t swap64(uint64_t v) {
  return uint64_t{swap32(static_cast<uint32_t>(v))} << 32 | swap32(static_cast<uint32_t>(v >> 32));
}

}  // namespace romwright
