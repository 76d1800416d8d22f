// The memories of a run against a dump read back from a device: the bytes
// each memory would hold (placed bytes, zero tails, fields and fill, at the
// memory's addresses) against the dump's bytes at the same addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/image.hpp"
#include "out/images.hpp"

namespace romwright {

// A range of a memory that differs from the dump, within one row of the
// map: bytes that differ fewer than `joinGap` bytes apart make one range.
struct verifyRange {
  size_t memory = 0;             // index into placedRun::memories
  uint64_t first = 0, last = 0;  // `last` included
  uint64_t bytes = 0;            // bytes in it that differ, or that the dump lacks
  uint64_t set = 0;              // bits set in the dump where the image has them clear
  uint64_t cleared = 0;          // bits clear in the dump where the image has them set
  bool missing = false;          // the dump holds none of its bytes
  std::string origin;            // what puts the image's bytes there (describeRow)
};

struct verifyReport {
  std::vector<verifyRange> ranges;  // by memory, then address
  uint64_t compared = 0;   // bytes of the memories compared (ignored ones not)
  uint64_t differ = 0;     // of them, bytes that differ
  uint64_t missing = 0;    // of them, bytes the dump does not hold
  uint64_t set = 0, cleared = 0;
  uint64_t ignored = 0;    // bytes of the memories left out by --verify-ignore
  uint64_t outside = 0;    // bytes of the dump that lie in no memory
  bool equal() const { return differ == 0 && missing == 0; }
};

// Differing bytes closer than this make one range.
inline constexpr uint64_t joinGap = 16;

// Compares every memory of `run` (placed from `img`) with `dump`: a dense
// memory over its whole depth, a sparse one over its placed bytes only. The
// dump's stored bytes lie at their load addresses for a memory at load
// addresses and at their run addresses for one at run addresses (the same
// for any input but an ELF file); where two of its segments overlap, the
// later holds. The ranges [first, last] of `ignore` are left out.
verifyReport compareDump(const placedRun& run, const image& img, const image& dump,
                         std::span<const std::pair<uint64_t, uint64_t>> ignore);

// The report as lines: one per range, then one that sums it up and starts
// "verify: ". `dumpName` names the dump.
std::string verifyText(const verifyReport& r, const placedRun& run, const std::string& dumpName);

}  // namespace romwright
