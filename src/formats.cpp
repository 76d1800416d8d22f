// The formats of the memory-image mode: one writer each, and the table.
#include "formats.hpp"

#include <algorithm>
#include <cstring>

#include "hex.hpp"

namespace {

// Bytes a word of `width` bits takes.
size_t wordSize(uint32_t width) { return (width + 7) / 8; }

// Hex digits a word of `width` bits is written with.
size_t digits(uint32_t width) { return width < 4 ? 1 : width / 4; }

// Writes the digits of the word at `w` to `p`: two look-ups of four digits
// for a 32-bit word.
char* putWord(char* p, const uint8_t* w, uint32_t width) {
  if (width <= 8) {
    if (width <= 4) {
      *p++ = hex.d[w[0]][1];
    } else {
      memcpy(p, hex.d[w[0]], 2);
      p += 2;
    }
    return p;
  }
  const char(*pairs)[4] = hexPairs();
  for (size_t i = 0; i < width / 8; i += 2, p += 4) memcpy(p, pairs[w[i] << 8 | w[i + 1]], 4);
  return p;
}

// One word per line between `before` and `after`; the last word ends with
// `final` instead. The shape of most text formats.
bool wordLines(sink& s, const memLayout& m, wordReader& r, const char* before, const char* after,
               const char* final) {
  const size_t pre = strlen(before), post = strlen(after), fin = strlen(final);
  const size_t line = pre + digits(m.width) + std::max(post, fin);
  const size_t size = wordSize(m.width);
  for (uint64_t left = m.depth; left > 0;) {
    if (!room(s, line)) return false;
    const std::span<const uint8_t> w = nextWords(r, (outBlock - s.pos) / line);
    const size_t n = w.size() / size;
    char* p = outBuf + s.pos;
    for (size_t k = 0; k < n; k++) {
      memcpy(p, before, pre);
      p = putWord(p + pre, w.data() + k * size, m.width);
      const bool lastWord = k + 1 == n && left == n;
      memcpy(p, lastWord ? final : after, lastWord ? fin : post);
      p += lastWord ? fin : post;
    }
    s.pos = static_cast<size_t>(p - outBuf);
    left -= n;
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
