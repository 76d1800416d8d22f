// The loader, on fixtures described as data and built for both byte orders.
#include <gtest/gtest.h>

#include <algorithm>

#include "read/elf.hpp"
#include "elf_fixture.hpp"

using namespace fixture;

namespace {

struct Loaded {
  OwnedImage img;
  std::string err;  // everything the load wrote to standard error
  std::string last; // the last line of it
};

Loaded loadFile(const std::filesystem::path& path) {
  testing::internal::CaptureStderr();
  OwnedImage img(elfRead(path.c_str()));
  std::string err = testing::internal::GetCapturedStderr();
  std::string last = err;
  if (size_t nl = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0); nl != std::string::npos) {
    last = err.substr(nl + 1);
  }
  return {std::move(img), err, last};
}

Loaded load(Order o, std::vector<Seg> segs, const Header& h = {}) {
  TempDir dir;
  writeFile(dir.path / "in.elf", build(o, segs, h));
  return loadFile(dir.path / "in.elf");
}


int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) n++;
  return n;
}

class ElfLoad : public testing::TestWithParam<Order> {};

INSTANTIATE_TEST_SUITE_P(ByteOrders, ElfLoad, testing::Values(Order::Little, Order::Big),
                         [](const auto& p) { return std::string(name(p.param)); });

}  // namespace

// The builder and the loader must not share a bug: pin one build of each
// order against bytes written out by hand.
TEST(ElfFixture, BuildsHandWrittenBytesForBothOrders) {
  const Seg seg = text(0x100, {0xaa, 0xbb});
  const Header h{.entry = 0x104};
  const std::vector<uint8_t> little = {
      0x7f, 'E', 'L', 'F', 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // ident
      2, 0, 8, 0, 1, 0, 0, 0,                                    // type, machine, version
      0x04, 0x01, 0, 0, 52, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // entry, phoff, shoff, flags
      52, 0, 32, 0, 1, 0, 0, 0, 0, 0, 0, 0,                      // sizes and counts
      1, 0, 0, 0, 84, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0,           // type offset vaddr paddr
      2, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 4, 0, 0, 0,            // filesz memsz flags align
      0xaa, 0xbb};
  const std::vector<uint8_t> big = {
      0x7f, 'E', 'L', 'F', 1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 2, 0, 8, 0, 0, 0, 1,
      0, 0, 0x01, 0x04, 0, 0, 0, 52, 0, 0, 0, 0, 0, 0, 0, 0,
      0, 52, 0, 32, 0, 1, 0, 0, 0, 0, 0, 0,
      0, 0, 0, 1, 0, 0, 0, 84, 0, 0, 1, 0, 0, 0, 1, 0,
      0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 5, 0, 0, 0, 4,
      0xaa, 0xbb};
  EXPECT_EQ(build(Order::Little, {&seg, 1}, h), little);
  EXPECT_EQ(build(Order::Big, {&seg, 1}, h), big);
}

TEST(ElfLoad, DiagnosticLinesShowTheHeaderAsReadThenTheTableSize) {
  const std::vector<Seg> segs = {text(0x100, counting(8)), data(0x200, counting(4))};
  EXPECT_EQ(load(Order::Little, segs).err,
            "before swap 0x2 machine 0x8 order 0x1 host 0x1\nsz 0x40 = 0x2 * 0x20\n");
  // Big-endian fields read on this little-endian host look byte-reversed.
  EXPECT_EQ(load(Order::Big, segs).err,
            "before swap 0x200 machine 0x800 order 0x2 host 0x1\nsz 0x40 = 0x2 * 0x20\n");
  EXPECT_EQ(hostorder(), ELFDATA2LSB);
}

TEST_P(ElfLoad, LoadsOneTextSegmentWithEntryAndFileOrderBytes) {
  Loaded l = load(GetParam(), {text(0x1000, {1, 2, 3, 4, 5, 6}, 0x40)}, {.entry = 0x1004});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textAddr, 0x1000u);
  EXPECT_EQ(l.img->textLen, 6u);  // a first text segment ends after its file bytes
  EXPECT_EQ(l.img->entryAddr, 0x1004u);
  EXPECT_EQ(bytesOf(l.img->textBytes(), 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(l.img->data.empty());
  EXPECT_EQ(l.img->dataLen | l.img->dataAddr | l.img->bssAddr | l.img->bssLen, 0u);
}

TEST_P(ElfLoad, MergesTextSegmentsWithZeroedHoleAndOneWarningEach) {
  Loaded l = load(GetParam(), {text(0x100, counting(0x10)), text(0x200, counting(8, 0x80)),
                               text(0x208, counting(4, 0x90))});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(count(l.err, "Warning: multiple text segments...\n"), 2);
  EXPECT_EQ(l.img->textLen, 0x10Cu);
  std::vector<uint8_t> want(0x10C, 0);
  for (int i = 0; i < 0x10; i++) want[i] = static_cast<uint8_t>(1 + i);
  for (int i = 0; i < 8; i++) want[0x100 + i] = static_cast<uint8_t>(0x80 + i);
  for (int i = 0; i < 4; i++) want[0x108 + i] = static_cast<uint8_t>(0x90 + i);
  EXPECT_EQ(bytesOf(l.img->textBytes(), 0x10C), want);
}

TEST_P(ElfLoad, MergesDataSegmentsWithZeroedHole) {
  Loaded l = load(GetParam(), {data(0x2000, {1, 2}), data(0x2010, {3, 4})});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.err.find("Warning"), std::string::npos);
  EXPECT_EQ(l.img->dataAddr, 0x2000u);
  EXPECT_EQ(l.img->dataLen, 0x12u);
  std::vector<uint8_t> want(0x12, 0);
  want[0] = 1, want[1] = 2, want[0x10] = 3, want[0x11] = 4;
  EXPECT_EQ(bytesOf(l.img->dataBytes(), 0x12), want);
}

TEST_P(ElfLoad, FurtherTextAfterAnyDataSegmentFails) {
  struct Case {
    const char* what;
    std::vector<Seg> segs;
    bool loads;
  };
  const Case cases[] = {
      {"text, data, text", {text(0x100, {1}), data(0x800, {1}), text(0x200, {1})}, false},
      {"data, text, text", {data(0x800, {1}), text(0x100, {1}), text(0x200, {1})}, false},
      {"data before the only text", {data(0x800, {1}), text(0x100, {1})}, true},
  };
  for (const Case& c : cases) {
    Loaded l = load(GetParam(), c.segs);
    EXPECT_EQ(l.img != nullptr, c.loads) << c.what;
    if (!c.loads) {
      EXPECT_EQ(l.last, "Mult text with intermediate Data!!!\n") << c.what;
      EXPECT_EQ(l.err.find("Warning"), std::string::npos) << c.what;
    }
  }
}

TEST_P(ElfLoad, TrimsTheDataZeroTailIntoBss) {
  std::vector<uint8_t> bytes = counting(0x20);
  std::fill(bytes.end() - 4, bytes.end(), 0);
  Loaded l = load(GetParam(), {text(0x100, {1}), data(0x4000, bytes, 0x100)});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->dataLen, 0x1Cu);
  EXPECT_EQ(l.img->bssAddr, 0x401Cu);
  EXPECT_EQ(l.img->bssLen, 0xE4u);
}

TEST_P(ElfLoad, DataOfZerosOnlyBecomesBss) {
  for (const Seg& seg : {data(0x4000, std::vector<uint8_t>(8, 0), 0x30), data(0x4000, {}, 0x30)}) {
    Loaded l = load(GetParam(), {seg});
    ASSERT_NE(l.img, nullptr) << l.err;
    EXPECT_EQ(l.img->dataLen, 0u);
    EXPECT_EQ(l.img->bssAddr, 0x4000u);
    EXPECT_EQ(l.img->bssLen, 0x30u);
  }
}

TEST_P(ElfLoad, NoExecutableSegmentLeavesTextEmpty) {
  Loaded l = load(GetParam(), {data(0x4000, {7})}, {.entry = 0x4000});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_TRUE(l.img->text.empty());
  EXPECT_EQ(l.img->textAddr, 0u);
  EXPECT_EQ(l.img->textLen, 0u);
  EXPECT_EQ(l.img->dataLen, 1u);
}

TEST_P(ElfLoad, IgnoresEntriesThatAreNotLoadableOrEmpty) {
  Seg note = text(0x50, {9, 9, 9, 9});
  note.type = PT_NOTE;
  Seg stack = data(0, {});
  stack.type = PT_GNU_STACK;
  Loaded l = load(GetParam(), {note, text(0x80, {}, 0), stack, text(0x100, {1, 2})});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textAddr, 0x100u);
  EXPECT_EQ(l.img->textLen, 2u);
  EXPECT_EQ(l.err.find("Warning"), std::string::npos);
}

TEST_P(ElfLoad, OverlappingSegmentNeverShrinksTheImage) {
  // 0x40 bytes at 0x100, then 8 at 0x110: the image keeps its 0x40 bytes and
  // the second segment's bytes replace the ones in its room.
  Loaded l = load(GetParam(), {text(0x100, counting(0x40)), text(0x110, counting(8, 0xc0))});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textLen, 0x40u);
  std::vector<uint8_t> want = counting(0x40);
  for (int i = 0; i < 8; i++) want[0x10 + i] = static_cast<uint8_t>(0xc0 + i);
  EXPECT_EQ(bytesOf(l.img->textBytes(), 0x40), want);
}

TEST_P(ElfLoad, OverlappingRoomZeroesWhatWasThereAfterItsFileBytes) {
  // Data 0x10 bytes at 0x1000, then 2 file bytes in a room of 8 at 0x1004.
  Loaded l = load(GetParam(), {data(0x1000, counting(0x10)), data(0x1004, {0xee, 0xff}, 8)});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->dataLen, 0x10u);
  std::vector<uint8_t> want = counting(0x10);
  want[4] = 0xee, want[5] = 0xff;
  std::fill(want.begin() + 6, want.begin() + 12, 0);
  EXPECT_EQ(bytesOf(l.img->dataBytes(), 0x10), want);
}

TEST_P(ElfLoad, RoomOverSeveralSegmentsZeroesJustItsSpanAndLaterGrowthKeepsTheRest) {
  // Three segments, then a room over the tail of the first, all of the
  // second and the head of the third; then a byte far above grows the image.
  for (auto kind : {data, text}) {
    Loaded l = load(GetParam(), {kind(0x1000, counting(4), {}), kind(0x1008, counting(4, 0x10), {}),
                                 kind(0x1010, counting(4, 0x20), {}),
                                 kind(0x1002, {0xaa}, 0x10), kind(0x3000, {0}, {})});
    ASSERT_NE(l.img, nullptr) << l.err;
    std::vector<uint8_t> want(0x2001, 0);
    want[0] = 1, want[1] = 2, want[2] = 0xaa, want[0x12] = 0x22, want[0x13] = 0x23;
    if (kind == text) {
      EXPECT_EQ(l.img->textLen, 0x2001u);
      EXPECT_EQ(bytesOf(l.img->textBytes(), 0x2001), want);
    } else {
      // The zero byte at the top and the room's zeros go to bss.
      EXPECT_EQ(l.img->dataLen, 0x14u);
      EXPECT_EQ(l.img->bssAddr, 0x1014u);
      EXPECT_EQ(l.img->bssLen, 0x1FEDu);
      want.resize(0x14);
      EXPECT_EQ(bytesOf(l.img->dataBytes(), 0x14), want);
    }
  }
}

// Inputs whose address span dwarfs their file bytes (also fuzzing seeds).
// Each once took seconds to hours and gigabytes, zeroing, copying or
// scanning the whole span; the suite's time guards that the work now follows
// the file bytes. The images stay what they were.
TEST_P(ElfLoad, SpanInputsLoadTheSameImageWithoutWalkingTheSpan) {
  struct Want {
    const char* name;
    bool isText;
    uint32_t len;                                    // of the text or data image
    uint32_t bssLen;                                 // its zero tail
    std::vector<std::pair<uint32_t, uint8_t>> at;    // image offset, byte
  };
  std::vector<std::pair<uint32_t, uint8_t>> farBytes;
  for (uint32_t i = 0; i < 0xFFFF; i++) {
    farBytes.emplace_back(i << 16, static_cast<uint8_t>(i * 7));
    farBytes.emplace_back((i << 16) + 1, 0);
  }
  farBytes.pop_back();  // past the image
  const std::vector<std::pair<uint32_t, uint8_t>> ends = {{0, 0}, {0xFFFFFF00, 0x22}};
  const std::vector<std::pair<uint32_t, uint8_t>> three = {
      {0, 0x11}, {1, 0}, {0x7FFFFFFF, 0x22}, {0xFFFFFF00, 0x33}};
  const Want wants[] = {
      {"zero-room", false, 0xFFFFFF01, 0, ends},
      {"zero-rooms-65535", false, 0xFFFFFF01, 0, ends},
      {"text-zero-room", true, 0xFFFFFF01, 0, ends},
      {"zero-tail", false, 1, 0xFFFFFF00, {{0, 0x11}}},
      {"grow-copy", false, 0xFFFFFF01, 0, three},
      {"text-grow-copy", true, 0xFFFFFF01, 0, three},
      {"far-bytes-65535", false, 0xFFFE0001, 0, farBytes},
      {"far-text-65535", true, 0xFFFE0001, 0, farBytes},
  };
  const std::vector<Named> inputs = spanInputs(0xFFFF);
  ASSERT_EQ(inputs.size(), std::size(wants));
  for (const Named& in : inputs) {
    const Want* w = std::find_if(std::begin(wants), std::end(wants),
                                 [&in](const Want& x) { return x.name == in.name; });
    ASSERT_NE(w, std::end(wants)) << in.name;
    Loaded l = load(GetParam(), in.segs);
    ASSERT_NE(l.img, nullptr) << in.name << "\n" << l.err;
    const elfImage& img = *l.img;
    EXPECT_EQ(count(l.err, "Warning"), w->isText ? static_cast<int>(in.segs.size()) - 1 : 0);
    EXPECT_EQ(w->isText ? img.textLen : img.dataLen, w->len) << in.name;
    EXPECT_EQ(w->isText ? img.dataLen : img.textLen, 0u) << in.name;
    EXPECT_EQ(img.textAddr | img.dataAddr, 0u) << in.name;
    EXPECT_EQ(img.bssLen, w->bssLen) << in.name;
    EXPECT_EQ(img.bssAddr, w->bssLen != 0 ? w->len : 0) << in.name;
    const byteSource bytes = w->isText ? img.textBytes() : img.dataBytes();
    for (const auto& [off, byte] : w->at) {
      uint8_t b = 0;
      bytes.read(off, 1, &b);
      ASSERT_EQ(b, byte) << in.name << " at 0x" << std::hex << off;
    }
  }
}

TEST_P(ElfLoad, FirstTextWithoutFileBytesGivesAnEmptyTextImage) {
  Loaded l = load(GetParam(), {text(0x300, {}, 0x40)});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textLen, 0u);
  EXPECT_EQ(l.img->textAddr, 0x300u);
}

TEST_P(ElfLoad, AcceptsSegmentsUpToTheTopOfTheAddressSpace) {
  Loaded l = load(GetParam(), {text(0xFFFFFFF0, counting(0x10))});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textLen, 0x10u);
  // An image from address 0 may reach 2^32 - 1 bytes, no further.
  l = load(GetParam(), {data(0, {1}), data(0xFFFFFFF0, {2}, 0xF)});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->dataLen, 0xFFFFFFF1u);
}

TEST_P(ElfLoad, SegmentFileRangeBoundaries) {
  // 8 bytes in the file: a segment ending exactly at the end of the file
  // loads; one byte more, or an offset that wraps, does not.
  const Header cut{.truncate = 52 + 32 + 8};
  Seg exact = text(0x100, counting(8));
  Seg onePast = exact;
  onePast.filesz = 9;
  onePast.memsz = 9;
  Seg wraps = exact;
  wraps.offset = 0xFFFFFFFC;
  wraps.bytes.clear();
  wraps.filesz = 8;
  EXPECT_NE(load(GetParam(), {exact}, cut).img, nullptr);
  for (const Seg& s : {onePast, wraps}) {
    Loaded l = load(GetParam(), {s}, cut);
    EXPECT_EQ(l.img, nullptr);
    EXPECT_EQ(l.last, "unable to read segment 0\n");
  }
}

TEST(ElfLoad, UnknownDataEncodingIsSwappedLikeBigEndian) {
  // Any encoding byte other than the host's means "swap".
  Loaded l = load(Order::Big, {text(0x100, {1, 2, 3, 4})}, {.dataByte = 7});
  ASSERT_NE(l.img, nullptr) << l.err;
  EXPECT_EQ(l.img->textAddr, 0x100u);
  EXPECT_EQ(l.err.substr(0, l.err.find('\n')), "before swap 0x200 machine 0x800 order 0x7 host 0x1");
}

// Every way a load fails, with the last line it writes.
TEST_P(ElfLoad, RefusesMalformedInputWithItsMessage) {
  struct Case {
    const char* what;
    std::vector<Seg> segs;
    Header h;
    const char* last;
  };
  const std::vector<uint8_t> four = counting(4);
  const Case cases[] = {
      {"truncated header", {text(0, four)}, {.truncate = 51}, "unable to read elf header\n"},
      {"relocatable object", {text(0, four)}, {.type = ET_REL},
       "invalid elf header 0x1 expected 0x2\n"},
      {"shared object", {text(0, four)}, {.type = ET_DYN}, "invalid elf header 0x3 expected 0x2\n"},
      {"no program headers", {}, {}, "unable to read program headers\n"},
      {"table offset past the end", {text(0, four)}, {.phoff = 0x10000, .truncate = 0x1000},
       "unable to read program headers\n"},
      {"table cut short", {text(0, four)}, {.truncate = 52 + 31}, "unable to read program headers\n"},
      {"entry size 16", {text(0, four)}, {.phentsize = 16}, "mismatch in elf prg headers\n"},
      {"entry size 64", {text(0, four)}, {.phentsize = 64}, "mismatch in elf prg headers\n"},
      {"entry size 64 past the end", {text(0, four)}, {.phentsize = 64, .truncate = 52 + 40},
       "unable to read program headers\n"},
      {"file size above memory size", {text(0, four), data(0x100, four, 3)}, {},
       "segment 1 file size 0x4 exceeds memory size 0x3\n"},
      {"room wrapping the address space", {text(0xFFFFFFFC, four, 8)}, {},
       "segment 0 exceeds the 32-bit address space\n"},
      {"image of 2^32 bytes", {data(0, {1}), data(0xFFFFFFF0, {1}, 0x10)}, {},
       "segment 1 exceeds the 32-bit address space\n"},
      {"text below the text image", {text(0x200, four), text(0x100, four)}, {},
       "segment 1 out of address order\n"},
      {"data below the data image", {data(0x200, four), data(0x1FF, four)}, {},
       "segment 1 out of address order\n"},
      {"mixed text order is checked first", {text(0x200, four), data(0x800, four), text(0x100, four)},
       {}, "Mult text with intermediate Data!!!\n"},
      {"file bytes past the end", {text(0, four)}, {.truncate = 52 + 32 + 3},
       "unable to read segment 0\n"},
  };
  for (const Case& c : cases) {
    Loaded l = load(GetParam(), c.segs, c.h);
    EXPECT_EQ(l.img, nullptr) << c.what;
    EXPECT_EQ(l.last, c.last) << c.what << "\nall of it:\n" << l.err;
    EXPECT_EQ(l.err.find("Warning"), std::string::npos) << c.what;
  }
}

TEST(ElfLoad, UnopenablePathSaysSo) {
  Loaded l = loadFile("/nonexistent/x.elf");
  EXPECT_EQ(l.img, nullptr);
  EXPECT_EQ(l.err, "unable to open /nonexistent/x.elf\n");
}

TEST(ElfLoad, DumpImageWritesTheLayout) {
  elfImage img{};
  img.textAddr = 0x100, img.textLen = 0x20, img.dataAddr = 0x800, img.dataLen = 4;
  img.bssAddr = 0x804, img.bssLen = 0x1c, img.entryAddr = 0x104;
  testing::internal::CaptureStdout();
  dumpImage(img);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "text 0x00000100:0x00000020\ndata 0x00000800:0x00000004\n"
            "bss  0x00000804:0x0000001c\nentry 0x104\n");
}

TEST(ElfLoad, SwapsReverseEveryMultiByteField) {
  EXPECT_EQ(swap16(0x1234), 0x3412);
  EXPECT_EQ(swap32(0x12345678u), 0x78563412u);
  Elf32_Phdr p{1, 2, 3, 4, 5, 6, 7, 8};
  swapPh(&p);
  EXPECT_EQ(p.p_type, 0x01000000u);
  EXPECT_EQ(p.p_align, 0x08000000u);
}
