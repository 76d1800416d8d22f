// Real executables built by cross toolchains (testdata/rebuild.sh), checked
// against what those toolchains' own objcopy and readelf say of them.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "read/elf.hpp"
#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

std::string readText(const fs::path& p) {
  std::vector<uint8_t> b = readFile(p);
  return {b.begin(), b.end()};
}

// What readelf -h -l printed: the entry and the loadable segments.
struct Load {
  uint32_t vaddr, filesz, memsz;
  bool exec;
};
struct Readelf {
  uint32_t entry = 0;
  std::vector<Load> loads;
};

Readelf readelf(const std::string& name) {
  Readelf r;
  std::istringstream in(readText(testdata / (name + ".readelf.txt")));
  const std::regex entry(R"(Entry point address:\s+0x([0-9a-f]+))");
  const std::regex load(
      R"(^\s+LOAD\s+0x[0-9a-f]+ 0x([0-9a-f]+) 0x[0-9a-f]+ 0x([0-9a-f]+) 0x([0-9a-f]+) (.{3}) )");
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, m, entry)) r.entry = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
    if (std::regex_search(line, m, load)) {
      r.loads.push_back({static_cast<uint32_t>(std::stoul(m[1], nullptr, 16)),
                         static_cast<uint32_t>(std::stoul(m[2], nullptr, 16)),
                         static_cast<uint32_t>(std::stoul(m[3], nullptr, 16)),
                         m[4].str().find('E') != std::string::npos});
    }
  }
  return r;
}

// The bytes of a "rom.c": every 0xNN initialiser in order.
std::vector<uint8_t> cBytes(const std::string& src) {
  std::vector<uint8_t> out;
  const std::regex byte("0x([0-9a-f]{2})[,\n]");
  for (auto it = std::sregex_iterator(src.begin(), src.end(), byte); it != std::sregex_iterator(); ++it) {
    out.push_back(static_cast<uint8_t>(std::stoul((*it)[1], nullptr, 16)));
  }
  return out;
}

class RealExecutable : public testing::TestWithParam<std::string> {};

INSTANTIATE_TEST_SUITE_P(CrossBuilt, RealExecutable,
                         testing::Values("blink-mips", "counter-mips", "late_entry-mips",
                                         "blink-arm", "counter-arm", "late_entry-arm"),
                         [](const auto& p) {
                           std::string n = p.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace

TEST_P(RealExecutable, ImageMatchesObjcopyAndReadelf) {
  const std::string name = GetParam();
  const Readelf want = readelf(name);
  testing::internal::CaptureStderr();
  OwnedImage img(elfRead((testdata / (name + ".elf")).c_str()));
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(img, nullptr) << err;

  const std::vector<uint8_t> text = readFile(testdata / (name + ".text.bin"));
  EXPECT_EQ(bytesOf(img->textBytes(), img->textLen), text);
  EXPECT_EQ(img->entryAddr, want.entry);
  for (const Load& l : want.loads) {
    if (l.exec) {
      EXPECT_EQ(img->textAddr, l.vaddr);
      EXPECT_EQ(img->textLen, l.filesz);
    } else {
      // The data image up to its trimmed length is objcopy's .data; what it
      // trimmed is zero, and the trim plus the bss room is the whole room.
      const std::vector<uint8_t> data = readFile(testdata / (name + ".data.bin"));
      EXPECT_EQ(img->dataAddr, l.vaddr);
      EXPECT_EQ(img->dataLen + img->bssLen, l.memsz);
      ASSERT_LE(img->dataLen, data.size());
      EXPECT_EQ(bytesOf(img->dataBytes(), img->dataLen),
                std::vector<uint8_t>(data.begin(), data.begin() + img->dataLen));
      EXPECT_TRUE(std::all_of(data.begin() + img->dataLen, data.end(), [](uint8_t b) { return b == 0; }));
      EXPECT_EQ(img->bssAddr, img->dataAddr + img->dataLen);
    }
  }
}

TEST_P(RealExecutable, OutputsCarryObjcopysBytes) {
  const std::string name = GetParam();
  const std::vector<uint8_t> text = readFile(testdata / (name + ".text.bin"));
  const std::string words = readText(testdata / (name + ".text.words"));
  TempDir dir;
  Outcome r = run({"-f", (testdata / (name + ".elf")).string(), "-r", "-R", "-H"}, {.cwd = dir.path});
  if (name.starts_with("counter")) {
    // The fixed outputs' refusal, then what writes such a program.
    EXPECT_TRUE(r.err.ends_with("Has a data segment!\n" + testdata.string() + "/" + name +
                                ".elf has a data segment; -H, -r and -R take a program of text alone (--format "
                                "writes images of programs with data)\n"))
        << r.err;
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(listDir(dir.path).empty());
    return;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  // The listing's word lines are xxd -p -c4 of objcopy's bytes.
  ASSERT_TRUE(r.out.starts_with(words));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 512);
  EXPECT_EQ(cBytes(readText(dir.path / "rom.c")), text);
  const std::vector<uint8_t> rom = readFile(dir.path / "tolvek.rom");
  ASSERT_EQ(rom.size(), 0x100000u);
  EXPECT_EQ(std::vector<uint8_t>(rom.begin(), rom.begin() + text.size()), text);
}

TEST_P(RealExecutable, ReportsMatchReadelf) {
  const std::string name = GetParam();
  const Readelf want = readelf(name);
  TempDir dir;
  Outcome r = run({"-f", (testdata / (name + ".elf")).string(), "-l", "-t", "-e"}, {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  // The length runs from the text address to the end of the data that
  // objcopy's .data holds up to its last nonzero byte, or is the text's size.
  uint32_t textAddr = 0, len = 0;
  for (const Load& l : want.loads) {
    if (l.exec) textAddr = l.vaddr, len = l.filesz;
  }
  for (const Load& l : want.loads) {
    if (l.exec) continue;
    const std::vector<uint8_t> data = readFile(testdata / (name + ".data.bin"));
    const auto lastNonzero = std::find_if(data.rbegin(), data.rend(), [](uint8_t b) { return b != 0; });
    len = l.vaddr + static_cast<uint32_t>(data.rend() - lastNonzero) - textAddr;
  }
  char buf[160];
  snprintf(buf, sizeof buf, "len %d\ntext %d 0x%08x\nentry %d 0x%08x\n", static_cast<int32_t>(len),
           static_cast<int32_t>(textAddr), textAddr, static_cast<int32_t>(want.entry), want.entry);
  EXPECT_EQ(r.out, buf);
}
