// --verify through the built binary: the memories a command line describes
// against a dump read back from a device, as a raw dump at an address, Intel
// HEX and S-records (made by objcopy and srec_cat, from tools/install-deps)
// and an ELF file; bits that differ each way, fields a device writes itself,
// bytes a dump lacks or holds beyond the memories, several memories, and
// the refusals. A verify writes no file.
#include <gtest/gtest.h>

#include <map>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& n : listDir(dir)) files[n] = slurp(dir / n);
  return files;
}

// The flash of romcopy-arm.elf as fw.elf: its image, image.bin, written by
// the command line `build` describes, which every verify repeats.
struct Flash {
  TempDir dir;
  const std::vector<std::string> build = {"-f", "fw.elf", "--format=bin", "--width=8", "--region=0x08000000:0x200",
                                          "--fill=0xff", "--insert=crc32@0x080001fc", "--output=image.bin"};
  std::string image;
  Flash() {
    fs::copy_file(testdata / "romcopy-arm.elf", dir.path / "fw.elf");
    const Outcome r = run(build, {.cwd = dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    image = slurp(dir.path / "image.bin");
  }
  // The build's command line with `more`.
  Outcome operator()(const std::vector<std::string>& more) const {
    std::vector<std::string> args = build;
    args.insert(args.end(), more.begin(), more.end());
    return run(args, {.cwd = dir.path});
  }
};

std::string bits(uint64_t n) { return std::to_string(n) + (n == 1 ? " bit" : " bits"); }

}  // namespace

// The image's own bytes, as any kind of dump, verify: status 0, the summary
// on standard output, and no file written, though the command line names
// its image and a map.
TEST(Verify, DumpOfTheImageMatchesAndNothingIsWritten) {
  Flash f;
  ASSERT_SH(f.dir.path,
            "objcopy -I binary -O ihex --change-addresses=0x08000000 image.bin dump.hex && "
            "objcopy -I binary -O srec --change-addresses=0x08000000 image.bin dump.srec");
  const auto before = snapshot(f.dir.path);
  for (const std::string dump : {"image.bin@0x08000000", "dump.hex", "dump.srec"}) {
    const Outcome r = f({"--verify=" + dump, "--map=map.txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "verify: " + dump + " matches the image: 512 bytes of 1 memory compared\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(snapshot(f.dir.path), before) << dump;
  }
  // An ELF file as a dump: its stored bytes at their load addresses, against
  // a sparse memory of the same program.
  const Outcome r = run({"-f", "fw.elf", "--format=ihex", "--verify=fw.elf"}, {.cwd = f.dir.path});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: fw.elf matches the image: 500 bytes of 1 memory compared\n");
}

// A dump with bits flipped: each range of differing bytes with what put the
// image's bytes there, the bits set in the dump where the image has them
// clear and the other way round, and a summary; status 1, with one line on
// standard error.
TEST(Verify, FlippedBitsAreCountedBothWays) {
  Flash f;
  std::string dump = f.image;
  struct Flip {
    size_t at;
    uint8_t mask;
  };
  // Two bytes 2 apart (one range), one in .text, one in the CRC.
  const Flip flips[] = {{0x10, 0xf0}, {0x12, 0x0f}, {0x100, 0x81}, {0x1fd, 0xff}};
  uint64_t set[4] = {}, cleared[4] = {};
  for (size_t k = 0; k < 4; k++) {
    const auto was = static_cast<uint8_t>(dump[flips[k].at]);
    const auto now = static_cast<uint8_t>(was ^ flips[k].mask);
    dump[flips[k].at] = static_cast<char>(now);
    set[k] = static_cast<uint64_t>(__builtin_popcount(now & ~was & 0xff));
    cleared[k] = static_cast<uint64_t>(__builtin_popcount(was & ~now & 0xff));
  }
  put(f.dir.path / "dump.bin", dump);
  const Outcome r = f({"--verify=dump.bin@0x08000000"});
  EXPECT_EQ(r.status, 1);
  const uint64_t allSet = set[0] + set[1] + set[2] + set[3], allCleared = cleared[0] + cleared[1] + cleared[2] + cleared[3];
  ASSERT_GT(allSet, 0u);
  ASSERT_GT(allCleared, 0u);
  EXPECT_EQ(r.out, "0x08000010..0x08000012: 2 of 3 bytes differ, " + bits(set[0] + set[1]) + " 0->1 and " +
                       bits(cleared[0] + cleared[1]) + " 1->0, in fw.elf segment 0 (.isr_vector)\n" +
                       "0x08000100: 1 byte differs, " + bits(set[2]) + " 0->1 and " + bits(cleared[2]) +
                       " 1->0, in fw.elf segment 0 (.text)\n" +
                       "0x080001fd: 1 byte differs, " + bits(set[3]) + " 0->1 and " + bits(cleared[3]) +
                       " 1->0, in field crc32@0x080001fc\n" +
                       "verify: dump.bin@0x08000000 differs from the image: 4 bytes differ in 3 ranges, " +
                       bits(allSet) + " 0->1 (set in the dump where the image has them clear: not erased?) and " +
                       bits(allCleared) +
                       " 1->0 (clear in the dump where the image has them set); 512 bytes of 1 memory compared\n");
  EXPECT_EQ(r.err, "--verify=dump.bin@0x08000000: the dump differs from the image\n");
}

// A field the device writes itself is left out with --verify-ignore; bytes
// the dump lacks differ, named; bytes it holds beyond the memory are
// counted and not compared.
TEST(Verify, IgnoredRangesAndBytesTheDumpLacksOrHoldsBeyond) {
  Flash f;
  std::string dump = f.image;
  dump.replace(0x1fc, 4, "\x12\x34\x56\x78");
  put(f.dir.path / "crc.bin", dump);
  Outcome r = f({"--verify=crc.bin@0x08000000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("0x080001fc..0x080001ff: ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find(", in field crc32@0x080001fc\n"), std::string::npos) << r.out;
  r = f({"--verify=crc.bin@0x08000000", "--verify-ignore=0x080001fc..0x080001ff"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: crc.bin@0x08000000 matches the image: 508 bytes of 1 memory compared, 4 ignored\n");
  // Overlapping ranges to ignore, one reaching past the memory.
  r = f({"--verify=crc.bin@0x08000000", "--verify-ignore=0x080001fe..0x08000fff", "--verify-ignore=0x080001fb..0x080001fd"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: crc.bin@0x08000000 matches the image: 507 bytes of 1 memory compared, 5 ignored\n");

  put(f.dir.path / "short.bin", f.image.substr(0, 0x1f0));
  r = f({"--verify=short.bin@0x08000000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "0x080001f0..0x080001f3: 4 bytes not in the dump, in fw.elf segment 1 (.ramfunc)\n"
            "0x080001f4..0x080001fb: 8 bytes not in the dump, in fill 0xff\n"
            "0x080001fc..0x080001ff: 4 bytes not in the dump, in field crc32@0x080001fc\n"
            "verify: short.bin@0x08000000 differs from the image: 16 bytes not in the dump; 512 bytes of 1 memory "
            "compared\n");

  put(f.dir.path / "long.bin", std::string(0x100, '\xff') + f.image + std::string(0x100, '\xff'));
  r = f({"--verify=long.bin@0x07ffff00"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: long.bin@0x07ffff00 matches the image: 512 bytes of 1 memory compared; 512 bytes of "
                   "the dump lie in no memory\n");
}

// Several memories, each against the dump's bytes at its own addresses: a
// ROM at load addresses (in two banks, which need no file names in a run
// that writes none) and a RAM at run addresses, its .data and the zero tail
// of .bss, from one S-record dump of both.
TEST(Verify, SeveralMemoriesEachAgainstItsAddresses) {
  if (sh(".", "srec_cat -version").status != 0) GTEST_SKIP() << "no srec_cat (tools/install-deps installs srecord)";
  TempDir dir;
  fs::copy_file(testdata / "romcopy-riscv.elf", dir.path / "fw.elf");
  const std::vector<std::string> build = {"-f", "fw.elf", "--memory=rom:0:0x200,format=bin,width=8,output=rom.bin",
                                          "--memory=ram:0x80000000:0x100,format=bin,width=8,addresses=run,"
                                          "output=ram.bin"};
  Outcome r = run(build, {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string rom = slurp(dir.path / "rom.bin"), ram = slurp(dir.path / "ram.bin");
  rom[0x150] = static_cast<char>(rom[0x150] ^ 0x01);  // .rodata
  ram[0x60] = static_cast<char>(ram[0x60] | 0x80);    // .bss: zero in the image
  put(dir.path / "rom-d.bin", rom);
  put(dir.path / "ram-d.bin", ram);
  ASSERT_SH(dir.path, "srec_cat rom-d.bin -binary ram-d.bin -binary -offset 0x80000000 -o dump.srec");
  const auto before = snapshot(dir.path);
  const std::vector<std::string> verify = {"-f", "fw.elf", "--memory=rom:0:0x200,format=vmem,width=16,banks=2",
                                           "--memory=ram:0x80000000:0x100,format=bin,width=8,addresses=run",
                                           "--verify=dump.srec"};
  r = run(verify, {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  const bool bitSet = (slurp(dir.path / "rom.bin")[0x150] & 1) == 0;
  EXPECT_EQ(r.out, std::string("rom 0x00000150: 1 byte differs, ") + (bitSet ? "1 bit 0->1 and 0 bits" : "0 bits 0->1 and 1 bit") +
                       " 1->0, in fw.elf segment 1 (.rodata)\n"
                       "ram 0x80000060: 1 byte differs, 1 bit 0->1 and 0 bits 1->0, in fw.elf segment 2 (zero tail)\n"
                       "verify: dump.srec differs from the image: 2 bytes differ in 2 ranges, " +
                       std::string(bitSet ? "2 bits 0->1 (set in the dump where the image has them clear: not erased?) "
                                            "and 0 bits 1->0"
                                          : "1 bit 0->1 (set in the dump where the image has them clear: not erased?) "
                                            "and 1 bit 1->0 (clear in the dump where the image has them set)") +
                       "; 768 bytes of 2 memories compared\n");
  EXPECT_EQ(snapshot(dir.path), before);
}

// Refused with one line on standard error and none on standard output (a
// script tells a failed run from one that found differences by the summary
// line, which only a finished comparison writes).
TEST(Verify, Refusals) {
  Flash f;
  ASSERT_SH(f.dir.path, "objcopy -I binary -O ihex --change-addresses=0x08000000 image.bin dump.hex");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--verify=image.bin@0x08000000", "-r"}, "--verify=image.bin@0x08000000: writes nothing; not with -r\n"},
      {{"--verify="}, "--verify=: an empty file name\n"},
      {{"--verify=nosuch.bin@0x0"}, "--verify=nosuch.bin@0x0: unable to open nosuch.bin: No such file or directory\n"},
      {{"--verify=image.bin"},
       "--verify=image.bin: image.bin is neither an ELF executable, Intel HEX nor S-records; a raw dump needs "
       "--verify=image.bin@ADDR\n"},
      {{"--verify=dump.hex@0x0"},
       "--verify=dump.hex@0x0: dump.hex is Intel HEX, which holds its own addresses: give --verify=dump.hex\n"},
      {{"--verify=image.bin@0x1ffffffffffffffff"},
       "--verify=image.bin@0x1ffffffffffffffff: 0x1ffffffffffffffff is too large\n"},
      {{"--verify=dump.hex", "--verify-ignore=5"}, "--verify-ignore=5: not FROM..TO: two addresses, TO included\n"},
      {{"--verify=dump.hex", "--verify-ignore=0x10..0x0"}, "--verify-ignore=0x10..0x0: TO is below FROM\n"},
      {{"--verify=dump.hex", "--verify-ignore=0x0..0xff"}, "--verify-ignore=0x00000000..0x000000ff: lies in no memory\n"},
  };
  const auto before = snapshot(f.dir.path);
  for (const Case& c : cases) {
    const Outcome r = f(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(snapshot(f.dir.path), before);
}
