// The memory-image mode through the built binary: its options, where bytes
// are placed, the shape of the words, lanes, and a real reader of the
// result.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <sstream>

#include "elf_fixture.hpp"
#include "cli/options.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

class MemoryImage : public testing::TestWithParam<Order> {};

INSTANTIATE_TEST_SUITE_P(ByteOrders, MemoryImage, testing::Values(Order::Little, Order::Big),
                         [](const auto& p) { return std::string(name(p.param)); });

// The lines of `text`.
std::string joined(std::initializer_list<const char*> words) {
  std::string s;
  for (const char* w : words) s += std::string(w) + "\n";
  return s;
}

}  // namespace

TEST(MemoryImageOptions, BadValuesAreRefusedBeforeAnythingIsRead) {
  struct Case {
    std::vector<std::string> args;
    std::string msg;
    std::vector<std::pair<const char*, const char*>> links = {};  // name, target
    std::vector<const char*> files = {};                          // present beforehand
    const char* stdoutFile = nullptr;  // standard output goes to this file of the directory
  };
  const Case cases[] = {
      {{"--format=hexx"}, "--format=hexx: not a format: vmem"},
      {{"--format=vmem", "--width=20"}, "--width=20: not a word width: a multiple of 8 from 8 to 1024\n"},
      {{"--format=vmem", "--width=0"}, "--width=0: not a word width: a multiple of 8 from 8 to 1024\n"},
      {{"--format=vmem", "--width=1032"}, "--width=1032: not a word width: a multiple of 8 from 8 to 1024\n"},
      {{"--format=vmem", "--width=0x"}, "--width=0x: not a word width: a multiple of 8 from 8 to 1024\n"},
      {{"--format=vmem", "--width=24", "--lanes=2", "--output=l%d"},
       "--lanes=2: lanes of 12 bits: a lane is 1, 2 or 4 bits or whole bytes\n"},
      {{"--format=vmem", "--width=24", "--lanes=8", "--output=l%d"},
       "--lanes=8: lanes of 3 bits: a lane is 1, 2 or 4 bits or whole bytes\n"},
      {{"--format=vmem", "--width=24", "--region=0x100:16"},
       "--region=0x100:16: the base is not a multiple of the 3-byte word\n"},
      {{"--format=vmem", "--lanes=3", "--output=l%d.vmem"}, "--lanes=3: does not divide the 32-bit word\n"},
      {{"--format=vmem", "--lanes=0", "--output=l%d.vmem"}, "--lanes=0: does not divide the 32-bit word\n"},
      {{"--format=vmem", "--lanes=4", "--output=img.vmem"},
       "--output=img.vmem: needs %d for the lane number with --lanes\n"},
      {{"--format=vmem", "--lanes=2"}, "--output=-: needs %d for the lane number with --lanes\n"},
      {{"--format=vmem", "--region=0x100"}, "--region=0x100: not BASE:SIZE\n"},
      {{"--format=vmem", "--region=0x100:"}, "--region=0x100:: not BASE:SIZE\n"},
      {{"--format=vmem", "--region=010:4X"}, "--region=010:4X: not BASE:SIZE\n"},
      // A region may end at 2^64, not one byte past it, nor wrap.
      {{"--format=vmem", "--region=0xFFFFFFFFFFFFFF00:0x101"},
       "--region=0xFFFFFFFFFFFFFF00:0x101: passes the end of the 64-bit address space\n"},
      // Rounded up to whole 3-byte words, 4 bytes before the end are 6.
      {{"--format=vmem", "--width=24", "--region=0xFFFFFFFFFFFFFFFC:4"},
       "--region=0xFFFFFFFFFFFFFFFC:4: passes the end of the 64-bit address space\n"},
      {{"--format=vmem", "--region=0xFFFFFFFF00000000:5G"},
       "--region=0xFFFFFFFF00000000:5G: passes the end of the 64-bit address space\n"},
      {{"--format=vmem", "--region=0x102:16"},
       "--region=0x102:16: the base is not a multiple of the 4-byte word\n"},
      {{"--format=vmem", "--region=0:0"}, "--region=0:0: a region of no bytes\n"},
      {{"--format=vmem", "--depth=0"}, "--depth=0: a memory of no words\n"},
      {{"--format=vmem", "--depth=-1"}, "--depth=-1: not a number of words\n"},
      {{"--format=vmem", "--region=0xFFFFFFFFFFFF0000:16", "--depth=16385"},
       "--depth=16385: passes the end of the 64-bit address space\n"},
      {{"--format=vmem", "--fill=0x100"}, "--fill=0x100: not a byte: 0 to 0xff\n"},
      {{"--format=vmem", "--fill=1K"}, "--fill=1K: not a byte: 0 to 0xff\n"},
      {{"--format=vmem", "--addresses=virtual"}, "--addresses=virtual: not load or run\n"},
      {{"--format=vmem", "--byte-order=middle"}, "--byte-order=middle: not little or big\n"},
      {{"--format=vmem", "-H"}, "--format=vmem: -H writes to standard output already: give --output=FILE\n"},
      {{"--format=vmem", "-H", "--output=-"},
       "--format=vmem: -H writes to standard output already: give --output=FILE\n"},
      {{"--width=16", "-H"}, "--width=16: only with --format\n"},
      {{"--output=img.vmem"}, "--output=img.vmem: only with --format\n"},
      {{"--format=vmem", "--name=2abc"}, "--name=2abc: not a C and VHDL identifier\n"},
      {{"--format=vmem", "--name=rom__image"}, "--name=rom__image: not a C and VHDL identifier\n"},
      {{"--format=vmem", "--name=image_"}, "--name=image_: not a C and VHDL identifier\n"},
      {{"--format=vmem", "--name=unsigned"}, "--name=unsigned: a reserved word of C or C++\n"},
      {{"--format=vmem", "--name=Signal"}, "--name=Signal: a reserved word of VHDL\n"},
      {{"--format=c", "--name=uint32_t"}, "--name=uint32_t: a name that <stdint.h> may declare\n"},
      {{"--format=c", "--name=UINT64_C"}, "--name=UINT64_C: a name that <stdint.h> may declare\n"},
      {{"--format=vmem", "--header=img.h"}, "--header=img.h: the vmem format has none\n"},
      // Options that only some formats read.
      {{"--format=vmem", "--name=x"}, "--name=x: the vmem format has no name\n"},
      {{"--format=ihex", "--name=rom_image"}, "--name=rom_image: the ihex format has no name\n"},
      {{"--format=coe", "--radix=2"}, "--radix=2: the coe format writes hex only\n"},
      {{"--format=c", "--radix=0x2"}, "--radix=0x2: the c format writes hex only\n"},
      {{"--format=vmem", "--radix=8"}, "--radix=8: not 2 or 16\n"},
      {{"--format=vmem", "--radix=hex"}, "--radix=hex: not 2 or 16\n"},
      {{"--format=vmem", "--uf2-family=rp2040"}, "--uf2-family=rp2040: the vmem format has no family ID\n"},
      {{"--format=vmem", "--uf2-family=rp2041"}, "--uf2-family=rp2041: not a number or a family: rp2040, "},
      {{"--format=vmem", "--uf2-family=0x100000000"}, "--uf2-family=0x100000000: not a number or a family: "},
      // Sizes whose suffix takes them past 2^40, 2^64 (read as 0) and
      // 2^64 + 1 GiB (read as 1 GiB) among them.
      {{"--format=vmem", "--region=0:17179869185G"}, "--region=0:17179869185G: too large\n"},
      {{"--format=vmem", "--region=0:17179869184G"}, "--region=0:17179869184G: too large\n"},
      {{"--format=vmem", "--region=0:1025G"}, "--region=0:1025G: too large\n"},
      {{"--format=vmem", "--region=0xFFFFFF0000000001:1024G"},
       "--region=0xFFFFFF0000000001:1024G: passes the end of the 64-bit address space\n"},
      {{"--format=vmem", "--region=0x10000000000000000:4"}, "--region=0x10000000000000000:4: too large\n"},
      {{"--format=vmem", "--depth=17179869184G"}, "--depth=17179869184G: too large\n"},
      {{"--format=vmem", "--depth=4194304M"}, "--depth=4194304M: too large\n"},
      {{"--format=vmem", "--depth=99999999999999999999999"}, "--depth=99999999999999999999999: too large\n"},
      {{"--format=vmem", "--depth=99999999999999999999999X"},
       "--depth=99999999999999999999999X: not a number of words\n"},
      {{"-r", "--format=vmem", "--output="}, "--output=: an empty file name\n"},
      {{"--format=c", "--header="}, "--header=: an empty file name\n"},
      {{"--format=c", "--name=main"}, "--name=main: the name of the program's entry function in C and C++\n"},
      {{"--format=c", "--name=std"}, "--name=std: the namespace of the C++ standard library\n"},
      // Two outputs of one run that are one file.
      {{"--format=c", "--output=x.c", "--header=x.c"}, "--output=x.c: x.c is also written as --header=x.c\n"},
      {{"--format=c", "--output=./x.c", "--header=x.c"},
       "--output=./x.c: ./x.c is also written as --header=x.c\n"},
      {{"--format=c", "--width=128", "--lanes=16", "--output=a%d", "--header=a1%d"},
       "--header=a1%d: a10 is also written as --output=a%d\n"},
      {{"-R", "--format=vmem", "--output=tolvek.rom"},
       "-R: tolvek.rom is also written as --output=tolvek.rom\n"},
      {{"--format=c", "--output=link.c", "--header=x.c"}, "--output=link.c: link.c is also written as --header=x.c\n",
       {{"link.c", "x.c"}}, {"x.c"}},
      {{"-r"}, "-r: rom.h is also written as rom.c by -r\n", {{"rom.h", "sub/rom.c"}, {"rom.c", "sub/rom.c"}},
       {"sub/rom.c"}},
      {{"-H", "--format=vmem", "--output=/dev/stdout"},
       "--output=/dev/stdout: /dev/stdout is standard output, which -H writes\n", {}, {"listing"}, "listing"},
      {{"-r", "-e"}, "-r: rom.c is standard output, which -e writes\n", {}, {"rom.c"}, "rom.c"},
      {{"--format=c", "--header=img.h"}, "--header=img.h: img.h is standard output, which --format=c writes\n",
       {}, {"img.h"}, "img.h"},
  };
  for (const Case& c : cases) {
    // The input does not exist: a refusal comes before any attempt to read.
    Workspace ws({}, {}, {"-f", "missing.elf"});
    for (const char* f : c.files) {
      fs::create_directories((ws.dir.path / f).parent_path());
      ws.put(f, "old");
    }
    for (const auto& [name, target] : c.links) fs::create_symlink(target, ws.dir.path / name);
    const std::vector<std::string> before = listDir(ws.dir.path);
    RunOptions opt;
    if (c.stdoutFile != nullptr) opt.stdoutPath = (ws.dir.path / c.stdoutFile).string();
    Outcome r = ws(c.args, opt);
    EXPECT_TRUE(r.err.starts_with(c.msg)) << c.msg << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(r.status, 1) << c.msg;
    EXPECT_EQ(c.stdoutFile != nullptr ? ws.file(c.stdoutFile) : r.out, "") << c.msg;
    EXPECT_EQ(listDir(ws.dir.path), before) << c.msg;
    for (const char* f : c.files) {
      if (c.stdoutFile == nullptr || strcmp(f, c.stdoutFile) != 0) {
        EXPECT_EQ(ws.file(f), "old") << f;
      }
    }
  }
}

// Writing a character device twice loses nothing, and standard output
// counts only when the run writes to it.
TEST(MemoryImageOptions, DevicesAndAnUnwrittenStandardOutputMayBeNamedAgain) {
  InputDir ws;
  Outcome r = ws({"--format=c", "--output=/dev/null", "--header=/dev/null", "-H"}, {.stdoutPath = "/dev/null"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = ws({"-r"}, {.stdoutPath = (ws.dir.path / "rom.c").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(ws.file("rom.c").ends_with("u8 romData[ROM_SIZE] = {\n   0x01,0x02,0x03,0x04\n};\n"))
      << ws.file("rom.c");
}

// A text word at 0x100 and a data word run at 0x110 but stored at 0x104,
// with four bytes of zero tail: what a ROM holds and what a preloaded RAM
// holds differ.
TEST_P(MemoryImage, PlacesSegmentsByLoadOrRunAddressInWordsOfEveryShape) {
  const bool little = GetParam() == Order::Little;
  Seg stored = data(0x110, {0x55, 0x66, 0x77, 0x88}, 8);
  stored.paddr = 0x104;
  Workspace ws({text(0x100, {0x11, 0x22, 0x33, 0x44}), stored}, {.entry = 0x100},
               {"-f", "in.elf", "--format=vmem"}, GetParam());
  struct Case {
    std::vector<std::string> args;
    std::string little, big;
  };
  const Case cases[] = {
      {{}, joined({"44332211", "88776655"}), joined({"11223344", "55667788"})},
      {{"--addresses=run"},
       joined({"44332211", "00000000", "00000000", "00000000", "88776655", "00000000"}),
       joined({"11223344", "00000000", "00000000", "00000000", "55667788", "00000000"})},
      // Fill is for bytes no segment provides; a zero tail is provided.
      {{"--addresses=run", "--fill=0xff"},
       joined({"44332211", "ffffffff", "ffffffff", "ffffffff", "88776655", "00000000"}),
       joined({"11223344", "ffffffff", "ffffffff", "ffffffff", "55667788", "00000000"})},
      {{"--byte-order=big"}, joined({"11223344", "55667788"}), joined({"11223344", "55667788"})},
      {{"--byte-order=little"}, joined({"44332211", "88776655"}), joined({"44332211", "88776655"})},
      {{"--width=8"}, joined({"11", "22", "33", "44", "55", "66", "77", "88"}),
       joined({"11", "22", "33", "44", "55", "66", "77", "88"})},
      {{"--width=16"}, joined({"2211", "4433", "6655", "8877"}), joined({"1122", "3344", "5566", "7788"})},
      {{"--width=64"}, joined({"8877665544332211"}), joined({"1122334455667788"})},
      // The span is widened to a whole word with fill.
      {{"--width=128", "--fill=0xee"}, joined({"eeeeeeeeeeeeeeee8877665544332211"}),
       joined({"1122334455667788eeeeeeeeeeeeeeee"})},
      {{"--region=0xF0:0x20"},
       joined({"00000000", "00000000", "00000000", "00000000", "44332211", "88776655", "00000000",
               "00000000"}),
       joined({"00000000", "00000000", "00000000", "00000000", "11223344", "55667788", "00000000",
               "00000000"})},
      // A size that is no multiple of the word is rounded up with fill.
      {{"--region=0x100:9", "--fill=1"}, joined({"44332211", "88776655", "01010101"}),
       joined({"11223344", "55667788", "01010101"})},
      {{"--depth=4", "--fill=255"}, joined({"44332211", "88776655", "ffffffff", "ffffffff"}),
       joined({"11223344", "55667788", "ffffffff", "ffffffff"})},
      {{"--depth=0x4", "--width=16", "--byte-order=big"}, joined({"1122", "3344", "5566", "7788"}),
       joined({"1122", "3344", "5566", "7788"})},
  };
  for (const Case& c : cases) {
    Outcome r = ws(c.args);
    EXPECT_EQ(r.out, little ? c.little : c.big) << testing::PrintToString(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

TEST_P(MemoryImage, LaterSegmentWinsWhereSegmentsOverlap) {
  Seg middle = data(0x800, {0xaa, 0xbb});
  middle.paddr = 0x102;
  Seg below = data(0x900, {0xc1, 0xc2, 0xc3});
  below.paddr = 0xFE;
  Workspace ws({text(0x100, counting(8)), middle, below}, {}, {"-f", "in.elf", "--format=vmem"},
               GetParam());
  Outcome r = ws({"--width=8"});
  EXPECT_EQ(r.out, joined({"c1", "c2", "c3", "02", "aa", "bb", "05", "06", "07", "08"}));
  // At 32 bits the span starts at the word holding 0xFE.
  r = ws({"--byte-order=big"});
  EXPECT_EQ(r.out, joined({"0000c1c2", "c302aabb", "05060708"}));
  EXPECT_EQ(r.status, 0) << r.err;
}

TEST_P(MemoryImage, RegionLeavesOutSegmentsOutsideItAndRefusesOnesItCuts) {
  Workspace ws({text(0x100, {0x11, 0x22, 0x33, 0x44}), data(0x4000, {1, 2, 3, 4})}, {},
               {"-f", "in.elf", "--format=vmem", "--byte-order=big"}, GetParam());
  struct Case {
    std::vector<std::string> args;
    std::string out, err;  // err: what follows the load's own lines
    int status;
  };
  const Case cases[] = {
      {{"--region=0x100:8"}, joined({"11223344", "00000000"}),
       "segment 1 at 0x00004000..0x00004003 is outside the region 0x00000100..0x00000107: left out\n", 0},
      {{"--region=0x100:8", "--quiet"}, joined({"11223344", "00000000"}), "", 0},
      {{"--region=0x200:8"}, "",
       "segment 0 at 0x00000100..0x00000103 is outside the region 0x00000200..0x00000207: left out\n"
       "segment 1 at 0x00004000..0x00004003 is outside the region 0x00000200..0x00000207: left out\n"
       "no segment places a byte in the region 0x00000200..0x00000207\n",
       1},
      {{"--region=0x102:4", "--width=8"}, "",
       "segment 0 at 0x00000100..0x00000103 lies partly outside the region 0x00000102..0x00000105\n", 1},
      {{"--depth=0xFBF"}, "", "the image needs 4033 words, more than --depth=4031\n", 1},
      {{"--width=64", "--region=0xFFFFFFFFFFFFFF00:0x100", "--depth=64"}, "",
       "--depth=64: passes the end of the 64-bit address space\n", 1},
  };
  for (const Case& c : cases) {
    Outcome r = ws(c.args);
    EXPECT_EQ(r.out, c.out) << c.err;
    if (c.args.back() == "--quiet") {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
    }
    EXPECT_EQ(r.status, c.status) << r.err;
  }
}

TEST_P(MemoryImage, SegmentsThatCannotBePlacedAreRefused) {
  struct Case {
    const char* what;
    std::vector<Seg> segs;
    std::string msg;
  };
  Seg top = text(0x100, counting(4));
  top.paddr = 0xFFFFFFFE;
  Seg pastEnd = text(0x100, counting(4), 0x1000);
  pastEnd.filesz = 0x1000;
  Seg tooBig = text(0x100, counting(8), 4);
  Seg ram = data(0x20000000, {1});
  const Case cases[] = {
      {"a span above 256 MiB", {text(0, {1}), ram},
       "the image spans 0x00000000..0x20000000, from in.elf segment 0 at 0x00000000 to in.elf segment 1 at "
       "0x20000000, above 256 MiB: choose the memory with --region=BASE:SIZE, or a sparse format\n"},
      {"nothing to place", {data(0x100, {}, 0x40)}, "no loadable segment has a byte to place\n"},
      {"bytes past the end of the address space", {top}, "segment 0 exceeds the 32-bit address space\n"},
      {"file bytes past the end of the file", {pastEnd}, "unable to read segment 0\n"},
      {"file size above memory size", {tooBig}, "segment 0 file size 0x8 exceeds memory size 0x4\n"},
  };
  for (const Case& c : cases) {
    Workspace ws(c.segs, {}, {"-f", "in.elf", "--format=vmem", "--output=out.vmem"}, GetParam());
    Outcome r = ws({});
    EXPECT_TRUE(r.err.ends_with(c.msg)) << c.what << ": " << r.err;
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"}) << c.what;
  }
}

TEST(MemoryImage, QuietDropsTheLoadLinesOfASuccessfulLoadOnly) {
  Workspace ws({text(0x100, {1, 2, 3, 4})}, {.entry = 0x104}, {"-f", "in.elf", "--quiet"});
  Outcome r = ws({"--format=vmem"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "04030201\n");
  r = ws({"-l"});
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "len 4\n");
  // A failing load still says all it would have said.
  Workspace bad({text(0x100, counting(8), 4)}, {}, {"-f", "in.elf", "--quiet", "-l"});
  r = bad({});
  EXPECT_EQ(r.err,
            "before swap 0x2 machine 0x8 order 0x1 host 0x1\nsz 0x20 = 0x1 * 0x20\n"
            "segment 0 file size 0x8 exceeds memory size 0x4\nunable to load elf file in.elf\n");
  EXPECT_EQ(r.status, 1);
}

TEST(MemoryImage, RunsAfterTheFixedOutputsAndBeforeTheReports) {
  Workspace ws({text(0x100, {1, 2, 3, 4})}, {.entry = 0x100}, {"-f", "in.elf"});
  Outcome r = ws({"-l", "--format=vmem", "--output=rom.vmem", "-R", "-r"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "len 4\n");
  EXPECT_EQ(ws.file("rom.vmem"), "04030201\n");
  auto mtime = [&](const char* n) { return fs::last_write_time(ws.dir.path / n); };
  EXPECT_LE(mtime("rom.c"), mtime("tolvek.rom"));
  EXPECT_LE(mtime("tolvek.rom"), mtime("rom.vmem"));
  // A refused fixed output ends the run before the memory image.
  Workspace withData({text(0x100, {1}), data(0x800, {1})}, {}, {"-f", "in.elf"});
  r = withData({"-r", "--format=vmem", "--output=rom.vmem"});
  EXPECT_TRUE(r.err.ends_with("Has a data segment!\nin.elf has a data segment; -H, -r and -R take a program of text alone (--format writes images of programs with data)\n")) << r.err;
  EXPECT_EQ(listDir(withData.dir.path), std::vector<std::string>{"in.elf"});
}

// A bin image is the placed bytes to the byte; an option that asks for
// words makes it whole words, with fill.
TEST(MemoryImage, BinKeepsTheSpanToTheByteUnlessWordsAreAskedFor) {
  InputDir ws({text(0x101, {1, 2, 3, 4, 5})}, {.entry = 0x101});
  const struct {
    std::vector<std::string> args;
    std::string bytes;
  } cases[] = {
      {{}, std::string("\1\2\3\4\5")},
      {{"--width=8"}, std::string("\1\2\3\4\5")},
      {{"--width=32"}, std::string("\xee\1\2\3\4\5\xee\xee")},
      // 3-byte words from 0xff, the multiple of 3 below the first byte.
      {{"--width=24"}, std::string("\xee\xee\1\2\3\4\5\xee\xee")},
      {{"--depth=3"}, std::string("\xee\1\2\3\4\5\xee\xee\xee\xee\xee\xee")},
      {{"--region=0x100:6"}, std::string("\xee\1\2\3\4\5\xee\xee")},
      {{"--lanes=4", "--output=lane%d"}, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--format=bin", "--output=image.bin", "--fill=0xee", "--quiet"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = ws(args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.args.size() == 2) {
      // Lanes of the 32-bit word: lane 1 holds the bytes at 0x101 and 0x105.
      EXPECT_EQ(ws.file("lane1"), std::string("\1\5"));
      continue;
    }
    EXPECT_EQ(ws.file("image.bin"), c.bytes) << c.args.size();
  }
}

// The table of long options is what the tool parses, lists in --help and
// refuses without --format: each row, through the built binary.
TEST(MemoryImageOptions, EveryLongOptionIsListedAndTheMemoryOnesNeedFormat) {
  InputDir ws;
  const std::string help = ws({"--help"}).out;
  for (const optionRow& o : options()) {
    if (o.name == nullptr) continue;
    const std::string shown = std::string("  --") + o.name + (o.value != nullptr ? std::string("=") + o.value : "");
    EXPECT_NE(help.find(shown), std::string::npos) << shown;
    if (!o.needsFormat) continue;
    const std::string arg = std::string("--") + o.name + (o.value != nullptr ? "=x" : "");
    Outcome r = ws({arg});
    EXPECT_EQ(r.err, arg + ": only with --format\n") << arg;
    EXPECT_EQ(r.status, 1) << arg;
  }
}

TEST(MemoryImage, HelpAndVersionGoToStandardOutput) {
  Workspace ws;
  Outcome r = ws({"--version"});
  EXPECT_EQ(r.out, "romwright " ROMWRIGHT_VERSION "\n");
  EXPECT_EQ(r.status, 0);
  r = ws({"-x", "--help", "-f"});  // like -h: at once, whatever came before
  EXPECT_EQ(r.status, 0);
  for (const char* opt : {"-f FILE", "-H", "-M NN", "-v", "-r", "-R", "-L NN", "-l", "-t", "-e", "-h",
                          "--format=FMT", "--output=FILE", "--addresses=load|run", "--region=BASE:SIZE",
                          "--width=BITS", "--byte-order=little|big", "--depth=WORDS", "--fill=BYTE",
                          "--lanes=N", "--name=NAME", "--header=FILE", "--quiet", "--help", "--version"}) {
    const size_t at = r.out.find("  " + std::string(opt));
    ASSERT_NE(at, std::string::npos) << opt;
    EXPECT_TRUE(std::isspace(static_cast<unsigned char>(r.out[at + 2 + strlen(opt)]))) << opt;
  }
  // Every line fits a terminal of 80 columns, the list of formats too.
  for (const std::string& line : lines(r.out)) EXPECT_LE(line.size(), 79u) << line;
}

// Each lane file is an image of its own; put back together they give the
// unsplit image, lane 0 the least significant.
TEST(MemoryImage, LanesRecombineToTheWholeImage) {
  const fs::path elf = testdata / "romcopy-riscv.elf";
  TempDir dir;
  Outcome whole = run({"-f", elf.string(), "--format=vmem", "--quiet"}, {.cwd = dir.path});
  ASSERT_EQ(whole.status, 0) << whole.err;
  const std::vector<std::string> words = lines(whole.out);
  for (int lanes : {2, 4, 8, 32}) {
    Outcome r = run({"-f", elf.string(), "--format=vmem", "--quiet", "--lanes=" + std::to_string(lanes),
                    "--output=lane%d.vmem"},
                   {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    const int bits = 32 / lanes;
    std::vector<uint64_t> joinedWords(words.size(), 0);
    for (int k = 0; k < lanes; k++) {
      const std::vector<uint8_t> file = readFile(dir.path / ("lane" + std::to_string(k) + ".vmem"));
      const std::vector<std::string> laneWords = lines({file.begin(), file.end()});
      ASSERT_EQ(laneWords.size(), words.size()) << lanes;
      for (size_t j = 0; j < words.size(); j++) {
        EXPECT_EQ(laneWords[j].size(), bits < 4 ? 1u : size_t(bits / 4));
        joinedWords[j] |= std::stoull(laneWords[j], nullptr, 16) << (k * bits);
      }
    }
    for (size_t j = 0; j < words.size(); j++) {
      EXPECT_EQ(joinedWords[j], std::stoull(words[j], nullptr, 16)) << lanes << " lanes, word " << j;
    }
  }
}

namespace {

// Runs `command` through the shell; its standard output, or a failure.
std::string shell(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return "popen failed";
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = pclose(p);
  return status == 0 ? out : "failed (" + std::to_string(status) + "): " + command + "\n" + out;
}

// The words a CPU of `width` bits and the given byte order reads from
// `bytes` (zero bytes completing the last word), as lower-case hex.
std::vector<std::string> cpuWords(std::vector<uint8_t> bytes, int width, bool little) {
  const size_t wb = static_cast<size_t>(width) / 8;
  bytes.resize((bytes.size() + wb - 1) / wb * wb, 0);
  std::vector<std::string> words;
  for (size_t j = 0; j < bytes.size(); j += wb) {
    std::string w;
    for (size_t i = 0; i < wb; i++) {
      char d[3];
      snprintf(d, sizeof d, "%02x", bytes[j + (little ? wb - 1 - i : i)]);
      w += d;
    }
    words.push_back(w);
  }
  return words;
}

}  // namespace

// Icarus Verilog's $readmemh into reg [W-1:0] mem[] gives every word as the
// CPU reads it from the bytes objcopy -O binary puts at the load addresses.
TEST(MemoryImageReaders, IcarusVerilogReadsTheWordsTheCpuReads) {
  TempDir dir;
  const fs::path tb = dir.path / "tb.v";
  const std::string bench =
      "module tb;\n"
      "  parameter W = 32;\n"
      "  reg [W-1:0] mem [0:4095];\n"
      "  reg [8*256-1:0] image;\n"
      "  integer n, i;\n"
      "  initial begin\n"
      "    if (!$value$plusargs(\"image=%s\", image) || !$value$plusargs(\"words=%d\", n)) $finish;\n"
      "    if ($test$plusargs(\"binary\")) $readmemb(image, mem, 0, n - 1);\n"
      "    else $readmemh(image, mem, 0, n - 1);\n"
      "    for (i = 0; i < n; i = i + 1) $display(\"%h\", mem[i]);\n"
      "    $finish;\n"
      "  end\n"
      "endmodule\n";
  writeFile(tb, {reinterpret_cast<const uint8_t*>(bench.data()), bench.size()});
  for (int width : {8, 16, 32, 64, 24, 256}) {
    const std::string vvp = (dir.path / ("tb" + std::to_string(width) + ".vvp")).string();
    ASSERT_EQ(shell("iverilog -g2005 -P tb.W=" + std::to_string(width) + " -o " + vvp + " " +
                    tb.string() + " 2>&1"),
              "");
    for (const char* name : {"romcopy-riscv", "romcopy-arm", "romcopy-mips", "romcopy-riscv-lld"}) {
      // Words of 3 bytes start at multiples of 3: the RISC-V images load at 0.
      if (width % 3 == 0 && strstr(name, "riscv") == nullptr) continue;
      for (bool little : {true, false}) {
        // $readmemh reads the hex image, $readmemb the one of --radix=2.
        for (const char* radix : {"16", "2"}) {
          SCOPED_TRACE(std::string(name) + " width " + std::to_string(width) + (little ? " little" : " big") +
                       " radix " + radix);
          const std::vector<std::string> want =
              cpuWords(readFile(testdata / (std::string(name) + ".load.bin")), width, little);
          const fs::path image = dir.path / "image.vmem";
          Outcome r = run({"-f", (testdata / (std::string(name) + ".elf")).string(), "--quiet",
                          "--format=vmem", "--width=" + std::to_string(width), std::string("--radix=") + radix,
                          little ? "--byte-order=little" : "--byte-order=big", "--output=" + image.string()},
                         {.cwd = dir.path});
          ASSERT_EQ(r.status, 0) << r.err;
          std::vector<std::string> got;
          for (const std::string& l :
               lines(shell("vvp -n " + vvp + " +image=" + image.string() + " +words=" +
                           std::to_string(want.size()) + (std::string(radix) == "2" ? " +binary" : "")))) {
            if (l.find_first_not_of("0123456789abcdef") == std::string::npos) got.push_back(l);
          }
          EXPECT_EQ(got, want);
        }
      }
    }
  }
}
