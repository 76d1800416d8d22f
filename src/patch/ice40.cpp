// iCE40 ASCII configuration (.asc): the block RAMs' contents and how a
// memory's placeholder bits are found in them.
//
// The text is a list of directives, each a line starting with '.', most
// followed by lines of bits. Each 4-kbit RAM that holds contents is a
// `.ram_data X Y` line (its tile) and 16 lines of 64 hex digits: line i is
// the RAM's INIT_i, a 256-bit number written most significant digit first.
// Bit p of INIT_i is bit p % 16 of the RAM's row 16 i + p / 16, so a line
// holds 16 rows of 16 bits, row 0 in its last 4 digits. Every other byte of
// the file is configuration this patcher copies unread.
//
// A RAM has 256 rows of 16 bit columns, whatever its mode. The row is
// address pins 7:0; in the narrower modes (512 x 8, 1024 x 4, 2048 x 2)
// pins 8 and up choose one column of each group of 2, 4 or 8 neighbours,
// the group being one data bit. Synthesis splits a wider memory over RAMs
// by data bits (in any order) and a deeper one by the high address bits, and
// wires the address bits to the pins in order, the lowest ones either to the
// column choice (yosys) or to the row. Either way each column of a RAM holds
// one data bit of the words start, start + s, start + 2 s, ... from row 0,
// where the stride s is 1, 2, 4 or 8: a "segment" (memory, bit, start,
// stride). Where the memory ends before row 255 the rest of the column holds
// nothing of it.
//
// The placeholder's words are pseudo-random, so a segment's bits tell it
// from every other: the patcher lists every segment a memory could have
// (every bit, stride and start), looks each RAM column up among them by its
// bits, and takes the longest match. A column that matches none belongs to
// no memory of the patch and is left alone. A segment found complemented is
// a data bit synthesis stored inverted, and is patched inverted. A few bits
// could match a column of another memory by chance, so segments shorter
// than 16 words are not looked for, and one shorter than 64 words counts
// only in a column whose rows past it are all 0s or all 1s, as synthesis
// leaves the rows of addresses a memory does not have. Then every bit of
// every placeholder word must be claimed by exactly one column (one for
// each copy, for a memory the design holds several times), or nothing is
// made.
//
// The text is read strictly, since a patch that guessed could write a
// design that does not work: a `.ram_data` line names its tile with two
// decimal numbers, and is followed by exactly 16 lines of exactly 64 hex
// digits (either case), then blank lines at most before the next directive
// or the end. Lines end in "\n" or "\r\n", kept as they are; the last may
// lack its end. A tile given twice is refused. Patched lines are written in
// lower case, as the iCE40 tools write them. Time and memory follow the
// size of the text and of the memories, which must fit in its RAMs.
#include <algorithm>
#include <bit>
#include <cstring>

#include "patch/bitstream.hpp"
#include "patch/columns.hpp"

namespace romwright {

namespace {

constexpr unsigned ramRows = 256, ramColumns = 16, lines = 16, digits = 64;
constexpr unsigned rowWords = ramRows / 64;  // uint64_t per RAM column

// The bit columns of 256 rows of values of up to `width` bits (1 to 64),
// as few 64 x 64 transposes make them: the rows of the four blocks of 64
// side by side in fields of 8, 16, 32 or 64 bits, so that one transpose
// turns as many blocks as fit. Bit b of rows 64 q to 64 q + 63 is then
// `at(b, q)`.
struct rowColumns {
  unsigned fieldBits, fields;
  uint64_t m[rowWords][64];

  rowColumns(const uint64_t rows[ramRows], uint32_t width)
      : fieldBits(width <= 8 ? 8 : width <= 16 ? 16 : width <= 32 ? 32 : 64),
        fields(std::min(64 / fieldBits, rowWords)) {
    for (unsigned t = 0; t * fields < rowWords; ++t) {
      for (unsigned k = 0; k < 64; ++k) {
        uint64_t v = 0;
        for (unsigned f = 0; f < fields; ++f) v |= rows[64 * (t * fields + f) + k] << (f * fieldBits);
        m[t][k] = v;
      }
      transpose64(m[t]);
    }
  }
  uint64_t at(unsigned b, unsigned q) const { return m[q / fields][(q % fields) * fieldBits + b]; }
};

// One RAM's `.ram_data` block.
struct ramTile {
  unsigned x = 0, y = 0;
  size_t at = 0;              // offset of its `.ram_data` line
  size_t data[lines] = {};    // offset of each data line's first digit
  uint64_t column[ramColumns][rowWords] = {};  // row r of column c: bit r % 64 of [c][r / 64]
  bool patched = false;
};

// Hex digit values; 16 marks a character that is not one.
struct hexTable {
  uint8_t value[256];
  constexpr hexTable() : value() {
    for (unsigned c = 0; c < 256; ++c) value[c] = 16;
    for (unsigned c = 0; c < 10; ++c) value['0' + c] = static_cast<uint8_t>(c);
    for (unsigned c = 0; c < 6; ++c) {
      value['a' + c] = static_cast<uint8_t>(10 + c);
      value['A' + c] = static_cast<uint8_t>(10 + c);
    }
  }
};
constexpr hexTable hexDigits;

// The 1-based number of the line at `offset`, for messages.
size_t lineNumber(std::string_view text, size_t offset) {
  return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// The line starting at `at`, without its end ("\n" or "\r\n"), and where
// the next one starts (text.size() at the end).
std::string_view lineAt(std::string_view text, size_t at, size_t& next) {
  size_t end = text.find('\n', at);
  next = end == std::string_view::npos ? text.size() : end + 1;
  if (end == std::string_view::npos) end = text.size();
  if (end > at && text[end - 1] == '\r') --end;
  return text.substr(at, end - at);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

void skipBlanks(std::string_view& s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
}

// A tile coordinate: 1 to 5 decimal digits.
bool parseCoordinate(std::string_view& s, unsigned& v) {
  size_t n = 0;
  v = 0;
  while (n < s.size() && n < 6 && s[n] >= '0' && s[n] <= '9') v = v * 10 + static_cast<unsigned>(s[n++] - '0');
  if (n == 0 || n > 5) return false;
  s.remove_prefix(n);
  return true;
}

// Reads the block whose `.ram_data` line starts at `at`; `next` is where the
// line after the block starts.
Result<ramTile> parseBlock(std::string_view text, size_t at, size_t& next) {
  ramTile t;
  t.at = at;
  const std::string_view line0 = lineAt(text, at, next);
  std::string_view head = line0.substr(std::strlen(".ram_data"));
  skipBlanks(head);
  bool ok = parseCoordinate(head, t.x) && !head.empty() && isBlank(head.front());
  if (ok) {
    skipBlanks(head);
    ok = parseCoordinate(head, t.y);
    skipBlanks(head);
  }
  if (!ok || !head.empty()) {
    // Quoted as far as it is printable, so that hostile text cannot steer a
    // terminal.
    std::string shown(line0.substr(0, 60));
    for (char& c : shown) c = c >= ' ' && c < 127 ? c : '?';
    return failuref("line %zu: a .ram_data line names its RAM tile with two numbers: \"%s\"\n",
                    lineNumber(text, at), shown.c_str());
  }
  // Line i holds rows 16 i + 15 down to 16 i, four digits each.
  uint64_t rows[ramRows];
  for (unsigned i = 0; i < lines; ++i) {
    const size_t start = next;
    if (start >= text.size() || text[start] == '.') {
      return failuref("line %zu: RAM tile %u %u ends after %u of its 16 lines of contents\n",
                      lineNumber(text, start), t.x, t.y, i);
    }
    const std::string_view line = lineAt(text, start, next);
    if (line.size() != digits) {
      return failuref("line %zu: RAM tile %u %u: a line of contents holds %zu characters, not 64 hex digits\n",
                      lineNumber(text, start), t.x, t.y, line.size());
    }
    t.data[i] = start;
    unsigned bad = 0;
    for (unsigned q = 0; q < 16; ++q) {
      const char* d = line.data() + digits - 4 - 4 * q;
      unsigned v = 0;
      for (unsigned k = 0; k < 4; ++k) {
        const unsigned n = hexDigits.value[static_cast<uint8_t>(d[k])];
        bad |= n;
        v = v << 4 | n;
      }
      rows[16 * i + q] = v;
    }
    if ((bad & 16) != 0) {
      const char c = *std::find_if(line.begin(), line.end(),
                                   [](char ch) { return hexDigits.value[static_cast<uint8_t>(ch)] == 16; });
      return failuref("line %zu: RAM tile %u %u: '%c' is not a hex digit\n", lineNumber(text, start), t.x, t.y,
                      c >= ' ' && c < 127 ? c : '?');
    }
  }
  const rowColumns columns(rows, ramColumns);
  for (unsigned q = 0; q < rowWords; ++q) {
    for (unsigned c = 0; c < ramColumns; ++c) t.column[c][q] = columns.at(c, q);
  }
  // Blank lines may follow, but nothing else before the next directive.
  while (next < text.size() && text[next] != '.') {
    const size_t start = next;
    const std::string_view line = lineAt(text, start, next);
    if (!std::all_of(line.begin(), line.end(), isBlank)) {
      return failuref("line %zu: RAM tile %u %u has more than 16 lines of contents\n", lineNumber(text, start),
                      t.x, t.y);
    }
  }
  return t;
}

// Every `.ram_data` block of `text`, in order.
Result<std::vector<ramTile>> parseRams(std::string_view text) {
  static constexpr std::string_view directive = ".ram_data";
  std::vector<ramTile> tiles;
  for (size_t at = 0; at < text.size();) {
    const void* dot = std::memchr(text.data() + at, '.', text.size() - at);
    if (dot == nullptr) break;
    at = static_cast<size_t>(static_cast<const char*>(dot) - text.data());
    const size_t after = at + directive.size();
    // A directive starts a line; a longer name that starts the same is
    // another directive.
    if ((at == 0 || text[at - 1] == '\n') && text.substr(at, directive.size()) == directive &&
        (after == text.size() || isBlank(text[after]) || text[after] == '\r' || text[after] == '\n')) {
      auto tile = parseBlock(text, at, at);
      if (!tile) return tile.error();
      tiles.push_back(*tile);
    } else {
      ++at;
    }
  }
  // The same tile twice would leave it unclear which contents hold.
  std::vector<std::pair<uint64_t, size_t>> seen;
  seen.reserve(tiles.size());
  for (size_t i = 0; i < tiles.size(); ++i) seen.emplace_back(uint64_t{tiles[i].x} << 32 | tiles[i].y, i);
  std::sort(seen.begin(), seen.end());
  for (size_t i = 1; i < seen.size(); ++i) {
    if (seen[i].first != seen[i - 1].first) continue;
    const ramTile& a = tiles[seen[i - 1].second];
    const ramTile& b = tiles[seen[i].second];
    return failuref("lines %zu and %zu: RAM tile %u %u is given twice\n", lineNumber(text, a.at),
                    lineNumber(text, b.at), a.x, a.y);
  }
  return tiles;
}

// A RAM column's rows, or a segment's: `length` rows from row 0, the rows
// past it clear.
struct segmentBits {
  unsigned length = 0;
  uint64_t bits[rowWords] = {};
  bool operator==(const segmentBits& o) const {
    return length == o.length && std::equal(bits, bits + rowWords, o.bits);
  }
};

// The mask of rows 64 q up to 64 q + 63 of the first `length`.
uint64_t rowMask(unsigned length, unsigned q) {
  if (length <= 64 * q) return 0;
  return length - 64 * q >= 64 ? ~uint64_t{0} : (uint64_t{1} << (length - 64 * q)) - 1;
}

segmentBits truncated(segmentBits s) {
  for (unsigned q = 0; q < rowWords; ++q) s.bits[q] &= rowMask(s.length, q);
  return s;
}

// Whether a column's rows from `from` up are all 0s or all 1s.
bool plainFrom(const uint64_t* column, unsigned from) {
  uint64_t zeros = 0, ones = ~uint64_t{0};
  for (unsigned q = 0; q < rowWords; ++q) {
    const uint64_t rest = ~rowMask(from, q);
    zeros |= column[q] & rest;
    ones &= column[q] | ~rest;
  }
  return zeros == 0 || ones == ~uint64_t{0};
}

segmentBits complement(segmentBits s) {
  for (uint64_t& b : s.bits) b = ~b;
  return truncated(s);
}

uint64_t hashOf(const segmentBits& s) {
  uint64_t h = s.length;
  for (uint64_t b : s.bits) {
    h = (h ^ b) * 0x9e3779b97f4a7c15ull;
    h ^= h >> 29;
  }
  return h;
}

// The strides a RAM column's words can be apart; the fewest words a
// segment must hold to be looked for; and below how many a segment counts
// only in a column whose rows past it are all 0s or all 1s.
constexpr unsigned strides[] = {1, 2, 4, 8};
constexpr unsigned minSegment = 16, paddedBelow = 64;

// Bits 0, s, 2 s, ... of `x` (s = 1, 2, 4 or 8) packed into its low 64 / s
// bits, and back.
uint64_t everyNth(uint64_t x, unsigned s) {
  switch (s) {
    case 2:
      x &= 0x5555555555555555ull;
      x = (x | x >> 1) & 0x3333333333333333ull;
      x = (x | x >> 2) & 0x0f0f0f0f0f0f0f0full;
      x = (x | x >> 4) & 0x00ff00ff00ff00ffull;
      x = (x | x >> 8) & 0x0000ffff0000ffffull;
      return (x | x >> 16) & 0x00000000ffffffffull;
    case 4:
      x &= 0x1111111111111111ull;
      x = (x | x >> 3) & 0x0303030303030303ull;
      x = (x | x >> 6) & 0x000f000f000f000full;
      x = (x | x >> 12) & 0x000000ff000000ffull;
      return (x | x >> 24) & 0x000000000000ffffull;
    case 8:
      x &= 0x0101010101010101ull;
      x = (x | x >> 7) & 0x0003000300030003ull;
      x = (x | x >> 14) & 0x0000000f0000000full;
      return (x | x >> 28) & 0x00000000000000ffull;
  }
  return x;
}

uint64_t spreadNth(uint64_t x, unsigned s) {
  switch (s) {
    case 2:
      x &= 0x00000000ffffffffull;
      x = (x | x << 16) & 0x0000ffff0000ffffull;
      x = (x | x << 8) & 0x00ff00ff00ff00ffull;
      x = (x | x << 4) & 0x0f0f0f0f0f0f0f0full;
      x = (x | x << 2) & 0x3333333333333333ull;
      return (x | x << 1) & 0x5555555555555555ull;
    case 4:
      x &= 0x000000000000ffffull;
      x = (x | x << 24) & 0x000000ff000000ffull;
      x = (x | x << 12) & 0x000f000f000f000full;
      x = (x | x << 6) & 0x0303030303030303ull;
      return (x | x << 3) & 0x1111111111111111ull;
    case 8:
      x &= 0x00000000000000ffull;
      x = (x | x << 28) & 0x0000000f0000000full;
      x = (x | x << 14) & 0x0003000300030003ull;
      return (x | x << 7) & 0x0101010101010101ull;
  }
  return x;
}

// Calls f(stride, offset, chunk, length) for every run of words a RAM
// column can hold of a memory of `depth` words: words offset + stride * r
// for r from 256 * chunk, `length` of them, from minSegment words up.
template <class F>
void forEachRun(uint64_t depth, F f) {
  for (unsigned s : strides) {
    for (unsigned offset = 0; offset < s && offset < depth; ++offset) {
      const uint64_t count = (depth - offset + s - 1) / s;
      for (uint64_t chunk = 0; chunk * ramRows < count; ++chunk) {
        const unsigned length = static_cast<unsigned>(std::min<uint64_t>(ramRows, count - chunk * ramRows));
        if (length >= minSegment) f(s, offset, chunk, length);
      }
    }
  }
}

// A segment: bit `bit` of words start + stride * r of memory `memory`, for
// r below `length`. Its start is offset + 256 * stride * chunk, offset
// below the stride.
struct segment {
  uint32_t memory;
  uint32_t bit;
  uint8_t stride;
  uint8_t offset;
  uint16_t length;
  uint64_t chunk;
  uint64_t start() const { return offset + uint64_t{ramRows} * stride * chunk; }
};

// Rows 64 q to 64 q + 63 of a segment's place in a column of words (64 to
// a uint64_t, `size` of them): words start + stride * r lie in `stride`
// neighbouring uint64_t, 64 / stride in each.
uint64_t segmentWord(const uint64_t* column, size_t size, const segment& s, unsigned q) {
  const uint64_t first = uint64_t{s.stride} * (rowWords * s.chunk + q);
  const unsigned per = 64 / s.stride;
  uint64_t w = 0;
  for (unsigned j = 0; j < s.stride && first + j < size; ++j) {
    w |= everyNth(column[first + j] >> s.offset, s.stride) << (j * per);
  }
  return w;
}

segmentBits segmentOf(const bitColumns& c, const segment& s) {
  segmentBits b;
  b.length = s.length;
  for (unsigned q = 0; q < rowWords; ++q) b.bits[q] = segmentWord(c.at(s.bit), c.stride, s, q);
  return truncated(b);
}

// A segment's first `length` rows (or a column's) in the form that is the
// same for them and for their complement (row 0 clear), so that one lookup
// finds a column stored as it is or inverted; `flipped` says which the
// bits were.
segmentBits canonicalRows(const uint64_t rows[rowWords], unsigned length, bool& flipped) {
  flipped = (rows[0] & 1) != 0;
  const uint64_t flip = flipped ? ~uint64_t{0} : 0;
  segmentBits s;
  s.length = length;
  for (unsigned q = 0; q < rowWords; ++q) s.bits[q] = (rows[q] ^ flip) & rowMask(length, q);
  return s;
}

// What a lookup key stands for: a segment, whether its bits were flipped
// into the key, and whether another segment has the same bits or their
// complement (then a column holding them cannot be told to be either).
struct keyMeaning {
  uint32_t segment;
  bool flipped;
  bool ambiguous = false;
  uint32_t other = 0;
};

// The segments' keys, looked up by open addressing: few enough that a flat
// table beats node allocation.
class keyTable {
 public:
  explicit keyTable(uint32_t keys) {
    size_t n = 16;
    while (n < 2 * size_t{keys}) n *= 2;
    slots_.assign(n, empty);
    keys_.reserve(keys);
    meanings_.reserve(keys);
  }
  // The meaning already stored for `key`, or null after storing `m`.
  keyMeaning* insert(const segmentBits& key, const keyMeaning& m) {
    size_t i = hashOf(key) & (slots_.size() - 1);
    for (; slots_[i] != empty; i = (i + 1) & (slots_.size() - 1)) {
      if (keys_[slots_[i]] == key) return &meanings_[slots_[i]];
    }
    slots_[i] = static_cast<uint32_t>(keys_.size());
    keys_.push_back(key);
    meanings_.push_back(m);
    return nullptr;
  }
  const keyMeaning* find(const segmentBits& key) const {
    for (size_t i = hashOf(key) & (slots_.size() - 1); slots_[i] != empty; i = (i + 1) & (slots_.size() - 1)) {
      if (keys_[slots_[i]] == key) return &meanings_[slots_[i]];
    }
    return nullptr;
  }

 private:
  static constexpr uint32_t empty = ~uint32_t{0};
  std::vector<uint32_t> slots_;
  std::vector<segmentBits> keys_;
  std::vector<keyMeaning> meanings_;
};

// Where a column was found to hold a segment.
struct claim {
  size_t tile;
  unsigned column;
  keyMeaning key;
  bool inverted;
};

// The words of a segment, for messages.
std::string segmentWords(const segment& s) {
  const uint64_t first = s.start(), last = first + uint64_t{s.stride} * (s.length - 1);
  if (s.stride == 1) {
    return strf("words %llu-%llu", static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
  }
  return strf("every %s word from %llu to %llu", s.stride == 2 ? "2nd" : s.stride == 4 ? "4th" : "8th",
              static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
}

bool recogniseAsc(std::span<const uint8_t> config) {
  const std::string_view text(reinterpret_cast<const char*>(config.data()), config.size());
  for (std::string_view first : {std::string_view(".comment"), std::string_view(".device")}) {
    if (text.substr(0, first.size()) == first &&
        (text.size() == first.size() || isBlank(text[first.size()]) || text[first.size()] == '\n' ||
         text[first.size()] == '\r')) {
      return true;
    }
  }
  return false;
}

Result<configEdits> patchAsc(std::span<const uint8_t> config, std::span<const patchMemory> memories,
                             patchNotes& notes) {
  const std::string_view text(reinterpret_cast<const char*>(config.data()), config.size());
  if (!recogniseAsc(config)) {
    return Error{"not an iCE40 ASCII configuration: it does not start with a .comment or .device line\n",
                 ErrorKind::malformed};
  }
  auto tiles = parseRams(text);
  if (!tiles) return withKind(tiles.error(), ErrorKind::malformed);

  // The memories' words, also as columns. Every placeholder bit needs a
  // RAM bit of its own, so a memory larger than the RAMs is refused before
  // anything is built for it, which also bounds what follows by the text's
  // size.
  std::vector<std::vector<uint64_t>> placeholders;
  std::vector<bitColumns> news;
  const uint64_t ramBits = uint64_t{tiles->size()} * ramRows * ramColumns;
  size_t keyCount = 0;
  for (const patchMemory& m : memories) {
    if (m.depth == 0) return failuref("memory %s: it has no words\n", m.name.c_str());
    if (m.copies == 0) return failuref("memory %s: it has no copies to patch\n", m.name.c_str());
    if (m.width <= 64 && (m.depth > ramBits || m.depth * m.width > ramBits / m.copies)) {
      return failuref("memory %s: its %llu words of %u bits%s cannot be found: the design's block RAMs hold %llu "
                      "bits (the memory is not in block RAM)\n",
                      m.name.c_str(), static_cast<unsigned long long>(m.depth), m.width,
                      m.copies == 1 ? "" : strf(", %u times,", m.copies).c_str(),
                      static_cast<unsigned long long>(ramBits));
    }
    auto seed = unpackWords(m, true);
    if (!seed) return seed.error();
    auto words = unpackWords(m, false);
    if (!words) return words.error();
    news.push_back(toColumns(*words, m.width));
    placeholders.push_back(std::move(*seed));
    forEachRun(m.depth, [&](unsigned, unsigned, uint64_t, unsigned) { keyCount += m.width; });
  }

  // Every segment of at least minSegment words the memories could have,
  // looked up by its bits. The words of each stride, start and length give
  // the segments of all their bits at once: gathered as rows, then turned
  // into columns.
  if (keyCount >= uint64_t{1} << 31) {
    return failuref("the memories have too many bits to look for (%zu RAM columns' worth)\n", keyCount);
  }
  std::vector<segment> segments;
  segments.reserve(keyCount);
  keyTable keys(static_cast<uint32_t>(keyCount));
  std::vector<unsigned> lengths;
  for (uint32_t m = 0; m < memories.size(); ++m) {
    const std::vector<uint64_t>& words = placeholders[m];
    const uint32_t width = memories[m].width;
    forEachRun(words.size(), [&](unsigned s, unsigned offset, uint64_t chunk, unsigned length) {
      if (std::find(lengths.begin(), lengths.end(), length) == lengths.end()) lengths.push_back(length);
      uint64_t rows[ramRows];
      const uint64_t* first = words.data() + offset + uint64_t{ramRows} * s * chunk;
      for (unsigned r = 0; r < length; ++r) rows[r] = first[uint64_t{s} * r];
      std::fill(rows + length, rows + ramRows, 0);
      const rowColumns columns(rows, width);
      for (uint32_t bit = 0; bit < width; ++bit) {
        uint64_t bits[rowWords];
        for (unsigned q = 0; q < rowWords; ++q) bits[q] = columns.at(bit, q);
        bool flipped;
        const segmentBits key = canonicalRows(bits, length, flipped);
        if (std::all_of(key.bits, key.bits + rowWords, [](uint64_t b) { return b == 0; })) continue;  // constant
        const keyMeaning meaning{static_cast<uint32_t>(segments.size()), flipped};
        segments.push_back({m, bit, static_cast<uint8_t>(s), static_cast<uint8_t>(offset),
                            static_cast<uint16_t>(length), chunk});
        keyMeaning* same = keys.insert(key, meaning);
        if (same != nullptr && !same->ambiguous) {
          same->ambiguous = true;
          same->other = meaning.segment;
        }
      }
    });
  }
  std::sort(lengths.begin(), lengths.end(), std::greater<>());

  // Each RAM column holds at most one segment: the longest that matches,
  // since a shorter one that equals its first rows says less.
  std::vector<claim> claims;
  for (size_t t = 0; t < tiles->size(); ++t) {
    for (unsigned c = 0; c < ramColumns; ++c) {
      const uint64_t* column = (*tiles)[t].column[c];
      for (unsigned length : lengths) {
        if (length < paddedBelow && !plainFrom(column, length)) continue;
        bool flipped;
        const keyMeaning* key = keys.find(canonicalRows(column, length, flipped));
        if (key == nullptr) continue;
        claims.push_back({t, c, *key, flipped != key->flipped});
        break;
      }
    }
  }

  // A column that could hold either of two segments: the first says it;
  // counting the memories' bits found would only add noise.
  for (const claim& cl : claims) {
    if (!cl.key.ambiguous) continue;
    const segment& a = segments[cl.key.segment];
    const segment& b = segments[cl.key.other];
    const ramTile& tile = (*tiles)[cl.tile];
    if (a.memory == b.memory) {
      return failuref("memory %s: RAM tile %u %u holds bits that could be bit %u of %s or bit %u of %s of its "
                      "placeholder, which cannot be told apart (use another seed)\n",
                      memories[a.memory].name.c_str(), tile.x, tile.y, a.bit, segmentWords(a).c_str(), b.bit,
                      segmentWords(b).c_str());
    }
    return failuref("memories %s and %s: their placeholders collide: RAM tile %u %u holds bits that could be bit "
                    "%u of %s's %s or bit %u of %s's %s (give them different names or seeds)\n",
                    memories[a.memory].name.c_str(), memories[b.memory].name.c_str(), tile.x, tile.y, a.bit,
                    memories[a.memory].name.c_str(), segmentWords(a).c_str(), b.bit,
                    memories[b.memory].name.c_str(), segmentWords(b).c_str());
  }

  // Every bit of every placeholder claimed by exactly as many columns as
  // the memory has copies, or nothing is made. Claims are marked in maps
  // of each memory's bit columns, one map per copy: a bit claimed again
  // goes to the next map, and past the last it is one too many.
  std::string faults;
  for (uint32_t m = 0; m < memories.size(); ++m) {
    const bitColumns& c = news[m];
    const uint32_t copies = memories[m].copies;
    const size_t size = c.bits.size();
    std::vector<uint64_t> seen(size * copies, 0);
    uint64_t extra = 0;
    const claim* dup = nullptr;
    for (const claim& cl : claims) {
      const segment& seg = segments[cl.key.segment];
      if (seg.memory != m) continue;
      const size_t col = seg.bit * c.stride;
      const unsigned per = 64 / seg.stride;
      // Every stride-th bit: what 64 rows of a segment mark in each word.
      const uint64_t spread = spreadNth(~uint64_t{0}, seg.stride);
      for (unsigned q = 0; q < rowWords; ++q) {
        const uint64_t rows = rowMask(seg.length, q);
        const uint64_t first = uint64_t{seg.stride} * (rowWords * seg.chunk + q);
        for (unsigned j = 0; j < seg.stride && first + j < c.stride; ++j) {
          uint64_t mark = (rows == ~uint64_t{0} ? spread : spreadNth(rows >> (j * per), seg.stride)) << seg.offset;
          for (uint32_t k = 0; k < copies && mark != 0; ++k) {
            uint64_t& layer = seen[k * size + col + first + j];
            const uint64_t again = layer & mark;
            layer |= mark;
            mark = again;
          }
          if (mark != 0) {
            extra += static_cast<uint64_t>(std::popcount(mark));
            if (dup == nullptr) dup = &cl;
          }
        }
      }
    }
    // The memory's bits missing from map k: compared word by word with the
    // bits a full map holds, and counted only where they differ.
    const uint64_t tail = c.depth % 64 == 0 ? ~uint64_t{0} : (uint64_t{1} << (c.depth % 64)) - 1;
    auto missing = [&](uint32_t k) {
      uint64_t n = 0;
      for (size_t i = 0; i < size; ++i) {
        const uint64_t full = (i + 1) % c.stride == 0 ? tail : ~uint64_t{0};
        const uint64_t have = seen[k * size + i];
        if (have != full) n += static_cast<uint64_t>(std::popcount(full & ~have));
      }
      return n;
    };
    const uint64_t total = c.depth * c.width, once = total - missing(0);
    const uint64_t all = copies == 1 ? once : total - missing(copies - 1);
    const char* name = memories[m].name.c_str();
    if (once != total) {
      faults += strf("memory %s: %llu of %llu placeholder bits not found (the design was built with another "
                     "placeholder, or the memory is not in block RAM)\n",
                     name, static_cast<unsigned long long>(total - once), static_cast<unsigned long long>(total));
    } else if (all != total) {
      faults += strf("memory %s: %llu of %llu placeholder bits found fewer than %u times: the design holds fewer "
                     "copies of the memory\n",
                     name, static_cast<unsigned long long>(total - all), static_cast<unsigned long long>(total),
                     copies);
    }
    if (extra != 0) {
      const ramTile& a = (*tiles)[dup->tile];
      const segment& seg = segments[dup->key.segment];
      const std::string times = copies == 1 ? "more than once" : strf("more than %u times", copies);
      faults += strf("memory %s: %llu placeholder bits found %s, such as bit %u of %s again in RAM tile %u %u: "
                     "the design holds the memory %s (a ROM read through several ports is held once for each: "
                     "give its number of copies), or another memory was built with the same placeholder\n",
                     name, static_cast<unsigned long long>(extra), times.c_str(), seg.bit,
                     segmentWords(seg).c_str(), a.x, a.y, copies == 1 ? "twice" : "more times");
    }
  }
  if (!faults.empty()) return Error{faults};

  // The new words' bits in place of the placeholder's, then the patched
  // tiles' lines written anew.
  for (const claim& cl : claims) {
    const segment& seg = segments[cl.key.segment];
    segmentBits bits = segmentOf(news[seg.memory], seg);
    if (cl.inverted) bits = complement(bits);
    uint64_t* col = (*tiles)[cl.tile].column[cl.column];
    for (unsigned q = 0; q < rowWords; ++q) {
      const uint64_t rows = rowMask(seg.length, q);
      col[q] = (col[q] & ~rows) | bits.bits[q];
    }
    (*tiles)[cl.tile].patched = true;
  }
  // One edit per patched tile: its 16 lines of contents, line ends kept.
  configEdits edits;
  // Two lower-case hex digits for every byte value.
  static constexpr struct hexPairs {
    char d[256][2];
    constexpr hexPairs() : d() {
      for (unsigned v = 0; v < 256; ++v) {
        d[v][0] = "0123456789abcdef"[v >> 4];
        d[v][1] = "0123456789abcdef"[v & 15];
      }
    }
  } pairs;
  for (const ramTile& tile : *tiles) {
    if (!tile.patched) continue;
    // Columns to rows: the four blocks of 64 rows in one transpose, each
    // block's 16 columns a field of 16 bits.
    uint64_t m[64] = {};
    for (unsigned q = 0; q < rowWords; ++q) {
      for (unsigned c = 0; c < ramColumns; ++c) m[16 * q + c] = tile.column[c][q];
    }
    transpose64(m);
    uint64_t rows[ramRows];
    for (unsigned q = 0; q < rowWords; ++q) {
      for (unsigned k = 0; k < 64; ++k) rows[64 * q + k] = m[k] >> (16 * q) & 0xffff;
    }
    configEdit& e = edits.emplace_back();
    e.offset = tile.data[0];
    e.size = tile.data[lines - 1] + digits - e.offset;
    e.bytes.assign(config.begin() + static_cast<std::ptrdiff_t>(e.offset),
                   config.begin() + static_cast<std::ptrdiff_t>(e.offset + e.size));
    for (unsigned i = 0; i < lines; ++i) {
      uint8_t* line = e.bytes.data() + (tile.data[i] - e.offset);
      for (unsigned q = 0; q < 16; ++q) {
        const uint64_t v = rows[16 * i + q];
        uint8_t* d = line + digits - 4 - 4 * q;
        std::memcpy(d, pairs.d[(v >> 8) & 255], 2);
        std::memcpy(d + 2, pairs.d[v & 255], 2);
      }
    }
  }

  for (uint32_t m = 0; m < memories.size(); ++m) {
    std::vector<size_t> used;
    unsigned inverted = 0;
    for (const claim& cl : claims) {
      if (segments[cl.key.segment].memory != m) continue;
      if (std::find(used.begin(), used.end(), cl.tile) == used.end()) used.push_back(cl.tile);
      inverted += cl.inverted ? 1 : 0;
    }
    std::string note = strf("memory %s: %llu words of %u bits in %zu RAM tile%s:", memories[m].name.c_str(),
                            static_cast<unsigned long long>(memories[m].depth), memories[m].width, used.size(),
                            used.size() == 1 ? "" : "s");
    for (size_t i = 0; i < used.size(); ++i) {
      note += strf("%s %u %u", i == 0 ? "" : ",", (*tiles)[used[i]].x, (*tiles)[used[i]].y);
    }
    if (inverted != 0) note += strf(" (%u bit columns stored inverted)", inverted);
    notes.push_back(note + "\n");
  }
  return edits;
}

}  // namespace

const bitstreamFamily ice40Family = {"ice40", "iCE40 ASCII configuration (.asc)", recogniseAsc, patchAsc};

}  // namespace romwright
