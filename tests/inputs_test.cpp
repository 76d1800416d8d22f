// The inputs of the memory-image mode through the built binary: 64-bit
// executables of either byte order, sections chosen by name, further inputs
// merged into one image, cropping at the region, inputs it refuses, and
// what a run writes on standard error. The bytes are checked against
// objcopy and srec_cat run on the same files (tools/install-deps installs
// them) and against the images committed in testdata/.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

// Copies testdata/`name` into `dir` under the same name, so that messages
// name it as a user would.
void copyIn(const fs::path& dir, const std::string& name) {
  fs::copy_file(testdata / name, dir / name);
}

// The first line of `text`, without its newline.
std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The committed 64-bit executables, the format name the host's objcopy
// needs for them, and the load lines they give.
struct Real64 {
  const char* name;
  const char* bfd;
  const char* loadLines;
};
const Real64 reals64[] = {
    {"romcopy-rv64", "elf64-little", "before swap 0x2 machine 0xf3 order 0x1 host 0x1\nsz 0xe0 = 0x4 * 0x38\n"},
    {"romcopy-ppc64", "elf64-big", "before swap 0x200 machine 0x1500 order 0x2 host 0x1\nsz 0xa8 = 0x3 * 0x38\n"},
};

class InputsElf64 : public testing::TestWithParam<Real64> {};

INSTANTIATE_TEST_SUITE_P(Inputs, InputsElf64, testing::ValuesIn(reals64), [](const auto& p) {
  return std::string(p.param.bfd) == "elf64-little" ? std::string("Little") : std::string("Big");
});

// A 32-bit executable of the fixture and the bytes it places.
struct Piece {
  const char* file;
  uint32_t at;
  std::vector<uint8_t> bytes;
};

void writeElf(const fs::path& dir, const Piece& p, Order order) {
  writeFile(dir / p.file, build(order, std::vector<Seg>{text(p.at, p.bytes)}, {.entry = p.at}));
}

// The image of `pieces` painted in order over `fill`, from `base` for `size`.
std::string painted(uint32_t base, size_t size, uint8_t fill, std::initializer_list<const Piece*> pieces) {
  std::string img(size, static_cast<char>(fill));
  for (const Piece* p : pieces) {
    for (size_t i = 0; i < p->bytes.size(); i++) img.at(p->at - base + i) = static_cast<char>(p->bytes[i]);
  }
  return img;
}

}  // namespace

// Each 64-bit executable gives the bytes objcopy -O binary gives for the
// same choice of sections: the committed image, and the host's objcopy run
// here on the file.
TEST_P(InputsElf64, MemoryImageIsObjcopysBinary) {
  const Real64& x = GetParam();
  const std::string elf = std::string(x.name) + ".elf";
  const std::string drop = firstLine(slurp(testdata / (std::string(x.name) + ".sections")));
  struct Case {
    std::vector<std::string> args;
    const char* committed;  // NAME.committed in testdata/
    std::string objcopy;    // the host objcopy's options for the same image
  };
  const Case cases[] = {
      {{}, "load.bin", "-O binary"},
      {{"--section=.text"}, "text.bin", "-j .text -O binary"},
      {{"--section=.t*"}, "text.bin", "-j .text -O binary"},
      {{"--section=.?ext"}, "text.bin", "-j .text -O binary"},
      {{"--remove-section=" + drop}, "drop.bin", "-R " + drop + " -O binary"},
      // Placed section by section, the alignment gaps between sections of
      // one segment hold the fill too.
      {{"--section=*", "--fill=0xff"}, "gapfill.bin", "--gap-fill=0xff -O binary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(x.name) + " " + c.objcopy);
    TempDir dir;
    copyIn(dir.path, elf);
    std::vector<std::string> args = {"-f", elf, "--format=bin", "--width=8", "--output=x.bin"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string got = slurp(dir.path / "x.bin");
    EXPECT_EQ(got, slurp(testdata / (std::string(x.name) + "." + c.committed)));
    ASSERT_SH(dir.path, "objcopy -I " + std::string(x.bfd) + " " + c.objcopy + " " + elf + " host.bin");
    EXPECT_EQ(got, slurp(dir.path / "host.bin"));
  }
}

// Words take the 64-bit executable's own byte order: srec_cat, which lays a
// VMem word down most significant byte first, reads the 32-bit words back
// as the load image of the big-endian file and as that image with each word
// reversed for the little-endian one.
TEST_P(InputsElf64, WordsTakeTheExecutablesByteOrder) {
  const Real64& x = GetParam();
  const bool big = std::string(x.bfd) == "elf64-big";
  TempDir dir;
  const Outcome r = run({"-f", (testdata / (std::string(x.name) + ".elf")).string(), "--format=vmem",
                        "--output=image.vmem"},
                       {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_SH(dir.path, "srec_cat image.vmem -vmem -o vmem.bin -binary");
  std::string want = slurp(testdata / (std::string(x.name) + ".load.bin"));
  want.resize((want.size() + 3) / 4 * 4);  // the last word, completed with fill
  if (!big) {
    for (size_t i = 0; i < want.size(); i += 4) std::reverse(want.begin() + static_cast<long>(i), want.begin() + static_cast<long>(i) + 4);
  }
  EXPECT_EQ(slurp(dir.path / "vmem.bin"), want);
}

// Placed section by section, the fill goes wherever no section has a byte,
// as objcopy --gap-fill writes it: also in a gap between two sections of
// one segment (romcopy-ppc64 has one of 4 bytes between .text and .rodata;
// romcopy-rv64 has none). --whole-segments places the segment's own (zero)
// bytes there.
TEST(InputsElf64Fill, GapsInsideASegmentTakeTheFillUnlessWholeSegments) {
  struct Case {
    const char* name;
    size_t gap, gapSize;  // the gap inside a segment, from the image's start
  };
  const Case cases[] = {{"romcopy-rv64", 0, 0}, {"romcopy-ppc64", 0x194, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string elf = std::string(c.name) + ".elf";
    copyIn(dir.path, elf);
    const std::vector<std::string> args = {"-f", elf, "--format=bin", "--width=8", "--fill=0xff"};
    std::vector<std::string> whole = args;
    whole.insert(whole.end(), {"--whole-segments", "--output=whole.bin"});
    std::vector<std::string> sections = args;
    sections.push_back("--output=x.bin");
    for (const auto& a : {sections, whole}) {
      const Outcome r = run(a, {.cwd = dir.path});
      ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string want = slurp(testdata / (std::string(c.name) + ".gapfill.bin"));
    EXPECT_EQ(slurp(dir.path / "x.bin"), want);
    want.replace(c.gap, c.gapSize, c.gapSize, '\0');
    EXPECT_EQ(slurp(dir.path / "whole.bin"), want);
  }
}

// The fixed outputs and the reports take 32-bit executables: a 64-bit one
// is refused after its load lines, which show even with --quiet since the
// load fails, and nothing is written.
TEST_P(InputsElf64, FixedOutputsRefuseItAndWriteNothing) {
  const Real64& x = GetParam();
  const std::string elf = std::string(x.name) + ".elf";
  const std::string want = std::string(x.loadLines) + "unable to load elf file " + elf + "\n" + elf +
                           " is a 64-bit ELF executable; -H, -r, -R and the reports take 32-bit ones "
                           "(--format takes both)\n";
  const std::vector<std::vector<std::string>> runs = {
      {"-H"}, {"-r"}, {"-R"}, {"-l"}, {"-t", "--quiet"}, {"-r", "--format=bin", "--output=x.bin"}};
  for (const auto& args : runs) {
    SCOPED_TRACE(args[0] + " " + x.name);
    TempDir dir;
    copyIn(dir.path, elf);
    std::vector<std::string> all = {"-f", elf};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome r = run(all, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, want);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{elf});
  }
  // An input without sections (Intel HEX) has none for a name to match.
  TempDir dir;
  copyIn(dir.path, "romcopy-arm.objcopy.hex");
  const Outcome r = run({"-f", "romcopy-arm.objcopy.hex", "--format=bin", "--output=x.bin", "--section=.text"},
                       {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "--section=.text: matches no section\n");
}

// .data of the 32-bit executables, stored in ROM and run in RAM: at load
// addresses the bytes objcopy -j .data -O binary writes, and at run
// addresses the same bytes from the section's address (its VMA).
TEST(InputsSection, DataOfA32BitExecutableAtLoadAndRunAddresses) {
  const std::pair<const char*, const char*> elfs[] = {{"romcopy-riscv", "elf32-little"},
                                                      {"romcopy-riscv-lld", "elf32-little"},
                                                      {"romcopy-arm", "elf32-little"},
                                                      {"romcopy-mips", "elf32-big"}};
  for (const auto& [name, bfd] : elfs) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string elf = std::string(name) + ".elf";
    copyIn(dir.path, elf);
    const std::string b = bfd;
    ASSERT_SH(dir.path, "objcopy -I " + b + " -j .data -O binary " + elf + " data.bin");
    ASSERT_SH(dir.path, "objdump -b " + b + " -h " + elf + " | awk '$2 == \".data\" { print \"0x\" $4 }' > vma");
    const std::string data = slurp(dir.path / "data.bin");
    const std::string vma = firstLine(slurp(dir.path / "vma"));
    ASSERT_FALSE(data.empty());
    ASSERT_EQ(vma.size(), 10u) << vma;

    const std::vector<std::string> base = {"-f", elf, "--format=bin", "--width=8", "--section=.data"};
    std::vector<std::string> load = base;
    load.push_back("--output=load.bin");
    std::vector<std::string> runAt = base;
    runAt.insert(runAt.end(), {"--addresses=run", "--region=" + vma + ":" + std::to_string(data.size()),
                               "--output=run.bin"});
    for (const auto& args : {load, runAt}) {
      const Outcome r = run(args, {.cwd = dir.path});
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(slurp(dir.path / "load.bin"), data);
    EXPECT_EQ(slurp(dir.path / "run.bin"), data);
  }
}

// A name, or a pattern, that matches no section of the input is refused
// with one line naming it, and nothing is written.
TEST(InputsSection, NameThatMatchesNoSectionIsRefused) {
  const std::string elf = "romcopy-rv64.elf";
  struct Case {
    std::vector<std::string> args;
    const char* msg;
  };
  const Case cases[] = {
      {{"--section=.nope*"}, "--section=.nope*: matches no section\n"},
      {{"--section=.text", "--section=.q"}, "--section=.q: matches no section\n"},
      {{"--section=.TEXT"}, "--section=.TEXT: matches no section\n"},
      {{"--remove-section=.x?z"}, "--remove-section=.x?z: matches no section\n"},
      {{"--section=.t*", "--remove-section=.texts"}, "--remove-section=.texts: matches no section\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg);
    TempDir dir;
    copyIn(dir.path, elf);
    std::vector<std::string> args = {"-f", elf, "--format=bin", "--output=x.bin"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.msg);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{elf});
  }
}

// A relocatable object file, to the fixed outputs and to a memory image:
// the fixed outputs' loader lines (for them only), then a line that says
// what to do with it.
TEST(InputsRefused, RelocatableObjectIsToBeLinkedFirst) {
  for (Order order : {Order::Little, Order::Big}) {
    const std::string swap = order == Order::Little ? "before swap 0x1 machine 0x8 order 0x1 host 0x1\n"
                                                    : "before swap 0x100 machine 0x800 order 0x2 host 0x1\n";
    const std::string want =
        "invalid elf header 0x1 expected 0x2\n"
        "unable to load elf file in.elf\n"
        "in.elf is a relocatable object file, not an executable; link it first\n";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-H"}, {"-H", "--quiet"}, {"--format=vmem", "--output=x.vmem"}, {"--format=bin", "--quiet"}}) {
      SCOPED_TRACE(std::string(name(order)) + " " + args[0]);
      const Workspace w({text(0x100, {1, 2, 3, 4})}, {.type = ET_REL, .entry = 0x100}, {"-f", "in.elf"}, order);
      const Outcome r = w(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, (args[0] == "-H" ? swap : "") + want);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(listDir(w.dir.path), std::vector<std::string>{"in.elf"});
    }
  }
}

// A file that no reader recognises, as the input of a memory image or as a
// further one without an address: one line that says how to place raw
// bytes. An empty file is not placed either.
TEST(InputsRefused, FileOfNoKnownKindNeedsAnAddress) {
  struct Case {
    std::vector<std::string> args;
    std::string msg;
  };
  const std::string neither = " is neither an ELF executable, Intel HEX nor S-records; a raw binary needs its address: -f ";
  const Case cases[] = {
      {{"-f", "notes.txt", "--format=bin", "--output=x.bin"}, "notes.txt" + neither + "notes.txt@ADDR or --merge=notes.txt@ADDR\n"},
      {{"-f", "blob", "--format=vmem"}, "blob" + neither + "blob@ADDR or --merge=blob@ADDR\n"},
      {{"-f", "empty", "--format=vmem", "--output=x.vmem"}, "empty" + neither + "empty@ADDR or --merge=empty@ADDR\n"},
      {{"-f", "in.elf", "--format=bin", "--merge=notes.txt", "--output=x.bin"},
       "notes.txt" + neither + "notes.txt@ADDR or --merge=notes.txt@ADDR\n"},
      {{"-f", "in.elf", "--format=bin", "--merge=empty@0x2000", "--output=x.bin"},
       "empty is empty: nothing to place\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg);
    const Workspace w;
    w.put("notes.txt", "this is not an image\n");
    // ELF's magic with one byte changed, then bytes of no format.
    w.put("blob", std::string("\x7f" "ELG\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x08\0", 20));
    w.put("empty", "");
    const Outcome r = w(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.msg);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listDir(w.dir.path), (std::vector<std::string>{"blob", "empty", "in.elf", "notes.txt"}));
  }
}

// The fixed outputs read any file as a 32-bit ELF executable; when the
// loader refuses the header of a file of another kind, a last line says what
// it is.
TEST(InputsRefused, FixedOutputsSayWhatAnotherKindOfFileIs) {
  const Workspace w;
  copyIn(w.dir.path, "romcopy-arm.objcopy.hex");
  copyIn(w.dir.path, "blink-arm.s19-16.srec");
  w.put("notes.txt", "this is not an image at all, only words\n");
  const std::pair<std::string, std::string> cases[] = {
      {"romcopy-arm.objcopy.hex",
       "romcopy-arm.objcopy.hex is Intel HEX; -H, -r, -R and the reports take 32-bit ELF executables "
       "(--format takes it)\n"},
      {"blink-arm.s19-16.srec",
       "blink-arm.s19-16.srec is S-records; -H, -r, -R and the reports take 32-bit ELF executables "
       "(--format takes it)\n"},
      {"notes.txt",
       "notes.txt is neither an ELF executable, Intel HEX nor S-records; a raw binary needs its address: "
       "-f notes.txt@ADDR or --merge=notes.txt@ADDR\n"},
  };
  for (const auto& [file, last] : cases) {
    const Outcome r = w({"-f", file, "-H"});
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_TRUE(r.err.ends_with("unable to load elf file " + file + "\n" + last)) << r.err;
    EXPECT_EQ(r.out, "") << file;
  }
}

// Only the fixed outputs and the reports show the load lines of a load that
// succeeds (unless --quiet holds them); a run that writes only a memory
// image is silent, or shows them with --verbose. A line about a segment left
// out of the region still shows.
TEST(QuietRuns, StandardErrorOfARunThatSucceeds) {
  const std::string twoLines = "before swap 0x2 machine 0x8 order 0x1 host 0x1\nsz 0x40 = 0x2 * 0x20\n";
  const std::vector<Seg> one = {text(0x100, {1, 2, 3, 4})};
  const std::vector<Seg> two = {text(0x100, {1, 2, 3, 4}), data(0x8000, {5, 6, 7, 8})};
  struct Case {
    std::vector<Seg> segs;
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {one, {"--format=bin", "--output=x.bin"}, ""},
      {one, {"--format=vmem"}, ""},
      {one, {"--format=c", "--output=x.c", "--header=x.h"}, ""},
      {one, {"--format=bin", "--output=x.bin", "--verbose"}, loadLines},
      {one, {"--format=bin", "--output=x.bin", "-l"}, loadLines},
      {one, {"--format=bin", "--output=x.bin", "-r"}, loadLines},
      {one, {"--format=bin", "--output=x.bin", "-r", "--quiet"}, ""},
      {one, {"-H"}, loadLines},
      {one, {"-H", "--quiet"}, ""},
      {two, {"--format=bin", "--output=x.bin", "--region=0x100:4"},
       "segment 1 at 0x00008000..0x00008003 is outside the region 0x00000100..0x00000103: left out\n"},
      {two, {"--format=bin", "--output=x.bin", "--region=0x100:4", "--verbose"},
       twoLines + "segment 1 at 0x00008000..0x00008003 is outside the region 0x00000100..0x00000103: left out\n"},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const auto& a : c.args) trace += a + " ";
    SCOPED_TRACE(trace);
    const InputDir w(c.segs, {.entry = 0x100});
    const Outcome r = w(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.err);
  }
}

// A memory-image run whose load fails says only why; the fixed outputs'
// loader lines it held back come with --verbose, and with the fixed
// outputs, whose failed load shows them even with --quiet.
TEST(QuietRuns, FailedLoadOfAMemoryImageSaysOnlyWhy) {
  const std::string why = "unable to read program headers\nunable to load elf file in.elf\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--format=bin", "--output=x.bin"}, why},
      {{"--format=vmem", "--quiet"}, why},
      {{"--format=vmem", "--verbose"}, loadLines + why},
      {{"-H", "--quiet"}, loadLines + why},
      {{"--format=vmem", "-l", "--quiet"}, loadLines + why},
  };
  for (const auto& [args, err] : cases) {
    SCOPED_TRACE(args.back());
    const InputDir w({text(0x100, {1, 2, 3, 4})}, {.entry = 0x100, .truncate = 60});
    const Outcome r = w(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(listDir(w.dir.path), std::vector<std::string>{"in.elf"});
  }
}

// A raw binary merged after an executable: the committed image, and what
// srec_cat makes of the same two inputs (the executable as objcopy's Intel
// HEX, the binary at its address), taken back to the image's first address.
TEST(InputsMerge, RawBinaryAfterTheExecutable) {
  TempDir dir;
  copyIn(dir.path, "romcopy-arm.elf");
  copyIn(dir.path, "blob.bin");
  const Outcome r = run({"-f", "romcopy-arm.elf", "--format=bin", "--width=8", "--merge=blob.bin@0x08000200",
                        "--output=x.bin"},
                       {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string got = slurp(dir.path / "x.bin");
  EXPECT_EQ(got, slurp(testdata / "romcopy-arm.merged.bin"));
  ASSERT_SH(dir.path, "objcopy -I elf32-little -O ihex romcopy-arm.elf arm.hex");
  ASSERT_SH(dir.path,
            "srec_cat '(' arm.hex -intel blob.bin -binary -offset 0x08000200 ')' -offset -0x08000000 "
            "-o srec.bin -binary");
  EXPECT_EQ(got, slurp(dir.path / "srec.bin"));
}

class InputsMergeOrders : public testing::TestWithParam<Order> {};

INSTANTIATE_TEST_SUITE_P(Inputs, InputsMergeOrders, testing::Values(Order::Little, Order::Big),
                         [](const auto& p) { return std::string(name(p.param)); });

// Two executables at different addresses make one image, the gap between
// them filled; which one comes first on the command line does not matter
// when they do not overlap.
TEST_P(InputsMergeOrders, SecondExecutableIsPlacedBesideTheFirst) {
  const Piece a{"a.elf", 0x1000, counting(16, 1)};
  const Piece b{"b.elf", 0x1020, counting(8, 0x80)};
  const std::string want = painted(0x1000, 0x28, 0xee, {&a, &b});
  for (const auto& [first, second] : {std::pair{"a.elf", "b.elf"}, std::pair{"b.elf", "a.elf"}}) {
    SCOPED_TRACE(first);
    TempDir dir;
    writeElf(dir.path, a, GetParam());
    writeElf(dir.path, b, GetParam());
    const Outcome r = run({"-f", first, "--merge=" + std::string(second), "--format=bin", "--width=8",
                          "--fill=0xee", "--output=x.bin"},
                         {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(dir.path / "x.bin"), want);
  }
}

// Two inputs that place bytes at one address are refused, by default, with
// one line naming both and the first range they share; nothing is written.
// With --overlap=later the input given later on the command line wins.
TEST_P(InputsMergeOrders, OverlapIsRefusedOrTheLaterInputWins) {
  const Piece a{"a.elf", 0x1000, counting(16, 1)};
  const Piece c{"c.elf", 0x1008, counting(16, 0x40)};
  const Piece p{"p.bin", 0x100c, counting(8, 0x80)};
  const Piece q{"q.bin", 0x1010, counting(8, 0xc0)};
  struct Case {
    std::vector<std::string> args;
    std::string refusal;
    std::string later;  // the image with --overlap=later
  };
  const Case cases[] = {
      {{"-f", "a.elf", "--merge=c.elf"},
       "segment 0 of a.elf and segment 0 of c.elf both place bytes at 0x00001008..0x0000100f\n",
       painted(0x1000, 0x18, 0, {&a, &c})},
      {{"-f", "c.elf", "--merge=a.elf"},
       "segment 0 of c.elf and segment 0 of a.elf both place bytes at 0x00001008..0x0000100f\n",
       painted(0x1000, 0x18, 0, {&c, &a})},
      {{"-f", "a.elf", "--merge=p.bin@0x100c"},
       "segment 0 of a.elf and p.bin both place bytes at 0x0000100c..0x0000100f\n",
       painted(0x1000, 0x14, 0, {&a, &p})},
      {{"-f", "a.elf", "--merge=q.bin@0x1010", "--merge=p.bin@0x100c"},
       "segment 0 of a.elf and p.bin both place bytes at 0x0000100c..0x0000100f\n",
       painted(0x1000, 0x18, 0, {&a, &q, &p})},
      {{"-f", "c.elf", "--merge=p.bin@0x100c", "--merge=q.bin@0x1010"},
       "segment 0 of c.elf and p.bin both place bytes at 0x0000100c..0x00001013\n",
       painted(0x1008, 0x10, 0, {&c, &p, &q})},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.refusal);
    TempDir dir;
    for (const Piece* e : {&a, &c}) writeElf(dir.path, *e, GetParam());
    for (const Piece* b : {&p, &q}) writeFile(dir.path / b->file, b->bytes);
    const std::vector<std::string> before = listDir(dir.path);
    std::vector<std::string> args = k.args;
    args.insert(args.end(), {"--format=bin", "--width=8", "--output=x.bin"});
    Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, k.refusal);
    EXPECT_EQ(listDir(dir.path), before);

    args.push_back("--overlap=later");
    r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(dir.path / "x.bin"), k.later);
  }
}

// A raw binary over a real executable with --overlap=later: the bytes
// objcopy -O binary gives for the executable, the binary's over them.
TEST(InputsMerge, RawBinaryOverwritesTheExecutableWithOverlapLater) {
  TempDir dir;
  copyIn(dir.path, "romcopy-arm.elf");
  copyIn(dir.path, "blob.bin");
  const Outcome r = run({"-f", "romcopy-arm.elf", "--format=bin", "--width=8", "--merge=blob.bin@0x08000100",
                        "--overlap=later", "--output=x.bin"},
                       {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string want = slurp(testdata / "romcopy-arm.load.bin");
  const std::string blob = slurp(testdata / "blob.bin");
  want.resize(std::max(want.size(), 0x100 + blob.size()));
  want.replace(0x100, blob.size(), blob);
  EXPECT_EQ(slurp(dir.path / "x.bin"), want);
}

// The new options' values, and the options they need, are checked before
// anything is read.
TEST(InputsOptions, BadValuesAndMissingPartnersAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* msg;
  };
  const Case cases[] = {
      {{"--format=bin", "--overlap=bad"}, "--overlap=bad: not refuse or later\n"},
      {{"--format=bin", "--overlap="}, "--overlap=: not refuse or later\n"},
      {{"--merge=in.elf"}, "--merge=in.elf: only with --format\n"},
      {{"-H", "--merge=b.bin@0x2000"}, "--merge=b.bin@0x2000: only with --format\n"},
      {{"--format=bin", "--crop"}, "--crop: needs --region=BASE:SIZE to cut at\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.msg);
    const InputDir w;
    const Outcome r = w(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.msg);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listDir(w.dir.path), std::vector<std::string>{"in.elf"});
  }
}

// A region that cuts segments: refused without --crop, nothing written;
// with --crop the bytes inside it, as objcopy -O binary has them at those
// addresses, and a line for each segment cut or left out.
TEST(InputsCrop, RegionThatCutsSegments) {
  struct Case {
    const char* name;
    const char* bfd;
    const char* region;
    size_t from;  // the region's offset in objcopy's image
    size_t size;
    std::string refusal;
    std::string notes;
  };
  const Case cases[] = {
      {"romcopy-arm", "elf32-little", "--region=0x08000100:0x80", 0x100, 0x80,
       "segment 0 at 0x08000000..0x08000167 lies partly outside the region 0x08000100..0x0800017f\n",
       "segment 0 at 0x08000000..0x08000167 is cut to 0x08000100..0x08000167: 256 bytes left out\n"
       "segment 1 at 0x08000168..0x080001f3 is cut to 0x08000168..0x0800017f: 116 bytes left out\n"},
      {"romcopy-ppc64", "elf64-big", "--region=0xfff00100:0x100", 0x100, 0x100,
       "segment 0 at 0xfff00000..0xfff001c1 lies partly outside the region 0xfff00100..0xfff001ff\n",
       "segment 0 at 0xfff00000..0xfff001c1 is cut to 0xfff00100..0xfff001c1: 256 bytes left out\n"
       "segment 1 at 0xfff001d0..0xfff00217 is cut to 0xfff001d0..0xfff001ff: 24 bytes left out\n"
       "segment 2 at 0xfff00218..0xfff00234 is outside the region 0xfff00100..0xfff001ff: left out\n"},
      {"romcopy-rv64", "elf64-little", "--region=0x20000100:0x80", 0x100, 0x80,
       "segment 1 at 0x20000000..0x2000019b lies partly outside the region 0x20000100..0x2000017f\n",
       "segment 1 at 0x20000000..0x2000019b is cut to 0x20000100..0x2000017f: 284 bytes left out\n"
       "segment 2 at 0x200001a0..0x200001ff is outside the region 0x20000100..0x2000017f: left out\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string elf = std::string(c.name) + ".elf";
    copyIn(dir.path, elf);
    std::vector<std::string> args = {"-f", elf, "--format=bin", "--width=8", c.region, "--output=x.bin"};
    Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.refusal);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{elf});

    args.push_back("--crop");
    r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, c.notes);
    const std::string got = slurp(dir.path / "x.bin");
    EXPECT_EQ(got, slurp(testdata / (std::string(c.name) + ".load.bin")).substr(c.from, c.size));
    ASSERT_SH(dir.path, "objcopy -I " + std::string(c.bfd) + " -O binary " + elf + " host.bin");
    EXPECT_EQ(got, slurp(dir.path / "host.bin").substr(c.from, c.size));
  }
}

// At run addresses a cut segment keeps the part of its zero tail inside the
// region: romcopy-rv64's .data, then the first 0x20 bytes of its .bss.
TEST(InputsCrop, RunAddressesKeepTheZeroTailInsideTheRegion) {
  TempDir dir;
  copyIn(dir.path, "romcopy-rv64.elf");
  const Outcome r = run({"-f", "romcopy-rv64.elf", "--format=bin", "--width=8", "--addresses=run",
                        "--region=0x80000000:0x80", "--crop", "--fill=0xff", "--output=x.bin"},
                       {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "segment 1 at 0x20000000..0x2000019b is outside the region 0x80000000..0x8000007f: left out\n"
            "segment 2 at 0x80000000..0x800000a7 is cut to 0x80000000..0x8000007f: 40 bytes left out\n");
  ASSERT_SH(dir.path, "objcopy -I elf64-little -j .data -O binary romcopy-rv64.elf data.bin");
  const std::string data = slurp(dir.path / "data.bin");
  ASSERT_EQ(data.size(), 0x60u);
  EXPECT_EQ(slurp(dir.path / "x.bin"), data + std::string(0x20, '\0'));
}

// Inputs that cannot be mapped, a pipe here, are read to their end: an
// executable fed through a pipe makes the same image as the file itself.
TEST(InputsFromPipes, ExecutableOnAPipeMakesTheFilesImage) {
  for (const Real64& x : reals64) {
    SCOPED_TRACE(x.name);
    TempDir dir;
    const std::string elf = (testdata / (std::string(x.name) + ".elf")).string();
    ASSERT_SH(dir.path, "cat '" + elf + "' | '" + toolPath() +
                            "' -f /dev/stdin --format=bin --width=8 --output=x.bin");
    EXPECT_EQ(slurp(dir.path / "x.bin"), slurp(testdata / (std::string(x.name) + ".load.bin")));
  }
}

// A read of a raw binary on a pipe that fails part of the way (EIO, injected
// by strace into the second read) ends the run with status 1 and writes
// nothing, rather than placing the bytes read so far.
TEST(InputsFromPipes, ReadErrorPartWayEndsTheRun) {
  TempDir dir;
  copyIn(dir.path, "romcopy-arm.elf");
  writeFile(dir.path / "big.bin", counting(100000));
#ifdef ROMWRIGHT_SANITIZED
  GTEST_SKIP() << "the sanitizer runtime's own reads at start-up take the injected failure";
#endif
  if (wrapped()) GTEST_SKIP() << "the wrapped run's tool is linked dynamically: the loader's reads take the failure";
  const Shell r = sh(dir.path, "cat big.bin | strace -o /dev/null -e trace=read -e inject=read:error=EIO:when=2 '" +
                                   std::string(toolPath()) +
                                   "' -f romcopy-arm.elf --format=bin --width=8 --merge=/dev/stdin@0x08001000 "
                                   "--output=x.bin");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("/dev/stdin"), std::string::npos) << r.out;
  EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"big.bin", "romcopy-arm.elf"}));
}
