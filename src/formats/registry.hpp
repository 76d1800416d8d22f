// The formats of the memory-image mode. Each is one function that writes a
// memory (or one byte lane of it) from the words a reader hands it (one
// file per family of formats), and one row of the table that names it and
// says, column by column, what it can hold and do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/sink.hpp"
#include "shape/words.hpp"

namespace romwright {

// The memory a format writes: `depth` words of `width` bits.
struct memLayout {
  uint32_t width;     // bits in a word: 1, 2, 4, or a multiple of 8 up to 1024
  uint64_t depth;     // words
  uint64_t address;   // byte address of word 0, for formats that write addresses
  uint32_t entry;     // the executable's entry address
  const char* name;   // the identifier for formats that declare one
  const char* header; // a second file the format writes, or null
  uint32_t radix;     // 2: words as binary digits; otherwise hex
  uint32_t family;    // the UF2 family ID, when hasFamily
  bool hasFamily;
  bool sparse;        // only the words (bytes, for ihex and srec of one
                      // lane) that hold placed bytes are written
  bool rebased;       // addresses are written from `rebase` at word 0, not
  uint64_t rebase;    // from `address` (or 0 for word indexes)
  uint32_t recordBytes;  // data bytes an ihex or srec record holds: 1 to 255
  bool srecS3;        // S3 records whatever the addresses
  bool hasStart;      // the start address (`entry`) is written
  // The text of the S-record header (S0); null: the first 40 characters of
  // `file`, as objcopy writes it, or "HDR" without a file.
  const char* srecHeader = nullptr;
  const char* file = nullptr;  // the file's name as given, or null
  // The DFU suffix's bcdDevice, idProduct and idVendor (0xffff: any).
  uint16_t dfuBcd = 0xffff, dfuPid = 0xffff, dfuVid = 0xffff;
  uint64_t seed = 0;  // --seed: which placeholder a placeholder format writes
};

// The options a format reads beyond those every format takes; checkMemArgs
// refuses the others for it.
enum formatUse : unsigned {
  useName = 1u << 0,    // --name: the identifier it declares
  useBinary = 1u << 1,  // --radix=2: it writes binary digits too
  useFamily = 1u << 2,  // --uf2-family
  useS3 = 1u << 3,      // --srec-s3
  useRecords = 1u << 4, // --record-bytes: data records or lines of bytes
  useLines = 1u << 5,   // --line-ending: a text format, made of lines
  useS0 = 1u << 6,      // --srec-header
  useDfu = 1u << 7,     // --dfu-vid, --dfu-pid, --dfu-bcd: a DFU suffix
  useStart = 1u << 8,   // writes the start address
};

// Whether a format writes its addresses from another origin (--rebase).
enum class rebasing { never, always, whenSparse };

using formatWriter = bool (*)(sink& s, const memLayout& m, wordReader& r);

struct memFormat {
  const char* name;      // the value of --format
  formatWriter write;    // false when a write failed
  formatWriter header;   // writes the file --header names, or null when the
                         // format has none
  bool memoryOrder;      // writes the memory's bytes at rising addresses, so
                         // the byte order does not apply
  uint32_t minWidth;     // the narrowest word (or lane) it holds, in bits:
                         // 8 for a format made of bytes
  uint32_t maxWidth;     // the widest
  uint64_t maxDepth;     // the most words it holds (0: no limit)
  bool addresses;        // writes 32-bit addresses (the start address too)
  unsigned uses;         // formatUse bits
  bool byteSpan;         // without --width, --depth, --region or --lanes the
                         // memory is the placed span to the byte, not whole
                         // 32-bit words
  bool sparse;           // can leave out the words that hold no placed byte
  rebasing rebase;       // --rebase moves the addresses it writes
  // The highest address the file writes, for a format of 32-bit addresses
  // (`addresses`): its last data byte's or its start address.
  uint64_t (*highest)(const memLayout& m, const wordReader& r) = nullptr;
  // Leaves out what holds no placed byte unless --dense asks for every
  // word, whatever the fill (a format with `addresses` does so only while
  // no --fill is given).
  bool sparseAlways = false;
  // Writes 32-bit byte addresses of its own and no start address (UF2's
  // target addresses): every byte it holds lies below 4 GiB.
  bool blockAddresses = false;
  // Writes the memory's placeholder words (its name, width, depth and
  // --seed say which), not its contents: it needs no input.
  bool placeholder = false;
};

// Every format, in the order the help lists them.
std::span<const memFormat> memFormats();

// The format named `name`, or null.
const memFormat* findFormat(const char* name);

// A UF2 family ID by the name --uf2-family takes for it.
struct uf2FamilyName {
  const char* name;
  uint32_t id;
};

// The families known by name, in the order the refusal lists them.
std::span<const uf2FamilyName> uf2Families();

// The family called `name` (in any case), or null.
const uf2FamilyName* findUf2Family(const char* name);

// Why `f` cannot write its addresses from another origin (--rebase), or
// null when it can; `sparse` says whether only placed words are written.
const char* rebaseProblem(const memFormat& f, bool sparse);

// The highest word address a format of word addresses (mif, ihex-words,
// sparse vmem) writes for the memory: from --rebase (or 0) at word 0, the
// last word written. The reader is left where it was.
uint64_t highestWordAddress(const memFormat& f, const memLayout& m, const wordReader& r);

}  // namespace romwright
