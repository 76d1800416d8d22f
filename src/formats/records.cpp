// Intel HEX and S-records: data records of the placed bytes at their
// addresses (or by word index), and the start and end records.
#include "formats/writers.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "formats/text.hpp"

namespace romwright::formats {

namespace {

// The digits of a record's fields and data, then its checksum and the line
// end: the checksum is the two's complement of the byte sum for Intel HEX,
// the ones' complement for S-records.
char* recordBody(char* p, const uint8_t* head, size_t headLen, const uint8_t* data, size_t n,
                 bool onesComplement) {
  unsigned sum = 0;
  for (size_t i = 0; i < headLen; i++, p += 2) {
    sum += head[i];
    memcpy(p, upper.d[head[i]], 2);
  }
  for (size_t i = 0; i < n; i++, p += 2) {
    sum += data[i];
    memcpy(p, upper.d[data[i]], 2);
  }
  memcpy(p, upper.d[(onesComplement ? ~sum : 0u - sum) & 0xff], 2);
  p[2] = '\n';
  return p + 3;
}

// An Intel HEX record: ':', count, 16-bit address, type, data, checksum.
char* ihexRecord(char* p, uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
  const uint8_t head[] = {static_cast<uint8_t>(n), static_cast<uint8_t>(address >> 8),
                          static_cast<uint8_t>(address), type};
  *p = ':';
  return recordBody(p + 1, head, sizeof head, data, n, false);
}

// The extended linear address record: the upper 16 bits of the addresses
// of the records that follow.
char* ihexUpper(char* p, uint64_t upper16) {
  const uint8_t b[] = {static_cast<uint8_t>(upper16 >> 8), static_cast<uint8_t>(upper16)};
  return ihexRecord(p, 4, 0, b, 2);
}

// An S-record of `type` with an address of `addressBytes` bytes.
char* srecRecord(char* p, char type, uint32_t address, size_t addressBytes, const uint8_t* data,
                 size_t n) {
  uint8_t head[5] = {static_cast<uint8_t>(addressBytes + 1 + n)};
  for (size_t i = 0; i < addressBytes; i++) {
    head[1 + i] = static_cast<uint8_t>(address >> 8 * (addressBytes - 1 - i));
  }
  p[0] = 'S';
  p[1] = type;
  return recordBody(p + 2, head, 1 + addressBytes, data, n, true);
}

// The 4 bytes of a 32-bit value, most significant first.
struct bigEndian32 {
  uint8_t b[4];
  explicit bigEndian32(uint32_t v)
      : b{static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)} {}
};

// The extended segment address record: `segment` * 16 is added to the
// addresses of the records that follow.
char* ihexSegment(char* p, uint64_t segment) {
  const uint8_t b[] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
  return ihexRecord(p, 2, 0, b, 2);
}

}  // namespace

// Intel HEX at the memory's own byte addresses (or from --rebase), as
// objcopy writes it. Data records; before the first record of each 64 KiB
// past the first, an extended segment address record (02) while addresses
// are below 1 MiB, beyond an extended linear address record (04) after a
// segment record back to 0 when one was written; the start address when it
// is not 0, as a start segment address (03, CS:IP) below 1 MiB and a start
// linear address (05) beyond; the end record.
bool writeIhex(sink& s, const memLayout& m, wordReader& r) {
  uint64_t window = 0;   // the 64 KiB the records' addresses lie in
  uint64_t segment = 0;  // what the last segment record set
  byteFile f = byteParts(m, r);
  return partRecords(s, f, m.recordBytes, true,
                     [&](char* p, uint64_t at, const uint8_t* b, size_t n) {
                       if (at >> 16 != window) {
                         window = at >> 16;
                         if (at < 0x100000) {
                           p = ihexSegment(p, segment = window << 12);
                         } else {
                           if (segment != 0) p = ihexSegment(p, segment = 0);
                           p = ihexUpper(p, window);
                         }
                       }
                       return ihexRecord(p, 0, static_cast<uint16_t>(at), b, n);
                     }) &&
         putRecord(s, [&](char* p) {
           if (m.hasStart && m.entry != 0) {
             // CS:IP, CS holding the bits above the 64 KiB.
             const uint32_t start = m.entry < 0x100000 ? (m.entry >> 4 & 0xF000) << 16 | (m.entry & 0xFFFF)
                                                       : m.entry;
             p = ihexRecord(p, m.entry < 0x100000 ? 3 : 5, 0, bigEndian32(start).b, 4);
           }
           return ihexRecord(p, 1, 0, nullptr, 0);
         }) &&
         flush(s);
}

// Intel HEX addressed by word index, one word per record, its value most
// significant byte first: how Quartus initialises a memory. Each 64 Ki
// words after the first get an extended segment address record (type 02,
// the only kind Quartus documents and old simulation models read) while the
// index fits one, below 1 Mi words; beyond, extended linear address records
// (type 04), after a segment record back to 0 for readers that add both.
bool writeIhexWords(sink& s, const memLayout& m, wordReader& r) {
  const size_t size = wordSize(m.width);
  // A record of `size` data bytes, after up to two extended address records.
  const size_t longest = 2 * size + 12 + 2 * 16;
  const uint64_t origin = m.rebased ? m.rebase : 0;
  return eachWord(s, m, r, longest, [&](char* p, const uint8_t* w, uint64_t i) {
           const uint64_t a = origin + i;
           // A new 64 Ki-word page, or a first word past the first page:
           // segment records below 1 Mi words, linear ones beyond.
           if ((a % 0x10000 == 0 && a > 0) || (i == 0 && a >= 0x10000)) {
             if (a < 0x100000) {
               p = ihexSegment(p, a >> 16 << 12);
             } else {
               if (a == 0x100000 || i == 0) p = ihexSegment(p, 0);
               p = ihexUpper(p, a >> 16);
             }
           }
           return ihexRecord(p, 0, static_cast<uint16_t>(a), w, size);
         }) &&
         putRecord(s, [](char* p) { return ihexRecord(p, 1, 0, nullptr, 0); }) && flush(s);
}

// Motorola S-records: the S0 header (the text given, or as objcopy writes
// it the first 40 characters of the file's name, or "HDR", the header of
// Motorola's own example, without a file), data records with the shortest
// addresses that hold every address of the file (S1 of 16 bits, S2 of 24,
// S3 of 32; S3 on request), and the matching S9, S8 or S7 with the entry.
bool writeSrec(sink& s, const memLayout& m, wordReader& r) {
  const std::string header = m.srecHeader != nullptr ? m.srecHeader
                             : m.file != nullptr     ? std::string(m.file).substr(0, 40)
                                                     : "HDR";
  const uint8_t* hdr = reinterpret_cast<const uint8_t*>(header.data());
  byteFile f = byteParts(m, r);
  const uint64_t last = lastAddress(f, m);
  const size_t addressBytes = m.srecS3 || last > 0xFFFFFF ? 4 : last > 0xFFFF ? 3 : 2;
  const char type = static_cast<char>('0' + addressBytes - 1);
  // The count byte covers the address, the data and the checksum.
  const size_t most = std::min<size_t>(m.recordBytes, 255 - addressBytes - 1);
  return putRecord(s, [&](char* p) { return srecRecord(p, '0', 0, 2, hdr, header.size()); }, longRecordRoom) &&
         partRecords(s, f, most, false,
                     [&](char* p, uint64_t at, const uint8_t* b, size_t n) {
                       return srecRecord(p, type, static_cast<uint32_t>(at), addressBytes, b, n);
                     }) &&
         putRecord(s, [&](char* p) {
           return srecRecord(p, static_cast<char>('0' + 11 - addressBytes), m.hasStart ? m.entry : 0,
                             addressBytes, nullptr, 0);
         }) &&
         flush(s);
}

uint64_t recordsHighestAddress(const memLayout& m, const wordReader& r) {
  return lastAddress(byteParts(m, r), m);
}

}  // namespace romwright::formats
