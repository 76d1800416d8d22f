// What the writers of the formats share: words as hex or binary digits, a
// word or a row of words at a time into a sink's buffer, and the stretches
// of a memory that hold placed bytes. Private to the formats.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "core/hex.hpp"
#include "core/sink.hpp"
#include "formats/registry.hpp"
#include "shape/words.hpp"

namespace romwright::formats {

// Bytes a word of `width` bits takes.
inline size_t wordSize(uint32_t width) { return (width + 7) / 8; }

// Hex digits a word of `width` bits is written with.
inline size_t digits(uint32_t width) { return width < 4 ? 1 : width / 4; }

inline unsigned long long ull(uint64_t v) { return v; }

// ---- Words as text ----------------------------------------------------------
// A word's width is 1, 2 or 4 bits (a lane) or a multiple of 8 up to 1024.
// The writers are built for each power of two up to 128, so that a word's
// digits are written with copies of fixed size; every other width takes the
// generic path, W = 0, which reads the width at run time.

template <class F>
bool byWidth(uint32_t width, F f) {
  switch (width) {
    case 1: return f(std::integral_constant<uint32_t, 1>{});
    case 2: return f(std::integral_constant<uint32_t, 2>{});
    case 4: return f(std::integral_constant<uint32_t, 4>{});
    case 8: return f(std::integral_constant<uint32_t, 8>{});
    case 16: return f(std::integral_constant<uint32_t, 16>{});
    case 32: return f(std::integral_constant<uint32_t, 32>{});
    case 64: return f(std::integral_constant<uint32_t, 64>{});
    case 128: return f(std::integral_constant<uint32_t, 128>{});
    default: return f(std::integral_constant<uint32_t, 0>{});
  }
}

// The width a writer built for W handles: W itself, or `width` on the
// generic path.
template <uint32_t W>
constexpr uint32_t bitsOf(uint32_t width) {
  return W != 0 ? W : width;
}

// The hex digits of a word of W bits (`width` when W is 0), from a table of
// two digits a byte; a word narrower than 8 bits is one digit.
template <uint32_t W, class Table>
char* hexWord(char* p, const uint8_t* w, const Table& t, uint32_t width) {
  if constexpr (W != 0 && W <= 4) {
    *p = t.d[w[0]][1];
    return p + 1;
  } else {
    const uint32_t bits = bitsOf<W>(width);
    for (uint32_t i = 0; i < bits / 8; i++) memcpy(p + 2 * i, t.d[w[i]], 2);
    return p + bits / 4;
  }
}

// The same in lower case, four digits a look-up for words of 16 bits or
// more whose width is known when built.
template <uint32_t W>
char* hexWordLower(char* p, const uint8_t* w, const char (*pairs)[4], uint32_t width) {
  if constexpr (W < 16) {
    return hexWord<W>(p, w, hex, width);
  } else {
    for (uint32_t i = 0; i < W / 8; i += 2) memcpy(p + 2 * i, pairs[w[i] << 8 | w[i + 1]], 4);
    return p + W / 4;
  }
}

// The bits of a word narrower than 4 bits, most significant first.
template <uint32_t W>
char* bitWord(char* p, const uint8_t* w) {
  for (uint32_t b = 0; b < W; b++) p[b] = static_cast<char>('0' + (w[0] >> (W - 1 - b) & 1));
  return p + W;
}

// Eight binary digits for every byte value.
struct binaryTable {
  char d[256][8];
  constexpr binaryTable() : d{} {
    for (int v = 0; v < 256; v++) {
      for (int i = 0; i < 8; i++) d[v][i] = static_cast<char>('0' + (v >> (7 - i) & 1));
    }
  }
};
inline constexpr binaryTable binary;

// A short piece of text (up to 16 characters) written with one copy of
// fixed size: eachWord keeps that much room past every line.
struct snippet {
  static constexpr size_t most = 16;
  char text[most] = {};
  size_t len;
  explicit snippet(const char* s) : len(std::min(strlen(s), most)) { memcpy(text, s, len); }
  char* put(char* p) const {
    memcpy(p, text, most);
    return p + len;
  }
};

// Hands every word of the memory to `each(p, word, index)`, which writes it
// at `p` in at most `longest` characters and returns where it ended.
template <class Each>
bool eachWord(sink& s, const memLayout& m, wordReader& r, size_t longest, Each each) {
  const size_t size = wordSize(m.width), line = longest + snippet::most;
  uint64_t index = 0;
  while (index < m.depth) {
    if (!room(s, line)) return false;
    const std::span<const uint8_t> w = nextWords(r, (outBlock - s.pos) / line);
    const size_t n = w.size() / size;
    char* p = s.buf + s.pos;
    for (size_t k = 0; k < n; k++, index++) p = each(p, w.data() + k * size, index);
    s.pos = static_cast<size_t>(p - s.buf);
  }
  return true;
}

// The binary digits of a word of `width` bits, most significant first.
char* binaryWord(char* p, const uint8_t* w, uint32_t width);

// One word per line between `before` and `after`; the last word ends with
// `final` instead. The shape of most text formats.
// With `m.radix` 2 the words are binary digits.
bool wordLines(sink& s, const memLayout& m, wordReader& r, const char* before, const char* after,
               const char* final);

// Words to a line of about 76 columns after `margin`, each as `before`, its
// digits and `after`, with a comma after every word but the last: the
// initialisers of the source-code formats. A word narrower than 4 bits is
// written as its bits (only VHDL holds such words).
bool wordRows(sink& s, const memLayout& m, wordReader& r, const char* margin, const char* before,
              const char* after);

// printf-style text into the sink, for the lines around the words.
__attribute__((format(printf, 2, 3))) bool putf(sink& s, const char* fmt, ...);

// Words [first, end) of a reader.
struct stretch {
  uint64_t first, end;
};

// The stretches of the memory that hold placed bytes, in units of `unit`
// bytes from its base and within its first `limit` units. Runs of one
// segment that touch (its stored bytes and its zero tail) are one stretch;
// with `join`, so are any that share a unit or touch. Visits the
// placement's runs only, never the gaps between them.
std::vector<stretch> placedStretches(const wordReader& r, uint64_t unit, uint64_t limit, bool join);

}  // namespace romwright::formats
