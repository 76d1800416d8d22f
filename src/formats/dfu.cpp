// USB DFU files: the image's bytes followed by the DFU suffix, and DfuSe
// files, whose prefix and elements carry the addresses of the image's
// placed ranges.
#include "formats/writers.hpp"

#include <cerrno>
#include <cstring>

#include "fields/checksum.hpp"
#include "formats/text.hpp"

namespace romwright::formats {

namespace {

// The CRC of the DFU suffix: CRC-32's register (reflected polynomial
// 0x04C11DB7 started at all ones) without the final inversion.
constexpr checksumKind suffixCrc{checksumKind::type::crc, 32, 0x04C11DB7, 0xFFFFFFFF, 0, true, true};

// Puts bytes into the sink and feeds them to the suffix's CRC, which covers
// every byte of the file before it.
struct dfuOut {
  sink& s;
  checksum crc{suffixCrc, true};

  bool put(const uint8_t* bytes, size_t n) {
    crc.feed({bytes, n});
    return romwright::put(s, bytes, n);
  }

  // The 16 bytes of the suffix, all little-endian: bcdDevice, idProduct,
  // idVendor, bcdDFU, the signature "UFD" (in that file order), bLength
  // and the CRC.
  bool suffix(const memLayout& m, uint16_t bcdDfu) {
    const uint16_t fields[] = {m.dfuBcd, m.dfuPid, m.dfuVid, bcdDfu};
    uint8_t t[16] = {};
    for (size_t i = 0; i < 4; i++) {
      t[2 * i] = static_cast<uint8_t>(fields[i]);
      t[2 * i + 1] = static_cast<uint8_t>(fields[i] >> 8);
    }
    memcpy(t + 8, "UFD", 3);
    t[11] = sizeof t;
    crc.feed({t, 12});
    putLe32(t + 12, crc.value());
    return romwright::put(s, t, sizeof t);
  }
};

// The bytes of part `p` of `f`.
bool putPart(dfuOut& out, byteFile& f, const byteFile::part& p) {
  f.reader.next = p.first;
  f.reader.depth = p.end;
  while (f.reader.next < f.reader.depth) {
    const std::span<const uint8_t> w = nextWords(f.reader, outBlock / f.size);
    if (!out.put(w.data(), w.size())) return false;
  }
  return true;
}

}  // namespace

// DFU 1.1: the bytes of the memory at rising addresses, as bin writes them,
// then the suffix with bcdDFU 0x0100.
bool writeDfu(sink& s, const memLayout& m, wordReader& r) {
  dfuOut out{s};
  const size_t size = wordSize(m.width);
  for (uint64_t left = m.depth; left > 0;) {
    const std::span<const uint8_t> w = nextWords(r, outBlock / size);
    if (!out.put(w.data(), w.size())) return false;
    left -= w.size() / size;
  }
  return out.suffix(m, 0x0100) && flush(s);
}

// DfuSe: the prefix ("DfuSe", version 1, the file's size without the
// suffix, one target), one target (alternate setting 0, unnamed) with one
// element for each range of placed bytes (the whole memory when dense),
// each its 32-bit address, its size and its bytes; then the suffix with
// bcdDFU 0x011A. A file whose sizes do not fit their 32 bits fails as too
// large before anything is written.
bool writeDfuse(sink& s, const memLayout& m, wordReader& r) {
  byteFile f = byteParts(m, r);
  joinTouching(f);
  uint64_t targetSize = 0;
  for (const byteFile::part& p : f.parts) targetSize += 8 + (p.end - p.first) * f.size;
  constexpr uint64_t prefixSize = 11, targetPrefixSize = 274;
  const uint64_t imageSize = prefixSize + targetPrefixSize + targetSize;
  if (imageSize > 0xFFFFFFFF) {
    s.ok = false;
    s.err = EFBIG;
    return false;
  }
  dfuOut out{s};
  uint8_t head[prefixSize + targetPrefixSize] = {'D', 'f', 'u', 'S', 'e', 1};
  putLe32(head + 6, imageSize);
  head[10] = 1;  // targets
  uint8_t* target = head + prefixSize;
  memcpy(target, "Target", 6);
  // Alternate setting 0, bTargetNamed 0 and an empty name: the zeros of
  // `head` up to the target's size and its number of elements.
  putLe32(target + 266, targetSize);
  putLe32(target + 270, f.parts.size());
  if (!out.put(head, sizeof head)) return false;
  for (const byteFile::part& p : f.parts) {
    uint8_t element[8];
    putLe32(element, p.at);
    putLe32(element + 4, (p.end - p.first) * f.size);
    if (!out.put(element, sizeof element) || !putPart(out, f, p)) return false;
  }
  return out.suffix(m, 0x011A) && flush(s);
}

}  // namespace romwright::formats
