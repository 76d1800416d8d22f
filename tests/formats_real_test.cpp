// Intel HEX and S-records as objcopy writes them, line endings, TI-TXT,
// DFU and DfuSe files and sparse UF2, through the built binary and read
// back by real programs: objcopy, srec_cat and srec_info (srecord),
// dfu-suffix and dfuse-pack (dfu-util) and the npm package uf2.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

std::string elf(const char* name) { return (testdata / (std::string(name) + ".elf")).string(); }

// The four executables whose records are compared with objcopy's: at 0
// (RISC-V, entry 0), in flash above 1 MiB (ARM, entry 0x08000045), in a
// MIPS boot ROM and in 64-bit RISC-V.
constexpr const char* fourElfs[] = {"romcopy-riscv", "romcopy-arm", "romcopy-mips", "romcopy-rv64"};

std::string withoutCr(std::string s) {
  std::erase(s, '\r');
  return s;
}

// The value of the line "KEY:\tVALUE" that dfu-suffix -c prints.
std::string suffixField(const std::string& out, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(key + ":\\s*(\\S+)"))) return "?";
  return m[1];
}

}  // namespace

// With --section=* the records break where objcopy's do, at each section;
// with --line-ending=crlf the files are objcopy's byte for byte: 02 records
// below 1 MiB, 04 above, a start record only for a start address that is
// not 0, S0 holding the output file's name as given. Without it, the same
// lines end in LF.
TEST(ObjcopyText, RecordsOfFourExecutablesAreObjcopysByteForByte) {
  for (const char* name : fourElfs) {
    SCOPED_TRACE(name);
    TempDir dir;
    for (const char* format : {"ihex", "srec"}) {
      const std::string file = std::string("out.") + format;
      ASSERT_SH(dir.path, std::string("objcopy -O ") + format + " " + elf(name) + " " + file + " && mv " + file +
                              " objcopy." + format);
      tool(dir.path, {"-f", elf(name), std::string("--format=") + format, "--section=*", "--line-ending=crlf",
                      "--output=" + file});
      EXPECT_EQ(slurp(dir.path / file), slurp(dir.path / ("objcopy." + std::string(format)))) << format;
      tool(dir.path, {"-f", elf(name), std::string("--format=") + format, "--section=*", "--output=" + file});
      EXPECT_EQ(slurp(dir.path / file), withoutCr(slurp(dir.path / ("objcopy." + std::string(format))))) << format;
    }
  }
}

// Bytes at addresses below and across 64 KiB and 1 MiB, and a start
// address there: objcopy's records from a raw binary, read back and
// written again, are the same file.
TEST(ObjcopyText, ExtendedAndStartRecordsAsObjcopyWritesThem) {
  TempDir dir;
  std::string blob;
  for (int i = 0; i < 100; i++) blob += static_cast<char>(i * 37 + 11);
  writeFile(dir.path / "blob.bin", std::vector<uint8_t>(blob.begin(), blob.end()));
  for (const char* at : {"0", "0xfff8", "0x10000", "0x12345", "0x2ffc0", "0xffff8", "0x100000", "0x1fffe0",
                         "0xffff0000"}) {
    SCOPED_TRACE(at);
    for (const char* format : {"ihex", "srec"}) {
      ASSERT_SH(dir.path, std::string("objcopy -I binary -O ") + format + " --change-addresses=" + at +
                              " blob.bin in." + format);
      std::vector<std::string> args = {"-f", std::string("in.") + format, std::string("--format=") + format,
                                       "--line-ending=crlf", std::string("--output=out.") + format};
      // objcopy's S0 holds its output's name.
      if (std::string(format) == "srec") args.push_back("--srec-header=in.srec");
      tool(dir.path, args);
      EXPECT_EQ(slurp(dir.path / (std::string("out.") + format)), slurp(dir.path / (std::string("in.") + format)))
          << format;
    }
  }
}

TEST(ObjcopyText, SrecordHeaderIsTheFilesNameOrTheTextGiven) {
  TempDir dir;
  const std::string longName = std::string(50, 'd') + "/image.srec";
  fs::create_directories(dir.path / std::string(50, 'd'));
  const struct {
    std::vector<std::string> args;
    const char* file;  // written, or null for standard output
    std::string header;
  } cases[] = {
      {{"--output=image.srec"}, "image.srec", "image.srec"},
      {{"--output=./image.srec"}, "image.srec", "./image.srec"},
      // objcopy keeps the first 40 characters.
      {{"--output=" + longName}, longName.c_str(), longName.substr(0, 40)},
      {{"--output=image.srec", "--srec-header=build 1.2 of 2024-05-01"}, "image.srec", "build 1.2 of 2024-05-01"},
      {{"--output=image.srec", "--srec-header=" + std::string(252, 'h')}, "image.srec", std::string(252, 'h')},
      {{"--output=image.srec", "--srec-header="}, "image.srec", ""},
      {{}, nullptr, "HDR"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    std::vector<std::string> args = {"-f", elf("romcopy-arm"), "--format=srec", "--quiet"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run(args, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    if (c.file == nullptr) writeFile(dir.path / "image.srec", std::vector<uint8_t>(r.out.begin(), r.out.end()));
    const std::string file = c.file != nullptr ? c.file : "image.srec";
    const Shell info = sh(dir.path, "srec_info '" + file + "'");
    ASSERT_EQ(info.status, 0) << info.out;
    if (c.header.empty()) {
      EXPECT_EQ(info.out.find("Header:"), std::string::npos) << info.out;
    } else {
      EXPECT_NE(info.out.find("Header: \"" + c.header + "\"\n"), std::string::npos) << info.out;
    }
    EXPECT_SH(dir.path, "objcopy -I srec -O binary '" + file + "' image.bin && cmp image.bin " +
                            (testdata / "romcopy-arm.load.bin").string());
  }
}

// CR LF lines read back by the readers of each format that has one.
TEST(LineEndings, RealReadersTakeCrlfLines) {
  TempDir dir;
  const std::string arm = elf("romcopy-arm"), load = (testdata / "romcopy-arm.load.bin").string();
  for (const char* format : {"ihex", "srec"}) {
    tool(dir.path, {"-f", arm, std::string("--format=") + format, "--line-ending=crlf", "--output=image"});
    const std::string text = slurp(dir.path / "image");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(text.find("\n\r"), std::string::npos);
    EXPECT_SH(dir.path, std::string("objcopy -I ") + format + " -O binary image image.bin && cmp image.bin " + load);
  }
  tool(dir.path, {"-f", arm, "--format=ti-txt", "--line-ending=crlf", "--output=image.txt"});
  EXPECT_SH(dir.path, "srec_cat image.txt -ti-txt -offset -0x08000000 -o image.bin -binary && cmp image.bin " + load);
  tool(dir.path, {"-f", arm, "--format=vmem", "--width=8", "--line-ending=crlf", "--output=image.vmem"});
  EXPECT_SH(dir.path, "srec_cat image.vmem -vmem -o image.bin -binary && cmp image.bin " + load);
}

// TI-TXT: srec_cat reads it as the bytes placed, and writes the same text
// from objcopy's records of the same executables.
TEST(TiTxt, SrecCatReadsItAndWritesTheSameText) {
  for (const char* name : fourElfs) {
    SCOPED_TRACE(name);
    TempDir dir;
    // Records that break at each section, as objcopy's do.
    tool(dir.path, {"-f", elf(name), "--format=ti-txt", "--section=*", "--output=image.txt"});
    ASSERT_SH(dir.path, "objcopy -O ihex " + elf(name) + " objcopy.hex");
    EXPECT_SH(dir.path, "srec_cat objcopy.hex -intel -o srec_cat.txt -ti-txt && cmp image.txt srec_cat.txt");
    EXPECT_SH(dir.path, "srec_cat image.txt -ti-txt -o a.hex -intel && srec_cat objcopy.hex -intel"
                        " -disable=exec-start-address -o b.hex -intel && cmp a.hex b.hex");
  }
  // With a fill, the memory from its first address; lines of --record-bytes.
  TempDir dir;
  tool(dir.path, {"-f", elf("romcopy-mips"), "--format=ti-txt", "--fill=0xff", "--record-bytes=8",
                  "--output=image.txt"});
  tool(dir.path, {"-f", elf("romcopy-mips"), "--format=bin", "--fill=0xff", "--output=image.bin"});
  const std::string text = slurp(dir.path / "image.txt");
  EXPECT_TRUE(text.starts_with("@BFC00000\n")) << text.substr(0, 20);
  EXPECT_EQ(std::count(text.begin(), text.end(), '@'), 1);
  EXPECT_NE(text.find("\n3C 1D 80 01 27 BD 80 00\n"), std::string::npos) << text.substr(0, 60);
  EXPECT_SH(dir.path, "srec_cat image.txt -ti-txt -offset -0xbfc00000 -o back.bin -binary && cmp back.bin image.bin");
}

// DFU: the bin image's bytes, then a suffix that dfu-suffix checks and
// prints, with the IDs given (0xffff, "any", by default).
TEST(Dfu, DfuSuffixChecksTheSuffixAndTheBytesAreTheBinImage) {
  const struct {
    std::vector<std::string> ids;
    const char *vid, *pid, *bcd;
  } cases[] = {
      {{}, "0xFFFF", "0xFFFF", "0xFFFF"},
      {{"--dfu-vid=0x0483", "--dfu-pid=0xdf11", "--dfu-bcd=0x2200"}, "0x0483", "0xDF11", "0x2200"},
      {{"--dfu-vid=4660", "--dfu-pid=0"}, "0x1234", "0x0000", "0xFFFF"},
  };
  for (const char* name : {"romcopy-arm", "romcopy-mips"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(name) + " " + c.vid);
      TempDir dir;
      std::vector<std::string> args = {"-f", elf(name), "--format=dfu", "--fill=0xff", "--output=image.dfu"};
      args.insert(args.end(), c.ids.begin(), c.ids.end());
      tool(dir.path, args);
      tool(dir.path, {"-f", elf(name), "--format=bin", "--fill=0xff", "--output=image.bin"});
      const Shell r = sh(dir.path, "dfu-suffix -c image.dfu");
      ASSERT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(suffixField(r.out, "Vendor ID"), c.vid) << r.out;
      EXPECT_EQ(suffixField(r.out, "Product ID"), c.pid);
      EXPECT_EQ(suffixField(r.out, "BCD device"), c.bcd);
      EXPECT_EQ(suffixField(r.out, "BCD DFU"), "0x0100");
      EXPECT_EQ(suffixField(r.out, "Length"), "16");
      EXPECT_SH(dir.path, "cp image.dfu bare.bin && dfu-suffix -D bare.bin >/dev/null && cmp bare.bin image.bin");
      // A changed byte breaks the CRC.
      ASSERT_SH(dir.path, "printf '\\001\\002\\003\\004' | dd of=image.dfu bs=1 seek=4 conv=notrunc 2>/dev/null");
      const Shell bad = sh(dir.path, "dfu-suffix -c image.dfu");
      EXPECT_NE(bad.out.find("CRC does not match"), std::string::npos) << bad.out;
    }
  }
}

// DfuSe: dfuse-pack (dfu-util's own packer and parser) reads one element
// per range of placed bytes, each the bytes at its address; it makes the
// same elements from objcopy's records of the same executable.
TEST(Dfu, DfusePackReadsAnElementPerPlacedRange) {
  for (const char* name : fourElfs) {
    SCOPED_TRACE(name);
    TempDir dir;
    tool(dir.path, {"-f", elf(name), "--format=dfuse", "--section=*", "--dfu-vid=0x0483", "--dfu-pid=0xdf11",
                    "--dfu-bcd=0", "--output=image.dfu"});
    ASSERT_SH(dir.path, "objcopy -O ihex " + elf(name) + " objcopy.hex && dfuse-pack -i objcopy.hex packed.dfu");
    const Shell ours = sh(dir.path, "dfuse-pack -d image.dfu");
    const Shell packed = sh(dir.path, "dfuse-pack -d packed.dfu");
    ASSERT_EQ(ours.status, 0) << ours.out;
    ASSERT_EQ(packed.status, 0) << packed.out;
    EXPECT_EQ(ours.out.find("ERROR"), std::string::npos) << ours.out;
    EXPECT_NE(ours.out.find("usb: 0483:df11, device: 0x0000, dfu: 0x011a, b'UFD', 16,"), std::string::npos)
        << ours.out;
    // The element lines, and the bytes each holds.
    auto elements = [](const std::string& out) {
      std::vector<std::string> found;
      const std::regex line(R"(\n  (\d+, address: 0x[0-9a-f]+, size: \d+)\n)");
      for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        found.push_back((*it)[1]);
      }
      return found;
    };
    const std::vector<std::string> want = elements(packed.out);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(elements(ours.out), want);
    for (size_t k = 0; k < want.size(); k++) {
      EXPECT_SH(dir.path, "cmp image.dfu.target0.image" + std::to_string(k) + ".bin packed.dfu.target0.image" +
                              std::to_string(k) + ".bin");
    }
    const Shell suffix = sh(dir.path, "dfu-suffix -c image.dfu");
    EXPECT_EQ(suffix.status, 0) << suffix.out;
    EXPECT_EQ(suffixField(suffix.out, "BCD DFU"), "0x011A");
  }
}

// A sparse UF2 of an image far apart (flash near 0, UICR at 0x10001014),
// decoded by the npm package uf2: a block for each page of placed bytes,
// numbered over the blocks written.
TEST(SparseUf2, NpmUf2DecodesThePagesOfPlacedBytes) {
  if (sh(".", "command -v node && command -v npm").status != 0) {
    GTEST_SKIP() << "node or npm is not installed (tools/install-deps installs them)";
  }
  const std::string npm = ROMWRIGHT_NPM;
  const Shell setup = sh(".", std::string(ROMWRIGHT_TOOLS) + "/npm-uf2 '" + npm + "'");
  ASSERT_EQ(setup.status, 0) << "installing uf2@2.0.0 from npm:\n" << setup.out;
  TempDir dir;
  const std::vector<uint8_t> flash = counting(0x2f3, 9), uicr = {0x00, 0x60, 0x02, 0x00};
  writeFile(dir.path / "boot.elf",
            build(Order::Little, std::vector<Seg>{text(0x26010, flash), data(0x10001014, uicr)}, {.entry = 0x26010}));
  tool(dir.path, {"-f", "boot.elf", "--format=uf2", "--uf2-family=nrf52840", "--fill=0xff",
                  "--region=0x26000:0x10000000", "--output=image.uf2"});
  const Shell r = sh(dir.path, "node '" + std::string(ROMWRIGHT_TOOLS) + "/uf2-blocks.js' '" + npm + "/node_modules/uf2' image.uf2");
  ASSERT_EQ(r.status, 0) << r.out;
  // The pages: 0x26000..0x262ff of flash, then the page of UICR.
  std::map<uint64_t, std::string> want;
  auto page = [&](uint64_t at, uint64_t from, const std::vector<uint8_t>& bytes) {
    std::string p = want.try_emplace(at, std::string(512, 'f')).first->second;
    for (size_t i = 0; i < bytes.size(); i++) {
      if (from + i < at || from + i >= at + 256) continue;
      const char* digits = "0123456789abcdef";
      p[2 * (from + i - at)] = digits[bytes[i] >> 4];
      p[2 * (from + i - at) + 1] = digits[bytes[i] & 15];
    }
    want[at] = p;
  };
  for (uint64_t at : {0x26000u, 0x26100u, 0x26200u, 0x26300u}) page(at, 0x26010, flash);
  page(0x10001000, 0x10001014, uicr);
  std::istringstream in(r.out);
  std::map<uint64_t, std::string> got;
  uint64_t n = 0;
  for (uint64_t flags, address, size, number, blocks, family; in >> flags >> address >> size >> number >> blocks >> family;
       n++) {
    std::string hex;
    in >> hex;
    EXPECT_EQ(flags, 0x2000u);
    EXPECT_EQ(family, 0xada52840u);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(number, n);
    EXPECT_EQ(blocks, want.size());
    got[address] = hex;
  }
  EXPECT_EQ(n, want.size());
  EXPECT_EQ(got, want);
  const Shell f = sh(dir.path, "file image.uf2");
  EXPECT_NE(f.out.find("5 total blocks"), std::string::npos) << f.out;
}

// The options of these formats: one line naming the option and its value,
// before anything is read.
TEST(FormatOptions, BadValuesAreRefusedWithOneLine) {
  const struct {
    std::vector<std::string> args;
    std::string msg;
  } cases[] = {
      {{"--format=vmem", "--line-ending=cr"}, "--line-ending=cr: not lf or crlf\n"},
      {{"--format=bin", "--line-ending=crlf"}, "--line-ending=crlf: the bin format writes no lines\n"},
      {{"--format=uf2", "--line-ending=crlf"}, "--line-ending=crlf: the uf2 format writes no lines\n"},
      {{"--format=dfu", "--line-ending=crlf"}, "--line-ending=crlf: the dfu format writes no lines\n"},
      {{"--format=dfuse", "--line-ending=crlf"}, "--line-ending=crlf: the dfuse format writes no lines\n"},
      {{"--format=ihex", "--srec-header=x"}, "--srec-header=x: the ihex format has no S0 record\n"},
      {{"--format=srec", "--srec-header=" + std::string(253, 'x')},
       "--srec-header=" + std::string(253, 'x') + ": longer than the 252 bytes of an S0 record\n"},
      {{"--format=dfu", "--dfu-vid=0x10000"}, "--dfu-vid=0x10000: not a number: 0 to 0xffff\n"},
      {{"--format=dfu", "--dfu-pid=-1"}, "--dfu-pid=-1: not a number: 0 to 0xffff\n"},
      {{"--format=dfuse", "--dfu-bcd=x"}, "--dfu-bcd=x: not a number: 0 to 0xffff\n"},
      {{"--format=dfu", "--dfu-vid=99999999999999999999999"}, "--dfu-vid=99999999999999999999999: too large\n"},
      {{"--format=vmem", "--dfu-vid=1"}, "--dfu-vid=1: the vmem format has no DFU suffix\n"},
      {{"--format=bin", "--dfu-bcd=1"}, "--dfu-bcd=1: the bin format has no DFU suffix\n"},
      {{"--format=bin", "--dense"}, "--dense: the bin format writes every word already\n"},
      {{"--format=uf2", "--dense", "--sparse"}, "--dense: not with --sparse\n"},
      {{"--format=dfu", "--record-bytes=8"}, "--record-bytes=8: the dfu format writes no data records\n"},
      {{"--dfu-vid=1"}, "--dfu-vid=1: only with --format\n"},
      {{"--dense"}, "--dense: only with --format\n"},
      {{"--memory=m:0:4K,format=uf2,dense=maybe"}, "--memory=m: dense=maybe: not yes or no\n"},
      {{"--memory=m:0:4K,format=coe,line-ending=crlf,dfu-pid=2"},
       "--memory=m: --dfu-pid=2: the coe format has no DFU suffix\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::vector<std::string> args = {"-f", "missing.elf"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.err, c.msg);
    EXPECT_EQ(r.status, 1) << c.msg;
    EXPECT_TRUE(listDir(dir.path).empty()) << c.msg;
  }
}

// The keys of --memory: each memory its own suffix IDs, line ending and
// density.
TEST(FormatOptions, MemoriesTakeTheirOwnKeys) {
  TempDir dir;
  writeFile(dir.path / "in.elf", build(Order::Little,
                                       std::vector<Seg>{text(0x1000, counting(0x40)), data(0x2000, counting(0x10, 0x80)),
                                        data(0x3010, counting(0x10, 0xc0))},
                                       {.entry = 0x1000}));
  tool(dir.path, {"-f", "in.elf", "--line-ending=crlf",
                  "--memory=a:0x1000:0x1000,format=dfu,output=a.dfu,dfu-vid=0x1209,dfu-pid=0x0001,line-ending=lf",
                  "--memory=b:0x2000:0x1000,format=ihex,output=b.hex",
                  "--memory=c:0x3000:0x1000,format=uf2,output=c.uf2,dense=yes,line-ending=lf"});
  // An option beside --memory is every memory's, and refused for one whose
  // format does not read it.
  const Outcome refused = run({"-f", "in.elf", "--dfu-vid=0x1209", "--memory=a:0x1000:0x1000,format=dfu,output=a.dfu",
                               "--memory=b:0x2000:0x1000,format=ihex,output=b.hex"},
                              {.cwd = dir.path});
  EXPECT_EQ(refused.err, "--memory=b: --dfu-vid=0x1209: the ihex format has no DFU suffix\n");
  const Shell r = sh(dir.path, "dfu-suffix -c a.dfu");
  EXPECT_EQ(suffixField(r.out, "Vendor ID"), "0x1209") << r.out;
  EXPECT_EQ(suffixField(r.out, "Product ID"), "0x0001");
  EXPECT_TRUE(slurp(dir.path / "b.hex").ends_with(":00000001FF\r\n"));
  EXPECT_EQ(slurp(dir.path / "c.uf2").size(), 16u * 512) << "every page of the memory";
}
