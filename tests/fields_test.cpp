// Integrity fields in process: how --insert's text is read into a field
// (the ranges of over= around symbols' offsets, the constants' bytes), and
// a CRC fed in words: its value is that of the words' bytes reordered as the
// unit takes them, however the bytes arrive.
#include <gtest/gtest.h>

#include <elf.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "fields/engine.hpp"
#include "fields/fields.hpp"
#include "run_tool.hpp"

using namespace romwright;
using fixture::randomBytes;
using fixture::shellOutput;

namespace {

insertField parsed(const std::string& text) {
  Result<insertField> f = parseInsert(text.c_str());
  EXPECT_TRUE(f.ok()) << text << ": " << (f.ok() ? "" : f.error().message);
  return f.ok() ? *f : insertField{};
}

// A range as text: FROM..TO with symbols as NAME+N, TO `end`.
std::string show(const insertRange& r) {
  auto one = [](const insertAddress& a) {
    char buf[32];
    snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(a.value));
    return a.symbol.empty() ? std::string(buf) : a.symbol + "+" + buf;
  };
  return one(r.from) + ".." + (r.toEnd ? std::string("end") : one(r.to));
}

}  // namespace

// A '+' after a symbol is its offset unless a number and .. follow it, when
// it starts the next range; every range keeps its place in the order given.
TEST(InsertParse, RangesJoinedByPlusAroundSymbolOffsets) {
  struct Case {
    const char* over;
    std::vector<std::string> ranges;
  };
  const Case cases[] = {
      {"0x0..0xff+0x200..end", {"0..ff", "200..end"}},
      {"0x200..0x2ff+0..0xf", {"200..2ff", "0..f"}},
      {"sym:a+4..sym:b+8+0x200..end", {"a+4..b+8", "200..end"}},
      {"sym:a..sym:b+0x100..0x1ff", {"a+0..b+0", "100..1ff"}},
      {"sym:a+4..sym:b+8", {"a+4..b+8"}},
      {"sym:x.y..sym:end", {"x.y+0..end+0"}},
      {"0..0xffffffffffffffff", {"0..ffffffffffffffff"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.over);
    const insertField f = parsed(std::string("crc32@0,over=") + c.over);
    std::vector<std::string> got;
    for (const insertRange& r : f.over) got.push_back(show(r));
    EXPECT_EQ(got, c.ranges);
  }
}

// The constants' bytes as stored, in either byte order; a string's escapes
// and its NUL only when asked for; a comma in TEXT is text.
TEST(InsertParse, ConstantsGiveTheirBytes) {
  struct Case {
    const char* text;
    bool little;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"u8:0xff@0", true, {0xff}},
      {"u16:0x1234@0", true, {0x34, 0x12}},
      {"u16:0x1234@0", false, {0x12, 0x34}},
      {"u32:305419896@0", false, {0x12, 0x34, 0x56, 0x78}},
      {"u64:0x0102030405060708@0", true, {8, 7, 6, 5, 4, 3, 2, 1}},
      {"u64:18446744073709551615@0", false, std::vector<uint8_t>(8, 0xff)},
      {"bytes:DEadbeef00@0", true, {0xde, 0xad, 0xbe, 0xef, 0}},
      {"bytes:0102@0", false, {1, 2}},
      {"string:v1,2@0", true, {'v', '1', ',', '2'}},
      {"string:a\\@b\\\\c\\x00\\x7F@0,nul=yes", true, {'a', '@', 'b', '\\', 'c', 0, 0x7f, 0}},
      {"string:ab@0,nul", true, {'a', 'b', 0}},
      {"string:ab@0,nul=no", true, {'a', 'b'}},
      {"string:@0,nul=yes", true, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const insertField f = parsed(c.text);
    EXPECT_FALSE(f.kind.computed());
    EXPECT_EQ(f.kind.width(), c.bytes.size());
    EXPECT_EQ(constantBytes(f.kind, c.little), c.bytes);
  }
}

// A CRC fed words of 2 or 4 bytes equals the plain CRC of the bytes with
// each word reversed where the word's byte order differs from the order the
// CRC takes its bits in (most significant first, or least for a reflected
// one), whatever the blocks and runs of one byte it is fed in.
TEST(InsertUnits, WordsAreReorderedAsTheUnitTakesThemHoweverFed) {
  const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d = randomBytes(4096, 3);
    // Runs of one byte, long and short, at odd places.
    std::fill(d.begin() + 101, d.begin() + 1203, uint8_t{0xa5});
    std::fill(d.begin() + 2001, d.begin() + 2004, uint8_t{0});
    return d;
  }();
  for (const char* text : {"crc32-mpeg2", "crc32", "crc16-xmodem", "crc16-modbus", "crc64-xz"}) {
    const checksumKind k = *parseChecksumKind(text);
    for (const unsigned unit : {2u, 4u}) {
      for (const bool little : {true, false}) {
        SCOPED_TRACE(std::string(text) + " unit " + std::to_string(unit) + (little ? " little" : " big"));
        std::vector<uint8_t> reordered = data;
        if (little != k.refin) {
          for (size_t i = 0; i < reordered.size(); i += unit) {
            std::reverse(reordered.begin() + static_cast<ptrdiff_t>(i),
                         reordered.begin() + static_cast<ptrdiff_t>(i + unit));
          }
        }
        const std::unique_ptr<fieldEngine> plain = checksumEngine(k, little);
        plain->feed(reordered);
        const std::vector<uint8_t> want = *plain->finish();

        std::mt19937 gen(unit * 2 + little);
        const std::unique_ptr<fieldEngine> words = checksumEngine(k, little, unit);
        for (size_t at = 0; at < data.size();) {
          const size_t n = std::min<size_t>(data.size() - at, gen() % 700);
          // A run of one byte goes as a repeated byte, the rest as blocks.
          if (n > 0 && std::all_of(data.begin() + static_cast<ptrdiff_t>(at),
                                   data.begin() + static_cast<ptrdiff_t>(at + n),
                                   [&](uint8_t b) { return b == data[at]; })) {
            words->feedRepeated(data[at], n);
          } else {
            words->feed({data.data() + at, n});
          }
          at += n;
        }
        Result<std::vector<uint8_t>> got = words->finish();
        ASSERT_TRUE(got.ok()) << got.error().message;
        EXPECT_EQ(*got, want);
      }
    }
  }
  // A last word the bytes do not finish is refused.
  const std::unique_ptr<fieldEngine> e = checksumEngine(*parseChecksumKind("crc32"), true, 4);
  e->feedRepeated(0, 6);
  Result<std::vector<uint8_t>> v = e->finish();
  ASSERT_FALSE(v.ok());
  EXPECT_EQ(v.error().message, "unit=32 ends in a word of 2 bytes");
}

// A signature's key= and der= may come in the kind or after WHERE (where a
// key file's name may hold an @), of= names the digest field it signs; a
// file's path takes the escapes of string:.
TEST(InsertParse, SignatureItemsAndFilePaths) {
  insertField f = parsed("sign:ecdsa-p256@0x100,key=keys/a@b.pem,der=yes,of=sym:image_digest+4");
  EXPECT_EQ(f.kind.what, fieldKind::type::signature);
  EXPECT_EQ(f.kind.signature.what, signatureKind::type::ecdsaP256);
  EXPECT_EQ(f.kind.signature.keyFile, "keys/a@b.pem");
  EXPECT_TRUE(f.kind.signature.der);
  EXPECT_TRUE(f.signsField);
  EXPECT_EQ(f.of.symbol, "image_digest");
  EXPECT_EQ(f.of.value, 4u);
  EXPECT_EQ(f.kind.width(), 72u);
  EXPECT_TRUE(f.usesSymbols());

  // der's bare name says yes, as nul's does.
  f = parsed("sign:ecdsa-p256,key=k.pem@0x100,der,of=0x0");
  EXPECT_TRUE(f.kind.signature.der);
  EXPECT_EQ(f.kind.width(), 72u);

  f = parsed("sign:ed25519,key=k.pem@0x100,over=0..0xff");
  EXPECT_EQ(f.kind.signature.keyFile, "k.pem");
  EXPECT_FALSE(f.signsField);
  EXPECT_EQ(f.kind.width(), 64u);

  f = parsed("file:sig\\@v2\\\\x.bin@0x100");
  EXPECT_EQ(f.kind.what, fieldKind::type::file);
  EXPECT_EQ(f.kind.path, "sig@v2\\x.bin");
  EXPECT_EQ(f.where.value, 0x100u);

  f = parsed("sha384@0x100,self=zero,over=0x0..end");
  EXPECT_EQ(f.kind.what, fieldKind::type::digest);
  EXPECT_EQ(f.kind.width(), 48u);
  EXPECT_EQ(f.self, selfBytes::zero);
}
