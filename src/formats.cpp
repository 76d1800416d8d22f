// The formats of the memory-image mode: one writer each, and the table.
#include "formats.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "hex.hpp"

namespace {

// Bytes a word of `width` bits takes.
size_t wordSize(uint32_t width) { return (width + 7) / 8; }

// Hex digits a word of `width` bits is written with.
size_t digits(uint32_t width) { return width < 4 ? 1 : width / 4; }

// Writes the digits of the word at `w` to `p`: a look-up of four digits for
// every two bytes, of two or one for a word of a byte or less.
char* putWord(char* p, const uint8_t* w, uint32_t width) {
  if (width <= 4) {
    *p = hex.d[w[0]][1];
    return p + 1;
  }
  if (width == 8) {
    memcpy(p, hex.d[w[0]], 2);
    return p + 2;
  }
  const char(*pairs)[4] = hexPairs();
  for (size_t i = 0; i < width / 8; i += 2, p += 4) memcpy(p, pairs[w[i] << 8 | w[i + 1]], 4);
  return p;
}

// Copies a short text: cheaper than a call to memcpy for a few bytes.
inline char* putText(char* p, const char* text, size_t n) {
  for (size_t i = 0; i < n; i++) p[i] = text[i];
  return p + n;
}

// `n` lines of `Bytes`-byte words (0: any width) between `before` and
// `after`, the digits through the four-digit table.
template <size_t Bytes>
char* lineRun(char* p, const uint8_t* w, size_t n, uint32_t width, std::string_view before,
              std::string_view after) {
  const char(*pairs)[4] = hexPairs();
  for (size_t k = 0; k < n; k++) {
    p = putText(p, before.data(), before.size());
    if constexpr (Bytes == 0) {
      p = putWord(p, w + k * ((width + 7) / 8), width);
    } else {
      for (size_t i = 0; i < Bytes; i += 2, p += 4) memcpy(p, pairs[w[k * Bytes + i] << 8 | w[k * Bytes + i + 1]], 4);
    }
    p = putText(p, after.data(), after.size());
  }
  return p;
}

// One word per line between `before` and `after`; the last word ends with
// `final` instead. The shape of most text formats.
bool wordLines(sink& s, const memLayout& m, wordReader& r, std::string_view before,
               std::string_view after, std::string_view final) {
  const size_t line = before.size() + digits(m.width) + std::max(after.size(), final.size());
  const size_t size = wordSize(m.width);
  for (uint64_t left = m.depth; left > 0;) {
    if (!room(s, line)) return false;
    const std::span<const uint8_t> w = nextWords(r, (outBlock - s.pos) / line);
    size_t n = w.size() / size;
    left -= n;
    const bool last = left == 0;
    if (last) n--;  // the last word ends differently
    char* p = outBuf + s.pos;
    switch (m.width) {
      case 16: p = lineRun<2>(p, w.data(), n, m.width, before, after); break;
      case 32: p = lineRun<4>(p, w.data(), n, m.width, before, after); break;
      case 64: p = lineRun<8>(p, w.data(), n, m.width, before, after); break;
      case 128: p = lineRun<16>(p, w.data(), n, m.width, before, after); break;
      default: p = lineRun<0>(p, w.data(), n, m.width, before, after); break;
    }
    if (last) p = lineRun<0>(p, w.data() + n * size, 1, m.width, before, final);
    s.pos = static_cast<size_t>(p - outBuf);
  }
  return flush(s);
}

// Verilog $readmemh: one word per line, nothing else.
bool writeVmem(sink& s, const memLayout& m, wordReader& r) {
  return wordLines(s, m, r, "", "\n", "\n");
}

constexpr memFormat formats[] = {
    {"vmem", writeVmem, nullptr, false, 1, 128, 0},
};

}  // namespace

std::span<const memFormat> memFormats() { return formats; }

const memFormat* findFormat(const char* name) {
  for (const memFormat& f : formats) {
    if (strcmp(f.name, name) == 0) return &f;
  }
  return nullptr;
}
