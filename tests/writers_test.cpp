// The three writers through the built binary: their files, refusals and
// failures, and the run order.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <cstring>

#include "elf_fixture.hpp"
#include "listing.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

TEST(HexListing, RunWithExtentVerboseAndBootWarning) {
  InputDir ws({text(0x100, words(16))}, {.entry = 0x100});
  struct Case {
    std::vector<std::string> args;
    size_t zeroLines;
    std::string err;
  };
  const Case cases[] = {
      {{"-H"}, 496, ""},
      {{"-H", "-M", "0x200"}, 48, ""},
      {{"-H", "-M", "80"}, 112, ""},
      {{"-H", "-M", "103"}, 496, ""},
      {{"-H", "-M", "104"}, 0, ""},
      {{"-M", " -0x1", "-M", "200", "-Hv"}, 48, "max 0x200 text 0x100\nmax 0x40\n"},
  };
  for (const Case& c : cases) {
    Outcome r = ws(c.args);
    EXPECT_EQ(r.out, wordLines(16) + zeros(c.zeroLines)) << c.args.back();
    EXPECT_EQ(r.err, loadLines + c.err) << c.args.back();
    EXPECT_EQ(r.status, 0);
  }
  InputDir late({text(0x100, words(2))}, {.entry = 0x104});
  Outcome r = late({"-H", "-e"});
  EXPECT_EQ(r.err, loadLines +
                       "This elf file has a text address of 0x00000100, entry 0x00000104\n"
                       "If the file is intended to be a bootable image, this can\n"
                       "cause problems, because pravunet will convert the entire\n"
                       "text segment to hex, and the entry point will not be at\n"
                       "the start of the booted file.   You can correct this by\n"
                       "using a linker script to force the text segment and the\n"
                       "entry point to the same address.\n");
  EXPECT_EQ(r.out, wordLines(2) + zeros(510) + "entry 260 0x00000104\n");
}

TEST(HexListing, BootWarningComesBeforeTheRefusal) {
  struct Case {
    std::vector<Seg> segs;
    uint32_t entry;
    const char* refusal;
  };
  const Case cases[] = {
      {{data(0x800, {1})}, 0x800, "No text segment!\n"},
      // After the refusal, the line that says what writes it.
      {{text(0x100, {1}), data(0x800, {1})}, 0x104,
       "Has a data segment!\n"
       "in.elf has a data segment; -H, -r and -R take a program of text alone (--format writes images of programs with data)\n"},
  };
  for (const Case& c : cases) {
    InputDir ws(c.segs, {.entry = c.entry});
    Outcome r = ws({"-H", "-l"});
    EXPECT_NE(r.err.find("This elf file has a text address"), std::string::npos);
    EXPECT_TRUE(r.err.ends_with("entry point to the same address.\n" + std::string(c.refusal)));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(HexListing, FailedWriteToStandardOutputFails) {
  InputDir ws;
  Outcome r = ws({"-H", "-M", "0xFFFFFFFF"}, {.stdoutPath = "/dev/full"});
  EXPECT_EQ(r.err, loadLines + "Unable to write standard output\n");
  EXPECT_EQ(r.status, 1);
}

TEST(CSource, WritesHeaderAndDataFiles) {
  InputDir ws({text(0x100, {0xaa, 0xbb, 0xcc})}, {.entry = 0x100});
  Outcome r = ws({"-r"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ws.file("rom.h"),
            "/* Generated File, do not edit */\n\n#include <types.h>\n\n"
            "#define ROM_SIZE     0x00000003\nextern u8 romData[];\n");
  EXPECT_EQ(ws.file("rom.c"),
            "/* Generated File, do not edit */\n\n#include \"rom.h\"\n\n\n"
            "u8 romData[ROM_SIZE] = {\n   0xaa,0xbb,0xcc\n};\n");
  EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "rom.c", "rom.h"}));
}

TEST(CSource, NewFilesGetPlainCreatePermissions) {
  for (mode_t mask : {022, 002, 077}) {
    InputDir ws;
    EXPECT_EQ(ws({"-r", "-R"}, {.umask = mask}).status, 0);
    for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) {
      struct stat st {};
      ASSERT_EQ(stat((ws.dir.path / name).c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << name;
    }
  }
}

TEST(RawRom, FileHasTheRomLengthFromDashL) {
  struct Case {
    std::vector<std::string> args;
    size_t size;
  };
  const Case cases[] = {{{"-R"}, 0x100000}, {{"-R", "-L", "0x20"}, 0x20}, {{"-R", "-L", "0"}, 8},
                        {{"-R", "-L", "4"}, 8}};
  InputDir ws({text(0x100, {1, 2, 3, 4, 5})}, {.entry = 0x100});
  for (const Case& c : cases) {
    Outcome r = ws(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> rom = readFile(ws.dir.path / "tolvek.rom");
    ASSERT_EQ(rom.size(), c.size) << c.args.back();
    EXPECT_EQ(std::vector<uint8_t>(rom.begin(), rom.begin() + 8),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
    if (c.size > 8) {
      EXPECT_EQ(std::vector<uint8_t>(rom.end() - 4, rom.end()),
                (std::vector<uint8_t>{static_cast<uint8_t>(c.size - 4),
                                      static_cast<uint8_t>((c.size - 4) >> 8),
                                      static_cast<uint8_t>(0xf0 | (c.size - 4) >> 16), 0xff}));
    }
  }
}

// Refusals and failures leave earlier files exactly as they were and no
// temporary behind; rom.h and rom.c change together or not at all.
TEST(Writers, RefusalsTouchNothing) {
  struct Case {
    std::vector<Seg> segs;
    const char* msg;
  };
  const Case cases[] = {{{data(0x800, {1})}, "No text segment!\n"},
                        {{text(0x200, {}, 4)}, "No text segment!\n"},
                        {{text(0x100, {1}), data(0x800, {1})},
                         "Has a data segment!\n"
                         "in.elf has a data segment; -H, -r and -R take a program of text alone (--format writes images of programs with data)\n"}};
  for (const Case& c : cases) {
    for (const char* opt : {"-r", "-R", "-H"}) {
      InputDir ws(c.segs, {.entry = 0x100});
      for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) ws.put(name, "old");
      Outcome r = ws({opt, "-l"});
      EXPECT_TRUE(r.err.ends_with(c.msg)) << opt << ": " << r.err;
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) EXPECT_EQ(ws.file(name), "old");
      EXPECT_EQ(listDir(ws.dir.path).size(), 4u);
    }
  }
}

TEST(Writers, FailuresKeepEarlierFilesAndLeaveNoTemporary) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::optional<unsigned long> limit;
    const char* dirName;  // a directory standing where a file goes
    std::string msg;
    std::vector<std::string> replaced;  // files the run put in place
  };
  const Case cases[] = {
      {"rom.c is a directory", {"-r", "-R"}, {}, "rom.c", "Unable to open ROM data file\n", {}},
      {"rom.h is a directory", {"-r"}, {}, "rom.h", "Unable to open ROM hdr file\n", {}},
      {"tolvek.rom is a directory", {"-R", "-r", "-H"}, {}, "tolvek.rom",
       "Unable to open ROM data file\n", {"rom.h", "rom.c"}},
      {"rom.h write fails", {"-r"}, 64, nullptr, "Unable to write ROM hdr file\n", {}},
      {"rom.c write fails", {"-r"}, 4096, nullptr, "Unable to write ROM data file\n", {}},
      {"ROM text write fails", {"-R"}, 4096, nullptr, "Unable to write ROM text data\n", {}},
  };
  for (const Case& c : cases) {
    // 8 KiB of text: its rom.c and its ROM pass a 4 KiB size limit.
    InputDir ws({text(0x100, counting(8192))}, {.entry = 0x100});
    for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) {
      if (c.dirName != nullptr && strcmp(name, c.dirName) == 0) {
        fs::create_directory(ws.dir.path / name);
      } else {
        ws.put(name, "old");
      }
    }
    Outcome r = ws(c.args, {.fileSizeLimit = c.limit});
    EXPECT_EQ(r.err, loadLines + c.msg) << c.what;
    EXPECT_EQ(r.status, 1) << c.what;
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(listDir(ws.dir.path),
              (std::vector<std::string>{"in.elf", "rom.c", "rom.h", "tolvek.rom"}))
        << c.what;
    for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) {
      const bool replaced = std::find(c.replaced.begin(), c.replaced.end(), name) != c.replaced.end();
      if (c.dirName != nullptr && strcmp(name, c.dirName) == 0) continue;
      if (replaced) {
        EXPECT_GT(ws.file(name).size(), 100u) << c.what << " " << name;
      } else {
        EXPECT_EQ(ws.file(name), "old") << c.what << " " << name;
      }
    }
  }
}

TEST(Writers, RomFillWriteFailureIsADataFileFailure) {
  InputDir ws({text(0x100, counting(16))}, {.entry = 0x100});
  ws.put("tolvek.rom", "old");
  Outcome r = ws({"-R"}, {.fileSizeLimit = 4096});
  EXPECT_EQ(r.err, loadLines + "Unable to write ROM data file\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(ws.file("tolvek.rom"), "old");
  EXPECT_EQ(listDir(ws.dir.path).size(), 2u);
}

TEST(Writers, RunOrderIsFixedWhateverTheCommandLine) {
  InputDir ws({text(0x100, {1, 2, 3, 4})}, {.entry = 0x100});
  Outcome r = ws({"-e", "-t", "-l", "-H", "-R", "-r"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "01020304\n" + zeros(511) + "len 4\ntext 256 0x00000100\nentry 256 0x00000100\n");
  EXPECT_EQ(listDir(ws.dir.path),
            (std::vector<std::string>{"in.elf", "rom.c", "rom.h", "tolvek.rom"}));
  // Files come in the order rom.h, rom.c, tolvek.rom.
  auto mtime = [&](const char* n) { return fs::last_write_time(ws.dir.path / n); };
  EXPECT_LE(mtime("rom.h"), mtime("rom.c"));
  EXPECT_LE(mtime("rom.c"), mtime("tolvek.rom"));
}

TEST(Writers, SignalDuringAWriteRemovesTheTemporary) {
  InputDir ws;
  ws.put("tolvek.rom", "old");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir(ws.dir.path.c_str()) != 0) {
      _exit(127);
    }
    execl(toolPath(), "romwright", "-f", "in.elf", "-R", "-L", "0x40000000", nullptr);
    _exit(127);
  }
  // Wait for the 1 GiB temporary to appear, then end the run.
  bool seen = false;
  for (int i = 0; i < 5000 && !seen; i++) {
    for (const std::string& n : listDir(ws.dir.path)) seen = seen || n.starts_with(".rw");
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGTERM);
  int waitStatus = 0;
  ASSERT_EQ(waitpid(pid, &waitStatus, 0), pid);
  ASSERT_TRUE(seen);
  EXPECT_TRUE(WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == SIGTERM);
  EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "tolvek.rom"}));
  EXPECT_EQ(ws.file("tolvek.rom"), "old");
}
