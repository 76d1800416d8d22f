// TI-TXT, the text format of MSP430 flashers and converters.
#include "formats/writers.hpp"

#include <cstring>

#include "formats/text.hpp"

namespace romwright::formats {

// TI-TXT: each range of placed bytes (the whole memory when dense) after an
// `@` line with its address (upper-case hex, at least 4 digits below 64 KiB
// and 6 above, as srec_cat writes it), its bytes as upper-case hex pairs separated by one blank, up
// to 16 a line (--record-bytes), and `q` on the last line.
bool writeTiTxt(sink& s, const memLayout& m, wordReader& r) {
  byteFile f = byteParts(m, r);
  joinTouching(f);
  return partRecords(
             s, f, m.recordBytes, false,
             [](char* p, uint64_t, const uint8_t* b, size_t n) {
               for (size_t i = 0; i < n; i++, p += 3) {
                 memcpy(p, upper.d[b[i]], 2);
                 p[2] = ' ';
               }
               p[-1] = '\n';
               return p;
             },
             [&](uint64_t at) {
               return putf(s, "@%0*llX\n", at > 0xFFFF ? 6 : 4, ull(at));
             }) &&
         put(s, "q\n", 2) && flush(s);
}

}  // namespace romwright::formats
