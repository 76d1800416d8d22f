// Rendering one lane of one bank of a memory: its layout for the format,
// the word reader over its runs, and the format's writer.
#include "formats/render.hpp"

#include "formats/registry.hpp"
#include "shape/words.hpp"

namespace romwright {

namespace {

// The start address a lane's image writes, and whether it writes one: the
// entry; with --rebase, the entry moved with the memory's addresses when it
// lies in the memory, and none when it does not.
uint64_t startAddress(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry, bool& written) {
  written = true;
  if (!o.rebased) return entry;
  const uint32_t wordBytes = o.width / 8;
  written = entry >= p.base && entry - p.base < depth * wordBytes;
  if (!written) return 0;
  const uint64_t offset = entry - p.base;
  return o.rebase + (o.lanes == 1 ? offset : offset / wordBytes * ((o.width / o.lanes + 7) / 8));
}

struct laneLayout {
  memLayout m;
  wordReader r;
};

laneLayout layoutOf(const memOptions& o, const placement& p, uint64_t depth, uint32_t lane, bool little,
                    uint64_t entry, const char* name) {
  const uint32_t wordBytes = o.width / 8;
  const uint32_t laneBits = o.width / o.lanes;
  const uint32_t laneBytes = (laneBits + 7) / 8;
  bool hasStart = true;
  const uint64_t start = startAddress(o, p, depth, entry, hasStart);
  return {{laneBits, depth, o.lanes == 1 ? p.base : p.base / wordBytes * laneBytes, static_cast<uint32_t>(start),
           name, o.header, o.radix, o.uf2Family, o.hasUf2Family, o.sparse, o.rebased, o.rebase, o.recordBytes, o.srecS3, hasStart,
           o.seed},
          // A memory that is only patched has no format, and its words are values.
          {&p, 0, p.size / wordBytes, depth, wordBytes, laneBits, lane, o.lanes, little,
           o.format != nullptr && o.format->memoryOrder, o.fill, {}, {}}};
}

}  // namespace

status checkAddressesFit(const memOptions& o, const placement& p, uint64_t depth, uint64_t entry) {
  if (!o.format->addresses) return done;
  bool hasStart = true;
  const uint64_t start = startAddress(o, p, depth, entry, hasStart);
  if (hasStart && start > 0xFFFFFFFF) {
    return failuref("--format=%s: the start address 0x%llx does not fit its 32-bit addresses\n", o.format->name,
                    static_cast<unsigned long long>(start));
  }
  // Every lane's image writes the same addresses.
  laneLayout l = layoutOf(o, p, depth, 0, true, entry, "");
  l.m.hasStart = false;
  const uint64_t last = o.format->highest(l.m, l.r);
  if (last > 0xFFFFFFFF) {
    return failuref("--format=%s: address 0x%llx does not fit its 32 bits\n", o.format->name,
                    static_cast<unsigned long long>(last));
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
                bool little, uint32_t entry, const char* name, bool header) {
  laneLayout l = layoutOf(o, p, depth, lane, little, entry, name);
  return (header ? o.format->header : o.format->write)(s, l.m, l.r);
}

}  // namespace romwright
