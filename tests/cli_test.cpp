// The command line, run sequence and reports, through the built binary.
#include <gtest/gtest.h>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;

namespace {

const std::string usageBody =
    "  -f file       # input file\n"
    "  -r            # rom output\n"
    "  -d            # Orv's output\n"
    "  -a            # asm output\n"
    "  -m            # kesmora mem file\n"
    "  -R            # Tolvek ROM output\n"
    "  -L <len>      # Tolvek ROM length [0x100000]\n"
    "  -l            # dump text+data length\n"
    "  -e            # dump binary entry\n"
    "  -t            # dump text location\n"
    "  -H            # dump hex of program\n"
    "  -M NN         # extend image to this length\n"
    // The one line added to the short usage: where the rest is.
    "  --help        # memory images and every other option\n";

// The program name the runs show: under a wrapper, the tool's path.
std::string prog() { return wrapped() ? toolPath() : "romwright"; }

std::string usage(const std::string& name = prog()) {
  return "usage: " + name + " [args]\n" + usageBody;
}

const std::string loadLinesLittle =
    "before swap 0x2 machine 0x8 order 0x1 host 0x1\nsz 0x20 = 0x1 * 0x20\n";

}  // namespace

TEST(CommandLine, UsageAndRejectedOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
    int status;
  };
  const std::string missingM = prog() + ": option requires an argument -- 'M'\nunknown option ?\n";
  const Case cases[] = {
      {{}, usage(), 1},
      {{"-l", "-t"}, usage(), 1},
      {{"-h"}, usage(), 0},
      {{"-h", "-x", "-f"}, usage(), 0},  // nothing after -h is looked at
      {{"-x", "-h"}, prog() + ": invalid option -- 'x'\nunknown option ?\n" + usage(), 0},
      {{"-d", "-a", "-f", "in.elf", "-m", "-D"},
       "unknown option d\nunknown option a\nunknown option m\nunknown option D\n" + usage(), 1},
      {{"-f", "in.elf", "-M"}, missingM + usage(), 1},
      {{"in.elf", "-l"}, usage(), 1},  // a bare file name is not the input
      {{"-L", "6"}, usage(), 1},       // the usage checks come before the length check
      {{"-f", "in.elf", "-L", "6"}, "ROM length 0x6 is not a multiple of 4\n", 1},
      {{"-L", "0x102", "-f", "in.elf", "-L", "-4"}, loadLinesLittle, 0},  // a later -L replaces
      {{"-f", "in.elf", "-L", "0"}, loadLinesLittle, 0},
      {{"-f", "in.elf"}, loadLinesLittle, 0},
  };
  Workspace ws;
  for (const Case& c : cases) {
    Outcome r = ws(c.args);
    std::string cmd;
    for (const auto& a : c.args) cmd += a + " ";
    EXPECT_EQ(r.err, c.err) << cmd;
    EXPECT_EQ(r.status, c.status) << cmd;
    EXPECT_EQ(r.out, "") << cmd;
  }
}

TEST(CommandLine, UsageShowsTheProgramNameAsGiven) {
  if (wrapped()) GTEST_SKIP() << "the wrapper sets the program name";
  Workspace ws;
  EXPECT_EQ(ws({}, {.argv0 = "/opt/tools/bin/romwright"}).err, usage("/opt/tools/bin/romwright"));
  Outcome r = ws({}, {.noArgv = true});
  EXPECT_EQ(r.err, usage("romwright"));
  EXPECT_EQ(r.status, 1);
}

TEST(CommandLine, LoadFailureAddsTheDriversLine) {
  Workspace ws;
  Outcome r = ws({"-f", "missing.elf", "-l"});
  EXPECT_EQ(r.err, "unable to open missing.elf\nunable to load elf file missing.elf\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
}

TEST(Reports, PrintInFixedOrderWithSignedDecimals) {
  struct Case {
    const char* what;
    std::vector<Seg> segs;
    uint32_t entry;
    std::string out;
  };
  const Case cases[] = {
      {"text and data", {text(0x100, {1}), data(0x300, counting(0x10))}, 0x100,
       "len 528\ntext 256 0x00000100\nentry 256 0x00000100\n"},
      {"text only", {text(0xBFC00000, counting(12))}, 0xBFC00010,
       "len 12\ntext -1077936128 0xbfc00000\nentry -1077936112 0xbfc00010\n"},
      {"data ending below the text", {text(0x1000, {1}), data(0x800, {1, 2})}, 0,
       "len -2046\ntext 4096 0x00001000\nentry 0 0x00000000\n"},
      {"data ending at the text", {text(0x1000, {1}), data(0xFF0, counting(0x10))}, 0,
       "len 0\ntext 4096 0x00001000\nentry 0 0x00000000\n"},
      {"no text", {data(0x8000, {5})}, 0xFFFFFFFF, "len 32769\ntext 0 0x00000000\nentry -1 0xffffffff\n"},
  };
  for (const Case& c : cases) {
    Workspace ws(c.segs, {.entry = c.entry});
    Outcome r = ws({"-e", "-t", "-f", "in.elf", "-l"});
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.status, 0) << c.what << r.err;
  }
}

TEST(Reports, EachCounterOptionPrintsOnce) {
  Workspace ws;
  Outcome r = ws({"-t", "-t", "-f", "in.elf", "-vv"});
  EXPECT_EQ(r.out, "text 256 0x00000100\n");
  EXPECT_EQ(r.err, loadLinesLittle);
}

TEST(Reports, FailedWriteToStandardOutputFails) {
  Workspace ws;
  Outcome r = ws({"-f", "in.elf", "-l"}, {.stdoutPath = "/dev/full"});
  EXPECT_EQ(r.err, loadLinesLittle + "Unable to write standard output\n");
  EXPECT_EQ(r.status, 1);
}
