// New firmware into finished iCE40 designs through the built binary: the
// placeholders --format=ice40-seed writes (the committed seed files of
// testdata/ice40), each committed design patched with firmware read from
// real inputs (an ELF executable, Intel HEX from objcopy, raw binaries) and
// then packed by icepack, compared with icebram, and read back word by word
// by simulating icebox_vlog's Verilog of it with yosys's iCE40 cell models;
// the refusals, which write nothing; and the same through the library.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "elf_fixture.hpp"
#include "patch/seed.hpp"
#include "romwright/romwright.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;
const fs::path ice40 = testdata / "ice40";
const std::string elf = (testdata / "romcopy-riscv.elf").string();

std::string design(const char* name) { return (ice40 / (std::string(name) + ".asc")).string(); }

// Bytes like compiled code: pseudo-random, with runs of 0s and 1s.
std::string noise(size_t n, uint32_t salt) {
  std::mt19937 gen(salt);
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 37 == 5 ? 0 : i % 41 == 7 ? 0xff : gen());
  return bytes;
}

// `bytes` placed into a memory of `size` bytes at `at`.
void place(std::string& memory, size_t at, const std::string& bytes) { memory.replace(at, bytes.size(), bytes); }

// The little-endian words of `width` bits that `bytes` hold.
std::vector<uint64_t> wordsOf(const std::string& bytes, unsigned width) {
  std::vector<uint64_t> words;
  const size_t n = width / 8;
  for (size_t at = 0; at + n <= bytes.size(); at += n) {
    uint64_t w = 0;
    for (size_t b = 0; b < n; ++b) w |= uint64_t{static_cast<uint8_t>(bytes[at + b])} << (8 * b);
    words.push_back(w);
  }
  return words;
}

std::string hex(uint64_t w, unsigned width) { return romwright::seedText({{w}}, width).substr(0, width / 4); }

std::string seedFile(const char* name) { return (ice40 / name).string(); }

// The load image of romcopy-riscv.elf from address 0, as objcopy -O binary
// gives it (its text, then its data's stored bytes at 0x160).
const std::string loadImage = slurp(testdata / "romcopy-riscv.load.bin");

// ---- Placeholders --------------------------------------------------------

// Every committed seed file, written by the command line with no input.
TEST(PatchCli, SeedFilesAreTheCommittedOnes) {
  struct seedRun {
    std::vector<std::string> args;
    std::vector<const char*> files;
  };
  auto one = [](const char* name, const char* width, const char* depth, const char* seed, const char* file) {
    return seedRun{{"--format=ice40-seed", std::string("--name=") + name, std::string("--width=") + width,
                    std::string("--depth=") + depth, std::string("--seed=") + seed, std::string("--output=") + file},
                   {file}};
  };
  const seedRun runs[] = {
      one("rom", "32", "1024", "1", "rom.seed"),       one("ram8", "8", "2048", "1", "ram8.seed"),
      one("ram8", "8", "2048", "2", "ram8-seed2.seed"), one("lane0", "8", "1024", "1", "lane0.seed"),
      one("lane1", "8", "1024", "1", "lane1.seed"),    one("tiny", "8", "64", "1", "tiny.seed"),
      one("prog", "32", "1000", "1", "prog.seed"),     one("tbl", "16", "128", "1", "tbl.seed"),
      one("rom", "16", "512", "1", "rom16.seed"),
      // Several memories, each named by its --memory NAME, its size its
      // region's.
      {{"--memory=code:0:2K,format=ice40-seed,output=code.seed",
        "--memory=data:0x800:512,width=16,format=ice40-seed,output=data.seed", "--seed=1"},
       {"code.seed", "data.seed"}},
      // The lanes and banks of one memory, each a memory of its own.
      {{"--memory=mem:0:4K,width=16,lanes=2,banks=2,format=ice40-seed,output=mem_b%b_%d.seed", "--seed=1"},
       {"mem_b0_0.seed", "mem_b0_1.seed", "mem_b1_0.seed", "mem_b1_1.seed"}},
  };
  for (const seedRun& r : runs) {
    TempDir dir;
    const Outcome o = run(r.args, {.cwd = dir.path});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    for (const char* file : r.files) EXPECT_TRUE(slurp(dir.path / file) == slurp(ice40 / file)) << file;
    EXPECT_EQ(listDir(dir.path).size(), r.files.size());
  }
  // The defaults: the name rom_image, seed 0, standard output; and the
  // options from a response file.
  TempDir dir;
  put(dir.path / "seed.args", "--format=ice40-seed\n--region=0x1000:4K\n--width=32\n");
  const Outcome o = run({"@seed.args"}, {.cwd = dir.path});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, romwright::seedText(*romwright::seedWords("rom_image", 32, 1024, 0), 32));
}

TEST(PatchCli, PlaceholdersThatCannotBeAreRefused) {
  struct refusal {
    std::vector<std::string> args;
    std::string err;
  };
  const refusal cases[] = {
      {{"--format=ice40-seed", "--width=32"},
       "--format=ice40-seed: give the memory's size: --region=BASE:SIZE or --depth=WORDS\n"},
      {{"--format=ice40-seed", "--depth=4"},
       "memory rom_image: 4 placeholder words are too few for 32-bit words: they give only 7 bit columns that "
       "differ from each other and from each other's complements\n"},
      {{"--format=ice40-seed", "--depth=64", "--width=8", "--lanes=4", "--output=x%d"},
       "--lanes=4: lanes of 2 bits: the ice40-seed format holds words of 3 bits or more\n"},
      {{"--memory=big:0:1G,format=ice40-seed,output=x"},
       "--memory=big: a placeholder of 268435456 words is too large (at most 16777216)\n"},
      {{"--format=ice40-seed", "--depth=64", "--width=128"}, "--format=ice40-seed: holds words of up to 64 bits, not 128\n"},
      {{"--format=ice40-seed", "--depth=64", "--seed=x"}, "--seed=x: not a number\n"},
      {{"--format=ice40-seed", "--depth=64", "--name="}, "--name=: an empty name\n"},
      {{"-f", elf, "--format=vmem", "--seed=1"}, "--seed=1: the vmem format writes no placeholder\n"},
      {{"-f", elf, "--seed=1"}, "--seed=1: only with --format=ice40-seed or --patch\n"},
      {{"-f", elf, "--format=vmem", "--placeholder=p.seed"}, "--placeholder=p.seed: only with --patch\n"},
  };
  for (const refusal& c : cases) {
    TempDir dir;
    const Outcome o = run(c.args, {.cwd = dir.path});
    EXPECT_EQ(o.status, 1) << c.err;
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(listDir(dir.path).empty()) << c.err;
  }
}

// ---- Patched designs read back -------------------------------------------

// A patch of a committed design: the run's options besides --patch and
// --output (with the files it reads made in `dir` first), and what the
// patched design must hold: the lines the test bench (tb.v) prints with
// `defines`, and for a single memory the seed file icebram is given with
// the words.
struct patchRun {
  std::vector<std::string> args;
  std::string defines;
  std::string lines;
  const char* icebramSeed = nullptr;
  std::vector<uint64_t> words;
  unsigned width = 0;
};

struct patchCase {
  const char* name;
  const char* design;
  std::function<patchRun(const fs::path& dir)> make;
};

void PrintTo(const patchCase& c, std::ostream* os) { *os << c.name; }

// One word a line for every address of a memory of `words`.
std::string linesOf(const std::vector<uint64_t>& words, unsigned width) {
  std::string lines;
  for (uint64_t w : words) lines += hex(w, width) + "\n";
  return lines;
}

const patchCase cases[] = {
    // A ROM of 32-bit words over eight RAMs: an ELF executable and a raw
    // binary after it, written to standard output.
    {"ElfAndRawBinary", "rom32",
     [](const fs::path& dir) {
       std::string memory(4096, '\0');
       place(memory, 0, loadImage);
       place(memory, 0x200, noise(0xe00, 1));
       put(dir / "code.bin", memory.substr(0x200));
       const auto words = wordsOf(memory, 32);
       return patchRun{{"-f", elf, "--merge=code.bin@0x200", "--region=0:4K", "--name=rom", "--seed=1"},
                       "-DAW=10 -DDW=32", linesOf(words, 32), "rom.seed", words, 32};
     }},
    // A RAM of bytes from Intel HEX that objcopy made.
    {"IntelHex", "byte8",
     [](const fs::path& dir) {
       const std::string memory = noise(2048, 2);
       put(dir / "r.bin", memory);
       EXPECT_SH(dir, "objcopy -I binary -O ihex r.bin r.hex");
       const auto words = wordsOf(memory, 8);
       return patchRun{{"-f", "r.hex", "--region=0:2K", "--width=8", "--name=ram8", "--seed=1"},
                       "-DAW=11 -DDW=8 -DWE=1 -DDINW=8", linesOf(words, 8), "ram8.seed", words, 8};
     }},
    // Two byte lanes, each built from a placeholder file of its own, and a
    // CRC stored in the last word: the words are those of the image the
    // same options write.
    {"LanesPlaceholderFilesAndField", "lanes16",
     [](const fs::path& dir) {
       put(dir / "r.bin", noise(0x5fc, 3));
       const std::vector<std::string> image = {"-f", elf, "--merge=r.bin@0x200", "--region=0:2K",
                                               "--insert=crc32@0x7fc"};
       std::vector<std::string> bin = image;
       bin.insert(bin.end(), {"--format=bin", "--output=image.bin"});
       const Outcome o = run(bin, {.cwd = dir});
       EXPECT_EQ(o.status, 0) << o.err;
       const std::string memory = slurp(dir / "image.bin");
       EXPECT_NE(memory.substr(0x7fc), std::string(4, '\0')) << "the field is stored";
       std::vector<std::string> args = image;
       args.insert(args.end(), {"--width=16", "--lanes=2", "--placeholder=" + seedFile("lane%d.seed")});
       return patchRun{args, "-DAW=10 -DDW=16 -DWE=2 -DDINW=16", linesOf(wordsOf(memory, 16), 16)};
     }},
    // Two memories in one run: a ROM at load addresses and a RAM at run
    // addresses, read side by side (data = {RAM word, ROM word}).
    {"TwoMemoriesInOneRun", "dual",
     [](const fs::path& dir) {
       std::string code(2048, '\0'), data(512, '\0');
       place(code, 0, loadImage);
       place(code, 0x200, noise(0x600, 4));
       place(data, 0, loadImage.substr(0x160));
       place(data, 0x100, noise(0x100, 5));
       put(dir / "code.bin", code.substr(0x200));
       put(dir / "data.bin", data.substr(0x100));
       const auto c = wordsOf(code, 32), d = wordsOf(data, 16);
       std::string lines;
       for (size_t a = 0; a < c.size(); ++a) lines += hex(d[a % d.size()], 16) + hex(c[a], 32) + "\n";
       return patchRun{{"-f", elf, "--merge=code.bin@0x200", "--merge=data.bin@0x80000100", "--memory=code:0:2K",
                        "--memory=data:0x80000000:512,width=16,addresses=run", "--seed=1"},
                       "-DAW=9 -DDW=48 -DWE=1 -DDINW=16", lines};
     }},
    // Two banks of two byte lanes, each a memory named as the image
    // formats name them (mem_b1_0), the options from a response file.
    {"BanksAndLanes", "banks16",
     [](const fs::path& dir) {
       std::string memory(4096, '\0');
       place(memory, 0, loadImage);
       place(memory, 0x200, noise(0xe00, 6));
       put(dir / "r.bin", memory.substr(0x200));
       put(dir / "patch.args", "--merge=r.bin@0x200\n--memory=mem:0:4K,width=16,lanes=2,banks=2\n--seed=1\n");
       return patchRun{{"-f", elf, "@patch.args"}, "-DAW=11 -DDW=16 -DWE=2 -DDINW=16",
                       linesOf(wordsOf(memory, 16), 16)};
     }},
    // A ROM read through two ports, which the design holds twice: both
    // copies patched (data = {word at ~addr, word at addr}).
    {"TwoCopies", "rom2port",
     [](const fs::path& dir) {
       std::string memory(1024, '\0');
       place(memory, 0, loadImage);
       place(memory, 0x200, noise(0x200, 7));
       put(dir / "r.bin", memory.substr(0x200));
       const auto words = wordsOf(memory, 16);
       std::string lines;
       for (size_t a = 0; a < words.size(); ++a) lines += hex(words[~a & 511], 16) + hex(words[a], 16) + "\n";
       return patchRun{{"-f", elf, "--merge=r.bin@0x200", "--region=0:1K", "--width=16", "--name=rom", "--seed=1",
                        "--copies=2"},
                       "-DAW=9 -DDW=32", lines, "rom16.seed", words, 16};
     }},
};

class PatchedDesign : public testing::TestWithParam<patchCase> {};

INSTANTIATE_TEST_SUITE_P(Ice40, PatchedDesign, testing::ValuesIn(cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_P(PatchedDesign, PacksEqualsIcebramAndReadsBackEveryWord) {
  for (const char* tool : {"objcopy", "icepack", "icebram", "icebox_vlog", "iverilog", "vvp"}) {
    if (!have(tool)) GTEST_SKIP() << "no " << tool << " (tools/install-deps installs it)";
  }
  const patchCase& c = GetParam();
  TempDir dir;
  const patchRun r = c.make(dir.path);
  std::vector<std::string> args = r.args;
  args.push_back("--patch=" + design(c.design));
  // One run writes to standard output; the others to a file.
  const bool toStandardOutput = r.icebramSeed != nullptr && r.width == 32;
  args.push_back(toStandardOutput ? "--output=-" : "--output=patched.asc");
  const Outcome o = run(args, {.cwd = dir.path});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  if (toStandardOutput) put(dir.path / "patched.asc", o.out);
  const std::string asc = slurp(dir.path / "patched.asc");
  EXPECT_EQ(asc.size(), slurp(design(c.design)).size());
  ASSERT_SH(dir.path, "icepack patched.asc patched.bin && test -s patched.bin");

  if (r.icebramSeed != nullptr) {
    put(dir.path / "words.hex", romwright::seedText(r.words, r.width));
    ASSERT_SH(dir.path, "icebram '" + seedFile(r.icebramSeed) + "' words.hex < '" + design(c.design) +
                            "' > icebram.asc");
    EXPECT_TRUE(asc == slurp(dir.path / "icebram.asc")) << "differs from icebram's patch";
  }

  ASSERT_SH(dir.path, "icebox_vlog -c -n top -p '" + (ice40 / (std::string(c.design) + ".pcf")).string() +
                          "' patched.asc > chip.v");
  ASSERT_SH(dir.path, "datdir=$(yosys-config --datdir 2>/dev/null || echo /usr/share/yosys); "
                      "iverilog -g2012 -DNO_ICE40_DEFAULT_ASSIGNMENTS " + r.defines + " -o sim '" +
                          (ice40 / "tb.v").string() + "' chip.v \"$datdir/ice40/cells_sim.v\"");
  const Shell sim = sh(dir.path, "vvp -n sim");
  ASSERT_EQ(sim.status, 0) << sim.out;
  EXPECT_TRUE(sim.out == r.lines) << "simulation read back:\n" << sim.out.substr(0, 400);
}

// With --verbose each memory's RAM tiles are named.
TEST(PatchCli, VerboseNamesEachMemorysRamTiles) {
  TempDir dir;
  const Outcome o = run({"-f", elf, "--quiet", "--verbose", "--memory=code:0:2K",
                         "--memory=data:0x80000000:512,width=16,addresses=run", "--seed=1", "--patch=" + design("dual"),
                         "--output=patched.asc"},
                        {.cwd = dir.path});
  ASSERT_EQ(o.status, 0) << o.err;
  const std::string head = "--patch=" + design("dual") + ": memory ";
  EXPECT_NE(o.err.find(head + "code: 512 words of 32 bits in 4 RAM tiles: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(head + "data: 256 words of 16 bits in 1 RAM tile: "), std::string::npos) << o.err;
}

// ---- Refusals ----------------------------------------------------------

// Each run fails with its one line, and the patched design it was to
// write is left as it was.
TEST(PatchCli, RefusalsWriteNothing) {
  struct refusal {
    const char* what;
    std::vector<std::string> args;
    std::string err;  // what standard error starts with
  };
  const std::string rom = "--region=0:4K", seed1 = "--seed=1";
  const std::vector<refusal> refusals = {
      {"another seed", {"-f", elf, "--region=0:2K", "--width=8", "--name=ram8", seed1, "--patch=" + design("byte8-seed2")},
       "--patch=" + design("byte8-seed2") +
           ": memory ram8: 16384 of 16384 placeholder bits not found (the design was built with another "
           "placeholder, or the memory is not in block RAM)\n"},
      {"built from logic",
       {"-f", elf, "--quiet", "--crop", "--region=0:64", "--width=8", "--name=tiny", seed1, "--patch=" + design("logic")},
       "--patch=" + design("logic") +
           ": memory tiny: its 64 words of 8 bits cannot be found: the design's block RAMs hold 0 bits (the memory "
           "is not in block RAM)\n"},
      {"held twice, said once",
       {"-f", elf, "--region=0:1K", "--width=16", "--name=rom", seed1, "--patch=" + design("rom2port")},
       "--patch=" + design("rom2port") + ": memory rom: 8192 placeholder bits found more than once, such as bit "},
      {"one memory of two not found",
       {"-f", elf, "--memory=cod:0:2K", "--memory=data:0x80000000:512,width=16,addresses=run", seed1,
        "--patch=" + design("dual")},
       "--patch=" + design("dual") + ": memory cod: 16384 of 16384 placeholder bits not found"},
      {"placeholders that collide",
       {"-f", elf, "--memory=a:0:1K,width=8,placeholder=" + seedFile("lane0.seed"),
        "--memory=b:0x400:1K,width=8,empty,placeholder=" + seedFile("lane0.seed"), "--patch=" + design("lanes16")},
       "--patch=" + design("lanes16") + ": memories a and b: their placeholders collide: RAM tile "},
      {"a placeholder file that is not one",
       {"-f", elf, "--region=0:2K", "--width=16", "--lanes=2", "--placeholder=bad%d.seed",
        "--patch=" + design("lanes16")},
       "--placeholder=bad0.seed: line 2: 'g' is not a hex digit\n"},
      {"not a design", {"-f", elf, rom, "--patch=" + elf},
       "--patch=" + elf + ": not an iCE40 ASCII configuration: it does not start with a .comment or .device line\n"},
      {"no design", {"-f", elf, rom, "--patch=none.asc"}, "--patch=none.asc: unable to open it: No such file or directory\n"},
      {"no size", {"-f", elf, "--patch=" + design("rom32")},
       "--patch=" + design("rom32") + ": give the memory's size: --region=BASE:SIZE or --depth=WORDS\n"},
      {"words too wide", {"-f", elf, rom, "--width=128", "--patch=" + design("rom32")},
       "memory rom_image: placeholder words are 3 to 64 bits wide, not 128\n"},
      {"lanes of 2 bits", {"-f", elf, "--region=0:64", "--width=8", "--lanes=4", "--patch=" + design("rom32")},
       "memory rom_image: placeholder words of 2 bits cannot be told apart: the only 2-bit words that are neither "
       "all 0s nor all 1s, 01 and 10, have complementary bits\n"},
      {"a format beside", {"-f", elf, rom, "--format=vmem", "--patch=" + design("rom32")},
       "--format=vmem: with --patch, --output is the patched design: write a memory's image with "
       "--memory=NAME:BASE:SIZE,format=FMT,output=FILE\n"},
      {"every memory has a format",
       {"-f", elf, "--memory=rom:0:4K,format=vmem,output=rom.vmem", "--patch=" + design("rom32")},
       "--patch=" + design("rom32") + ": no memory to patch: every --memory has a format of its own\n"},
      {"a placeholder for a memory not patched",
       {"-f", elf, "--memory=rom:0:4K,format=vmem,output=rom.vmem,placeholder=p.seed", "--patch=" + design("rom32")},
       "--memory=rom: --placeholder=p.seed: a memory with a format of its own writes its image and is not "
       "patched\n"},
      {"copies", {"-f", elf, rom, "--copies=0", "--patch=" + design("rom32")},
       "--copies=0: not a number of copies: 1 to 64\n"},
      {"the design itself", {"-f", elf, rom, "--patch=design.asc", "--output=design.asc"},
       "--output=design.asc: design.asc is the design --patch reads: write the patched design to another file, so "
       "that the design keeps its placeholders for the next patch\n"},
  };
  for (const refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    TempDir dir;
    put(dir.path / "new.asc", "old\n");
    put(dir.path / "design.asc", slurp(design("rom32")));
    put(dir.path / "bad0.seed", "00\ng0\n");
    std::vector<std::string> args = r.args;
    if (args.back().rfind("--output=", 0) != 0) args.push_back("--output=new.asc");
    const Outcome o = run(args, {.cwd = dir.path});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err.rfind(r.err, 0), 0u) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"bad0.seed", "design.asc", "new.asc"}));
    EXPECT_EQ(slurp(dir.path / "new.asc"), "old\n");
    EXPECT_TRUE(slurp(dir.path / "design.asc") == slurp(design("rom32")));
  }
  // Without --output there is nowhere to write.
  TempDir dir;
  const Outcome o = run({"-f", elf, rom, "--patch=" + design("rom32")}, {.cwd = dir.path});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "--patch=" + design("rom32") + ": give --output=FILE for the patched design\n");
}

// ---- The library ---------------------------------------------------------

TEST(PatchLibrary, RendersPlaceholdersAndBuildsPatches) {
  // A placeholder needs no input.
  const auto seed = romwright::render(
      romwright::Options{{"format", "ice40-seed"}, {"name", "rom"}, {"width", "32"}, {"depth", "1024"}, {"seed", "1"}});
  ASSERT_TRUE(seed.ok()) << seed.error().message;
  EXPECT_TRUE(std::string(seed->begin(), seed->end()) == slurp(ice40 / "rom.seed"));
  // A patch is a file of a whole run: build() writes it as the command
  // line does, render() refuses it.
  const auto refused =
      romwright::render(romwright::Options{{"input", elf}, {"region", "0:4K"}, {"patch", design("rom32")}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, romwright::ErrorKind::bad_argument);
  EXPECT_NE(refused.error().message.find("build()"), std::string::npos) << refused.error().message;

  TempDir dir;
  const std::vector<std::string> args = {"-f", elf, "--region=0:4K", "--name=rom", "--seed=1",
                                         "--patch=" + design("rom32")};
  std::vector<std::string> lib = args, cli = args;
  lib.push_back("--output=" + (dir.path / "lib.asc").string());
  cli.push_back("--output=cli.asc");
  const auto built = romwright::build(lib);
  ASSERT_TRUE(built.ok()) << built.error().message;
  ASSERT_EQ(run(cli, {.cwd = dir.path}).status, 0);
  EXPECT_TRUE(slurp(dir.path / "lib.asc") == slurp(dir.path / "cli.asc"));
  // A failure comes back with its kind.
  lib.back() = "--output=" + (dir.path / "other.asc").string();
  lib[4] = "--seed=2";
  const auto notFound = romwright::build(lib);
  ASSERT_FALSE(notFound.ok());
  EXPECT_EQ(notFound.error().kind, romwright::ErrorKind::layout);
  EXPECT_FALSE(fs::exists(dir.path / "other.asc"));
}

}  // namespace
