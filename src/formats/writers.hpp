// The writer of every format, one family a file: each writes a memory (or
// one lane of it) from the words a reader hands it, into a sink; false when
// a write failed. Private to the formats: the table in registry.cpp names
// them.
#pragma once

#include <cstdint>

#include "core/sink.hpp"
#include "formats/registry.hpp"
#include "shape/words.hpp"

namespace romwright::formats {

// binary.cpp: the bytes themselves, and UF2 blocks.
bool writeBin(sink& s, const memLayout& m, wordReader& r);
bool writeUf2(sink& s, const memLayout& m, wordReader& r);

// records.cpp: Intel HEX (at byte addresses, or by word index) and
// S-records; the highest address such a file writes.
bool writeIhex(sink& s, const memLayout& m, wordReader& r);
bool writeIhexWords(sink& s, const memLayout& m, wordReader& r);
bool writeSrec(sink& s, const memLayout& m, wordReader& r);
uint64_t recordsHighestAddress(const memLayout& m, const wordReader& r);

// titxt.cpp: TI-TXT, placed bytes after their @ address.
bool writeTiTxt(sink& s, const memLayout& m, wordReader& r);

// dfu.cpp: the bytes with a DFU suffix, and DfuSe files of addressed
// elements.
bool writeDfu(sink& s, const memLayout& m, wordReader& r);
bool writeDfuse(sink& s, const memLayout& m, wordReader& r);

// text.cpp: the highest address of a file of bytes at addresses that
// writes no start address (its last data byte's).
uint64_t dataHighestAddress(const memLayout& m, const wordReader& r);

// memfiles.cpp: the memory files of simulators and FPGA tools.
bool writeVmem(sink& s, const memLayout& m, wordReader& r);
bool writeUpdatemem(sink& s, const memLayout& m, wordReader& r);
bool writeCoe(sink& s, const memLayout& m, wordReader& r);
bool writeLatticeMem(sink& s, const memLayout& m, wordReader& r);
bool writeGowinMi(sink& s, const memLayout& m, wordReader& r);
bool writeMif(sink& s, const memLayout& m, wordReader& r);

// source.cpp: source code that declares the image.
bool writeVhdl(sink& s, const memLayout& m, wordReader& r);
bool writeC(sink& s, const memLayout& m, wordReader& r);
bool writeCHeader(sink& s, const memLayout& m, wordReader& r);

// seed.cpp: a memory's placeholder words, for patching new words into a
// finished FPGA design later.
bool writeIce40Seed(sink& s, const memLayout& m, wordReader& r);

}  // namespace romwright::formats
