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

// A 32-bit value at `p`, least significant byte first.
inline void putLe32(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> 8 * i);
}

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

// ---- Bytes at addresses -----------------------------------------------------
// The formats of bytes at their addresses (Intel HEX, S-records, TI-TXT, UF2,
// DfuSe) write the memory, or only the parts of it that hold placed bytes.

// Room for the longest record line (16 data bytes) with an address record
// before it.
constexpr size_t recordRoom = 64;
// The same for a line of up to 255 data bytes, each as three characters.
constexpr size_t longRecordRoom = 3 * 255 + 64;

// Writes one record at the end of the buffer: `record(p)` writes it at `p`
// in at most `need` characters and returns where it ended.
template <class Record>
bool putRecord(sink& s, Record record, size_t need = recordRoom) {
  if (!room(s, need)) return false;
  s.pos = static_cast<size_t>(record(s.buf + s.pos) - s.buf);
  return true;
}

// What a format of bytes writes: parts of the reader's words, each written
// from address `at`. The whole memory; or, sparse, the placed bytes
// themselves in an image of one lane (read by a reader of single bytes),
// and in a lane's image every word that holds a placed byte in any lane,
// so that the lanes' images cover the same words.
struct byteFile {
  struct part {
    uint64_t first, end, at;  // words [first, end) of `reader`, from address `at`
  };
  wordReader reader;
  size_t size;  // bytes of a word the reader hands out
  std::vector<part> parts;
};

// The parts of the image `m` and `r` describe, at its own addresses or
// from --rebase.
byteFile byteParts(const memLayout& m, const wordReader& r);

// Makes parts that follow one another without a gap one part.
void joinTouching(byteFile& f);

// The highest address of the file: its last data byte's, or the start
// address when that is higher and written.
uint64_t lastAddress(const byteFile& f, const memLayout& m);

// The highest address a file of bytes at addresses without a start address
// writes: its last data byte's.
uint64_t dataHighestAddress(const memLayout& m, const wordReader& r);

// Cuts the bytes of the words the reader has left (`size` bytes a word),
// written from address `at` on, into records of up to `most` bytes, each
// as long as it can be; with `cut64k` none crosses a 64 KiB boundary, as
// Intel HEX needs. `record(p, address, bytes, n)` writes one.
template <class Record>
bool byteRecords(sink& s, wordReader& r, size_t size, uint64_t at, size_t most, bool cut64k,
                 Record record) {
  const uint64_t end = at + (r.depth - r.next) * size;
  most = std::clamp<size_t>(most, 1, 255);  // every record makes progress
  uint8_t part[255];
  size_t have = 0;  // bytes of the next record gathered in `part`
  while (r.next < r.depth) {
    const std::span<const uint8_t> w = nextWords(r, (size_t{1} << 20) / size);
    for (size_t i = 0; i < w.size();) {
      size_t len = static_cast<size_t>(std::min<uint64_t>(most, end - at));
      if (cut64k) len = static_cast<size_t>(std::min<uint64_t>(len, 0x10000 - at % 0x10000));
      const size_t k = std::min(len - have, w.size() - i);
      const uint8_t* bytes = w.data() + i;
      i += k;
      if (have > 0 || k < len) {  // a record split between two blocks
        memcpy(part + have, bytes, k);
        have += k;
        if (have < len) break;
        bytes = part;
      }
      if (!putRecord(s, [&](char* p) { return record(p, at, bytes, len); }, longRecordRoom)) return false;
      at += len;
      have = 0;
    }
  }
  return true;
}

// The records of every part of the file; `before(at)` is called before
// each part's first record and returns false when a write failed.
template <class Record, class Before>
bool partRecords(sink& s, byteFile& f, size_t most, bool cut64k, Record record, Before before) {
  for (const byteFile::part& p : f.parts) {
    f.reader.next = p.first;
    f.reader.depth = p.end;
    if (!before(p.at) || !byteRecords(s, f.reader, f.size, p.at, most, cut64k, record)) return false;
  }
  return true;
}

template <class Record>
bool partRecords(sink& s, byteFile& f, size_t most, bool cut64k, Record record) {
  return partRecords(s, f, most, cut64k, record, [](uint64_t) { return true; });
}

// Hands the bytes [from, to) of the image (byte offsets from its first
// byte) to `fn(bytes, n)` in order, a block at a time, reading the words of
// `f.reader` that hold them.
template <class Fn>
void eachByte(byteFile& f, uint64_t from, uint64_t to, Fn fn) {
  f.reader.next = from / f.size;
  f.reader.depth = (to + f.size - 1) / f.size;
  size_t skip = static_cast<size_t>(from % f.size);
  uint64_t left = to - from;
  while (left > 0) {
    const std::span<const uint8_t> w = nextWords(f.reader, (size_t{1} << 20) / f.size);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(w.size() - skip, left));
    fn(w.data() + skip, n);
    left -= n;
    skip = 0;
  }
}

}  // namespace romwright::formats
