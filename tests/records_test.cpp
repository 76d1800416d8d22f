// The readers of Intel HEX and S-records: files written by objcopy and
// srec_cat read back to the bytes they were made from, refusals of broken
// lines, and recognition by content.
#include <elf.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "elf_fixture.hpp"
#include "read/registry.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

struct Read {
  status st;
  image img;
  std::string err() const { return st ? "" : st.error().message; }
};

// Reads `text` as the input `name` (a regular file, or a pipe) with `reader`.
Read readText(inputReader reader, const std::string& name, const std::string& text,
              uint32_t index = 0, bool pipe = false, image img = {}) {
  Read r{done, std::move(img)};
  TempDir dir;
  inputSource in{name, index};
  std::thread writer;
  int fds[2] = {-1, -1};
  if (pipe) {
    EXPECT_EQ(::pipe(fds), 0);
    in.fd = fds[0];
    writer = std::thread([&] {
      for (size_t at = 0; at < text.size();) {
        const ssize_t n = write(fds[1], text.data() + at, text.size() - at);
        if (n <= 0) break;
        at += static_cast<size_t>(n);
      }
      close(fds[1]);
    });
  } else {
    writeFile(dir.path / name, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    in.fd = open((dir.path / name).c_str(), O_RDONLY);
    in.regular = true;
    in.size = text.size();
  }
  r.st = reader(in, r.img);
  if (pipe) {
    // A refusal may leave the pipe unread: let the writer finish.
    char sink[4096];
    while (read(in.fd, sink, sizeof sink) > 0) {
    }
    writer.join();
  }
  close(in.fd);
  return r;
}

Read readFileAt(inputReader reader, const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return readText(reader, path.filename().string(), s.str());
}

// An Intel HEX record of `type` with the 16-bit address `addr`.
std::string ihex(unsigned type, unsigned addr, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(addr >> 8),
                            static_cast<uint8_t>(addr), static_cast<uint8_t>(type)};
  b.insert(b.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t x : b) sum += x;
  b.push_back(static_cast<uint8_t>(0x100 - (sum & 0xff)));
  std::string s = ":";
  char h[3];
  for (uint8_t x : b) snprintf(h, sizeof h, "%02X", x), s += h;
  return s + "\n";
}

// An S-record of type `type` whose address field is `width` bytes.
std::string srec(int type, uint64_t addr, size_t width, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> b = {static_cast<uint8_t>(width + data.size() + 1)};
  for (size_t i = width; i-- > 0;) b.push_back(static_cast<uint8_t>(addr >> (8 * i)));
  b.insert(b.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (uint8_t x : b) sum += x;
  b.push_back(static_cast<uint8_t>(~sum));
  std::string s = "S";
  s += static_cast<char>('0' + type);
  char h[3];
  for (uint8_t x : b) snprintf(h, sizeof h, "%02X", x), s += h;
  return s + "\n";
}

std::vector<uint8_t> bytes(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// The image's bytes by address; an address given twice fails the test.
std::map<uint64_t, uint8_t> flatten(const image& img) {
  std::map<uint64_t, uint8_t> m;
  for (const segment& s : img.segments) {
    EXPECT_EQ(s.fileSize, s.bytes.size());
    for (size_t i = 0; i < s.bytes.size(); i++) {
      EXPECT_TRUE(m.emplace(s.load + i, s.bytes[i]).second) << std::hex << s.load + i;
    }
  }
  return m;
}

// Runs `command` with sh in `dir`; a failure shows its output.
void sh(const fs::path& dir, const std::string& command) {
  const std::string line = "cd '" + dir.string() + "' && { " + command + "; } 2>&1";
  FILE* p = popen(line.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << out;
}

std::string text(const fs::path& path) {
  const std::vector<uint8_t> b = readFile(path);
  return {b.begin(), b.end()};
}

uint64_t loadAddr(const std::string& program) {
  return std::stoull(text(testdata / (program + ".load.addr")), nullptr, 16);
}

constexpr uint64_t load = UINT64_MAX;

// A file made by a real writer: the command (run in a temporary directory
// where `in.bin` holds the program's load image and `in.elf` the program),
// the reader, where the image lands, and the start address it gives.
struct Made {
  std::string label;
  std::string program;
  std::string command;  // makes `out`; ADDR and START stand for the addresses
  inputReader reader;
  uint64_t at;          // where the image goes; `load`: the program's load address
  std::optional<int64_t> start;  // the start address less the address, if one is given
  bool fromElf = false; // the bytes between the ELF's segments are not in it
};

std::ostream& operator<<(std::ostream& o, const Made& m) { return o << m.label; }

class RecordRoundTrip : public testing::TestWithParam<Made> {};

std::string replace(std::string s, const std::string& what, const std::string& with) {
  for (size_t at; (at = s.find(what)) != std::string::npos;) s.replace(at, what.size(), with);
  return s;
}

std::string hex(uint64_t v) {
  char b[24];
  snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
  return b;
}

}  // namespace

TEST_P(RecordRoundTrip, ReadsBackTheBytesAndStartAddressWritten) {
  const Made& m = GetParam();
  TempDir dir;
  const uint64_t addr = m.at == load ? loadAddr(m.program) : m.at;
  const uint64_t start = addr + static_cast<uint64_t>(m.start.value_or(0));
  fs::copy_file(testdata / (m.program + ".load.bin"), dir.path / "in.bin");
  fs::copy_file(testdata / (m.program + ".elf"), dir.path / "in.elf");
  sh(dir.path, replace(replace(m.command, "ADDR", hex(addr)), "START", hex(start)));

  const Read r = readFileAt(m.reader, dir.path / "out");
  ASSERT_TRUE(r.st) << r.err();
  const std::vector<uint8_t> bin = readFile(dir.path / "in.bin");
  std::vector<uint8_t> got(bin.size(), 0);
  for (const auto& [a, b] : flatten(r.img)) {
    ASSERT_TRUE(a >= addr && a - addr < bin.size()) << std::hex << a;
    got[a - addr] = b;
  }
  EXPECT_EQ(got, bin);
  if (!m.fromElf) {
    EXPECT_EQ(flatten(r.img).size(), bin.size());
  }
  EXPECT_EQ(r.img.hasEntry, m.start.has_value());
  if (m.start) {
    EXPECT_EQ(r.img.entry, start);
  }
  for (const segment& s : r.img.segments) {
    EXPECT_EQ(s.run, s.load);
    EXPECT_EQ(s.memSize, s.fileSize);
    EXPECT_EQ(s.flags, uint32_t{PF_R | PF_W | PF_X});
    EXPECT_EQ(s.type, uint32_t{PT_LOAD});
    EXPECT_EQ(s.index, -1);
    EXPECT_TRUE(s.readable);
  }
}

namespace {

std::vector<Made> madeFiles() {
  const std::string cat = "srec_cat in.bin -binary -offset ADDR -o out ";
  std::vector<Made> v;
  for (const std::string p : {"romcopy-arm", "romcopy-mips"}) {
    const std::string tag = p == "romcopy-arm" ? "Arm" : "Mips";
    const int64_t elfStart = p == "romcopy-arm" ? 0x45 : 0;  // the ELF's entry
    const std::nullopt_t none = std::nullopt;
    v.push_back({"ObjcopyIhex" + tag, p, "objcopy -O ihex in.elf out", readIhex, load, elfStart, true});
    v.push_back({"ObjcopySrec" + tag, p, "objcopy -O srec in.elf out", readSrec, load, elfStart, true});
    v.push_back({"IhexLinear" + tag, p, cat + "-intel -execution-start-address START", readIhex, load, 8});
    v.push_back({"IhexLinearBlock16" + tag, p, cat + "-intel -Output_Block_Size 16", readIhex, load, none});
    // 02 records: 20-bit addresses, here across a 64 KiB boundary. srec_cat
    // writes the halves of the start address as CS and IP, which agrees
    // with CS * 16 + IP below 64 KiB only.
    v.push_back({"IhexSegmented" + tag, p,
                 cat + "-intel -address-length=3 -execution-start-address START", readIhex, 0xfff0, -0x10});
    v.push_back({"S19" + tag, p, cat + "-motorola -address-length=2 -execution-start-address START", readSrec,
                 0x8000, 2});
    v.push_back({"S28Block16" + tag, p,
                 cat + "-motorola -address-length=3 -Output_Block_Size 16 -execution-start-address START",
                 readSrec, 0xfff000, 4});
    v.push_back({"S37Block32" + tag, p,
                 cat + "-motorola -address-length=4 -Output_Block_Size 32 -execution-start-address START",
                 readSrec, load, 0});
    v.push_back({"S37NoStart" + tag, p, cat + "-motorola -address-length=4", readSrec, load, none});
  }
  return v;
}

INSTANTIATE_TEST_SUITE_P(RealWriters, RecordRoundTrip, testing::ValuesIn(madeFiles()),
                         [](const auto& p) { return p.param.label; });

}  // namespace

namespace {

// A broken file and the one line that refuses it.
struct Broken {
  std::string label;
  inputReader reader;
  std::string text;
  std::string message;
};

std::ostream& operator<<(std::ostream& o, const Broken& b) { return o << b.label; }

class RecordRefusal : public testing::TestWithParam<Broken> {};

const std::string hexEnd = ihex(1, 0, {});

std::vector<Broken> brokenFiles() {
  const auto d16 = bytes(16);
  return {
      // Intel HEX
      {"IhexChecksum", readIhex, ihex(0, 0, {1}) + ":0100000000FE\n",
       "boot.hex:2: checksum 0xfe, the record's bytes need 0xff\n"},
      {"IhexCountAboveBytes", readIhex, ":0300000000FD\n",
       "boot.hex:1: the count says 0x03 data bytes, the line holds 0x01\n"},
      {"IhexCountBelowBytes", readIhex, ":00000000000000\n",
       "boot.hex:1: the count says 0x00 data bytes, the line holds 0x02\n"},
      {"IhexType06", readIhex, "\n\n\n" + ihex(6, 0, {}), "boot.hex:4: a record of type 06\n"},
      {"IhexLetter", readIhex, ":10g000\n", "boot.hex:1: 'g' is not a hex digit\n"},
      {"IhexControlByte", readIhex, std::string(":00\x01", 4) + "00001FF\n",
       "boot.hex:1: byte 0x01 is not a hex digit\n"},
      {"IhexBlankInside", readIhex, ":00000001 FF\n", "boot.hex:1: ' ' is not a hex digit\n"},
      {"IhexOddDigits", readIhex, ":00000001FF0\n", "boot.hex:1: an odd number of hex digits\n"},
      {"IhexShortLine", readIhex, ":00000001\n", "boot.hex:1: the line holds 0x04 bytes, too few for a record\n"},
      {"IhexColonOnly", readIhex, ":\n", "boot.hex:1: the line holds 0x00 bytes, too few for a record\n"},
      {"IhexNotARecord", readIhex, "hello\n", "boot.hex:1: a line that is not a record\n"},
      {"IhexIndentedRecord", readIhex, "  " + hexEnd, "boot.hex:1: a line that is not a record\n"},
      {"IhexType02OneByte", readIhex, ihex(2, 0, {0x10}),
       "boot.hex:1: a record of type 02 must hold 2 bytes, this one holds 1\n"},
      {"IhexType04ThreeBytes", readIhex, ihex(4, 0, {0, 1, 2}),
       "boot.hex:1: a record of type 04 must hold 2 bytes, this one holds 3\n"},
      {"IhexType03TwoBytes", readIhex, ihex(3, 0, {0, 1}),
       "boot.hex:1: a record of type 03 must hold 4 bytes, this one holds 2\n"},
      {"IhexType05FiveBytes", readIhex, ihex(5, 0, {0, 1, 2, 3, 4}),
       "boot.hex:1: a record of type 05 must hold 4 bytes, this one holds 5\n"},
      {"IhexType01WithData", readIhex, ihex(1, 0, {0}),
       "boot.hex:1: a record of type 01 must hold 0 bytes, this one holds 1\n"},
      {"IhexLineAfterEnd", readIhex, hexEnd + "\r\n" + ihex(0, 0, {1}),
       "boot.hex:3: a line after the end-of-file record on line 1\n"},
      {"IhexSecondStartAddress", readIhex, ihex(5, 0, {0, 0, 1, 0}) + ihex(3, 0, {0, 0x10, 0, 1}),
       "boot.hex:2: a second start address 0x00000101; line 1 gave 0x00000100\n"},
      {"IhexSameAddressTwice", readIhex,
       ihex(4, 0, {0, 1}) + ihex(0, 0x1000, d16) + ihex(0, 0x2000, d16) + ihex(0, 0x1008, d16),
       "boot.hex:4: bytes at 0x00011008..0x0001100f were given before, on line 2\n"},
      // The clash is with the second of two records of one run.
      {"IhexSameAddressInLongerRun", readIhex,
       ihex(0, 0x1000, d16) + ihex(0, 0x1010, d16) + ihex(0, 0x3000, d16) + ihex(0, 0x1018, {1, 2}),
       "boot.hex:4: bytes at 0x00001018..0x00001019 were given before, on line 2\n"},
      // A run that goes up into one given before.
      {"IhexRunGrowsIntoEarlierOne", readIhex,
       ihex(0, 0x1008, d16) + ihex(0, 0x0ff8, bytes(8)) + ihex(0, 0x1000, d16),
       "boot.hex:3: bytes at 0x00001008..0x0000100f were given before, on line 1\n"},
      // 02: the offset wraps inside the segment onto the record of line 2.
      {"IhexSegmentWrapMeetsEarlierBytes", readIhex,
       ihex(2, 0, {0x10, 0}) + ihex(0, 0, {1, 2}) + ihex(0, 0xffff, {3, 4}),
       "boot.hex:3: bytes at 0x00010000..0x00010000 were given before, on line 2\n"},
      // S-records
      {"SrecChecksum", readSrec, "S0030000FC\nS1040000013C\n",
       "boot.srec:2: checksum 0x3c, the record's bytes need 0xfa\n"},
      {"SrecCountAboveBytes", readSrec, "S1130000000000000000000000000000000000EC\n",
       "boot.srec:1: the count says 0x13 bytes, the line holds 0x12\n"},
      {"SrecType4", readSrec, "S4030000FC\n", "boot.srec:1: a record of type S4\n"},
      {"SrecLetter", readSrec, "S1030000zz\n", "boot.srec:1: 'z' is not a hex digit\n"},
      {"SrecOddDigits", readSrec, "S1030000FC0\n", "boot.srec:1: an odd number of hex digits\n"},
      {"SrecNoBytes", readSrec, "S9\n", "boot.srec:1: the line holds no bytes, too few for a record\n"},
      {"SrecNoTypeDigit", readSrec, "SX030000FC\n", "boot.srec:1: a line that is not a record\n"},
      {"SrecNotARecord", readSrec, "S\n", "boot.srec:1: a line that is not a record\n"},
      {"SrecS1WithoutAddress", readSrec, "S1020000\n",
       "boot.srec:1: the count of an S1 record must be at least 0x03, this one is 0x02\n"},
      {"SrecS3ShortAddress", readSrec, srec(3, 0, 3, {}),
       "boot.srec:1: the count of an S3 record must be at least 0x05, this one is 0x04\n"},
      {"SrecS9WithData", readSrec, srec(9, 0, 2, {1}),
       "boot.srec:1: the count of an S9 record must be 0x03, this one is 0x04\n"},
      {"SrecS5ThreeByteCount", readSrec, srec(5, 0, 3, {}),
       "boot.srec:1: the count of an S5 record must be 0x03, this one is 0x04\n"},
      {"SrecCountMismatch", readSrec, srec(1, 0, 2, {1}) + srec(1, 1, 2, {2}) + srec(5, 3, 2, {}),
       "boot.srec:3: the record count says 3, the data records before it are 2\n"},
      {"SrecS6CountMismatch", readSrec, srec(2, 0, 3, {1}) + srec(6, 0, 3, {}),
       "boot.srec:2: the record count says 0, the data records before it are 1\n"},
      {"SrecPast4GiB", readSrec, srec(3, 0xfffffff0, 4, bytes(17)),
       "boot.srec:1: bytes at 0xfffffff0..0x100000000, past 0xffffffff\n"},
      {"SrecLineAfterEnd", readSrec, srec(9, 0, 2, {}) + srec(1, 0, 2, {1}),
       "boot.srec:2: a line after the S9 record on line 1, which ends the records\n"},
      // Records cut at a line boundary: no end record, or data after the
      // count; the last line that holds a record is named.
      {"IhexWithoutEndRecord", readIhex, ihex(4, 0, {0, 1}) + ihex(0, 0x10, {1}) + "\n",
       "boot.hex: ends at line 2 without an end-of-file record (type 01); it may have been cut short\n"},
      {"IhexType04WithAddress", readIhex, ihex(4, 0x10, {0, 1}) + hexEnd,
       "boot.hex:1: a record of type 04 must have the address 0000, this one has 0010\n"},
      {"SrecWithoutEndRecord", readSrec, srec(0, 0, 2, {}) + srec(1, 0x10, 2, {1}),
       "boot.srec: ends at line 2 without an S7, S8 or S9 record or a record count; it may have been cut short\n"},
      {"SrecDataAfterTheCount", readSrec, srec(1, 0x10, 2, {1}) + srec(5, 1, 2, {}) + srec(1, 0x11, 2, {2}),
       "boot.srec: ends at line 3 without an S7, S8 or S9 record or a record count; it may have been cut short\n"},
      {"SrecSameAddressTwice", readSrec, srec(0, 0, 2, {}) + srec(2, 0x123456, 3, d16) + srec(3, 0x12345f, 4, {1}),
       "boot.srec:3: bytes at 0x0012345f..0x0012345f were given before, on line 2\n"},
  };
}

INSTANTIATE_TEST_SUITE_P(BrokenLines, RecordRefusal, testing::ValuesIn(brokenFiles()),
                         [](const auto& p) { return p.param.label; });

}  // namespace

// A refusal names the line, and the image is left as it was.
TEST_P(RecordRefusal, NamesTheLineAndLeavesTheImageAlone) {
  const Broken& b = GetParam();
  image before;
  before.owned.push_back({9, 9});
  before.segments.push_back(segment{.load = 0x1000, .fileSize = 2, .bytes = before.owned.back()});
  const Read r = readText(b.reader, b.reader == readIhex ? "boot.hex" : "boot.srec", b.text, 0, false,
                          std::move(before));
  EXPECT_EQ(r.err(), b.message);
  EXPECT_EQ(r.img.segments.size(), 1u);
  EXPECT_EQ(r.img.owned.size(), 1u);
  EXPECT_FALSE(r.img.hasEntry);
}

// From a pipe, which cannot be read twice, the clash names the lines of
// the earlier run.
TEST(RecordClash, FromAPipeNamesTheLinesOfTheEarlierRun) {
  const std::string t = ihex(0, 0x100, bytes(16)) + ihex(0, 0x110, bytes(16)) + ihex(0, 0x118, {1});
  const Read r = readText(readIhex, "boot.hex", t, 0, true);
  EXPECT_EQ(r.err(), "boot.hex:3: bytes at 0x00000118..0x00000118 were given before, on lines 1 to 2\n");
  const Read one = readText(readIhex, "boot.hex", ihex(0, 0x100, bytes(16)) + ihex(0, 0x10f, {1}), 0, true);
  EXPECT_EQ(one.err(), "boot.hex:2: bytes at 0x0000010f..0x0000010f were given before, on line 1\n");
}

TEST(RecordRead, ReadErrorNamesTheFileAndTheCause) {
  TempDir dir;
  image img;
  inputSource in{"boot.hex", 0, open(dir.path.c_str(), O_RDONLY | O_DIRECTORY)};
  ASSERT_GE(in.fd, 0);
  const status s = readIhex(in, img);
  close(in.fd);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().message, "boot.hex: cannot read it: Is a directory\n");
}

TEST(RecordRead, RefusesALineLongerThanTheLongestTaken) {
  const std::string t = ihex(0, 0, {1}) + ":" + std::string(70000, '0') + "\n";
  EXPECT_EQ(readText(readIhex, "boot.hex", t).err(), "boot.hex:2: a line longer than 65536 characters\n");
  // Blanks after a record are no part of it, up to that length.
  EXPECT_TRUE(
      readText(readIhex, "boot.hex", ihex(0, 0, {1}).substr(0, 13) + std::string(60000, ' ') + "\n" + hexEnd).st);
}

// CRLF, blank lines, trailing blanks, no final LF; S-records ended by a
// record count instead of S7 to S9, as srec_cat writes them without a start
// address.
TEST(RecordRead, ToleratesLineEndsAndBlankLinesAndACountForAnEnd) {
  std::string r1 = ihex(0, 0x10, {1, 2});
  r1.pop_back();
  std::string end = hexEnd;
  end.pop_back();
  const std::string t = "\r\n \t\r\n" + r1 + " \t\r\n\n" + ihex(0, 0x12, {3}) + end;
  const Read r = readText(readIhex, "boot.hex", t);
  ASSERT_TRUE(r.st) << r.err();
  EXPECT_EQ(flatten(r.img), (std::map<uint64_t, uint8_t>{{0x10, 1}, {0x11, 2}, {0x12, 3}}));
  EXPECT_FALSE(r.img.hasEntry);

  std::string s1 = srec(1, 0x10, 2, {1, 2});
  s1.pop_back();
  const Read s = readText(readSrec, "boot.srec", "\n" + s1 + "\r\n  \n" + srec(9, 0x10, 2, {}) + "\n\n");
  ASSERT_TRUE(s.st) << s.err();
  EXPECT_EQ(flatten(s.img), (std::map<uint64_t, uint8_t>{{0x10, 1}, {0x11, 2}}));
  EXPECT_TRUE(s.img.hasEntry);

  const Read counted = readText(readSrec, "boot.srec", srec(0, 0, 2, {}) + srec(1, 0x10, 2, {1}) + srec(5, 1, 2, {}));
  ASSERT_TRUE(counted.st) << counted.err();
  EXPECT_EQ(flatten(counted.img), (std::map<uint64_t, uint8_t>{{0x10, 1}}));
  EXPECT_FALSE(counted.img.hasEntry);
}

// Offsets after an 02 record wrap inside the 64 KiB segment; after an 04
// record they run on into the next 64 KiB, and past 4 GiB to address 0.
TEST(IhexAddresses, SegmentOffsetsWrapAndLinearAddressesRunOn) {
  const std::string t = ihex(2, 0, {0x12, 0x34}) + ihex(0, 0xfffe, {1, 2, 3}) +
                        ihex(4, 0, {0x00, 0x05}) + ihex(0, 0xffff, {4, 5}) +
                        ihex(4, 0, {0xff, 0xff}) + ihex(0, 0xffff, {6, 7}) + hexEnd;
  const Read r = readText(readIhex, "boot.hex", t);
  ASSERT_TRUE(r.st) << r.err();
  EXPECT_EQ(flatten(r.img), (std::map<uint64_t, uint8_t>{{0x0, 7},
                                                        {0x12340, 3},
                                                        {0x2233e, 1},
                                                        {0x2233f, 2},
                                                        {0x5ffff, 4},
                                                        {0x60000, 5},
                                                        {0xffffffff, 6}}));
}

// The start record sets the entry of the first input only; the first
// input's image is little-endian and not ELF.
TEST(RecordEntry, OnlyTheFirstInputGivesTheEntry) {
  const std::string t = ihex(0, 0, {1}) + ihex(3, 0, {0x12, 0x34, 0x00, 0x05}) + hexEnd;
  image first;
  first.little = false;
  first.elfClass = 32;
  const Read a = readText(readIhex, "boot.hex", t, 0, false, std::move(first));
  ASSERT_TRUE(a.st) << a.err();
  EXPECT_TRUE(a.img.hasEntry);
  EXPECT_EQ(a.img.entry, 0x12345u);
  EXPECT_TRUE(a.img.little);
  EXPECT_EQ(a.img.elfClass, 0u);

  image later;
  later.entry = 0x80;
  later.hasEntry = true;
  later.little = false;
  const Read b = readText(readSrec, "b.srec", srec(1, 0, 2, {1}) + srec(7, 0x12345678, 4, {}), 1, false,
                          std::move(later));
  ASSERT_TRUE(b.st) << b.err();
  EXPECT_EQ(b.img.entry, 0x80u);
  EXPECT_FALSE(b.img.little);
  ASSERT_EQ(b.img.segments.size(), 1u);
  EXPECT_EQ(b.img.segments[0].input, 1u);
}

// A long run becomes segments of at most 1 MiB, each owning exactly its
// bytes; a gap starts a new one. Read through a pipe, in blocks.
TEST(RecordSegments, LongRunsAreCutIntoSegmentsOfOneMiB) {
  std::string t;
  const uint64_t base = 0x100000;
  const size_t n = (2u << 20) + (512u << 10);
  for (uint64_t a = base; a < base + n; a += 32) {
    t += srec(3, a, 4, bytes(32, static_cast<uint8_t>(a >> 5)));
  }
  t += srec(3, base + n + 1, 4, {0xee}) + srec(7, 0, 4, {});
  const Read r = readText(readSrec, "big.srec", t, 0, true);
  ASSERT_TRUE(r.st) << r.err();
  ASSERT_EQ(r.img.segments.size(), 4u);
  const uint64_t sizes[] = {1u << 20, 1u << 20, 512u << 10, 1};
  const uint64_t starts[] = {base, base + (1u << 20), base + (2u << 20), base + n + 1};
  for (size_t i = 0; i < 4; i++) {
    EXPECT_EQ(r.img.segments[i].load, starts[i]);
    EXPECT_EQ(r.img.segments[i].fileSize, sizes[i]);
    EXPECT_EQ(r.img.owned[i].capacity(), sizes[i]);
  }
  EXPECT_EQ(r.img.segments[2].bytes[32], static_cast<uint8_t>((base + (2u << 20) + 32) >> 5));
}

// Records that go back to a lower address without clashing are taken.
TEST(RecordSegments, DescendingRecordsWithoutClashAreTaken) {
  const std::string t = srec(1, 0x20, 2, {3, 4}) + srec(1, 0x10, 2, {1, 2}) + srec(1, 0x12, 2, {5}) +
                        srec(1, 0x22, 2, {6}) + srec(9, 0, 2, {});
  const Read r = readText(readSrec, "boot.srec", t);
  ASSERT_TRUE(r.st) << r.err();
  EXPECT_EQ(flatten(r.img), (std::map<uint64_t, uint8_t>{
                                {0x10, 1}, {0x11, 2}, {0x12, 5}, {0x20, 3}, {0x21, 4}, {0x22, 6}}));
}

struct Head {
  std::string label;
  std::string bytes;
  bool ihex, srec;
};

TEST(RecordRecognition, TellsTheKindByTheFirstCharacterThatIsNotBlank) {
  const Head heads[] = {
      {"ElfMagic", std::string("\x7f" "ELF\x01\x01\x01", 7), false, false},
      {"Ihex", ":100000000020002045", true, false},
      {"IhexUpperCaseDigit", ":A", true, false},
      {"Srec", "S00F000068656C6C6F", false, true},
      {"SrecS9", "S9", false, true},
      {"BlanksFirst", " \t\r\n\r\n:02000004", true, false},
      {"BlanksThenSrec", "\n\nS3", false, true},
      {"ColonAlone", ":", false, false},
      {"ColonNoHex", ":g0", false, false},
      {"SLetter", "SX01", false, false},
      {"SAlone", "   S", false, false},
      {"NulFirst", std::string("\0:10", 4), false, false},
      {"Binary", std::string("\xff\xfe\x00\x01", 4), false, false},
      {"Empty", "", false, false},
      {"OnlyBlanks", "  \n\t", false, false},
  };
  for (const Head& h : heads) {
    const std::span<const uint8_t> b(reinterpret_cast<const uint8_t*>(h.bytes.data()), h.bytes.size());
    EXPECT_EQ(isIhex(b), h.ihex) << h.label;
    EXPECT_EQ(isSrec(b), h.srec) << h.label;
  }
}
