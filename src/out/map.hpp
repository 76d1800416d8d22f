// What went where: every memory of a run as ranges, each with what put its
// bytes there (an input's segment and section, its zero tail, an integrity
// field, or the fill), and the symbols that lie in it. The map file of a
// run is made of them, as text or as JSON, and so are the lines of a verify.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/image.hpp"
#include "fields/fields.hpp"
#include "out/images.hpp"

namespace romwright {

// One range of a memory whose bytes have one origin.
struct mapRow {
  enum class kind {
    bytes,  // stored bytes of segment `seg`, of `section` when one holds them
    zeros,  // the zero tail of segment `seg` (at run addresses)
    field,  // the value of `field`
    fill,   // no placed byte: the memory's fill
  };
  kind what = kind::fill;
  uint64_t first = 0, last = 0;  // the memory's addresses, `last` included
  uint32_t seg = 0;
  std::string_view section;
  const storedField* field = nullptr;
};

// The rows of memory `m` of `run`, from its first address to its last in
// order: every byte of the memory (its whole depth) lies in one row.
std::vector<mapRow> memoryRows(const placedRun& run, const placedMemory& m, const image& img);

// What row `r` of `m` is, as the map and the messages name it:
// "fw.elf segment 1 (.data)", "fw.elf segment 1 (zero tail)",
// "field crc32@0x080001fc", "fill 0xff", "gap (not written)".
std::string describeRow(const mapRow& r, const placedMemory& m, const image& img);

// The map of `run` as a person reads it: a block per memory, a line per
// range, the symbols of a range below it.
std::string mapText(const placedRun& run, const image& img);

// The same as one JSON object; every address and size a hex string.
std::string mapJson(const placedRun& run, const image& img);

}  // namespace romwright
