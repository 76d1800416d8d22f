// Integrity fields (--insert) through the built binary, on the committed
// executables of either byte order: every kind against python3-crcmod and
// against srec_cat's own filters over the same bytes, fields at linker
// symbols at load and run addresses, the field in every format and every
// lane, what a field covers, the refusals, and fields with several
// memories. python3-crcmod, srec_cat and objcopy come from tools/install-deps.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

bool haveCrcmod() { return sh(".", "/usr/bin/python3 -c 'import crcmod.predefined'").status == 0; }

#define SKIP_WITHOUT_CRCMOD()                                                                 \
  do {                                                                                        \
    if (!haveCrcmod()) GTEST_SKIP() << "no python3-crcmod (tools/install-deps installs it)"; \
  } while (0)

// The values python3-crcmod's functions `fns` (Python expressions, `p`
// being mkPredefinedCrcFun) give over `bytes`, in order.
std::vector<uint64_t> crcmod(const fs::path& dir, const std::string& bytes, const std::vector<std::string>& fns) {
  put(dir / "covered.bin", bytes);
  std::string script = "import crcmod, crcmod.predefined\np = crcmod.predefined.mkPredefinedCrcFun\n"
                       "d = open('covered.bin', 'rb').read()\n";
  for (const std::string& f : fns) script += "print((" + f + ")(d))\n";
  put(dir / "crcs.py", script);
  const Shell r = sh(dir, "/usr/bin/python3 crcs.py");
  std::vector<uint64_t> values;
  std::istringstream in(r.out);
  for (uint64_t v; in >> v;) values.push_back(v);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(values.size(), fns.size()) << r.out;
  values.resize(fns.size());
  return values;
}

// crc32 in crcmod's terms, the kind most cases store.
const std::string crc32 = "p('crc-32')";

// The `width` bytes at `at` of `img` as a number in the given byte order.
uint64_t stored(const std::string& img, size_t at, size_t width, bool little) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; i++) v = v << 8 | static_cast<uint8_t>(img.at(at + (little ? width - 1 - i : i)));
  return v;
}

// `v` as `width` bytes in the given byte order.
std::string bytesOf(uint64_t v, size_t width, bool little) {
  std::string b(width, '\0');
  for (size_t i = 0; i < width; i++) b[little ? i : width - 1 - i] = static_cast<char>(v >> (8 * i));
  return b;
}

// A sum (sum8/16/32, with ~ or - in front) or a length, worked out here:
// units of the sum's width in the given byte order.
uint64_t sumOf(std::string kind, const std::string& bytes, bool little) {
  if (kind == "length16" || kind == "length32") return bytes.size();
  const char comp = kind[0] == '~' || kind[0] == '-' ? kind[0] : ' ';
  if (comp != ' ') kind.erase(0, 1);
  const size_t unit = std::stoul(kind.substr(3)) / 8;
  uint64_t sum = 0;
  for (size_t i = 0; i + unit <= bytes.size(); i += unit) sum += stored(bytes, i, unit, little);
  const uint64_t mask = unit == 4 ? 0xFFFFFFFFu : (uint64_t{1} << (8 * unit)) - 1;
  if (comp == '~') sum = ~sum;
  if (comp == '-') sum = 0 - sum;
  return sum & mask;
}

// The committed executables: where their load image starts, a region a
// little larger, and their byte order. The load image is ROMCOPY.load.bin.
struct Romcopy {
  const char* name;
  uint32_t base;
  uint32_t region;  // bytes
  bool little;
};
const Romcopy arm{"romcopy-arm", 0x08000000, 0x200, true};
const Romcopy mips{"romcopy-mips", 0xbfc00000, 0x480, false};

std::string hex(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string elfOf(const Romcopy& x) { return (testdata / (std::string(x.name) + ".elf")).string(); }
std::string loadOf(const Romcopy& x) { return slurp(testdata / (std::string(x.name) + ".load.bin")); }

// Runs the tool on `x` for a bin of bytes over its region, with `more`
// options, and returns the image; a run that fails fails the test.
std::string binOf(const fs::path& dir, const Romcopy& x, const std::vector<std::string>& more,
                  std::string region = "") {
  if (region.empty()) region = hex(x.base) + ":" + hex(x.region);
  std::vector<std::string> args = {"-f", elfOf(x), "--format=bin", "--width=8", "--region=" + region,
                                   "--output=x.bin"};
  args.insert(args.end(), more.begin(), more.end());
  const Outcome r = run(args, {.cwd = dir});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.status == 0 ? slurp(dir / "x.bin") : std::string();
}

}  // namespace

// Every kind, stored after the image of each executable in its own byte
// order, holds the value over the image's bytes: the CRCs as python3-crcmod
// computes them, the sums and lengths as worked out here. Nothing else of
// the image changes.
TEST(InsertKinds, EveryKindMatchesAnIndependentComputation) {
  SKIP_WITHOUT_CRCMOD();
  struct Kind {
    const char* kind;
    size_t width;
    const char* crcmod;  // null: worked out here
  };
  const Kind kinds[] = {
      {"crc32", 4, "p('crc-32')"},
      {"crc32c", 4, "p('crc-32c')"},
      {"crc32-mpeg2", 4, "p('crc-32-mpeg')"},
      {"crc32-bzip2", 4, "p('crc-32-bzip2')"},
      {"crc32-posix", 4, "p('posix')"},
      {"crc16-ccitt-false", 2, "p('crc-ccitt-false')"},
      {"crc16-xmodem", 2, "p('xmodem')"},
      {"crc16-kermit", 2, "p('kermit')"},
      {"crc16-aug-ccitt", 2, "p('crc-aug-ccitt')"},
      {"crc16-modbus", 2, "p('modbus')"},
      {"crc16-arc", 2, "p('crc-16')"},
      {"crc8", 1, "p('crc-8')"},
      {"crc64-xz", 8, "crcmod.mkCrcFun(0x142F0E1EBA9EA3693, initCrc=0, rev=True, xorOut=(1<<64)-1)"},
      {"crc:24:0x864cfb:0xb704ce:false:false:0", 3, "p('crc-24')"},
      {"crc:16:0x8005:0:true:true:0", 2, "p('crc-16')"},
      {"sum8", 1, nullptr},
      {"~sum8", 1, nullptr},
      {"-sum8", 1, nullptr},
      {"sum16", 2, nullptr},
      {"~sum16", 2, nullptr},
      {"-sum16", 2, nullptr},
      {"sum32", 4, nullptr},
      {"~sum32", 4, nullptr},
      {"-sum32", 4, nullptr},
      {"length16", 2, nullptr},
      {"length32", 4, nullptr},
  };
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    const std::string load = loadOf(x);
    const size_t field = load.size() / 8 * 8 + 8;  // past the image, after a gap
    std::vector<std::string> fns;
    for (const Kind& k : kinds) {
      if (k.crcmod != nullptr) fns.push_back(k.crcmod);
    }
    const std::vector<uint64_t> crcs = crcmod(dir.path, load, fns);
    size_t next = 0;
    for (const Kind& k : kinds) {
      SCOPED_TRACE(std::string(x.name) + " " + k.kind);
      const uint64_t want = k.crcmod != nullptr ? crcs[next++] : sumOf(k.kind, load, x.little);
      const std::string got = binOf(dir.path, x, {"--insert=" + std::string(k.kind) + "@" + hex(x.base + field)});
      std::string image = load + std::string(x.region - load.size(), '\0');
      image.replace(field, k.width, bytesOf(want, k.width, x.little));
      ASSERT_EQ(got.size(), image.size());
      EXPECT_EQ(got, image) << "want " << hex(want) << ", stored " << hex(stored(got, field, k.width, x.little));
    }
  }
}

// srec_cat's CRC and checksum filters over the same bytes give the values
// stored in the byte order each asks for: its CRC16 is crc16-aug-ccitt, its
// sums of a value and unit of 2 or 4 bytes are sum16 and sum32 with units
// in the stored byte order, whatever the executable's.
TEST(InsertKinds, MatchesSrecCatsFilters) {
  struct Case {
    const char* insert;  // with @N for the address after the image
    const char* filter;  // with N for the offset after the image
    size_t width;
  };
  const Case cases[] = {
      {"crc32@N,order=little", "-crc32-l-e N", 4},
      {"crc32@N,order=big", "-crc32-b-e N", 4},
      {"crc16-aug-ccitt@N,order=big", "-crc16-b-e N", 2},
      {"crc16-xmodem@N,order=little", "-crc16-l-e N -xmodem", 2},
      {"sum8@N", "-checksum-positive-l-e N 1 1", 1},
      {"~sum8@N", "-checksum-bitnot-l-e N 1 1", 1},
      {"-sum8@N", "-checksum-negative-l-e N 1 1", 1},
      {"sum16@N,order=little", "-checksum-positive-l-e N 2 2", 2},
      {"-sum16@N,order=big", "-checksum-negative-b-e N 2 2", 2},
      {"~sum32@N,order=big", "-checksum-bitnot-b-e N 4 4", 4},
      {"-sum32@N,order=little", "-checksum-negative-l-e N 4 4", 4},
  };
  if (sh(".", "srec_cat -version").status != 0) GTEST_SKIP() << "no srec_cat (tools/install-deps installs srecord)";
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    const std::string load = loadOf(x);
    put(dir.path / "load.bin", load);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(x.name) + " " + c.insert);
      std::string insert = c.insert, filter = c.filter;
      insert.replace(insert.find('N'), 1, hex(x.base + load.size()));
      filter.replace(filter.find('N'), 1, std::to_string(load.size()));
      const std::string got = binOf(dir.path, x, {"--insert=" + insert});
      const std::string cmd = "srec_cat load.bin -binary -crop 0 " + std::to_string(load.size()) + " " + filter +
                              " -o want.bin -binary";
      ASSERT_SH(dir.path, cmd);
      EXPECT_EQ(got.substr(0, load.size() + c.width), slurp(dir.path / "want.bin")) << cmd;
    }
  }
}

// A field at a linker symbol goes to the symbol's load address in a memory
// that takes load addresses (the default), to its run address with
// --addresses=run, and N bytes on with sym:NAME+N; it covers the memory's
// placed bytes but its own, and only its own bytes change.
TEST(InsertSymbols, FieldAtASymbolFollowsTheMemorysAddresses) {
  SKIP_WITHOUT_CRCMOD();
  struct Case {
    const Romcopy* x;
    std::string where;
    std::vector<std::string> args;
    std::string region;  // empty: the load image's
    size_t at;           // the field's offset in the image
    size_t end;          // the end of the placed bytes
  };
  const Case cases[] = {
      {&arm, "sym:calib", {}, "", 0x1a4, 0x1f4},
      {&arm, "sym:calib+4", {}, "", 0x1a8, 0x1f4},
      {&mips, "sym:calib", {}, "", 0x43c, 0x460},
      {&mips, "sym:calib+20", {}, "", 0x450, 0x460},
      // At run addresses the copy in RAM holds calib at 0x2000003c, and
      // .bss is placed too: the placed bytes run to 0x200000cf.
      {&arm, "sym:calib", {"--addresses=run", "--crop"}, "0x20000000:0x100", 0x3c, 0xd0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.x->name) + " " + c.where + (c.region.empty() ? "" : " run"));
    TempDir dir;
    const std::string region = c.region.empty() ? hex(c.x->base) + ":" + hex(c.x->region) : c.region;
    std::vector<std::string> plainArgs = {"-f", elfOf(*c.x), "--format=bin", "--width=8", "--output=plain.bin",
                                          "--quiet", "--region=" + region};
    plainArgs.insert(plainArgs.end(), c.args.begin(), c.args.end());
    std::vector<std::string> args = plainArgs;
    args[4] = "--output=x.bin";
    args.push_back("--insert=crc32@" + c.where);
    const Outcome plain = run(plainArgs, {.cwd = dir.path});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const Outcome r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string before = slurp(dir.path / "plain.bin"), got = slurp(dir.path / "x.bin");
    const uint64_t want = crcmod(dir.path, before.substr(0, c.at) + before.substr(c.at + 4, c.end - c.at - 4), {crc32})[0];
    std::string image = before;
    image.replace(c.at, 4, bytesOf(want, 4, c.x->little));
    EXPECT_EQ(got, image);
  }
}

// The field is a placed byte of the memory, which every format writes: the
// sparse Intel HEX and S-records hold it past a gap where no segment is,
// and each of four byte lanes holds its byte of it. They are read back by
// objcopy and srec_cat and compared with the bin of the same run.
TEST(InsertFormats, FieldIsInEveryFormatAndEveryLane) {
  TempDir dir;
  const std::string elf = elfOf(arm);
  const std::vector<std::string> common = {"-f", elf, "--region=0x08000000:0x300", "--insert=crc32@0x08000200"};
  auto tool = [&](std::vector<std::string> more) {
    more.insert(more.begin(), common.begin(), common.end());
    const Outcome r = run(more, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
  };
  tool({"--format=bin", "--width=8", "--output=ref.bin"});
  const std::string ref = slurp(dir.path / "ref.bin");
  ASSERT_EQ(ref.size(), 0x300u);
  ASSERT_NE(ref.substr(0x200, 4), std::string(4, '\0'));

  // Sparse: the placed bytes, then the gap to the field, then the field.
  for (const char* f : {"ihex", "srec"}) {
    SCOPED_TRACE(f);
    tool({std::string("--format=") + f, std::string("--output=x.") + f});
    ASSERT_SH(dir.path, std::string("objcopy -I ") + f + " -O binary x." + f + " " + f + ".bin");
    EXPECT_EQ(slurp(dir.path / (std::string(f) + ".bin")), ref.substr(0, 0x204));
  }

  tool({"--format=vmem", "--width=32", "--lanes=4", "--output=lane%d.vmem"});
  std::string lanes(ref.size(), '\0');
  for (int lane = 0; lane < 4; lane++) {
    const std::string name = "lane" + std::to_string(lane);
    ASSERT_SH(dir.path, "srec_cat " + name + ".vmem -vmem -o " + name + ".bin -binary");
    const std::string bytes = slurp(dir.path / (name + ".bin"));
    ASSERT_EQ(bytes.size(), ref.size() / 4);
    // Lane 0 holds each little-endian word's least significant byte.
    for (size_t w = 0; w < bytes.size(); w++) lanes[4 * w + static_cast<size_t>(lane)] = bytes[w];
  }
  EXPECT_EQ(lanes, ref);
}

// What a field covers: the fill in over= counts as the fill value and the
// field's own bytes are left out.
TEST(InsertCoverage, FillCountsAndTheFieldsOwnBytesDoNot) {
  SKIP_WITHOUT_CRCMOD();
  TempDir dir;
  const std::string region = "0x08000000:0x300";
  const std::string got = binOf(dir.path, arm, {"--fill=0xff", "--insert=crc32@0x08000200,over=0x08000000..0x0800027f"},
                                region);
  ASSERT_EQ(got.size(), 0x300u);
  EXPECT_EQ(got.substr(0x1f4, 12), std::string(12, '\xff'));
  const uint64_t want = crcmod(dir.path, got.substr(0, 0x200) + got.substr(0x204, 0x7c), {crc32})[0];
  EXPECT_EQ(stored(got, 0x200, 4, true), want);
}

// Fields are computed in command-line order: one covering another covers
// its value only when it comes later, and an earlier field is a placed byte
// that a later field's default range reaches.
TEST(InsertCoverage, LaterFieldCoversAnEarlierOnesValue) {
  SKIP_WITHOUT_CRCMOD();
  TempDir dir;
  const std::string region = "0x08000000:0x300";
  const std::string first = "--insert=crc32@0x08000200";
  const std::string second = "--insert=crc16-xmodem@0x08000208,over=0x08000000..0x08000207";

  const std::string got = binOf(dir.path, arm, {first, second}, region);
  std::vector<uint64_t> want = crcmod(dir.path, got.substr(0, 0x1f4), {crc32});
  EXPECT_EQ(stored(got, 0x200, 4, true), want[0]);
  want = crcmod(dir.path, got.substr(0, 0x208), {"p('xmodem')"});
  EXPECT_EQ(stored(got, 0x208, 2, true), want[0]);

  // Given first, the CRC16 sees fill where the CRC32 goes; the CRC32, now
  // the later, reaches to the last placed byte, the CRC16's, and covers it.
  const std::string swapped = binOf(dir.path, arm, {second, first}, region);
  std::string before = swapped.substr(0, 0x208);
  before.replace(0x200, 4, 4, '\0');
  want = crcmod(dir.path, before, {"p('xmodem')"});
  EXPECT_EQ(stored(swapped, 0x208, 2, true), want[0]);
  want = crcmod(dir.path, swapped.substr(0, 0x200) + swapped.substr(0x204, 6), {crc32});
  EXPECT_EQ(stored(swapped, 0x200, 4, true), want[0]);
}

// The Cortex-M boot check: the two's complement of the sum of vector words
// 0 to 6, stored as word 7, makes words 0 to 7 sum to zero. The field's own
// word inside over= is left out.
TEST(InsertCoverage, CortexMVectorChecksumMakesTheWordsSumToZero) {
  TempDir dir;
  const std::string load = loadOf(arm);
  for (const char* over : {"0x08000000..0x0800001b", "0x08000000..0x0800001f"}) {
    SCOPED_TRACE(over);
    const std::string got = binOf(dir.path, arm, {std::string("--insert=-sum32@0x0800001c,over=") + over});
    uint32_t sum = 0;
    for (size_t w = 0; w < 8; w++) sum += static_cast<uint32_t>(stored(got, 4 * w, 4, true));
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(got.substr(0, 0x1c), load.substr(0, 0x1c));
    EXPECT_EQ(got.substr(0x20, load.size() - 0x20), load.substr(0x20));
  }
}

// A length counts up to what its width holds: length16 over 65535 bytes is
// 0xffff, over 65536 it is refused.
TEST(InsertCoverage, LengthCountsUpToWhatItsWidthHolds) {
  TempDir dir;
  const std::string region = "0x08000000:0x10010";
  const std::string got = binOf(dir.path, arm, {"--insert=length16@0x08010000,over=0x08000000..0x0800fffe"}, region);
  EXPECT_EQ(stored(got, 0x10000, 2, true), 0xffffu);
  const std::string text = "length16@0x08010000,over=0x08000000..0x0800ffff";
  const Outcome r = run({"-f", elfOf(arm), "--format=bin", "--width=8", "--region=" + region, "--output=y.bin",
                        "--insert=" + text},
                       {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "--insert=" + text + ": 65536 bytes are more than it can count\n");
  EXPECT_FALSE(fs::exists(dir.path / "y.bin"));
}

// Each refusal: its message, status 1, and nothing written.
TEST(InsertRefusals, RefusedWithTheReasonAndNothingWritten) {
  const std::string kinds =
      "crc32, crc32c, crc32-mpeg2, crc32-bzip2, crc32-posix, crc16-ccitt-false, crc16-xmodem, crc16-kermit, "
      "crc16-aug-ccitt, crc16-modbus, crc16-arc, crc8, crc64-xz, crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT, sum8, "
      "~sum8, -sum8, sum16, ~sum16, -sum16, sum32, ~sum32, -sum32, length16, length32, sha1, sha224, sha256, "
      "sha384, sha512, md5, sign:ed25519,key=FILE, sign:ecdsa-p256,key=FILE[,der=yes], u8:VALUE, u16:VALUE, "
      "u32:VALUE, u64:VALUE, bytes:HEX, string:TEXT, file:PATH";
  struct Case {
    std::vector<std::string> inserts;
    std::string err;
  };
  const Case cases[] = {
      {{"crc32@0x10000000"}, "--insert=crc32@0x10000000: its 4 bytes lie in no memory\n"},
      {{"crc32@0x080001fe"}, "--insert=crc32@0x080001fe: its 4 bytes lie in no memory\n"},
      {{"crc64-xz@0x07fffffc"}, "--insert=crc64-xz@0x07fffffc: its 8 bytes lie in no memory\n"},
      {{"crc32@0x080001f8", "crc16-xmodem@0x080001fa"},
       "--insert=crc16-xmodem@0x080001fa: overlaps the field at 0x080001f8..0x080001fb\n"},
      {{"crc32@0x080001f8,over=0x08000000..0x08000200"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x08000200: over= covers bytes outside the memory holding "
       "the field, 0x08000000..0x080001ff\n"},
      {{"crc32@0x080001f8,over=0x07ffffff..0x08000010"},
       "--insert=crc32@0x080001f8,over=0x07ffffff..0x08000010: over= covers bytes outside the memory holding "
       "the field, 0x08000000..0x080001ff\n"},
      {{"crc32@0x080001f8,over=0x08000010..0x08000000"},
       "--insert=crc32@0x080001f8,over=0x08000010..0x08000000: over= ends before it starts\n"},
      {{"crc32@sym:nosuch"}, "--insert=crc32@sym:nosuch: no ELF input defines the symbol nosuch\n"},
      {{"crc32@0x080001f8,over=sym:calib..sym:nosuch+4"},
       "--insert=crc32@0x080001f8,over=sym:calib..sym:nosuch+4: no ELF input defines the symbol nosuch\n"},
      {{"bogus@0x080001f8"}, "--insert=bogus@0x080001f8: not a kind: " + kinds + "\n"},
      {{"~length16@0x080001f8"}, "--insert=~length16@0x080001f8: not a kind: " + kinds + "\n"},
      {{"crc:7:0x7:0:false:false:0@0x080001f8"},
       "--insert=crc:7:0x7:0:false:false:0@0x080001f8: CRC width is 8 to 64, not \"7\"\n"},
      {{"crc:16:0x11021:0:false:false:0@0x080001f8"},
       "--insert=crc:16:0x11021:0:false:false:0@0x080001f8: CRC poly \"0x11021\" does not fit 16 bits\n"},
      {{"crc:16:0x1021:0:yes:false:0@0x080001f8"},
       "--insert=crc:16:0x1021:0:yes:false:0@0x080001f8: CRC refin is true or false, not \"yes\"\n"},
      {{"crc:16:0x1021:0:false:false@0x080001f8"},
       "--insert=crc:16:0x1021:0:false:false@0x080001f8: a CRC of its own is "
       "crc:WIDTH:POLY:INIT:REFIN:REFOUT:XOROUT, 6 fields, not 5\n"},
      {{"crc:16:0:0:false:false:0@0x080001f8"},
       "--insert=crc:16:0:0:false:false:0@0x080001f8: CRC poly must not be 0\n"},
      {{"crc32"}, "--insert=crc32: not KIND@WHERE[,KEY=VALUE...]\n"},
      {{"crc32@calib"}, "--insert=crc32@calib: WHERE is an address or sym:NAME[+N]\n"},
      {{"crc32@sym:calib+x"}, "--insert=crc32@sym:calib+x: WHERE is an address or sym:NAME[+N]\n"},
      {{"crc32@0x080001f8,over=0x08000000"},
       "--insert=crc32@0x080001f8,over=0x08000000: over= is FROM..TO[+FROM..TO...], each an address or "
       "sym:NAME[+N], TO also end\n"},
      {{"crc32@0x080001f8,order=native"},
       "--insert=crc32@0x080001f8,order=native: order= is little or big, not native\n"},
      // Keys and what each kind takes.
      {{"crc32@0x080001f8,foo=1"},
       "--insert=crc32@0x080001f8,foo=1: not an item of --insert: foo=1 (over=, order=, self=, unit=, nul=, of=, "
       "key=, der=)\n"},
      {{"crc32@0x080001f8,order=big,order=little"},
       "--insert=crc32@0x080001f8,order=big,order=little: order= is given twice\n"},
      {{"crc32@0x080001f8,over"}, "--insert=crc32@0x080001f8,over: over= needs a value\n"},
      {{"crc32@0x080001f8,,order=big"},
       "--insert=crc32@0x080001f8,,order=big: an item is empty: two commas in a row, or one at the end\n"},
      {{"crc32@0x080001f8,self=maybe"}, "--insert=crc32@0x080001f8,self=maybe: self= is skip or zero, not maybe\n"},
      {{"crc32@0x080001f8,unit=24"}, "--insert=crc32@0x080001f8,unit=24: unit= is 8, 16 or 32, not 24\n"},
      {{"sum32@0x080001f8,unit=32"}, "--insert=sum32@0x080001f8,unit=32: unit= is for CRCs only, not sum32\n"},
      {{"u32:1@0x080001f8,unit=32"}, "--insert=u32:1@0x080001f8,unit=32: unit= is for CRCs only, not u32:1\n"},
      {{"crc32@0x080001f8,nul=yes"}, "--insert=crc32@0x080001f8,nul=yes: nul= is for string: only\n"},
      {{"u32:1@0x080001f8,over=0x08000000..0x08000010"},
       "--insert=u32:1@0x080001f8,over=0x08000000..0x08000010: over= is for computed values, not a constant\n"},
      {{"u32:1@0x080001f8,self=zero"},
       "--insert=u32:1@0x080001f8,self=zero: self= is for computed values, not a constant\n"},
      {{"bytes:00@0x080001f8,order=big"},
       "--insert=bytes:00@0x080001f8,order=big: order= is for numbers, CRCs, sums and lengths, not bytes:\n"},
      {{"sha256@0x080001e0,order=big"},
       "--insert=sha256@0x080001e0,order=big: order= is for numbers, CRCs, sums and lengths, not sha256\n"},
      {{"sha256@0x080001e0,unit=32"}, "--insert=sha256@0x080001e0,unit=32: unit= is for CRCs only, not sha256\n"},
      {{"crc32@0x080001f8,key=k.pem"}, "--insert=crc32@0x080001f8,key=k.pem: key= is for sign: only\n"},
      {{"crc32@0x080001f8,of=0x08000000"}, "--insert=crc32@0x080001f8,of=0x08000000: of= is for sign: only\n"},
      {{"sign:ed25519@0x080001c0"},
       "--insert=sign:ed25519@0x080001c0: sign:ed25519 needs key=FILE, a PEM private key\n"},
      {{"sign:ed25519@0x080001c0,key"}, "--insert=sign:ed25519@0x080001c0,key: key= needs a value\n"},
      {{"sign:rsa,key=k.pem@0x080001c0"},
       "--insert=sign:rsa,key=k.pem@0x080001c0: sign: takes ed25519 or ecdsa-p256, not \"rsa\"\n"},
      {{"sign:ed25519,key=k.pem@0x080001c0,of=0x08000000,over=0x08000000..0x0800000f"},
       "--insert=sign:ed25519,key=k.pem@0x080001c0,of=0x08000000,over=0x08000000..0x0800000f: of= signs a "
       "digest field; over= and self= are for a signature of ranges\n"},
      {{"sign:ed25519,key=k.pem@0x080001c0,of=0x08000000"},
       "--insert=sign:ed25519,key=k.pem@0x080001c0,of=0x08000000: of= names no digest field stored before it\n"},
      {{"sign:ed25519,key=nosuch.pem@0x080001c0"},
       "--insert=sign:ed25519,key=nosuch.pem@0x080001c0: key file nosuch.pem: No such file or directory\n"},
      // Constants.
      {{"u16:0x10000@0x080001f8"}, "--insert=u16:0x10000@0x080001f8: 0x10000 does not fit u16\n"},
      {{"u8:256@0x080001f8"}, "--insert=u8:256@0x080001f8: 256 does not fit u8\n"},
      {{"u32:-1@0x080001f8"}, "--insert=u32:-1@0x080001f8: u32: VALUE is a number, 0x hex or decimal, not \"-1\"\n"},
      {{"bytes:abc@0x080001f8"},
       "--insert=bytes:abc@0x080001f8: bytes: HEX is pairs of hex digits, the first byte first, not \"abc\"\n"},
      {{"bytes:0xab@0x080001f8"},
       "--insert=bytes:0xab@0x080001f8: bytes: HEX is pairs of hex digits, the first byte first, not \"0xab\"\n"},
      {{"string:a\\q@0x080001f8"}, "--insert=string:a\\q@0x080001f8: string: \\q is no escape: \\@, \\\\ or \\xHH\n"},
      {{"string:a\\x4@0x080001f8"},
       "--insert=string:a\\x4@0x080001f8: string: \\x4 is no escape: \\@, \\\\ or \\xHH\n"},
      {{"string:@0x080001f8"},
       "--insert=string:@0x080001f8: string: TEXT is empty and writes no byte (nul=yes writes its NUL)\n"},
      {{"string:a@b@0x080001f8"},
       "--insert=string:a@b@0x080001f8: WHERE is an address or sym:NAME[+N] (an @ in TEXT is written \\@)\n"},
      {{"string:0123456789@0x080001f8"}, "--insert=string:0123456789@0x080001f8: its 10 bytes lie in no memory\n"},
      {{"u32:1@0x080001f8", "bytes:0102@0x080001fb"},
       "--insert=bytes:0102@0x080001fb: overlaps the field at 0x080001f8..0x080001fb\n"},
      // Several ranges and words.
      {{"crc32@0x080001f8,over=0x08000000..0x0800000f+"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x0800000f+: over= is FROM..TO[+FROM..TO...], each an "
       "address or sym:NAME[+N], TO also end\n"},
      {{"crc32@0x080001f8,over=end..0x0800000f"},
       "--insert=crc32@0x080001f8,over=end..0x0800000f: over= is FROM..TO[+FROM..TO...], each an address or "
       "sym:NAME[+N], TO also end\n"},
      {{"crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..0x08000000"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..0x08000000: over= range 2 ends "
       "before it starts\n"},
      {{"crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..0x08000200"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..0x08000200: over= range 2 covers "
       "bytes outside the memory holding the field, 0x08000000..0x080001ff\n"},
      {{"crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..sym:nosuch"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x0800000f+0x08000010..sym:nosuch: no ELF input defines "
       "the symbol nosuch\n"},
      {{"crc32@0x080001f8,over=0x08000000..0x08000102,unit=32"},
       "--insert=crc32@0x080001f8,over=0x08000000..0x08000102,unit=32: unit=32 takes whole 4-byte words, not "
       "the 259 bytes of 0x08000000..0x08000102\n"},
      {{"crc16-xmodem@0x080001f8,over=0x08000000..0x080001fa,unit=16,self=zero"},
       "--insert=crc16-xmodem@0x080001f8,over=0x08000000..0x080001fa,unit=16,self=zero: unit=16 takes whole "
       "2-byte words, not the 507 bytes of 0x08000000..0x080001fa\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inserts.back());
    TempDir dir;
    std::vector<std::string> args = {"-f", elfOf(arm), "--format=bin", "--width=8", "--region=0x08000000:0x200",
                                     "--output=x.bin"};
    for (const std::string& i : c.inserts) args.push_back("--insert=" + i);
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{});
  }
  // A field belongs to a memory image.
  TempDir dir;
  const Outcome r = run({"-f", elfOf(arm), "-r", "--insert=crc32@0x08000000"}, {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "--insert=crc32@0x08000000: only with --format\n");
  EXPECT_EQ(listDir(dir.path), std::vector<std::string>{});
}

// With several memories a field goes into the first memory given whose
// addresses hold it, covers that memory's placed bytes and leaves the
// others alone; over= may not reach into another memory. A symbol is
// looked up at the addresses each memory takes.
TEST(InsertMemories, FieldBelongsToTheMemoryHoldingIt) {
  SKIP_WITHOUT_CRCMOD();
  const std::string load = loadOf(arm);
  const std::vector<std::string> two = {"-f", elfOf(arm), "--format=bin", "--width=8",
                                        "--memory=lo:0x08000000:0x100,output=lo.bin",
                                        "--memory=hi:0x08000100:0x100,output=hi.bin"};
  {
    TempDir dir;
    std::vector<std::string> args = two;
    args.push_back("--insert=crc32@0x080001f8");
    const Outcome r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path / "lo.bin"), load.substr(0, 0x100));
    const std::string hi = slurp(dir.path / "hi.bin");
    std::string want = load.substr(0x100) + std::string(0xc, '\0');
    want.replace(0xf8, 4, bytesOf(crcmod(dir.path, load.substr(0x100), {crc32})[0], 4, true));
    EXPECT_EQ(hi, want);
  }
  {
    TempDir dir;
    std::vector<std::string> args = two;
    const std::string text = "crc32@0x080001f8,over=0x080000f0..0x080001f3";
    args.push_back("--insert=" + text);
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "--insert=" + text +
                         ": over= covers bytes outside the memory holding the field, 0x08000100..0x080001ff\n");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{});
  }
  // Flash at load addresses and RAM at run addresses both hold calib: the
  // memory given first takes the field.
  const std::string flash = "--memory=flash:0x08000000:0x200,output=flash.bin";
  const std::string ram = "--memory=ram:0x20000000:0x100,output=ram.bin,addresses=run";
  for (bool flashFirst : {true, false}) {
    SCOPED_TRACE(flashFirst ? "flash first" : "ram first");
    TempDir dir;
    const Outcome plain = run({"-f", elfOf(arm), "--format=bin", "--width=8", flash, ram}, {.cwd = dir.path});
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string flashPlain = slurp(dir.path / "flash.bin"), ramPlain = slurp(dir.path / "ram.bin");
    const Outcome r = run({"-f", elfOf(arm), "--format=bin", "--width=8", flashFirst ? flash : ram,
                          flashFirst ? ram : flash, "--insert=crc32@sym:calib"},
                         {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string& before = flashFirst ? flashPlain : ramPlain;
    const size_t at = flashFirst ? 0x1a4 : 0x3c, end = flashFirst ? 0x1f4 : 0xd0;
    std::string want = before;
    want.replace(at, 4, bytesOf(crcmod(dir.path, before.substr(0, at) + before.substr(at + 4, end - at - 4),
                                       {crc32})[0],
                                4, true));
    EXPECT_EQ(slurp(dir.path / (flashFirst ? "flash.bin" : "ram.bin")), want);
    EXPECT_EQ(slurp(dir.path / (flashFirst ? "ram.bin" : "flash.bin")), flashFirst ? ramPlain : flashPlain);
  }
}

// A memory given by --depth alone reaches past the placed bytes; a field
// there is accepted and must be written.
TEST(InsertDepth, FieldPastThePlacedBytesWithinDepthIsWritten) {
  SKIP_WITHOUT_CRCMOD();
  TempDir dir;
  const std::string load = loadOf(arm);
  for (const char* format : {"bin", "ihex"}) {
    SCOPED_TRACE(format);
    const Outcome r = run({"-f", elfOf(arm), std::string("--format=") + format, "--width=32", "--depth=0x80",
                          "--output=x", "--insert=crc32@0x080001f8"},
                         {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    if (std::string(format) == "ihex") ASSERT_SH(dir.path, "objcopy -I ihex -O binary x x.bin");
    else ASSERT_SH(dir.path, "cp x x.bin");
    const std::string got = slurp(dir.path / "x.bin");
    ASSERT_GE(got.size(), 0x1fcu);
    EXPECT_EQ(stored(got, 0x1f8, 4, true), crcmod(dir.path, load, {crc32})[0]);
  }
}

// sym:NAME+N past the end of the 64-bit address space is no address of any
// memory: a 64-bit executable's symbol near the top plus N must not wrap
// round to a low address and overwrite the bytes there.
TEST(InsertSymbols, SymbolPlusOffsetPastTheAddressSpaceIsRefused) {
  TempDir dir;
  ASSERT_SH(dir.path, "objcopy -I elf64-little --add-symbol top=0x7fffffffffffffff '" +
                          (testdata / "romcopy-rv64.elf").string() + "' top.elf");
  // objcopy takes the value as signed: set it to 0xfffffffff0000010 in the file.
  std::string elf = slurp(dir.path / "top.elf");
  const std::string was = bytesOf(0x7fffffffffffffff, 8, true);
  ASSERT_EQ(elf.find(was), elf.rfind(was));
  ASSERT_NE(elf.find(was), std::string::npos);
  elf.replace(elf.find(was), 8, bytesOf(0xfffffffff0000010, 8, true));
  put(dir.path / "top.elf", elf);
  // 0xfffffffff0000010 + 0x30000000 wraps to 0x20000010, inside the image.
  const std::string text = "crc32@sym:top+0x30000000";
  const Outcome r = run({"-f", "top.elf", "--format=bin", "--width=8", "--output=x.bin", "--insert=" + text},
                       {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "--insert=" + text + ": top+0x30000000 lies past the end of the address space\n");
  EXPECT_FALSE(fs::exists(dir.path / "x.bin"));
}

namespace {

// `text` with each {NAME} replaced by its value in 0x hex, which the tool
// and srec_cat both read.
std::string fill(std::string text, const std::vector<std::pair<std::string, uint64_t>>& values) {
  for (const auto& [name, v] : values) {
    for (size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) text.replace(at, name.size() + 2, hex(v));
  }
  return text;
}

}  // namespace

// Constants land as srec_cat's generators write the same values: numbers
// in either byte order whatever the executable's, text with its escapes
// (an @ and a comma in it) and bytes as given. Nothing else changes.
TEST(InsertConstants, MatchSrecCatsGenerators) {
  struct Case {
    const char* insert;     // {A}: the field's address
    const char* generator;  // {A}, {B}: its offset and end, srec_cat's terms
    size_t width;
  };
  const Case cases[] = {
      {"u8:0xa5@{A}", "-generate {A} {B} -constant-l-e 0xa5 1", 1},
      {"u16:0x1234@{A},order=little", "-generate {A} {B} -constant-l-e 0x1234 2", 2},
      {"u16:4660@{A},order=big", "-generate {A} {B} -constant-b-e 0x1234 2", 2},
      {"u32:0xcafef00d@{A},order=little", "-generate {A} {B} -constant-l-e 0xcafef00d 4", 4},
      {"u32:0xcafef00d@{A},order=big", "-generate {A} {B} -constant-b-e 0xcafef00d 4", 4},
      // srec_cat's constants stop at 4 bytes: a u64 is two halves.
      {"u64:0x0123456789abcdef@{A},order=little",
       "-generate {A} {A4} -constant-l-e 0x89abcdef 4 -generate {A4} {B} -constant-l-e 0x01234567 4", 8},
      {"u64:0x0123456789abcdef@{A},order=big",
       "-generate {A} {A4} -constant-b-e 0x01234567 4 -generate {A4} {B} -constant-b-e 0x89abcdef 4", 8},
      {"bytes:DEADbeef0001@{A}", "-generate {A} {B} -repeat-data 0xde 0xad 0xbe 0xef 0x00 0x01", 6},
      {"string:APDesc00@{A}", "-generate {A} {B} -repeat-string APDesc00", 8},
      {"string:v1.2,rc\\@x@{A},nul=yes",
       "-generate {A} {B} -repeat-data 0x76 0x31 0x2e 0x32 0x2c 0x72 0x63 0x40 0x78 0", 10},
      {"string:a\\x00b\\\\@{A}", "-generate {A} {B} -repeat-data 0x61 0 0x62 0x5c", 4},
  };
  if (sh(".", "srec_cat -version").status != 0) GTEST_SKIP() << "no srec_cat (tools/install-deps installs srecord)";
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    const std::string load = loadOf(x);
    put(dir.path / "load.bin", load);
    // Over the image's first bytes, and past it after a gap.
    for (const size_t at : {size_t{0x40}, load.size() / 8 * 8 + 8}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(x.name) + " " + c.insert + " at " + hex(at));
        const size_t size = x.region + 0x20;
        const std::string got = binOf(dir.path, x, {"--insert=" + fill(c.insert, {{"A", x.base + at}})},
                                      hex(x.base) + ":" + hex(size));
        const std::string cmd = "srec_cat load.bin -binary -exclude " + hex(at) + " " + hex(at + c.width) + " " +
                                fill(c.generator, {{"A", at}, {"A4", at + 4}, {"B", at + c.width}}) +
                                " -o want.bin -binary";
        ASSERT_SH(dir.path, cmd);
        const std::string want = slurp(dir.path / "want.bin");
        ASSERT_EQ(got.size(), size);
        EXPECT_EQ(got.substr(0, want.size()), want) << cmd;
        EXPECT_EQ(got.substr(want.size()), std::string(size - want.size(), '\0'));
      }
    }
  }
}

// self=zero computes as srec_cat does over the image with the field's
// bytes as zeros (excluded and filled back), and a length counts them as
// srec_cat's -length does: to the field's end when it lies past the image.
// Gaps hold the fill, the field's own bytes zeros. self=skip (the default)
// is srec_cat over the image with a hole where the field is.
TEST(InsertSelf, ZeroCountsTheFieldsOwnBytesAsSrecCatDoes) {
  struct Case {
    const char* insert;  // {F}: the field's address; {B}: the image's
    const char* chain;   // {F}, {E}: the field's offset and end; {L}: the image's size; {V}: where the value goes
    size_t width;
    bool past;           // the field lies past the image, after a gap of fill
  };
  const Case cases[] = {
      {"crc32@{F},order=little,self=zero", "-exclude {F} {E} -fill 0 {F} {E} -crc32-l-e {V}", 4, false},
      {"crc32@{F},order=little", "-exclude {F} {E} -crc32-l-e {V}", 4, false},
      {"crc32@{F},order=big,self=zero,over={B}..end", "-fill 0xff {L} {F} -fill 0 {F} {E} -crc32-b-e {V}", 4, true},
      {"crc16-xmodem@{F},order=big,self=zero", "-exclude {F} {E} -fill 0 {F} {E} -crc16-b-e {V} -xmodem", 2, false},
      {"-sum32@{F},order=little,self=zero", "-exclude {F} {E} -fill 0 {F} {E} -checksum-negative-l-e {V} 4 4", 4,
       false},
      {"~sum16@{F},order=big,self=zero", "-fill 0xff {L} {F} -fill 0 {F} {E} -checksum-bitnot-b-e {V} 2 2", 2, true},
      {"length32@{F},order=little,self=zero", "-exclude {F} {E} -length-l-e {F} 4", 4, false},
      {"length32@{F},order=big,self=zero", "-length-b-e {F} 4", 4, true},
  };
  if (sh(".", "srec_cat -version").status != 0) GTEST_SKIP() << "no srec_cat (tools/install-deps installs srecord)";
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    // The image's bytes with the gaps between its segments filled.
    const std::string plain = binOf(dir.path, x, {"--fill=0xff"});
    const std::string load = plain.substr(0, loadOf(x).size());
    put(dir.path / "load.bin", load);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(x.name) + " " + c.insert);
      const size_t at = c.past ? load.size() / 8 * 8 + 8 : 0x100;
      const bool length = std::string(c.insert).starts_with("length");
      const size_t value = length ? at : 0x100000;  // where srec_cat puts it
      const std::string got =
          binOf(dir.path, x, {"--fill=0xff", "--insert=" + fill(c.insert, {{"F", x.base + at}, {"B", x.base}})});
      const std::string cmd = "srec_cat load.bin -binary " +
                              fill(c.chain, {{"F", at}, {"E", at + c.width}, {"L", load.size()}, {"V", value}}) +
                              " -crop " + hex(value) + " " + hex(value + c.width) + " -offset -" + hex(value) +
                              " -o want.bin -binary";
      ASSERT_SH(dir.path, cmd);
      const std::string want = slurp(dir.path / "want.bin");
      EXPECT_EQ(hex(stored(got, at, c.width, true)), hex(stored(want, 0, c.width, true))) << cmd;
      // Nothing but the field changes.
      std::string image = plain;
      image.replace(at, c.width, want);
      EXPECT_EQ(got, image);
    }
  }
}

// over= takes ranges joined by '+', fed in the order given (a range may
// come before an earlier one, or repeat it), symbols with offsets among
// them; `end` is the last placed byte of the memory. The values are
// python3-crcmod's over the ranges' bytes one after another, the field's
// own bytes left out.
TEST(InsertRanges, SeveralRangesAreFedInTheOrderGiven) {
  SKIP_WITHOUT_CRCMOD();
  TempDir dir;
  const std::string load = loadOf(arm);
  const size_t past = load.size() / 8 * 8 + 8;
  struct Case {
    std::string insert;
    size_t at;
    std::string covered;
  };
  const Case cases[] = {
      {"crc32@0x08000100,over=0x08000104..end+0x08000000..0x080000ff", 0x100,
       load.substr(0x104) + load.substr(0, 0x100)},
      {"crc32@0x08000100,over=0x08000000..0x0800001f+0x08000000..0x0800001f", 0x100,
       load.substr(0, 0x20) + load.substr(0, 0x20)},
      {"crc32@" + hex(0x08000000 + past) + ",over=sym:calib+4..sym:calib+23+0x08000000..0x0800001f", past,
       load.substr(0x1a8, 0x14) + load.substr(0, 0x20)},
      // The field inside a range is left out of it alone.
      {"crc32@0x08000100,over=0x08000000..0x0800000f+0x080000f0..end", 0x100,
       load.substr(0, 0x10) + load.substr(0xf0, 0x10) + load.substr(0x104)},
      // `end` is the image's last byte, not the field past it.
      {"crc32@" + hex(0x08000000 + past) + ",over=0x08000010..end", past, load.substr(0x10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.insert);
    const std::string got = binOf(dir.path, arm, {"--fill=0xff", "--insert=" + c.insert});
    EXPECT_EQ(hex(stored(got, c.at, 4, true)), hex(crcmod(dir.path, c.covered, {crc32})[0]));
  }
}

// unit=16|32 feeds a CRC words read in order= byte order, as a processor's
// CRC unit takes them: srec_cat's STM32 filter (CRC-32/MPEG-2 over
// little-endian words) and python3-crcmod over the bytes with each word
// reversed where the word's order is not the order the CRC takes its bits
// in (most significant first; least for a reflected CRC).
TEST(InsertUnits, CrcUnitsTakeWordsAsTheProcessorsUnitDoes) {
  SKIP_WITHOUT_CRCMOD();
  struct Case {
    const char* kind;
    unsigned unit;
    bool little;
    const char* crcmod;
    bool reflected;
  };
  const Case cases[] = {
      {"crc32-mpeg2", 32, true, "p('crc-32-mpeg')", false},
      {"crc32-mpeg2", 32, false, "p('crc-32-mpeg')", false},
      {"crc32", 32, true, "p('crc-32')", true},
      {"crc32", 32, false, "p('crc-32')", true},
      {"crc16-xmodem", 16, true, "p('xmodem')", false},
      {"crc16-modbus", 16, false, "p('modbus')", true},
      {"crc64-xz", 32, false, "crcmod.mkCrcFun(0x142F0E1EBA9EA3693, initCrc=0, rev=True, xorOut=(1<<64)-1)", true},
  };
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    const std::string load = loadOf(x);
    ASSERT_EQ(load.size() % 4, 0u);
    const size_t at = load.size() / 8 * 8 + 8;
    if (sh(".", "srec_cat -version").status == 0) {
      put(dir.path / "load.bin", load);
      const std::string got =
          binOf(dir.path, x, {"--insert=crc32-mpeg2@" + hex(x.base + at) + ",unit=32,order=little"});
      ASSERT_SH(dir.path, "srec_cat load.bin -binary -stm32-l-e 0x100000 -crop 0x100000 0x100004 -offset -0x100000 "
                          "-o want.bin -binary");
      EXPECT_EQ(got.substr(at, 4), slurp(dir.path / "want.bin"));
    }
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(x.name) + " " + c.kind + " unit=" + std::to_string(c.unit) +
                   (c.little ? " little" : " big"));
      const size_t unit = c.unit / 8;
      std::string words = load;
      if (c.little != c.reflected) {
        for (size_t i = 0; i < words.size(); i += unit) std::reverse(words.begin() + i, words.begin() + i + unit);
      }
      const uint64_t want = crcmod(dir.path, words, {c.crcmod})[0];
      const std::string got = binOf(dir.path, x, {"--insert=" + std::string(c.kind) + "@" + hex(x.base + at) +
                                                  ",unit=" + std::to_string(c.unit) +
                                                  ",order=" + (c.little ? "little" : "big")});
      const size_t width = std::string(c.kind).starts_with("crc64") ? 8 : unit == 2 ? 2 : 4;
      EXPECT_EQ(hex(stored(got, at, width, c.little)), hex(want));
    }
  }
}

// An application descriptor as the CAN boot loaders of flight controllers
// check it: "APDesc00", then a CRC-64/WE over the whole image with the
// CRC's own 8 bytes as zeros, then the image's whole length, then the
// build's commit; the length is stored first so that the CRC covers it.
// The descriptor tool's own arithmetic (a bit-at-a-time CRC in Python, as
// the projects' script computes it, checked against python3-crcmod's
// crc-64-we) gives the same file.
TEST(InsertSelf, AppDescriptorAsFlightControllerBootLoadersCheckIt) {
  SKIP_WITHOUT_CRCMOD();
  TempDir dir;
  // A 3 KiB application at 0x08004000 with its descriptor, zeroed as the
  // linker leaves it, 0x200 bytes in.
  std::string app;
  for (size_t i = 0; i < 0xc00; i++) app.push_back(static_cast<char>((i * 131 + i / 7) & 0xff));
  app.replace(0x200, 32, std::string("APDesc00") + std::string(16, '\0') + "\x01\x02" + std::string(6, '\xff'));
  put(dir.path / "app.bin", app);
  ASSERT_SH(dir.path, "objcopy -I binary -O ihex --change-addresses=0x08004000 app.bin app.hex");
  const Outcome r = run({"-f", "app.hex", "--format=bin", "--width=8", "--output=fw.bin",
                         "--insert=length32@0x08004210,order=little,self=zero",
                         "--insert=u32:0x5eed1e55@0x08004214,order=little",
                         "--insert=crc:64:0x42F0E1EBA9EA3693:0xffffffffffffffff:false:false:0xffffffffffffffff"
                         "@0x08004208,order=little,self=zero"},
                        {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  put(dir.path / "descriptor.py", R"(import struct, crcmod.predefined
image = bytearray(open('app.bin', 'rb').read())
off = image.find(b'APDesc00')
struct.pack_into('<II', image, off + 16, len(image), 0x5eed1e55)
content = bytearray(image)
content[off + 8:off + 16] = bytes(8)
MASK, POLY, val = (1 << 64) - 1, 0x42F0E1EBA9EA3693, (1 << 64) - 1
for byte in content:
    val ^= (byte << 56) & MASK
    for bit in range(8):
        val = ((val << 1) & MASK) ^ POLY if val & (1 << 63) else val << 1
crc = (val & MASK) ^ MASK
assert crc == crcmod.predefined.mkPredefinedCrcFun('crc-64-we')(bytes(content))
struct.pack_into('<Q', image, off + 8, crc)
open('want.bin', 'wb').write(image)
)");
  ASSERT_SH(dir.path, "/usr/bin/python3 descriptor.py");
  EXPECT_EQ(slurp(dir.path / "fw.bin"), slurp(dir.path / "want.bin"));
  // The default, self=skip, stores the length of what it covers: its own
  // bytes left out.
  const Outcome skip = run({"-f", "app.hex", "--format=bin", "--width=8", "--output=skip.bin",
                            "--insert=length32@0x08004210,order=little"},
                           {.cwd = dir.path});
  ASSERT_EQ(skip.status, 0) << skip.err;
  EXPECT_EQ(stored(slurp(dir.path / "skip.bin"), 0x210, 4, true), 0xc00u - 4);
}

namespace {

bool haveOpenssl() { return sh(".", "openssl version").status == 0; }

#define SKIP_WITHOUT_OPENSSL()                                                             \
  do {                                                                                     \
    if (!haveOpenssl()) GTEST_SKIP() << "no openssl (tools/install-deps installs it)"; \
  } while (0)

}  // namespace

// A digest field holds openssl dgst's digest of the bytes it covers, in
// the digest's own byte order whatever the memory's: over the image by
// default, over ranges in the order given, and over a CRC stored before it
// (the image to its end, which the CRC past the image now is).
TEST(InsertDigests, DigestsMatchOpensslOverWhatTheyCover) {
  SKIP_WITHOUT_OPENSSL();
  struct Case {
    const char* kind;
    const char* dgst;
  };
  const Case kinds[] = {{"sha1", "-sha1"},     {"sha224", "-sha224"}, {"sha256", "-sha256"},
                        {"sha384", "-sha384"}, {"sha512", "-sha512"}, {"md5", "-md5"}};
  for (const Romcopy& x : {arm, mips}) {
    TempDir dir;
    const std::string load = loadOf(x);
    const std::string region = hex(x.base) + ":" + hex(x.region + 0x100);
    const size_t crcAt = load.size() / 8 * 8 + 8, at = crcAt + 8;
    auto dgst = [&](const std::string& opt, const std::string& bytes) {
      put(dir.path / "covered.bin", bytes);
      const Shell r = sh(dir.path, "openssl dgst " + opt + " -binary -out d.bin covered.bin");
      EXPECT_EQ(r.status, 0) << r.out;
      return slurp(dir.path / "d.bin");
    };
    for (const Case& k : kinds) {
      SCOPED_TRACE(std::string(x.name) + " " + k.kind);
      const std::string where = std::string(k.kind) + "@" + hex(x.base + at);
      std::string got = binOf(dir.path, x, {"--insert=" + where}, region);
      const std::string want = dgst(k.dgst, load);
      EXPECT_EQ(got.substr(at, want.size()), want);
      const std::string ranges =
          hex(x.base + 0x100) + ".." + hex(x.base + 0x13f) + "+" + hex(x.base) + ".." + hex(x.base + 0xf);
      got = binOf(dir.path, x, {"--insert=" + where + ",over=" + ranges}, region);
      EXPECT_EQ(got.substr(at, want.size()), dgst(k.dgst, load.substr(0x100, 0x40) + load.substr(0, 0x10)));
    }
    SCOPED_TRACE(std::string(x.name) + " over a CRC");
    const std::string got = binOf(dir.path, x,
                                  {"--fill=0xff", "--insert=crc32@" + hex(x.base + crcAt),
                                   "--insert=sha256@" + hex(x.base + at) + ",over=" + hex(x.base) + "..end"},
                                  region);
    EXPECT_NE(got.substr(crcAt, 4), std::string(4, '\xff'));
    EXPECT_EQ(got.substr(at, 32), dgst("-sha256", got.substr(0, crcAt + 4)));
  }
}

// Signatures that openssl verifies with the public key: Ed25519 over the
// bytes of over=, ECDSA P-256 in DER over the same bytes (as openssl dgst
// -sha256 -sign makes it) and over a digest field given with of= (as
// openssl pkeyutl -sign makes it of the digest); key= after WHERE as well
// as in the kind.
TEST(InsertSignatures, OpensslVerifiesThem) {
  SKIP_WITHOUT_OPENSSL();
  TempDir dir;
  ASSERT_SH(dir.path, "openssl genpkey -algorithm ed25519 -out ed.pem && openssl pkey -in ed.pem -pubout -out ed.pub"
                      " && openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem"
                      " && openssl pkey -in ec.pem -pubout -out ec.pub");
  const std::string region = "0x08000000:0x400", over = ",over=0x08000000..0x080001f3";
  const std::string got = binOf(dir.path, arm,
                                {"--insert=sha256@0x08000200" + over,
                                 "--insert=sign:ecdsa-p256,key=ec.pem,der=yes@0x08000220,of=0x08000200",
                                 "--insert=sign:ed25519@0x08000280,key=ed.pem" + over,
                                 "--insert=sign:ecdsa-p256@0x080002c0,der=yes,key=ec.pem" + over},
                                region);
  ASSERT_EQ(got.size(), 0x400u);
  const std::string load = loadOf(arm);
  EXPECT_EQ(got.substr(0, load.size()), load);
  put(dir.path / "msg.bin", load);
  put(dir.path / "digest.bin", got.substr(0x200, 32));
  put(dir.path / "of.sig", got.substr(0x220, 72));
  put(dir.path / "ed.sig", got.substr(0x280, 64));
  put(dir.path / "ec.sig", got.substr(0x2c0, 72));
  ASSERT_SH(dir.path, "openssl dgst -sha256 -binary msg.bin | cmp - digest.bin");
  ASSERT_SH(dir.path, "openssl pkeyutl -verify -pubin -inkey ec.pub -in digest.bin -sigfile of.sig");
  ASSERT_SH(dir.path, "openssl pkeyutl -verify -pubin -inkey ed.pub -rawin -in msg.bin -sigfile ed.sig");
  ASSERT_SH(dir.path, "openssl dgst -sha256 -verify ec.pub -signature ec.sig msg.bin");
}

// A key the build machine does not hold: --digest-out writes the digest
// field's bytes with the image, the digest is signed elsewhere, and a
// second run puts the signature's file in with file:, leaving the rest of
// the image as it was. The digest file belongs to the run's files: a run
// that cannot write it writes none of them.
TEST(InsertSignatures, DigestOutThenTheSignaturesFileIn) {
  SKIP_WITHOUT_OPENSSL();
  TempDir dir;
  ASSERT_SH(dir.path, "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem"
                      " && openssl pkey -in ec.pem -pubout -out ec.pub");
  const std::string digest = "--insert=sha512@0x08000200,over=0x08000000..0x080001f3";
  const Outcome first = run({"-f", elfOf(arm), "--format=bin", "--width=8", "--region=0x08000000:0x400",
                             "--output=unsigned.bin", digest, "--digest-out=image.sha512"},
                            {.cwd = dir.path});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string plain = slurp(dir.path / "unsigned.bin");
  EXPECT_EQ(slurp(dir.path / "image.sha512"), plain.substr(0x200, 64));
  ASSERT_SH(dir.path, "openssl pkeyutl -sign -inkey ec.pem -in image.sha512 -out image.sig");
  const std::string sig = slurp(dir.path / "image.sig");
  const std::string signedImage = binOf(dir.path, arm, {digest, "--insert=file:image.sig@0x08000240"},
                                        "0x08000000:0x400");
  std::string want = plain;
  want.replace(0x240, sig.size(), sig);
  EXPECT_EQ(signedImage, want);
  put(dir.path / "stored.sig", signedImage.substr(0x240, sig.size()));
  put(dir.path / "stored.sha512", signedImage.substr(0x200, 64));
  ASSERT_SH(dir.path, "openssl pkeyutl -verify -pubin -inkey ec.pub -in stored.sha512 -sigfile stored.sig");

  TempDir other;
  const Outcome r = run({"-f", elfOf(arm), "--format=bin", "--width=8", "--region=0x08000000:0x400",
                         "--output=x.bin", digest, "--digest-out=missing/image.sha512"},
                        {.cwd = other.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(listDir(other.path), std::vector<std::string>{});
}

// file: puts any file's bytes in (escapes in the name as in string:), and
// refuses a file it cannot read, an empty one and one larger than every
// memory, having read no more of it than a memory holds.
TEST(InsertFiles, FileBytesAndTheirRefusals) {
  TempDir dir;
  put(dir.path / "a@b.bin", "\x01\x02\x03");
  put(dir.path / "empty.bin", "");
  put(dir.path / "big.bin", std::string(0x201, 'x'));
  const std::string got = binOf(dir.path, arm, {"--insert=file:a\\@b.bin@0x080001f8"});
  std::string want = loadOf(arm) + std::string(0x200 - loadOf(arm).size(), '\0');
  want.replace(0x1f8, 3, "\x01\x02\x03");
  EXPECT_EQ(got, want);
  const std::pair<std::string, std::string> cases[] = {
      {"file:nosuch.bin@0x08000000", "nosuch.bin: cannot open it: No such file or directory"},
      {"file:.@0x08000000", ".: cannot read it: Is a directory"},
      {"file:empty.bin@0x08000000", "empty.bin is empty"},
      {"file:big.bin@0x08000000", "big.bin is larger than any memory of the run (512 bytes)"},
      {"file:a\\@b.bin@0x080001fe", "its 3 bytes lie in no memory"},
      {"file:a@b.bin@0x08000000", "WHERE is an address or sym:NAME[+N] (an @ in PATH is written \\@)"},
  };
  for (const auto& [insert, why] : cases) {
    SCOPED_TRACE(insert);
    const Outcome r = run({"-f", elfOf(arm), "--format=bin", "--width=8", "--region=0x08000000:0x200",
                           "--output=y.bin", "--insert=" + insert},
                          {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "--insert=" + insert + ": " + why + "\n");
    EXPECT_FALSE(fs::exists(dir.path / "y.bin"));
  }
  // Another memory may be larger than the one the field goes to.
  const Outcome r = run({"-f", elfOf(arm), "--format=bin", "--width=8",
                         "--memory=lo:0x08000000:0x200,output=lo.bin", "--memory=ram:0x20000000:0x400,output=ram.bin",
                         "--allow-unplaced", "--insert=file:big.bin@0x20000000"},
                        {.cwd = dir.path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir.path / "ram.bin").substr(0, 0x201), std::string(0x201, 'x'));
}
