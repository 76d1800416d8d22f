// New words into finished iCE40 designs: the placeholder words a design is
// built with, the patch of the real designs in testdata/ice40 (built by its
// rebuild.sh with yosys and nextpnr-ice40) checked against icebram, icepack
// and a simulation of icebox_vlog's Verilog of the result, and designs laid
// out here as synthesis lays memories into RAMs, for the layouts and the
// faults the real designs do not show.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "elf_fixture.hpp"
#include "patch/bitstream.hpp"
#include "patch/placeholder.hpp"
#include "patch/seed.hpp"
#include "run_tool.hpp"

using namespace romwright;

using namespace fixture;
namespace fs = std::filesystem;

namespace {

// One random edit of a non-empty `text`: a byte of `alphabet` in place of
// one, a byte dropped or added, or the text cut short there.
void damage(std::string& text, std::mt19937& gen, const std::string& alphabet) {
  const size_t at = gen() % text.size();
  const char c = alphabet[gen() % alphabet.size()];
  switch (gen() % 4) {
    case 0: text[at] = c; break;
    case 1: text.erase(at, 1); break;
    case 2: text.insert(at, 1, c); break;
    default: text.resize(at); break;
  }
}

const fs::path ice40Dir = fs::path(ROMWRIGHT_TESTDATA) / "ice40";

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

uint64_t maskOf(uint32_t width) { return width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1; }

// What breaks a placeholder's rules in `w`, or "" when they hold: checked
// the plain way, a bit at a time.
std::string seedFault(const std::vector<uint64_t>& w, uint32_t width) {
  const uint64_t mask = maskOf(width);
  const uint64_t values = width >= 64 ? ~uint64_t{0} - 1 : mask - 1;
  const uint64_t most = w.size() <= values ? 1 : (w.size() + values - 1) / values;
  std::map<uint64_t, uint64_t> seen;
  for (size_t i = 0; i < w.size(); ++i) {
    if (w[i] == 0 || w[i] == mask) return "word " + std::to_string(i) + " is all 0s or all 1s";
    if ((w[i] & ~mask) != 0) return "word " + std::to_string(i) + " is wider than the width";
    if (++seen[w[i]] > most) return "word " + std::to_string(i) + " repeats too often";
  }
  std::set<std::vector<bool>> columns;
  for (uint32_t b = 0; b < width; ++b) {
    std::vector<bool> col, inv;
    for (uint64_t v : w) {
      col.push_back((v >> b & 1) != 0);
      inv.push_back((v >> b & 1) == 0);
    }
    if (std::all_of(col.begin(), col.end(), [&](bool x) { return x == col[0]; })) {
      return "column " + std::to_string(b) + " is constant";
    }
    if (!columns.insert(col).second || !columns.insert(inv).second) {
      return "column " + std::to_string(b) + " equals another or its complement";
    }
  }
  return "";
}

// Firmware-like words: a counting pattern stirred by a multiplier, with
// the all-0s and all-1s words real programs hold.
std::vector<uint64_t> firmware(uint32_t width, uint64_t depth, uint64_t salt) {
  std::vector<uint64_t> w(depth);
  for (uint64_t i = 0; i < depth; ++i) w[i] = ((i + salt) * 0x9e3779b97f4a7c15ull ^ (i << 3)) & maskOf(width);
  if (depth > 2) {
    w[1] = 0;
    w[2] = maskOf(width);
  }
  return w;
}

std::vector<uint64_t> seedOf(const char* name, uint32_t width, uint64_t depth, uint64_t seed) {
  auto w = seedWords(name, width, depth, seed);
  EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message);
  return w.ok() ? *w : std::vector<uint64_t>(depth);
}

patchMemory memoryOf(const char* name, uint32_t width, const std::vector<uint64_t>& seed,
                     const std::vector<uint64_t>& words) {
  return {name, width, seed.size(), packWords(seed, width), packWords(words, width)};
}

// The patched text, or the failure's text after "FAILED: ".
std::string patched(const std::string& asc, const std::vector<patchMemory>& memories,
                    patchNotes* notes = nullptr) {
  patchNotes n;
  auto out = patchConfig(ice40Family, bytesOf(asc), memories, n);
  if (!out) {
    EXPECT_TRUE(n.empty()) << "notes from a failed patch";
    return "FAILED: " + out.error().message;
  }
  if (notes != nullptr) *notes = n;
  return {out->begin(), out->end()};
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) lines.push_back(text.substr(at, nl - at));
  if (at < text.size()) lines.push_back(text.substr(at));
  return lines;
}

// Whether tool `name` is installed.
// ---- Placeholder words ----

TEST(SeedWords, RulesHoldForEveryShapeTheyCanHoldFor) {
  // Every width with every depth up to 300: made, and keeping the rules,
  // exactly where the counting bounds allow.
  for (uint32_t width = 1; width <= 64; ++width) {
    for (uint64_t depth = 1; depth <= 300; ++depth) {
      const bool possible = width >= 3 && depth >= 3 && (depth >= 8 || width < (uint64_t{1} << (depth - 1)));
      auto w = seedWords("rom", width, depth, 1);
      ASSERT_EQ(w.ok(), possible) << width << " x " << depth;
      if (possible) {
        ASSERT_EQ(seedFault(*w, width), "") << width << " x " << depth;
      }
    }
  }
}

TEST(SeedWords, RulesHoldForLargeAndCrowdedShapes) {
  struct shape {
    uint32_t width;
    uint64_t depth;
  };
  // Every value used (2^width - 2 words), one word past it (values repeat),
  // memories of many RAMs, and the widest words with the fewest depth.
  for (const shape s : {shape{3, 6}, {3, 7}, {4, 14}, {5, 30}, {8, 254}, {8, 255}, {8, 2048}, {12, 4094},
                        {16, 65534}, {16, 65536}, {17, 65536}, {32, 65536}, {64, 65536}, {63, 7}, {64, 8},
                        {31, 6}, {15, 5}, {7, 4}, {36, 4096}}) {
    auto w = seedWords("mem", s.width, s.depth, 42);
    ASSERT_TRUE(w.ok()) << s.width << " x " << s.depth << ": " << w.error().message;
    ASSERT_EQ(w->size(), s.depth);
    EXPECT_EQ(seedFault(*w, s.width), "") << s.width << " x " << s.depth;
  }
}

TEST(SeedWords, SameRequestSameWordsAndAnyChangeOthers) {
  const auto base = seedOf("rom", 32, 1024, 1);
  EXPECT_EQ(seedOf("rom", 32, 1024, 1), base);
  for (const auto& other : {seedOf("rom", 32, 1024, 2), seedOf("ram", 32, 1024, 1), seedOf("rom ", 32, 1024, 1),
                            seedOf("rom", 31, 1024, 1), seedOf("rom", 32, 1023, 1)}) {
    size_t same = 0;
    for (size_t i = 0; i < std::min(other.size(), base.size()); ++i) same += other[i] == base[i];
    EXPECT_LT(same, 4u);
  }
}

TEST(SeedWords, FixturesWereBuiltFromTheseWords) {
  // The committed designs hold these placeholders: a change to the
  // generator would leave every one of them unpatchable.
  struct file {
    const char* name;
    uint32_t width;
    uint64_t depth;
    uint64_t seed;
    const char* path;
  };
  for (const file f : {file{"rom", 32, 1024, 1, "rom.seed"}, {"ram8", 8, 2048, 1, "ram8.seed"},
                       {"ram8", 8, 2048, 2, "ram8-seed2.seed"}, {"lane0", 8, 1024, 1, "lane0.seed"},
                       {"lane1", 8, 1024, 1, "lane1.seed"}, {"code", 32, 512, 1, "code.seed"},
                       {"data", 16, 256, 1, "data.seed"}, {"tiny", 8, 64, 1, "tiny.seed"},
                       {"prog", 32, 1000, 1, "prog.seed"}, {"tbl", 16, 128, 1, "tbl.seed"},
                       {"rom", 16, 512, 1, "rom16.seed"}, {"mem_b0_0", 8, 1024, 1, "mem_b0_0.seed"},
                       {"mem_b0_1", 8, 1024, 1, "mem_b0_1.seed"}, {"mem_b1_0", 8, 1024, 1, "mem_b1_0.seed"},
                       {"mem_b1_1", 8, 1024, 1, "mem_b1_1.seed"}}) {
    EXPECT_EQ(seedText(seedOf(f.name, f.width, f.depth, f.seed), f.width), slurp(ice40Dir / f.path)) << f.path;
  }
}

TEST(SeedWords, TextIsOneLowerCaseWordALine) {
  EXPECT_EQ(seedText({{0x5, 0x2}}, 3), "5\n2\n");
  EXPECT_EQ(seedText({{0xabc, 0x1}}, 12), "abc\n001\n");
  EXPECT_EQ(seedText({{0x1deadbeefull}}, 33), "1deadbeef\n");
  EXPECT_EQ(seedText({{0xfedcba9876543210ull}}, 64), "fedcba9876543210\n");
  EXPECT_EQ(seedText({}, 8), "");
}

TEST(SeedWords, RefusalsNameTheReason) {
  struct refusal {
    uint32_t width;
    uint64_t depth;
    const char* says;
  };
  for (const refusal r : {refusal{1, 100, "every 1-bit word is all 0s or all 1s"},
                          {2, 100, "01 and 10, have complementary bits"},
                          {0, 100, "3 to 64 bits wide, not 0"},
                          {65, 100, "3 to 64 bits wide, not 65"},
                          {8, 0, "0 words cannot be told apart"},
                          {8, 2, "2 words cannot be told apart"},
                          {8, 3, "3 placeholder words are too few for 8-bit words"},
                          {64, 7, "they give only 63 bit columns"},
                          {32, maxSeedDepth + 1, "is too large"}}) {
    auto w = seedWords("m", r.width, r.depth, 0);
    ASSERT_FALSE(w.ok()) << r.width << " x " << r.depth;
    EXPECT_NE(w.error().message.find(r.says), std::string::npos) << w.error().message;
    EXPECT_EQ(w.error().message.back(), '\n');
  }
}

// ---- The real designs ----

struct memoryShape {
  const char* name;
  uint32_t width;
  uint64_t depth;
};

// A design of testdata/ice40: its memories, low data bits first as its
// data port reads them side by side (each at the address modulo its
// depth), its ports for the test bench (tb.v), the addresses the bench
// reads (0: all), and the RAM tiles each memory takes.
struct designCase {
  const char* name;
  std::vector<memoryShape> memories;
  unsigned addressBits, dataBits, writeEnables, writeBits;
  uint64_t reads;
  std::vector<size_t> tiles;
};

const designCase designs[] = {
    {"rom32", {{"rom", 32, 1024}}, 10, 32, 0, 0, 0, {8}},
    {"byte8", {{"ram8", 8, 2048}}, 11, 8, 1, 8, 0, {4}},
    {"lanes16", {{"lane0", 8, 1024}, {"lane1", 8, 1024}}, 10, 16, 2, 16, 0, {2, 2}},
    {"dual", {{"code", 32, 512}, {"data", 16, 256}}, 9, 48, 1, 16, 0, {4, 1}},
    // Depths of 1000 and 128 words, which icebram refuses.
    {"uneven", {{"prog", 32, 1000}, {"tbl", 16, 128}}, 10, 48, 0, 0, 1000, {8, 1}},
};

void PrintTo(const designCase& d, std::ostream* os) { *os << d.name; }

// The designs icebram can patch: memories of whole 256-word blocks.
std::vector<designCase> icebramDesigns() {
  std::vector<designCase> d;
  for (const designCase& c : designs) {
    if (std::all_of(c.memories.begin(), c.memories.end(), [](const memoryShape& m) { return m.depth % 256 == 0; })) {
      d.push_back(c);
    }
  }
  return d;
}

// Each memory of a design with its placeholder (seed 1) and firmware.
struct loaded {
  std::vector<std::vector<uint64_t>> words;
  std::vector<patchMemory> memories;
};

loaded firmwareFor(const designCase& d) {
  loaded l;
  uint64_t salt = 11;
  for (const memoryShape& m : d.memories) {
    l.words.push_back(firmware(m.width, m.depth, salt++));
    l.memories.push_back(memoryOf(m.name, m.width, seedOf(m.name, m.width, m.depth, 1), l.words.back()));
  }
  return l;
}

class RealDesign : public testing::TestWithParam<designCase> {};
class IcebramDesign : public testing::TestWithParam<designCase> {};

INSTANTIATE_TEST_SUITE_P(Ice40, RealDesign, testing::ValuesIn(designs),
                         [](const auto& p) { return std::string(p.param.name); });
INSTANTIATE_TEST_SUITE_P(Ice40, IcebramDesign, testing::ValuesIn(icebramDesigns()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_P(RealDesign, OnlyRamContentsChangeAndNotesNameTheTiles) {
  const designCase& d = GetParam();
  const std::string asc = slurp(ice40Dir / (std::string(d.name) + ".asc"));
  const loaded l = firmwareFor(d);
  patchNotes notes;
  const std::string out = patched(asc, l.memories, &notes);
  ASSERT_EQ(out.rfind("FAILED", 0), std::string::npos) << out;
  ASSERT_EQ(out.size(), asc.size());
  const auto before = linesOf(asc), after = linesOf(out);
  ASSERT_EQ(before.size(), after.size());
  std::string directive;
  size_t changed = 0;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i].rfind('.', 0) == 0) directive = before[i];
    if (before[i] == after[i]) continue;
    ++changed;
    EXPECT_EQ(directive.rfind(".ram_data ", 0), 0u) << "line " << i + 1 << " under " << directive;
  }
  EXPECT_GT(changed, 0u);

  ASSERT_EQ(notes.size(), d.memories.size());
  for (size_t m = 0; m < d.memories.size(); ++m) {
    const std::string says = "memory " + std::string(d.memories[m].name) + ": " +
                             std::to_string(d.memories[m].depth) + " words of " +
                             std::to_string(d.memories[m].width) + " bits in " + std::to_string(d.tiles[m]) +
                             " RAM tile";
    EXPECT_EQ(notes[m].rfind(says, 0), 0u) << notes[m];
    EXPECT_EQ(notes[m].back(), '\n');
  }

  // One edit per RAM tile patched, in order.
  patchNotes again;
  auto edits = ice40Family.patch(bytesOf(asc), l.memories, again);
  ASSERT_TRUE(edits.ok());
  size_t tiles = 0;
  for (size_t t : d.tiles) tiles += t;
  EXPECT_EQ(edits->size(), tiles);
  for (size_t i = 1; i < edits->size(); ++i) {
    EXPECT_LE((*edits)[i - 1].offset + (*edits)[i - 1].size, (*edits)[i].offset);
  }
}

TEST_P(IcebramDesign, SameAsIcebramOneMemoryAtATime) {
  if (!have("icebram")) GTEST_SKIP() << "no icebram (tools/install-deps installs fpga-icestorm)";
  const designCase& d = GetParam();
  TempDir dir;
  const loaded l = firmwareFor(d);
  std::string chain = "icebram";
  for (size_t m = 0; m < d.memories.size(); ++m) {
    const std::string name = d.memories[m].name;
    writeFile(dir.path / (name + ".new"), bytesOf(seedText(l.words[m], d.memories[m].width)));
    if (m > 0) chain += " | icebram";
    chain += " '" + (ice40Dir / (name + ".seed")).string() + "' " + name + ".new";
    if (m == 0) chain += " < '" + (ice40Dir / (std::string(d.name) + ".asc")).string() + "'";
  }
  ASSERT_SH(dir.path, chain + " > icebram.asc");
  const std::string out = patched(slurp(ice40Dir / (std::string(d.name) + ".asc")), l.memories);
  EXPECT_TRUE(out == slurp(dir.path / "icebram.asc")) << "differs from " << chain;
}

TEST_P(RealDesign, PacksAndReadsBackEveryWordInSimulation) {
  for (const char* tool : {"icepack", "icebox_vlog", "iverilog", "vvp"}) {
    if (!have(tool)) GTEST_SKIP() << "no " << tool << " (tools/install-deps installs it)";
  }
  const designCase& d = GetParam();
  TempDir dir;
  const loaded l = firmwareFor(d);
  const std::string out = patched(slurp(ice40Dir / (std::string(d.name) + ".asc")), l.memories);
  ASSERT_EQ(out.rfind("FAILED", 0), std::string::npos) << out;
  writeFile(dir.path / "patched.asc", bytesOf(out));
  ASSERT_SH(dir.path, "icepack patched.asc patched.bin && test -s patched.bin");

  // The chip's Verilog with the design's pin names, simulated with yosys's
  // cell models (iverilog reads them without default port values).
  std::string defines = "-DAW=" + std::to_string(d.addressBits) + " -DDW=" + std::to_string(d.dataBits);
  if (d.writeEnables != 0) {
    defines += " -DWE=" + std::to_string(d.writeEnables) + " -DDINW=" + std::to_string(d.writeBits);
  }
  const uint64_t reads = d.reads != 0 ? d.reads : uint64_t{1} << d.addressBits;
  if (d.reads != 0) defines += " -DWORDS=" + std::to_string(d.reads);
  ASSERT_SH(dir.path, "icebox_vlog -c -n top -p '" + (ice40Dir / (std::string(d.name) + ".pcf")).string() +
                          "' patched.asc > chip.v");
  ASSERT_SH(dir.path, "datdir=$(yosys-config --datdir 2>/dev/null || echo /usr/share/yosys); "
                      "iverilog -g2012 -DNO_ICE40_DEFAULT_ASSIGNMENTS " + defines + " -o sim '" +
                          (ice40Dir / "tb.v").string() + "' chip.v \"$datdir/ice40/cells_sim.v\"");
  const Shell sim = sh(dir.path, "vvp -n sim");
  ASSERT_EQ(sim.status, 0) << sim.out;

  std::string want;
  for (uint64_t a = 0; a < reads; ++a) {
    std::string line;
    for (size_t m = d.memories.size(); m-- > 0;) {
      const memoryShape& shape = d.memories[m];
      const std::string hex = seedText({{l.words[m][a % shape.depth]}}, shape.width);
      line += hex.substr(0, hex.size() - 1);
    }
    want += line + "\n";
  }
  EXPECT_TRUE(sim.out == want) << "simulation read back:\n" << sim.out.substr(0, 400);
}

// ---- Refusals of the real designs ----

TEST(Ice40Patch, DesignBuiltWithAnotherSeedIsRefusedNamingTheMemory) {
  const auto fw = firmware(8, 2048, 3);
  EXPECT_EQ(patched(slurp(ice40Dir / "byte8-seed2.asc"), {memoryOf("ram8", 8, seedOf("ram8", 8, 2048, 1), fw)}),
            "FAILED: memory ram8: 16384 of 16384 placeholder bits not found (the design was built with another "
            "placeholder, or the memory is not in block RAM)\n");
  // The design built with seed 2 is patched with seed 2, as icebram would.
  const std::string ok =
      patched(slurp(ice40Dir / "byte8-seed2.asc"), {memoryOf("ram8", 8, seedOf("ram8", 8, 2048, 2), fw)});
  EXPECT_EQ(ok.rfind("FAILED", 0), std::string::npos) << ok;
}

TEST(Ice40Patch, MemoryBuiltFromLogicIsRefused) {
  const auto seed = seedOf("tiny", 8, 64, 1);
  EXPECT_EQ(patched(slurp(ice40Dir / "logic.asc"), {memoryOf("tiny", 8, seed, firmware(8, 64, 1))}),
            "FAILED: memory tiny: its 64 words of 8 bits cannot be found: the design's block RAMs hold 0 bits "
            "(the memory is not in block RAM)\n");
  // Among RAMs that hold other memories it is searched for and not found.
  const std::string among = patched(slurp(ice40Dir / "rom32.asc"), {memoryOf("tiny", 8, seed, firmware(8, 64, 1))});
  EXPECT_EQ(among, "FAILED: memory tiny: 512 of 512 placeholder bits not found (the design was built with another "
                   "placeholder, or the memory is not in block RAM)\n");
}

TEST(Ice40Patch, CollidingPlaceholdersAreRefused) {
  const std::string asc = slurp(ice40Dir / "rom32.asc");
  const auto seed = seedOf("rom", 32, 1024, 1);
  const std::string out =
      patched(asc, {memoryOf("rom", 32, seed, firmware(32, 1024, 1)), memoryOf("rom", 32, seed, firmware(32, 1024, 2))});
  EXPECT_EQ(out.rfind("FAILED: memories rom and rom: their placeholders collide: RAM tile 3 9 holds bits that could "
                      "be bit ",
                      0),
            0u)
      << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  // A lane patched with the other lane's placeholder collides with it too.
  const std::string lanes = slurp(ice40Dir / "lanes16.asc");
  const auto lane0 = seedOf("lane0", 8, 1024, 1);
  const std::string out2 = patched(lanes, {memoryOf("lane0", 8, lane0, firmware(8, 1024, 1)),
                                           memoryOf("lane1", 8, lane0, firmware(8, 1024, 2))});
  EXPECT_EQ(out2.rfind("FAILED: memories lane0 and lane1: their placeholders collide", 0), 0u) << out2;
}

// The text of `asc` with its first `.ram_data` block copied to a tile of
// its own, or dropped.
std::string withFirstBlock(const std::string& asc, bool copy) {
  const size_t at = asc.find("\n.ram_data ") + 1;
  const size_t end = asc.find("\n.", at + 1) + 1;
  const std::string block = asc.substr(at, end - at);
  if (!copy) return asc.substr(0, at) + asc.substr(end);
  return asc + ".ram_data 99 99" + block.substr(block.find('\n'));
}

TEST(Ice40Patch, BitsFoundTwiceOrMissingAreRefused) {
  const std::string asc = slurp(ice40Dir / "rom32.asc");
  const std::vector<patchMemory> rom = {memoryOf("rom", 32, seedOf("rom", 32, 1024, 1), firmware(32, 1024, 1))};
  const std::string twice = patched(withFirstBlock(asc, true), rom);
  EXPECT_EQ(twice.rfind("FAILED: memory rom: 4096 placeholder bits found more than once, such as bit ", 0), 0u)
      << twice;
  EXPECT_NE(twice.find("again in RAM tile 99 99: the design holds the memory twice"), std::string::npos) << twice;
  // A RAM gone: with fewer RAM bits than placeholder bits there is nothing
  // to look for; among enough RAMs the missing ones are counted.
  EXPECT_EQ(patched(withFirstBlock(asc, false), rom),
            "FAILED: memory rom: its 1024 words of 32 bits cannot be found: the design's block RAMs hold 28672 "
            "bits (the memory is not in block RAM)\n");
  const std::string lanes = withFirstBlock(slurp(ice40Dir / "lanes16.asc"), false);
  const std::string out = patched(lanes, {memoryOf("lane0", 8, seedOf("lane0", 8, 1024, 1), firmware(8, 1024, 1)),
                                          memoryOf("lane1", 8, seedOf("lane1", 8, 1024, 1), firmware(8, 1024, 2))});
  EXPECT_EQ(out.rfind("FAILED: memory lane", 0), 0u) << out;
  EXPECT_NE(out.find(": 4096 of 8192 placeholder bits not found"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(Ice40Patch, RamsOfOtherMemoriesAreLeftAlone) {
  // Patching one lane leaves the other lane's RAMs as they were, and the
  // result then patches like the original for the other lane.
  const std::string lanes = slurp(ice40Dir / "lanes16.asc");
  const auto lane0 = seedOf("lane0", 8, 1024, 1), lane1 = seedOf("lane1", 8, 1024, 1);
  const auto fw0 = firmware(8, 1024, 5), fw1 = firmware(8, 1024, 6);
  const std::string one = patched(lanes, {memoryOf("lane0", 8, lane0, fw0)});
  ASSERT_EQ(one.rfind("FAILED", 0), std::string::npos) << one;
  EXPECT_EQ(patched(one, {memoryOf("lane1", 8, lane1, fw1)}),
            patched(lanes, {memoryOf("lane0", 8, lane0, fw0), memoryOf("lane1", 8, lane1, fw1)}));
  // Once patched, the placeholder is gone; words that are a placeholder
  // themselves can be patched over again.
  EXPECT_EQ(patched(one, {memoryOf("lane0", 8, lane0, fw1)}).rfind("FAILED: memory lane0: 8192 of 8192", 0), 0u);
  const auto other = seedOf("other", 8, 1024, 3);
  const std::string twice = patched(patched(lanes, {memoryOf("lane0", 8, lane0, other)}),
                                    {memoryOf("lane0", 8, other, fw0), memoryOf("lane1", 8, lane1, fw1)});
  EXPECT_EQ(twice, patched(lanes, {memoryOf("lane0", 8, lane0, fw0), memoryOf("lane1", 8, lane1, fw1)}));
}

// ---- Layouts made here ----

// The .asc text of RAM tiles laid out as synthesis lays a memory out: for
// each block of 256 * stride words and each group of 16 / stride data bits,
// a tile whose column c holds data bit (group * 16 / stride + perm(c /
// stride)) of words start + c % stride + stride * r in row r. Columns of
// the bits in `inverted` hold them complemented; data bits past the width
// and words past the depth are left 0.
std::string layOut(const std::vector<uint64_t>& words, uint32_t width, unsigned stride,
                   const std::set<uint32_t>& inverted = {}, bool reverseLanes = false) {
  const unsigned lanes = 16 / stride;
  std::string text = ".comment laid out by patch_test\n.device 1k\n";
  unsigned x = 1;
  for (uint64_t start = 0; start < words.size(); start += 256 * stride) {
    for (uint32_t group = 0; group * lanes < width; ++group) {
      uint16_t rows[256] = {};
      for (unsigned c = 0; c < 16; ++c) {
        const unsigned lane = reverseLanes ? lanes - 1 - c / stride : c / stride;
        const uint32_t bit = group * lanes + lane;
        if (bit >= width) continue;
        for (unsigned r = 0; r < 256; ++r) {
          const uint64_t a = start + c % stride + uint64_t{stride} * r;
          if (a >= words.size()) continue;
          const bool v = ((words[a] >> bit) & 1) != (inverted.count(bit) != 0);
          rows[r] = static_cast<uint16_t>(rows[r] | unsigned(v) << c);
        }
      }
      text += ".ram_data " + std::to_string(x++) + " 1\n";
      for (unsigned i = 0; i < 16; ++i) {
        for (unsigned q = 16; q-- > 0;) {
          for (unsigned k = 4; k-- > 0;) text += "0123456789abcdef"[(rows[16 * i + q] >> (4 * k)) & 15];
        }
        text += "\n";
      }
    }
  }
  return text;
}

struct layoutCase {
  const char* what;
  uint32_t width;
  uint64_t depth;
  unsigned stride;
  std::set<uint32_t> inverted;
  bool reverseLanes;
};

void PrintTo(const layoutCase& c, std::ostream* os) { *os << c.what; }

class LaidOut : public testing::TestWithParam<layoutCase> {};

INSTANTIATE_TEST_SUITE_P(
    Ice40, LaidOut,
    testing::Values(layoutCase{"Rows256x16", 32, 1024, 1, {}, false},
                    layoutCase{"Rows512x8", 16, 1024, 2, {}, true},
                    layoutCase{"Rows1024x4", 32, 2048, 4, {}, false},
                    layoutCase{"Rows2048x2", 8, 4096, 8, {}, true},
                    layoutCase{"InvertedBits", 32, 1024, 4, {0, 5, 31}, false},
                    layoutCase{"DepthNotAMultipleOf256", 12, 1000, 1, {}, false},
                    layoutCase{"DepthBelowOneRam", 20, 100, 2, {}, false},
                    layoutCase{"Wide64BitWords", 64, 512, 1, {63}, false},
                    layoutCase{"CrowdedBytes", 8, 3000, 4, {}, true}),
    [](const auto& p) { return std::string(p.param.what); });

TEST_P(LaidOut, PatchedTextIsTheNewWordsLaidOutTheSameWay) {
  const layoutCase& c = GetParam();
  const auto seed = seedOf("mem", c.width, c.depth, 9);
  const auto fw = firmware(c.width, c.depth, 4);
  const std::string asc = layOut(seed, c.width, c.stride, c.inverted, c.reverseLanes);
  patchNotes notes;
  const std::string out = patched(asc, {memoryOf("mem", c.width, seed, fw)}, &notes);
  EXPECT_TRUE(out == layOut(fw, c.width, c.stride, c.inverted, c.reverseLanes)) << out.substr(0, 300);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].find("stored inverted") != std::string::npos, !c.inverted.empty()) << notes[0];
}

TEST(Ice40Patch, ShortSegmentsCountOnlyWhereTheyCannotBeChance) {
  // 48 words two to a row fill 24 rows of each column, the rest 0s: found.
  const auto seed = seedOf("mem", 16, 48, 1), fw = firmware(16, 48, 1);
  EXPECT_EQ(patched(layOut(seed, 16, 2), {memoryOf("mem", 16, seed, fw)}), layOut(fw, 16, 2));
  // The same 24 rows above other bits could be chance: not found.
  std::string noisy = layOut(seed, 16, 2);
  for (size_t line = noisy.find(".ram_data"); line != std::string::npos; line = noisy.find(".ram_data", line + 1)) {
    const size_t first = noisy.find('\n', line) + 1;
    std::string rows;  // rows 240-255, each column alternately 0 and 1
    for (int i = 0; i < 8; ++i) rows += "0000ffff";
    noisy.replace(first + 65 * 15, 64, rows);
  }
  const std::string notFound = "FAILED: memory mem: 768 of 768 placeholder bits not found (the design was built "
                               "with another placeholder, or the memory is not in block RAM)\n";
  EXPECT_EQ(patched(noisy, {memoryOf("mem", 16, seed, fw)}), notFound);
  // 24 words two to a row fill 12 rows: too few to be told from chance.
  const auto few = seedOf("few", 32, 24, 1);
  EXPECT_EQ(patched(layOut(few, 32, 2), {memoryOf("few", 32, few, firmware(32, 24, 1))}),
            "FAILED: memory few: 768 of 768 placeholder bits not found (the design was built with another "
            "placeholder, or the memory is not in block RAM)\n");
}

TEST(Ice40Patch, EveryCopyOfAMemoryHeldSeveralTimesIsPatched) {
  // A ROM read through several ports is laid out once per port.
  const auto seed = seedOf("mem", 16, 512, 2), fw = firmware(16, 512, 3);
  auto copies = [](const std::string& one, int n) {
    std::string text = one;
    const std::string blocks = one.substr(one.find(".ram_data"));
    for (int k = 1; k < n; ++k) {
      std::string more = blocks;
      // Tiles x 1 of each copy moved to row 1 + 2 k.
      for (size_t at = more.find(".ram_data"); at != std::string::npos; at = more.find(".ram_data", at + 1)) {
        const size_t eol = more.find('\n', at);
        more[eol - 1] = static_cast<char>('1' + 2 * k);
      }
      text += more;
    }
    return text;
  };
  patchMemory two = memoryOf("mem", 16, seed, fw);
  two.copies = 2;
  patchNotes notes;
  EXPECT_EQ(patched(copies(layOut(seed, 16, 2), 2), {two}, &notes), copies(layOut(fw, 16, 2), 2));
  EXPECT_NE(notes.at(0).find("in 4 RAM tiles"), std::string::npos) << notes[0];
  // Held twice but said once, or said three times.
  const std::string once = patched(copies(layOut(seed, 16, 2), 2), {memoryOf("mem", 16, seed, fw)});
  EXPECT_EQ(once.rfind("FAILED: memory mem: 8192 placeholder bits found more than once, such as bit ", 0), 0u) << once;
  EXPECT_NE(once.find("give its number of copies"), std::string::npos) << once;
  patchMemory three = two;
  three.copies = 3;
  const std::string thrice = patched(copies(layOut(seed, 16, 2), 2), {three});
  EXPECT_EQ(thrice, "FAILED: memory mem: its 512 words of 16 bits, 3 times, cannot be found: the design's block RAMs "
                    "hold 16384 bits (the memory is not in block RAM)\n");
  // Three copies, one of them missing a tile (another memory's in its
  // place): its bits are found twice.
  std::string partly = copies(layOut(seed, 16, 2), 3);
  partly.resize(partly.rfind(".ram_data"));
  partly += ".ram_data 20 20\n";
  for (int i = 0; i < 16; ++i) partly += std::string(64, '0') + "\n";
  EXPECT_EQ(patched(partly, {three}), "FAILED: memory mem: 4096 of 8192 placeholder bits found fewer than 3 times: "
                                      "the design holds fewer copies of the memory\n");
  // And once too many.
  EXPECT_EQ(patched(copies(layOut(seed, 16, 2), 3), {two}).rfind("FAILED: memory mem: 8192 placeholder bits found "
                                                                 "more than 2 times, such as bit ", 0),
            0u);
}

// ---- Placeholder files ----

std::vector<uint64_t> readText(const std::string& text, uint32_t width, uint64_t depth, std::string* why = nullptr) {
  auto w = readPlaceholder(bytesOf(text), width, depth);
  if (!w) {
    if (why != nullptr) *why = w.error().message;
    return {};
  }
  return *w;
}

TEST(Placeholder, ReadsWhatReadmemhReads) {
  struct reading {
    const char* what;
    std::string text;
    std::vector<uint64_t> words;
  };
  for (const reading& r : std::vector<reading>{
           {"lines", "a5\n3c\n7e\n", {0xa5, 0x3c, 0x7e}},
           {"no last line end, CRLF, blanks", "  A5\r\n\t3C 7e", {0xa5, 0x3c, 0x7e}},
           {"underscores and leading zeros", "0_0a_5\n003c\n7_e", {0xa5, 0x3c, 0x7e}},
           {"comments", "// head\na5 // one\n/* two\n  lines */3c/**/7e/*x*/", {0xa5, 0x3c, 0x7e}},
           {"indexes", "@2 7e\n@0\na5 3c", {0xa5, 0x3c, 0x7e}},
           {"indexes after a comment", "@1/*c*/3c 7e @0 a5", {0xa5, 0x3c, 0x7e}},
       }) {
    std::string why;
    EXPECT_EQ(readText(r.text, 8, 3, &why), r.words) << r.what << ": " << why;
  }
  // Words as wide as 64 bits, and the generator's own text.
  EXPECT_EQ(readText("ffffffffffffffff\n0\n1\n", 64, 3), (std::vector<uint64_t>{~uint64_t{0}, 0, 1}));
  const auto seed = seedOf("rom", 32, 1024, 1);
  EXPECT_EQ(readText(seedText(seed, 32), 32, 1024), seed);
  // What another tool writes.
  if (have("icebram")) {
    TempDir dir;
    ASSERT_SH(dir.path, "icebram -g -s 7 16 256 > g.hex");
    const std::string text = slurp(dir.path / "g.hex");
    const auto words = readText(text, 16, 256);
    ASSERT_EQ(words.size(), 256u);
    EXPECT_EQ(seedText(words, 16), text);
  }
}

TEST(Placeholder, AnythingElseIsRefusedNamingTheLine) {
  struct refusal {
    std::string text;
    const char* says;
  };
  for (const refusal& r : std::vector<refusal>{
           {"a5\n3g\n7e\n", "line 2: 'g' is not a hex digit\n"},
           {"a5\n3c\n0x10\n", "line 3: word 0x10 has x or z digits: a placeholder's bits are all 0s and 1s\n"},
           {"a5\n3c\n_7e\n", "line 3: '_' is not a hex digit\n"},
           {"a5 3c 7e\n\x1b[2J", "line 2: '?' is not a hex digit\n"},
           {std::string("a5\n3c\n7\0e", 9), "line 3: '?' is not a hex digit\n"},
           {"a5\n3z\n7e\n", "line 2: word 3z has x or z digits: a placeholder's bits are all 0s and 1s\n"},
           {"a5\n13c\n7e\n", "line 2: word 13c does not fit in 8 bits\n"},
           {"a5\n11111111111111111c\n7e\n", "line 2: word 11111111111111111c does not fit in 8 bits\n"},
           {"a5\n3c\n7e\n11\n", "line 4: word 11 is past the memory's 3 words\n"},
           {"a5\n@3\n", "line 2: @3: past the memory's 3 words\n"},
           {"a5\n@ffffffffffffffffff 1\n", "line 2: @ffffffffffffffffff: past the memory's 3 words\n"},
           {"a5\n@x\n", "line 2: @x: an index has no x or z digits\n"},
           {"a5\n@ 1\n", "line 2: an @ without an index\n"},
           {"a5\n3c@2 7e\n", "line 2: '@' is not a hex digit (an @ starts a word's index)\n"},
           {"a5 3c 7e @1\n 3d\n", "line 2: a second word for word 1\n"},
           {"a5\n3c /\n7e\n", "line 2: '/' is not a hex digit\n"},
           {"a5\n/* 3c\n7e\n", "line 2: a /* comment is not closed\n"},
           {"a5\n3c\n", "no word for word 2: the file gives 2 of the memory's 3 words\n"},
           {"@1 3c 7e\n", "no word for word 0: the file gives 2 of the memory's 3 words\n"},
           {"", "no word for word 0: the file gives 0 of the memory's 3 words\n"},
       }) {
    std::string why;
    EXPECT_TRUE(readText(r.text, 8, 3, &why).empty()) << r.says;
    EXPECT_EQ(why, r.says);
  }
}

TEST(Placeholder, DamagedTextIsReadOrRefusedInOneLine) {
  // Bytes changed, dropped and added at random in a placeholder with
  // comments and indexes: each reading gives every word or one line.
  const auto seed = seedOf("mem", 12, 64, 3);
  const std::string base = "// placeholder\n@0\n" + seedText(seed, 12).substr(0, 4 * 40) + "/* rest */ @28\n" +
                           seedText(seed, 12).substr(4 * 40);
  ASSERT_EQ(readText(base, 12, 64), seed);
  std::mt19937 gen(5);
  const std::string alphabet = std::string("0123456789abcdefxz_@/* \n\r\tg") + '\0' + '\xff';
  size_t refused = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    for (int edits = 1 + static_cast<int>(gen() % 3); edits-- > 0 && !text.empty();) {
      damage(text, gen, alphabet);
    }
    std::string why;
    const auto words = readText(text, 12, 64, &why);
    if (words.empty()) {
      ++refused;
      ASSERT_FALSE(why.empty());
      ASSERT_EQ(std::count(why.begin(), why.end(), '\n'), 1) << why;
      ASSERT_EQ(why.back(), '\n');
    } else {
      ASSERT_EQ(words.size(), 64u);
      for (uint64_t w : words) ASSERT_LT(w, uint64_t{1} << 12);
    }
  }
  EXPECT_GT(refused, 1000u);
  EXPECT_LT(refused, 3000u);
}

TEST(Ice40Patch, LineEndsAndDigitCaseAreKept) {
  const auto seed = seedOf("mem", 16, 256, 1), fw = firmware(16, 256, 1);
  const std::string asc = layOut(seed, 16, 1), want = layOut(fw, 16, 1);
  const std::vector<patchMemory> mem = {memoryOf("mem", 16, seed, fw)};
  auto crlf = [](std::string s) {
    std::string o;
    for (char ch : s) o += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return o;
  };
  EXPECT_EQ(patched(crlf(asc), mem), crlf(want));
  // Without the last line end, and with upper-case digits (written back in
  // lower case).
  EXPECT_EQ(patched(asc.substr(0, asc.size() - 1), mem), want.substr(0, want.size() - 1));
  std::string upper = asc;
  std::transform(upper.begin() + static_cast<std::ptrdiff_t>(upper.find(".ram_data") + 14), upper.end(),
                 upper.begin() + static_cast<std::ptrdiff_t>(upper.find(".ram_data") + 14), ::toupper);
  EXPECT_EQ(patched(upper, mem), want);
  // A directive whose name merely starts the same is not a RAM's.
  EXPECT_EQ(patched(".comment x\n.ram_datas 1 1\nzz\n" + asc.substr(asc.find(".ram_data")), mem),
            ".comment x\n.ram_datas 1 1\nzz\n" + want.substr(want.find(".ram_data")));
}

TEST(Ice40Patch, MalformedTextIsRefusedNamingTheLine) {
  const std::string hexLine(64, 'a');
  std::string block;
  for (int i = 0; i < 16; ++i) block += hexLine + "\n";
  const std::string head = ".comment x\n.device 1k\n";
  const std::string good = head + ".ram_data 3 1\n" + block + ".ram_data 3 3\n" + block;
  ASSERT_EQ(patched(good, {}), good);
  struct bad {
    const char* what;
    std::string text;
    const char* says;
  };
  for (const bad& b : std::vector<bad>{
           {"truncated", head + ".ram_data 3 1\n" + block.substr(0, 65 * 10), "line 14: RAM tile 3 1 ends after 10 of its 16 lines of contents"},
           {"next directive early", head + ".ram_data 3 1\n" + block.substr(0, 65 * 5) + ".ram_data 3 3\n" + block,
            "line 9: RAM tile 3 1 ends after 5 of its 16 lines"},
           {"bad digit", head + ".ram_data 3 1\n" + block.substr(0, 65 * 2) + "g" + block.substr(65 * 2 + 1),
            "line 6: RAM tile 3 1: 'g' is not a hex digit"},
           {"NUL digit", head + ".ram_data 3 1\n" + std::string(1, '\0') + block.substr(1),
            "line 4: RAM tile 3 1: '?' is not a hex digit"},
           {"short line", head + ".ram_data 3 1\n" + block.substr(1), "line 4: RAM tile 3 1: a line of contents holds 63 characters"},
           {"long line", head + ".ram_data 3 1\na" + block, "holds 65 characters"},
           {"trailing blank", head + ".ram_data 3 1\n" + hexLine + " \n" + block.substr(65), "holds 65 characters"},
           {"seventeen lines", head + ".ram_data 3 1\n" + block + hexLine + "\n", "line 20: RAM tile 3 1 has more than 16 lines"},
           {"one coordinate", head + ".ram_data 3\n" + block, "line 3: a .ram_data line names its RAM tile with two numbers: \".ram_data 3\""},
           {"three coordinates", head + ".ram_data 3 1 2\n" + block, "names its RAM tile with two numbers"},
           {"letters", head + ".ram_data x 1\n" + block, "names its RAM tile with two numbers"},
           {"huge coordinate", head + ".ram_data 3 12345678901234567890\n" + block, "names its RAM tile with two numbers"},
           {"control characters", head + ".ram_data 3 \x1b[2J\n" + block, "two numbers: \".ram_data 3 ?[2J\""},
           {"no coordinates", head + ".ram_data\n" + block, "names its RAM tile with two numbers"},
           {"at the end", head + ".ram_data", "names its RAM tile with two numbers"},
           {"tile twice", good + ".ram_data 3 1\n" + block, "lines 3 and 37: RAM tile 3 1 is given twice"},
           {"not an asc", std::string("\xff\x00\x00\xff\x7e\xaa\x99\x7e", 8) + block, "not an iCE40 ASCII configuration"},
           {"empty", "", "not an iCE40 ASCII configuration"},
       }) {
    const std::string out = patched(b.text, {});
    EXPECT_EQ(out.rfind("FAILED: ", 0), 0u) << b.what << ": " << out.substr(0, 100);
    EXPECT_NE(out.find(b.says), std::string::npos) << b.what << ": " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << b.what;
  }
}

TEST(Ice40Patch, DamagedTextFailsCleanlyOrChangesOnlyDigits) {
  // Bytes changed, dropped, added and lines cut at random: each patch fails
  // with one line, or succeeds changing hex digits only.
  const auto seed = seedOf("mem", 16, 512, 5), fw = firmware(16, 512, 2);
  const std::string other = layOut(seedOf("other", 16, 256, 1), 16, 1);
  const std::string base = layOut(seed, 16, 2) + ".logic_tile 1 1\n0101\n.sym 3 mem[0]\n.ram_data 9 9\n" +
                           other.substr(other.find(".ram_data 1 1\n") + 14);
  const std::vector<patchMemory> mem = {memoryOf("mem", 16, seed, fw)};
  std::mt19937 gen(1);
  std::string alphabet = "0123456789abcdefABCDEFg .\n\r\t_ram";
  alphabet += '\0';
  alphabet += '\xff';
  size_t failed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = base;
    for (int edits = 1 + static_cast<int>(gen() % 3); edits-- > 0;) {
      damage(text, gen, alphabet);
      if (text.empty()) text = ".device 1k";
    }
    patchNotes notes;
    auto out = patchConfig(ice40Family, bytesOf(text), mem, notes);
    if (!out) {
      ++failed;
      const std::string& why = out.error().message;
      ASSERT_FALSE(why.empty());
      ASSERT_EQ(why.back(), '\n') << why;
      ASSERT_EQ(std::count(why.begin(), why.end(), '\n'), 1) << why;
      continue;
    }
    ASSERT_EQ(out->size(), text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if ((*out)[i] == static_cast<uint8_t>(text[i])) continue;
      ASSERT_TRUE(std::isxdigit(static_cast<unsigned char>(text[i])) && std::isxdigit((*out)[i])) << round << " at " << i;
    }
  }
  EXPECT_GT(failed, 100u);
  EXPECT_LT(failed, 3000u);
}

TEST(Ice40Patch, MemoriesThatCannotBeWhatTheyClaimAreRefused) {
  const std::string asc = slurp(ice40Dir / "rom32.asc");
  const auto seed = seedOf("rom", 32, 1024, 1);
  patchMemory shortSeed = memoryOf("rom", 32, seed, seed);
  shortSeed.seed.pop_back();
  patchMemory shortWords = memoryOf("rom", 32, seed, seed);
  shortWords.words.resize(4100);
  patchMemory wide = memoryOf("rom", 32, seed, seed);
  wide.width = 65;
  patchMemory empty = memoryOf("rom", 32, {}, {});
  patchMemory huge = memoryOf("rom", 32, seed, seed);
  huge.depth = ~uint64_t{0};
  for (const auto& [m, says] : std::vector<std::pair<patchMemory, std::string>>{
           {shortSeed, "memory rom: 4095 bytes of placeholder words are not 1024 words of 32 bits\n"},
           {shortWords, "memory rom: 4100 bytes of new words are not 1024 words of 32 bits\n"},
           {wide, "memory rom: words of 65 bits cannot be patched (1 to 64)\n"},
           {empty, "memory rom: it has no words\n"},
           {huge, "memory rom: its 18446744073709551615 words of 32 bits cannot be found: the design's block "
                  "RAMs hold 32768 bits (the memory is not in block RAM)\n"}}) {
    EXPECT_EQ(patched(asc, {m}), "FAILED: " + says);
  }
  // A word with bits above the width.
  std::vector<uint64_t> over = seed;
  for (auto& w : over) w &= maskOf(31);
  over[7] |= uint64_t{1} << 31;
  patchMemory m = memoryOf("rom", 31, over, over);
  m.seed = packWords(over, 32);
  m.words = packWords(over, 32);
  EXPECT_EQ(patched(asc, {m}), "FAILED: memory rom: placeholder word 7 has bits above its 31-bit width\n");
}

TEST(Ice40Family, RecognisesItsTextOnly) {
  EXPECT_TRUE(ice40Family.recognise(bytesOf(slurp(ice40Dir / "rom32.asc"))));
  EXPECT_TRUE(ice40Family.recognise(bytesOf(".device 8k\n")));
  EXPECT_FALSE(ice40Family.recognise(bytesOf(".devices\n")));
  EXPECT_FALSE(ice40Family.recognise(bytesOf(std::string("\xff\x00\x00\xff", 4))));
  EXPECT_EQ(familyOf(bytesOf(".comment from next-pnr\n")), &bitstreamFamilies()[0]);
  EXPECT_EQ(familyOf(bytesOf("hello")), nullptr);
  ASSERT_NE(familyNamed("ice40"), nullptr);
  EXPECT_STREQ(familyNamed("ice40")->name, "ice40");
  EXPECT_EQ(familyNamed("ecp5"), nullptr);
}

}  // namespace
