// Placement for the memory-image mode: the bytes of every segment of the
// image at its load or run address, a later segment of one input winning
// where two overlap. Nothing is copied: the runs point into the inputs.
// Addresses are 64-bit; a memory may end at the very end of the address
// space, which a half-open end cannot hold, so such a memory keeps its runs
// at addresses moved down by `shift`.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

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
  bool sparse = false;          // the format writes only the placed bytes, so
                                // the span has no limit
  bool wholeSegments = false;   // also the stored bytes that no section holds
  uint64_t depthBytes = 0;      // the bytes --depth gives the memory (0: none)
  const char* label = nullptr;  // the memory's name with --memory
};

struct placement {
  byteMap map;
  uint64_t base;  // the memory: the region, or the span of placed bytes, in
  uint64_t size;  // the map's addresses
  uint64_t shift = 0;  // what the map's addresses lack: 0 unless the memory
                       // reaches the end of the 64-bit address space
  // The address of the memory's first byte.
  uint64_t address() const { return base + shift; }
};

// Places the segments of `img`. Lines about segments left out or cut go to
// `notes`; a failure says why.
status placeSegments(placement& p, const image& img, const placeRequest& req, std::string& notes);

// What placed segment `s` is, for messages: "segment 2", "section .data",
// "boot.hex", with " of FILE" when the run has several inputs.
std::string origin(const image& img, const segment& s);

// Segment `k` of `img` as the messages about its bytes name it, with its
// input and the sections that hold its stored bytes [from, to):
// "fw.elf segment 1 (.text, .rodata)", "boot.hex".
std::string named(const image& img, uint32_t k, uint64_t from, uint64_t to);

// The stored bytes of segment `k` that placement puts down, as offsets
// [first, second) into them: those its sections hold when its input is read
// section by section (unless `whole`), otherwise all of them.
std::vector<std::pair<uint64_t, uint64_t>> storedParts(const image& img, uint32_t k, bool whole);

// A memory of a run, as the search for bytes that land in none sees it.
struct memoryRange {
  uint64_t base, size;
  bool runAddresses;
};

// The stored bytes of `img` that land in none of `mems`, one line per
// range, at the addresses of the memories' own kind (load addresses unless
// every memory takes run addresses); empty when every byte lands.
std::string unplaced(const image& img, std::span<const memoryRange> mems, bool wholeSegments);

// The stored bytes of segments that no section holds, which placement
// leaves out: a line per segment, at run or load addresses.
std::string noSectionNotes(const image& img, bool runAddresses);

}  // namespace romwright
