// The memory files of simulators and FPGA tools: $readmemh, updatemem,
// coefficient files, Lattice and Gowin memory files, Intel MIF.
#include "formats/writers.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "formats/text.hpp"

namespace romwright::formats {

// Verilog $readmemh (or $readmemb with --radix=2): one word per line,
// nothing else. Sparse, each stretch of words that hold placed bytes
// follows an `@` line with the index of its first word (the array index,
// in hex, no blank after the @).
bool writeVmem(sink& s, const memLayout& m, wordReader& r) {
  if (!m.sparse) return wordLines(s, m, r, "", "\n", "\n");
  const uint64_t origin = m.rebased ? m.rebase : 0;
  for (const stretch& st : placedStretches(r, r.wordBytes, m.depth, true)) {
    memLayout part = m;
    part.depth = st.end - st.first;
    r.next = st.first;
    r.depth = st.end;
    if (!putf(s, "@%llx\n", ull(origin + st.first)) || !wordLines(s, part, r, "", "\n", "\n")) return false;
  }
  return flush(s);
}

// The memory file of updatemem, the tool that puts memory contents into a
// finished bitstream: `@` and the byte address of word 0 (8 hex digits, as
// the tool counts addresses in bytes), then the words, one a line, each
// value most significant digit first as in vmem. The memory is one
// contiguous block, so one `@` line; sparse, each stretch of words that
// hold placed bytes follows an `@` line of its own first byte's address.
bool writeUpdatemem(sink& s, const memLayout& m, wordReader& r) {
  if (!m.sparse) return putf(s, "@%08llx\n", ull(m.address)) && wordLines(s, m, r, "", "\n", "\n");
  const uint64_t size = wordSize(m.width);
  for (const stretch& st : placedStretches(r, r.wordBytes, m.depth, true)) {
    memLayout part = m;
    part.depth = st.end - st.first;
    r.next = st.first;
    r.depth = st.end;
    if (!putf(s, "@%08llx\n", ull(m.address + st.first * size)) || !wordLines(s, part, r, "", "\n", "\n")) {
      return false;
    }
  }
  return flush(s);
}

// Xilinx coefficient file: the radix, then the words separated by commas
// and ended by a semicolon.
bool writeCoe(sink& s, const memLayout& m, wordReader& r) {
  return putf(s, "memory_initialization_radix=16;\nmemory_initialization_vector=\n") &&
         wordLines(s, m, r, "", ",\n", ";\n");
}

// Lattice memory file: its header, then hex (or binary) words. The data
// radix the memory tools show follows the file's: 3 hex, 0 binary.
bool writeLatticeMem(sink& s, const memLayout& m, wordReader& r) {
  const bool bits = m.radix == 2;
  return putf(s, "#Format=%s\n#Depth=%llu\n#Width=%u\n#AddrRadix=3\n#DataRadix=%d\n#Data\n",
              bits ? "Bin" : "Hex", ull(m.depth), m.width, bits ? 0 : 3) &&
         wordLines(s, m, r, "", "\n", "\n");
}

// Gowin memory initialisation file: its header, then hex (or binary) words.
bool writeGowinMi(sink& s, const memLayout& m, wordReader& r) {
  return putf(s, "#File_format=%s\n#Address_depth=%llu\n#Data_width=%u\n", m.radix == 2 ? "Bin" : "Hex",
              ull(m.depth), m.width) &&
         wordLines(s, m, r, "", "\n", "\n");
}

// Intel memory initialisation file: one `address : word;` line per word,
// upper-case as in Intel's examples. The `[a..b] : word;` form for runs is
// left out: srec_cat misreads it for words wider than a byte.
bool writeMif(sink& s, const memLayout& m, wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : 0;
  const size_t ad = std::max<size_t>(1, (std::bit_width(origin + m.depth - 1) + 3) / 4);  // address digits
  return putf(s, "WIDTH=%u;\nDEPTH=%llu;\n\nADDRESS_RADIX=HEX;\nDATA_RADIX=HEX;\n\nCONTENT BEGIN\n",
              m.width, ull(m.depth)) &&
         byWidth(m.width, [&](auto W) {
           return eachWord(s, m, r, 2 + ad + 3 + digits(m.width) + 2, [&](char* p, const uint8_t* w, uint64_t i) {
             i += origin;
             memcpy(p, "  ", 2);
             p += 2;
             for (size_t d = ad; d-- > 0; i >>= 4) p[d] = "0123456789ABCDEF"[i & 15];
             memcpy(p + ad, " : ", 3);
             p = hexWord<W>(p + ad + 3, w, upper, m.width);
             memcpy(p, ";\n", 2);
             return p + 2;
           });
         }) &&
         put(s, "END;\n", 5) && flush(s);
}

}  // namespace romwright::formats
