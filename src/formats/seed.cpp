// The placeholder of a memory that an FPGA design is built with, so that
// the firmware's words can later be patched into the finished design.
#include "formats/writers.hpp"
#include "patch/seed.hpp"

namespace romwright::formats {

// The memory's placeholder words as `$readmemh` text, one word a line in
// lower-case hex, as many lines as the memory has words: the same text
// for the same name, width, depth and seed on every machine. The memory's
// own bytes are not read. The shape was checked before the run wrote
// anything (checkSeedShape), so a refusal here is only the generator's
// own, and fails the write.
bool writeIce40Seed(sink& s, const memLayout& m, wordReader&) {
  const Result<std::vector<uint64_t>> words = seedWords(m.name, m.width, m.depth, m.seed);
  if (!words) return false;
  static const char digits[] = "0123456789abcdef";
  const unsigned n = (m.width + 3) / 4;
  for (uint64_t w : *words) {
    if (!room(s, n + 1)) return false;
    char* p = s.buf + s.pos;
    for (unsigned i = n; i-- > 0;) *p++ = digits[(w >> (4 * i)) & 15];
    *p = '\n';
    s.pos += n + 1;
  }
  return flush(s);
}

}  // namespace romwright::formats
