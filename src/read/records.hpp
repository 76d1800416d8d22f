// What the readers of text records (Intel HEX, S-records) share: lines read
// from the input in blocks, hex digits decoded without branches, and the
// bytes of the records gathered into segments of the image, with a check
// that no address is given twice.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/image.hpp"
#include "read/registry.hpp"
#include "core/error.hpp"

namespace romwright {

namespace records {

// The value of a hex digit, or -1 for any other byte.
inline constexpr std::array<int8_t, 256> hexValue = [] {
  std::array<int8_t, 256> t{};
  t.fill(-1);
  for (int c = 0; c < 10; c++) t['0' + c] = static_cast<int8_t>(c);
  for (int c = 0; c < 6; c++) {
    t['a' + c] = static_cast<int8_t>(10 + c);
    t['A' + c] = static_cast<int8_t>(10 + c);
  }
  return t;
}();

// True for the blanks that may come before the first record.
inline bool blank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The first byte of `head` that is not blank, or null.
const uint8_t* firstNonBlank(std::span<const uint8_t> head);

// The lines of an input, read with read(2) in blocks so that memory stays
// at a block and a line whatever the size of the file.
class lineReader {
 public:
  static constexpr size_t block = size_t{1} << 20;
  static constexpr size_t longest = 65536;  // the longest line taken
  static constexpr size_t size = block + longest + 1;  // of the buffer

  // Reads `fd` from where it stands, after the bytes `first` (at most a
  // line) that were read from it before.
  explicit lineReader(int fd, std::span<const uint8_t> first = {});
  // The next line, without its LF and without the blanks and CR that
  // end it; false at the end of the input or on a failure (see error()).
  bool next(std::string_view& line);
  uint64_t number() const { return number_; }  // of the last line given
  // Why next() stopped early: an errno value, or -1 for a line over `longest`.
  int error() const { return error_; }

 private:
  int fd_;
  std::unique_ptr<char[]> buf_;  // left uninitialised: a small input touches little of it
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  int error_ = 0;
  uint64_t number_ = 0;
};

// The failure for a line reader that stopped early, naming the file and
// the line it was at.
Error readFailure(const inputSource& in, const lineReader& r);

// Decodes the hex digit pairs of `digits` into `out` (which holds at most
// `room` bytes), setting `bytes` to their number and `sum` to the sum of
// those stored; or says what is wrong with the digits: a character that is
// no hex digit, an odd count. More bytes than `room` are counted, not stored.
std::optional<Error> decode(std::string_view digits, uint8_t* out, size_t room, size_t& bytes,
                              unsigned& sum, const inputSource& in, uint64_t line);

// A failure "name:line: text".
__attribute__((format(printf, 3, 4))) Error lineFailure(const inputSource& in, uint64_t line,
                                                          const char* fmt, ...);

// Where the bytes of a record meet bytes given before.
struct clash {
  uint64_t first = 0, end = 0;       // the addresses given twice, [first, end)
  uint64_t fromLine = 0, toLine = 0; // the lines of the earlier run that holds them
};

// The bytes of one input's records, gathered into segments of `img`: each
// run of consecutive addresses becomes segments of at most `cap` bytes,
// allocated to their size when they close. While records go up, each is
// checked against the highest address given so far; once one goes back,
// the ranges given so far go into a map, searched for the records that
// start a new run.
class gatherer {
 public:
  static constexpr size_t cap = size_t{1} << 20;

  gatherer(const inputSource& in, image& img);
  // Adds the `n` bytes at `p` for addresses [addr, addr + n), from `line`;
  // a clash when some of those addresses were given before.
  std::optional<clash> put(uint64_t addr, const uint8_t* p, size_t n, uint64_t line);
  // Closes the open segment and sets the entry (when no earlier input set one).
  void finish(bool hasStart, uint64_t start);
  // Takes back every segment added, leaving `img` as it was.
  void undo();

 private:
  struct run {
    uint64_t end;
    uint64_t fromLine, toLine;
  };
  struct lines {
    uint64_t from, to;
  };
  void append(uint64_t addr, const uint8_t* p, size_t n, uint64_t line);
  void close();
  void mapRanges();

  const inputSource& in_;
  image& img_;
  size_t segments0_, owned0_;
  uint64_t top_ = 0;              // the end of the highest range, while records go up
  bool wentBack_ = false;         // a record went back: runs_ holds every range
  std::map<uint64_t, run> runs_;  // by first address
  std::map<uint64_t, run>::iterator cur_;
  uint64_t limit_ = 0;            // where the run after cur_ starts
  std::vector<lines> lines_;      // of each closed segment of this input
  std::vector<uint8_t> open_;     // the bytes of the open segment
  uint64_t openAt_ = 0;
  lines openLines_{};
};

// The failure for a clash, the earlier record found by `earlier`: given an
// address, it returns the range [first, end) and line of the first record
// before `line` that holds it, or nothing when the input cannot be read
// again (then the earlier run's lines are named).
struct earlierRecord {
  uint64_t first = 0, end = 0, line = 0;
};
template <class Find>
Error clashFailure(const inputSource& in, uint64_t line, const clash& c, Find find) {
  uint64_t first = c.first, end = c.end;
  if (std::optional<earlierRecord> e = find(c.first); e && e->line != 0) {
    first = std::max(first, e->first);
    end = std::min(end, e->end);
    return lineFailure(in, line, "bytes at 0x%08llx..0x%08llx were given before, on line %llu",
                       static_cast<unsigned long long>(first),
                       static_cast<unsigned long long>(end - 1),
                       static_cast<unsigned long long>(e->line));
  }
  if (c.fromLine == c.toLine) {
    return lineFailure(in, line, "bytes at 0x%08llx..0x%08llx were given before, on line %llu",
                       static_cast<unsigned long long>(first),
                       static_cast<unsigned long long>(end - 1),
                       static_cast<unsigned long long>(c.fromLine));
  }
  return lineFailure(in, line, "bytes at 0x%08llx..0x%08llx were given before, on lines %llu to %llu",
                     static_cast<unsigned long long>(first), static_cast<unsigned long long>(end - 1),
                     static_cast<unsigned long long>(c.fromLine),
                     static_cast<unsigned long long>(c.toLine));
}

// What a parser hands its data pieces to when it gathers them: stops at
// the first clash, remembering it and its line.
struct gatherSink {
  gatherer& g;
  std::optional<clash> hit{};
  uint64_t hitLine = 0;
  bool data(uint64_t addr, const uint8_t* p, size_t n, uint64_t line) {
    hit = g.put(addr, p, n, line);
    hitLine = line;
    return !hit;
  }
};

// What a parser hands its data pieces to when it looks again for the first
// record before line `before` that holds `addr`.
struct findSink {
  uint64_t addr = 0, before = 0;
  std::optional<earlierRecord> found{};
  bool data(uint64_t a, const uint8_t*, size_t n, uint64_t line) {
    if (line >= before) return false;
    if (addr - a < n && addr >= a) {
      found = earlierRecord{a, a + n, line};
      return false;
    }
    return true;
  }
};

// The failure for the clash `sink` stopped at. A regular file is read
// again from its start, through `parse(reader, findSink&)`, to name the
// earlier record exactly.
template <class Parse>
Error clashFailure(const inputSource& in, const gatherSink& sink, Parse parse) {
  auto find = [&](uint64_t addr) -> std::optional<earlierRecord> {
    if (!in.regular || lseek(in.fd, 0, SEEK_SET) != 0) return std::nullopt;
    lineReader again(in.fd);
    findSink f{addr, sink.hitLine};
    parse(again, f);
    return f.found;
  };
  return clashFailure(in, sink.hitLine, *sink.hit, find);
}

// Reads a whole file of records into `img` with `parse(in, reader, sink,
// hasStart, start)`, the one grammar's parser, called with a gatherSink and,
// to name the first of two records that give one address, a findSink. On a
// failure the image is left as it was.
template <class Parse>
status readRecords(inputSource& in, image& img, Parse parse) {
  gatherer g(in, img);
  gatherSink sink{g};
  lineReader r(in.fd, in.head);
  bool hasStart = false;
  uint64_t start = 0;
  status s = parse(in, r, sink, hasStart, start);
  if (s && sink.hit) {
    s = clashFailure(in, sink, [&](lineReader& again, findSink& f) {
      bool h = false;
      uint64_t v = 0;
      (void)parse(in, again, f, h, v);
    });
  }
  if (!s) {
    g.undo();
    return s;
  }
  g.finish(hasStart, start);
  return done;
}

}  // namespace records

}  // namespace romwright
