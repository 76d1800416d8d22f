// The memories of a run against a dump.
#include "out/verify.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>

#include "core/bytemap.hpp"
#include "core/error.hpp"
#include "out/map.hpp"

namespace romwright {

namespace {

unsigned long long ull(uint64_t v) { return v; }

const char* plural(uint64_t n, const char* one, const char* more) { return n == 1 ? one : more; }

// The dump's stored bytes that lie in memory `m`, in the memory's map
// addresses (its own less its shift).
byteMap dumpIn(const placedMemory& m, const image& dump) {
  byteMap map;
  const uint64_t first = m.p.address(), last = first + (m.depth * (m.o->width / 8) - 1);
  for (uint32_t k = 0; k < dump.segments.size(); k++) {
    const segment& s = dump.segments[k];
    if (s.type != PT_LOAD || s.fileSize == 0 || !s.readable || s.bytes.size() < s.fileSize) continue;
    const uint64_t start = m.o->runAddresses ? s.run : s.load;
    const uint64_t end = s.fileSize - 1 > UINT64_MAX - start ? UINT64_MAX : start + (s.fileSize - 1);
    const uint64_t a = std::max(start, first), b = std::min(end, last);
    if (a > b) continue;
    map.paint(a - m.p.shift, b - m.p.shift + 1, s.bytes.data() + (a - start), k);
  }
  return map;
}

// Compares the bytes of one memory with the dump's, in the map's addresses,
// gathering the differing ranges of one row at a time.
class comparer {
 public:
  comparer(const byteMap& dump, verifyReport& report) : dump_(dump), report_(report) {}

  // Starts a row: its ranges are named `origin`, in memory `memory`,
  // whose map addresses lack `shift`.
  void row(size_t memory, uint64_t shift, const std::string& origin) {
    memory_ = memory;
    shift_ = shift;
    origin_ = &origin;
  }

  // The image's bytes [at, at + n): `img` or, when it is null, n bytes
  // `byte`.
  void compare(uint64_t at, const uint8_t* img, uint8_t byte, uint64_t n) {
    const uint64_t end = at + n;
    const auto& runs = dump_.runs();
    auto it = runs.upper_bound(at);
    if (it != runs.begin()) --it;
    uint64_t pos = at;  // bytes below it are compared
    for (; it != runs.end() && it->first < end && pos < end; ++it) {
      if (it->second.end <= pos) continue;
      const uint64_t s = std::max(it->first, pos), e = std::min(it->second.end, end);
      if (s > pos) missing(pos, s - pos);
      const uint8_t* q = it->second.from + (s - it->first);
      against(s, img != nullptr ? img + (s - at) : nullptr, byte, q, e - s);
      pos = e;
    }
    if (pos < end) missing(pos, end - pos);
    report_.compared += n;
  }

  // Ends the ranges that are open: the next bytes compared are not next to
  // them.
  void flush() {
    if (!open_) return;
    open_ = false;
    current_.first += shift_;
    current_.last += shift_;
    report_.ranges.push_back(std::move(current_));
  }

 private:
  // Bytes at [at, at + n) the dump does not hold.
  void missing(uint64_t at, uint64_t n) {
    report_.missing += n;
    if (open_ && current_.missing && current_.last + 1 == at) {
      current_.last = at + n - 1;
      current_.bytes += n;
      return;
    }
    flush();
    start(at, n, true);
  }

  void start(uint64_t at, uint64_t n, bool isMissing) {
    current_ = verifyRange{memory_, at, at + n - 1, n, 0, 0, isMissing, *origin_};
    open_ = true;
  }

  // The image's bytes `img` (or n bytes `byte`) against the dump's `q`.
  void against(uint64_t at, const uint8_t* img, uint8_t byte, const uint8_t* q, uint64_t n) {
    constexpr uint64_t block = sizeof fillBlock_;
    if (img == nullptr && (!hasFill_ || fillByte_ != byte)) {
      memset(fillBlock_, byte, sizeof fillBlock_);
      fillByte_ = byte;
      hasFill_ = true;
    }
    for (uint64_t off = 0; off < n; off += block) {
      const size_t len = static_cast<size_t>(std::min(block, n - off));
      const uint8_t* mine = img != nullptr ? img + off : fillBlock_;
      if (memcmp(mine, q + off, len) == 0) continue;
      for (size_t i = 0; i < len; i++) {
        const uint8_t a = mine[i], b = q[off + i];
        if (a != b) differs(at + off + i, a, b);
      }
    }
  }

  void differs(uint64_t at, uint8_t image, uint8_t dump) {
    const auto set = static_cast<uint64_t>(__builtin_popcount(static_cast<unsigned>(dump & ~image & 0xff)));
    const auto cleared = static_cast<uint64_t>(__builtin_popcount(static_cast<unsigned>(image & ~dump & 0xff)));
    report_.differ++;
    report_.set += set;
    report_.cleared += cleared;
    if (open_ && !current_.missing && at - current_.last <= joinGap) {
      current_.last = at;
      current_.bytes++;
    } else {
      flush();
      start(at, 1, false);
    }
    current_.set += set;
    current_.cleared += cleared;
  }

  const byteMap& dump_;
  verifyReport& report_;
  size_t memory_ = 0;
  uint64_t shift_ = 0;
  const std::string* origin_ = nullptr;
  verifyRange current_;
  bool open_ = false;
  uint8_t fillBlock_[4096];
  uint8_t fillByte_ = 0;
  bool hasFill_ = false;
};

// Ranges [first, last] in order, joined where they overlap or meet.
std::vector<std::pair<uint64_t, uint64_t>> joined(std::vector<std::pair<uint64_t, uint64_t>> v) {
  std::sort(v.begin(), v.end());
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& [first, last] : v) {
    if (!out.empty() && (out.back().second == UINT64_MAX || first <= out.back().second + 1)) {
      out.back().second = std::max(out.back().second, last);
    } else {
      out.emplace_back(first, last);
    }
  }
  return out;
}

// The stored bytes of `dump` that lie in no memory of `run`: at load
// addresses unless every memory takes run addresses.
uint64_t outsideEvery(const placedRun& run, const image& dump) {
  const bool allRun = std::all_of(run.memories.begin(), run.memories.end(),
                                  [](const placedMemory& m) { return m.o->runAddresses; });
  std::vector<std::pair<uint64_t, uint64_t>> held, mems;
  for (const segment& s : dump.segments) {
    if (s.type != PT_LOAD || s.fileSize == 0 || !s.readable || s.bytes.size() < s.fileSize) continue;
    const uint64_t start = allRun ? s.run : s.load;
    held.emplace_back(start, s.fileSize - 1 > UINT64_MAX - start ? UINT64_MAX : start + (s.fileSize - 1));
  }
  for (const placedMemory& m : run.memories) {
    const uint64_t first = m.p.address();
    mems.emplace_back(first, first + (m.depth * (m.o->width / 8) - 1));
  }
  mems = joined(std::move(mems));
  // Each joined range holds no more bytes than the dump's segments do.
  uint64_t outside = 0;
  for (const auto& [first, last] : joined(std::move(held))) {
    uint64_t n = last - first + 1;
    for (const auto& [mf, ml] : mems) {
      const uint64_t lo = std::max(first, mf), hi = std::min(last, ml);
      if (lo <= hi) n -= hi - lo + 1;
    }
    outside += n;
  }
  return outside;
}

}  // namespace

verifyReport compareDump(const placedRun& run, const image& img, const image& dump,
                         std::span<const std::pair<uint64_t, uint64_t>> ignore) {
  verifyReport report;
  std::vector<std::pair<uint64_t, uint64_t>> skip(ignore.begin(), ignore.end());
  std::sort(skip.begin(), skip.end());
  for (size_t mi = 0; mi < run.memories.size(); mi++) {
    const placedMemory& m = run.memories[mi];
    const byteMap dumpMap = dumpIn(m, dump);
    comparer cmp(dumpMap, report);
    const uint64_t shift = m.p.shift;
    for (const mapRow& r : memoryRows(run, m, img)) {
      // A sparse memory holds its placed bytes only.
      if (r.what == mapRow::kind::fill && m.o->sparse) continue;
      const std::string origin = describeRow(r, m, img);
      cmp.row(mi, shift, origin);
      // The row less the ignored ranges, in pieces [a, b].
      uint64_t a = r.first;
      bool through = false;
      auto piece = [&](uint64_t from, uint64_t to) {
        const uint64_t lo = from - shift, n = to - from + 1;
        uint64_t at = lo;
        m.p.map.walk(
            lo, lo + n, m.o->fill,
            [&](const uint8_t* p, uint64_t k) {
              cmp.compare(at, p, 0, k);
              at += k;
            },
            [&](uint8_t byte, uint64_t k) {
              cmp.compare(at, nullptr, byte, k);
              at += k;
            });
        cmp.flush();
      };
      for (const auto& [sf, sl] : skip) {
        if (through || sl < a || sf > r.last) continue;
        if (sf > a) piece(a, sf - 1);
        const uint64_t to = std::min(sl, r.last);
        report.ignored += to - std::max(sf, a) + 1;
        if (to == r.last) {
          through = true;
        } else {
          a = to + 1;
        }
      }
      if (!through) piece(a, r.last);
    }
  }
  report.outside = outsideEvery(run, dump);
  return report;
}

std::string verifyText(const verifyReport& r, const placedRun& run, const std::string& dumpName) {
  std::string text;
  for (const verifyRange& v : r.ranges) {
    const char* label = run.memories[v.memory].o->label;
    if (label != nullptr) text += std::string(label) + " ";
    const uint64_t size = v.last - v.first + 1;
    text += v.first == v.last ? strf("0x%08llx: ", ull(v.first)) : strf("0x%08llx..0x%08llx: ", ull(v.first), ull(v.last));
    if (v.missing) {
      text += strf("%llu %s not in the dump", ull(v.bytes), plural(v.bytes, "byte", "bytes"));
    } else {
      text += v.bytes == size ? strf("%llu %s", ull(v.bytes), plural(v.bytes, "byte differs", "bytes differ"))
                              : strf("%llu of %llu bytes %s", ull(v.bytes), ull(size), plural(v.bytes, "differs", "differ"));
      text += strf(", %llu %s 0->1 and %llu %s 1->0", ull(v.set), plural(v.set, "bit", "bits"), ull(v.cleared),
                   plural(v.cleared, "bit", "bits"));
    }
    text += ", in " + v.origin + "\n";
  }
  const size_t memories = run.memories.size();
  std::string tail = strf("%llu %s of %zu %s compared", ull(r.compared), plural(r.compared, "byte", "bytes"), memories,
                          plural(memories, "memory", "memories"));
  if (r.ignored != 0) tail += strf(", %llu ignored", ull(r.ignored));
  if (r.outside != 0) {
    tail += strf("; %llu %s of the dump %s in no memory", ull(r.outside), plural(r.outside, "byte", "bytes"),
                 plural(r.outside, "lies", "lie"));
  }
  if (r.equal()) return text + "verify: " + dumpName + " matches the image: " + tail + "\n";
  text += "verify: " + dumpName + " differs from the image: ";
  if (r.differ != 0) {
    size_t ranges = 0;
    for (const verifyRange& v : r.ranges) ranges += v.missing ? 0 : 1;
    text += strf("%llu %s in %zu %s, %llu %s 0->1", ull(r.differ), plural(r.differ, "byte differs", "bytes differ"),
                 ranges, plural(ranges, "range", "ranges"), ull(r.set), plural(r.set, "bit", "bits"));
    if (r.set != 0) text += " (set in the dump where the image has them clear: not erased?)";
    text += strf(" and %llu %s 1->0", ull(r.cleared), plural(r.cleared, "bit", "bits"));
    if (r.cleared != 0) text += " (clear in the dump where the image has them set)";
    text += "; ";
  }
  if (r.missing != 0) text += strf("%llu %s not in the dump; ", ull(r.missing), plural(r.missing, "byte", "bytes"));
  return text + tail + "\n";
}

}  // namespace romwright
