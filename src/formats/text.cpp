// What the writers of the formats share.
#include "formats/text.hpp"

#include <string>

#include "core/error.hpp"

namespace romwright::formats {

// The binary digits of a word of `width` bits, most significant first.
char* binaryWord(char* p, const uint8_t* w, uint32_t width) {
  if (width < 8) {
    for (uint32_t b = 0; b < width; b++) p[b] = binary.d[w[0]][8 - width + b];
    return p + width;
  }
  for (uint32_t i = 0; i < width / 8; i++) memcpy(p + 8 * i, binary.d[w[i]], 8);
  return p + width;
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

bool putf(sink& s, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string text = vstrf(fmt, ap);
  va_end(ap);
  return put(s, text.data(), text.size());
}

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

void joinTouching(byteFile& f) {
  std::vector<byteFile::part> joined;
  for (const byteFile::part& p : f.parts) {
    if (!joined.empty() && joined.back().end == p.first) {
      joined.back().end = p.end;
    } else {
      joined.push_back(p);
    }
  }
  f.parts = std::move(joined);
}

uint64_t lastAddress(const byteFile& f, const memLayout& m) {
  uint64_t last = 0;
  if (!f.parts.empty()) {
    const byteFile::part& p = f.parts.back();
    last = p.at + (p.end - p.first) * f.size - 1;
  }
  return m.hasStart ? std::max<uint64_t>(last, m.entry) : last;
}

uint64_t dataHighestAddress(const memLayout& m, const wordReader& r) {
  memLayout data = m;
  data.hasStart = false;
  return lastAddress(byteParts(data, r), data);
}

}  // namespace romwright::formats
