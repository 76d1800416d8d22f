// Placement of segments for the memory-image mode. Every file range and
// address room is checked with fits() (or its inclusive form) before it is
// used; an address range that may end at 2^64 is held as its first and last
// address.
#include "place/place.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/bytes.hpp"

namespace romwright {

namespace {

constexpr uint64_t addressSpace32 = uint64_t{1} << 32;
constexpr uint64_t spanLimit = uint64_t{256} << 20;

unsigned long long ull(uint64_t v) { return v; }

// The last address of [start, end), for messages.
unsigned long long last(uint64_t end) { return end - 1; }

// The last address of the `size` bytes from `start`, or UINT64_MAX when
// they would pass the end of the address space.
uint64_t lastOf(uint64_t start, uint64_t size) { return size - 1 > UINT64_MAX - start ? UINT64_MAX : start + (size - 1); }

// Bytes of the image to put down: [first, last] at their addresses, the
// bytes from `bytes`, or zeros when it is null.
struct piece {
  uint64_t first, last;
  const uint8_t* bytes;
  uint32_t seg;
};

// A stretch of a segment to place, as offsets [from, to) into it: stored
// bytes, or the zero tail.
struct part {
  uint64_t from, to;
  bool zeros;
};

// The first input other than `input` with bytes in [a, b), as the segment
// that placed them, or null.
const byteRun* otherInput(const byteMap& map, const image& img, uint64_t a, uint64_t b, uint32_t input,
                          uint64_t& at) {
  const auto& runs = map.runs();
  auto it = runs.upper_bound(a);
  if (it != runs.begin()) --it;
  for (; it != runs.end() && it->first < b; ++it) {
    if (it->second.end <= a || img.segments[it->second.seg].input == input) continue;
    at = std::max(it->first, a);
    return &it->second;
  }
  return nullptr;
}

// The stretches of img.sectionParts that belong to segment `k`.
std::span<const sectionPart> partsOf(const image& img, uint32_t k) {
  const auto& all = img.sectionParts;
  const auto lo = std::lower_bound(all.begin(), all.end(), k, [](const sectionPart& p, uint32_t s) { return p.seg < s; });
  const auto hi = std::upper_bound(lo, all.end(), k, [](uint32_t s, const sectionPart& p) { return s < p.seg; });
  return {all.data() + (lo - all.begin()), static_cast<size_t>(hi - lo)};
}

// The input and table entry of segment `k`: "fw.elf segment 1", "boot.hex".
std::string inputAndSegment(const image& img, uint32_t k) {
  const segment& s = img.segments[k];
  std::string text = img.inputs[s.input].name;
  if (s.index >= 0) text += " segment " + std::to_string(s.index);
  return text;
}

// A segment of the image whose bytes at the other kind of address than
// `runAddresses` fall in [first, last]: where a memory in which nothing
// lands would have had them. Empty when none does.
std::string otherAddressHint(const image& img, bool runAddresses, uint64_t first, uint64_t last) {
  for (uint32_t k = 0; k < img.segments.size(); k++) {
    const segment& s = img.segments[k];
    const uint64_t size = runAddresses ? s.fileSize : s.memSize;
    if (s.type != PT_LOAD || size == 0) continue;
    const uint64_t at = runAddresses ? s.load : s.run;
    const uint64_t end = lastOf(at, size);
    if (end < first || at > last) continue;
    return strf("%s %s at 0x%08llx..0x%08llx", named(img, k, 0, s.fileSize).c_str(),
                runAddresses ? "is stored" : "runs", ull(at), ull(end));
  }
  return {};
}

}  // namespace

std::string origin(const image& img, const segment& s) {
  const inputInfo& in = img.inputs[s.input];
  std::string what;
  if (!s.section.empty()) {
    what = "section " + std::string(s.section);
  } else if (s.index >= 0) {
    what = "segment " + std::to_string(s.index);
  } else {
    return in.name;
  }
  return img.inputs.size() > 1 ? what + " of " + in.name : what;
}

std::string named(const image& img, uint32_t k, uint64_t from, uint64_t to) {
  const segment& s = img.segments[k];
  std::string text = inputAndSegment(img, k);
  if (!s.section.empty()) return text + " (" + std::string(s.section) + ")";
  if (!img.inputs[s.input].bySection) return text;
  // The sections that hold any of its stored bytes [from, to); a few. The
  // stretches do not overlap, so their ends rise with their offsets: the
  // first one that ends past `from` is found by halving.
  std::string names;
  size_t count = 0;
  const std::span<const sectionPart> parts = partsOf(img, k);
  const auto first = std::partition_point(parts.begin(), parts.end(),
                                          [&](const sectionPart& p) { return p.offset + p.size <= from; });
  for (auto it = first; it != parts.end() && it->offset < to; ++it) {
    const sectionPart& p = *it;
    if (p.name.empty()) continue;
    if (count++ == 4) {
      names += ", ...";
      break;
    }
    names += (names.empty() ? "" : ", ") + std::string(p.name);
  }
  return names.empty() ? text : text + " (" + names + ")";
}

std::vector<std::pair<uint64_t, uint64_t>> storedParts(const image& img, uint32_t k, bool whole) {
  const segment& s = img.segments[k];
  std::vector<std::pair<uint64_t, uint64_t>> out;
  if (s.fileSize == 0) return out;
  if (whole || !s.section.empty() || !img.inputs[s.input].bySection) {
    out.emplace_back(0, s.fileSize);
    return out;
  }
  for (const sectionPart& p : partsOf(img, k)) {
    // Stretches that meet become one.
    if (!out.empty() && out.back().second == p.offset) {
      out.back().second = p.offset + p.size;
    } else {
      out.emplace_back(p.offset, p.offset + p.size);
    }
  }
  return out;
}

status placeSegments(placement& p, const image& img, const placeRequest& req, std::string& notes) {
  p.map.clear();
  p.shift = 0;
  // The region's last address: a region may end at 2^64.
  const uint64_t regionLast = req.hasRegion ? req.base + (req.size - 1) : 0;
  std::vector<piece> pieces;
  std::vector<part> parts;
  for (uint32_t k = 0; k < img.segments.size(); k++) {
    const segment& seg = img.segments[k];
    if (seg.type != PT_LOAD) continue;
    const std::string what = origin(img, seg);
    if (seg.fileSize > seg.memSize) {
      return failuref("%s file size 0x%llx exceeds memory size 0x%llx\n", what.c_str(), ull(seg.fileSize),
                      ull(seg.memSize));
    }
    const uint64_t start = req.runAddresses ? seg.run : seg.load;
    const uint64_t filesz = seg.fileSize;
    const uint64_t size = req.runAddresses ? seg.memSize : filesz;
    if (size == 0) continue;
    if (filesz > 0 && !seg.readable) {
      return seg.index >= 0 && seg.section.empty() && img.inputs.size() == 1
                 ? failuref("unable to read segment %d\n", seg.index)
                 : failuref("unable to read %s\n", what.c_str());
    }
    // A 32-bit executable's addresses do not pass 2^32; any other input's
    // do not pass 2^64.
    if (img.inputs[seg.input].elfClass == 32) {
      if (!fits(start, size, addressSpace32)) return failuref("%s exceeds the 32-bit address space\n", what.c_str());
    } else if (size - 1 > UINT64_MAX - start) {
      return failuref("%s passes the end of the 64-bit address space\n", what.c_str());
    }

    // What of it is placed: its stored bytes (those its sections hold, when
    // its input is read section by section), then at run addresses the
    // zero tail.
    parts.clear();
    for (const auto& [a, b] : storedParts(img, k, req.wholeSegments)) parts.push_back({a, b, false});
    if (req.runAddresses && seg.memSize > filesz) parts.push_back({filesz, seg.memSize, true});
    if (parts.empty()) continue;
    const uint64_t lo = start + parts.front().from, hi = start + (parts.back().to - 1);
    uint64_t keepFirst = lo, keepLast = hi;
    if (req.hasRegion && (hi < req.base || lo > regionLast)) {
      if (!req.quiet) {
        notes += strf("%s at 0x%08llx..0x%08llx is outside the region 0x%08llx..0x%08llx: left out\n",
                      what.c_str(), ull(lo), ull(hi), ull(req.base), ull(regionLast));
      }
      continue;
    }
    if (req.hasRegion && (lo < req.base || hi > regionLast)) {
      if (!req.crop) {
        return failuref("%s at 0x%08llx..0x%08llx lies partly outside the region 0x%08llx..0x%08llx\n",
                        what.c_str(), ull(lo), ull(hi), ull(req.base), ull(regionLast));
      }
      keepFirst = std::max(lo, req.base);
      keepLast = std::min(hi, regionLast);
    }
    uint64_t all = 0, kept = 0;
    for (const part& q : parts) {
      all += q.to - q.from;
      const uint64_t first = std::max(start + q.from, keepFirst), last = std::min(start + (q.to - 1), keepLast);
      if (first > last) continue;
      kept += last - first + 1;
      pieces.push_back({first, last, q.zeros ? nullptr : seg.bytes.data() + (first - start), k});
    }
    if (kept < all && !req.quiet) {
      notes += strf("%s at 0x%08llx..0x%08llx is cut to 0x%08llx..0x%08llx: %llu bytes left out\n", what.c_str(),
                    ull(lo), ull(hi), ull(keepFirst), ull(keepLast), ull(all - kept));
    }
  }

  if (pieces.empty() && !(req.allowEmpty && req.hasRegion)) {
    if (!req.hasRegion) return Error{"no loadable segment has a byte to place\n"};
    const std::string hint = otherAddressHint(img, req.runAddresses, req.base, regionLast);
    const char* key = req.runAddresses ? "addresses=load" : "addresses=run";
    if (req.label != nullptr) {
      if (hint.empty()) {
        return failuref("no byte lands in memory %s (0x%08llx..0x%08llx): give it the key empty if it may stay "
                        "empty\n",
                        req.label, ull(req.base), ull(regionLast));
      }
      return failuref("no byte lands in memory %s (0x%08llx..0x%08llx), where %s: give the memory %s\n", req.label,
                      ull(req.base), ull(regionLast), hint.c_str(), key);
    }
    if (hint.empty()) {
      return failuref("no segment places a byte in the region 0x%08llx..0x%08llx\n", ull(req.base), ull(regionLast));
    }
    return failuref("no segment places a byte in the region 0x%08llx..0x%08llx, where %s: give --%s\n", ull(req.base),
                    ull(regionLast), hint.c_str(), key);
  }

  // The memory, and where its runs are kept: moved down by its first
  // address when it reaches the end of the address space.
  if (req.hasRegion) {
    const uint64_t bytes = std::max(req.size, req.depthBytes);
    p.shift = bytes - 1 == UINT64_MAX - req.base ? req.base : 0;
    p.base = req.base - p.shift;
    p.size = req.size;
  } else {
    const piece* low = &pieces.front();
    const piece* high = low;
    // The extreme pieces; of two at one address, the later, which wins.
    for (const piece& c : pieces) {
      if (c.first <= low->first) low = &c;
      if (c.last >= high->last) high = &c;
    }
    const uint64_t wb = req.wordBytes;
    const uint64_t base = low->first / wb * wb;
    if (base == 0 && high->last == UINT64_MAX) return Error{"the image spans the whole 64-bit address space\n"};
    const uint64_t span = high->last - base + 1;
    const uint64_t words = span / wb + (span % wb != 0 ? 1 : 0);
    if (words > UINT64_MAX / wb || words * wb - 1 > UINT64_MAX - base) {
      return failuref("the image's last word at 0x%08llx passes the end of the 64-bit address space\n",
                      ull(high->last));
    }
    if (!req.sparse && words * wb > spanLimit) {
      return failuref("the image spans 0x%08llx..0x%08llx, from %s at 0x%08llx to %s at 0x%08llx, above 256 MiB: "
                      "choose the memory with --region=BASE:SIZE, or a sparse format\n",
                      ull(low->first), ull(high->last), named(img, low->seg, 0, img.segments[low->seg].fileSize).c_str(),
                      ull(low->first), named(img, high->seg, 0, img.segments[high->seg].fileSize).c_str(),
                      ull(high->first));
    }
    const uint64_t bytes = std::max(words * wb, req.depthBytes);
    p.shift = bytes - 1 == UINT64_MAX - base ? base : 0;
    p.base = base - p.shift;
    p.size = words * wb;
  }

  for (const piece& c : pieces) {
    const uint64_t a = c.first - p.shift, b = c.last - p.shift + 1;
    const uint32_t input = img.segments[c.seg].input;
    uint64_t at = 0;
    if (!req.overlapLater) {
      if (const byteRun* other = otherInput(p.map, img, a, b, input, at)) {
        const segment& o = img.segments[other->seg];
        const uint64_t upto = std::min(other->end, b);
        return failuref("%s and %s both place bytes at 0x%08llx..0x%08llx\n", origin(img, o).c_str(),
                        origin(img, img.segments[c.seg]).c_str(), ull(at + p.shift), last(upto) + p.shift);
      }
    }
    p.map.paint(a, b, c.bytes, c.seg);
  }
  return done;
}

// The stored bytes of the image that land in no memory, one line per range,
// at the addresses of the memories' own kind (load addresses unless every
// memory takes run addresses).
std::string unplaced(const image& img, std::span<const memoryRange> mems, bool wholeSegments) {
  const bool allRun = std::all_of(mems.begin(), mems.end(), [](const memoryRange& o) { return o.runAddresses; });
  std::string lines;
  for (uint32_t k = 0; k < img.segments.size(); k++) {
    const segment& seg = img.segments[k];
    if (seg.type != PT_LOAD || seg.fileSize == 0) continue;
    const uint64_t at = allRun ? seg.run : seg.load;
    // Ranges of stored bytes, as offsets [a, b), that land nowhere; one
    // that only bytes no section holds part from the one before joins it.
    std::vector<std::pair<uint64_t, uint64_t>> gaps;
    uint64_t partStart = 0, lastPartEnd = 0;
    auto gap = [&](uint64_t a, uint64_t b) {
      if (!gaps.empty() && gaps.back().second == lastPartEnd && a == partStart) {
        gaps.back().second = b;
      } else {
        gaps.emplace_back(a, b);
      }
    };
    for (const auto& [from, to] : storedParts(img, k, wholeSegments)) {
      std::vector<std::pair<uint64_t, uint64_t>> covered;  // offsets into the stored bytes
      for (const memoryRange& o : mems) {
        // Placement has checked that the addresses of a memory's kind do
        // not pass the end of the address space.
        const uint64_t start = o.runAddresses ? seg.run : seg.load;
        if (to - 1 > UINT64_MAX - start) continue;
        const uint64_t lo = std::max(start + from, o.base), hi = std::min(start + (to - 1), lastOf(o.base, o.size));
        if (lo <= hi) covered.emplace_back(lo - start, hi - start + 1);
      }
      std::sort(covered.begin(), covered.end());
      partStart = from;
      uint64_t next = from;  // offsets below it are covered
      for (const auto& [a, b] : covered) {
        if (a > next) gap(next, a);
        next = std::max(next, b);
      }
      if (next < to) gap(next, to);
      lastPartEnd = to;
    }
    for (const auto& [a, b] : gaps) {
      lines += strf("%s: 0x%08llx..0x%08llx lands in no memory\n", named(img, k, a, b).c_str(), ull(at + a),
                    ull(at + b - 1));
    }
  }
  return lines;
}

std::string noSectionNotes(const image& img, bool runAddresses) {
  std::string lines;
  for (uint32_t k = 0; k < img.segments.size(); k++) {
    const segment& seg = img.segments[k];
    if (seg.type != PT_LOAD || seg.fileSize == 0 || !seg.section.empty() || !img.inputs[seg.input].bySection) continue;
    const uint64_t at = runAddresses ? seg.run : seg.load;
    std::string ranges;
    uint64_t bytes = 0, count = 0, next = 0;
    auto left = [&](uint64_t a, uint64_t b) {
      bytes += b - a;
      if (count++ < 4) ranges += strf("%s0x%08llx..0x%08llx", ranges.empty() ? "" : ", ", ull(at + a), ull(at + b - 1));
    };
    for (const auto& [a, b] : storedParts(img, k, false)) {
      if (a > next) left(next, a);
      next = b;
    }
    if (next < seg.fileSize) left(next, seg.fileSize);
    if (count == 0) continue;
    if (count > 4) ranges += strf(" and %llu more", ull(count - 4));
    lines += strf("%s: %llu bytes that no section holds are left out, at %s (--whole-segments places them)\n",
                  inputAndSegment(img, k).c_str(), ull(bytes), ranges.c_str());
  }
  return lines;
}

}  // namespace romwright
