// The one number grammar of the options, and the reader of -M and -L.
#pragma once

#include <cstdint>

namespace romwright {

// How a number reads.
enum class numberRead { ok, malformed, tooLarge };

// The largest value an option takes: 2^40, suffix included.
inline constexpr uint64_t numberLimit = uint64_t{1} << 40;

// Reads `s` whole as 0x-prefixed hex or as decimal (a leading 0 is still
// decimal), with a K, M or G suffix (powers of 1024) when `scaled`. A value
// above `limit`, before or after the suffix, is too large; the digits are
// counted no further once past it, and the suffix is checked against the
// limit before it is applied, so nothing overflows whatever the limit.
numberRead readNumber(const char* s, bool scaled, uint64_t& v, uint64_t limit = numberLimit);

// The same, true only for a number that reads whole and within the limit.
bool parseNumber(const char* s, bool scaled, uint64_t& v);

// Reads `s` as strtoul(s, nullptr, 16) does on a 32-bit unsigned long:
// leading blanks skipped, a sign taken (a minus negates modulo 2^32), an
// optional 0x, reading up to the first character that is no hex digit, a
// value too large giving 0xFFFFFFFF and no digits giving 0.
uint32_t parseHex32(const char* s);

}  // namespace romwright
