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

// Room for the longest record line (16 data bytes) with an address record
// before it.
constexpr size_t recordRoom = 64;
// The same for a record of up to 255 data bytes.
constexpr size_t longRecordRoom = 2 * 255 + 64;

// Writes one record at the end of the buffer.
template <class Record>
bool putRecord(sink& s, Record record, size_t need = recordRoom) {
  if (!room(s, need)) return false;
  s.pos = static_cast<size_t>(record(s.buf + s.pos) - s.buf);
  return true;
}

// Cuts the bytes of the words the reader has left (`size` bytes a word),
// written from address `at` on, into records of up to `most` bytes, each
// as long as it can be; with `cut64k` none crosses a 64 KiB boundary, as
// Intel HEX needs. `record(p, address, bytes, n)` writes one.
template <class Record>
bool byteRecords(sink& s, wordReader& r, size_t size, uint64_t at, size_t most, bool cut64k,
                 Record record) {
  const uint64_t end = at + (r.depth - r.next) * size;
  most = std::clamp<size_t>(most, 1, 255);  // every record makes progress
  uint8_t part[255];
  size_t have = 0;  // bytes of the next record gathered in `part`
  while (r.next < r.depth) {
    const std::span<const uint8_t> w = nextWords(r, (size_t{1} << 20) / size);
    for (size_t i = 0; i < w.size();) {
      size_t len = static_cast<size_t>(std::min<uint64_t>(most, end - at));
      if (cut64k) len = static_cast<size_t>(std::min<uint64_t>(len, 0x10000 - at % 0x10000));
      const size_t k = std::min(len - have, w.size() - i);
      const uint8_t* bytes = w.data() + i;
      i += k;
      if (have > 0 || k < len) {  // a record split between two blocks
        memcpy(part + have, bytes, k);
        have += k;
        if (have < len) break;
        bytes = part;
      }
      if (!putRecord(s, [&](char* p) { return record(p, at, bytes, len); }, longRecordRoom)) return false;
      at += len;
      have = 0;
    }
  }
  return true;
}

// What a format of bytes (Intel HEX, S-records) writes: parts of the
// reader's words, each written from address `at`. The whole memory; or,
// sparse, the placed bytes themselves in an image of one lane (read by a
// reader of single bytes), and in a lane's image every word that holds a
// placed byte in any lane, so that the lanes' images cover the same words.
struct byteFile {
  struct part {
    uint64_t first, end, at;
  };
  wordReader reader;
  size_t size;  // bytes of a word the reader hands out
  std::vector<part> parts;
};

byteFile byteParts(const memLayout& m, const wordReader& r) {
  const uint64_t origin = m.rebased ? m.rebase : m.address;
  const size_t lb = wordSize(m.width);
  byteFile f{r, lb, {}};
  if (!m.sparse) {
    f.parts.push_back({r.next, r.depth, origin});
  } else if (r.lanes == 1) {
    // The memory's bytes one at a time, at rising addresses.
    f.reader.wordBytes = 1;
    f.reader.laneBits = 8;
    f.reader.memoryOrder = true;
    f.reader.memWords = r.memWords * r.wordBytes;
    f.reader.depth = r.depth * r.wordBytes;
    f.size = 1;
    for (const stretch& st : placedStretches(r, 1, m.depth * r.wordBytes, false)) {
      f.parts.push_back({st.first, st.end, origin + st.first});
    }
  } else {
    for (const stretch& st : placedStretches(r, r.wordBytes, m.depth, true)) {
      f.parts.push_back({st.first, st.end, origin + st.first * lb});
    }
  }
  return f;
}

// The highest address of the file: its last data byte's, or the start
// address when that is higher and written.
uint64_t lastAddress(const byteFile& f, const memLayout& m) {
  uint64_t last = 0;
  if (!f.parts.empty()) {
    const byteFile::part& p = f.parts.back();
    last = p.at + (p.end - p.first) * f.size - 1;
  }
  return m.hasStart ? std::max<uint64_t>(last, m.entry) : last;
}

// The records of every part of the file.
template <class Record>
bool partRecords(sink& s, byteFile& f, size_t most, bool cut64k, Record record) {
  for (const byteFile::part& p : f.parts) {
    f.reader.next = p.first;
    f.reader.depth = p.end;
    if (!byteRecords(s, f.reader, f.size, p.at, most, cut64k, record)) return false;
  }
  return true;
}

}  // namespace

// Intel HEX at the memory's own byte addresses (or from --rebase): data
// records, the start linear address (the entry) and the end record.
bool writeIhex(sink& s, const memLayout& m, wordReader& r) {
  uint64_t upper16 = 0;
  const bigEndian32 entry(m.entry);
  byteFile f = byteParts(m, r);
  return partRecords(s, f, m.recordBytes, true,
                     [&](char* p, uint64_t at, const uint8_t* b, size_t n) {
                       if (at >> 16 != upper16) p = ihexUpper(p, upper16 = at >> 16);
                       return ihexRecord(p, 0, static_cast<uint16_t>(at), b, n);
                     }) &&
         putRecord(s, [&](char* p) {
           if (m.hasStart) p = ihexRecord(p, 5, 0, entry.b, 4);
           return ihexRecord(p, 1, 0, nullptr, 0);
         }) &&
         flush(s);
}

namespace {


// The extended segment address record: `segment` * 16 is added to the
// addresses of the records that follow.
char* ihexSegment(char* p, uint64_t segment) {
  const uint8_t b[] = {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)};
  return ihexRecord(p, 2, 0, b, 2);
}

}  // namespace

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

// Motorola S-records: the S0 header of Motorola's own example ("HDR"),
// data records with the shortest addresses that hold every address of the
// file (S1 of 16 bits, S2 of 24, S3 of 32; S3 on request), and the
// matching S9, S8 or S7 with the entry.
bool writeSrec(sink& s, const memLayout& m, wordReader& r) {
  const uint8_t hdr[] = {'H', 'D', 'R'};
  byteFile f = byteParts(m, r);
  const uint64_t last = lastAddress(f, m);
  const size_t addressBytes = m.srecS3 || last > 0xFFFFFF ? 4 : last > 0xFFFF ? 3 : 2;
  const char type = static_cast<char>('0' + addressBytes - 1);
  // The count byte covers the address, the data and the checksum.
  const size_t most = std::min<size_t>(m.recordBytes, 255 - addressBytes - 1);
  return putRecord(s, [&](char* p) { return srecRecord(p, '0', 0, 2, hdr, sizeof hdr); }) &&
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
