// Several memories in one run through the built binary: a whole system's
// memory map against one run per memory, bytes that land in no memory,
// segments split between adjacent memories, banks and lanes, response
// files, the group of files a run replaces, and a real reader of the RAM
// image. The bytes are checked against objcopy -O binary (tools/install-deps
// installs it) and the images committed in testdata/.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

// Runs `command` with sh in `dir`; its standard output and error together,
// or a line saying it failed.
std::string shOut(const fs::path& dir, const std::string& command) {
  const Shell r = sh(dir, command);
  return r.status == 0 ? r.out : "failed: " + command + "\n" + r.out;
}

// The bytes objcopy -O binary gives for the load image of testdata/`name`.
std::string objcopyBinary(const fs::path& dir, const std::string& name, const char* bfd) {
  const std::string out = shOut(dir, std::string("objcopy -I ") + bfd + " -O binary '" +
                                      (testdata / name).string() + "' objcopy.bin");
  EXPECT_EQ(out, "");
  return slurp(dir / "objcopy.bin");
}

// The words a CPU of `width` bits and the given byte order reads from
// `bytes`, as lower-case hex, one a line.
std::string cpuWords(const std::string& bytes, size_t width, bool little) {
  const size_t wb = width / 8;
  std::string words;
  for (size_t j = 0; j + wb <= bytes.size(); j += wb) {
    for (size_t i = 0; i < wb; i++) {
      char d[3];
      snprintf(d, sizeof d, "%02x", static_cast<unsigned char>(bytes[j + (little ? wb - 1 - i : i)]));
      words += d;
    }
    words += '\n';
  }
  return words;
}

// Every file of `dir` with its contents.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& n : listDir(dir)) files[n] = slurp(dir / n);
  return files;
}

class Memories : public testing::TestWithParam<Order> {
 protected:
  bool little() const { return GetParam() == Order::Little; }
  std::string order() const { return little() ? "--byte-order=little" : "--byte-order=big"; }
};

INSTANTIATE_TEST_SUITE_P(ByteOrders, Memories, testing::Values(Order::Little, Order::Big),
                         [](const auto& p) { return std::string(name(p.param)); });

// A board: its executable, the ROM that stores the program and the
// initialised data, and the RAM the data runs in, with its word width.
struct Board {
  const char* elf;
  const char* rom;  // BASE:SIZE
  const char* ram;
  const char* ramWidth;
  size_t dataLoad, dataSize, dataMemSize;  // the data segment: offset in ROM, file and memory sizes
};
const Board boards[] = {
    {"romcopy-arm.elf", "0x08000000:64K", "0x20000000:8K", "32", 0x168, 0x8c, 0xd0},
    {"romcopy-mips.elf", "0xbfc00000:4K", "0x80000000:4K", "64", 0x400, 0x60, 0xb0},
    {"romcopy-riscv.elf", "0:4K", "0x80000000:4K", "16", 0x160, 0x54, 0x98},
};

}  // namespace

// The ROM at load addresses and the RAM at run addresses written by one
// run are the files one run per memory writes; the byte order given beside
// --memory holds for every memory.
TEST_P(Memories, WholeSystemInOneRunMatchesOneRunPerMemory) {
  for (const Board& b : boards) {
    SCOPED_TRACE(b.elf);
    TempDir dir;
    const std::string elf = (testdata / b.elf).string();
    Outcome r = run({"-f", elf, order(), "--memory=rom:" + std::string(b.rom) + ",format=bin,output=rom.bin",
                    "--memory=ram:" + std::string(b.ram) + ",format=vmem,output=ram.vmem,addresses=run,width=" +
                        b.ramWidth},
                   {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"ram.vmem", "rom.bin"}));

    r = run({"-f", elf, "--quiet", "--format=bin", "--region=" + std::string(b.rom), "--output=rom1.bin"},
            {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"-f", elf, "--quiet", "--format=vmem", "--region=" + std::string(b.ram), "--addresses=run",
             "--width=" + std::string(b.ramWidth), order(), "--output=ram1.vmem"},
            {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path / "rom.bin"), slurp(dir.path / "rom1.bin"));
    EXPECT_EQ(slurp(dir.path / "ram.vmem"), slurp(dir.path / "ram1.vmem"));

    // And both hold what objcopy places: the ROM its load image, the RAM
    // the data segment with its zero tail.
    const std::string load = slurp(testdata / (std::string(b.elf, strlen(b.elf) - 4) + ".load.bin"));
    const std::string rom = slurp(dir.path / "rom.bin");
    EXPECT_EQ(rom.substr(0, load.size()), load);
    EXPECT_EQ(rom.find_first_not_of('\0', load.size()), std::string::npos);
    std::string ram = load.substr(b.dataLoad, b.dataSize);
    ram.resize(b.dataMemSize, '\0');
    const std::string words = cpuWords(ram, std::stoul(b.ramWidth), little());
    EXPECT_TRUE(slurp(dir.path / "ram.vmem").starts_with(words));
  }
}

// Stored bytes that land in no memory are named, one line per range, and
// nothing is written; --allow-unplaced writes what does land.
TEST(Memories, UnplacedBytesAreRefusedUnlessAllowed) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string flash = "--memory=flash:0x08000000:0x100,format=bin,output=flash.bin";
  const std::string ram = "--memory=ram:0x20000000:8K,format=vmem,output=ram.vmem,addresses=run";
  const Case cases[] = {
      // Each range names its input, its segment and the sections in it.
      {{flash, ram}, "in.elf segment 0 (.text, .rodata): 0x08000100..0x08000167 lands in no memory\n"},
      {{flash},
       "in.elf segment 0 (.text, .rodata): 0x08000100..0x08000167 lands in no memory\n"
       "in.elf segment 1 (.data, .ramfunc): 0x08000168..0x080001f3 lands in no memory\n"},
      // A memory in the middle of a segment leaves bytes on both sides.
      {{"--memory=mid:0x08000080:0x80,format=bin,output=mid.bin"},
       "in.elf segment 0 (.isr_vector, .text): 0x08000000..0x0800007f lands in no memory\n"
       "in.elf segment 0 (.text, .rodata): 0x08000100..0x08000167 lands in no memory\n"
       "in.elf segment 1 (.data, .ramfunc): 0x08000168..0x080001f3 lands in no memory\n"},
      // When every memory takes run addresses, the ranges are run addresses.
      {{"--memory=ram:0x20000040:8K,format=bin,output=ram.bin,addresses=run"},
       "in.elf segment 0 (.isr_vector, .text, .rodata): 0x08000000..0x08000167 lands in no memory\n"
       "in.elf segment 1 (.data): 0x20000000..0x2000003f lands in no memory\n"},
      // Chosen sections, and further inputs with and without segments.
      {{"--section=.text", "--section=.data", flash, ram},
       "in.elf segment 0 (.text): 0x08000100..0x0800013f lands in no memory\n"},
      {{"--merge=blob.bin@0x08001000", "--memory=flash:0x08000000:4K,format=bin,output=flash.bin"},
       "blob.bin: 0x08001000..0x0800112b lands in no memory\n"},
      {{"--merge=blob.elf", "--memory=flash:0x08000000:64K,format=bin,output=flash.bin"},
       "blob.elf segment 0: 0x00000100..0x00000103 lands in no memory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    fs::copy_file(testdata / "romcopy-arm.elf", dir.path / "in.elf");
    fs::copy_file(testdata / "blob.bin", dir.path / "blob.bin");
    writeFile(dir.path / "blob.elf",
              build(Order::Little, std::vector<Seg>{text(0x100, {1, 2, 3, 4})}, {.entry = 0x100}));
    const std::vector<std::string> before = listDir(dir.path);
    std::vector<std::string> args = {"-f", "in.elf"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(dir.path), before);

    args.push_back("--allow-unplaced");
    r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_GT(listDir(dir.path).size(), before.size());
  }
  // What lands is what a single memory of the same region holds.
  TempDir dir;
  const std::string elf = (testdata / "romcopy-arm.elf").string();
  Outcome r = run({"-f", elf, flash, "--allow-unplaced"}, {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir.path / "flash.bin"), objcopyBinary(dir.path, "romcopy-arm.elf", "elf32-little").substr(0, 0x100));
}

// A segment that spans two adjacent memories lands part in each: together
// they hold objcopy's bytes, then fill.
TEST_P(Memories, SegmentSpanningAdjacentMemoriesIsSplitBetweenThem) {
  TempDir dir;
  const std::string load = objcopyBinary(dir.path, "romcopy-arm.elf", "elf32-little");
  ASSERT_EQ(load.size(), 0x1f4u);
  // The first memory ends at `split`; the second runs from there to 0x08000200.
  for (const uint32_t split : {0x100u, 0x40u, 0x168u, 0x1f0u}) {
    SCOPED_TRACE(split);
    char a[96], b[96];
    snprintf(a, sizeof a, "--memory=a:0x08000000:0x%x,format=bin,output=a.bin", split);
    snprintf(b, sizeof b, "--memory=b:0x%x:0x%x,format=vmem,output=b.vmem,fill=0xee", 0x08000000u + split,
             0x200u - split);
    Outcome r = run({"-f", (testdata / "romcopy-arm.elf").string(), order(), a, b}, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir.path / "a.bin"), load.substr(0, split));
    std::string high = load.substr(split);
    high.resize(0x200 - split, '\xee');
    EXPECT_EQ(slurp(dir.path / "b.vmem"), cpuWords(high, 32, little()));
  }
}

// Memories and their keys are checked before anything is read or written;
// a bank count is checked against the depth the memory turns out to have.
TEST(Memories, BadMemoriesAreRefusedWithTheirMessages) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string keys =
      "banks, format, output, addresses, empty, width, byte-order, depth, fill, lanes, name, header, radix, uf2-family, "
      "seed, placeholder, copies, sparse, rebase, record-bytes, srec-s3, dense, line-ending, srec-header, dfu-vid, dfu-pid, dfu-bcd\n";
  const Case cases[] = {
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin", "--memory=b:0x080000f0:0x100,format=bin,output=b.bin"},
       "--memory=a and --memory=b overlap at 0x080000f0..0x080000ff\n"},
      {{"--memory=a:0x08000000:64K,format=bin,output=a.bin", "--memory=b:0x20000000:8K,format=bin,output=b.bin",
        "--memory=c:0x08000100:4,format=bin,output=c.bin"},
       "--memory=a and --memory=c overlap at 0x08000100..0x08000103\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin", "--memory=a:0x20000000:8K,format=bin,output=b.bin"},
       "--memory=a:0x20000000:8K,format=bin,output=b.bin: a second memory of that name\n"},
      {{"--region=0:4", "--memory=a:0x08000000:64K,format=bin,output=a.bin"},
       "--region=0:4: with --memory, each memory's BASE:SIZE is its region\n"},
      {{"--crop", "--memory=a:0x08000000:64K,format=bin,output=a.bin"},
       "--crop: with --memory, every memory takes what lies in it\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin,colour=red"}, "--memory=a: colour: not a key of a memory: " + keys},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin,"}, "--memory=a: : not a key of a memory: " + keys},
      {{"--memory=a:0x08000000:0x100,output=a.bin"}, "--memory=a: no format: give format=FMT or --format=FMT\n"},
      {{"--memory=a:0x08000000"}, "--memory=a:0x08000000: not NAME:BASE:SIZE[,KEY=VALUE...]\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin,width=20"},
       "--memory=a: --width=20: not a word width: a multiple of 8 from 8 to 1024\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a%b.bin,banks=0"},
       "--memory=a: banks=0: not a number of banks: 1 to 65536\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a%b.bin,banks=65537"},
       "--memory=a: banks=65537: not a number of banks: 1 to 65536\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a%b.bin,banks=3"},
       "--memory=a: banks=3 does not divide its 64 words\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=a.bin,banks=2"},
       "--memory=a: output=a.bin: needs %b for the bank number with banks=2\n"},
      {{"--format=bin", "--memory=a:0x08000000:0x100,banks=2"},
       "--memory=a: output=-: needs %b for the bank number with banks=2\n"},
      {{"--memory=a:0x08000000:0x100,format=c,output=a%b.c,header=a.h,banks=2"},
       "--memory=a: header=a.h: needs %b for the bank number with banks=2\n"},
      {{"--format=bin", "--memory=a:0x08000000:64K", "--memory=b:0x20000000:8K"},
       "--memory=b: give output=FILE: --memory=a takes standard output already\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=x.bin", "--memory=b:0x08000100:0x100,format=bin,output=x.bin"},
       "--memory=a: output=x.bin: x.bin is also written as --memory=b: output=x.bin\n"},
      {{"--memory=a:0x08000000:0x100,format=bin,output=x%b.bin,banks=2",
        "--memory=b:0x08000100:0x100,format=bin,output=x1.bin"},
       "--memory=a: output=x%b.bin: x1.bin is also written as --memory=b: output=x1.bin\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    fs::copy_file(testdata / "romcopy-arm.elf", dir.path / "in.elf");
    std::vector<std::string> args = {"-f", "in.elf", "--allow-unplaced"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"in.elf"});
  }
}

// 2 banks of 2 lanes: four files named through %b and %d. Each bank's
// lanes put side by side, lane 0 the low half, and the banks one after the
// other give the image of the whole memory.
TEST_P(Memories, BanksOfLanesRecombineToTheWholeImage) {
  TempDir dir;
  const std::string elf = (testdata / "romcopy-arm.elf").string();
  Outcome r = run({"-f", elf, order(), "--format=vmem", "--region=0x08000000:0x200", "--output=whole.vmem"},
                 {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> whole = lines(slurp(dir.path / "whole.vmem"));
  ASSERT_EQ(whole.size(), 128u);
  r = run({"-f", elf, order(), "--memory=m:0x08000000:0x200,format=vmem,lanes=2,banks=2,output=bank%b-lane%d.vmem"},
          {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"bank0-lane0.vmem", "bank0-lane1.vmem", "bank1-lane0.vmem",
                                                         "bank1-lane1.vmem", "whole.vmem"}));
  std::vector<std::string> pasted;
  for (const char* bank : {"bank0", "bank1"}) {
    const std::vector<std::string> low = lines(slurp(dir.path / (std::string(bank) + "-lane0.vmem")));
    const std::vector<std::string> high = lines(slurp(dir.path / (std::string(bank) + "-lane1.vmem")));
    ASSERT_EQ(low.size(), 64u) << bank;
    ASSERT_EQ(high.size(), 64u) << bank;
    for (size_t j = 0; j < low.size(); j++) pasted.push_back(high[j] + low[j]);
  }
  EXPECT_EQ(pasted, whole);
}

// The same run with its arguments in response files (comments, blank
// lines, CRLF ends, blanks around, one file naming another) writes the same
// files.
TEST(Memories, ResponseFileGivesTheSameRun) {
  TempDir direct, indirect;
  const std::string elf = (testdata / "romcopy-arm.elf").string();
  const std::vector<std::string> args = {
      "-f", elf, "--byte-order=big", "--memory=flash:0x08000000:64K,format=ihex,output=flash.hex",
      "--memory=ram:0x20000000:8K,format=vmem,output=ram%b.vmem,addresses=run,banks=2"};
  Outcome r = run(args, {.cwd = direct.path});
  ASSERT_EQ(r.status, 0) << r.err;
  put(indirect.path / "system.rsp",
      "# the board's memory map\r\n"
      "\r\n"
      "  --memory=flash:0x08000000:64K,format=ihex,output=flash.hex  \r\n"
      "@ram.rsp\r\n"
      "\t# big-endian words\r\n"
      "--byte-order=big\t\r\n");
  put(indirect.path / "ram.rsp", "--memory=ram:0x20000000:8K,format=vmem,output=ram%b.vmem,addresses=run,banks=2\n");
  r = run({"-f", elf, "@system.rsp"}, {.cwd = indirect.path});
  ASSERT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> got = snapshot(indirect.path);
  got.erase("system.rsp");
  got.erase("ram.rsp");
  EXPECT_EQ(got, snapshot(direct.path));
  EXPECT_EQ(got.size(), 3u);
}

TEST(Memories, ResponseFilesThatCannotBeReadAreRefused) {
  TempDir dir;
  fs::create_directory(dir.path / "subdir");
  put(dir.path / "loop.rsp", "--quiet\n@loop.rsp\n");
  struct Case {
    const char* arg;
    const char* err;
  };
  const Case cases[] = {
      {"@missing.rsp", "unable to read response file missing.rsp\n"},
      {"@subdir", "unable to read response file subdir\n"},
      {"@loop.rsp", "@loop.rsp: response files nest deeper than 16\n"},
  };
  for (const Case& c : cases) {
    Outcome r = run({"-f", (testdata / "romcopy-arm.elf").string(), "--format=bin", "--output=x.bin", c.arg},
                   {.cwd = dir.path});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"loop.rsp", "subdir"}));
  }
}

// A read of a response file that fails (strace injects EIO into its first
// and second read) ends the run: it is not taken for a file of fewer
// arguments.
TEST(Memories, ResponseFileReadErrorEndsTheRun) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
#ifdef ROMWRIGHT_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime's own reads at start-up take the injected failure";
#endif
  TempDir dir;
  put(dir.path / "report.rsp", "-l\n");
  for (const char* when : {"1", "2"}) {
    SCOPED_TRACE(when);
    Outcome r = run({"-f", (testdata / "romcopy-arm.elf").string(), "@report.rsp"},
                   {.cwd = dir.path,
                    .launcher = {"strace", "-o", "/dev/null", "-e", "trace=read", "-e",
                                 std::string("inject=read:error=EIO:when=") + when}});
    EXPECT_EQ(r.err, "unable to read response file report.rsp\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

// So does a read that runs out of memory (a line without end under
// ulimit -v).
TEST(Memories, ResponseFileOutOfMemoryEndsTheRun) {
#ifdef ROMWRIGHT_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator reserves more address space than the limit allows";
#endif
  TempDir dir;
  const std::string elf = (testdata / "romcopy-arm.elf").string();
  Outcome r = run({"-f", elf, "-l", "@/dev/zero"}, {.cwd = dir.path, .addressSpaceLimit = 256ul << 20});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);
}

// A rename that fails while two memories are put in place leaves both old,
// and no hidden file behind.
TEST(Memories, FailedRenameLeavesEveryMemoryOld) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  const std::vector<std::string> names = {"flash.bin", "ram0.vmem", "ram1.vmem"};
  for (int when = 1; when <= 3; when++) {
    SCOPED_TRACE(when);
    TempDir dir;
    for (const std::string& n : names) put(dir.path / n, "old " + n);
    const auto before = snapshot(dir.path);
    Outcome r = run({"-f", (testdata / "romcopy-arm.elf").string(),
                    "--memory=flash:0x08000000:64K,format=bin,output=flash.bin",
                    "--memory=ram:0x20000000:8K,format=vmem,output=ram%b.vmem,addresses=run,banks=2"},
                   {.cwd = dir.path,
                    .launcher = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                                 "trace=rename,renameat,renameat2", "-e",
                                 "inject=rename,renameat,renameat2:error=EPERM:when=" + std::to_string(when)}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Unable to open image file " + names[static_cast<size_t>(when - 1)] + ": Operation not permitted\n");
    EXPECT_EQ(snapshot(dir.path), before);
  }
}

// An ending signal during the renames of two memories' files waits for the
// group: every file is new, and nothing hidden is left.
TEST(Memories, SignalDuringTheRenamesLeavesEveryMemoryNew) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  const std::vector<std::string> args = {"-f", (testdata / "romcopy-arm.elf").string(),
                                         "--memory=flash:0x08000000:64K,format=bin,output=flash.bin",
                                         "--memory=ram:0x20000000:8K,format=vmem,output=ram%b.vmem,addresses=run,banks=2"};
  TempDir fresh;
  ASSERT_EQ(run(args, {.cwd = fresh.path}).status, 0);
  const auto expected = snapshot(fresh.path);
  ASSERT_EQ(expected.size(), 3u);
  for (int when = 1; when <= 3; when++) {
    SCOPED_TRACE(when);
    TempDir dir;
    for (const auto& [n, bytes] : expected) put(dir.path / n, "old " + n);
    Outcome r = run(args, {.cwd = dir.path,
                          .launcher = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null", "-e",
                                 "trace=rename,renameat,renameat2", "-e",
                                       "inject=rename,renameat,renameat2:signal=TERM:when=" + std::to_string(when)}});
    EXPECT_EQ(r.signal, SIGTERM) << r.status << r.err;
    EXPECT_EQ(snapshot(dir.path), expected);
  }
}

// Icarus Verilog's $readmemh fills an array of the RAM's depth from the RAM
// image of the whole-system run, without a warning, with the words the CPU
// reads from the data segment.
TEST_P(Memories, IcarusVerilogReadsTheRamImage) {
  TempDir dir;
  const Board& b = boards[0];
  Outcome r = run({"-f", (testdata / b.elf).string(), order(), "--memory=rom:0x08000000:64K,format=bin,output=rom.bin",
                  "--memory=ram:0x20000000:8K,format=vmem,output=ram.vmem,addresses=run"},
                 {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  put(dir.path / "tb.v",
      "module tb;\n"
      "  reg [31:0] ram [0:2047];\n"
      "  integer i;\n"
      "  initial begin\n"
      "    $readmemh(\"ram.vmem\", ram);\n"
      "    for (i = 0; i < 52; i = i + 1) $display(\"%h\", ram[i]);\n"
      "    $display(\"%h\", ram[2047]);\n"
      "    $finish;\n"
      "  end\n"
      "endmodule\n");
  ASSERT_EQ(shOut(dir.path, "iverilog -g2005 -o tb.vvp tb.v"), "");
  std::string data = slurp(testdata / "romcopy-arm.load.bin").substr(b.dataLoad, b.dataSize);
  data.resize(b.dataMemSize, '\0');
  EXPECT_EQ(shOut(dir.path, "vvp -n tb.vvp | grep -x '[0-9a-f]*'"), cpuWords(data, 32, little()) + "00000000\n");
  EXPECT_EQ(shOut(dir.path, "vvp -n tb.vvp | grep -ci warning || true"), "0\n");
}

// What refuses a single memory refuses it among several: inputs that place
// bytes at one address, and segments that cannot be read or placed. None
// may leave a memory of fill in place of the bytes.
TEST(Memories, InputsThatCannotBePlacedAreRefusedAsForOneMemory) {
  Seg pastEnd = text(0x100, counting(4), 0x1000);
  pastEnd.filesz = 0x1000;
  struct Case {
    std::vector<Seg> segs;
    std::vector<std::string> args;
    std::string err;  // how the run's last line ends
  };
  const Case cases[] = {
      {{text(0x100, counting(0x20))}, {"--merge=blob.bin@0x110"},
       "segment 0 of in.elf and blob.bin both place bytes at 0x00000110..0x0000011f\n"},
      {{text(0x100, counting(8), 4)}, {}, "segment 0 file size 0x8 exceeds memory size 0x4\n"},
      {{pastEnd}, {}, "unable to read segment 0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    TempDir dir;
    writeFile(dir.path / "in.elf", build(Order::Little, c.segs, {.entry = 0x100}));
    fs::copy_file(testdata / "blob.bin", dir.path / "blob.bin");
    std::vector<std::string> args = {"-f", "in.elf"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    // One memory of --format: the reference.
    std::vector<std::string> one = args;
    one.insert(one.end(), {"--format=bin", "--region=0:0x2000", "--output=one.bin"});
    Outcome r = run(one, {.cwd = dir.path});
    EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
    EXPECT_EQ(r.status, 1);
    args.insert(args.end(), {"--memory=a:0:0x2000,format=bin,output=a.bin",
                             "--memory=b:0x20000000:0x100,format=bin,output=b.bin"});
    r = run(args, {.cwd = dir.path});
    EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"blob.bin", "in.elf"}));
  }
}

namespace {

// Intel HEX text of `count` one-byte records, one every 32 bytes from 0.
std::string sparseHex(uint32_t count) {
  std::string text;
  char line[64];
  auto record = [&](uint32_t addr, uint8_t type, std::initializer_list<uint8_t> data) {
    unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8 & 0xff) + (addr & 0xff) + type;
    int n = snprintf(line, sizeof line, ":%02X%04X%02X", static_cast<unsigned>(data.size()), addr & 0xffff, type);
    for (uint8_t b : data) {
      n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X", b);
      sum += b;
    }
    snprintf(line + n, sizeof line - static_cast<size_t>(n), "%02X\n", (0x100 - (sum & 0xff)) & 0xff);
    text += line;
  };
  for (uint32_t i = 0; i < count; i++) {
    const uint32_t addr = i * 32;
    if (addr % 0x10000 == 0) record(0, 4, {static_cast<uint8_t>(addr >> 24), static_cast<uint8_t>(addr >> 16)});
    record(addr, 0, {0x5a});
  }
  return text + ":00000001FF\n";
}

}  // namespace

// Writing a memory in banks costs the banks' files, not the banks times the
// pieces of the input: an input of 60000 separate records in 4096 banks
// takes about what a one-piece input takes.
TEST(Memories, BanksCostTheirFilesNotBanksTimesInputPieces) {
  if (wrapped()) GTEST_SKIP() << "timed without a wrapper";
  TempDir dir;
  put(dir.path / "sparse.hex", sparseHex(60000));
  put(dir.path / "dense.hex", ":0100000000FF\n:00000001FF\n");
  auto seconds = [&](const char* input) {
    const auto start = std::chrono::steady_clock::now();
    Outcome r = run({"-f", input, "--quiet", "--memory=m:0:2M,format=bin,banks=4096,output=bank%b.bin"}, {.cwd = dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  const double dense = seconds("dense.hex");
  const double sparse = seconds("sparse.hex");
  EXPECT_LT(sparse, 2 * dense + 2) << "one-piece input " << dense << " s";
  EXPECT_EQ(readFile(dir.path / "bank4095.bin").size(), 512u);
}
