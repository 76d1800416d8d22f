// The library's C++ face, in memory: executables described as data and given
// as bytes, memory images rendered into vectors, errors tested by kind.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "elf_fixture.hpp"
#include "romwright/romwright.hpp"

using namespace fixture;
namespace rw = romwright;

namespace {

// A little-endian executable: 8 text bytes at 0x100, 4 data bytes stored
// after them (load address 0x108) that run at 0x2000, entry 0x104.
std::vector<uint8_t> program(Order order = Order::Little) {
  std::vector<Seg> segs = {text(0x100, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}),
                           data(0x2000, {0xa1, 0xa2, 0xa3, 0xa4}, 8)};
  segs[1].paddr = 0x108;
  return build(order, segs, {.entry = 0x104});
}

rw::Options withProgram(std::initializer_list<std::pair<std::string, std::string>> pairs,
                        Order order = Order::Little) {
  rw::Options o(pairs);
  o.input_bytes(program(order), "fw.elf");
  return o;
}

std::string text(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace

TEST(Library, ReadsTheSegmentsOfAnExecutable) {
  for (Order order : {Order::Little, Order::Big}) {
    const std::vector<uint8_t> bytes = program(order);
    const rw::Result<rw::Image> img = rw::read(bytes, "fw.elf");
    ASSERT_TRUE(img) << img.error().message;
    EXPECT_EQ(img->entry, 0x104u);
    EXPECT_TRUE(img->has_entry);
    EXPECT_EQ(img->byte_order, order == Order::Little ? rw::ByteOrder::little : rw::ByteOrder::big);
    ASSERT_EQ(img->segments.size(), 2u);
    EXPECT_EQ(img->segments[0].address, 0x100u);
    EXPECT_EQ(img->segments[0].bytes, (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}));
    EXPECT_EQ(img->segments[1].address, 0x108u);
    EXPECT_EQ(img->segments[1].run_address, 0x2000u);
    EXPECT_EQ(img->segments[1].size, 8u);
    EXPECT_EQ(img->segments[1].bytes.size(), 4u);
  }
}

TEST(Library, ReadsIntelHexGivenAsBytes) {
  const std::string hex = ":0400100001020304E2\n:00000001FF\n";
  const rw::Result<rw::Image> img = rw::read({reinterpret_cast<const uint8_t*>(hex.data()), hex.size()}, "x.hex");
  ASSERT_TRUE(img) << img.error().message;
  ASSERT_EQ(img->segments.size(), 1u);
  EXPECT_EQ(img->segments[0].address, 0x10u);
  EXPECT_EQ(img->segments[0].bytes, (std::vector<uint8_t>{1, 2, 3, 4}));
}

// What render gives is the command line's file: here written out by hand.
TEST(Library, RendersTheFileTheCommandLineWrites) {
  struct Case {
    rw::Options options;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {withProgram({{"format", "vmem"}, {"region", "0x100:16"}}),
       "44332211\n88776655\na4a3a2a1\n00000000\n"},
      {withProgram({{"format", "vmem"}, {"region", "0x100:16"}}, Order::Big),
       "11223344\n55667788\na1a2a3a4\n00000000\n"},
      {withProgram({{"format", "vmem"}, {"region", "0x100:16"}, {"lanes", "2"}, {"lane", "1"}}),
       "4433\n8877\na4a3\n0000\n"},
      {withProgram({{"format", "vmem"}, {"region", "0x100:16"}, {"width", "16"}, {"byte-order", "big"},
                    {"fill", "0xff"}}),
       "1122\n3344\n5566\n7788\na1a2\na3a4\nffff\nffff\n"},
      {withProgram({{"format", "bin"}, {"addresses", "run"}, {"region", "0x2000:8"}}),
       std::string("\xa1\xa2\xa3\xa4\0\0\0\0", 8)},
  };
  for (const Case& c : cases) {
    const rw::Result<std::vector<uint8_t>> out = rw::render(c.options);
    ASSERT_TRUE(out) << out.error().message;
    EXPECT_EQ(text(*out), c.expected);
  }
}

TEST(Library, PicksOneMemoryAndBankOfSeveral) {
  const rw::Options flash =
      withProgram({{"memory", "flash:0x100:16,format=vmem"}, {"memory", "ram:0x2000:8,format=vmem,addresses=run"},
                   {"allow-unplaced", ""}, {"select", "ram"}});
  const rw::Result<std::vector<uint64_t>> words = rw::words(flash);
  ASSERT_TRUE(words) << words.error().message;
  EXPECT_EQ(*words, (std::vector<uint64_t>{0xa4a3a2a1, 0}));

  const rw::Result<std::vector<uint64_t>> bank =
      rw::words(withProgram({{"format", "vmem"}, {"memory", "rom:0x100:16,banks=2"}, {"bank", "1"}}));
  ASSERT_TRUE(bank) << bank.error().message;
  EXPECT_EQ(*bank, (std::vector<uint64_t>{0xa4a3a2a1, 0}));
}

TEST(Library, FailuresHaveAKindASubjectAndTheSystemsReason) {
  struct Case {
    rw::Options options;
    rw::ErrorKind kind;
    std::string subject;
    std::string message;
    int errnum;
  };
  const std::vector<Case> cases = {
      {withProgram({{"format", "vmem"}, {"widht", "8"}}), rw::ErrorKind::bad_argument, "--widht",
       "unrecognized option '--widht'\n", 0},
      {withProgram({{"format", "vmem"}, {"width", "12"}}), rw::ErrorKind::bad_argument, "--width",
       "--width=12: not a word width: a multiple of 8 from 8 to 1024\n", 0},
      {rw::Options{{"input", "/nonexistent/fw.elf"}, {"format", "bin"}}, rw::ErrorKind::unreadable,
       "/nonexistent/fw.elf", "unable to open /nonexistent/fw.elf: No such file or directory\n", ENOENT},
      {withProgram({{"format", "vmem"}, {"region", "0x100:4"}}), rw::ErrorKind::layout, "", "", 0},
      {withProgram({{"format", "vmem"}, {"lanes", "2"}, {"lane", "2"}}), rw::ErrorKind::bad_argument, "lane",
       "lane=2: the memory has 2 lanes\n", 0},
      {withProgram({{"memory", "a:0x100:8,format=bin"}, {"memory", "b:0x108:8,format=bin"},
                    {"allow-unplaced", "yes"}}),
       rw::ErrorKind::bad_argument, "select", "2 memories: pick one with select=NAME\n", 0},
  };
  for (const Case& c : cases) {
    const rw::Result<std::vector<uint8_t>> out = rw::render(c.options);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, c.kind) << out.error().message;
    EXPECT_EQ(out.error().subject, c.subject) << out.error().message;
    if (!c.message.empty()) {
      EXPECT_EQ(out.error().message, c.message);
    }
    EXPECT_EQ(out.error().errnum, c.errnum) << out.error().message;
  }
  std::vector<uint8_t> garbage = {'n', 'o', 't', ' ', 'E', 'L', 'F'};
  rw::Options o{{"format", "bin"}};
  o.input_bytes(garbage, "junk");
  const rw::Result<std::vector<uint8_t>> junk = rw::render(o);
  ASSERT_FALSE(junk);
  EXPECT_EQ(junk.error().kind, rw::ErrorKind::malformed) << junk.error().message;
  EXPECT_EQ(junk.error().subject, "junk");
}

TEST(Library, WordsWiderThan64BitsComeThroughRender) {
  const rw::Result<std::vector<uint64_t>> w = rw::words(withProgram({{"format", "vmem"}, {"width", "128"}}));
  ASSERT_FALSE(w);
  EXPECT_EQ(w.error().kind, rw::ErrorKind::bad_argument);
  const rw::Result<std::vector<uint8_t>> r = rw::render(withProgram({{"format", "vmem"}, {"width", "128"}}));
  ASSERT_TRUE(r) << r.error().message;
  EXPECT_EQ(text(*r), "00000000a4a3a2a18877665544332211\n");
}

// Independent calls in several threads at once each give their own result.
TEST(Library, CallsInSeveralThreadsGiveTheirOwnResults) {
  const std::vector<std::string> formats = {"vmem", "ihex", "srec", "mif", "coe", "c", "bin", "uf2"};
  std::vector<std::vector<uint8_t>> alone;
  for (const std::string& f : formats) {
    const rw::Result<std::vector<uint8_t>> r = rw::render(withProgram({{"format", f}, {"region", "0x100:256"}}));
    ASSERT_TRUE(r) << r.error().message;
    alone.push_back(*r);
  }
  std::vector<std::vector<uint8_t>> together(formats.size() * 4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < together.size(); t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; round++) {
        const rw::Result<std::vector<uint8_t>> r =
            rw::render(withProgram({{"format", formats[t % formats.size()]}, {"region", "0x100:256"}}));
        if (r) together[t] = *r;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t t = 0; t < together.size(); t++) EXPECT_EQ(together[t], alone[t % formats.size()]) << t;
}
