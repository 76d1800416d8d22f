// The reader of Intel HEX: records 00 (data), 01 (end of file), 02 and 04
// (the base of the addresses that follow), 03 and 05 (the start address).
// The end-of-file record must come: a file without it may have been cut.
#include <algorithm>

#include "read/registry.hpp"
#include "read/records.hpp"

namespace romwright {

using namespace records;

namespace {

// The most bytes a record holds: count, address, type, 255 data bytes and
// the checksum.
constexpr size_t longestRecord = 1 + 2 + 1 + 255 + 1;

uint32_t be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return be16(p) << 16 | be16(p + 2); }

// Parses every line of `r`, handing the data to `sink` (see gatherSink);
// a start record sets `hasStart` and `start`.
template <class Sink>
status parse(const inputSource& in, lineReader& r, Sink& sink, bool& hasStart, uint64_t& start) {
  uint8_t rec[longestRecord];
  uint64_t base = 0;          // from the last 02 or 04 record
  bool segmented = false;     // the last was an 02: offsets wrap inside 64 KiB
  uint64_t endLine = 0, startLine = 0, lastLine = 0;
  std::string_view line;
  while (r.next(line)) {
    if (line.empty()) continue;
    const uint64_t at = r.number();
    lastLine = at;
    if (endLine != 0) {
      return lineFailure(in, at, "a line after the end-of-file record on line %llu",
                         static_cast<unsigned long long>(endLine));
    }
    if (line[0] != ':') return lineFailure(in, at, "a line that is not a record");
    size_t n = 0;
    unsigned total = 0;
    if (std::optional<Error> f = decode(line.substr(1), rec, sizeof rec, n, total, in, at)) return *f;
    if (n < 5) return lineFailure(in, at, "the line holds 0x%02zx bytes, too few for a record", n);
    const size_t count = rec[0];
    if (count != n - 5) {
      return lineFailure(in, at, "the count says 0x%02zx data bytes, the line holds 0x%02zx", count,
                         n - 5);
    }
    const unsigned sum = total - rec[n - 1];  // of the bytes before the checksum
    const unsigned need = (0x100 - (sum & 0xff)) & 0xff;
    if (rec[n - 1] != need) {
      return lineFailure(in, at, "checksum 0x%02x, the record's bytes need 0x%02x", rec[n - 1], need);
    }
    const unsigned type = rec[3];
    const uint8_t* data = rec + 4;
    static constexpr size_t sizes[] = {0, 0, 2, 4, 2, 4};
    if (type > 5) return lineFailure(in, at, "a record of type %02x", type);
    if (type != 0 && count != sizes[type]) {
      return lineFailure(in, at, "a record of type %02x must hold %zu bytes, this one holds %zu",
                         type, sizes[type], count);
    }
    switch (type) {
      case 0: {
        const uint64_t offset = be16(rec + 1);
        // The bytes before the wrap (inside the segment, or below 4 GiB),
        // then those after it.
        const uint64_t addr = segmented ? base + offset : (base + offset) & 0xffffffff;
        const uint64_t room = segmented ? 0x10000 - offset : (uint64_t{1} << 32) - addr;
        const size_t first = static_cast<size_t>(std::min<uint64_t>(count, room));
        if (!sink.data(addr, data, first, at)) return done;
        if (first < count && !sink.data(segmented ? base : 0, data + first, count - first, at)) {
          return done;
        }
        break;
      }
      case 1:
        endLine = at;
        break;
      case 2:
        base = uint64_t{be16(data)} << 4;
        segmented = true;
        break;
      case 4:
        if (be16(rec + 1) != 0) {
          return lineFailure(in, at, "a record of type 04 must have the address 0000, this one has %04x",
                             be16(rec + 1));
        }
        base = uint64_t{be16(data)} << 16;
        segmented = false;
        break;
      case 3:
      case 5: {
        const uint64_t value = type == 3 ? (uint64_t{be16(data)} << 4) + be16(data + 2) : be32(data);
        if (hasStart && value != start) {
          return lineFailure(in, at, "a second start address 0x%08llx; line %llu gave 0x%08llx",
                             static_cast<unsigned long long>(value),
                             static_cast<unsigned long long>(startLine),
                             static_cast<unsigned long long>(start));
        }
        hasStart = true;
        start = value;
        startLine = at;
        break;
      }
    }
  }
  if (r.error() != 0) return readFailure(in, r);
  // Records cut at a line boundary look like a shorter image: only the
  // end record says the writer finished.
  if (endLine == 0) {
    return failuref("%s: ends at line %llu without an end-of-file record (type 01); it may have been cut short\n",
                    in.name.c_str(), static_cast<unsigned long long>(lastLine));
  }
  return done;
}

}  // namespace

bool isIhex(std::span<const uint8_t> head) {
  const uint8_t* c = firstNonBlank(head);
  return c != nullptr && *c == ':' && c + 1 < head.data() + head.size() && hexValue[c[1]] >= 0;
}

status readIhex(inputSource& in, image& img) {
  return readRecords(in, img, [](auto&... args) { return parse(args...); });
}

}  // namespace romwright
