// Placement of segments for the memory-image mode. Every file range and
// address room is checked with fits() before it is used.
#include "place/place.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/bytes.hpp"

namespace romwright {

namespace {

constexpr uint64_t addressSpace = uint64_t{1} << 32;
constexpr uint64_t spanLimit = uint64_t{256} << 20;

unsigned long long ull(uint64_t v) { return v; }

// The last address of [start, end), for messages.
unsigned long long last(uint64_t end) { return end - 1; }

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

status placeSegments(placement& p, const image& img, const placeRequest& req, std::string& notes) {
  p.map.clear();
  const uint64_t regionEnd = req.base + req.size;
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
    if (!fits(start, size, addressSpace)) {
      return failuref("%s exceeds the 32-bit address space\n", what.c_str());
    }
    uint64_t end = start + size;
    if (req.hasRegion && (end <= req.base || start >= regionEnd)) {
      if (!req.quiet) {
        notes += strf("%s at 0x%08llx..0x%08llx is outside the region 0x%08llx..0x%08llx: left out\n",
                      what.c_str(), ull(start), last(end), ull(req.base), last(regionEnd));
      }
      continue;
    }
    uint64_t from = start;  // the first byte placed
    if (req.hasRegion && (start < req.base || end > regionEnd)) {
      if (!req.crop) {
        return failuref("%s at 0x%08llx..0x%08llx lies partly outside the region 0x%08llx..0x%08llx\n",
                        what.c_str(), ull(start), last(end), ull(req.base), last(regionEnd));
      }
      from = std::max(start, req.base);
      const uint64_t to = std::min(end, regionEnd);
      if (!req.quiet) {
        notes += strf("%s at 0x%08llx..0x%08llx is cut to 0x%08llx..0x%08llx: %llu bytes left out\n",
                      what.c_str(), ull(start), last(end), ull(from), last(to), ull(size - (to - from)));
      }
      end = to;
    }
    uint64_t at = 0;
    if (!req.overlapLater) {
      if (const byteRun* other = otherInput(p.map, img, from, end, seg.input, at)) {
        const segment& o = img.segments[other->seg];
        const uint64_t upto = std::min(other->end, end);
        return failuref("%s and %s both place bytes at 0x%08llx..0x%08llx\n", origin(img, o).c_str(),
                        what.c_str(), ull(at), last(upto));
      }
    }
    const uint64_t fileEnd = std::min(start + filesz, end);
    if (fileEnd > from) p.map.paint(from, fileEnd, seg.bytes.data() + (from - start), k);
    if (end > std::max(fileEnd, from)) p.map.paint(std::max(fileEnd, from), end, nullptr, k);
  }

  if (p.map.empty() && !(req.allowEmpty && req.hasRegion)) {
    if (req.hasRegion) {
      return failuref("no segment places a byte in the region 0x%08llx..0x%08llx\n", ull(req.base),
                      last(regionEnd));
    }
    return Error{"no loadable segment has a byte to place\n"};
  }
  if (req.hasRegion) {
    p.base = req.base;
    p.size = req.size;
    return done;
  }
  const auto& [lo, first] = *p.map.runs().begin();
  const auto& [hiStart, top] = *p.map.runs().rbegin();
  p.base = lo / req.wordBytes * req.wordBytes;
  p.size = (top.end - p.base + req.wordBytes - 1) / req.wordBytes * req.wordBytes;
  if (p.size > spanLimit) {
    return failuref("the image spans 0x%08llx..0x%08llx, from %s to %s, above 256 MiB: "
                    "choose the memory with --region=BASE:SIZE\n",
                    ull(lo), last(top.end), origin(img, img.segments[first.seg]).c_str(),
                    origin(img, img.segments[top.seg]).c_str());
  }
  return done;
}

// The stored bytes of the image that land in no memory, one line per range,
// at the addresses of the memories' own kind (load addresses unless every
// memory takes run addresses).
std::string unplaced(const image& img, std::span<const memoryRange> mems) {
  const bool allRun = std::all_of(mems.begin(), mems.end(), [](const memoryRange& o) { return o.runAddresses; });
  std::string lines;
  for (const segment& seg : img.segments) {
    if (seg.type != PT_LOAD || seg.fileSize == 0) continue;
    std::vector<std::pair<uint64_t, uint64_t>> covered;  // offsets into the stored bytes
    for (const memoryRange& o : mems) {
      const uint64_t start = o.runAddresses ? seg.run : seg.load;
      const uint64_t lo = std::max(start, o.base);
      const uint64_t hi = std::min(start + seg.fileSize, o.base + o.size);
      if (lo < hi) covered.emplace_back(lo - start, hi - start);
    }
    std::sort(covered.begin(), covered.end());
    const uint64_t at = allRun ? seg.run : seg.load;
    uint64_t next = 0;  // offsets below it are covered
    auto gap = [&](uint64_t a, uint64_t b) {
      lines += strf("%s: 0x%08llx..0x%08llx lands in no memory\n", origin(img, seg).c_str(), static_cast<unsigned long long>(at + a),
                    static_cast<unsigned long long>(at + b - 1));
    };
    for (const auto& [a, b] : covered) {
      if (a > next) gap(next, a);
      next = std::max(next, b);
    }
    if (next < seg.fileSize) gap(next, seg.fileSize);
  }
  return lines;
}

}  // namespace romwright
