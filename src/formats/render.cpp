// Rendering one lane of one bank of a memory: its layout for the format,
// the word reader over its runs, and the format's writer.
#include "formats/render.hpp"

#include <algorithm>
#include <cstring>

#include "formats/registry.hpp"
#include "shape/words.hpp"

namespace romwright {

namespace {

// The start address a lane's image writes, and whether it writes one: the
// run's, when it has one; with --rebase, moved with the memory's addresses
// when it lies in the memory, and none when it does not.
uint64_t startAddress(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry, bool hasStart,
                      bool& written) {
  written = hasStart;
  if (!hasStart || !o.rebased) return entry;
  const uint32_t wordBytes = o.width / 8;
  const uint64_t base = p.address();
  written = entry >= base && entry - base < depth * wordBytes;
  if (!written) return 0;
  const uint64_t offset = entry - base;
  return o.rebase + (o.lanes == 1 ? offset : offset / wordBytes * ((o.width / o.lanes + 7) / 8));
}

struct laneLayout {
  memLayout m;
  wordReader r;
};

laneLayout layoutOf(const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
                    uint64_t entry, const char* name, bool withStart = true, const char* file = nullptr) {
  const uint32_t wordBytes = o.width / 8;
  const uint32_t laneBits = o.width / o.lanes;
  const uint32_t laneBytes = (laneBits + 7) / 8;
  bool hasStart = true;
  const uint64_t start = startAddress(o, p, depth, entry, withStart, hasStart);
  const uint64_t address = p.address();
  return {{laneBits, depth, o.lanes == 1 ? address : address / wordBytes * laneBytes, static_cast<uint32_t>(start),
           name, o.header, o.radix, o.uf2Family, o.hasUf2Family, o.sparse, o.rebased, o.rebase, o.recordBytes,
           o.srecS3, hasStart, o.srecHeader, file, o.dfuBcd, o.dfuPid, o.dfuVid, o.seed},
          // A memory that is only patched has no format, and its words are values.
          {&p, 0, p.size / wordBytes, depth, wordBytes, laneBits, lane, o.lanes, little,
           o.format != nullptr && o.format->memoryOrder, o.fill, {}, {}}};
}

// Puts `n` bytes into `s` with CR LF for each LF.
bool putCrlf(sink& s, const char* bytes, size_t n) {
  while (n > 0) {
    const char* lf = static_cast<const char*>(memchr(bytes, '\n', n));
    const size_t line = lf != nullptr ? static_cast<size_t>(lf - bytes) : n;
    if (!put(s, bytes, line)) return false;
    if (lf == nullptr) break;
    if (!put(s, "\r\n", 2)) return false;
    bytes += line + 1;
    n -= line + 1;
  }
  return true;
}

}  // namespace

status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry, bool hasStart) {
  if (o.format->blockAddresses) {
    // The last byte the file holds: the last placed one of a sparse image,
    // otherwise the memory's last.
    uint64_t last = p.address() + (depth * (o.width / 8) - 1);
    if (o.sparse && !p.map.empty()) {
      last = std::min(last, std::min(p.map.runs().rbegin()->second.end, p.base + p.size) - 1 + p.shift);
    }
    if (last > 0xFFFFFFFF) {
      return failuref("--format=%s: address 0x%llx does not fit its 32 bits\n", o.format->name,
                      static_cast<unsigned long long>(last));
    }
    return done;
  }
  if (!o.format->addresses) {
    // Word addresses from --rebase must not pass 32 bits either: they would
    // wrap, or be more than the format's readers take.
    if (!o.rebased) return done;
    const laneLayout l = layoutOf(o, p, depth, 0, true, entry, "", false);
    const uint64_t last = highestWordAddress(*o.format, l.m, l.r);
    if (last > 0xFFFFFFFF) {
      return failuref("--format=%s: address 0x%llx does not fit its 32 bits\n", o.format->name,
                      static_cast<unsigned long long>(last));
    }
    return done;
  }
  // Without --rebase the memory's own addresses are written: the way to
  // write them below 4 GiB is said.
  const char* hint = o.rebased ? "" : ": --rebase=ADDR writes them from ADDR";
  // Every lane's image writes the same addresses.
  laneLayout l = layoutOf(o, p, depth, 0, true, entry, "", false);
  const uint64_t last = o.format->highest(l.m, l.r);
  if (last > 0xFFFFFFFF) {
    return failuref("--format=%s: address 0x%llx does not fit its 32 bits%s\n", o.format->name,
                    static_cast<unsigned long long>(last), hint);
  }
  bool written = true;
  const uint64_t start = startAddress(o, p, depth, entry, hasStart, written);
  if (written && (o.format->uses & useStart) != 0 && start > 0xFFFFFFFF) {
    return failuref("--format=%s: the start address 0x%llx does not fit its 32-bit addresses%s\n", o.format->name,
                    static_cast<unsigned long long>(start), o.rebased ? "" : ": --no-start writes none");
  }
  return done;
}

void eachWord(const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
              const wordVisitor& fn) {
  laneLayout l = layoutOf(o, p, depth, lane, little, 0, "");
  // Word values, whatever order the format writes its bytes in.
  l.r.memoryOrder = false;
  const size_t size = (l.r.laneBits + 7) / 8;
  for (uint64_t first = 0; first < depth;) {
    const std::span<const uint8_t> w = nextWords(l.r, size_t{1} << 16);
    const uint64_t count = w.size() / size;
    fn(first, count, w);
    first += count;
  }
}

bool writeImage(sink& s, const memOptions& o, const placement& p, uint64_t depth, uint32_t lane,
                bool little, uint64_t entry, const char* name, bool header, bool hasStart, const char* file) {
  laneLayout l = layoutOf(o, p, depth, lane, little, entry, name, hasStart, file);
  const formatWriter write = header ? o.format->header : o.format->write;
  if (!o.crlf) return write(s, l.m, l.r);
  // The writers end their lines in LF; a sink between them and `s` turns
  // each into CR LF (no format writes an LF inside a line).
  sink lines([&s](const char* bytes, size_t n) { return putCrlf(s, bytes, n); });
  const bool wrote = write(lines, l.m, l.r) && flush(lines);
  return wrote && flush(s);
}

}  // namespace romwright
