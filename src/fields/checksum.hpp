// Integrity values computed over memory: CRCs of any width from 8 to 64
// bits (the Rocksoft parameter model), sums of bytes, half-words or words,
// and lengths. The bytes are fed in address order, a block at a time, so
// that the memory never has to be held whole.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "core/error.hpp"

namespace romwright {

// A kind of integrity value: what is computed and how many bytes it takes.
struct checksumKind {
  enum class type { crc, sum, length };
  enum class complement { none, ones, twos };

  type what = type::crc;
  // crc: the register width, 8 to 64; sum: 8, 16 or 32, which is also the
  // unit summed (byte, half-word, word); length: 16 or 32.
  unsigned bits = 32;
  // crc only. `poly` is without its top bit; `init` is the register's value
  // before the first byte; `refin` feeds each byte least significant bit
  // first; `refout` reflects the register before `xorout` is applied.
  uint64_t poly = 0;
  uint64_t init = 0;
  uint64_t xorout = 0;
  bool refin = false;
  bool refout = false;
  // sum only: the plain sum, its ones' complement (~) or its two's
  // complement (-), each truncated to `bits`.
  complement comp = complement::none;

  // The bytes the stored value takes.
  unsigned width() const { return (bits + 7) / 8; }
};

// Reads a kind: a preset CRC name (crc32, crc32c, crc16-modbus, ...), a
// CRC given by its parameters as crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT
// (numbers decimal or 0x hex, REFIN and REFOUT true or false), sum8, sum16
// or sum32 with an optional ~ or - in front, or length16 or length32. A
// failure's text is a short reason without a newline, for the caller to
// put into its own line.
Result<checksumKind> parseChecksumKind(std::string_view text);

// The names parseChecksumKind accepts, comma separated, for messages.
std::string_view checksumKindNames();

namespace detail {
struct crcEngine;
}

// Computes one value over the bytes fed to it, in order.
class checksum {
 public:
  // `k` is a kind parseChecksumKind made (its widths in range).
  // `littleEndianMemory` says how sum16 and sum32 make their units from the
  // bytes; CRCs and lengths do not depend on it. Units are counted from the
  // first byte fed, whatever its address.
  checksum(const checksumKind& k, bool littleEndianMemory);

  void feed(std::span<const uint8_t> bytes);
  // The same as feeding `count` copies of `byte`, for gaps of fill: sums and
  // lengths take constant time, CRCs time logarithmic in `count`.
  void feedRepeated(uint8_t byte, uint64_t count);

  // The value over all bytes fed so far, in the low width() bytes.
  uint64_t value() const;
  // True when the value does not fit width() bytes and value() holds only
  // its low part: a length of more bytes than length16 or length32 can
  // count. CRCs and sums are defined modulo their width and never overflow.
  bool overflowed() const;

 private:
  checksumKind kind_;
  bool little_;
  uint64_t state_ = 0;      // crc: the engine's register; sum: the sum; length: the count
  uint64_t partial_ = 0;    // sum16/sum32: bytes of an unfinished unit, in the order fed
  unsigned partialLen_ = 0;
  std::shared_ptr<const detail::crcEngine> crc_;

  void feedSum(std::span<const uint8_t> bytes);
  uint64_t unitOf(uint64_t bytesInOrder, unsigned n) const;
};

}  // namespace romwright
