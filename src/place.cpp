// Placement of loadable segments for the memory-image mode. The table has
// passed the loader's checks; every file range and address room is checked
// again here with the loader's fits() before it is used.
#include "place.hpp"

#include "elf.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr uint64_t addressSpace = uint64_t{1} << 32;
constexpr uint64_t spanLimit = uint64_t{256} << 20;

// The last address of [start, end), for messages: always 32 bits.
uint32_t last(uint64_t end) { return static_cast<uint32_t>(end - 1); }

// Puts [a, b) over whatever lies there: runs it covers go, runs it cuts
// keep their parts outside it.
void paint(std::map<uint64_t, placedRun>& runs, uint64_t a, uint64_t b, placedRun r) {
  auto cut = [&](uint64_t start, const placedRun& old) {  // old's part from b on
    runs.emplace(b, placedRun{old.end, old.zero ? 0 : old.from + (b - start), old.zero, old.seg});
  };
  auto it = runs.lower_bound(a);
  if (it != runs.begin()) {
    auto prev = std::prev(it);
    if (prev->second.end > a) {
      const placedRun old = prev->second;
      prev->second.end = a;
      if (old.end > b) cut(prev->first, old);
    }
  }
  for (it = runs.lower_bound(a); it != runs.end() && it->first < b;) {
    const uint64_t start = it->first;
    const placedRun old = it->second;
    it = runs.erase(it);
    if (old.end > b) {
      cut(start, old);
      break;
    }
  }
  runs.emplace(a, r);
}

}  // namespace

bool placeSegments(placement& p, std::span<const Elf32_Phdr> segs, std::span<const uint8_t> file,
                   const placeRequest& req) {
  p.runs.clear();
  p.file = file;
  const uint64_t regionEnd = req.base + req.size;
  for (size_t k = 0; k < segs.size(); k++) {
    const Elf32_Phdr& seg = segs[k];
    const int i = static_cast<int>(k);
    if (seg.p_type != PT_LOAD) continue;
    if (seg.p_filesz > seg.p_memsz) {
      fprintf(stderr, "segment %d file size 0x%x exceeds memory size 0x%x\n", i, seg.p_filesz,
              seg.p_memsz);
      return false;
    }
    const uint64_t start = req.runAddresses ? seg.p_vaddr : seg.p_paddr;
    const uint64_t filesz = seg.p_filesz;
    const uint64_t size = req.runAddresses ? seg.p_memsz : filesz;
    if (size == 0) continue;
    if (!fits(seg.p_offset, filesz, file.size())) {
      fprintf(stderr, "unable to read segment %d\n", i);
      return false;
    }
    if (!fits(start, size, addressSpace)) {
      fprintf(stderr, "segment %d exceeds the 32-bit address space\n", i);
      return false;
    }
    const uint64_t end = start + size;
    if (req.hasRegion && (end <= req.base || start >= regionEnd)) {
      if (!req.quiet) {
        fprintf(stderr, "segment %d at 0x%08x..0x%08x is outside the region 0x%08x..0x%08x: left out\n",
                i, static_cast<uint32_t>(start), last(end), static_cast<uint32_t>(req.base),
                last(regionEnd));
      }
      continue;
    }
    if (req.hasRegion && (start < req.base || end > regionEnd)) {
      fprintf(stderr, "segment %d at 0x%08x..0x%08x lies partly outside the region 0x%08x..0x%08x\n",
              i, static_cast<uint32_t>(start), last(end), static_cast<uint32_t>(req.base),
              last(regionEnd));
      return false;
    }
    if (filesz > 0) paint(p.runs, start, start + filesz, {start + filesz, seg.p_offset, false, i});
    if (size > filesz) paint(p.runs, start + filesz, end, {end, 0, true, i});
  }

  if (p.runs.empty()) {
    if (req.hasRegion) {
      fprintf(stderr, "no segment places a byte in the region 0x%08x..0x%08x\n",
              static_cast<uint32_t>(req.base), last(regionEnd));
    } else {
      fputs("no loadable segment has a byte to place\n", stderr);
    }
    return false;
  }
  if (req.hasRegion) {
    p.base = req.base;
    p.size = req.size;
    return true;
  }
  const auto& [lo, first] = *p.runs.begin();
  const auto& [hiStart, top] = *p.runs.rbegin();
  p.base = lo / req.wordBytes * req.wordBytes;
  p.size = (top.end - p.base + req.wordBytes - 1) / req.wordBytes * req.wordBytes;
  if (p.size > spanLimit) {
    fprintf(stderr,
            "the image spans 0x%08x..0x%08x, from segment %d to segment %d, above 256 MiB: "
            "choose the memory with --region=BASE:SIZE\n",
            static_cast<uint32_t>(lo), last(top.end), first.seg, top.seg);
    return false;
  }
  return true;
}

void placedBytes(const placement& p, uint64_t addr, size_t n, uint8_t fill, uint8_t* dst) {
  const uint64_t end = addr + n;
  uint64_t at = addr;  // bytes below it are written
  auto it = p.runs.upper_bound(addr);
  if (it != p.runs.begin()) --it;
  for (; it != p.runs.end() && it->first < end; ++it) {
    const uint64_t s = std::max(it->first, addr);
    const uint64_t e = std::min(it->second.end, end);
    if (s >= e) continue;
    if (s > at) memset(dst + (at - addr), fill, s - at);
    if (it->second.zero) {
      memset(dst + (s - addr), 0, e - s);
    } else {
      memcpy(dst + (s - addr), p.file.data() + it->second.from + (s - it->first), e - s);
    }
    at = e;
  }
  if (end > at) memset(dst + (at - addr), fill, end - at);
}
