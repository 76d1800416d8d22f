// The number grammars.
#include "core/numbers.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace romwright {

numberRead readNumber(const char* s, bool scaled, uint64_t& v, uint64_t limit) {
  const bool hexDigits = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  if (hexDigits) s += 2;
  const char* first = s;
  v = 0;
  bool over = false;
  const uint64_t base = hexDigits ? 16 : 10;
  for (;; s++) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (!(hexDigits ? isxdigit(c) : isdigit(c))) break;
    if (over) continue;
    const uint64_t d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    over = v > (limit - d) / base;  // v * base + d would pass the limit
    if (!over) v = v * base + d;
  }
  if (s == first) return numberRead::malformed;
  unsigned shift = 0;
  if (scaled && *s != '\0') {
    const char* units = "kmg";
    const char* unit = strchr(units, *s++ | 0x20);
    if (unit == nullptr) return numberRead::malformed;
    shift = 10 * static_cast<unsigned>(unit - units + 1);
  }
  if (*s != '\0') return numberRead::malformed;
  if (over || v > limit >> shift) return numberRead::tooLarge;
  v <<= shift;
  return numberRead::ok;
}

bool parseNumber(const char* s, bool scaled, uint64_t& v) { return readNumber(s, scaled, v) == numberRead::ok; }

uint32_t parseHex32(const char* s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  const bool negative = *s == '-';
  if (*s == '-' || *s == '+') s++;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && isxdigit(static_cast<unsigned char>(s[2]))) {
    s += 2;
  }
  uint64_t v = 0;
  for (; isxdigit(static_cast<unsigned char>(*s)); s++) {
    const int d = *s <= '9' ? *s - '0' : (*s | 0x20) - 'a' + 10;
    v = std::min<uint64_t>(v * 16 + d, uint64_t{1} << 32);
  }
  if (v > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  return negative ? static_cast<uint32_t>(0 - v) : static_cast<uint32_t>(v);
}

}  // namespace romwright
