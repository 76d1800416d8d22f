// The formats of the memory-image mode: one writer each, and the table.
#include "formats/registry.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>
#include <type_traits>
#include <vector>

#include "core/hex.hpp"

namespace romwright {

namespace {

// Bytes a word of `width` bits takes.
size_t wordSize(uint32_t width) { return (width + 7) / 8; }

// Hex digits a word of `width` bits is written with.
size_t digits(uint32_t width) { return width < 4 ? 1 : width / 4; }

unsigned long long ull(uint64_t v) { return v; }

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
constexpr upperTable upper;

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
constexpr binaryTable binary;

// The binary digits of a word of `width` bits, most significant first.
char* binaryWord(char* p, const uint8_t* w, uint32_t width) {
  if (width < 8) {
    for (uint32_t b = 0; b < width; b++) p[b] = binary.d[w[0]][8 - width + b];
    return p + width;
  }
  for (uint32_t i = 0; i < width / 8; i++) memcpy(p + 8 * i, binary.d[w[i]], 8);
  return p + width;
}

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

// One word per line between `before` and `after`; the last word ends with
// `final` instead. The shape of most text formats.
// With `m.radix` 2 the words are binary digits.
bool wordLines(sink& s, const memLayout& m, wordReader& r, const char* before, const char* after,
               const char* final) {
  const snippet pre(before), post(after), last(final);
  const bool bits = m.radix == 2;
  const size_t line = pre.len + (bits ? m.width : digits(m.width)) + std::max(post.len, last.len);
  if (bits) {
    return eachWord(s, m, r, line, [&](char* p, const uint8_t* w, uint64_t i) {
             p = binaryWord(pre.put(p), w, m.width);
             return (i + 1 == m.depth ? last : post).put(p);
           }) &&
           flush(s);
  }
  const char(*pairs)[4] = hexPairs();
  return byWidth(m.width, [&](auto W) {
    return eachWord(s, m, r, line, [&](char* p, const uint8_t* w, uint64_t i) {
      p = hexWordLower<W>(pre.put(p), w, pairs, m.width);
      return (i + 1 == m.depth ? last : post).put(p);
    });
  }) && flush(s);
}

// Words to a line of about 76 columns after `margin`, each as `before`, its
// digits and `after`, with a comma after every word but the last: the
// initialisers of the source-code formats. A word narrower than 4 bits is
// written as its bits (only VHDL holds such words).
bool wordRows(sink& s, const memLayout& m, wordReader& r, const char* margin, const char* before,
              const char* after) {
  const snippet indent(margin), pre(before), post(after);
  const size_t item = pre.len + (m.width < 4 ? m.width : digits(m.width)) + post.len + 2;
  const size_t perRow = std::max<size_t>(1, (76 - indent.len) / item);
  const char(*pairs)[4] = hexPairs();
  size_t column = 0;
  return byWidth(m.width, [&](auto W) {
    return eachWord(s, m, r, indent.len + item, [&](char* p, const uint8_t* w, uint64_t i) {
      if (column == 0) p = indent.put(p);
      if constexpr (W != 0 && W < 4) {
        p = bitWord<W>(pre.put(p), w);
      } else {
        p = hexWordLower<W>(pre.put(p), w, pairs, m.width);
      }
      p = post.put(p);
      const bool lastWord = i + 1 == m.depth;
      const bool rowEnds = ++column == perRow || lastWord;
      if (rowEnds) column = 0;
      memcpy(p, lastWord ? "\n " : rowEnds ? ",\n" : ", ", 2);
      return p + (lastWord ? 1 : 2);
    });
  });
}

// printf-style text into the block buffer, for the lines around the words.
__attribute__((format(printf, 2, 3))) bool putf(sink& s, const char* fmt, ...) {
  va_list a, b;
  va_start(a, fmt);
  va_copy(b, a);
  std::string text(static_cast<size_t>(std::max(0, vsnprintf(nullptr, 0, fmt, a))) + 1, '\0');
  va_end(a);
  vsnprintf(text.data(), text.size(), fmt, b);
  va_end(b);
  return put(s, text.data(), text.size() - 1);
}

// ---- Bytes and records ------------------------------------------------------

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

// The digits of a record's fields and data, then its checksum and the line
// end: the checksum is the two's complement of the byte sum for Intel HEX,
// the ones' complement for S-records.
char* recordBody(char* p, const uint8_t* head, size_t headLen, const uint8_t* data, size_t n,
                 bool onesComplement) {
  unsigned sum = 0;
  for (size_t i = 0; i < headLen; i++, p += 2) {
    sum += head[i];
    memcpy(p, upper.d[head[i]], 2);
  }
  for (size_t i = 0; i < n; i++, p += 2) {
    sum += data[i];
    memcpy(p, upper.d[data[i]], 2);
  }
  memcpy(p, upper.d[(onesComplement ? ~sum : 0u - sum) & 0xff], 2);
  p[2] = '\n';
  return p + 3;
}

// An Intel HEX record: ':', count, 16-bit address, type, data, checksum.
char* ihexRecord(char* p, uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
  const uint8_t head[] = {static_cast<uint8_t>(n), static_cast<uint8_t>(address >> 8),
                          static_cast<uint8_t>(address), type};
  *p = ':';
  return recordBody(p + 1, head, sizeof head, data, n, false);
}

// The extended linear address record: the upper 16 bits of the addresses
// of the records that follow.
char* ihexUpper(char* p, uint64_t upper16) {
  const uint8_t b[] = {static_cast<uint8_t>(upper16 >> 8), static_cast<uint8_t>(upper16)};
  return ihexRecord(p, 4, 0, b, 2);
}

// An S-record of `type` with an address of `addressBytes` bytes.
char* srecRecord(char* p, char type, uint32_t address, size_t addressBytes, const uint8_t* data,
                 size_t n) {
  uint8_t head[5] = {static_cast<uint8_t>(addressBytes + 1 + n)};
  for (size_t i = 0; i < addressBytes; i++) {
    head[1 + i] = static_cast<uint8_t>(address >> 8 * (addressBytes - 1 - i));
  }
  p[0] = 'S';
  p[1] = type;
  return recordBody(p + 2, head, 1 + addressBytes, data, n, true);
}

// The 4 bytes of a 32-bit value, most significant first.
struct bigEndian32 {
  uint8_t b[4];
  explicit bigEndian32(uint32_t v)
      : b{static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)} {}
};

// Room for the longest record line (16 data bytes) with an address record
// before it.
constexpr size_t recordRoom = 64;
// The same for a record of up to 255 data bytes.
constexpr size_t longRecordRoom = 2 * 255 + 64;

// Writes one record at the end of the buffer.
template <class Record>
bool putRecord(sink& s, Record record, size_t need = recordRoom) {
  if (!room(s, need)) return false;
  s.pos = static_cast<size_t>(record(s.buf + s.pos) - s.buf);
  return true;
}

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

// Words [first, end) of a reader.
struct stretch {
  uint64_t first, end;
};

// The stretches of the memory that hold placed bytes, in units of `unit`
// bytes from its base and within its first `limit` units. Runs of one
// segment that touch (its stored bytes and its zero tail) are one stretch;
// with `join`, so are any that share a unit or touch. Visits the
// placement's runs only, never the gaps between them.
std::vector<stretch> placedStretches(const wordReader& r, uint64_t unit, uint64_t limit, bool join) {
  const placement& p = *r.p;
  const uint64_t top = p.base + std::min(limit * unit, r.memWords * r.wordBytes);
  std::vector<stretch> out;
  uint32_t seg = 0;  // of the last run
  for (const auto& [a, run] : p.map.runs()) {
    if (a >= top) break;
    const uint64_t from = std::max(a, p.base), to = std::min(run.end, top);
    if (from >= to) continue;
    const uint64_t first = (from - p.base) / unit, end = (to - p.base + unit - 1) / unit;
    const bool sameSegment = !out.empty() && run.seg == seg && out.back().end == first;
    seg = run.seg;
    if (sameSegment || (join && !out.empty() && out.back().end >= first)) {
      out.back().end = std::max(out.back().end, end);
    } else {
      out.push_back({first, end});
    }
  }
  return out;
}

// What a format of bytes (Intel HEX, S-records) writes: parts of the
// reader's words, each written from address `at`. The whole memory; or,
// sparse, the placed bytes themselves in an image of one lane (read by a
// reader of single bytes), and in a lane's image every word that holds a
// placed byte in any lane, so that the lanes' images cover the same words.
struct byteFile {
  struct part {
    uint64_t first, end, at;
  };
  wordReader reader;
  size_t size;  // bytes of a word the reader hands out
  std::vector<part> parts;
};

byteFile byteParts(const memLayout& m, const wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : m.address;
  const size_t lb = wordSize(m.width);
  byteFile f{r, lb, {}};
  if (!m.sparse) {
    f.parts.push_back({r.next, r.depth, origin});
  } else if (r.lanes == 1) {
    // The memory's bytes one at a time, at rising addresses.
    f.reader.wordBytes = 1;
    f.reader.laneBits = 8;
    f.reader.memoryOrder = true;
    f.reader.memWords = r.memWords * r.wordBytes;
    f.reader.depth = r.depth * r.wordBytes;
    f.size = 1;
    for (const stretch& st : placedStretches(r, 1, m.depth * r.wordBytes, false)) {
      f.parts.push_back({st.first, st.end, origin + st.first});
    }
  } else {
    for (const stretch& st : placedStretches(r, r.wordBytes, m.depth, true)) {
      f.parts.push_back({st.first, st.end, origin + st.first * lb});
    }
  }
  return f;
}

// The highest address of the file: its last data byte's, or the start
// address when that is higher and written.
uint64_t lastAddress(const byteFile& f, const memLayout& m) {
  uint64_t last = 0;
  if (!f.parts.empty()) {
    const byteFile::part& p = f.parts.back();
    last = p.at + (p.end - p.first) * f.size - 1;
  }
  return m.hasStart ? std::max<uint64_t>(last, m.entry) : last;
}

// The records of every part of the file.
template <class Record>
bool partRecords(sink& s, byteFile& f, size_t most, bool cut64k, Record record) {
  for (const byteFile::part& p : f.parts) {
    f.reader.next = p.first;
    f.reader.depth = p.end;
    if (!byteRecords(s, f.reader, f.size, p.at, most, cut64k, record)) return false;
  }
  return true;
}

// Intel HEX at the memory's own byte addresses (or from --rebase): data
// records, the start linear address (the entry) and the end record.
bool writeIhex(sink& s, const memLayout& m, wordReader& r) {
  uint64_t upper16 = 0;
  const bigEndian32 entry(m.entry);
  byteFile f = byteParts(m, r);
  return partRecords(s, f, m.recordBytes, true,
                     [&](char* p, uint64_t at, const uint8_t* b, size_t n) {
                       if (at >> 16 != upper16) p = ihexUpper(p, upper16 = at >> 16);
                       return ihexRecord(p, 0, static_cast<uint16_t>(at), b, n);
                     }) &&
         putRecord(s, [&](char* p) {
           if (m.hasStart) p = ihexRecord(p, 5, 0, entry.b, 4);
           return ihexRecord(p, 1, 0, nullptr, 0);
         }) &&
         flush(s);
}

// The extended segment address record: `segment` * 16 is added to the
// addresses of the records that follow.
char* ihexSegment(char* p, uint64_t segment) {
  const uint8_t b[] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
  return ihexRecord(p, 2, 0, b, 2);
}

// Intel HEX addressed by word index, one word per record, its value most
// significant byte first: how Quartus initialises a memory. Each 64 Ki
// words after the first get an extended segment address record (type 02,
// the only kind Quartus documents and old simulation models read) while the
// index fits one, below 1 Mi words; beyond, extended linear address records
// (type 04), after a segment record back to 0 for readers that add both.
bool writeIhexWords(sink& s, const memLayout& m, wordReader& r) {
  const size_t size = wordSize(m.width);
  // A record of `size` data bytes, after up to two extended address records.
  const size_t longest = 2 * size + 12 + 2 * 16;
  const uint64_t origin = m.rebased ? m.rebase : 0;
  return eachWord(s, m, r, longest, [&](char* p, const uint8_t* w, uint64_t i) {
           const uint64_t a = origin + i;
           // A new 64 Ki-word page, or a first word past the first page:
           // segment records below 1 Mi words, linear ones beyond.
           if ((a % 0x10000 == 0 && a > 0) || (i == 0 && a >= 0x10000)) {
             if (a < 0x100000) {
               p = ihexSegment(p, a >> 16 << 12);
             } else {
               if (a == 0x100000 || i == 0) p = ihexSegment(p, 0);
               p = ihexUpper(p, a >> 16);
             }
           }
           return ihexRecord(p, 0, static_cast<uint16_t>(a), w, size);
         }) &&
         putRecord(s, [](char* p) { return ihexRecord(p, 1, 0, nullptr, 0); }) && flush(s);
}

// Motorola S-records: the S0 header of Motorola's own example ("HDR"),
// data records with the shortest addresses that hold every address of the
// file (S1 of 16 bits, S2 of 24, S3 of 32; S3 on request), and the
// matching S9, S8 or S7 with the entry.
bool writeSrec(sink& s, const memLayout& m, wordReader& r) {
  const uint8_t hdr[] = {'H', 'D', 'R'};
  byteFile f = byteParts(m, r);
  const uint64_t last = lastAddress(f, m);
  const size_t addressBytes = m.srecS3 || last > 0xFFFFFF ? 4 : last > 0xFFFF ? 3 : 2;
  const char type = static_cast<char>('0' + addressBytes - 1);
  // The count byte covers the address, the data and the checksum.
  const size_t most = std::min<size_t>(m.recordBytes, 255 - addressBytes - 1);
  return putRecord(s, [&](char* p) { return srecRecord(p, '0', 0, 2, hdr, sizeof hdr); }) &&
         partRecords(s, f, most, false,
                     [&](char* p, uint64_t at, const uint8_t* b, size_t n) {
                       return srecRecord(p, type, static_cast<uint32_t>(at), addressBytes, b, n);
                     }) &&
         putRecord(s, [&](char* p) {
           return srecRecord(p, static_cast<char>('0' + 11 - addressBytes), m.hasStart ? m.entry : 0,
                             addressBytes, nullptr, 0);
         }) &&
         flush(s);
}

// A 32-bit value, least significant byte first.
void putLe32(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> 8 * i);
}

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

// ---- Memory files -----------------------------------------------------------

// Verilog $readmemh (or $readmemb with --radix=2): one word per line,
// nothing else. Sparse, each stretch of words that hold placed bytes
// follows an `@` line with the index of its first word (the array index,
// in hex, no blank after the @).
bool writeVmem(sink& s, const memLayout& m, wordReader& r) {
  if (!m.sparse) return wordLines(s, m, r, "", "\n", "\n");
  const uint64_t origin = m.rebased ? m.rebase : 0;
  for (const stretch& st : placedStretches(r, r.wordBytes, m.depth, true)) {
    memLayout part = m;
    part.depth = st.end - st.first;
    r.next = st.first;
    r.depth = st.end;
    if (!putf(s, "@%llx\n", ull(origin + st.first)) || !wordLines(s, part, r, "", "\n", "\n")) return false;
  }
  return flush(s);
}

// The memory file of updatemem, the tool that puts memory contents into a
// finished bitstream: `@` and the byte address of word 0 (8 hex digits, as
// the tool counts addresses in bytes), then the words, one a line, each
// value most significant digit first as in vmem. The memory is one
// contiguous block, so one `@` line.
bool writeUpdatemem(sink& s, const memLayout& m, wordReader& r) {
  return putf(s, "@%08llx\n", ull(m.address)) && wordLines(s, m, r, "", "\n", "\n");
}

// Xilinx coefficient file: the radix, then the words separated by commas
// and ended by a semicolon.
bool writeCoe(sink& s, const memLayout& m, wordReader& r) {
  return putf(s, "memory_initialization_radix=16;\nmemory_initialization_vector=\n") &&
         wordLines(s, m, r, "", ",\n", ";\n");
}

// Lattice memory file: its header, then hex (or binary) words. The data
// radix the memory tools show follows the file's: 3 hex, 0 binary.
bool writeLatticeMem(sink& s, const memLayout& m, wordReader& r) {
  const bool bits = m.radix == 2;
  return putf(s, "#Format=%s\n#Depth=%llu\n#Width=%u\n#AddrRadix=3\n#DataRadix=%d\n#Data\n",
              bits ? "Bin" : "Hex", ull(m.depth), m.width, bits ? 0 : 3) &&
         wordLines(s, m, r, "", "\n", "\n");
}

// Gowin memory initialisation file: its header, then hex (or binary) words.
bool writeGowinMi(sink& s, const memLayout& m, wordReader& r) {
  return putf(s, "#File_format=%s\n#Address_depth=%llu\n#Data_width=%u\n", m.radix == 2 ? "Bin" : "Hex",
              ull(m.depth), m.width) &&
         wordLines(s, m, r, "", "\n", "\n");
}

// Intel memory initialisation file: one `address : word;` line per word,
// upper-case as in Intel's examples. The `[a..b] : word;` form for runs is
// left out: srec_cat misreads it for words wider than a byte.
bool writeMif(sink& s, const memLayout& m, wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : 0;
  const size_t ad = std::max<size_t>(1, (std::bit_width(origin + m.depth - 1) + 3) / 4);  // address digits
  return putf(s, "WIDTH=%u;\nDEPTH=%llu;\n\nADDRESS_RADIX=HEX;\nDATA_RADIX=HEX;\n\nCONTENT BEGIN\n",
              m.width, ull(m.depth)) &&
         byWidth(m.width, [&](auto W) {
           return eachWord(s, m, r, 2 + ad + 3 + digits(m.width) + 2, [&](char* p, const uint8_t* w, uint64_t i) {
             i += origin;
             memcpy(p, "  ", 2);
             p += 2;
             for (size_t d = ad; d-- > 0; i >>= 4) p[d] = "0123456789ABCDEF"[i & 15];
             memcpy(p + ad, " : ", 3);
             p = hexWord<W>(p + ad + 3, w, upper, m.width);
             memcpy(p, ";\n", 2);
             return p + 2;
           });
         }) &&
         put(s, "END;\n", 5) && flush(s);
}

// ---- Source code ------------------------------------------------------------

// A VHDL package: the depth and width as constants, the array type, and
// the image as a constant of that type. Words narrower than 4 bits are
// string literals of their bits ("01"), wider ones hex (x"0a").
bool writeVhdl(sink& s, const memLayout& m, wordReader& r) {
  const char* n = m.name;
  // A one-word aggregate must name its index: a lone positional element
  // would read as a parenthesised expression.
  const std::string before = std::string(m.depth == 1 ? "0 => " : "") + (m.width < 4 ? "\"" : "x\"");
  return putf(s,
              "-- %s: %llu words of %u bits, word 0 at address 0x%08llx\n"
              "library ieee;\nuse ieee.std_logic_1164.all;\n\n"
              "package %s_pkg is\n"
              "  constant %s_depth : natural := %llu;\n"
              "  constant %s_width : natural := %u;\n"
              "  type %s_t is array (0 to %s_depth - 1)\n"
              "    of std_ulogic_vector(%s_width - 1 downto 0);\n"
              "  constant %s : %s_t := (\n",
              n, ull(m.depth), m.width, ull(m.address), n, n, ull(m.depth), n, m.width, n, n, n,
              n, n) &&
         wordRows(s, m, r, "    ", before.c_str(), "\"") &&
         putf(s, "  );\nend package %s_pkg;\n", n) && flush(s);
}

const char* cType(uint32_t width) {
  return width <= 8 ? "uint8_t" : width <= 16 ? "uint16_t" : width <= 32 ? "uint32_t" : "uint64_t";
}

bool cComment(sink& s, const memLayout& m) {
  return putf(s, "/* %s: %llu words of %u bits, word 0 at address 0x%08llx */\n", m.name,
              ull(m.depth), m.width, ull(m.address));
}

// The declarations of the C image, with C linkage in C++ too. The image's
// own file has them before the definitions, so that its const objects have
// external linkage when it is compiled as C++.
bool cDeclarations(sink& s, const memLayout& m) {
  return putf(s,
              "#ifdef __cplusplus\nextern \"C\" {\n#endif\n"
              "extern const uint32_t %s_base;\nextern const uint32_t %s_words;\n"
              "extern const %s %s[%llu];\n"
              "#ifdef __cplusplus\n}\n#endif\n",
              m.name, m.name, cType(m.width), m.name, ull(m.depth));
}

// C source that compiles on its own as C99 or C++: the image as a const
// array of uintW_t, its base address and its number of words.
bool writeC(sink& s, const memLayout& m, wordReader& r) {
  const char* n = m.name;
  return cComment(s, m) && putf(s, "#include <stdint.h>\n\n") && cDeclarations(s, m) &&
         putf(s,
              "\nconst uint32_t %s_base = 0x%08llx;\nconst uint32_t %s_words = %llu;\n"
              "const %s %s[%llu] = {\n",
              n, ull(m.address), n, ull(m.depth), cType(m.width), n, ull(m.depth)) &&
         wordRows(s, m, r, "  ", "0x", m.width > 32 ? "ULL" : "") && putf(s, "};\n") && flush(s);
}

// The header of the C image: the same declarations behind an include guard.
bool writeCHeader(sink& s, const memLayout& m, wordReader&) {
  std::string guard = m.name;
  for (char& c : guard) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return cComment(s, m) &&
         putf(s, "#ifndef %s_H\n#define %s_H\n\n#include <stdint.h>\n\n", guard.c_str(),
              guard.c_str()) &&
         cDeclarations(s, m) && putf(s, "\n#endif\n") && flush(s);
}

constexpr uint64_t noLimit = 0;

constexpr memFormat formats[] = {
    {"vmem", writeVmem, nullptr, false, 1, 1024, noLimit, false, useBinary, false},
    {"bin", writeBin, nullptr, true, 8, 1024, noLimit, false, 0, true},
    {"coe", writeCoe, nullptr, false, 1, 1024, noLimit, false, 0, false},
    {"mif", writeMif, nullptr, false, 1, 1024, noLimit, false, 0, false},
    {"ihex", writeIhex, nullptr, true, 8, 1024, noLimit, true, 0, false},
    {"ihex-words", writeIhexWords, nullptr, false, 8, 1024, noLimit, false, 0, false},
    {"srec", writeSrec, nullptr, true, 8, 1024, noLimit, true, 0, false},
    {"lattice-mem", writeLatticeMem, nullptr, false, 1, 256, 65536, false, useBinary, false},
    {"updatemem", writeUpdatemem, nullptr, false, 8, 1024, noLimit, false, 0, false},
    {"gowin-mi", writeGowinMi, nullptr, false, 1, 1024, noLimit, false, useBinary, false},
    {"uf2", writeUf2, nullptr, true, 8, 1024, noLimit, false, useFamily, false},
    // A VHDL natural is only sure to reach 2^31 - 1.
    {"vhdl", writeVhdl, nullptr, false, 1, 1024, 0x7fffffff, false, useName, false},
    // NAME_words is a uint32_t.
    {"c", writeC, writeCHeader, false, 8, 64, 0xffffffff, false, useName, false},
};

}  // namespace

std::span<const memFormat> memFormats() { return formats; }

bool writesSparse(const memFormat& f) {
  return f.write == writeVmem || f.write == writeIhex || f.write == writeSrec;
}

const char* rebaseProblem(const memFormat& f, bool sparse) {
  if (f.write == writeIhex || f.write == writeSrec || f.write == writeMif || f.write == writeIhexWords) {
    return nullptr;
  }
  if (f.write == writeVmem) return sparse ? nullptr : "writes no addresses without --sparse";
  return "writes no addresses";
}

uint64_t highestAddress(const memLayout& m, const wordReader& r) {
  return lastAddress(byteParts(m, r), m);
}

uint64_t highestWordAddress(const memFormat& f, const memLayout& m, const wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : 0;
  if (f.write == writeVmem && m.sparse) {
    const std::vector<stretch> placed = placedStretches(r, r.wordBytes, m.depth, true);
    return placed.empty() ? origin : origin + placed.back().end - 1;
  }
  return origin + (m.depth > 0 ? m.depth - 1 : 0);
}

const memFormat* findFormat(const char* name) {
  for (const memFormat& f : formats) {
    if (strcmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}

namespace {

// The IDs that the UF2 bootloaders of these chips check.
constexpr uf2FamilyName families[] = {
    {"rp2040", 0xe48bff56},      {"rp2350-arm-s", 0xe48bff59}, {"rp2350-arm-ns", 0xe48bff5b},
    {"rp2350-riscv", 0xe48bff5a}, {"rp2xxx-absolute", 0xe48bff57}, {"rp2xxx-data", 0xe48bff58},
    {"samd21", 0x68ed2b88},      {"samd51", 0x55114460},       {"nrf52840", 0xada52840},
    {"nrf52", 0x1b57745f},       {"stm32f4", 0x57755a57},      {"stm32f407", 0x6d0922fa},
    {"stm32f411xe", 0x2dc309c5}, {"stm32f411xc", 0x06d1097b},  {"esp32", 0x1c5f21b0},
    {"esp32s2", 0xbfdd4eee},     {"esp32s3", 0xc47e5767},
};

}  // namespace

std::span<const uf2FamilyName> uf2Families() { return families; }

const uf2FamilyName* findUf2Family(const char* name) {
  for (const uf2FamilyName& f : families) {
    if (strcasecmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}

}  // namespace romwright
