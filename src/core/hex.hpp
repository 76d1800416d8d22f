// Tables of hex digits, for the outputs that write many numbers: two
// lower-case digits for every byte value, two upper-case ones, and four
// lower-case ones for every pair of bytes.
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

// Upper-case digits for every byte value, for the formats whose makers show
// them so (MIF, Intel HEX, S-records).
struct upperTable {
  char d[256][2];
  constexpr upperTable() : d{} {
    for (int b = 0; b < 256; b++) {
      for (int i = 0; i < 2; i++) {
        const char c = hex.d[b][i];
        d[b][i] = c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c;
      }
    }
  }
};
inline constexpr upperTable upper;

// Four digits for the 16-bit value b0 << 8 | b1, built on first use (once,
// whichever thread comes first) so that runs that write no hex do not pay
// for it.
struct hexPairTable {
  char d[65536][4];
  hexPairTable() {
    for (int v = 0; v < 65536; v++) {
      d[v][0] = hex.d[v >> 8][0];
      d[v][1] = hex.d[v >> 8][1];
      d[v][2] = hex.d[v & 255][0];
      d[v][3] = hex.d[v & 255][1];
    }
  }
};

inline const char (*hexPairs())[4] {
  static const hexPairTable table;
  return table.d;
}

}  // namespace romwright
