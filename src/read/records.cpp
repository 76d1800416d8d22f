// Lines, hex digits and segments for the readers of text records.
#include "read/records.hpp"

#include <elf.h>
#include <emmintrin.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace romwright {

namespace records {

const uint8_t* firstNonBlank(std::span<const uint8_t> head) {
  for (const uint8_t& c : head) {
    if (!blank(c)) return &c;
  }
  return nullptr;
}

lineReader::lineReader(int fd, std::span<const uint8_t> first) : fd_(fd), buf_(new char[size]) {
  const size_t n = std::min(first.size(), longest);
  if (n > 0) memcpy(buf_.get(), first.data(), n);
  end_ = n;
}

bool lineReader::next(std::string_view& line) {
  if (error_ != 0) return false;
  for (;;) {
    const char* from = buf_.get() + pos_;
    const char* nl = static_cast<const char*>(memchr(from, '\n', end_ - pos_));
    size_t len;
    if (nl != nullptr && static_cast<size_t>(nl - from) > longest) {
      number_++;
      error_ = -1;
      return false;
    } else if (nl != nullptr) {
      len = static_cast<size_t>(nl - from);
      pos_ += len + 1;
    } else if (end_ - pos_ > longest) {
      number_++;
      error_ = -1;
      return false;
    } else if (!eof_) {
      // Keep the start of the line and read the next block behind it.
      memmove(buf_.get(), from, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
      const ssize_t got = read(fd_, buf_.get() + end_, size - end_);
      if (got < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        return false;
      }
      if (got == 0) eof_ = true;
      end_ += static_cast<size_t>(got);
      continue;
    } else if (pos_ < end_) {
      // The last line, without an LF.
      len = end_ - pos_;
      pos_ = end_;
    } else {
      return false;
    }
    number_++;
    while (len > 0 && (from[len - 1] == ' ' || from[len - 1] == '\t' || from[len - 1] == '\r')) len--;
    line = std::string_view(from, len);
    return true;
  }
}

Error lineFailure(const inputSource& in, uint64_t line, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const std::string what = vstrf(fmt, ap);
  va_end(ap);
  return Error{strf("%s:%llu: %s\n", in.name.c_str(), static_cast<unsigned long long>(line), what.c_str()),
               ErrorKind::malformed, in.name};
}

Error readFailure(const inputSource& in, const lineReader& r) {
  if (r.error() < 0) {
    return lineFailure(in, r.number(), "a line longer than %zu characters", lineReader::longest);
  }
  return failuref("%s: cannot read it: %s\n", in.name.c_str(), reasonOf(r.error()).c_str());
}

namespace {

// Nonzero for a byte that is no hex digit; arithmetic rather than a table,
// so that the loop over a line's digits can be vectorised.
inline unsigned notHex(uint8_t c) {
  const bool digit = static_cast<uint8_t>(c - '0') < 10;
  const bool letter = static_cast<uint8_t>((c | 0x20) - 'a') < 6;
  return !(digit || letter);
}

// The value of a hex digit (any value for another byte).
inline unsigned nibble(uint8_t c) { return (c & 0xfu) + 9u * (c >> 6); }

}  // namespace

namespace {

// Decodes the 16 hex digits at `s` into 8 bytes at `out`; false when one
// of them is no hex digit. The bytes are also left in the low halves of
// the 16-bit lanes of `lanes`, for their sum. SSE2, which every x86-64 has:
// digits become nibbles and pairs of nibbles bytes a register at a time.
inline bool decode16(const uint8_t* s, uint8_t* out, __m128i& lanes) {
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  // Unsigned x < n as min(x, n - 1) == x.
  const __m128i d = _mm_sub_epi8(c, _mm_set1_epi8('0'));
  const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  const __m128i l = _mm_sub_epi8(_mm_or_si128(c, _mm_set1_epi8(0x20)), _mm_set1_epi8('a'));
  const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(l, _mm_set1_epi8(5)), l);
  const bool ok = _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) == 0xFFFF;
  const __m128i nibbles =
      _mm_or_si128(_mm_and_si128(isDigit, d), _mm_andnot_si128(isDigit, _mm_add_epi8(l, _mm_set1_epi8(10))));
  // Each 16-bit lane holds a pair: its first digit in the low byte.
  const __m128i high = _mm_and_si128(_mm_slli_epi16(nibbles, 4), _mm_set1_epi16(0x00F0));
  lanes = _mm_or_si128(high, _mm_srli_epi16(nibbles, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(lanes, lanes));
  return ok;
}

// Lane k of the eight loaded from &keepLast[r] is all ones when k >= 8 - r:
// the last r of eight 16-bit lanes.
alignas(16) constexpr uint16_t keepLast[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                               0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};

}  // namespace

std::optional<Error> decode(std::string_view digits, uint8_t* out, size_t room, size_t& bytes,
                              unsigned& sum, const inputSource& in, uint64_t line) {
  const size_t pairs = digits.size() / 2, stored = std::min(pairs, room);
  const auto* s = reinterpret_cast<const uint8_t*>(digits.data());
  unsigned bad = 0, total = 0;
  size_t i = 0;
  // Eight bytes at a time while they are to be stored; the last ones
  // decoded from the last 16 digits again (the bytes written twice are the
  // same), only the new ones summed.
  __m128i sums = _mm_setzero_si128(), lanes;
  for (; i + 8 <= stored; i += 8) {
    bad |= decode16(s + 2 * i, out + i, lanes) ? 0 : 1;
    sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, _mm_setzero_si128()));
  }
  if (i < stored && stored >= 8) {
    bad |= decode16(s + 2 * (stored - 8), out + stored - 8, lanes) ? 0 : 1;
    const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(keepLast + (stored - i)));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_and_si128(lanes, keep), _mm_setzero_si128()));
  } else if (i < stored) {
    // A short record: its pairs padded with zero digits, which add nothing.
    uint8_t tail[16], value[8];
    memset(tail, '0', sizeof tail);
    memcpy(tail, s + 2 * i, 2 * (stored - i));
    bad |= decode16(tail, value, lanes) ? 0 : 1;
    sums = _mm_add_epi64(sums, _mm_sad_epu8(lanes, _mm_setzero_si128()));
    memcpy(out + i, value, stored - i);
  }
  total = static_cast<unsigned>(_mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  for (size_t k = 2 * stored; k < digits.size(); k++) bad |= notHex(s[k]);
  if (bad != 0) {
    for (const uint8_t c : digits) {
      if (hexValue[c] >= 0) continue;
      if (c >= 0x20 && c < 0x7f) return lineFailure(in, line, "'%c' is not a hex digit", c);
      return lineFailure(in, line, "byte 0x%02x is not a hex digit", c);
    }
  }
  if (digits.size() % 2 != 0) return lineFailure(in, line, "an odd number of hex digits");
  bytes = pairs;
  sum = total;
  return std::nullopt;
}

gatherer::gatherer(const inputSource& in, image& img)
    : in_(in), img_(img), segments0_(img.segments.size()), owned0_(img.owned.size()),
      cur_(runs_.end()) {}

std::optional<clash> gatherer::put(uint64_t addr, const uint8_t* p, size_t n, uint64_t line) {
  if (n == 0) return std::nullopt;
  if (!wentBack_) {
    if (addr >= top_) {
      top_ = addr + n;
      append(addr, p, n, line);
      return std::nullopt;
    }
    mapRanges();
  }
  // Records that go on from the run before them, up to the next run.
  if (cur_ != runs_.end() && addr == cur_->second.end && n <= limit_ - addr) {
    cur_->second.end += n;
    cur_->second.toLine = line;
    append(addr, p, n, line);
    return std::nullopt;
  }
  auto next = runs_.upper_bound(addr);
  if (next != runs_.begin()) {
    const auto before = std::prev(next);
    if (before->second.end > addr) {
      return clash{addr, std::min(addr + n, before->second.end), before->second.fromLine,
                   before->second.toLine};
    }
  }
  if (next != runs_.end() && next->first - addr < n) {
    return clash{next->first, std::min(addr + n, next->second.end), next->second.fromLine,
                 next->second.toLine};
  }
  if (next != runs_.begin() && std::prev(next)->second.end == addr) {
    cur_ = std::prev(next);
    cur_->second.end += n;
    cur_->second.toLine = line;
  } else {
    cur_ = runs_.emplace_hint(next, addr, run{addr + n, line, line});
  }
  limit_ = next == runs_.end() ? UINT64_MAX : next->first;
  append(addr, p, n, line);
  return std::nullopt;
}

void gatherer::mapRanges() {
  for (size_t i = segments0_; i < img_.segments.size(); i++) {
    const segment& s = img_.segments[i];
    const lines& l = lines_[i - segments0_];
    runs_.emplace(s.load, run{s.load + s.fileSize, l.from, l.to});
  }
  if (!open_.empty()) {
    runs_.emplace(openAt_, run{openAt_ + open_.size(), openLines_.from, openLines_.to});
  }
  cur_ = runs_.end();
  wentBack_ = true;
}

void gatherer::append(uint64_t addr, const uint8_t* p, size_t n, uint64_t line) {
  while (n > 0) {
    if (open_.empty() || addr != openAt_ + open_.size() || open_.size() == cap) {
      close();
      if (open_.capacity() == 0) open_.reserve(cap);
      openAt_ = addr;
      openLines_.from = line;
    }
    const size_t take = std::min(n, cap - open_.size());
    open_.insert(open_.end(), p, p + take);
    openLines_.to = line;
    addr += take;
    p += take;
    n -= take;
  }
}

void gatherer::close() {
  if (open_.empty()) return;
  // A full segment keeps its buffer; a shorter one is copied to its size.
  const std::vector<uint8_t>& bytes = open_.size() == open_.capacity()
                                          ? img_.owned.emplace_back(std::move(open_))
                                          : img_.owned.emplace_back(open_.begin(), open_.end());
  segment s;
  s.load = s.run = openAt_;
  s.fileSize = s.memSize = bytes.size();
  s.flags = PF_R | PF_W | PF_X;
  s.type = PT_LOAD;
  s.bytes = bytes;
  s.readable = true;
  s.input = in_.index;
  s.index = -1;
  img_.segments.push_back(std::move(s));
  lines_.push_back(openLines_);
  if (open_.capacity() != cap) open_ = {};
  open_.clear();
}

void gatherer::finish(bool hasStart, uint64_t start) {
  close();
  open_ = {};
  if (in_.index == 0) {
    img_.little = true;
    img_.elfClass = 0;
  }
  // The run's start address is the first input's that has one.
  if (hasStart && !img_.hasEntry) {
    img_.entry = start;
    img_.hasEntry = true;
  }
}

void gatherer::undo() {
  img_.segments.resize(segments0_);
  while (img_.owned.size() > owned0_) img_.owned.pop_back();
  open_ = {};
}

}  // namespace records

}  // namespace romwright
