// The checked options of one memory image: its region, shape, format and
// files, with every default in the struct. The option checks fill it from
// what the caller gave; placement, the formats and the output stage read it.
#pragma once

#include <cstdint>

namespace romwright {

struct memFormat;

struct memOptions {
  const memFormat* format = nullptr;  // null when no memory image is asked for, or the
                                      // memory is only patched
  const char* output = nullptr;       // null: standard output
  bool runAddresses = false;
  bool hasRegion = false;
  uint64_t base = 0;
  uint64_t size = 0;          // rounded up to whole words
  uint32_t width = 32;        // bits
  int byteOrder = 0;          // ELFDATA2LSB, ELFDATA2MSB, or 0 for the file's own
  uint64_t depth = 0;         // 0: as many words as the memory has
  uint8_t fill = 0;
  uint32_t lanes = 1;
  const char* name = "rom_image";
  const char* header = nullptr;
  bool crop = false;
  bool overlapLater = false;
  bool quiet = false;         // no lines about segments left out
  const char* label = nullptr;  // the memory's NAME with --memory, else null
  uint32_t banks = 1;         // files the depth is split into (1: one)
  uint32_t radix = 16;        // 2 or 16
  uint32_t uf2Family = 0;     // when hasUf2Family
  bool hasUf2Family = false;
  bool sparse = false;        // only the words that hold placed bytes are written
  bool rebased = false;       // --rebase: addresses written from `rebase`
  uint64_t rebase = 0;        //   in the format's unit: bytes, or words
  uint32_t recordBytes = 16;  // data bytes an Intel HEX or S-record record holds
  bool srecS3 = false;        // S3 and S7 records whatever the addresses
  bool crlf = false;          // text lines end in CR LF, not LF
  const char* srecHeader = nullptr;  // the S0 text; null: objcopy's (the file's name)
  uint16_t dfuVid = 0xffff;   // the DFU suffix's idVendor, idProduct and
  uint16_t dfuPid = 0xffff;   //   bcdDevice (0xffff: any)
  uint16_t dfuBcd = 0xffff;
  bool empty = false;         // a memory in which no byte lands is written
                              // (all fill) rather than refused
  // Placeholders and --patch: the seed of the placeholder a placeholder
  // format writes and a patch looks for; a patched memory (one without a
  // format of its own in a --patch run), its placeholder's $readmemh file
  // when given (%d and %b numbered as outputs are), and how many times the
  // design holds it.
  uint64_t seed = 0;
  bool patched = false;
  const char* placeholder = nullptr;
  uint32_t copies = 1;
};

}  // namespace romwright
