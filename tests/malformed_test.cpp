// Hostile and broken inputs through the whole tool: every refusal says why,
// ends with status 1, prints nothing on standard output and leaves the
// working directory as it was, even with every output asked for.
#include <gtest/gtest.h>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;

namespace {

struct Case {
  const char* what;
  std::vector<Seg> segs;
  Header h;
  std::string why;  // the loader's line
};

class MalformedInput : public testing::TestWithParam<Order> {};

INSTANTIATE_TEST_SUITE_P(ByteOrders, MalformedInput, testing::Values(Order::Little, Order::Big),
                         [](const auto& p) { return std::string(name(p.param)); });

}  // namespace

TEST_P(MalformedInput, RefusedWithReasonAndNoOutput) {
  const std::vector<uint8_t> four = counting(4);
  const Case cases[] = {
      {"truncated header", {text(0x100, four)}, {.truncate = 40}, "unable to read elf header\n"},
      {"truncated table", {text(0x100, four)}, {.truncate = 60}, "unable to read program headers\n"},
      {"missing table", {text(0x100, four)}, {.truncate = 52}, "unable to read program headers\n"},
      {"zero entries", {}, {}, "unable to read program headers\n"},
      {"entry size 16", {text(0x100, four)}, {.phentsize = 16}, "mismatch in elf prg headers\n"},
      {"entry size 64", {text(0x100, four)}, {.phentsize = 64}, "mismatch in elf prg headers\n"},
      {"table offset past the end", {text(0x100, four)}, {.phoff = 0x1000, .truncate = 0x100},
       "unable to read program headers\n"},
      {"table offset wrapping 32 bits", {text(0x100, four)}, {.phoff = 0xFFFFFFF0, .truncate = 0x100},
       "unable to read program headers\n"},
      {"file bytes past the end", {text(0x100, counting(64))}, {.truncate = 100},
       "unable to read segment 0\n"},
      {"file size above memory size", {text(0x100, four, 2)}, {},
       "segment 0 file size 0x4 exceeds memory size 0x2\n"},
      {"segment below the image", {text(0x100, four), text(0xFC, four)}, {},
       "segment 1 out of address order\n"},
      {"room wrapping the address space", {data(0xFFFFF000, four, 0x2000)}, {},
       "segment 0 exceeds the 32-bit address space\n"},
      {"text after data", {data(0x800, four), text(0x100, four), text(0x104, four)}, {},
       "Mult text with intermediate Data!!!\n"},
      {"not an executable", {text(0x100, four)}, {.type = ET_DYN},
       "invalid elf header 0x3 expected 0x2\n"},
  };
  for (const Case& c : cases) {
    Workspace ws(c.segs, c.h);
    Outcome r = ws({"-r", "-R", "-H", "-l", "-t", "-e", "-f", "in.elf"});
    EXPECT_TRUE(r.err.ends_with(c.why + "unable to load elf file in.elf\n")) << c.what << ":\n" << r.err;
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"}) << c.what;
  }
}

TEST(MalformedInput, FilesThatAreNotExecutables) {
  Workspace ws;
  // Not ELF at all, but its type bytes read 2 once swapped (its encoding
  // byte is not the host's): the type check passes and the table decides.
  std::string notElf(64, 'x');
  notElf[16] = 0, notElf[17] = 2;
  ws.put("text.txt", notElf);
  // An unknown data encoding is read as the other order.
  std::vector<uint8_t> odd = build(Order::Little, std::vector<Seg>{text(0x100, {1})});
  odd[EI_DATA] = 9;
  writeFile(ws.dir.path / "odd.elf", odd);
  std::filesystem::create_directory(ws.dir.path / "dir");
  struct Probe {
    const char* path;
    std::string err;
  };
  const Probe probes[] = {
      {"text.txt",
       "before swap 0x200 machine 0x7878 order 0x78 host 0x1\n"
       "sz 0x38b0b840 = 0x7878 * 0x7878\n"
       "unable to read program headers\nunable to load elf file text.txt\n"},
      {"odd.elf",
       "before swap 0x2 machine 0x8 order 0x9 host 0x1\n"
       "invalid elf header 0x200 expected 0x2\nunable to load elf file odd.elf\n"},
      {"dir", "unable to read elf header\nunable to load elf file dir\n"},
      {"in.elf/x", "unable to open in.elf/x\nunable to load elf file in.elf/x\n"},
      {"", "unable to open \nunable to load elf file \n"},
  };
  const auto before = listDir(ws.dir.path);
  for (const Probe& p : probes) {
    Outcome r = ws({"-r", "-R", "-H", "-l", "-f", p.path});
    EXPECT_EQ(r.err, p.err) << p.path;
    EXPECT_EQ(r.status, 1) << p.path;
    EXPECT_EQ(r.out, "") << p.path;
    EXPECT_EQ(listDir(ws.dir.path), before) << p.path;
  }
}

// Inputs the fuzzer found, kept in its corpus, with what the tool must say.
TEST(FuzzFindings, HugeDataRoomBeforeAShortReadFailsFast) {
  // A further data segment near the top of the address space stretches the
  // data image to almost 4 GiB with one file byte, then a segment's 16 MiB
  // of file bytes are missing: found as a time-out when the data buffer
  // held whole declared rooms.
  TempDir dir;
  Outcome r = run({"-f", ROMWRIGHT_CORPUS "/regress-huge-data-room-then-short-read.elf", "-l"},
                 {.cwd = dir.path});
  EXPECT_TRUE(r.err.ends_with("unable to read segment 2\nunable to load elf file " ROMWRIGHT_CORPUS
                              "/regress-huge-data-room-then-short-read.elf\n"))
      << r.err;
  EXPECT_EQ(r.status, 1);
}
