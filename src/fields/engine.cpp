// Checksums as field engines, with CRCs fed in words.
#include "fields/engine.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace romwright {

namespace {

class checksumField final : public fieldEngine {
 public:
  checksumField(const checksumKind& k, bool little, unsigned unitBytes)
      : kind_(k),
        sum_(k, little),
        little_(little),
        unit_(unitBytes == 2 || unitBytes == 4 ? unitBytes : 1),
        // A word read in one byte order and fed most significant byte
        // first is its bytes in big-endian order; fed least significant
        // first (a reflected CRC), in little-endian order. Where that is
        // the order of memory, words are the bytes as they lie.
        reorder_(k.what == checksumKind::type::crc && unit_ > 1 && little != k.refin) {}

  void feed(std::span<const uint8_t> bytes) override {
    count(bytes.size());
    if (!reorder_) {
      sum_.feed(bytes);
      return;
    }
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    for (; n > 0 && partialLen_ > 0; --n) take(*p++);
    // Whole words, each reversed, through a block.
    uint8_t block[4096];
    while (n >= unit_) {
      const size_t words = std::min(n / unit_, sizeof block / unit_);
      if (unit_ == 4) {
        for (size_t w = 0; w < words; w++) {
          uint32_t v;
          memcpy(&v, p + 4 * w, 4);
          v = __builtin_bswap32(v);
          memcpy(block + 4 * w, &v, 4);
        }
      } else {
        for (size_t w = 0; w < words; w++) {
          uint16_t v;
          memcpy(&v, p + 2 * w, 2);
          v = __builtin_bswap16(v);
          memcpy(block + 2 * w, &v, 2);
        }
      }
      sum_.feed({block, words * unit_});
      p += words * unit_;
      n -= words * unit_;
    }
    for (; n > 0; --n) take(*p++);
  }

  void feedRepeated(uint8_t byte, uint64_t n) override {
    count(n);
    if (!reorder_) {
      sum_.feedRepeated(byte, n);
      return;
    }
    for (; n > 0 && partialLen_ > 0; --n) take(byte);
    // A word of one repeated byte reads the same either way round.
    sum_.feedRepeated(byte, n / unit_ * unit_);
    for (n %= unit_; n > 0; --n) take(byte);
  }

  Result<std::vector<uint8_t>> finish() override {
    if (fed_ % unit_ != 0) {
      return failuref("unit=%u ends in a word of %u bytes", unit_ * 8, static_cast<unsigned>(fed_ % unit_));
    }
    if (sum_.overflowed()) {
      return failuref("%llu bytes are more than it can count", static_cast<unsigned long long>(fed_));
    }
    const uint64_t v = sum_.value();
    const unsigned width = kind_.width();
    std::vector<uint8_t> bytes(width);
    for (unsigned i = 0; i < width; i++) bytes[little_ ? i : width - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
    return bytes;
  }

 private:
  checksumKind kind_;
  checksum sum_;
  bool little_;
  unsigned unit_;
  bool reorder_;
  uint8_t partial_[8] = {};
  unsigned partialLen_ = 0;
  uint64_t fed_ = 0;  // bytes fed, for messages; stops at the largest count

  void count(uint64_t n) { fed_ = fed_ + n < fed_ ? ~uint64_t{0} : fed_ + n; }

  // One byte of a word that is fed reversed once it is whole.
  void take(uint8_t byte) {
    partial_[partialLen_++] = byte;
    if (partialLen_ < unit_) return;
    std::reverse(partial_, partial_ + unit_);
    sum_.feed({partial_, unit_});
    partialLen_ = 0;
  }
};

// Digests and signers take the bytes the way checksums do.
template <class Value>
class streamingField final : public fieldEngine {
 public:
  explicit streamingField(Value v) : v_(std::move(v)) {}
  void feed(std::span<const uint8_t> bytes) override { v_.feed(bytes); }
  void feedRepeated(uint8_t byte, uint64_t count) override { v_.feedRepeated(byte, count); }
  Result<std::vector<uint8_t>> finish() override { return v_.finish(); }

 private:
  Value v_;
};

}  // namespace

std::unique_ptr<fieldEngine> digestEngine(const digestKind& k) {
  return std::make_unique<streamingField<digest>>(digest(k));
}

Result<std::unique_ptr<fieldEngine>> signatureEngine(const signatureKind& k) {
  Result<signer> s = signer::open(k);
  if (!s) return s.error();
  return std::unique_ptr<fieldEngine>(std::make_unique<streamingField<signer>>(std::move(*s)));
}

std::unique_ptr<fieldEngine> checksumEngine(const checksumKind& k, bool little, unsigned unitBytes) {
  return std::make_unique<checksumField>(k, little, unitBytes);
}

}  // namespace romwright
