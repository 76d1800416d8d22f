// Integrity values: the catalogue check values of every CRC, comparisons
// with two independent implementations (python3-crcmod and srec_cat) on
// random bytes, and the streaming properties the memory walk relies on:
// blocks of any size and runs of fill give the value of one whole feed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fields/checksum.hpp"
#include "run_tool.hpp"

using namespace romwright;
using fixture::randomBytes;
using fixture::shellOutput;

namespace {

checksumKind kindOf(const std::string& text) {
  auto k = parseChecksumKind(text);
  EXPECT_TRUE(k.ok()) << text << ": " << (k.ok() ? "" : k.error().message);
  return k.ok() ? *k : checksumKind{};
}

uint64_t compute(const std::string& kind, std::span<const uint8_t> bytes, bool little = true) {
  checksum c(kindOf(kind), little);
  c.feed(bytes);
  return c.value();
}

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// A scratch directory, removed with what it holds.
struct scratch {
  std::string dir;
  scratch() {
    char tmpl[] = "/tmp/checksum_test.XXXXXX";
    dir = mkdtemp(tmpl);
  }
  ~scratch() {
    std::string ignored;
    shellOutput("rm -rf '" + dir + "'", ignored);
  }
  std::string write(const std::string& name, std::span<const uint8_t> bytes) const {
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
    return path;
  }
};

// Every CRC preset and CRCs of other widths given by their parameters, with
// the catalogue's value over "123456789".
struct CheckCase {
  std::string kind;
  uint64_t check;
  unsigned width;
};

const CheckCase checkCases[] = {
    {"crc32", 0xCBF43926, 4},
    {"crc32c", 0xE3069283, 4},
    {"crc32-mpeg2", 0x0376E6E7, 4},
    {"crc32-bzip2", 0xFC891918, 4},
    {"crc32-posix", 0x765E7680, 4},
    {"crc16-ccitt-false", 0x29B1, 2},
    {"crc16-xmodem", 0x31C3, 2},
    {"crc16-kermit", 0x2189, 2},
    {"crc16-aug-ccitt", 0xE5CC, 2},
    {"crc16-modbus", 0x4B37, 2},
    {"crc16-arc", 0xBB3D, 2},
    {"crc8", 0xF4, 1},
    {"crc64-xz", 0x995DC9BBDF1939FA, 8},
    // Reflected input with unreflected output, at a width off the bytes.
    {"crc:12:0x80f:0:false:true:0", 0xDAF, 2},
    {"crc:14:0x0805:0:true:true:0", 0x082D, 2},
    {"crc:15:0x4599:0:false:false:0", 0x059E, 2},
    {"crc:24:0x864cfb:0xb704ce:false:false:0", 0x21CF02, 3},
    {"crc:40:0x0004820009:0:false:false:0xffffffffff", 0xD4164FC646, 5},
    {"crc:64:0x42f0e1eba9ea3693:0:false:false:0", 0x6C40DF5F0B497347, 8},
    {"crc:64:0x1b:0xffffffffffffffff:1:1:0xffffffffffffffff", 0xB90956C775A41001, 8},
    {"crc:8:0x31:0:true:true:0", 0xA1, 1},
    // The Castagnoli polynomial with other parameters still takes the
    // processor's instruction where there is one.
    {"crc:32:0x1EDC6F41:0:true:false:0", 0x045FC71A, 4},
    // A preset spelt out gives the preset's value.
    {"crc:32:0x04C11DB7:0xFFFFFFFF:true:true:0xFFFFFFFF", 0xCBF43926, 4},
    {"crc:16:4129:65535:false:false:0", 0x29B1, 2},
    {"crc:16:0x8005:0xffff:1:1:0", 0x4B37, 2},
};

TEST(ChecksumCrc, GivesTheCatalogueCheckValue) {
  for (const auto& c : checkCases) {
    EXPECT_EQ(compute(c.kind, bytesOf("123456789")), c.check) << c.kind;
    EXPECT_EQ(kindOf(c.kind).width(), c.width) << c.kind;
  }
}

// The CRC model a bit at a time, as the catalogues define it: each message
// bit (least significant first with refin) enters at the register's top.
uint64_t bitwiseCrc(const checksumKind& k, std::span<const uint8_t> bytes) {
  const uint64_t top = uint64_t{1} << (k.bits - 1);
  const uint64_t mask = top | (top - 1);
  uint64_t reg = k.init;
  for (const uint8_t b : bytes) {
    for (int i = 0; i < 8; ++i) {
      const bool in = ((k.refin ? b >> i : b >> (7 - i)) & 1) != 0;
      const bool feedback = ((reg & top) != 0) != in;
      reg = (reg << 1) & mask;
      if (feedback) reg ^= k.poly;
    }
  }
  if (k.refout) {
    uint64_t r = 0;
    for (unsigned i = 0; i < k.bits; ++i) r |= ((reg >> i) & 1) << (k.bits - 1 - i);
    reg = r;
  }
  return (reg ^ k.xorout) & mask;
}

const size_t lengths[] = {0, 1, 7, 8, 15, 16, 17, 333, 4099};
// Long enough for every way through the fast paths: 64-byte folding rounds
// and the three lanes of the CRC32C instruction, with an odd tail.
const size_t longLengths[] = {0, 1, 7, 8, 15, 16, 17, 333, 4099, 40003};

TEST(ChecksumCrc, MatchesTheBitwiseModelAtEveryWidth) {
  const auto data = randomBytes(40003, 5);
  for (const auto& c : checkCases) {
    const checksumKind k = kindOf(c.kind);
    for (size_t n : longLengths)
      EXPECT_EQ(compute(c.kind, {data.data(), n}), bitwiseCrc(k, {data.data(), n}))
          << c.kind << " over " << n;
  }
}

TEST(ChecksumKind, RefusesMalformedKindsWithAReason) {
  const std::string names(checksumKindNames());
  const std::string fields = "a CRC of its own is crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT, 6 fields, not ";
  const std::string number = "is a number (decimal or 0x hex), not ";
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {"", "not a kind: " + names},
      {"crc33", "not a kind: " + names},
      {"CRC32", "not a kind: " + names},
      {"sum64", "not a kind: " + names},
      {"~length16", "not a kind: " + names},
      {"length8", "not a kind: " + names},
      {"sum16 ", "not a kind: " + names},
      {"crc:", fields + "1"},
      {"crc:32:0x04C11DB7:0:true:true", fields + "5"},
      {"crc:32:0x04C11DB7:0:true:true:0:0", fields + "7"},
      {"crc:7:0x9:0:false:false:0", "CRC width is 8 to 64, not \"7\""},
      {"crc:65:0x9:0:false:false:0", "CRC width is 8 to 64, not \"65\""},
      {"crc::0x9:0:false:false:0", "CRC width is 8 to 64, not \"\""},
      {"crc:16:0x:0:false:false:0", "CRC poly " + number + "\"0x\""},
      {"crc:16:-1:0:false:false:0", "CRC poly " + number + "\"-1\""},
      {"crc:16:0x1021g:0:false:false:0", "CRC poly " + number + "\"0x1021g\""},
      {"crc:64:0x1ffffffffffffffff:0:false:false:0", "CRC poly \"0x1ffffffffffffffff\" is too large"},
      {"crc:64:18446744073709551616:0:false:false:0", "CRC poly \"18446744073709551616\" is too large"},
      {"crc:16:0x11021:0:false:false:0", "CRC poly \"0x11021\" does not fit 16 bits"},
      {"crc:16:0x1021:0x10000:false:false:0", "CRC init \"0x10000\" does not fit 16 bits"},
      {"crc:12:0x80f:0:false:false:4096", "CRC xorout \"4096\" does not fit 12 bits"},
      {"crc:16:0:0:false:false:0", "CRC poly must not be 0"},
      {"crc:16:0x1021:0:yes:false:0", "CRC refin is true or false, not \"yes\""},
      {"crc:16:0x1021:0:false:TRUE:0", "CRC refout is true or false, not \"TRUE\""},
  };
  for (const auto& c : cases) {
    const auto k = parseChecksumKind(c.text);
    ASSERT_FALSE(k.ok()) << c.text;
    EXPECT_EQ(k.error().message, c.reason) << c.text;
  }
}

TEST(ChecksumSum, AddsUnitsInTheMemoryByteOrderPaddingTheLastWithZeros) {
  const std::vector<uint8_t> bytes = {0x01, 0x02, 0x03, 0xFF, 0x80};
  const struct {
    std::string kind;
    bool little;
    uint64_t want;
  } cases[] = {
      {"sum8", true, 0x85},            // 0x185 truncated
      {"~sum8", true, 0x7A},
      {"-sum8", false, 0x7B},
      {"sum16", true, 0x0201 + 0xFF03 + 0x0080 - 0x10000},
      {"sum16", false, 0x0102 + 0x03FF + 0x8000},
      {"-sum16", false, 0x10000 - (0x0102 + 0x03FF + 0x8000)},
      {"sum32", true, 0xFF030201 + 0x00000080},
      {"sum32", false, 0x010203FF + 0x80000000},
      {"~sum32", false, 0xFFFFFFFF - (0x010203FF + 0x80000000)},
      {"length16", true, 5},
      {"length32", false, 5},
  };
  for (const auto& c : cases)
    EXPECT_EQ(compute(c.kind, bytes, c.little), c.want) << c.kind << (c.little ? " little" : " big");
  EXPECT_EQ(kindOf("sum8").width(), 1u);
  EXPECT_EQ(kindOf("-sum16").width(), 2u);
  EXPECT_EQ(kindOf("length32").width(), 4u);
}

// The word at 0x1C of a Cortex-M vector table that makes words 0..7 sum to
// zero is -sum32 over words 0..6.
TEST(ChecksumSum, NegatedSumMakesAVectorTableSumToZero) {
  std::vector<uint8_t> table = randomBytes(28);
  const auto word = static_cast<uint32_t>(compute("-sum32", table, true));
  for (int i = 0; i < 4; ++i) table.push_back(static_cast<uint8_t>(word >> (8 * i)));
  EXPECT_EQ(compute("sum32", table, true), 0u);
}

TEST(ChecksumLength, SaysWhenTheCountDoesNotFit) {
  checksum l16(kindOf("length16"), true);
  l16.feedRepeated(0, 0xFFFF);
  EXPECT_EQ(l16.value(), 0xFFFFu);
  EXPECT_FALSE(l16.overflowed());
  l16.feed(std::vector<uint8_t>(1));
  EXPECT_TRUE(l16.overflowed());

  checksum l32(kindOf("length32"), false);
  l32.feedRepeated(0xFF, uint64_t{1} << 32);
  EXPECT_TRUE(l32.overflowed());

  checksum sum(kindOf("sum8"), true);
  sum.feedRepeated(0xFF, uint64_t{1} << 40);
  EXPECT_FALSE(sum.overflowed());
}

// Every kind, both byte orders: the bytes in blocks of uneven sizes with
// runs of fill between them give the value of the same bytes in one feed.
TEST(ChecksumStreaming, BlocksAndFillRunsGiveTheValueOfOneFeed) {
  std::vector<std::string> kinds;
  for (const auto& c : checkCases) kinds.push_back(c.kind);
  for (std::string k : {"sum8", "~sum8", "-sum8", "sum16", "~sum16", "-sum16", "sum32", "~sum32",
                        "-sum32", "length16", "length32"})
    kinds.push_back(k);
  const auto data = randomBytes(1000);
  // (block of data, then a run of fill): the runs cross the short-run limit
  // of the CRCs and start at every offset within a word.
  const struct {
    size_t block;
    uint64_t run;
  } pieces[] = {{3, 5}, {0, 1}, {1, 70001}, {17, 0}, {2, 4099}, {600, 65536}, {5, 65537}, {3, 131075}};
  for (const bool little : {true, false}) {
    for (const auto& kind : kinds) {
      checksum streamed(kindOf(kind), little);
      std::vector<uint8_t> whole;
      size_t at = 0;
      uint8_t fill = 0xA5;
      for (const auto& piece : pieces) {
        const std::span<const uint8_t> block(data.data() + at, piece.block);
        streamed.feed(block);
        whole.insert(whole.end(), block.begin(), block.end());
        at += piece.block;
        streamed.feedRepeated(fill, piece.run);
        whole.insert(whole.end(), piece.run, fill);
        fill = static_cast<uint8_t>(fill * 7 + 1);
      }
      EXPECT_EQ(streamed.value(), compute(kind, whole, little)) << kind << (little ? " little" : " big");
    }
  }
}

// A quarter of a gigabyte of fill in one run, against feeding it a
// megabyte at a time.
TEST(ChecksumStreaming, LongFillRunMatchesChunkedFeeding) {
  const uint64_t count = (uint64_t{1} << 28) + 3;
  const std::vector<uint8_t> chunk(1 << 20, 0xFF);
  for (const std::string kind : {"crc32", "crc16-xmodem", "crc64-xz", "sum16"}) {
    checksum run(kindOf(kind), false);
    checksum chunked(kindOf(kind), false);
    run.feedRepeated(0xFF, count);
    for (uint64_t left = count; left > 0;) {
      const size_t n = left < chunk.size() ? static_cast<size_t>(left) : chunk.size();
      chunked.feed({chunk.data(), n});
      left -= n;
    }
    EXPECT_EQ(run.value(), chunked.value()) << kind;
  }
}

// The presets against python3-crcmod's definitions of the same CRCs (crc64-xz
// from its parameters, crcmod naming none), over random bytes.
TEST(ChecksumIndependent, MatchesCrcmod) {
  std::string out;
  if (!shellOutput("/usr/bin/python3 -c 'import crcmod.predefined' 2>/dev/null", out))
    GTEST_SKIP() << "no python3-crcmod (tools/install-deps installs it)";
  const struct {
    std::string kind;
    std::string crcmod;
  } cases[] = {
      {"crc32", "p('crc-32')"},
      {"crc32c", "p('crc-32c')"},
      {"crc32-mpeg2", "p('crc-32-mpeg')"},
      {"crc32-bzip2", "p('crc-32-bzip2')"},
      {"crc32-posix", "p('posix')"},
      {"crc16-ccitt-false", "p('crc-ccitt-false')"},
      {"crc16-xmodem", "p('xmodem')"},
      {"crc16-kermit", "p('kermit')"},
      {"crc16-aug-ccitt", "p('crc-aug-ccitt')"},
      {"crc16-modbus", "p('modbus')"},
      {"crc16-arc", "p('crc-16')"},
      {"crc8", "p('crc-8')"},
      {"crc64-xz", "crcmod.mkCrcFun(0x142F0E1EBA9EA3693, initCrc=0, rev=True, xorOut=(1<<64)-1)"},
      {"crc:24:0x864cfb:0xb704ce:false:false:0", "p('crc-24')"},
      {"crc:64:0x42f0e1eba9ea3693:0xffffffffffffffff:false:false:0xffffffffffffffff", "p('crc-64-we')"},
  };
  scratch dir;
  const auto data = randomBytes(40003);
  const std::string file = dir.write("data.bin", data);
  std::string script = "import crcmod, crcmod.predefined\np = crcmod.predefined.mkPredefinedCrcFun\n"
                       "d = open('" + file + "', 'rb').read()\n";
  for (const auto& c : cases) {
    script += "f = " + c.crcmod + "\n";
    for (size_t n : longLengths) script += "print(f(d[:" + std::to_string(n) + "]))\n";
  }
  const std::string scriptFile = dir.write("crcs.py", bytesOf(script));
  ASSERT_TRUE(shellOutput("/usr/bin/python3 " + scriptFile, out)) << out;
  std::istringstream values(out);
  for (const auto& c : cases) {
    for (size_t n : longLengths) {
      uint64_t want = 0;
      ASSERT_TRUE(values >> want) << out;
      EXPECT_EQ(compute(c.kind, {data.data(), n}), want) << c.kind << " over " << n << " bytes";
    }
  }
}

// The CRCs and sums srec_cat inserts, over random bytes. Its default 16-bit
// CRC is the CCITT polynomial from 0xFFFF augmented by 16 zero bits, which
// is crc16-aug-ccitt. Its sums with a value and unit of 1 byte are sum8;
// with a value and unit of 2 or 4 bytes they are sum16 and sum32, the units
// in the byte order the value is stored in.
TEST(ChecksumIndependent, MatchesSrecCat) {
  std::string out;
  if (!shellOutput("srec_cat -version >/dev/null 2>&1", out))
    GTEST_SKIP() << "no srec_cat (tools/install-deps installs srecord)";
  const struct {
    std::string kind;
    bool little;
    std::string filter;  // with N for the address of the value
    size_t width;
  } cases[] = {
      {"crc32", true, "-crc32-l-e N", 4},
      {"crc32", false, "-crc32-b-e N", 4},
      {"crc16-aug-ccitt", false, "-crc16-b-e N", 2},
      {"crc16-xmodem", true, "-crc16-l-e N -xmodem", 2},
      {"sum8", true, "-checksum-positive-l-e N 1 1", 1},
      {"~sum8", true, "-checksum-bitnot-l-e N 1 1", 1},
      {"-sum8", true, "-checksum-negative-l-e N 1 1", 1},
      {"sum16", true, "-checksum-positive-l-e N 2 2", 2},
      {"~sum16", false, "-checksum-bitnot-b-e N 2 2", 2},
      {"-sum16", true, "-checksum-negative-l-e N 2 2", 2},
      {"sum32", false, "-checksum-positive-b-e N 4 4", 4},
      {"~sum32", true, "-checksum-bitnot-l-e N 4 4", 4},
      {"-sum32", false, "-checksum-negative-b-e N 4 4", 4},
  };
  scratch dir;
  const auto data = randomBytes(4099, 11);
  const std::string file = dir.write("data.bin", data);
  for (const auto& c : cases) {
    for (size_t n : lengths) {
      if (n == 0) continue;  // srec_cat warns of a hole
      std::string filter = c.filter;
      filter.replace(filter.find('N'), 1, std::to_string(n));
      const std::string cmd = "srec_cat " + file + " -binary -crop 0 " + std::to_string(n) + " " +
                              filter + " -o - -binary 2>&1";
      ASSERT_TRUE(shellOutput(cmd, out)) << cmd << "\n" << out;
      ASSERT_EQ(out.size(), n + c.width) << cmd;
      uint64_t want = 0;
      for (size_t i = 0; i < c.width; ++i) {
        const auto b = static_cast<uint8_t>(out[n + (c.little ? c.width - 1 - i : i)]);
        want = want << 8 | b;
      }
      EXPECT_EQ(compute(c.kind, {data.data(), n}, c.little), want) << cmd;
    }
  }
}

}  // namespace
