// The map of a run (--map) through the built binary: the committed
// executables' maps, text and JSON, line by line against readelf's view of
// their sections, segments and symbols (tests/map_check.py; readelf comes
// with binutils, python3 with tools/install-deps), names from a hostile
// symbol table, and the refusals.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;
const fs::path checker = fs::path(ROMWRIGHT_TESTS) / "map_check.py";

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& n : listDir(dir)) files[n] = slurp(dir / n);
  return files;
}

// A directory holding testdata/`elf` as fw.elf.
struct Firmware {
  TempDir dir;
  explicit Firmware(const char* elf) { fs::copy_file(testdata / elf, dir.path / "fw.elf"); }
  Outcome operator()(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-f", "fw.elf", "--quiet"});
    return run(args, {.cwd = dir.path});
  }
};

}  // namespace

// Each memory of the map holds, in address order, every allocated section
// at its load or run address (its segment named), a data segment's zero
// tail at run addresses, the fields, and the fill or the gaps of a sparse
// format between them; under each range, the functions, objects and global
// labels that lie in it, at the memory's addresses. The image is the one
// written without --map.
TEST(Map, CommittedExecutablesMatchReadelf) {
  struct Case {
    const char* elf;
    std::vector<std::string> args;
    std::vector<std::string> fields;  // ADDR:SIZE:TEXT for the checker
  };
  const Case cases[] = {
      // .data and .ramfunc stored after the text, a CRC after them, fill.
      {"romcopy-arm.elf",
       {"--format=bin", "--width=8", "--region=0x08000000:0x200", "--fill=0xff", "--insert=crc32@0x080001fc",
        "--output=image.bin"},
       {"0x080001fc:4:crc32@0x080001fc"}},
      // Big-endian; sparse Intel HEX: the padding no section holds and the
      // room before the stored .data are gaps.
      {"romcopy-mips.elf", {"--format=ihex", "--output=image.hex"}, {}},
      // Two memories: the ROM at load addresses, the RAM at run addresses
      // with the zero tail of .bss and a constant past it.
      {"romcopy-riscv.elf",
       {"--memory=rom:0:0x200,format=bin,width=8,output=rom.bin",
        "--memory=ram:0x80000000:0x100,format=vmem,addresses=run,output=ram.vmem",
        "--insert=u32:0xdeadbeef@0x800000fc"},
       {"0x800000fc:4:u32:0xdeadbeef@0x800000fc"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.elf);
    Firmware fw(c.elf);
    std::vector<std::string> args = c.args;
    Outcome r = fw(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto plain = snapshot(fw.dir.path);
    args.push_back("--map=map.txt");
    r = fw(args);
    ASSERT_EQ(r.status, 0) << r.err;
    args.back() = "--map=map.json";
    args.push_back("--map-format=json");
    r = fw(args);
    ASSERT_EQ(r.status, 0) << r.err;
    auto written = snapshot(fw.dir.path);
    written.erase("map.txt");
    written.erase("map.json");
    EXPECT_EQ(written, plain);

    std::string command = "/usr/bin/python3 '" + checker.string() + "' fw.elf map.txt map.json";
    for (const std::string& f : c.fields) command += " '" + f + "'";
    EXPECT_SH(fw.dir.path, command);
  }
}

// The header of the text map names the inputs, the start address and each
// memory; --map=- writes the map to standard output; --whole-segments
// places the padding no section holds, which the map says.
TEST(Map, HeadersStandardOutputAndBytesNoSectionHolds) {
  Firmware arm("romcopy-arm.elf");
  Outcome r = arm({"--format=bin", "--width=8", "--region=0x08000000:0x200", "--fill=0xff", "--output=image.bin",
                   "--map=-"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> got = lines(r.out);
  ASSERT_GE(got.size(), 5u);
  EXPECT_EQ(got[0], "romwright map of fw.elf (ELF)");
  EXPECT_EQ(got[1], "start address 0x08000045");
  EXPECT_EQ(got[2], "");
  EXPECT_EQ(got[3], "memory: 0x08000000..0x080001ff, 512 bytes, load addresses, 8-bit words, fill 0xff, bin to image.bin");
  EXPECT_EQ(got[4], "  0x08000000..0x0800003f   64 bytes  fw.elf segment 0 (.isr_vector)");

  Firmware riscv("romcopy-riscv.elf");
  r = riscv({"--memory=rom:0:0x200,format=vmem,width=16,banks=2,output=rom%b.vmem",
             "--memory=ram:0x80000000:0x100,format=ihex,addresses=run,output=ram.hex", "--no-start", "--map=-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nno start address\n\nmemory rom: 0x00000000..0x000001ff, 512 bytes, load addresses, "
                       "16-bit words, fill 0x00, vmem to rom%b.vmem in 2 banks\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\nmemory ram: 0x80000000..0x800000ff, 256 bytes, run addresses, 32-bit words, sparse, "
                       "ihex to ram.hex\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\n  0x80000098..0x800000ff  104 bytes  gap (not written)\n"), std::string::npos) << r.out;

  Firmware mips("romcopy-mips.elf");
  r = mips({"--format=bin", "--whole-segments", "--output=image.bin", "--map=-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n  0xbfc001c4..0xbfc001cf    12 bytes  fw.elf segment 0 (no section)\n"), std::string::npos)
      << r.out;
}

// Names come from the input: a symbol named with a quote, a newline, a
// backslash and a byte that is not UTF-8 stays on its line of the text map,
// and the JSON map stays valid, the name as its bytes read as Latin-1.
TEST(Map, HostileNamesKeepBothFormsWellFormed) {
  Firmware fw("romcopy-arm.elf");
  put(fw.dir.path / "rename.py",
      "d = bytearray(open('fw.elf', 'rb').read())\n"
      "i = d.index(b'\\0banner\\0') + 1\n"
      "d[i:i + 6] = b'x\"\\n\\\\\\xffy'\n"
      "open('fw.elf', 'wb').write(d)\n");
  ASSERT_SH(fw.dir.path, "/usr/bin/python3 rename.py");
  Outcome r = fw({"--format=bin", "--width=8", "--output=image.bin", "--map=map.txt"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = slurp(fw.dir.path / "map.txt");
  EXPECT_NE(text.find("\n      0x08000190  x\"\\x0a\\\\\xffy (object, 20 bytes, runs at 0x20000028)\n"),
            std::string::npos)
      << text;
  r = fw({"--format=bin", "--width=8", "--output=image.bin", "--map=map.json", "--map-format=json"});
  ASSERT_EQ(r.status, 0) << r.err;
  put(fw.dir.path / "names.py",
      "import json\n"
      "d = json.load(open('map.json', encoding='utf-8'))\n"
      "names = [s['name'] for r in d['memories'][0]['ranges'] for s in r['symbols']]\n"
      "assert 'x\"\\n\\\\\\xffy' in names, names\n");
  EXPECT_SH(fw.dir.path, "/usr/bin/python3 names.py");
}

// Refused before anything is read or written, with one line each; two
// files of the run that are one file among them.
TEST(Map, Refusals) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--map-format=json"}, "--map-format=json: needs --map=FILE\n"},
      {{"--map=m", "--map-format=xml"}, "--map-format=xml: not text or json\n"},
      {{"--map="}, "--map=: an empty file name\n"},
      {{"--map=-"}, "--map=-: the image goes to standard output already: give --output=FILE or --map=FILE\n"},
      {{"--memory=a:0x08000000:0x200,output=-", "--map=-"},
       "--map=-: --memory=a writes to standard output already: give it output=FILE\n"},
      {{"--output=image.bin", "--map=image.bin"}, "--output=image.bin: image.bin is also written as --map=image.bin\n"},
      {{"--output=image.bin", "--verify-ignore=1..2"}, "--verify-ignore=1..2: only with --verify=DUMP\n"},
      // The digest of --digest-out, in the same group, once replaced the image.
      {{"--region=0x08000000:0x300", "--insert=sha256@0x08000200", "--output=image.bin", "--digest-out=./image.bin"},
       "--output=image.bin: image.bin is also written as --digest-out=./image.bin\n"},
  };
  for (const Case& c : cases) {
    Firmware fw("romcopy-arm.elf");
    std::vector<std::string> args = {"--format=bin"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = fw(args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listDir(fw.dir.path), std::vector<std::string>{"fw.elf"}) << c.err;
  }
}
