// The reader of S-records: S0 (a header, skipped), S1 to S3 (data at 16-,
// 24- and 32-bit addresses), S5 and S6 (the number of data records), S7
// to S9 (the start address, which ends the records). A file must end with
// S7 to S9, or with a record count: one without may have been cut.
#include <algorithm>

#include "read/registry.hpp"
#include "read/records.hpp"

namespace romwright {

using namespace records;

namespace {

// The most bytes a record holds: the count and the 255 bytes it counts.
constexpr size_t longestRecord = 1 + 255;

// The bytes of the address (or record count) field of each type; 0 for S4,
// which has no meaning.
constexpr size_t addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

uint64_t bigEndian(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++) v = v << 8 | p[i];
  return v;
}

// Parses every line of `r`, handing the data to `sink` (see gatherSink);
// the record that ends them sets `hasStart` and `start`.
template <class Sink>
status parse(const inputSource& in, lineReader& r, Sink& sink, bool& hasStart, uint64_t& start) {
  uint8_t rec[longestRecord];
  uint64_t dataRecords = 0, endLine = 0, lastLine = 0;
  char endType = 0;
  bool counted = false;  // the last record so far is a record count
  std::string_view line;
  while (r.next(line)) {
    if (line.empty()) continue;
    const uint64_t at = r.number();
    lastLine = at;
    if (endLine != 0) {
      return lineFailure(in, at, "a line after the S%c record on line %llu, which ends the records",
                         endType, static_cast<unsigned long long>(endLine));
    }
    if (line.size() < 2 || line[0] != 'S' || line[1] < '0' || line[1] > '9') {
      return lineFailure(in, at, "a line that is not a record");
    }
    const unsigned type = static_cast<unsigned>(line[1] - '0');
    if (type == 4) return lineFailure(in, at, "a record of type S4");
    size_t n = 0;
    unsigned total = 0;
    if (std::optional<Error> f = decode(line.substr(2), rec, sizeof rec, n, total, in, at)) return *f;
    if (n < 1) return lineFailure(in, at, "the line holds no bytes, too few for a record");
    const size_t count = rec[0];
    if (count != n - 1) {
      return lineFailure(in, at, "the count says 0x%02zx bytes, the line holds 0x%02zx", count, n - 1);
    }
    const size_t width = addressBytes[type];
    if (type <= 3 && count < width + 1) {
      return lineFailure(in, at, "the count of an S%u record must be at least 0x%02zx, this one is 0x%02zx",
                         type, width + 1, count);
    }
    if (type >= 5 && count != width + 1) {
      return lineFailure(in, at, "the count of an S%u record must be 0x%02zx, this one is 0x%02zx", type,
                         width + 1, count);
    }
    const unsigned sum = total - rec[n - 1];  // of the bytes before the checksum
    const unsigned need = ~sum & 0xff;
    if (rec[n - 1] != need) {
      return lineFailure(in, at, "checksum 0x%02x, the record's bytes need 0x%02x", rec[n - 1], need);
    }
    const uint64_t value = bigEndian(rec + 1, width);
    counted = type == 5 || type == 6;
    switch (type) {
      case 1:
      case 2:
      case 3: {
        dataRecords++;
        const size_t size = count - width - 1;
        if (value + size > uint64_t{1} << 32) {
          return lineFailure(in, at, "bytes at 0x%08llx..0x%09llx, past 0xffffffff",
                             static_cast<unsigned long long>(value),
                             static_cast<unsigned long long>(value + size - 1));
        }
        if (!sink.data(value, rec + 1 + width, size, at)) return done;
        break;
      }
      case 5:
      case 6: {
        const uint64_t seen = dataRecords & ((uint64_t{1} << (8 * width)) - 1);
        if (value != seen) {
          return lineFailure(in, at, "the record count says %llu, the data records before it are %llu",
                             static_cast<unsigned long long>(value),
                             static_cast<unsigned long long>(dataRecords));
        }
        break;
      }
      case 7:
      case 8:
      case 9:
        hasStart = true;
        start = value;
        endLine = at;
        endType = line[1];
        break;
      default:  // S0: a header, whatever it says
        break;
    }
  }
  if (r.error() != 0) return readFailure(in, r);
  // Records cut at a line boundary look like a shorter image: the record
  // that ends them says the writer finished, and so does a count of the data
  // records as the last record (what writers put last when there is no
  // start address).
  if (endLine == 0 && !counted) {
    return failuref("%s: ends at line %llu without an S7, S8 or S9 record or a record count; it may have been "
                    "cut short\n",
                    in.name.c_str(), static_cast<unsigned long long>(lastLine));
  }
  return done;
}

}  // namespace

bool isSrec(std::span<const uint8_t> head) {
  const uint8_t* c = firstNonBlank(head);
  return c != nullptr && *c == 'S' && c + 1 < head.data() + head.size() && c[1] >= '0' && c[1] <= '9';
}

status readSrec(inputSource& in, image& img) {
  return readRecords(in, img, [](auto&... args) { return parse(args...); });
}

}  // namespace romwright
