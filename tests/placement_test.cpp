// Placement through the built binary: the bytes of ELF segments that no
// section holds, images whose parts lie far apart, memories anywhere in the
// 64-bit address space, runs of raw binaries alone and their start address,
// and the messages of inputs and memories that are not what was meant. The
// bytes are checked against objcopy (tools/install-deps installs it) and
// the files rebuild.sh made with the cross toolchains' own objcopy.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <sstream>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

void copyIn(const fs::path& dir, const std::string& name) { fs::copy_file(testdata / name, dir / name); }

// The bytes at their addresses that an Intel HEX or S-record file holds,
// as the S3 records objcopy writes for them: two files hold the same bytes
// at the same addresses exactly when these are equal, whatever records
// (02 or 04, lengths, start records) each has.
std::string dataOf(const fs::path& dir, const std::string& file, const char* kind = "ihex") {
  const Shell r = sh(dir, std::string("objcopy -I ") + kind + " -O srec --srec-forceS3 '" + file +
                              "' norm.srec && grep '^S3' norm.srec");
  EXPECT_EQ(r.status, 0) << file << "\n" << r.out;
  return r.out;
}

// The lines of `text` that start with `prefix`.
std::vector<std::string> linesStarting(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    if (l.starts_with(prefix)) out.push_back(l);
  }
  return out;
}

// An Intel HEX file's start records (types 03 and 05).
std::vector<std::string> startRecords(const std::string& hex) {
  std::vector<std::string> out = linesStarting(hex, ":04000003");
  for (const std::string& l : linesStarting(hex, ":04000005")) out.push_back(l);
  return out;
}

}  // namespace

// A boot stage whose one loadable segment starts with the ELF header and
// program headers: the memory images place what its sections hold, as
// objcopy -O binary and -O ihex do (the committed images, and the host's
// objcopy run here); --whole-segments places the segment as it is stored,
// and a region around the code alone takes it; --verbose says what was left
// out. The fixed outputs keep placing the whole segment.
TEST(SectionBytes, BootStageIsPlacedAsObjcopyPlacesIt) {
  TempDir dir;
  copyIn(dir.path, "bootstage-arm.elf");
  copyIn(dir.path, "bootstage-arm.objcopy.hex");
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-f", "bootstage-arm.elf"});
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  };
  EXPECT_EQ(tool({"--format=bin", "--output=x.bin"}).err, "");
  const std::string load = slurp(testdata / "bootstage-arm.load.bin");
  EXPECT_EQ(slurp(dir.path / "x.bin"), load);
  ASSERT_SH(dir.path, "objcopy -I elf32-little -O binary bootstage-arm.elf host.bin");
  EXPECT_EQ(slurp(dir.path / "x.bin"), slurp(dir.path / "host.bin"));

  tool({"--format=ihex", "--output=x.hex"});
  EXPECT_EQ(dataOf(dir.path, "x.hex"), dataOf(dir.path, "bootstage-arm.objcopy.hex"));
  ASSERT_SH(dir.path, "objcopy -I elf32-little -O ihex bootstage-arm.elf host.hex");
  EXPECT_EQ(dataOf(dir.path, "x.hex"), dataOf(dir.path, "host.hex"));

  // The region of the code: refused while the headers were placed.
  tool({"--format=bin", "--region=0x10000100:0x60", "--output=region.bin"});
  EXPECT_EQ(slurp(dir.path / "region.bin"), load);

  // The whole segment: the file's first 0xe0 bytes, from 0x10000080.
  tool({"--format=bin", "--whole-segments", "--output=whole.bin"});
  const std::string file = slurp(dir.path / "bootstage-arm.elf");
  EXPECT_EQ(slurp(dir.path / "whole.bin"), file.substr(0, 0xe0));

  const Outcome r = tool({"--format=bin", "--output=v.bin", "--verbose"});
  EXPECT_TRUE(r.err.ends_with("bootstage-arm.elf segment 0: 164 bytes that no section holds are left out, at "
                              "0x10000080..0x100000ff, 0x1000011c..0x1000013f (--whole-segments places them)\n"))
      << r.err;

  // A section table that cannot be trusted leaves the segment whole: a
  // section that runs past its segment's stored bytes, and a table whose
  // entries have the wrong size.
  const std::vector<uint8_t> elf = readFile(dir.path / "bootstage-arm.elf");
  uint32_t shoff = 0;
  memcpy(&shoff, elf.data() + 0x20, 4);
  std::vector<uint8_t> straddling = elf, badTable = elf;
  const uint32_t big = 0x1000;
  memcpy(straddling.data() + shoff + 2 * sizeof(Elf32_Shdr) + offsetof(Elf32_Shdr, sh_size), &big, 4);
  badTable[offsetof(Elf32_Ehdr, e_shentsize)] = 0x20;
  for (const auto& [name, bytes] : {std::pair{"straddling.elf", straddling}, std::pair{"badtable.elf", badTable}}) {
    SCOPED_TRACE(name);
    writeFile(dir.path / name, bytes);
    const Outcome w = run({"-f", name, "--format=bin", "--output=w.bin"}, {.cwd = dir.path});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(slurp(dir.path / "w.bin"), std::string(bytes.begin(), bytes.begin() + 0xe0));
  }

  // The listing of the fixed outputs: the segment from its first byte, the
  // ELF magic.
  const Outcome listing = tool({"-H", "--quiet"});
  EXPECT_TRUE(listing.out.starts_with("7f454c46\n")) << listing.out.substr(0, 40);
}

// The 32-bit and 64-bit executables of the other tests, placed section by
// section, give objcopy's bytes at load and at run addresses; the ones
// whose segments hold bytes no section holds (romcopy-mips between .text
// and .rodata, romcopy-ppc64 likewise) now give them as objcopy does.
TEST(SectionBytes, RealExecutablesGiveObjcopysBytes) {
  const std::pair<const char*, const char*> elfs[] = {
      {"romcopy-riscv", "elf32-little"}, {"romcopy-riscv-lld", "elf32-little"}, {"romcopy-arm", "elf32-little"},
      {"romcopy-mips", "elf32-big"},     {"romcopy-rv64", "elf64-little"},      {"romcopy-ppc64", "elf64-big"},
      {"bootrom-mips64", "elf64-big"},   {"bootstage-arm", "elf32-little"}};
  for (const auto& [name, bfd] : elfs) {
    SCOPED_TRACE(name);
    TempDir dir;
    const std::string elf = std::string(name) + ".elf";
    copyIn(dir.path, elf);
    for (const char* fill : {"0", "0xff"}) {
      const Outcome r = run({"-f", elf, "--format=bin", "--width=8", std::string("--fill=") + fill, "--output=x.bin"},
                            {.cwd = dir.path});
      ASSERT_EQ(r.status, 0) << r.err;
      ASSERT_SH(dir.path, std::string("objcopy -I ") + bfd + " --gap-fill=" + fill + " -O binary " + elf + " host.bin");
      EXPECT_EQ(slurp(dir.path / "x.bin"), slurp(dir.path / "host.bin")) << fill;
    }
  }
}

// An nRF52-like image, flash near 0 and the UICR 256 MiB above: the sparse
// formats write it without a region, from the ELF and from its Intel HEX,
// at the cost of its bytes (under a 64 MiB address-space limit); a dense
// format is refused, its message naming what lies at each end.
TEST(FarApart, SparseFormatsNeedNoRegion) {
  TempDir dir;
  copyIn(dir.path, "nrf52-uicr.elf");
  copyIn(dir.path, "nrf52-uicr.objcopy.hex");
  RunOptions opt{.cwd = dir.path};
#ifndef ROMWRIGHT_SANITIZED
  if (!wrapped()) opt.addressSpaceLimit = 64ul << 20;
#endif
  const std::string want = dataOf(dir.path, "nrf52-uicr.objcopy.hex");
  for (const char* input : {"nrf52-uicr.elf", "nrf52-uicr.objcopy.hex"}) {
    SCOPED_TRACE(input);
    for (const char* format : {"ihex", "srec"}) {
      const std::string out = std::string("x.") + format;
      const Outcome r = run({"-f", input, std::string("--format=") + format, "--output=" + out}, opt);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(dataOf(dir.path, out, format), want);
    }
    // Sparse vmem and updatemem: the words that hold placed bytes, each
    // stretch after its address (a word index, a byte address).
    Outcome r = run({"-f", input, "--format=vmem", "--sparse", "--width=8"}, opt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(linesStarting(r.out, "@"), (std::vector<std::string>{"@0", "@10000014"}));
    r = run({"-f", input, "--format=updatemem", "--sparse"}, opt);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(linesStarting(r.out, "@"), (std::vector<std::string>{"@00001000", "@10001014"}));
    EXPECT_TRUE(r.out.ends_with("@10001014\n00001000\n0007e000\n")) << r.out.substr(r.out.size() - 40);

    r = run({"-f", input, "--format=bin", "--output=x.bin"}, opt);
    EXPECT_EQ(r.status, 1);
    const std::string what = std::string(input) == "nrf52-uicr.elf"
                                 ? "nrf52-uicr.elf segment 0 (.isr_vector, .text) at 0x00001000 to nrf52-uicr.elf "
                                   "segment 1 (.uicr) at 0x10001014"
                                 : "nrf52-uicr.objcopy.hex at 0x00001000 to nrf52-uicr.objcopy.hex at 0x10001014";
    EXPECT_EQ(r.err, "the image spans 0x00001000..0x1000101b, from " + what +
                         ", above 256 MiB: choose the memory with --region=BASE:SIZE, or a sparse format\n");
  }
}

// The MIPS64 boot ROM at 0xffffffffbfc00000: formats without addresses
// write it (the ROM as objcopy -O binary gives it, the RAM at run
// addresses); those of 32-bit addresses refuse it, naming the address,
// until --rebase brings it below 4 GiB, where Intel HEX holds objcopy's
// bytes; fields take 64-bit addresses.
TEST(Memories64, MipsBootRomAtTheResetVector) {
  TempDir dir;
  copyIn(dir.path, "bootrom-mips64.elf");
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-f", "bootrom-mips64.elf"});
    return run(args, {.cwd = dir.path});
  };
  const std::string load = slurp(testdata / "bootrom-mips64.load.bin");
  Outcome r = tool({"--memory=rom:0xffffffffbfc00000:4K,format=bin,output=rom.bin",
                    "--memory=ram:0xffffffff80000000:4K,format=vmem,width=64,addresses=run,output=ram.vmem"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string rom = slurp(dir.path / "rom.bin");
  ASSERT_EQ(rom.size(), 4096u);
  EXPECT_EQ(rom.substr(0, load.size()), load);
  EXPECT_EQ(rom.find_first_not_of('\0', load.size()), std::string::npos);
  // .data, stored at 0x78 in the ROM, and its zero tail at the start of RAM.
  const std::string ram = slurp(dir.path / "ram.vmem");
  EXPECT_TRUE(ram.starts_with("123456789abcdef0\n0123456789abcdef\n0000000000000000\n")) << ram.substr(0, 60);
  EXPECT_EQ(rom.substr(0x78, 16), std::string("\x12\x34\x56\x78\x9a\xbc\xde\xf0\x01\x23\x45\x67\x89\xab\xcd\xef", 16));

  struct Refused {
    std::string format, message;
  };
  const Refused refused[] = {
      {"ihex", "--format=ihex: address 0xffffffffbfc00087 does not fit its 32 bits: --rebase=ADDR writes them from ADDR\n"},
      {"srec", "--format=srec: address 0xffffffffbfc00087 does not fit its 32 bits: --rebase=ADDR writes them from ADDR\n"},
      {"uf2", "--format=uf2: address 0xffffffffbfc00087 does not fit its 32 bits\n"},
  };
  for (const Refused& c : refused) {
    r = tool({"--format=" + c.format, "--output=x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.message);
    EXPECT_FALSE(fs::exists(dir.path / "x"));
  }
  r = tool({"--format=ihex", "--rebase=0xbfc00000", "--output=x.hex"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_SH(dir.path, "objcopy -I elf64-big -O ihex bootrom-mips64.elf host.hex");
  EXPECT_EQ(dataOf(dir.path, "x.hex"), dataOf(dir.path, "host.hex"));

  // A CRC at a 64-bit address, over the ROM's placed bytes.
  r = tool({"--format=bin", "--region=0xffffffffbfc00000:4K", "--insert=crc32@0xffffffffbfc00ffc,order=big",
            "--output=crc.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir.path / "crc.bin").substr(0, 0xffc), rom.substr(0, 0xffc));
  EXPECT_NE(slurp(dir.path / "crc.bin").substr(0xffc), std::string(4, '\0'));
}

// Bytes at the very end of the address space: a raw binary that ends at
// 2^64 is placed, in a region that ends there too, with a field in its last
// word; one byte further is refused. An --insert address past 2^40 is an
// address.
TEST(Memories64, TheLastBytesOfTheAddressSpace) {
  TempDir dir;
  put(dir.path / "top.bin", "0123456789abcdef");
  Outcome r = run({"--merge=top.bin@0xfffffffffffffff0", "--format=vmem", "--width=32", "--byte-order=big",
                   "--region=0xffffffffffffffe0:0x20"},
                  {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "00000000\n00000000\n00000000\n00000000\n30313233\n34353637\n38396162\n63646566\n");
  r = run({"--merge=top.bin@0xfffffffffffffff0", "--format=bin", "--output=x.bin"}, {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(slurp(dir.path / "x.bin"), "0123456789abcdef");
  // A field in the last word of a region that ends at 2^64, over the word
  // before it ("89ab"), big-endian: Python's zlib.crc32 of the same bytes.
  r = run({"--merge=top.bin@0xfffffffffffffff0", "--format=bin", "--region=0xfffffffffffffff0:16",
           "--insert=crc32@0xfffffffffffffffc,over=0xfffffffffffffff8..0xfffffffffffffffb,order=big",
           "--output=crc.bin"},
          {.cwd = dir.path});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_SH(dir.path, "python3 -c \"import zlib,sys; sys.stdout.write('%08x' % zlib.crc32(b'89ab'))\" > want");
  const std::string crc = slurp(dir.path / "crc.bin").substr(12);
  char hex[9];
  snprintf(hex, sizeof hex, "%02x%02x%02x%02x", static_cast<unsigned char>(crc[0]), static_cast<unsigned char>(crc[1]),
           static_cast<unsigned char>(crc[2]), static_cast<unsigned char>(crc[3]));
  EXPECT_EQ(hex, slurp(dir.path / "want"));

  r = run({"--merge=top.bin@0xfffffffffffffff1", "--format=bin"}, {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "top.bin at 0xfffffffffffffff1 passes the end of the 64-bit address space\n");

  r = run({"--merge=top.bin@0x1000", "--format=bin", "--insert=crc32@0x20000000000", "--output=y.bin"},
          {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "--insert=crc32@0x20000000000: its 4 bytes lie in no memory\n");
}

// A run of raw binaries alone: --merge without -f, and -f FILE@ADDR, write
// the same image, with no start address since no input has one; --start
// gives one, by address or by a symbol's name, and --no-start takes an
// executable's away. -f FILE@ADDR of a file that holds its own addresses,
// and the fixed outputs without -f, are refused.
TEST(RawAlone, MergeWithoutInputAndStartAddresses) {
  TempDir dir;
  copyIn(dir.path, "blob.bin");
  copyIn(dir.path, "bootstage-arm.elf");
  auto tool = [&](std::vector<std::string> args) {
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  };
  const std::string merged = tool({"--merge=blob.bin@0x10000000", "--format=ihex"});
  EXPECT_EQ(tool({"-f", "blob.bin@0x10000000", "--format=ihex"}), merged);
  EXPECT_EQ(startRecords(merged), std::vector<std::string>{});
  ASSERT_SH(dir.path, "srec_cat blob.bin -binary -offset 0x10000000 -o cat.hex -intel");
  put(dir.path / "ours.hex", merged);
  EXPECT_EQ(dataOf(dir.path, "ours.hex"), dataOf(dir.path, "cat.hex"));

  EXPECT_EQ(startRecords(tool({"-f", "blob.bin@0x10000000", "--format=ihex", "--start=0x10000010"})),
            std::vector<std::string>{":0400000510000010D7"});
  // S7 holds the start address; without one, 0.
  EXPECT_EQ(linesStarting(tool({"-f", "bootstage-arm.elf", "--format=srec", "--start=sym:banner"}), "S7"),
            std::vector<std::string>{"S70510000140A9"});
  EXPECT_EQ(linesStarting(tool({"-f", "bootstage-arm.elf", "--format=srec"}), "S7"),
            std::vector<std::string>{"S70510000101E8"});
  EXPECT_EQ(linesStarting(tool({"-f", "bootstage-arm.elf", "--format=srec", "--no-start"}), "S7"),
            std::vector<std::string>{"S70500000000FA"});
  EXPECT_EQ(startRecords(tool({"-f", "bootstage-arm.elf", "--format=ihex", "--no-start"})), std::vector<std::string>{});
  // A raw binary first, then an executable: the executable's start.
  EXPECT_EQ(startRecords(tool({"-f", "blob.bin@0x20000000", "--merge=bootstage-arm.elf", "--format=ihex"})),
            std::vector<std::string>{":0400000510000101E5"});

  struct Refused {
    std::vector<std::string> args;
    std::string err;
  };
  const Refused refused[] = {
      {{"-f", "bootstage-arm.elf@0x100", "--format=bin"},
       "-f bootstage-arm.elf@0x100: bootstage-arm.elf is an ELF executable, which holds its own addresses: give -f "
       "bootstage-arm.elf\n"},
      {{"-f", "blob.bin@0x100", "-H"},
       "-f blob.bin@0x100: -H, -r, -R and the reports take an ELF executable; a raw binary goes to --format\n"},
      {{"--merge=blob.bin@0x100", "--format=bin", "--output=x.bin", "-r"},
       "-r: needs -f FILE, a 32-bit ELF executable; --merge is for --format\n"},
      {{"-f", "blob.bin@0x100000000000000000", "--format=bin"},
       "-f blob.bin@0x100000000000000000: 0x100000000000000000 is too large\n"},
      {{"--merge=blob.bin@0", "--format=bin", "--start=0x10000000000000000"},
       "--start=0x10000000000000000: too large\n"},
      {{"--merge=blob.bin@0", "--format=bin", "--start=main"}, "--start=main: not an address or sym:NAME\n"},
      {{"--merge=blob.bin@0", "--format=bin", "--start=0", "--no-start"},
       "--start=0: and --no-start: give one of them\n"},
      {{"-f", "bootstage-arm.elf", "--format=ihex", "--start=sym:main"},
       "--start=sym:main: no ELF input defines the symbol main\n"},
  };
  const std::vector<std::string> before = listDir(dir.path);
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.err);
    const Outcome r = run(c.args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(listDir(dir.path), before);
  }
  // With no input at all, the usage text.
  const Outcome r = run({"--format=bin"}, {.cwd = dir.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("usage: ")) << r.err;
}

// Inputs that are not what the user meant, given with --merge, on the
// command line or in a response file: the reader's line and one that says
// what the file is, without the loader's lines.
TEST(InputMessages, MergedFilesThatAreNoExecutableSaySo) {
  TempDir dir;
  writeFile(dir.path / "prog.o", build(Order::Little, std::vector<Seg>{text(0x100, {1, 2, 3, 4})}, {.type = ET_REL}));
  writeFile(dir.path / "lib.so", build(Order::Big, std::vector<Seg>{text(0x100, {1, 2, 3, 4})}, {.type = ET_DYN}));
  copyIn(dir.path, "bootstage-arm.elf");
  put(dir.path / "args.rsp", "-f\nbootstage-arm.elf\n--format=bin\n--merge=prog.o\n");
  const std::string relocatable =
      "invalid elf header 0x1 expected 0x2\nprog.o is a relocatable object file, not an executable; link it first\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-f", "bootstage-arm.elf", "--format=bin", "--merge=prog.o"}, relocatable},
      {{"@args.rsp"}, relocatable},
      {{"--merge=lib.so", "--format=bin"},
       "invalid elf header 0x3 expected 0x2\nlib.so is a shared object or a position-independent executable; link "
       "it at fixed addresses (-no-pie)\n"},
      {{"-f", "lib.so", "--format=bin"},
       "invalid elf header 0x3 expected 0x2\nunable to load elf file lib.so\nlib.so is a shared object or a "
       "position-independent executable; link it at fixed addresses (-no-pie)\n"},
  };
  for (const auto& [args, err] : cases) {
    SCOPED_TRACE(args[0]);
    const Outcome r = run(args, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.out, "");
  }
}

// A memory in which no byte lands is refused as a lone region is, naming
// the segment that runs in it and the key that would place it; the key
// `empty` (a flag key given by its bare name) or --allow-unplaced lets it
// stay empty. Flag keys take their bare name for yes.
TEST(MemoryMessages, EmptyMemoriesAndBareFlagKeys) {
  TempDir dir;
  copyIn(dir.path, "romcopy-arm.elf");
  const std::string flash = "--memory=flash:0x08000000:64K,format=bin,output=flash.bin";
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{flash, "--memory=ram:0x20000000:8K,format=bin,output=ram.bin"},
       "--memory=ram: no byte lands in memory ram (0x20000000..0x20001fff), where romcopy-arm.elf segment 1 (.data, "
       ".ramfunc) runs at 0x20000000..0x200000cf: give the memory addresses=run\n"},
      {{"--memory=flash:0x08000000:0x168,format=bin,output=flash.bin",
        "--memory=copy:0x08000168:0x8c,format=bin,output=copy.bin,addresses=run"},
       "--memory=copy: no byte lands in memory copy (0x08000168..0x080001f3), where romcopy-arm.elf segment 1 "
       "(.data, .ramfunc) is stored at 0x08000168..0x080001f3: give the memory addresses=load\n"},
      {{flash, "--memory=ext:0x60000000:4K,format=bin,output=ext.bin"},
       "--memory=ext: no byte lands in memory ext (0x60000000..0x60000fff): give it the key empty if it may stay "
       "empty\n"},
      {{"--format=bin", "--region=0x20000000:8K", "--quiet"},
       "no segment places a byte in the region 0x20000000..0x20001fff, where romcopy-arm.elf segment 1 (.data, "
       ".ramfunc) runs at 0x20000000..0x200000cf: give --addresses=run\n"},
      {{flash, "--memory=ram:0x20000000:8K,format=vmem,sparse=,output=ram.vmem"},
       "--memory=ram: sparse=: not yes or no\n"},
  };
  for (const auto& [args, err] : refused) {
    SCOPED_TRACE(err);
    std::vector<std::string> all = {"-f", "romcopy-arm.elf"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome r = run(all, {.cwd = dir.path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(listDir(dir.path), std::vector<std::string>{"romcopy-arm.elf"});
  }
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {flash, "--memory=ext:0x60000000:4K,format=bin,output=ext.bin,empty"},
           {flash, "--memory=ext:0x60000000:4K,format=bin,output=ext.bin,empty=yes"},
           {flash, "--memory=ext:0x60000000:4K,format=bin,output=ext.bin", "--allow-unplaced"},
           {flash, "--memory=ext:0x60000000:4K,format=bin,output=ext.bin", "--empty"}}) {
    std::vector<std::string> all = {"-f", "romcopy-arm.elf"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome r = run(all, {.cwd = dir.path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slurp(dir.path / "ext.bin"), std::string(4096, '\0'));
    fs::remove(dir.path / "ext.bin");
  }
  // sparse alone says yes, as sparse=yes does.
  Outcome bare = run({"-f", "romcopy-arm.elf", "--memory=ram:0x20000000:8K,format=vmem,addresses=run,sparse",
                      "--allow-unplaced"},
                     {.cwd = dir.path});
  const Outcome yes = run({"-f", "romcopy-arm.elf", "--memory=ram:0x20000000:8K,format=vmem,addresses=run,sparse=yes",
                           "--allow-unplaced"},
                          {.cwd = dir.path});
  ASSERT_EQ(bare.status, 0) << bare.err;
  EXPECT_EQ(bare.out, yes.out);
  EXPECT_TRUE(bare.out.starts_with("@0\n")) << bare.out.substr(0, 20);
  EXPECT_LT(bare.out.size(), 1000u);
}
