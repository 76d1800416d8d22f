// Replacing output files where it can go wrong: links planted in shared
// directories, dangling links and loops, groups of files cut by a failed
// rename, a signal or another run, and a run out of memory, out of input or
// out of name length.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <map>
#include <thread>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// Every file of `dir` with its contents (a link as "-> target").
std::map<std::string, std::string> snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& n : listDir(dir)) {
    const fs::path p = dir / n;
    if (fs::is_symlink(p)) {
      files[n] = "-> " + fs::read_symlink(p).string();
    } else if (fs::is_regular_file(p)) {
      const std::vector<uint8_t> b = readFile(p);
      files[n] = std::string(b.begin(), b.end());
    } else {
      files[n] = "(other)";
    }
  }
  return files;
}

size_t hiddenFiles(const fs::path& dir) {
  size_t n = 0;
  for (const std::string& name : listDir(dir)) n += name.starts_with(".rw");
  return n;
}

uid_t nobody() {
  const passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

// A link at `link` to `to`, owned by `uid`.
void linkOwnedBy(const fs::path& link, const fs::path& to, uid_t uid) {
  fs::create_symlink(to, link);
  ASSERT_EQ(lchown(link.c_str(), uid, static_cast<gid_t>(-1)), 0) << link;
}

bool haveStrace() { return system("strace -V >/dev/null 2>&1") == 0; }

// The leak checker of a sanitized build cannot run under ptrace; the other
// checks still do.
const char* const leakCheckOff = "ASAN_OPTIONS=detect_leaks=0";

}  // namespace

// In a sticky, world-writable directory a link of another user is refused
// wherever it stands on the way to an output name; nothing is written, the
// file it points at keeps its bytes and its mode.
TEST(SharedDirectories, LinkOfAnotherUserIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link owned by another user";
  const uid_t other = nobody();
  struct Case {
    std::vector<std::string> args;
    std::string link;  // planted by the other user; a path in the shared directory
    std::string message;  // the name as the run gave it
  };
  const std::string refused = " is a link owned by another user in a shared directory; not followed\n";
  const Case cases[] = {
      {{"-r"}, "rom.h", "rom.h"},
      {{"-r"}, "rom.c", "rom.c"},
      {{"-R"}, "tolvek.rom", "tolvek.rom"},
      {{"--format=bin", "--output=out.bin"}, "out.bin", "out.bin"},
      {{"--format=vmem", "--width=16", "--lanes=2", "--output=lane%d.vmem"}, "lane1.vmem", "lane1.vmem"},
      {{"--format=c", "--output=img.c", "--header=img.h"}, "img.h", "img.h"},
      // A directory on the way.
      {{"--format=bin", "--output=sub/victim"}, "sub", "sub/victim"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    InputDir ws;
    TempDir safe;
    const fs::path victim = safe.path / "victim";
    writeFile(victim, {reinterpret_cast<const uint8_t*>("secret"), 6});
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
    linkOwnedBy(ws.dir.path / c.link, c.link == "sub" ? safe.path : victim, other);
    const auto before = snapshot(ws.dir.path);
    std::vector<std::string> args = c.args;
    args.push_back("--quiet");
    Outcome r = ws(args);
    EXPECT_EQ(r.err, c.message + refused);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(ws.dir.path), before);
    EXPECT_EQ(snapshot(safe.path), (std::map<std::string, std::string>{{"victim", "secret"}}));
    EXPECT_EQ(modeOf(victim), 0600u);
  }

  // A chain: the caller's own link leads to one of another user's.
  InputDir ws;
  TempDir safe;
  writeFile(safe.path / "victim", {reinterpret_cast<const uint8_t*>("secret"), 6});
  fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
  linkOwnedBy(ws.dir.path / "hop", safe.path / "victim", other);
  fs::create_symlink("hop", ws.dir.path / "out.bin");
  Outcome r = ws({"--format=bin", "--output=out.bin", "--quiet"});
  EXPECT_EQ(r.err, "out.bin" + refused);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(snapshot(safe.path), (std::map<std::string, std::string>{{"victim", "secret"}}));
  EXPECT_EQ(hiddenFiles(ws.dir.path), 0u);
}

// The links the rule allows: the caller's own, and the directory owner's.
// The file they name is replaced and gets the mode a plain create gives.
TEST(SharedDirectories, LinkOfTheCallerOrTheDirectoryOwnerIsFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the directory and link to another user";
  for (const bool directoryOwner : {false, true}) {
    SCOPED_TRACE(directoryOwner ? "the directory owner's link" : "the caller's link");
    InputDir ws;
    TempDir safe;
    const fs::path victim = safe.path / "victim";
    writeFile(victim, {reinterpret_cast<const uint8_t*>("old"), 3});
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
    const uid_t owner = directoryOwner ? nobody() : geteuid();
    ASSERT_EQ(chown(ws.dir.path.c_str(), owner, static_cast<gid_t>(-1)), 0);
    linkOwnedBy(ws.dir.path / "out.bin", victim, owner);
    Outcome r = ws({"--format=bin", "--output=out.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(victim), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(modeOf(victim), 0644u);
    EXPECT_TRUE(fs::is_symlink(ws.dir.path / "out.bin"));
    EXPECT_EQ(hiddenFiles(ws.dir.path) + hiddenFiles(safe.path), 0u);
  }
}

TEST(OutputLinks, DanglingLinksAndLoopsAreRefused) {
  struct Case {
    std::map<std::string, std::string> links;  // name -> target
    std::string message;
  };
  const Case cases[] = {
      {{{"out.bin", "missing.bin"}}, "out.bin is a dangling symbolic link; not followed\n"},
      {{{"out.bin", "nodir/x.bin"}}, "out.bin is a dangling symbolic link; not followed\n"},
      {{{"out.bin", "next"}, {"next", "gone"}}, "out.bin is a dangling symbolic link; not followed\n"},
      {{{"out.bin", "out.bin"}}, "out.bin: too many levels of symbolic links\n"},
      {{{"out.bin", "a"}, {"a", "b"}, {"b", "a"}}, "out.bin: too many levels of symbolic links\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message + c.links.begin()->second);
    InputDir ws;
    for (const auto& [name, to] : c.links) fs::create_symlink(to, ws.dir.path / name);
    const auto before = snapshot(ws.dir.path);
    Outcome r = ws({"--format=bin", "--output=out.bin", "--quiet"});
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(ws.dir.path), before);
  }
}

namespace {

// A group of files one run writes, with an input whose files tell old from
// new.
struct Group {
  std::vector<std::string> args;
  std::vector<std::string> files;
};

const Group groups[] = {
    {{"-r"}, {"rom.h", "rom.c"}},
    {{"--format=vmem", "--lanes=4", "--output=lane%d.vmem"},
     {"lane0.vmem", "lane1.vmem", "lane2.vmem", "lane3.vmem"}},
    {{"--format=c", "--output=img.c", "--header=img.h"}, {"img.c", "img.h"}},
};

// What a plain run writes for `g`.
std::map<std::string, std::string> newFiles(const Group& g) {
  InputDir ws;
  Outcome r = ws(g.args);
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> files = snapshot(ws.dir.path);
  files.erase("in.elf");
  return files;
}

std::vector<std::string> injecting(const std::string& fault) {
  return {"env", leakCheckOff, "strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
          "-e", "inject=rename,renameat,renameat2:" + fault};
}

}  // namespace

// A rename that fails in the middle of a group puts back the files already
// replaced: the group stays wholly old.
TEST(Groups, FailedRenameLeavesTheWholeGroupOld) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (!haveStrace()) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  for (const Group& g : groups) {
    for (size_t when = 1; when <= g.files.size(); when++) {
      SCOPED_TRACE(g.files[0] + " group, rename " + std::to_string(when) + " fails");
      InputDir ws;
      for (const std::string& f : g.files) ws.put(f.c_str(), "old " + f);
      const auto before = snapshot(ws.dir.path);
      Outcome r = ws(g.args, {.launcher = injecting("error=EPERM:when=" + std::to_string(when))});
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(r.err.ends_with(g.files[0] == "rom.h" && when == 1 ? "Unable to open ROM hdr file\n"
                                  : g.files[0] == "rom.h"           ? "Unable to open ROM data file\n"
                                  : "Unable to open image file " + g.files[when - 1] + ": Operation not permitted\n"))
          << r.err;
      EXPECT_EQ(snapshot(ws.dir.path), before);
    }
  }
}

// Where no hard link can be made, the old files are moved aside instead:
// the group is still replaced whole, and still put back on a failure.
TEST(Groups, WithoutHardLinksTheGroupIsStillWholeOrUndone) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (!haveStrace()) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  const Group& g = groups[0];
  std::map<std::string, std::string> renewed = newFiles(g);
  for (const bool renameFails : {false, true}) {
    SCOPED_TRACE(renameFails ? "the second rename fails" : "every rename succeeds");
    InputDir ws;
    for (const std::string& f : g.files) ws.put(f.c_str(), "old " + f);
    std::map<std::string, std::string> expected = snapshot(ws.dir.path);
    if (!renameFails) expected.insert_or_assign("rom.h", renewed["rom.h"]);
    if (!renameFails) expected.insert_or_assign("rom.c", renewed["rom.c"]);
    std::vector<std::string> launcher = {"env", leakCheckOff, "strace", "-f", "-o", "/dev/null", "-e",
                                         "inject=link,linkat:error=EPERM"};
    if (renameFails) launcher.insert(launcher.end(), {"-e", "inject=rename,renameat:error=EPERM:when=2"});
    Outcome r = ws(g.args, {.launcher = launcher});
    EXPECT_EQ(r.status, renameFails ? 1 : 0) << r.err;
    EXPECT_EQ(snapshot(ws.dir.path), expected);
  }
}

// An ending signal during the renames waits for the group to be complete:
// the run ends by the signal with the whole group new and nothing hidden
// left behind.
TEST(Groups, SignalDuringTheRenamesLeavesTheWholeGroupNew) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (!haveStrace()) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  for (const Group& g : groups) {
    std::map<std::string, std::string> expected = newFiles(g);
    expected["in.elf"] = "";
    for (size_t when = 1; when <= g.files.size(); when++) {
      SCOPED_TRACE(g.files[0] + " group, SIGTERM at rename " + std::to_string(when));
      InputDir ws;
      for (const std::string& f : g.files) ws.put(f.c_str(), "old " + f);
      Outcome r = ws(g.args, {.launcher = injecting("signal=TERM:when=" + std::to_string(when))});
      EXPECT_EQ(r.signal, SIGTERM) << r.status << r.err;
      std::map<std::string, std::string> got = snapshot(ws.dir.path);
      got["in.elf"] = "";
      EXPECT_EQ(got, expected);
    }
  }
}

// Two runs writing the same lanes at once: each pair leaves one run's lanes.
TEST(Groups, ConcurrentRunsLeaveOneRunsGroupWhole) {
  InputDir ws({text(0x100, std::vector<uint8_t>(1 << 18, 0xaa))});
  writeFile(ws.dir.path / "other.elf",
            build(Order::Little, std::vector<Seg>{text(0x100, std::vector<uint8_t>(1 << 18, 0xbb))},
                  {.entry = 0x100}));
  auto start = [&](const char* input) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir(ws.dir.path.c_str()) != 0) {
      _exit(127);
    }
    execl(toolPath(), "romwright", "-f", input, "--format=vmem", "--width=32", "--lanes=4",
          "--output=lane%d.vmem", nullptr);
    _exit(127);
  };
  for (int pair = 0; pair < 30; pair++) {
    const pid_t a = start("in.elf");
    const pid_t b = start("other.elf");
    int sa = 0, sb = 0;
    ASSERT_EQ(waitpid(a, &sa, 0), a);
    ASSERT_EQ(waitpid(b, &sb, 0), b);
    ASSERT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0 && WIFEXITED(sb) && WEXITSTATUS(sb) == 0);
    // Every lane of the first input holds "aa" bytes, every one of the
    // other "bb".
    const bool other = ws.file("lane0.vmem").find("bb") != std::string::npos;
    for (int lane = 0; lane < 4; lane++) {
      const std::string name = "lane" + std::to_string(lane) + ".vmem";
      const std::string lines = ws.file(name.c_str());
      ASSERT_NE(lines.find(other ? "bb" : "aa"), std::string::npos) << "pair " << pair << ", " << name;
      ASSERT_EQ(lines.find(other ? "aa" : "bb"), std::string::npos) << "pair " << pair << ", " << name;
    }
    ASSERT_EQ(hiddenFiles(ws.dir.path), 0u) << "pair " << pair;
  }
}

// Out of memory while an image is made: one line, waitStatus 1, the temporary
// removed and the earlier file untouched.
TEST(Resources, OutOfMemoryIsAMessage) {
  // The least address space the tool starts in, found by trying, and a
  // little more: too little for the buffers of a 16 MiB image.
  if (wrapped()) GTEST_SKIP() << "a wrapper takes address space of its own";
  InputDir ws;
  unsigned long limit = 2048ul << 10;
  while (limit < (64ul << 20) && ws({"--version"}, {.addressSpaceLimit = limit}).status != 0) limit += 256ul << 10;
  if (limit >= (64ul << 20)) GTEST_SKIP() << "this build of the tool does not start within 64 MiB";
  limit += 256ul << 10;
  for (const char* format : {"bin", "ihex", "srec"}) {
    SCOPED_TRACE(format);
    ws.put("out.img", "old");
    // A fill makes Intel HEX and S-records dense over the region as well.
    Outcome r = ws({"--format=" + std::string(format), "--region=0:16M", "--fill=0", "--output=out.img", "--quiet"},
                  {.addressSpaceLimit = limit});
    EXPECT_EQ(r.err, "out of memory\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ws.file("out.img"), "old");
    EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "out.img"}));
  }
}

// The input cut short while the image is made from its mapped bytes.
TEST(Resources, InputShrinkingWhileReadIsAMessage) {
  InputDir ws({text(0x100, counting(48 << 20))});
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(err[1], 2) < 0 || chdir(ws.dir.path.c_str()) != 0) {
      _exit(127);
    }
    execl(toolPath(), "romwright", "-f", "in.elf", "--format=vmem", "--output=out.vmem", "--quiet",
          nullptr);
    _exit(127);
  }
  close(err[1]);
  bool seen = false;
  for (int i = 0; i < 40000 && !seen; i++) {
    seen = hiddenFiles(ws.dir.path) > 0;
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  EXPECT_EQ(truncate((ws.dir.path / "in.elf").c_str(), 4096), 0);
  std::string said;
  char buf[256];
  for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
  close(err[0]);
  int waitStatus = 0;
  ASSERT_EQ(waitpid(pid, &waitStatus, 0), pid);
  ASSERT_TRUE(seen);
  EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 1) << waitStatus;
  EXPECT_EQ(said, "input file in.elf changed while it was read\n");
  EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf"}));
}

// A name as long as the filesystem takes, new and replaced.
TEST(OutputFiles, NameOfTheLongestLengthWorks) {
  InputDir ws;
  const std::string name(255, 'n');
  for (int run = 0; run < 2; run++) {
    Outcome r = ws({"--format=vmem", "--output=" + name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ws.file(name.c_str()), "04030201\n");
    EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", name}));
  }
}
