// Tables of lower-case hex digits, for formats that write many numbers:
// two digits for every byte value, and four for every pair of bytes.
#pragma once

#include <cstdint>

namespace romwright {

struct hexTable {
  char d[256][2];
  constexpr hexTable() : d{} {
    for (int b = 0; b < 256; b++) {
      d[b][0] = "0123456789abcdef"[b >> 4];
      d[b][1] = "0123456789abcdef"[b & 15];
    }
  }
};
inline constexpr hexTable hex;

// Four digits for the 16-bit value b0 << 8 | b1, built on first use so that
// runs that write no hex do not pay for it.
inline const char (*hexPairs())[4] {
  static char pairs[65536][4];
  static bool ready = false;
  if (!ready) {
    for (int v = 0; v < 65536; v++) {
      pairs[v][0] = hex.d[v >> 8][0];
      pairs[v][1] = hex.d[v >> 8][1];
      pairs[v][2] = hex.d[v & 255][0];
      pairs[v][3] = hex.d[v & 255][1];
    }
    ready = true;
  }
  return pairs;
}

}  // namespace romwright
