// Placement for the memory-image mode: each loadable segment's bytes at its
// load or run address, a later segment in the table winning where two
// overlap. Nothing is copied: a run of placed bytes points into the file.
#pragma once

#include <elf.h>

#include <cstdint>
#include <map>
#include <span>

// Placed bytes [start, end), start being the run's key: the file's bytes
// from offset `from` on, or zeros (a segment's zero tail at its run address).
struct placedRun {
  uint64_t end;
  uint64_t from;
  bool zero;
  int seg;  // the entry of the program header table that placed them
};

struct placeRequest {
  bool runAddresses;  // p_vaddr and the zero tail, else p_paddr and file bytes
  bool hasRegion;
  uint64_t base;      // the region [base, base + size), when given
  uint64_t size;
  uint32_t wordBytes; // the span without a region is widened to whole words
  bool quiet;         // no line for a segment left out
};

struct placement {
  std::map<uint64_t, placedRun> runs;
  std::span<const uint8_t> file;
  uint64_t base;  // the memory: the region, or the span of placed bytes
  uint64_t size;
};

// Places the loadable segments of `segs` from `file`. Writes a line for each
// segment left out; on an error writes why and returns false.
bool placeSegments(placement& p, std::span<const Elf32_Phdr> segs, std::span<const uint8_t> file,
                   const placeRequest& req);

// Writes the `n` bytes of the memory from address `addr` to `dst`: placed
// bytes where there are any, `fill` elsewhere.
void placedBytes(const placement& p, uint64_t addr, size_t n, uint8_t fill, uint8_t* dst);
