// Placement for the memory-image mode: the bytes of every segment of the
// image at its load or run address, a later segment of one input winning
// where two overlap. Nothing is copied: the runs point into the inputs.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/bytemap.hpp"
#include "core/image.hpp"
#include "core/error.hpp"

namespace romwright {

struct placeRequest {
  bool runAddresses;  // p_vaddr and the zero tail, else p_paddr and file bytes
  bool hasRegion;
  uint64_t base;      // the region [base, base + size), when given
  uint64_t size;
  uint32_t wordBytes; // the span without a region is widened to whole words
  bool quiet;         // no line for a segment left out or cut
  bool crop;          // cut segments at the region's edges instead of refusing
  bool overlapLater;  // a later input wins where two inputs overlap
  bool allowEmpty;    // a region in which nothing lands is no failure
};

struct placement {
  byteMap map;
  uint64_t base;  // the memory: the region, or the span of placed bytes
  uint64_t size;
};

// Places the segments of `img`. Lines about segments left out or cut go to
// `notes`; a failure says why.
status placeSegments(placement& p, const image& img, const placeRequest& req, std::string& notes);

// What placed segment `s` is, for messages: "segment 2", "section .data",
// "boot.hex", with " of FILE" when the run has several inputs.
std::string origin(const image& img, const segment& s);

// A memory of a run, as the search for bytes that land in none sees it.
struct memoryRange {
  uint64_t base, size;
  bool runAddresses;
};

// The stored bytes of `img` that land in none of `mems`, one line per
// range, at the addresses of the memories' own kind (load addresses unless
// every memory takes run addresses); empty when every byte lands.
std::string unplaced(const image& img, std::span<const memoryRange> mems);

}  // namespace romwright
