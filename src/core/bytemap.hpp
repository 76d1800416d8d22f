// Bytes at addresses, held as runs that point into the inputs' bytes or
// stand for zeros: an image of any span costs what its runs cost, not what
// its addresses span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

namespace romwright {

// The bytes [start, end) of a map, start being the run's key: the bytes
// from `from` on, or zeros when `from` is null.
struct byteRun {
  uint64_t end;
  const uint8_t* from;
  uint32_t seg;  // the segment of the image that put them there
};

class byteMap {
 public:
  // Puts [a, b) over whatever lies there: runs it covers go, runs it cuts
  // keep their parts outside it.
  void paint(uint64_t a, uint64_t b, const uint8_t* from, uint32_t seg);

  // Writes the `n` bytes from address `addr` to `dst`: the runs' bytes
  // where there are any, `fill` elsewhere.
  void read(uint64_t addr, size_t n, uint8_t fill, uint8_t* dst) const;

  // Hands the bytes [a, b) over in address order: `bytes(p, n)` for the n
  // bytes of a run at p, `repeated(byte, n)` for n zeros of a zero run or n
  // `fill` bytes where no run lies.
  template <class Bytes, class Repeated>
  void walk(uint64_t a, uint64_t b, uint8_t fill, Bytes bytes, Repeated repeated) const {
    uint64_t at = a;  // bytes below it are handed over
    auto it = runs_.upper_bound(a);
    if (it != runs_.begin()) --it;
    for (; it != runs_.end() && it->first < b; ++it) {
      const uint64_t s = it->first > at ? it->first : at;
      const uint64_t e = it->second.end < b ? it->second.end : b;
      if (s >= e) continue;
      if (s > at) repeated(fill, s - at);
      if (it->second.from == nullptr) {
        repeated(uint8_t{0}, e - s);
      } else {
        bytes(it->second.from + (s - it->first), e - s);
      }
      at = e;
    }
    if (b > at) repeated(fill, b - at);
  }

  // One past the address of the last nonzero byte at or above `from`, or
  // `from` when there is none. Visits only the runs with bytes.
  uint64_t lastNonzero(uint64_t from) const;

  const std::map<uint64_t, byteRun>& runs() const { return runs_; }
  bool empty() const { return runs_.empty(); }
  void clear() { runs_.clear(); }

 private:
  std::map<uint64_t, byteRun> runs_;
};

// The bytes [0, size) of an image whose byte k lies at address base + k of
// a map, read in blocks by the writers.
struct byteSource {
  const byteMap* map;
  uint64_t base;
  uint64_t size;
  void read(uint64_t off, size_t n, uint8_t* dst) const { map->read(base + off, n, 0, dst); }
};

}  // namespace romwright
