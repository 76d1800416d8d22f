// Memory images read back by the programs that consume them: objcopy for
// Intel HEX, S-records, raw images and updatemem's byte addresses, srec_cat
// for MIF and VMem, GHDL for the VHDL package, gcc and g++ for the C source,
// the npm package uf2 and file for UF2. The build machine installs them
// (tools/install-deps); a missing one fails its test, but for node, whose
// test is skipped.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

#include "elf_fixture.hpp"
#include "image_model.hpp"
#include "run_tool.hpp"

using namespace fixture;
using model::Shape;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

uint32_t entryOf(const std::string& name) {
  std::smatch m;
  const std::vector<uint8_t> b = readFile(testdata / (name + ".readelf.txt"));
  const std::string t(b.begin(), b.end());
  EXPECT_TRUE(std::regex_search(t, m, std::regex(R"(Entry point address:\s+0x([0-9a-f]+))")));
  return static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
}

// `bytes` with every word of `n` bytes reversed.
std::vector<uint8_t> swapWords(std::vector<uint8_t> bytes, size_t n) {
  for (size_t i = 0; i + n <= bytes.size(); i += n) std::reverse(bytes.begin() + i, bytes.begin() + i + n);
  return bytes;
}

// The executables built by cross toolchains, and their byte order.
struct Real {
  const char* name;
  bool big;
};
constexpr Real reals[] = {
    {"romcopy-riscv", false}, {"romcopy-riscv-lld", false}, {"romcopy-arm", false}, {"romcopy-mips", true}};

// Two segments with a gap between them, the second with a zero tail.
const std::vector<Seg> gapped = {text(0x1000, counting(0x30, 1)), data(0x1040, counting(0x14, 0x80), 0x20)};

// An executable of `segs` in `dir`, named for its order.
std::string fixtureElf(const fs::path& dir, Order order, const std::vector<Seg>& segs) {
  const std::string path = std::string(name(order)) + ".elf";
  writeFile(dir / path, build(order, segs, {.entry = 0x1000}));
  return path;
}

}  // namespace

TEST(RealReaders, ObjcopyReadsIntelHexAndSrecordsAsTheBinImage) {
  struct Case {
    std::string elf;
    std::vector<std::string> shape;
    uint32_t lanes;
  };
  std::vector<Case> cases;
  for (const Real& x : reals) cases.push_back({x.name, {}, 1});
  // Lanes in an address space of their own, above 64 KiB.
  cases.push_back({"romcopy-mips", {"--width=32", "--lanes=2"}, 2});
  cases.push_back({"romcopy-arm", {"--width=64", "--lanes=4", "--fill=0xcc"}, 4});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elf + (c.lanes > 1 ? " in lanes" : ""));
    TempDir dir;
    const std::string suffix = c.lanes > 1 ? "%d" : "";
    for (const char* format : {"bin", "ihex", "srec"}) {
      std::vector<std::string> args = {"-f", (testdata / (c.elf + ".elf")).string(),
                                       std::string("--format=") + format,
                                       std::string("--output=") + format + suffix};
      args.insert(args.end(), c.shape.begin(), c.shape.end());
      tool(dir.path, args);
    }
    for (uint32_t lane = 0; lane < c.lanes; lane++) {
      const std::string k = c.lanes > 1 ? std::to_string(lane) : "";
      for (const char* format : {"ihex", "srec"}) {
        EXPECT_SH(dir.path, std::string("objcopy -I ") + format + " -O binary " + format + k + " " + format + k + ".bin");
        EXPECT_EQ(readFile(dir.path / (format + k + ".bin")), readFile(dir.path / ("bin" + k))) << format << k;
        const Shell f = sh(dir.path, std::string("objdump -f -b ") + format + " " + format + k);
        char start[64];
        snprintf(start, sizeof start, "start address 0x%08x\n", entryOf(c.elf));
        EXPECT_NE(f.out.find(start), std::string::npos) << f.out;
      }
    }
    if (c.lanes == 1) {
      EXPECT_EQ(readFile(dir.path / "bin"), readFile(testdata / (c.elf + ".load.bin")));
    }
  }
}

TEST(RealReaders, BinIsObjcopysImageWithGapFillAndPadTo) {
  struct Case {
    const char* elf;
    const char* target;  // objcopy's name for the input
    const char* base;
    const char* end;
    const char* fill;
  };
  // objcopy's --gap-fill also fills between sections inside a segment,
  // which the MIPS executable has: a zero fill keeps the two comparable.
  const Case cases[] = {
      {"romcopy-riscv", "elf32-little", "0", "0x400", "0x5a"},
      {"romcopy-riscv-lld", "elf32-little", "0", "0x400", "0x5a"},
      {"romcopy-arm", "elf32-little", "0x08000000", "0x08000400", "0x5a"},
      {"romcopy-mips", "elf32-big", "0xbfc00000", "0xbfc00800", "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elf);
    TempDir dir;
    const std::string elf = (testdata / (std::string(c.elf) + ".elf")).string();
    const uint64_t size = std::stoull(c.end, nullptr, 16) - std::stoull(c.base, nullptr, 16);
    tool(dir.path, {"-f", elf, "--format=bin", "--output=image.bin",
                    "--region=" + std::string(c.base) + ":" + std::to_string(size), std::string("--fill=") + c.fill});
    EXPECT_SH(dir.path, "objcopy -I " + std::string(c.target) + " -O binary --gap-fill=" + c.fill +
                            " --pad-to=" + c.end + " " + elf + " objcopy.bin");
    const std::vector<uint8_t> image = readFile(dir.path / "image.bin");
    EXPECT_EQ(image.size(), size);
    EXPECT_EQ(image, readFile(dir.path / "objcopy.bin"));
  }
  // The image objcopy made with the cross toolchain, filled with 0xff.
  TempDir dir;
  const std::vector<uint8_t> end = readFile(testdata / "romcopy-riscv-lld.padded.end");
  tool(dir.path, {"-f", (testdata / "romcopy-riscv-lld.elf").string(), "--format=bin", "--output=image.bin",
                  "--region=0:" + std::string(end.begin(), std::find(end.begin(), end.end(), '\n')), "--fill=0xff"});
  EXPECT_EQ(readFile(dir.path / "image.bin"), readFile(testdata / "romcopy-riscv-lld.padded.bin"));
}

// The bytes a file of `@` byte addresses and hex byte or word tokens puts
// at each address: objcopy's Verilog output of width 1, and updatemem's
// memory file.
std::map<uint64_t, uint8_t> byteAddressed(const std::string& text) {
  std::map<uint64_t, uint8_t> bytes;
  uint64_t at = 0;
  std::istringstream in(text);
  for (std::string t; in >> t;) {
    if (t.starts_with('@')) {
      at = std::stoull(t.substr(1), nullptr, 16);
      continue;
    }
    if (t.size() % 2 != 0) t = "0" + t;
    for (size_t i = 0; i < t.size(); i += 2) {
      EXPECT_TRUE(bytes.emplace(at++, static_cast<uint8_t>(std::stoul(t.substr(i, 2), nullptr, 16))).second);
    }
  }
  return bytes;
}

TEST(RealReaders, UpdatememHoldsTheBytesOfObjcopysVerilogOutput) {
  // Where a word's value most significant byte first is the bytes at rising
  // addresses: bytes, and big-endian words.
  const struct {
    const char* elf;
    const char* base;
  } elves[] = {{"romcopy-riscv", "0"}, {"romcopy-arm", "0x08000000"}, {"romcopy-mips", "0xbfc00000"}};
  for (const auto& e : elves) {
    for (const char* shape : {"--width=8", "--byte-order=big", "--width=64 --byte-order=big"}) {
      SCOPED_TRACE(std::string(e.elf) + " " + shape);
      TempDir dir;
      const std::string elf = (testdata / (std::string(e.elf) + ".elf")).string();
      std::vector<std::string> args = {"-f", elf, "--format=updatemem", "--output=image.mem"};
      // The same bytes, padded to whole words as the memory is.
      std::vector<std::string> binArgs = {"-f", elf, "--format=bin", "--output=image.bin"};
      std::istringstream words(shape);
      for (std::string w; words >> w;) args.push_back(w), binArgs.push_back(w);
      tool(dir.path, args);
      tool(dir.path, binArgs);
      EXPECT_SH(dir.path, std::string("objcopy -I binary -O verilog --change-addresses=") + e.base +
                              " image.bin objcopy.v");
      const std::vector<uint8_t> mem = readFile(dir.path / "image.mem"), v = readFile(dir.path / "objcopy.v");
      const std::map<uint64_t, uint8_t> ours = byteAddressed({mem.begin(), mem.end()});
      EXPECT_FALSE(ours.empty());
      EXPECT_TRUE(ours == byteAddressed({v.begin(), v.end()}));
    }
  }
}

// Every block of the UF2 images decoded by the npm package uf2, its order,
// alignment and numbering checked here, the payloads compared with the bin
// image; and file recognises the image.
TEST(RealReaders, NpmUf2DecodesEveryBlockAndFileRecognisesTheImage) {
  if (sh(".", "command -v node && command -v npm").status != 0) {
    GTEST_SKIP() << "node or npm is not installed (tools/install-deps installs them)";
  }
  const std::string npm = ROMWRIGHT_NPM;
  const Shell setup = sh(".", std::string(ROMWRIGHT_TOOLS) + "/npm-uf2 '" + npm + "'");
  ASSERT_EQ(setup.status, 0) << "installing uf2@2.0.0 from npm:\n" << setup.out;
  const struct {
    const char* elf;
    std::vector<std::string> shape;
    uint32_t family;  // 0: none given
  } cases[] = {
      {"romcopy-arm", {"--uf2-family=stm32f4", "--fill=0xff"}, 0x57755a57},
      {"romcopy-riscv", {"--uf2-family=0xe48bff5a"}, 0xe48bff5a},
      {"romcopy-mips", {"--fill=0x5a", "--width=64"}, 0},
      // A memory that starts in the middle of a page.
      {"romcopy-arm", {"--region=0x07ffff80:0x1000", "--fill=0xff", "--uf2-family=rp2040"}, 0xe48bff56},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.elf);
    TempDir dir;
    const std::string elf = (testdata / (std::string(c.elf) + ".elf")).string();
    // Every page of the memory: the blocks follow one another.
    std::vector<std::string> args = {"-f", elf, "--format=uf2", "--dense", "--output=image.uf2"};
    std::vector<std::string> binArgs = {"-f", elf, "--format=bin", "--output=image.bin"};
    for (const std::string& a : c.shape) {
      args.push_back(a);
      if (!a.starts_with("--uf2-family")) binArgs.push_back(a);
    }
    tool(dir.path, args);
    tool(dir.path, binArgs);
    const std::vector<uint8_t> bin = readFile(dir.path / "image.bin");
    // The address of the bin image's first byte: the @ of updatemem for the
    // same memory (of bytes, unless the shape gives a width).
    std::vector<std::string> memArgs = binArgs;
    memArgs[2] = "--format=updatemem";
    memArgs[3] = "--output=image.mem";
    if (std::none_of(c.shape.begin(), c.shape.end(), [](const std::string& a) { return a.starts_with("--width"); })) {
      memArgs.push_back("--width=8");
    }
    tool(dir.path, memArgs);
    const std::vector<uint8_t> mem = readFile(dir.path / "image.mem");
    const uint64_t base = std::stoull(std::string(mem.begin() + 1, mem.begin() + 9), nullptr, 16);

    const Shell r = sh(dir.path, "node '" + std::string(ROMWRIGHT_TOOLS) + "/uf2-blocks.js' '" + npm + "/node_modules/uf2' image.uf2");
    ASSERT_EQ(r.status, 0) << r.out;
    std::istringstream in(r.out);
    std::string payloads;
    uint64_t n = 0, total = 0;
    for (uint64_t flags, address, size, number, blocks, family; in >> flags >> address >> size >> number >> blocks >> family; n++) {
      std::string hex;
      in >> hex;
      EXPECT_EQ(flags, c.family != 0 ? 0x2000u : 0u);
      EXPECT_EQ(family, c.family);
      EXPECT_EQ(address, base / 256 * 256 + 256 * n) << "ascending, 256-aligned, no gaps";
      EXPECT_EQ(size, 256u);
      EXPECT_EQ(number, n);
      if (n == 0) total = blocks;
      EXPECT_EQ(blocks, total);
      payloads += hex;
    }
    EXPECT_EQ(n, total);
    EXPECT_EQ(n, (base % 256 + bin.size() + 255) / 256);
    EXPECT_EQ(payloads.substr(base % 256 * 2, bin.size() * 2), model::hexOf(bin));

    const Shell f = sh(dir.path, "file image.uf2");
    EXPECT_NE(f.out.find("UF2 firmware image"), std::string::npos) << f.out;
    EXPECT_NE(f.out.find(std::to_string(n) + " total blocks"), std::string::npos) << f.out;
  }
}

TEST(RealReaders, SrecCatReadsMifAndVmemWords) {
  // srec_cat lays a VMem word down most significant byte first and a MIF
  // word least significant byte first; it reads words of up to 32 bits.
  for (const Real& x : {reals[0], reals[3]}) {
    const std::vector<uint8_t> load = readFile(testdata / (std::string(x.name) + ".load.bin"));
    for (uint32_t bytes : {1u, 2u, 4u}) {
      SCOPED_TRACE(std::string(x.name) + ", " + std::to_string(8 * bytes) + "-bit words");
      TempDir dir;
      for (const char* format : {"mif", "vmem"}) {
        tool(dir.path, {"-f", (testdata / (std::string(x.name) + ".elf")).string(),
                        std::string("--format=") + format, std::string("--output=image.") + format,
                        "--width=" + std::to_string(8 * bytes)});
      }
      EXPECT_SH(dir.path, "srec_cat image.mif -mif -o mif.bin -binary");
      EXPECT_SH(dir.path, "srec_cat image.vmem -vmem -o vmem.bin -binary");
      EXPECT_EQ(readFile(dir.path / "mif.bin"), x.big ? swapWords(load, bytes) : load);
      EXPECT_EQ(readFile(dir.path / "vmem.bin"), x.big ? load : swapWords(load, bytes));
    }
  }
}

TEST(RealReaders, GhdlRunsATestbenchOverTheVhdlPackages) {
  struct Case {
    const char* name;
    Order order;
    Shape shape;
    std::vector<Seg> segs = gapped;
  };
  const Case cases[] = {
      {"le32", Order::Little, {.width = 32, .fill = 0xa5}},
      {"be64", Order::Big, {.width = 64, .fill = 0x5a}},
      {"le128run", Order::Little, {.width = 128, .fill = 0xff, .run = true}},
      {"be8", Order::Big, {.width = 8, .size = 0x60, .depth = 0x70}},
      {"le16x4", Order::Little, {.width = 16, .lanes = 4, .fill = 0xc3}},
      {"be8x4", Order::Big, {.width = 8, .lanes = 4, .fill = 0x96}},
      {"le8x8", Order::Little, {.width = 8, .lanes = 8, .fill = 0x69}},
      {"one", Order::Big, {.width = 32, .size = 4}, {text(0x1000, {0xde, 0xad, 0xbe, 0xef})}},
  };
  TempDir dir;
  // Every lane's package, its words as bit strings, and the testbench
  // lines that print them.
  std::vector<std::string> files, expected;
  std::string uses, prints;
  for (const Case& c : cases) {
    const std::string elf = fixtureElf(dir.path, c.order, c.segs);
    std::vector<std::string> args = {"-f", elf, "--format=vhdl", std::string("--name=") + c.name,
                                     std::string("--output=") + c.name + (c.shape.lanes > 1 ? "%d" : "") + ".vhdl"};
    for (const std::string& a : c.shape.args()) args.push_back(a);
    tool(dir.path, args);
    const std::vector<uint8_t> mem = model::memory(c.segs, c.shape);
    for (uint32_t lane = 0; lane < c.shape.lanes; lane++) {
      const std::string k = c.shape.lanes > 1 ? std::to_string(lane) : "";
      const std::string n = std::string(c.name) + (k.empty() ? "" : "_" + k);
      files.push_back(std::string(c.name) + k + ".vhdl");
      uses += "use work." + n + "_pkg.all;\n";
      prints += "    write(l, string'(\"" + n + " \") & integer'image(" + n + "_depth) & \" \" & integer'image(" +
                n + "_width) & \" \" & integer'image(" + n + "'length) & \" \" & integer'image(" + n +
                "(0)'length));\n    writeline(output, l);\n"
                "    for i in " + n + "'range loop\n      write(l, to_string(" + n + "(i)));\n"
                "      writeline(output, l);\n    end loop;\n";
      const uint32_t bits = c.shape.laneBits();
      const uint64_t depth = c.shape.words();
      expected.push_back(n + " " + std::to_string(depth) + " " + std::to_string(bits) + " " + std::to_string(depth) +
                         " " + std::to_string(bits));
      for (const std::string& w : model::laneWords(mem, c.shape, c.order, lane)) {
        std::string b;
        for (char d : w) {
          const int v = std::stoi(std::string(1, d), nullptr, 16);
          for (int i = 3; i >= 0; i--) b += static_cast<char>('0' + (v >> i & 1));
        }
        expected.push_back(b.substr(b.size() - bits));
      }
    }
  }
  writeFile(dir.path / "tb.vhdl", [&] {
    const std::string tb = "library ieee;\nuse ieee.std_logic_1164.all;\nuse std.textio.all;\n" + uses +
                           "\nentity tb is\nend entity tb;\n\narchitecture run of tb is\nbegin\n  process\n"
                           "    variable l : line;\n  begin\n" + prints + "    wait;\n  end process;\nend architecture run;\n";
    return std::vector<uint8_t>(tb.begin(), tb.end());
  }());
  std::string all;
  for (const std::string& f : files) all += " " + f;
  // The packages are plain VHDL-93; the testbench prints with VHDL-2008's
  // to_string.
  EXPECT_SH(dir.path, "mkdir w93 && ghdl -a --std=93 --workdir=w93" + all);
  EXPECT_SH(dir.path, "ghdl -a --std=08" + all + " tb.vhdl && ghdl -e --std=08 tb");
  const Shell r = sh(dir.path, "ghdl -r --std=08 tb");
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> got;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) got.push_back(l);
  EXPECT_EQ(got, expected);
}

TEST(RealReaders, CImagesCompileAsC99AndCxx17AndHoldTheBinBytes) {
  struct Case {
    const char* name;
    Order order;
    Shape shape;
  };
  const Case cases[] = {
      {"le8", Order::Little, {.width = 8, .fill = 0xa5}},
      {"be16", Order::Big, {.width = 16, .fill = 0x5a}},
      {"le32", Order::Little, {.width = 32, .size = 0x60, .depth = 0x20, .fill = 0xee}},
      {"be64run", Order::Big, {.width = 64, .fill = 0xff, .run = true}},
      {"le64be", Order::Little, {.width = 64, .byteOrder = Order::Big}},
      {"be32x2", Order::Big, {.width = 32, .lanes = 2, .fill = 0x11}},
      {"le64x8", Order::Little, {.width = 64, .lanes = 8, .fill = 0x22}},
  };
  const std::string flags = " -Wall -Wextra -pedantic -Werror ";
  TempDir dir;
  std::string includes, prints, check, sources, expected;
  for (const Case& c : cases) {
    const std::string elf = fixtureElf(dir.path, c.order, gapped);
    const std::string each = c.shape.lanes > 1 ? "%d" : "";
    std::vector<std::string> args = {"-f", elf, "--format=c", std::string("--name=") + c.name,
                                     std::string("--output=") + c.name + each + ".c",
                                     std::string("--header=") + c.name + each + ".h"};
    std::vector<std::string> binArgs = {"-f", elf, "--format=bin", std::string("--output=") + c.name + each + ".bin"};
    for (const std::string& a : c.shape.args()) args.push_back(a), binArgs.push_back(a);
    tool(dir.path, args);
    tool(dir.path, binArgs);
    const bool little = c.shape.byteOrder.value_or(c.order) == Order::Little;
    const uint32_t bytes = c.shape.laneBytes();
    for (uint32_t k = 0; k < c.shape.lanes; k++) {
      const std::string lane = c.shape.lanes > 1 ? std::to_string(k) : "";
      const std::string file = c.name + lane, n = lane.empty() ? file : std::string(c.name).append("_").append(lane);
      includes += "#include \"" + file + ".h\"\n";
      check += "#include \"" + file + ".h\"\n#include \"" + file + ".c\"\n";
      sources += " ../" + file + ".c";
      // Each word's bytes in the memory's order, as bin has them.
      prints += "  printf(\"" + n + " %08lx %lu\", (unsigned long)" + n + "_base, (unsigned long)" + n +
                "_words);\n  for (i = 0; i < " + n + "_words; i++)\n    for (b = 0; b < " + std::to_string(bytes) +
                "; b++)\n      printf(\"%02x\", (unsigned)(" + n + "[i] >> 8 * (" +
                (little ? "b" : std::to_string(bytes - 1) + " - b") + ") & 0xff));\n  printf(\"\\n\");\n";
      char head[64];
      snprintf(head, sizeof head, " %08lx %lu", static_cast<unsigned long>(c.shape.laneAddress()),
               static_cast<unsigned long>(c.shape.words()));
      const std::vector<uint8_t> bin = readFile(dir.path / (file + ".bin"));
      expected += n + head + model::hexOf(bin) + "\n";
    }
  }
  const std::string main = "#include <stdio.h>\n" + includes +
                           "\nint main(void) {\n  unsigned long i, b;\n" + prints + "  return 0;\n}\n";
  writeFile(dir.path / "main.c", std::vector<uint8_t>(main.begin(), main.end()));
  writeFile(dir.path / "check.c", std::vector<uint8_t>(check.begin(), check.end()));
  // Each image with its header in one unit: the declarations match the
  // definitions.
  EXPECT_SH(dir.path, "gcc -std=c99" + flags + "-fsyntax-only check.c");
  EXPECT_SH(dir.path, "g++ -std=c++17" + flags + "-x c++ -fsyntax-only check.c");
  // The images built as C and as C++, each linked with a main of the other.
  EXPECT_SH(dir.path, "mkdir c cxx && cd c && gcc -std=c99" + flags + "-c" + sources);
  EXPECT_SH(dir.path, "cd cxx && g++ -std=c++17" + flags + "-x c++ -c" + sources);
  EXPECT_SH(dir.path, "gcc -std=c99" + flags + "main.c cxx/*.o -o from-cxx");
  EXPECT_SH(dir.path, "g++ -std=c++17" + flags + "-x c++ main.c -x none c/*.o -o from-c");
  EXPECT_EQ(sh(dir.path, "./from-cxx").out, expected);
  EXPECT_EQ(sh(dir.path, "./from-c").out, expected);
}

TEST(MemoryFormatLimits, RefusedWithTheLimit) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--format=c", "--width=128"}, "--format=c: holds words of up to 64 bits, not 128\n"},
      {{"--format=c", "--width=32", "--lanes=8"},
       "--lanes=8: lanes of 4 bits: the c format holds words of 8 bits or more\n"},
      {{"--format=bin", "--width=8", "--lanes=2"},
       "--lanes=2: lanes of 4 bits: the bin format holds words of 8 bits or more\n"},
      {{"--format=ihex", "--width=16", "--lanes=4"},
       "--lanes=4: lanes of 4 bits: the ihex format holds words of 8 bits or more\n"},
      {{"--format=ihex-words", "--width=8", "--lanes=8"},
       "--lanes=8: lanes of 1 bits: the ihex-words format holds words of 8 bits or more\n"},
      {{"--format=srec", "--width=64", "--lanes=32"},
       "--lanes=32: lanes of 2 bits: the srec format holds words of 8 bits or more\n"},
      {{"--format=lattice-mem", "--width=264"}, "--format=lattice-mem: holds words of up to 256 bits, not 264\n"},
      {{"--format=c", "--width=72"}, "--format=c: holds words of up to 64 bits, not 72\n"},
      {{"--format=lattice-mem", "--width=8", "--depth=65537"},
       "--depth=65537: the lattice-mem format holds up to 65536 words\n"},
      {{"--format=lattice-mem", "--width=8", "--region=0x1000:65537"},
       "--format=lattice-mem: holds up to 65536 words, not 65537\n"},
  };
  Workspace ws(gapped, {.entry = 0x1000}, {"-f", "in.elf", "--output=image%d", "--quiet"});
  for (const Case& c : cases) {
    const Outcome r = ws(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_TRUE(r.err.ends_with(c.message)) << r.err;
    EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"});
  }
}

namespace {

// A host program, or the reason a test that needs it is skipped.
std::string missing(const char* program) {
  return sh(".", std::string("command -v ") + program).status == 0
             ? ""
             : std::string(program) + " is not installed (tools/install-deps installs it)";
}

// The lines of standard output that start with `tag`, without it.
std::vector<std::string> tagged(const std::string& out, const std::string& tag) {
  std::vector<std::string> got;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) {
    if (l.starts_with(tag)) got.push_back(l.substr(tag.size()));
  }
  return got;
}

// Sparse vmem images of fixtures, each an array of the memory's depth
// indexed from the rebase, and the words each reader should hold: those of
// the stretches written, `untouched` elsewhere.
struct SparseVmem {
  std::string name;  // of the file (NAME.vmem) and of the array
  uint32_t width;
  uint64_t low, depth;
  std::vector<std::string> words;  // empty where the file writes none
};

std::vector<SparseVmem> sparseVmems(const fs::path& dir) {
  struct Case {
    const char* name;
    Order order;
    Shape shape;
    uint64_t rebase;
    std::vector<Seg> segs = gapped;
  };
  const std::vector<Seg> touching = {text(0x1000, counting(0x13)), data(0x1013, counting(0x9, 0x80))};
  const Case cases[] = {
      {"le32", Order::Little, {.width = 32, .fill = 0xa5}, 0},
      {"be16", Order::Big, {.width = 16, .fill = 0x5a}, 0x40},
      {"be64run", Order::Big, {.width = 64, .size = 0x100, .run = true}, 0},
      {"le8x", Order::Little, {.width = 32, .lanes = 4, .fill = 0xee}, 0, touching},
  };
  std::vector<SparseVmem> out;
  for (const Case& c : cases) {
    const std::string elf = fixtureElf(dir, c.order, c.segs);
    std::vector<std::string> args = {"-f", elf, "--format=vmem", "--sparse",
                                     std::string("--output=") + c.name + (c.shape.lanes > 1 ? "%d" : "") + ".vmem"};
    if (c.rebase != 0) args.push_back("--rebase=" + std::to_string(c.rebase));
    for (const std::string& a : c.shape.args()) args.push_back(a);
    tool(dir, args);
    const std::vector<uint8_t> mem = model::memory(c.segs, c.shape);
    for (uint32_t lane = 0; lane < c.shape.lanes; lane++) {
      const std::vector<std::string> all = model::laneWords(mem, c.shape, c.order, lane);
      SparseVmem v{c.name + (c.shape.lanes > 1 ? std::to_string(lane) : ""), c.shape.laneBits(), c.rebase,
                   c.shape.words(), std::vector<std::string>(all.size())};
      for (const auto& [first, end] : model::placedStretches(c.segs, c.shape, c.shape.wordBytes(), true)) {
        for (uint64_t k = first; k < end; k++) v.words[k] = all[k];
      }
      out.push_back(v);
    }
  }
  return out;
}

// A testbench that fills every array with `d` digits, loads its file over
// it with $readmemh and prints each word as "NAME: WORD".
std::string vmemBench(const std::vector<SparseVmem>& vs) {
  std::string decl, body;
  for (const SparseVmem& v : vs) {
    const std::string w = std::to_string(v.width), lo = std::to_string(v.low),
                      hi = std::to_string(v.low + v.depth - 1);
    decl += "  reg [" + w + "-1:0] " + v.name + " [" + lo + ":" + hi + "];\n";
    body += "    for (i = " + lo + "; i <= " + hi + "; i = i + 1) " + v.name + "[i] = {" +
            std::to_string(v.width / 4) + "{4'hd}};\n    $readmemh(\"" + v.name + ".vmem\", " + v.name +
            ");\n    for (i = " + lo + "; i <= " + hi + "; i = i + 1) $display(\"" + v.name + ": %h\", " + v.name +
            "[i]);\n";
  }
  return "module tb;\n" + decl + "  integer i;\n  initial begin\n" + body + "    $finish;\n  end\nendmodule\n";
}

// What the bench prints for one array: its words, `d` digits where the
// file writes none.
std::vector<std::string> benchWords(const SparseVmem& v) {
  std::vector<std::string> want;
  for (const std::string& w : v.words) want.push_back(w.empty() ? std::string(v.width / 4, 'd') : w);
  return want;
}

void writeText(const fs::path& file, const std::string& text) {
  writeFile(file, std::vector<uint8_t>(text.begin(), text.end()));
}

}  // namespace

TEST(RealReaders, IverilogLoadsSparseVmemIntoTheArray) {
  if (const std::string why = missing("iverilog"); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::vector<SparseVmem> vs = sparseVmems(dir.path);
  writeText(dir.path / "tb.v", vmemBench(vs));
  EXPECT_SH(dir.path, "iverilog -o tb tb.v");
  const Shell r = sh(dir.path, "vvp -n tb");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  for (const SparseVmem& v : vs) EXPECT_EQ(tagged(r.out, v.name + ": "), benchWords(v)) << v.name;
}

TEST(RealReaders, VerilatorLoadsSparseVmemIntoTheArray) {
  if (const std::string why = missing("verilator"); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  const std::vector<SparseVmem> vs = sparseVmems(dir.path);
  writeText(dir.path / "tb.v", vmemBench(vs));
  EXPECT_SH(dir.path, "verilator --binary -Wno-WIDTH tb.v -o tb > build.log 2>&1 || { cat build.log; false; }");
  const Shell r = sh(dir.path, "obj_dir/tb");
  EXPECT_EQ(r.status, 0) << r.out;
  for (const SparseVmem& v : vs) EXPECT_EQ(tagged(r.out, v.name + ": "), benchWords(v)) << v.name;
}

TEST(RealReaders, YosysLoadsSparseVmemIntoTheMemorysInitialValue) {
  if (const std::string why = missing("yosys"); !why.empty()) GTEST_SKIP() << why;
  TempDir dir;
  for (const SparseVmem& v : sparseVmems(dir.path)) {
    SCOPED_TRACE(v.name);
    // A memory that is read, so that it is kept; its initial value is what
    // $readmemh loaded, x where the file writes nothing.
    const std::string w = std::to_string(v.width);
    writeText(dir.path / (v.name + ".v"),
              "module " + v.name + "(input [31:0] a, output [" + w + "-1:0] q);\n  reg [" + w + "-1:0] mem [" +
                  std::to_string(v.low) + ":" + std::to_string(v.low + v.depth - 1) + "];\n  initial $readmemh(\"" +
                  v.name + ".vmem\", mem);\n  assign q = mem[a];\nendmodule\n");
    const Shell r = sh(dir.path, "yosys -q -p 'read_verilog " + v.name + ".v; proc; memory_collect; write_json " +
                                     v.name + ".json' && cat " + v.name + ".json");
    ASSERT_EQ(r.status, 0) << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("\"INIT\": \"([01x]+)\""))) << r.out;
    ASSERT_TRUE(std::regex_search(r.out, std::regex("\"OFFSET\": \"0*" + [&] {
      std::string b;
      for (uint64_t x = v.low; x > 0; x >>= 1) b.insert(b.begin(), static_cast<char>('0' + (x & 1)));
      return b;
    }() + "\""))) << r.out;
    // The bits of the last word first.
    const std::string init = m[1];
    ASSERT_EQ(init.size(), v.depth * v.width);
    std::vector<std::string> got;
    for (uint64_t k = 0; k < v.depth; k++) {
      const std::string bits = init.substr((v.depth - 1 - k) * v.width, v.width);
      if (bits.find('x') != std::string::npos) {
        EXPECT_EQ(bits, std::string(v.width, 'x')) << "word " << k;
        got.emplace_back();
        continue;
      }
      std::string hex;
      for (size_t i = 0; i < bits.size(); i += 4) hex += "0123456789abcdef"[std::stoi(bits.substr(i, 4), nullptr, 2)];
      got.push_back(hex);
    }
    EXPECT_EQ(got, v.words);
  }
}

TEST(RealReaders, SparseIntelHexAndSrecordsAreObjcopysRecords) {
  // Placed by section, as objcopy places them, the data records are
  // objcopy's line for line (without its CR). objcopy's S0 names its file,
  // and it writes no start record for a start address of 0: the start
  // address is compared as objdump reads it instead.
  auto records = [](const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) {
      if (!l.empty() && l.back() == '\r') l.pop_back();
      const bool start = l.starts_with(':') && l.size() > 8 && (l.substr(7, 2) == "03" || l.substr(7, 2) == "05");
      if (!start && !l.starts_with("S0")) out.push_back(l);
    }
    return out;
  };
  for (const Real& x : reals) {
    const std::string elf = (testdata / (std::string(x.name) + ".elf")).string();
    for (const char* format : {"ihex", "srec"}) {
      SCOPED_TRACE(std::string(x.name) + ", " + format);
      TempDir dir;
      tool(dir.path, {"-f", elf, "--section=*", std::string("--format=") + format, "--output=ours"});
      EXPECT_SH(dir.path, std::string("objcopy -I ") + (x.big ? "elf32-big" : "elf32-little") + " -O " + format + " " +
                              elf + " theirs");
      auto text = [&](const char* f) {
        const std::vector<uint8_t> b = readFile(dir.path / f);
        return std::string(b.begin(), b.end());
      };
      EXPECT_EQ(records(text("ours")), records(text("theirs")));
      auto start = [&](const char* f) {
        return tagged(sh(dir.path, std::string("objdump -f -b ") + format + " " + f).out, "start address ");
      };
      EXPECT_EQ(start("ours"), start("theirs"));
    }
  }
}

TEST(RealReaders, RebasedRecordsMoveBackToTheMemorysAddresses) {
  // objcopy reads the rebased file and moves it back to the memory's base;
  // srec_cmp finds the same bytes at the same addresses as in the file
  // written at the memory's own addresses. Raw, both are the bin image.
  for (const Real& x : reals) {
    const std::vector<uint8_t> at = readFile(testdata / (std::string(x.name) + ".load.addr"));
    const uint64_t base = std::stoull(std::string(at.begin(), at.end()), nullptr, 16);
    const std::string elf = (testdata / (std::string(x.name) + ".elf")).string();
    for (const auto& [format, srecord] : {std::pair{"ihex", "-intel"}, std::pair{"srec", "-motorola"}}) {
      SCOPED_TRACE(std::string(x.name) + ", " + format);
      TempDir dir;
      tool(dir.path, {"-f", elf, std::string("--format=") + format, "--output=plain"});
      tool(dir.path, {"-f", elf, std::string("--format=") + format, "--output=rebased", "--rebase=0x100",
                      "--record-bytes=32"});
      tool(dir.path, {"-f", elf, "--format=bin", "--output=bin"});
      const long long change = static_cast<long long>(base) - 0x100;
      EXPECT_SH(dir.path, std::string("objcopy -I ") + format + " -O " + format +
                              " --change-addresses=" + std::to_string(change) + " rebased moved");
      EXPECT_SH(dir.path, std::string("srec_cmp moved ") + srecord + " plain " + srecord);
      EXPECT_SH(dir.path, std::string("objcopy -I ") + format + " -O binary rebased rebased.bin");
      EXPECT_EQ(readFile(dir.path / "rebased.bin"), readFile(dir.path / "bin"));
    }
  }
}

TEST(MemoryFormatLimits, AddressOptionsRefusedWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--format=bin", "--sparse"}, "--sparse: the bin format writes every word\n"},
      {{"--format=mif", "--sparse"}, "--sparse: the mif format writes every word\n"},
      {{"--format=coe", "--rebase=0"}, "--rebase=0: the coe format writes no addresses\n"},
      {{"--format=c", "--rebase=0"}, "--rebase=0: the c format writes no addresses\n"},
      {{"--format=vmem", "--rebase=0"}, "--rebase=0: the vmem format writes no addresses without --sparse\n"},
      {{"--format=ihex", "--rebase=0x100000000"}, "--rebase=0x100000000: not an address: 0 to 0xffffffff\n"},
      {{"--format=srec", "--record-bytes=256"}, "--record-bytes=256: not a number of bytes: 1 to 255\n"},
      {{"--format=ihex", "--record-bytes=0"}, "--record-bytes=0: not a number of bytes: 1 to 255\n"},
      {{"--format=mif", "--record-bytes=16"}, "--record-bytes=16: the mif format writes no data records\n"},
      {{"--format=ihex", "--srec-s3"}, "--srec-s3: only with --format=srec\n"},
      // The last placed byte lies 0x53 past the memory's base.
      {{"--format=ihex", "--rebase=0xffffffd0"}, "--format=ihex: address 0x100000023 does not fit its 32 bits\n"},
      {{"--format=srec", "--rebase=0xffffffad", "--fill=0"},
       "--format=srec: address 0x100000000 does not fit its 32 bits\n"},
      {{"--format=ihex", "--width=32", "--lanes=4", "--rebase=0xfffffff0"},
       "--format=ihex: address 0x100000004 does not fit its 32 bits\n"},
      // Word addresses: 21 words of 32 bits, the last at 20 past --rebase.
      {{"--format=mif", "--rebase=0xffffffec"}, "--format=mif: address 0x100000000 does not fit its 32 bits\n"},
      {{"--format=ihex-words", "--rebase=0xfffffff0"},
       "--format=ihex-words: address 0x100000004 does not fit its 32 bits\n"},
      {{"--format=vmem", "--sparse", "--rebase=0xffffffff"},
       "--format=vmem: address 0x100000013 does not fit its 32 bits\n"},
  };
  Workspace ws(gapped, {.entry = 0x1000}, {"-f", "in.elf", "--output=image%d", "--quiet"});
  for (const Case& c : cases) {
    const Outcome r = ws(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"});
  }
  // The highest address that fits is written.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--format=ihex", "--rebase=0xffffffac"},
                                              {"--format=mif", "--rebase=0xffffffeb"},
                                              {"--format=ihex-words", "--rebase=0xffffffeb"},
                                              {"--format=vmem", "--sparse", "--rebase=0xffffffeb"}}) {
    const Outcome r = ws(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
  }
}

TEST(MemoryFormatLimits, SparseImageOfAThreeGiBGapCostsWhatItsBytesCost) {
  // Written over every address of the gap, the image would take minutes of
  // processor time; a second each is far more than its bytes need.
  Workspace ws({text(0x100, counting(100)), data(0xC0000100, counting(4))}, {.entry = 0x100},
               {"-f", "in.elf", "--region=0:4G", "--quiet"});
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--format=ihex"}, {"--format=srec"}, {"--format=vmem", "--sparse"},
        {"--format=ihex", "--width=64", "--lanes=2", "--output=lane%d"}}) {
    SCOPED_TRACE(args[0]);
    std::vector<std::string> all = args;
    if (args.size() < 4) all.push_back("--output=image");
    const Outcome r = ws(all, {.launcher = {"prlimit", "--cpu=1"}});
    EXPECT_EQ(r.status, 0) << r.err;
    const bool lanes = args.size() == 4;
    EXPECT_LT(fs::file_size(ws.dir.path / (lanes ? "lane1" : "image")), 1000u);
  }
  std::string words;
  for (int k = 1; k <= 100; k += 4) {
    char w[16];
    snprintf(w, sizeof w, "%02x%02x%02x%02x\n", k + 3, k + 2, k + 1, k);
    words += w;
  }
  EXPECT_EQ(ws.file("image"), "@40\n" + words + "@30000040\n04030201\n");
}
