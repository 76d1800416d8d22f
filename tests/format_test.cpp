// The writers' formats and the number reader, in process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "listing.hpp"
#include "core/numbers.hpp"
#include "fixed/fixed.hpp"

using namespace fixture;

namespace {

// Runs one formatting function on a temporary stream and returns its bytes.
template <class F>
std::string formatted(F&& f) {
  FILE* tmp = tmpfile();
  EXPECT_TRUE(f(tmp));
  std::string s(static_cast<size_t>(ftell(tmp)), '\0');
  rewind(tmp);
  EXPECT_EQ(fread(s.data(), 1, s.size(), tmp), s.size());
  fclose(tmp);
  return s;
}

std::string rowsOf(std::span<const uint8_t> b) {
  return formatted([&](FILE* f) { return dumpCData(f, "rom", b); });
}

std::vector<uint8_t> romFill(uint32_t textLen, uint32_t romLen) {
  std::string s = formatted([&](FILE* f) { return dumpROMFill(f, textLen, romLen); });
  return {s.begin(), s.end()};
}

}  // namespace

TEST(HexListing, WordsThenZeroLinesToTheTarget) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint32_t t;
    std::string out;
  };
  const Case cases[] = {
      {"six bytes", {1, 2, 3, 4, 5, 6}, 0, "01020304\n05060000\n" + zeros(510)},
      {"512 words", words(512), 0, wordLines(512)},
      {"513 words", words(513), 0, wordLines(513) + zeros(511)},
      {"target above", words(16), 0x40, wordLines(16) + zeros(48)},
      {"target at the word count", words(16), 16, wordLines(16)},
      {"target below the word count", words(16), 3, wordLines(16)},
      {"one word to a huge target", {0xde, 0xad, 0xbe, 0xef}, 300000,
       "deadbeef\n" + zeros(299999)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatted([&](FILE* f) { return dumpHData(f, c.bytes, c.t); }), c.out) << c.what;
  }
}

TEST(HexListing, ExtentBecomesAWordTarget) {
  struct Case {
    uint32_t extent, textAddr, t;
  };
  const Case cases[] = {{0x200, 0x100, 0x40}, {0x80, 0x100, 0x80}, {0x103, 0x100, 0},
                        {0x104, 0x100, 1},    {0, 0x100, 0},       {0xFFFFFFFF, 0, 0x3FFFFFFF}};
  for (const Case& c : cases) {
    EXPECT_EQ(hexTarget(c.extent, c.textAddr), c.t) << std::hex << c.extent << " " << c.textAddr;
  }
}

TEST(CSource, RowsOfThirteenWithoutTrailingComma) {
  const std::string head = "#include \"rom.h\"\n\n\nu8 romData[ROM_SIZE] = {\n";
  EXPECT_EQ(rowsOf(std::vector<uint8_t>{0xaa, 0xbb, 0xcc}), head + "   0xaa,0xbb,0xcc\n};\n");
  EXPECT_EQ(rowsOf(counting(13)),
            head + "   0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,0x0a,0x0b,0x0c,0x0d\n};\n");
  EXPECT_EQ(rowsOf(counting(14, 0xf0)),
            head + "   0xf0,0xf1,0xf2,0xf3,0xf4,0xf5,0xf6,0xf7,0xf8,0xf9,0xfa,0xfb,0xfc,\n"
                   "   0xfd\n};\n");
  // Many rows, across buffer boundaries: one initialiser per byte.
  std::string big = rowsOf(counting(100003));
  EXPECT_EQ(std::count(big.begin(), big.end(), 'x'), 100003);
  EXPECT_EQ(std::count(big.begin(), big.end(), '\n'), 4 + (100003 + 12) / 13 + 1);
}

TEST(RawRom, FiveBytesThenAlignmentThenFillWords) {
  std::vector<uint8_t> rom = romFill(5, 0x100000);
  ASSERT_EQ(rom.size(), 0x100000u - 5);
  EXPECT_EQ(std::vector<uint8_t>(rom.begin(), rom.begin() + 11),
            (std::vector<uint8_t>{0, 0, 0, 0x08, 0x00, 0xf0, 0xff, 0x0c, 0x00, 0xf0, 0xff}));
  EXPECT_EQ(std::vector<uint8_t>(rom.end() - 4, rom.end()),
            (std::vector<uint8_t>{0xfc, 0xff, 0xff, 0xff}));
  // A word-aligned text gets fill words right after it; a text of the ROM
  // length or more gets none.
  EXPECT_EQ(romFill(8, 16), (std::vector<uint8_t>{0x08, 0, 0xf0, 0xff, 0x0c, 0, 0xf0, 0xff}));
  EXPECT_EQ(romFill(16, 16), std::vector<uint8_t>{});
  EXPECT_EQ(romFill(17, 16), (std::vector<uint8_t>{0, 0, 0}));
  // Offsets past the 20-bit field are ORed in, not cut.
  std::vector<uint8_t> two = romFill(0, 0x200008);
  EXPECT_EQ(std::vector<uint8_t>(two.end() - 4, two.end()),
            (std::vector<uint8_t>{0x04, 0x00, 0xf0, 0xff}));
}

TEST(Numbers, ReadLikeStrtoulBase16On32Bits) {
  struct Case {
    const char* in;
    uint32_t want;
  };
  const Case cases[] = {
      {"200", 0x200},          {"  0x1F", 0x1f},       {"\t\n 7", 7},
      {"0X1a", 0x1a},          {"+10", 0x10},          {"-1", 0xFFFFFFFF},
      {"-0x10", 0xFFFFFFF0},   {"FFFFFFFF", 0xFFFFFFFF}, {"100000000", 0xFFFFFFFF},
      {"-100000000", 0xFFFFFFFF}, {"ffffffffffffffffffffff", 0xFFFFFFFF},
      {"12g4", 0x12},          {"zz", 0},              {"", 0},
      {"0x", 0},               {"0xg", 0},             {"- 5", 0},
      {"--5", 0},              {"0x0x5", 0},           {"000000000000000000001", 1},
  };
  for (const Case& c : cases) EXPECT_EQ(parseHex32(c.in), c.want) << '"' << c.in << '"';
}
