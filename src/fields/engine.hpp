// The one face of every value computed over a memory's bytes: the bytes
// are fed in the order a field covers them, a block or a run of one
// repeated byte at a time, and the value comes out as the bytes the field
// stores. A checksum is one such engine; any other value that streams the
// same way (a digest, a signature) is another, and the walk over a
// memory's runs feeds them all alike.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "fields/checksum.hpp"
#include "fields/digest.hpp"

namespace romwright {

class fieldEngine {
 public:
  virtual ~fieldEngine() = default;
  virtual void feed(std::span<const uint8_t> bytes) = 0;
  // The same as feeding `count` copies of `byte`.
  virtual void feedRepeated(uint8_t byte, uint64_t count) = 0;
  // The value as the field stores it, after everything fed. A failure is a
  // short reason without a newline, for the caller's own line.
  virtual Result<std::vector<uint8_t>> finish() = 0;
};

// A checksum of kind `k` as an engine: its value stored in `little` or big
// byte order, the low width() bytes of checksum::value(). With `unitBytes`
// of 2 or 4 a CRC takes words of that many bytes, each read in the same
// byte order and fed as one unit of 16 or 32 bits, most significant bit
// first (least significant first for a reflected CRC), as a processor's CRC
// unit takes the words it is given (any other `unitBytes` is bytes). A
// word the bytes fed do not finish is a failure of finish(); the caller
// feeds whole words.
std::unique_ptr<fieldEngine> checksumEngine(const checksumKind& k, bool little, unsigned unitBytes = 1);

// A digest of kind `k` as an engine: its bytes in the algorithm's order.
std::unique_ptr<fieldEngine> digestEngine(const digestKind& k);

// A signature of kind `k` over the bytes fed, with its key read now; a
// failure says why the key cannot be used.
Result<std::unique_ptr<fieldEngine>> signatureEngine(const signatureKind& k);

}  // namespace romwright
