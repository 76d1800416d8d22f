// The memory-image formats, in process: every format's output is read back
// by a small reader written from its maker's grammar (header keys,
// separators, terminators, record checksums) and its words are compared
// with what the memory holds.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>

#include "read/elf.hpp"
#include "elf_fixture.hpp"
#include "formats/registry.hpp"
#include "read/registry.hpp"
#include "image_model.hpp"
#include "cli/validate.hpp"
#include "formats/render.hpp"
#include "out/images.hpp"

using namespace fixture;
using model::Shape;

namespace {

// What a reader checks the file's own fields against.
struct Want {
  std::string name;  // NAME, or NAME_K for lane K
  uint32_t width;    // of the lane
  uint64_t depth;
  uint64_t address;  // of word 0, in the lane's own address space
  uint32_t entry;
  uint32_t radix = 16;  // 2: the words are binary digits
  std::optional<uint32_t> family;  // the UF2 family ID
  uint8_t fill = 0;     // of the bytes a sparse file leaves out
};

// ---- Readers ----------------------------------------------------------------
// Each returns the words it read: the hex digits of their values, or for a
// format of bytes the hex of each word's bytes at rising addresses. A
// grammar fault is a test failure.

std::vector<std::string> endedLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << "no newline at the end";
  return out;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isHex(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::vector<uint8_t> bytesOf(const std::string& hexDigits) {
  std::vector<uint8_t> b;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < hexDigits.size(); i += 2) {
    b.push_back(static_cast<uint8_t>(nibble(hexDigits[i]) << 4 | nibble(hexDigits[i + 1])));
  }
  return b;
}

// Groups bytes into words of `width` bits, as hex.
std::vector<std::string> wordsOf(const std::vector<uint8_t>& bytes, uint32_t width) {
  std::vector<std::string> w;
  const size_t n = width / 8;
  for (size_t i = 0; i + n <= bytes.size(); i += n) {
    w.push_back(model::hexOf({bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n)}));
  }
  EXPECT_EQ(bytes.size() % n, 0u);
  return w;
}

// A word written in binary digits as the hex digits of its value: one
// digit for a word narrower than 4 bits.
std::string binaryAsHex(const std::string& bits) {
  EXPECT_TRUE(!bits.empty() && bits.find_first_not_of("01") == std::string::npos) << bits;
  std::string padded = std::string((4 - bits.size() % 4) % 4, '0') + bits, h;
  for (size_t i = 0; i + 4 <= padded.size(); i += 4) h += "0123456789abcdef"[std::stoi(padded.substr(i, 4), nullptr, 2)];
  return h;
}

// The words of a text format, as hex: binary digits of `width` bits each
// with radix 2.
std::vector<std::string> asHex(std::vector<std::string> words, const Want& w) {
  if (w.radix != 2) return words;
  for (std::string& x : words) {
    EXPECT_EQ(x.size(), w.width) << x;
    x = binaryAsHex(x);
  }
  return words;
}

// `#Key=Value` lines up to the line `until` (or the first line that is not
// one), then one word per line.
std::vector<std::string> keyedLines(const std::string& text, const std::map<std::string, std::string>& keys,
                                    const char* until) {
  const std::vector<std::string> ls = endedLines(text);
  std::map<std::string, std::string> got;
  size_t i = 0;
  for (; i < ls.size() && ls[i].starts_with('#'); i++) {
    if (until != nullptr && ls[i] == until) {
      i++;
      break;
    }
    const size_t eq = ls[i].find('=');
    EXPECT_NE(eq, std::string::npos) << ls[i];
    if (eq != std::string::npos) got[ls[i].substr(1, eq - 1)] = ls[i].substr(eq + 1);
  }
  EXPECT_EQ(got, keys);
  std::vector<std::string> words;
  for (; i < ls.size(); i++) {
    EXPECT_TRUE(isHex(ls[i])) << "line " << i + 1 << ": " << ls[i];
    words.push_back(lower(ls[i]));
  }
  return words;
}

// Hex numbers separated by white space.
std::vector<std::string> hexNumbers(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) {
    EXPECT_TRUE(isHex(w)) << w;
    words.push_back(lower(w));
  }
  return words;
}

// Verilog $readmemh: hex numbers separated by white space ($readmemb:
// binary ones).
std::vector<std::string> readVmem(const std::string& text, const Want& w) { return asHex(hexNumbers(text), w); }

// updatemem's memory file: `@` tokens (hex digits right after the `@`) set
// the byte address of the next data token; a data token's hex digits (an
// odd count read with a leading 0) are bytes at rising addresses from
// there. The bytes, from the address of word 0 without holes, make words.
std::vector<std::string> readUpdatemem(const std::string& text, const Want& w) {
  std::map<uint64_t, uint8_t> bytes;
  std::optional<uint64_t> at;
  std::istringstream in(text);
  for (std::string t; in >> t;) {
    if (t.starts_with('@')) {
      EXPECT_TRUE(isHex(t.substr(1))) << t;
      EXPECT_EQ(t.size(), 9u) << "8 address digits: " << t;
      at = std::stoull(t.substr(1), nullptr, 16);
      continue;
    }
    EXPECT_TRUE(at.has_value()) << "data before an address: " << t;
    EXPECT_TRUE(isHex(t)) << t;
    EXPECT_EQ(t.size(), w.width / 4) << "one word a token: " << t;
    for (uint8_t b : bytesOf(t.size() % 2 != 0 ? "0" + t : t)) {
      EXPECT_TRUE(bytes.emplace(at.value_or(0), b).second) << "twice: " << at.value_or(0);
      at = at.value_or(0) + 1;
    }
  }
  EXPECT_EQ(std::count(text.begin(), text.end(), '@'), 1) << "one block";
  std::vector<uint8_t> flat;
  for (const auto& [a, b] : bytes) {
    EXPECT_EQ(a, w.address + flat.size()) << "a hole";
    flat.push_back(b);
  }
  return wordsOf(flat, w.width);
}

// Xilinx COE: `keyword = value;` statements; the vector's values are
// separated by commas (and white space) and ended by a semicolon; lines
// starting with ';' are comments.
std::vector<std::string> readCoe(const std::string& text, const Want&) {
  std::string body;
  for (const std::string& l : endedLines(text)) {
    if (!l.starts_with(';')) body += l + "\n";
  }
  std::smatch m;
  const std::regex shape(
      R"(\s*memory_initialization_radix\s*=\s*(\w+)\s*;\s*memory_initialization_vector\s*=([^;]*);\s*)");
  if (!std::regex_match(body, m, shape)) {
    ADD_FAILURE() << "not a COE file:\n" << body.substr(0, 200);
    return {};
  }
  EXPECT_EQ(m[1], "16");
  std::string vector = m[2];
  std::replace(vector.begin(), vector.end(), ',', ' ');
  const std::vector<std::string> words = hexNumbers(vector);
  // One word per line: a comma ends every line of the vector but the last.
  EXPECT_EQ(std::count(m[2].first, m[2].second, ','), static_cast<long>(words.size()) - 1);
  EXPECT_EQ(std::count(m[2].first, m[2].second, '\n'), static_cast<long>(words.size()));
  return words;
}

std::string trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\n"), b = s.find_last_not_of(" \t\n");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// Intel MIF: `KEY = value;` settings, then `CONTENT BEGIN`, entries
// `address : word;` or `[first..last] : word;`, and `END;`. Comments are
// `-- ...` to the end of the line and `% ... %`.
std::vector<std::string> readMif(const std::string& text, const Want& w) {
  std::string t;
  for (size_t i = 0; i < text.size(); i++) {
    if (text.compare(i, 2, "--") == 0) {
      i = text.find('\n', i) - 1;
    } else if (text[i] == '%') {
      i = text.find('%', i + 1);
    } else {
      t += text[i];
    }
  }
  std::map<std::string, std::string> settings;
  std::vector<std::string> words(w.depth);
  bool content = false, ended = false;
  std::istringstream in(t);
  for (std::string st; std::getline(in, st, ';');) {
    st = trim(st);
    if (st.empty()) continue;
    EXPECT_FALSE(ended) << "after END: " << st;
    if (!content) {
      if (st.starts_with("CONTENT")) {
        st = trim(st.substr(7));
        EXPECT_TRUE(st.starts_with("BEGIN")) << st;
        st = trim(st.substr(5));
        content = true;
      } else {
        const size_t eq = st.find('=');
        settings[trim(st.substr(0, eq))] = eq == std::string::npos ? "" : trim(st.substr(eq + 1));
        continue;
      }
    }
    if (st == "END") {
      ended = true;
      continue;
    }
    const size_t colon = st.find(':');
    const std::string at = trim(st.substr(0, colon)), value = trim(st.substr(colon + 1));
    const size_t dots = at.find("..");
    uint64_t first = 0, last = 0;
    if (colon == std::string::npos || !isHex(value) ||
        (at.starts_with('[') ? (dots == std::string::npos || !at.ends_with(']')) : !isHex(at))) {
      ADD_FAILURE() << "not an entry: " << st;
      continue;
    }
    if (at.starts_with('[')) {
      first = std::stoull(at.substr(1, dots - 1), nullptr, 16);
      last = std::stoull(at.substr(dots + 2, at.size() - dots - 3), nullptr, 16);
    } else {
      first = last = std::stoull(at, nullptr, 16);
    }
    for (uint64_t a = first; a <= last; a++) {
      if (a >= w.depth) {
        ADD_FAILURE() << "address " << a << " beyond the depth";
        break;
      }
      EXPECT_TRUE(words[a].empty()) << "address " << a << " given twice";
      words[a] = lower(value);
    }
  }
  EXPECT_TRUE(ended) << "no END;";
  EXPECT_EQ(settings, (std::map<std::string, std::string>{{"WIDTH", std::to_string(w.width)},
                                                          {"DEPTH", std::to_string(w.depth)},
                                                          {"ADDRESS_RADIX", "HEX"},
                                                          {"DATA_RADIX", "HEX"}}));
  return words;
}

// Lattice .mem: `#Key=Value` header lines up to `#Data`, then a word a line.
std::vector<std::string> readLatticeMem(const std::string& text, const Want& w) {
  const bool bits = w.radix == 2;
  return asHex(keyedLines(text,
                          {{"Format", bits ? "Bin" : "Hex"},
                           {"Depth", std::to_string(w.depth)},
                           {"Width", std::to_string(w.width)},
                           {"AddrRadix", "3"},
                           {"DataRadix", bits ? "0" : "3"}},
                          "#Data"),
               w);
}

// Gowin .mi: `#Key=Value` header lines, then a word a line.
std::vector<std::string> readGowinMi(const std::string& text, const Want& w) {
  return asHex(keyedLines(text,
                          {{"File_format", w.radix == 2 ? "Bin" : "Hex"},
                           {"Address_depth", std::to_string(w.depth)},
                           {"Data_width", std::to_string(w.width)}},
                          nullptr),
               w);
}

// An Intel HEX or S-record line's bytes after its start, checked against
// its checksum; empty on a fault.
std::vector<uint8_t> recordBytes(const std::string& line, size_t start, bool onesComplement) {
  const std::string digits = line.substr(start);
  if (!isHex(digits) || digits.size() % 2 != 0) {
    ADD_FAILURE() << "not hex pairs: " << line;
    return {};
  }
  std::vector<uint8_t> b = bytesOf(digits);
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < b.size(); i++) sum += b[i];
  EXPECT_EQ(b.back(), (onesComplement ? ~sum : 0u - sum) & 0xff) << "checksum: " << line;
  b.pop_back();
  return b;
}

// Intel HEX: data (00), end (01, last), extended segment address (02),
// start segment address (03, CS:IP), extended linear address (04) and start
// linear address (05) records.
// Returns the data at each address; a reader that adds the segment and the
// linear base.
struct IntelHex {
  std::map<uint64_t, std::vector<uint8_t>> records;
  std::optional<uint32_t> start;
};

IntelHex readIntelHex(const std::string& text, bool byteAddresses, size_t most = 16) {
  IntelHex h;
  uint64_t upper16 = 0, segment = 0;
  bool ended = false;
  for (const std::string& l : endedLines(text)) {
    EXPECT_FALSE(ended) << "a record after the end record: " << l;
    if (!l.starts_with(':')) {
      ADD_FAILURE() << "not a record: " << l;
      continue;
    }
    const std::vector<uint8_t> b = recordBytes(l, 1, false);
    if (b.size() < 4 || b[0] != b.size() - 4) {
      ADD_FAILURE() << "bad length: " << l;
      continue;
    }
    const uint32_t offset = b[1] << 8 | b[2];
    const std::vector<uint8_t> data(b.begin() + 4, b.end());
    switch (b[3]) {
      case 0:
        EXPECT_TRUE(!byteAddresses || offset + data.size() <= 0x10000u) << "crosses 64 KiB: " << l;
        if (byteAddresses) {
          EXPECT_LE(data.size(), most);
        }
        EXPECT_TRUE(h.records.emplace((upper16 << 16) + segment * 16 + offset, data).second) << "twice: " << l;
        break;
      case 1: ended = true; break;
      case 2:
        EXPECT_EQ(data.size(), 2u);
        if (data.size() == 2) segment = data[0] << 8 | data[1];
        break;
      case 3:
        EXPECT_EQ(data.size(), 4u);
        if (data.size() == 4) h.start = static_cast<uint32_t>((data[0] << 8 | data[1]) * 16 + (data[2] << 8 | data[3]));
        break;
      case 4:
        EXPECT_EQ(data.size(), 2u);
        if (data.size() == 2) upper16 = data[0] << 8 | data[1];
        break;
      case 5:
        EXPECT_EQ(data.size(), 4u);
        if (data.size() == 4) h.start = static_cast<uint32_t>(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3]);
        break;
      default: ADD_FAILURE() << "record type " << int{b[3]} << ": " << l;
    }
  }
  EXPECT_TRUE(ended) << "no end record";
  return h;
}

// The bytes of consecutive records from `address` on, without holes.
std::vector<uint8_t> contiguous(const std::map<uint64_t, std::vector<uint8_t>>& records, uint64_t address) {
  std::vector<uint8_t> out;
  for (const auto& [at, data] : records) {
    EXPECT_EQ(at, address + out.size()) << "a hole or an overlap";
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

std::vector<uint8_t> ihexBytes(const std::string& text, const Want& w) {
  const IntelHex h = readIntelHex(text, true);
  // No start record for a start address of 0, as objcopy.
  EXPECT_EQ(h.start, w.entry != 0 ? std::optional<uint32_t>(w.entry) : std::nullopt);
  return contiguous(h.records, w.address);
}

std::vector<std::string> readIhex(const std::string& text, const Want& w) {
  return wordsOf(ihexBytes(text, w), w.width);
}

// Quartus's word-addressed Intel HEX: a record per word at its index.
std::vector<std::string> readIhexWords(const std::string& text, const Want& w) {
  const IntelHex h = readIntelHex(text, false);
  EXPECT_FALSE(h.start);
  std::vector<std::string> words;
  for (const auto& [at, data] : h.records) {
    EXPECT_EQ(at, words.size());
    EXPECT_EQ(data.size(), w.width / 8);
    words.push_back(model::hexOf(data));
  }
  return words;
}

// Motorola S-records: S0 header first, data records of one address size,
// the shortest that holds the highest address of the file (the start
// address too) unless S3 is `forced`, and the matching S9, S8 or S7 with
// the start address last. Returns the data at each address.
struct Srecords {
  std::map<uint64_t, std::vector<uint8_t>> records;
  uint32_t start = 0;
  char type = '?';  // of the data records
  std::string header;  // the text of S0
};

Srecords readSrecords(const std::string& text, size_t most = 16, bool forced = false) {
  const std::vector<std::string> ls = endedLines(text);
  Srecords h;
  uint64_t highest = 0;
  for (size_t i = 0; i < ls.size(); i++) {
    const std::string& l = ls[i];
    const char type = l.size() > 2 && l[0] == 'S' ? l[1] : '?';
    const std::vector<uint8_t> b = recordBytes(l, 2, true);
    if (b.empty() || b[0] != b.size()) {
      ADD_FAILURE() << "bad count: " << l;
      continue;
    }
    const size_t ab = type >= '7' ? '9' - type + 2 : type - '1' + 2;  // address bytes
    if (i == 0) {
      EXPECT_EQ(type, '0');
      if (b.size() >= 3) h.header.assign(b.begin() + 3, b.end());
      continue;
    }
    if (type < '1' || type > '9' || (type > '3' && type < '7') || b.size() < ab + 1) {
      ADD_FAILURE() << "record type: " << l;
      continue;
    }
    uint64_t at = 0;
    for (size_t k = 0; k < ab; k++) at = at << 8 | b[1 + k];
    if (i + 1 == ls.size()) {
      EXPECT_EQ(type, static_cast<char>('0' + 10 - (h.type - '0'))) << "the terminator of " << h.type << ": " << l;
      EXPECT_EQ(b.size(), ab + 1);
      h.start = static_cast<uint32_t>(at);
      highest = std::max(highest, at);
    } else {
      if (h.type == '?') h.type = type;
      EXPECT_EQ(type, h.type) << "one address size a file: " << l;
      EXPECT_LE(b.size(), ab + 1 + most);
      EXPECT_GT(b.size(), ab + 1);
      h.records[at] = {b.begin() + static_cast<long>(ab) + 1, b.end()};
      highest = std::max(highest, at + b.size() - ab - 2);
    }
  }
  EXPECT_EQ(h.type, forced || highest > 0xFFFFFF ? '3' : highest > 0xFFFF ? '2' : '1') << "highest 0x" << std::hex << highest;
  return h;
}

std::vector<uint8_t> srecBytes(const std::string& text, const Want& w) {
  const Srecords h = readSrecords(text);
  EXPECT_EQ(h.start, w.entry);
  return contiguous(h.records, w.address);
}

std::vector<std::string> readSrec(const std::string& text, const Want& w) {
  return wordsOf(srecBytes(text, w), w.width);
}

std::vector<std::string> readBin(const std::string& text, const Want& w) {
  return wordsOf({text.begin(), text.end()}, w.width);
}

uint32_t le32(const std::string& t, size_t at) {
  uint32_t v = 0;
  for (size_t i = 4; i-- > 0;) v = v << 8 | static_cast<uint8_t>(t[at + i]);
  return v;
}

// UF2: 512-byte blocks with the three magic numbers, 256-byte payloads at
// 256-aligned addresses in rising order, numbered from 0 with the count of
// blocks in each, zeros after the payload, the family ID with flag 0x2000
// when there is one. Returns the memory's bytes from the address of word 0:
// those of the pages the blocks hold, the fill elsewhere. The blocks'
// addresses go to `pages`, the bytes of their pages outside the memory to
// `pad`.
std::vector<uint8_t> uf2Bytes(const std::string& text, const Want& w, std::vector<uint8_t>* pad = nullptr,
                              std::vector<uint64_t>* pages = nullptr) {
  EXPECT_EQ(text.size() % 512, 0u);
  const size_t blocks = text.size() / 512;
  const uint64_t size = w.depth * (w.width / 8);
  std::vector<uint8_t> bytes(size, w.fill);
  std::vector<uint8_t> outside;
  std::optional<uint64_t> last;
  for (size_t k = 0; k < blocks; k++) {
    const size_t b = k * 512;
    EXPECT_EQ(le32(text, b), 0x0A324655u);
    EXPECT_EQ(le32(text, b + 4), 0x9E5D5157u);
    EXPECT_EQ(le32(text, b + 508), 0x0AB16F30u);
    EXPECT_EQ(le32(text, b + 8), w.family ? 0x2000u : 0u);
    const uint64_t at = le32(text, b + 12);
    EXPECT_EQ(at % 256, 0u) << "block " << k;
    EXPECT_TRUE(!last || at > *last) << "rising addresses: block " << k;
    EXPECT_TRUE(at + 256 > w.address && at < w.address + size) << "a page of the memory: block " << k;
    last = at;
    if (pages != nullptr) pages->push_back(at);
    EXPECT_EQ(le32(text, b + 16), 256u);
    EXPECT_EQ(le32(text, b + 20), k);
    EXPECT_EQ(le32(text, b + 24), blocks);
    EXPECT_EQ(le32(text, b + 28), w.family.value_or(0));
    EXPECT_EQ(text.substr(b + 32 + 256, 476 - 256), std::string(476 - 256, '\0'));
    for (uint64_t i = 0; i < 256; i++) {
      const uint8_t v = static_cast<uint8_t>(text[b + 32 + i]);
      if (at + i >= w.address && at + i - w.address < size) {
        bytes[at + i - w.address] = v;
      } else {
        outside.push_back(v);
      }
    }
  }
  if (pad != nullptr) *pad = outside;
  return bytes;
}

std::vector<std::string> readUf2(const std::string& text, const Want& w) {
  return wordsOf(uf2Bytes(text, w), w.width);
}

// The CRC of a DFU suffix over `text`: CRC-32's register, bit by bit,
// without its final inversion.
uint32_t dfuCrc(const std::string& text) {
  uint32_t crc = 0xFFFFFFFF;
  for (char c : text) {
    crc ^= static_cast<uint8_t>(c);
    for (int k = 0; k < 8; k++) crc = crc & 1 ? crc >> 1 ^ 0xEDB88320 : crc >> 1;
  }
  return crc;
}

uint16_t le16(const std::string& t, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(t[at]) | static_cast<uint8_t>(t[at + 1]) << 8);
}

// The 16-byte DFU suffix at the end of `text`: bcdDevice, idProduct and
// idVendor (each `id`), bcdDFU, "UFD", its length and the CRC of the rest.
// Returns what comes before it.
std::string dfuSuffixed(const std::string& text, uint16_t bcdDfu, uint16_t id = 0xffff) {
  if (text.size() < 16) {
    ADD_FAILURE() << "no room for the suffix";
    return {};
  }
  const size_t at = text.size() - 16;
  EXPECT_EQ(le16(text, at), id);
  EXPECT_EQ(le16(text, at + 2), id);
  EXPECT_EQ(le16(text, at + 4), id);
  EXPECT_EQ(le16(text, at + 6), bcdDfu);
  EXPECT_EQ(text.substr(at + 8, 4), "UFD\x10");
  EXPECT_EQ(le32(text, at + 12), dfuCrc(text.substr(0, at + 12)));
  return text.substr(0, at);
}

// DFU: the memory's bytes, then the suffix of DFU 1.1.
std::vector<std::string> readDfu(const std::string& text, const Want& w) {
  const std::string bytes = dfuSuffixed(text, 0x0100);
  return wordsOf({bytes.begin(), bytes.end()}, w.width);
}

// The elements of a DfuSe file: its prefix ("DfuSe", version 1, the size
// without the suffix, one target), the target's prefix (alternate setting
// 0, unnamed, the size of its elements, their number) and each element's
// address, size and bytes; then the suffix with bcdDFU 0x011A.
std::vector<std::pair<uint32_t, std::string>> dfuseElements(const std::string& text, uint16_t id = 0xffff) {
  const std::string body = dfuSuffixed(text, 0x011A, id);
  std::vector<std::pair<uint32_t, std::string>> elements;
  if (body.size() < 11 + 274) {
    ADD_FAILURE() << "no room for the prefixes";
    return elements;
  }
  EXPECT_EQ(body.substr(0, 6), std::string("DfuSe\x01"));
  EXPECT_EQ(le32(body, 6), body.size());
  EXPECT_EQ(body[10], 1);
  EXPECT_EQ(body.substr(11, 6), "Target");
  EXPECT_EQ(body.substr(17, 1 + 4 + 255), std::string(260, '\0')) << "alternate setting 0, no name";
  EXPECT_EQ(le32(body, 277), body.size() - 285);
  const uint32_t count = le32(body, 281);
  size_t at = 285;
  for (uint32_t k = 0; k < count && at + 8 <= body.size(); k++) {
    const uint32_t address = le32(body, at), size = le32(body, at + 4);
    EXPECT_LE(at + 8 + size, body.size());
    elements.push_back({address, body.substr(at + 8, size)});
    at += 8 + size;
  }
  EXPECT_EQ(at, body.size()) << "the elements fill the target";
  return elements;
}

// Puts bytes at their addresses into the memory's bytes from the address
// of word 0, the fill elsewhere; each byte of an element must be the
// memory's, each once.
std::vector<uint8_t> placeBytes(const std::vector<std::pair<uint64_t, std::string>>& blocks, const Want& w) {
  const uint64_t size = w.depth * (w.width / 8);
  std::vector<uint8_t> bytes(size, w.fill);
  std::vector<bool> seen(size);
  for (const auto& [address, data] : blocks) {
    for (size_t i = 0; i < data.size(); i++) {
      const uint64_t a = address + i - w.address;
      if (address + i < w.address || a >= size || seen[a]) {
        ADD_FAILURE() << "byte at 0x" << std::hex << address + i << " outside the memory or twice";
        return {};
      }
      seen[a] = true;
      bytes[a] = static_cast<uint8_t>(data[i]);
    }
  }
  return bytes;
}

std::vector<std::string> readDfuse(const std::string& text, const Want& w) {
  std::vector<std::pair<uint64_t, std::string>> blocks;
  std::optional<uint64_t> end;
  for (const auto& [address, data] : dfuseElements(text)) {
    EXPECT_FALSE(data.empty());
    EXPECT_TRUE(!end || address > *end) << "elements rise and do not touch";
    end = address + data.size();
    blocks.push_back({address, data});
  }
  return wordsOf(placeBytes(blocks, w), w.width);
}

// TI-TXT: `@` lines of an address (upper-case hex, 4 digits below 64 KiB,
// 6 below 16 MiB, as many as it takes above), each
// followed by lines of up to 16 bytes as upper-case hex pairs separated by
// one blank; the last line `q`.
std::vector<std::pair<uint64_t, std::string>> tiTxtBlocks(const std::string& text, size_t most = 16) {
  const std::vector<std::string> ls = endedLines(text);
  std::vector<std::pair<uint64_t, std::string>> blocks;
  EXPECT_TRUE(!ls.empty() && ls.back() == "q") << "no q at the end";
  const std::regex address("@([0-9A-F]{4}|[0-9A-F]{6}|[1-9A-F][0-9A-F]{6,7})"), data("[0-9A-F]{2}( [0-9A-F]{2})*");
  for (size_t i = 0; i + 1 < ls.size(); i++) {
    if (std::regex_match(ls[i], address)) {
      blocks.push_back({std::stoull(ls[i].substr(1), nullptr, 16), {}});
    } else if (std::regex_match(ls[i], data) && !blocks.empty()) {
      std::string digits = ls[i];
      std::erase(digits, ' ');
      const std::vector<uint8_t> b = bytesOf(digits);
      EXPECT_LE(b.size(), most) << ls[i];
      blocks.back().second.append(b.begin(), b.end());
    } else {
      ADD_FAILURE() << "line " << i + 1 << ": " << ls[i];
    }
  }
  return blocks;
}

std::vector<std::string> readTiTxt(const std::string& text, const Want& w) {
  return wordsOf(placeBytes(tiTxtBlocks(text), w), w.width);
}

// The one match of `re` in `text`, or a failure.
std::smatch only(const std::string& text, const std::string& re) {
  std::smatch m;
  EXPECT_TRUE(std::regex_search(text, m, std::regex(re))) << "no match for " << re;
  return m;
}

// C: the declarations, the base and word count, and the array's
// initialisers.
std::vector<std::string> readC(const std::string& text, const Want& w) {
  const std::string n = w.name, t = "uint" + std::to_string(std::max(8u, std::bit_ceil(w.width))) + "_t";
  EXPECT_TRUE(text.find("#include <stdint.h>\n") != std::string::npos);
  EXPECT_TRUE(text.find("extern const " + t + " " + n + "[" + std::to_string(w.depth) + "];\n") != std::string::npos);
  EXPECT_EQ(std::stoull(only(text, "\nconst uint32_t " + n + "_base = (0x[0-9a-f]+);\n")[1], nullptr, 16), w.address);
  EXPECT_EQ(only(text, "\nconst uint32_t " + n + "_words = ([0-9]+);\n")[1], std::to_string(w.depth));
  const std::smatch m = only(text, "\nconst " + t + " " + n + "\\[" + std::to_string(w.depth) + "\\] = \\{\n([^}]*)\\};\n$");
  std::vector<std::string> words;
  const std::string init = m[1];
  const std::regex item(w.width > 32 ? "0x([0-9a-f]+)ULL" : "0x([0-9a-f]+)");
  for (auto it = std::sregex_iterator(init.begin(), init.end(), item); it != std::sregex_iterator(); ++it) {
    words.push_back((*it)[1]);
  }
  EXPECT_EQ(std::count(init.begin(), init.end(), ','), static_cast<long>(words.size()) - 1);
  return words;
}

// VHDL: the package, its constants, the array type and the aggregate of
// hex (x"...") or bit-string ("01") literals.
std::vector<std::string> readVhdl(const std::string& text, const Want& w) {
  const std::string n = w.name;
  EXPECT_EQ(only(text, "\npackage " + n + "_pkg is\n")[0], "\npackage " + n + "_pkg is\n");
  EXPECT_EQ(only(text, "constant " + n + "_depth : natural := ([0-9]+);")[1], std::to_string(w.depth));
  EXPECT_EQ(only(text, "constant " + n + "_width : natural := ([0-9]+);")[1], std::to_string(w.width));
  only(text, "type " + n + "_t is array \\(0 to " + n + "_depth - 1\\)\\s+of std_ulogic_vector\\(" + n +
                 "_width - 1 downto 0\\);");
  const std::smatch m = only(text, "constant " + n + " : " + n + "_t := \\(\n([^;]*)\n  \\);\nend package " + n + "_pkg;\n$");
  std::vector<std::string> words;
  const std::string init = m[1];
  const std::regex item(w.width < 4 ? "\"([01]+)\"" : "x\"([0-9a-f]+)\"");
  for (auto it = std::sregex_iterator(init.begin(), init.end(), item); it != std::sregex_iterator(); ++it) {
    std::string v = (*it)[1];
    if (w.width < 4) {
      EXPECT_EQ(v.size(), w.width);
      v = std::string(1, "0123"[std::stoi(v, nullptr, 2)]);
    }
    words.push_back(v);
  }
  if (w.depth == 1) {
    EXPECT_TRUE(init.find("0 => ") != std::string::npos) << init;
  }
  return words;
}

struct Reader {
  const char* format;
  std::vector<std::string> (*read)(const std::string&, const Want&);
};

constexpr Reader readers[] = {
    {"vmem", readVmem},   {"bin", readBin},   {"coe", readCoe},     {"mif", readMif},
    {"ihex", readIhex},   {"ihex-words", readIhexWords}, {"srec", readSrec},
    {"lattice-mem", readLatticeMem}, {"updatemem", readUpdatemem}, {"uf2", readUf2}, {"gowin-mi", readGowinMi}, {"vhdl", readVhdl}, {"c", readC},
    {"dfu", readDfu}, {"dfuse", readDfuse}, {"ti-txt", readTiTxt},
};

// ---- Running a format in process --------------------------------------------

// The files one run wrote: one image per lane, and the headers asked for;
// the name of the first image.
struct Written {
  std::vector<std::string> images, headers;
  std::string file;
};

// Writes the memory `s` of an executable of `segs` built in `order` as
// `format`, in process, as the command line would.
Written write(const char* format, Order order, const std::vector<Seg>& segs, const Shape& s,
              std::vector<std::string> extra = {}) {
  TempDir dir;
  const std::string elf = (dir.path / "in.elf").string();
  writeFile(elf, build(order, segs, {.entry = 0x1004}));
  const bool lanes = s.lanes > 1;
  std::vector<std::string> args = s.args();
  for (const std::string& e : extra) {
    // A header goes next to the image, one per lane.
    args.push_back(e.starts_with("--header=") ? "--header=" + (dir.path / (lanes ? "header%d" : "header")).string()
                                              : e);
  }
  args.push_back(std::string("--format=") + format);
  args.push_back("--output=" + (dir.path / (lanes ? "image%d" : "image")).string());

  memArgs a{};
  const std::pair<const char*, const char* memArgs::*> fields[] = {
      {"format", &memArgs::format}, {"output", &memArgs::output},     {"addresses", &memArgs::addresses},
      {"region", &memArgs::region}, {"width", &memArgs::width},       {"byte-order", &memArgs::byteOrder},
      {"depth", &memArgs::depth},   {"fill", &memArgs::fill},         {"lanes", &memArgs::lanes},
      {"name", &memArgs::name},     {"header", &memArgs::header},     {"radix", &memArgs::radix},
      {"uf2-family", &memArgs::uf2Family}, {"rebase", &memArgs::rebase}, {"record-bytes", &memArgs::recordBytes},
      {"line-ending", &memArgs::lineEnding}, {"srec-header", &memArgs::srecHeader}, {"dfu-vid", &memArgs::dfuVid},
      {"dfu-pid", &memArgs::dfuPid}, {"dfu-bcd", &memArgs::dfuBcd}};
  for (const std::string& arg : args) {
    const size_t eq = arg.find('=');
    for (const auto& [key, field] : fields) {
      if (eq != std::string::npos && arg.substr(2, eq - 2) == key) a.*field = arg.c_str() + eq + 1;
    }
    a.sparse += arg == "--sparse";
    a.srecS3 += arg == "--srec-s3";
    a.dense += arg == "--dense";
  }
  // "--no-fill" takes back the fill the shape gives.
  if (std::find(args.begin(), args.end(), "--no-fill") != args.end()) a.fill = nullptr;
  image img;
  std::string log;
  sectionChoice none;
  readContext ctx{log, none};
  const Result<memoryPlan> o = checkMemories(a, false);
  status s2 = o ? readInput(elf, readAs::recognised, 0, img, ctx) : status(o.error());
  if (s2) s2 = dumpMemImages(*o, img, stdout, [](const std::string& n) { fputs(n.c_str(), stderr); });
  if (!s2) {
    ADD_FAILURE() << s2.error().message;
    return {};
  }

  Written w;
  w.file = (dir.path / (lanes ? "image0" : "image")).string();
  for (uint32_t lane = 0; lane < s.lanes; lane++) {
    const std::string k = lanes ? std::to_string(lane) : "";
    auto text = [&](const std::string& file) {
      const std::vector<uint8_t> b = readFile(dir.path / file);
      return std::string(b.begin(), b.end());
    };
    w.images.push_back(text("image" + k));
    if (a.header != nullptr) w.headers.push_back(text("header" + k));
  }
  return w;
}

// Two segments with a gap between them, the second with a zero tail: at
// 0x1000, 48 bytes counting from 1; at 0x1040, 20 bytes counting from 0x80
// in a room of 32.
const std::vector<Seg> gapped = {text(0x1000, counting(0x30, 1)), data(0x1040, counting(0x14, 0x80), 0x20)};

struct Case {
  const char* what;
  Shape shape;
  std::vector<Seg> segs = gapped;
};

}  // namespace

TEST(MemoryFormats, EveryFormatHoldsTheMemorysWords) {
  const Case cases[] = {
      {"8-bit words, fill in the gap and after the data", {.width = 8, .fill = 0xa5}},
      {"16-bit words", {.width = 16, .fill = 0xa5}},
      {"32-bit words", {.width = 32, .fill = 0xa5}},
      {"64-bit words", {.width = 64, .fill = 0xa5}},
      {"128-bit words", {.width = 128, .fill = 0xa5}},
      // Widths that are not powers of two, and wider ones: the generic path.
      {"24-bit words", {.width = 24, .base = 0xff0, .size = 0x66, .fill = 0xa5}},
      {"40-bit words", {.width = 40, .base = 0xff0, .size = 0x64, .fill = 0x3c}},
      {"256-bit words", {.width = 256, .size = 0x80, .fill = 0xa5}},
      {"1024-bit words", {.width = 1024, .size = 0x100, .fill = 0x5a}},
      {"three lanes of 8 bits", {.width = 24, .lanes = 3, .base = 0xff0, .size = 0x66, .fill = 0x5a}},
      {"six lanes of 4 bits", {.width = 24, .lanes = 6, .base = 0xff0, .size = 0x66, .fill = 0xc3}},
      {"two lanes of 128 bits", {.width = 256, .lanes = 2, .fill = 0x11}},
      {"byte order given as big", {.width = 32, .byteOrder = Order::Big}},
      {"byte order given as little", {.width = 64, .byteOrder = Order::Little}},
      {"depth beyond the region: a tail of fill words", {.size = 0x60, .depth = 40, .fill = 0xee}},
      {"run addresses: the zero tail in place of fill", {.fill = 0xff, .run = true}},
      {"four lanes of 8 bits", {.width = 32, .lanes = 4, .fill = 0x5a}},
      {"two lanes of 32 bits", {.width = 64, .lanes = 2}},
      {"two lanes of 64 bits", {.width = 128, .lanes = 2, .fill = 0x11}},
      {"four lanes of 4 bits", {.width = 16, .lanes = 4, .fill = 0xc3}},
      {"four lanes of 2 bits", {.width = 8, .lanes = 4, .fill = 0xc6}},
      {"eight lanes of 1 bit", {.width = 8, .lanes = 8, .fill = 0x96}},
      {"one word", {.width = 32, .size = 4}, {text(0x1000, {0xde, 0xad, 0xbe, 0xef})}},
      {"records split at 64 KiB from an unaligned base",
       {.width = 8, .base = 0xfff8, .size = 0x29, .fill = 0xff},
       {text(0xfffa, counting(0x20, 0x40))}},
      {"the top of the address space",
       {.width = 16, .base = 0xffffffd0, .size = 0x30},
       {text(0xffffffe2, counting(0x1e, 0x10))}},
  };
  for (const Case& c : cases) {
    for (Order order : {Order::Little, Order::Big}) {
      const std::vector<uint8_t> mem = model::memory(c.segs, c.shape);
      for (const Reader& reader : readers) {
        const memFormat* f = findFormat(reader.format);
        ASSERT_NE(f, nullptr) << reader.format;
        const uint32_t bits = c.shape.laneBits();
        if (bits < f->minWidth || bits > f->maxWidth) continue;
        for (uint32_t radix : {16u, 2u}) {
          if (radix == 2 && (f->uses & useBinary) == 0) continue;
          SCOPED_TRACE(std::string(c.what) + ", " + name(order) + " executable, " + reader.format + ", radix " +
                       std::to_string(radix));
          const Written w = write(reader.format, order, c.segs, c.shape,
                                  radix == 2 ? std::vector<std::string>{"--radix=2"} : std::vector<std::string>{});
          ASSERT_EQ(w.images.size(), c.shape.lanes);
          for (uint32_t lane = 0; lane < c.shape.lanes; lane++) {
            const std::string n = c.shape.lanes == 1 ? "rom_image" : "rom_image_" + std::to_string(lane);
            const Want want{n, bits, c.shape.words(), c.shape.laneAddress(), 0x1004, radix, {}, c.shape.fill};
            EXPECT_EQ(reader.read(w.images[lane], want),
                      model::laneWords(mem, c.shape, order, lane, f->memoryOrder))
                << "lane " << lane;
          }
        }
      }
    }
  }
  // The format table and the readers agree (a placeholder format writes
  // no memory's words).
  EXPECT_EQ(std::count_if(memFormats().begin(), memFormats().end(), [](const memFormat& f) { return !f.placeholder; }),
            std::ssize(readers));
}

TEST(MemoryFormats, IhexWordsAddressesPast16BitsWithExtendedRecords) {
  const Shape s{.width = 16, .size = 0x80, .depth = 0x10003, .fill = 0x3c};
  for (Order order : {Order::Little, Order::Big}) {
    const Written w = write("ihex-words", order, gapped, s);
    ASSERT_EQ(w.images.size(), 1u);
    const std::string& hex = w.images[0];
    EXPECT_EQ(std::count(hex.begin(), hex.end(), '\n'), 0x10003 + 1 + 1) << "a record per word, one extended, the end";
    EXPECT_EQ(hex.find(":02000004"), std::string::npos) << "no linear address below 1 Mi words";
    EXPECT_NE(hex.find("\n:020000021000EC\n:020000003C3C"), std::string::npos) << "index 0x10000 after its segment record";
    EXPECT_TRUE(readIhexWords(hex, {"rom_image", 16, s.words(), s.base, 0x1004}) ==
                model::laneWords(model::memory(gapped, s), s, order, 0));
  }
}

TEST(MemoryFormats, IhexWordsTurnsToLinearAddressesAtOneMiWords) {
  const Shape s{.width = 8, .size = 0x80, .depth = 0x110001, .fill = 0x3c};
  const Written w = write("ihex-words", Order::Little, gapped, s);
  ASSERT_EQ(w.images.size(), 1u);
  const std::string& hex = w.images[0];
  const auto count = [&](const std::string& record) {
    size_t n = 0;
    for (size_t at = 0; (at = hex.find(record, at)) != std::string::npos; at++) n++;
    return n;
  };
  EXPECT_EQ(count(":02000002"), 16u) << "segments 0x1000 to 0xf000, then 0";
  EXPECT_EQ(count(":02000004"), 2u) << "at 0x100000 and 0x110000";
  EXPECT_NE(hex.find("\n:02000002F0000C\n"), std::string::npos);
  EXPECT_NE(hex.find("\n:020000020000FC\n:020000040010EA\n:010000003CC3\n"), std::string::npos)
      << "index 0x100000: the segment back to 0, then the linear address";
  EXPECT_TRUE(readIhexWords(hex, {"rom_image", 8, s.words(), s.base, 0x1004}) ==
              model::laneWords(model::memory(gapped, s), s, Order::Little, 0));
}

TEST(MemoryFormats, RecordsSplitAcrossReadBlocks) {
  // A memory of more than a block of words from a base that is not a
  // multiple of 16: block ends fall inside records.
  const Shape s{.width = 8, .base = 0x1008, .size = 0x100040, .fill = 0x77};
  const std::vector<Seg> segs = {text(0x1008, counting(0x30)), data(0x101000, counting(0x40, 0x90))};
  for (const char* format : {"ihex", "srec"}) {
    const Written w = write(format, Order::Big, segs, s);
    ASSERT_EQ(w.images.size(), 1u);
    const Want want{"rom_image", 8, s.words(), s.base, 0x1004};
    EXPECT_TRUE((std::string(format) == "ihex" ? ihexBytes(w.images[0], want) : srecBytes(w.images[0], want)) ==
                model::memory(segs, s))
        << format;
  }
}

TEST(MemoryFormats, ImagesOfManyBlocksAfterAHeader) {
  // Words are read a block at a time, as many as the output buffer has room
  // for: fewer after a header than later on. The bytes do not repeat every
  // 256, so that a block read from the wrong place shows. (The readers of
  // the source-code formats are regular expressions that recurse on every
  // character: they keep to small images.)
  const Shape s{.width = 64, .size = 0x60000, .fill = 0x5c};
  std::vector<uint8_t> bytes(0x5f000);
  uint32_t x = 1;
  for (uint8_t& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 24);
  const std::vector<Seg> segs = {text(0x1000, bytes)};
  const std::vector<uint8_t> mem = model::memory(segs, s);
  for (const char* format : {"vmem", "mif", "lattice-mem", "gowin-mi", "ihex-words"}) {
    const Reader* reader = std::find_if(std::begin(readers), std::end(readers),
                                        [&](const Reader& r) { return strcmp(r.format, format) == 0; });
    ASSERT_NE(reader, std::end(readers)) << format;
    for (Order order : {Order::Little, Order::Big}) {
      SCOPED_TRACE(std::string(format) + ", " + name(order) + " executable");
      const Written w = write(format, order, segs, s);
      ASSERT_EQ(w.images.size(), 1u);
      EXPECT_TRUE(reader->read(w.images[0], {"rom_image", 64, s.words(), s.base, 0x1004}) ==
                  model::laneWords(mem, s, order, 0, false));
    }
  }
}

TEST(MemoryFormats, EachFormatsTextForFourWords) {
  // Words 00112233, 44556677, 8899aabb and a fill word, at 0x80.
  const std::vector<Seg> segs = {text(0x80, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb})};
  const Shape s{.base = 0x80, .size = 16, .fill = 0xff};
  const std::string cDeclarations =
      "#ifdef __cplusplus\nextern \"C\" {\n#endif\n"
      "extern const uint32_t rom_image_base;\n"
      "extern const uint32_t rom_image_words;\n"
      "extern const uint32_t rom_image[4];\n"
      "#ifdef __cplusplus\n}\n#endif\n";
  const std::string comment = "rom_image: 4 words of 32 bits, word 0 at address 0x00000080";
  const std::string bytes("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xff\xff\xff\xff", 16);
  // The DFU suffix after `body`: its first 8 bytes given, "UFD", 16, the CRC.
  auto suffixed = [](const std::string& body, const char* ids) {
    std::string t = body + std::string(ids, 8) + "UFD\x10";
    const uint32_t crc = dfuCrc(t);
    for (int i = 0; i < 4; i++) t += static_cast<char>(crc >> 8 * i);
    return t;
  };
  const std::pair<const char*, std::string> samples[] = {
      {"vmem", "00112233\n44556677\n8899aabb\nffffffff\n"},
      {"bin", std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xff\xff\xff\xff", 16)},
      {"coe",
       "memory_initialization_radix=16;\nmemory_initialization_vector=\n"
       "00112233,\n44556677,\n8899aabb,\nffffffff;\n"},
      {"mif",
       "WIDTH=32;\nDEPTH=4;\n\nADDRESS_RADIX=HEX;\nDATA_RADIX=HEX;\n\nCONTENT BEGIN\n"
       "  0 : 00112233;\n  1 : 44556677;\n  2 : 8899AABB;\n  3 : FFFFFFFF;\nEND;\n"},
      // The start address below 1 MiB as CS:IP, as objcopy writes it.
      {"ihex", ":1000800000112233445566778899AABBFFFFFFFF12\n:0400000300001004E5\n:00000001FF\n"},
      {"ihex-words",
       ":040000000011223396\n:040001004455667785\n:040002008899AABB74\n:04000300FFFFFFFFFD\n"
       ":00000001FF\n"},
      // S0 holds the file's name, as objcopy writes it: filled in below.
      {"srec", "S113008000112233445566778899AABBFFFFFFFF0E\nS9031004E8\n"},
      {"lattice-mem",
       "#Format=Hex\n#Depth=4\n#Width=32\n#AddrRadix=3\n#DataRadix=3\n#Data\n"
       "00112233\n44556677\n8899aabb\nffffffff\n"},
      {"updatemem", "@00000080\n00112233\n44556677\n8899aabb\nffffffff\n"},
      {"uf2", [] {
         // One block: the page at 0, the memory at 0x80 in it, fill around.
         std::string b = std::string("UF2\n\x57\x51\x5d\x9e", 8) + std::string(24, '\0') +
                         std::string(0x80, '\xff') +
                         std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb", 12) +
                         std::string(256 - 0x80 - 12, '\xff') + std::string(476 - 256, '\0') + "\x30\x6f\xb1\x0a";
         b[16] = 0, b[17] = 1;  // payload 256
         b[24] = 1;             // 1 block
         return b;
       }()},
      {"gowin-mi",
       "#File_format=Hex\n#Address_depth=4\n#Data_width=32\n00112233\n44556677\n8899aabb\nffffffff\n"},
      {"vhdl",
       "-- " + comment + "\n"
       "library ieee;\nuse ieee.std_logic_1164.all;\n\n"
       "package rom_image_pkg is\n"
       "  constant rom_image_depth : natural := 4;\n"
       "  constant rom_image_width : natural := 32;\n"
       "  type rom_image_t is array (0 to rom_image_depth - 1)\n"
       "    of std_ulogic_vector(rom_image_width - 1 downto 0);\n"
       "  constant rom_image : rom_image_t := (\n"
       "    x\"00112233\", x\"44556677\", x\"8899aabb\", x\"ffffffff\"\n"
       "  );\n"
       "end package rom_image_pkg;\n"},
      {"c",
       "/* " + comment + " */\n#include <stdint.h>\n\n" + cDeclarations +
           "\nconst uint32_t rom_image_base = 0x00000080;\n"
           "const uint32_t rom_image_words = 4;\n"
           "const uint32_t rom_image[4] = {\n"
           "  0x00112233, 0x44556677, 0x8899aabb, 0xffffffff\n"
           "};\n"},
      {"dfu", suffixed(bytes, "\xff\xff\xff\xff\xff\xff\x00\x01")},
      {"dfuse", suffixed(std::string("DfuSe\x01\x35\x01\x00\x00\x01Target", 17) + std::string(260, '\0') +
                             std::string("\x18\0\0\0\x01\0\0\0\x80\0\0\0\x10\0\0\0", 16) + bytes,
                         "\xff\xff\xff\xff\xff\xff\x1a\x01")},
      {"ti-txt", "@0080\n00 11 22 33 44 55 66 77 88 99 AA BB FF FF FF FF\nq\n"},
  };
  for (const auto& [format, sample] : samples) {
    const Written w = write(format, Order::Big, segs, s,
                            std::string(format) == "c" ? std::vector<std::string>{"--header=h"} : std::vector<std::string>{});
    ASSERT_EQ(w.images.size(), 1u);
    if (std::string(format) == "srec") {
      // The first 40 characters of the file's name.
      const std::string name = w.file.substr(0, 40);
      unsigned sum = static_cast<unsigned>(name.size() + 3);
      std::string s0 = "S0" + model::hexOf({static_cast<uint8_t>(sum)}) + "0000";
      for (char c : name) sum += static_cast<uint8_t>(c), s0 += model::hexOf({static_cast<uint8_t>(c)});
      s0 += model::hexOf({static_cast<uint8_t>(~sum)});
      for (char& c : s0) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      EXPECT_EQ(w.images[0], s0 + "\n" + sample) << format;
      continue;
    }
    EXPECT_EQ(w.images[0], sample) << format;
    if (!w.headers.empty()) {
      EXPECT_EQ(w.headers[0], "/* " + comment + " */\n#ifndef ROM_IMAGE_H\n#define ROM_IMAGE_H\n\n"
                              "#include <stdint.h>\n\n" + cDeclarations + "\n#endif\n");
    }
  }
  EXPECT_EQ(std::ssize(samples),
            std::count_if(memFormats().begin(), memFormats().end(), [](const memFormat& f) { return !f.placeholder; }));
}

// With --rebase the word indexes of ihex-words start at the given index: a
// first word past the first 64 Ki words comes after its segment record.
TEST(MemoryFormats, IhexWordsRebasedStartsAtTheGivenIndex) {
  const std::vector<Seg> segs = {text(0x80, {0x00, 0x11, 0x22, 0x33})};
  const Written w = write("ihex-words", Order::Big, segs, {.width = 32, .base = 0x80, .size = 4}, {"--rebase=0x12345"});
  ASSERT_EQ(w.images.size(), 1u);
  EXPECT_EQ(w.images[0], ":020000021000EC\n:04234500001122332E\n:00000001FF\n");
}

TEST(MemoryFormats, BinaryDigitsForTheFormatsThatTakeThem) {
  // Bytes 00, 11, 22, 33 as 8-bit words; 16 is every format's radix.
  const std::vector<Seg> segs = {text(0x80, {0x00, 0x11, 0x22, 0x33})};
  const Shape s{.width = 8, .base = 0x80, .size = 4};
  const std::string bits = "00000000\n00010001\n00100010\n00110011\n";
  const std::pair<const char*, std::string> samples[] = {
      {"vmem", bits},
      {"lattice-mem", "#Format=Bin\n#Depth=4\n#Width=8\n#AddrRadix=3\n#DataRadix=0\n#Data\n" + bits},
      {"gowin-mi", "#File_format=Bin\n#Address_depth=4\n#Data_width=8\n" + bits},
  };
  for (const auto& [format, sample] : samples) {
    const Written w = write(format, Order::Big, segs, s, {"--radix=2"});
    ASSERT_EQ(w.images.size(), 1u);
    EXPECT_EQ(w.images[0], sample) << format;
  }
  const Written hex = write("coe", Order::Big, segs, s, {"--radix=16"});
  ASSERT_EQ(hex.images.size(), 1u);
  EXPECT_EQ(hex.images[0], "memory_initialization_radix=16;\nmemory_initialization_vector=\n00,\n11,\n22,\n33;\n");
}

TEST(MemoryFormats, Uf2CarriesTheFamilyAndFillsItsPages) {
  const std::vector<Seg> segs = {text(0x10000104, counting(0x210, 1))};
  const Shape s{.width = 32, .base = 0x10000104, .size = 0x210, .fill = 0xa5};
  const std::pair<const char*, uint32_t> families[] = {
      {"rp2040", 0xe48bff56}, {"RP2350-ARM-S", 0xe48bff59}, {"samd21", 0x68ed2b88}, {"samd51", 0x55114460},
      {"nrf52840", 0xada52840}, {"stm32f4", 0x57755a57}, {"esp32s2", 0xbfdd4eee}, {"0x12345678", 0x12345678},
      {"305419896", 0x12345678}};
  for (const auto& [family, id] : families) {
    SCOPED_TRACE(family);
    const Written w = write("uf2", Order::Little, segs, s, {std::string("--uf2-family=") + family});
    ASSERT_EQ(w.images.size(), 1u);
    EXPECT_EQ(w.images[0].size(), 3u * 512) << "0x10000100 to 0x10000400";
    Want want{"rom_image", 32, s.words(), s.base, 0x1004};
    want.family = id;
    std::vector<uint8_t> pad;
    EXPECT_EQ(uf2Bytes(w.images[0], want, &pad), model::memory(segs, s));
    EXPECT_EQ(pad, std::vector<uint8_t>(0x300 - 0x210, 0xa5));
  }
}

namespace {

using model::placedStretches;

using Records = std::vector<std::pair<uint64_t, std::vector<uint8_t>>>;

// The data records of a sparse Intel HEX or S-record image of lane `lane`:
// with one lane the placed bytes themselves, with lanes the lane's bytes of
// every word that holds a placed byte; written from `origin`, each stretch
// cut into records of `most` bytes from its start (and at every 64 KiB
// boundary when `cut64k`).
Records sparseRecords(const std::vector<Seg>& segs, const Shape& s, Order order, uint32_t lane, uint64_t origin,
                      size_t most, bool cut64k) {
  const std::vector<uint8_t> mem = model::memory(segs, s);
  const bool oneLane = s.lanes == 1;
  const uint64_t unit = oneLane ? 1 : s.laneBytes();
  const std::vector<uint8_t> bytes = oneLane ? mem : model::laneBytes(model::laneWords(mem, s, order, lane, true));
  Records out;
  for (const auto& [first, end] : placedStretches(segs, s, oneLane ? 1 : s.wordBytes(), !oneLane)) {
    for (uint64_t at = first * unit; at < end * unit;) {
      uint64_t n = std::min<uint64_t>(most, end * unit - at);
      if (cut64k) n = std::min<uint64_t>(n, 0x10000 - (origin + at) % 0x10000);
      out.push_back({origin + at, {bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + n)}});
      at += n;
    }
  }
  return out;
}

// 19 bytes and then 9 right after them, sharing a 32-bit word.
const std::vector<Seg> touching = {text(0x1000, counting(0x13)), data(0x1013, counting(0x9, 0x80))};

}  // namespace

TEST(SparseImages, IhexAndSrecHoldThePlacedBytesOnly) {
  struct SparseCase {
    const char* what;
    Shape shape;
    std::vector<std::string> extra;
    uint64_t origin;  // the address written for the region's first byte
    size_t most = 16;
    std::vector<Seg> segs = gapped;
  };
  const SparseCase cases[] = {
      {"no fill given", {.width = 32, .fill = 0xa5}, {"--no-fill"}, 0x1000},
      {"run addresses: the zero tail is placed", {.width = 32, .fill = 0xa5, .run = true}, {"--no-fill"}, 0x1000},
      {"--sparse with a fill", {.width = 16, .fill = 0x5a}, {"--sparse"}, 0x1000},
      {"records of 5 bytes", {.width = 8}, {"--no-fill", "--record-bytes=5"}, 0x1000, 5},
      {"rebased to 0", {.width = 32}, {"--no-fill", "--rebase=0"}, 0},
      {"records of 255 bytes rebased across 64 KiB",
       {.width = 8},
       {"--no-fill", "--rebase=0xffe0", "--record-bytes=255"},
       0xffe0,
       255},
      {"a segment across 64 KiB from an odd address",
       {.width = 8, .base = 0xfff8, .size = 0x30},
       {"--no-fill"},
       0xfff8,
       16,
       {text(0xfffb, counting(0x21, 0x40))}},
      {"touching segments: records start again at the second", {.width = 32}, {"--no-fill"}, 0x1000, 16, touching},
      {"four lanes: every word with a placed byte", {.width = 32, .lanes = 4, .fill = 0x3c}, {"--no-fill"}, 0x400},
      {"two lanes rebased, a fill in the words' unplaced bytes",
       {.width = 64, .lanes = 2, .fill = 0x11},
       {"--sparse", "--rebase=0x100", "--record-bytes=7"},
       0x100,
       7},
      {"lanes of words that touching segments share", {.width = 32, .lanes = 2, .fill = 0xee}, {"--no-fill"}, 0x800, 16,
       touching},
  };
  for (const SparseCase& c : cases) {
    for (Order order : {Order::Little, Order::Big}) {
      for (const char* format : {"ihex", "srec"}) {
        SCOPED_TRACE(std::string(c.what) + ", " + name(order) + " executable, " + format);
        const Written w = write(format, order, c.segs, c.shape, c.extra);
        ASSERT_EQ(w.images.size(), c.shape.lanes);
        for (uint32_t lane = 0; lane < c.shape.lanes; lane++) {
          const bool ihex = std::string(format) == "ihex";
          Records got;
          uint64_t start = 0;
          if (ihex) {
            const IntelHex h = readIntelHex(w.images[lane], true, c.most);
            got.assign(h.records.begin(), h.records.end());
            start = h.start.value_or(0);
          } else {
            const Srecords h = readSrecords(w.images[lane], c.most);
            got.assign(h.records.begin(), h.records.end());
            start = h.start;
          }
          EXPECT_EQ(got, sparseRecords(c.segs, c.shape, order, lane, c.origin, c.most, ihex)) << "lane " << lane;
          // The entry moves with the addresses when they are rebased.
          const uint64_t entry = c.origin == c.shape.laneAddress()
                                     ? 0x1004
                                     : c.origin + (0x1004 - c.shape.base) / c.shape.wordBytes() * c.shape.laneBytes() +
                                           (c.shape.lanes == 1 ? (0x1004 - c.shape.base) % c.shape.wordBytes() : 0);
          EXPECT_EQ(start, entry);
        }
      }
    }
  }
}

TEST(SparseImages, VmemWritesEachStretchOfWordsAfterItsIndex) {
  struct VmemCase {
    const char* what;
    Shape shape;
    std::vector<std::string> extra;
    uint64_t origin = 0;
    std::vector<Seg> segs = gapped;
  };
  const VmemCase cases[] = {
      {"32-bit words", {.width = 32, .fill = 0xa5}, {"--sparse"}},
      {"bytes, the fill words after the region left out", {.width = 8, .depth = 0x100}, {"--sparse"}},
      {"run addresses: the zero tail is placed", {.width = 64, .fill = 0x5a, .run = true}, {"--sparse"}},
      {"rebased", {.width = 16}, {"--sparse", "--rebase=0x7ff0"}, 0x7ff0},
      {"touching segments share a word", {.width = 32, .fill = 0xee}, {"--sparse"}, 0, touching},
      {"four lanes of 4 bits", {.width = 16, .lanes = 4, .fill = 0xc3}, {"--sparse"}},
      {"two lanes of 64 bits rebased", {.width = 128, .lanes = 2}, {"--sparse", "--rebase=0x10"}, 0x10},
  };
  for (const VmemCase& c : cases) {
    for (Order order : {Order::Little, Order::Big}) {
      SCOPED_TRACE(std::string(c.what) + ", " + name(order) + " executable");
      const Written w = write("vmem", order, c.segs, c.shape, c.extra);
      ASSERT_EQ(w.images.size(), c.shape.lanes);
      const std::vector<uint8_t> mem = model::memory(c.segs, c.shape);
      for (uint32_t lane = 0; lane < c.shape.lanes; lane++) {
        const std::vector<std::string> words = model::laneWords(mem, c.shape, order, lane);
        std::string want;
        for (const auto& [first, end] : placedStretches(c.segs, c.shape, c.shape.wordBytes(), true)) {
          char at[32];
          snprintf(at, sizeof at, "@%llx\n", static_cast<unsigned long long>(c.origin + first));
          want += at;
          for (uint64_t k = first; k < end; k++) want += words[k] + "\n";
        }
        EXPECT_EQ(w.images[lane], want) << "lane " << lane;
      }
    }
  }
}

TEST(SparseImages, MifAddressesFromTheRebase) {
  const Shape s{.base = 0x1000, .size = 12, .fill = 0xff};
  const Written w = write("mif", Order::Big, {text(0x1000, counting(8))}, s, {"--rebase=0xfe"});
  ASSERT_EQ(w.images.size(), 1u);
  EXPECT_EQ(w.images[0],
            "WIDTH=32;\nDEPTH=3;\n\nADDRESS_RADIX=HEX;\nDATA_RADIX=HEX;\n\nCONTENT BEGIN\n"
            "  0FE : 01020304;\n  0FF : 05060708;\n  100 : FFFFFFFF;\nEND;\n");
}

TEST(SparseImages, SrecordsTakeTheShortestAddressThatHoldsTheFile) {
  // The gapped executable's last placed byte lies 0x53 past the region's
  // base, its entry 4 past it.
  const std::pair<std::vector<std::string>, char> cases[] = {
      {{}, '1'},
      {{"--rebase=0xffac"}, '1'},
      {{"--rebase=0xffad"}, '2'},
      {{"--rebase=0xffffac"}, '2'},
      {{"--rebase=0xffffad"}, '3'},
      {{"--srec-s3"}, '3'},
  };
  for (const auto& [extra, type] : cases) {
    std::vector<std::string> args = extra;
    args.push_back("--no-fill");
    const Written w = write("srec", Order::Big, gapped, {.width = 8}, args);
    ASSERT_EQ(w.images.size(), 1u);
    const bool forced = !extra.empty() && extra[0] == "--srec-s3";
    EXPECT_EQ(readSrecords(w.images[0], 16, forced).type, type) << (extra.empty() ? "" : extra[0]);
  }
}

TEST(SparseImages, SrecordsCutLongRecordsToWhatTheirCountHolds) {
  // The count byte covers the address, the data and the checksum: 252 data
  // bytes with 16-bit addresses, 251 with 24, 250 with 32.
  const std::vector<Seg> segs = {text(0x1000, counting(600))};
  const std::pair<std::vector<std::string>, size_t> cases[] = {
      {{}, 252}, {{"--rebase=0x10000"}, 251}, {{"--srec-s3"}, 250}, {{"--record-bytes=100"}, 100}};
  for (const auto& [extra, most] : cases) {
    std::vector<std::string> args = extra;
    args.push_back("--no-fill");
    if (extra.empty() || extra[0] != "--record-bytes=100") args.push_back("--record-bytes=255");
    const Written w = write("srec", Order::Little, segs, {.width = 8, .size = 600}, args);
    ASSERT_EQ(w.images.size(), 1u);
    const Srecords h = readSrecords(w.images[0], most, extra.size() == 1 && extra[0] == "--srec-s3");
    ASSERT_FALSE(h.records.empty());
    EXPECT_EQ(h.records.begin()->second.size(), most) << (extra.empty() ? "" : extra[0]);
    EXPECT_EQ(h.records.size(), (600 + most - 1) / most);
  }
}

namespace {

// The blocks of the SDKs' UF2 converters for bytes placed at their
// addresses: a block for each 256-byte page that holds a placed byte, in
// rising order, numbered from 0 with the count of blocks in each; the
// bytes of a page that nothing places hold `fill`.
std::string sdkUf2(const std::vector<Seg>& segs, uint8_t fill, std::optional<uint32_t> family) {
  std::map<uint64_t, std::string> pages;
  for (const Seg& seg : segs) {
    for (size_t i = 0; i < seg.bytes.size(); i++) {
      const uint64_t a = seg.vaddr + i;
      pages.try_emplace(a / 256 * 256, std::string(256, static_cast<char>(fill))).first->second[a % 256] =
          static_cast<char>(seg.bytes[i]);
    }
  }
  auto le = [](uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; };
  std::string out;
  uint32_t k = 0;
  for (const auto& [address, payload] : pages) {
    out += le(0x0A324655) + le(0x9E5D5157) + le(family ? 0x2000 : 0) + le(static_cast<uint32_t>(address)) + le(256) +
           le(k++) + le(static_cast<uint32_t>(pages.size())) + le(family.value_or(0)) + payload +
           std::string(476 - 256, '\0') + le(0x0AB16F30);
  }
  return out;
}

}  // namespace

TEST(SparseImages, Uf2HoldsThePagesOfPlacedBytesAsTheSdkConvertersWriteThem) {
  struct Uf2Case {
    const char* what;
    Shape shape;
    std::vector<Seg> segs;
    std::vector<std::string> extra;
    std::optional<uint32_t> family;
  };
  const Uf2Case cases[] = {
      // The image of the benchmark: 1 MiB of flash and 4 KiB far above it.
      {"1 MiB at 0 and 4 KiB at 0x10001000",
       {.width = 32, .base = 0, .size = 0x10002000, .fill = 0xff},
       {text(0, counting(1 << 20, 7)), data(0x10001000, counting(0x1000, 0x33))}},
      // A boot loader's update: flash, and two words of UICR in a page of
      // their own, for a family that checks its ID.
      {"flash and UICR",
       {.width = 8, .base = 0x26000, .size = 0x10001018 - 0x26000, .fill = 0xff},
       {text(0x26010, counting(0x2f3)), data(0x10001014, {0x00, 0x60, 0x02, 0x00})},
       {"--uf2-family=nrf52840"},
       0xada52840},
      {"two segments in one page, a page between them",
       {.width = 32, .base = 0x1000, .size = 0x400, .fill = 0x5a},
       {text(0x1010, counting(0x20)), data(0x1080, counting(4, 0x90)), data(0x1300, counting(0x10, 0xa0))}},
      {"a memory that starts and ends within a page",
       {.width = 16, .base = 0x1080, .size = 0x100, .fill = 0x11},
       {text(0x1080, counting(0x10)), data(0x1170, counting(0x10, 0x40))}},
  };
  for (const Uf2Case& c : cases) {
    for (Order order : {Order::Little, Order::Big}) {
      SCOPED_TRACE(std::string(c.what) + ", " + name(order) + " executable");
      const Written w = write("uf2", order, c.segs, c.shape, c.extra);
      ASSERT_EQ(w.images.size(), 1u);
      EXPECT_TRUE(w.images[0] == sdkUf2(c.segs, c.shape.fill, c.family)) << "blocks: " << w.images[0].size() / 512;
    }
  }
  // --dense: every page of the memory.
  const Uf2Case& c = cases[2];
  std::vector<std::string> args = c.extra;
  args.push_back("--dense");
  const Written w = write("uf2", Order::Little, c.segs, c.shape, args);
  ASSERT_EQ(w.images.size(), 1u);
  std::vector<uint64_t> pages;
  Want want{"rom_image", 32, c.shape.words(), c.shape.base, 0x1004};
  want.fill = c.shape.fill;
  EXPECT_EQ(uf2Bytes(w.images[0], want, nullptr, &pages), model::memory(c.segs, c.shape));
  EXPECT_EQ(pages, (std::vector<uint64_t>{0x1000, 0x1100, 0x1200, 0x1300}));
}

TEST(SparseImages, Uf2OfALaneHoldsThePagesOfItsWordsWithPlacedBytes) {
  // Words with placed bytes at 0x1000.. and 0x1600..; in each lane's own
  // space the pages that hold the lane's bytes of those words, lanes of 3
  // bytes among them, which pages cut in the middle of a word.
  const std::vector<Seg> segs = {text(0x1000, counting(0x130)), data(0x1604, counting(0x8, 0x80))};
  const Shape shapes[] = {{.width = 64, .lanes = 2, .base = 0x1000, .size = 0x800, .fill = 0x3c},
                          {.width = 48, .lanes = 2, .base = 0xffc, .size = 0x804, .fill = 0xc3},
                          {.width = 32, .lanes = 4, .base = 0x1000, .size = 0x800, .fill = 0x5a}};
  for (const Shape& s : shapes) {
    for (Order order : {Order::Little, Order::Big}) {
      SCOPED_TRACE(std::to_string(s.lanes) + " lanes of " + std::to_string(s.laneBits()) + " bits, " + name(order));
      const Written w = write("uf2", order, segs, s);
      ASSERT_EQ(w.images.size(), s.lanes);
      const std::vector<uint8_t> mem = model::memory(segs, s);
      std::vector<uint64_t> want;
      for (const auto& [first, end] : model::placedStretches(segs, s, s.wordBytes(), true)) {
        for (uint64_t page = (s.laneAddress() + first * s.laneBytes()) / 256 * 256;
             page < s.laneAddress() + end * s.laneBytes(); page += 256) {
          if (want.empty() || want.back() < page) want.push_back(page);
        }
      }
      for (uint32_t lane = 0; lane < s.lanes; lane++) {
        std::vector<uint64_t> pages;
        Want wanted{"rom_image", s.laneBits(), s.words(), s.laneAddress(), 0x1004};
        wanted.fill = s.fill;
        EXPECT_EQ(wordsOf(uf2Bytes(w.images[lane], wanted, nullptr, &pages), s.laneBits()),
                  model::laneWords(mem, s, order, lane, true));
        EXPECT_EQ(pages, want) << "lane " << lane;
      }
    }
  }
}

TEST(MemoryFormats, CrlfEndsEveryLineOfEveryTextFormat) {
  const Shape s{.width = 16, .base = 0x1000, .size = 0x60, .fill = 0xa5};
  for (const memFormat& f : memFormats()) {
    if ((f.uses & useLines) == 0) continue;
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, std::vector<std::string>{"--no-fill"}}) {
      if (!extra.empty() && !f.addresses) continue;  // a sparse file: every stretch after its address line
      SCOPED_TRACE(std::string(f.name) + (extra.empty() ? "" : ", sparse"));
      std::vector<std::string> args = extra;
      if (strcmp(f.name, "c") == 0) args.push_back("--header=h");
      if (strcmp(f.name, "srec") == 0) args.push_back("--srec-header=HDR");
      const Written lf = write(f.name, Order::Big, gapped, s, args);
      args.push_back("--line-ending=crlf");
      const Written crlf = write(f.name, Order::Big, gapped, s, args);
      ASSERT_EQ(lf.images.size(), 1u);
      ASSERT_EQ(crlf.images.size(), 1u);
      auto toCrlf = [](const std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? "\r\n" : std::string(1, c);
        return out;
      };
      EXPECT_EQ(std::count(lf.images[0].begin(), lf.images[0].end(), '\r'), 0);
      EXPECT_EQ(crlf.images[0], toCrlf(lf.images[0]));
      EXPECT_EQ(crlf.headers, [&] {
        std::vector<std::string> h;
        for (const std::string& t : lf.headers) h.push_back(toCrlf(t));
        return h;
      }());
    }
  }
}
