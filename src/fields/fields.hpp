// Integrity fields: values computed over a placed memory (CRCs, sums,
// lengths) and stored into it at an address or a symbol, in the order given,
// so that a later field covers an earlier one's value.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/image.hpp"
#include "fields/checksum.hpp"
#include "place/place.hpp"

namespace romwright {

// An address of --insert: a number, or a symbol and an offset.
struct insertAddress {
  uint64_t value = 0;
  std::string symbol;  // empty: `value` is the address
};

// A value --insert stores.
struct insertField {
  std::string text;  // the option's value, for messages
  checksumKind kind;
  insertAddress where;
  bool over = false;  // FROM..TO given
  insertAddress from, to;
  int order = 0;      // ELFDATA2LSB, ELFDATA2MSB, or 0: the memory's
  // An address is given by a symbol's name.
  bool usesSymbols() const { return !where.symbol.empty() || !from.symbol.empty() || !to.symbol.empty(); }
};

// Reads KIND@WHERE[,over=FROM..TO][,order=little|big].
Result<insertField> parseInsert(const char* text);

// A placed memory as the fields see it.
struct fieldMemory {
  placement* p;        // its runs: a field's value is painted into them
  uint64_t depth;      // words
  uint32_t wordBytes;
  bool runAddresses;   // it holds bytes at their run addresses
  bool little;         // its byte order
  uint8_t fill;        // what its unplaced bytes will hold
};

// Computes each field over the memory holding it and paints the value into
// that memory, in order. The values' bytes are kept in `values`, which the
// memories' runs point into.
status storeInserts(const std::vector<insertField>& fields, std::span<fieldMemory> placed, const image& img,
                    std::deque<std::vector<uint8_t>>& values);

}  // namespace romwright
