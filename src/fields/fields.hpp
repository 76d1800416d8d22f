// Integrity fields: values stored into a placed memory at an address or a
// symbol, in the order given, so that a later field covers an earlier one's
// value. A field is either computed over ranges of the memory (CRCs, sums,
// lengths, digests, signatures) or a constant given on the command line
// (numbers, bytes, text, a file's bytes).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/image.hpp"
#include "fields/checksum.hpp"
#include "fields/digest.hpp"
#include "fields/engine.hpp"
#include "place/place.hpp"

namespace romwright {

// An address of --insert: a number, or a symbol and an offset.
struct insertAddress {
  uint64_t value = 0;
  std::string symbol;  // empty: `value` is the address
};

// One range of over=: FROM..TO, TO included, or FROM..end.
struct insertRange {
  insertAddress from, to;
  bool toEnd = false;  // TO is the last placed byte of the memory
};

// What a field holds.
struct fieldKind {
  enum class type {
    checksum,   // a CRC, sum or length over the field's ranges
    digest,     // sha1, sha2, md5 over the field's ranges
    signature,  // sign:ALG over the field's ranges, or over a digest field (of=)
    number,     // u8, u16, u32, u64: `number`, `numberBytes` bytes in the field's byte order
    bytes,      // bytes:HEX, string:TEXT: `bytes` as given
    file,       // file:PATH: the bytes of the file, read when the field is stored
  };
  type what = type::checksum;
  checksumKind sum;             // checksum
  digestKind digest;            // digest
  signatureKind signature;      // signature
  uint64_t number = 0;          // number
  unsigned numberBytes = 0;     // number: 1, 2, 4 or 8
  std::vector<uint8_t> bytes;   // bytes
  std::string path;             // file

  // The bytes the field takes in the memory; for a file, 0 until it is read.
  uint64_t width() const;
  // True for a value computed over the memory's bytes; false for a constant.
  bool computed() const { return what == type::checksum || what == type::digest || what == type::signature; }
};

// What a computed field makes of its own bytes inside what it covers.
enum class selfBytes {
  skip,  // left out: neither fed nor counted
  zero,  // fed as zeros and counted, wherever they lie in a range
};

// A value --insert stores.
struct insertField {
  std::string text;  // the option's value, for messages
  fieldKind kind;
  insertAddress where;
  std::vector<insertRange> over;  // in the order given; empty: the memory's placed bytes
  int order = 0;                  // ELFDATA2LSB, ELFDATA2MSB, or 0: the memory's
  selfBytes self = selfBytes::skip;
  unsigned unitBytes = 1;         // a CRC is fed words of this many bytes, read in the field's order
  bool signsField = false;        // a signature of the digest field at `of` rather than of ranges
  insertAddress of;

  // An address is given by a symbol's name.
  bool usesSymbols() const;
};

// Reads KIND@WHERE[,ITEM...]: KIND a checksum kind (checksum.hpp), a
// digest or signature kind (digest.hpp), u8|u16|u32|u64:VALUE, bytes:HEX,
// string:TEXT or file:PATH; WHERE an address or sym:NAME[+N]; the items
// over=RANGE[+RANGE...], order=little|big, self=skip|zero, unit=8|16|32,
// nul[=yes|no], and a signature's key=FILE, der=yes|no and of=WHERE, each
// at most once and each only where its kind takes it.
Result<insertField> parseInsert(const char* text);

// The constant kinds parseInsert reads, comma separated, for messages (they
// follow checksumKindNames(), digestKindNames() and signatureKindNames() in
// the list of every kind).
std::string_view constantKindNames();

// The engine that computes a computed field's value over ranges, stored in
// the given byte order; a signature's fails when its key cannot be used.
Result<std::unique_ptr<fieldEngine>> engineFor(const insertField& f, bool little);

// A constant field's bytes as stored in the given byte order.
std::vector<uint8_t> constantBytes(const fieldKind& k, bool little);

// A placed memory as the fields see it.
struct fieldMemory {
  placement* p;        // its runs: a field's value is painted into them
  uint64_t depth;      // words
  uint32_t wordBytes;
  bool runAddresses;   // it holds bytes at their run addresses
  bool little;         // its byte order
  uint8_t fill;        // what its unplaced bytes will hold
};

// A field as it was stored: its address in its memory and its bytes.
struct storedField {
  const insertField* field;
  bool runAddresses;  // its memory holds bytes at their run addresses
  uint64_t address;
  std::span<const uint8_t> bytes;  // in `values`
};

// Computes each field over the memory holding it and paints the value into
// that memory, in order. The values' bytes are kept in `values`, which the
// memories' runs point into; each field stored is added to `stored`.
status storeInserts(const std::vector<insertField>& fields, std::span<fieldMemory> placed, const image& img,
                    std::deque<std::vector<uint8_t>>& values, std::vector<storedField>& stored);

}  // namespace romwright
