// Output files and standard streams under the conditions a shell or a
// build can put a run in: signals, size limits, closed streams, pipes whose
// reader went away, and directories with a default ACL.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

// Starts the tool in `dir` with standard output on `out` and standard error
// on `err` (default /dev/null), with the signals `ignored` ignored as a shell
// can leave them.
pid_t start(const fs::path& dir, std::vector<std::string> args, int out = -1,
            std::vector<int> ignored = {}, int err = -1) {
  args.insert(args.begin(), {"romwright", "-f", "in.elf"});
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(out >= 0 ? out : null, 1) < 0 || dup2(err >= 0 ? err : null, 2) < 0 ||
      chdir(dir.c_str()) != 0) {
    _exit(127);
  }
  for (int sig : ignored) signal(sig, SIG_IGN);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(toolPath(), argv.data());
  _exit(127);
}

// The hidden files (temporaries and backups) the tool has in `dir`.
size_t hiddenFiles(const fs::path& dir) {
  size_t n = 0;
  for (const std::string& name : listDir(dir)) n += name.starts_with(".rw");
  return n;
}

// Waits until `count` temporaries show in `dir`.
bool awaitTemporaries(const fs::path& dir, size_t count = 1) {
  for (int i = 0; i < 20000; i++) {
    if (hiddenFiles(dir) >= count) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(250));
  }
  return false;
}

int waitFor(pid_t pid) {
  int waitStatus = 0;
  EXPECT_EQ(waitpid(pid, &waitStatus, 0), pid);
  return waitStatus;
}

}  // namespace

TEST(Signals, EveryEndingSignalRemovesThePendingTemporaries) {
  // A 16 MiB text makes rom.c long enough to be caught while it is written.
  const std::vector<uint8_t> big = counting(16 << 20);
  struct Case {
    int sig;
    std::vector<std::string> args;
    size_t temporaries;
  };
  std::vector<Case> cases;
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
                  SIGPROF}) {
    cases.push_back({sig, {"-R", "-L", "0x40000000"}, 1});
  }
  // While rom.c is written, rom.h is complete but not yet in place.
  cases.push_back({SIGTERM, {"-r"}, 2});
  for (const Case& c : cases) {
    SCOPED_TRACE(strsignal(c.sig));
    InputDir ws({text(0x100, c.args[0] == "-r" ? big : counting(4))});
    for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) ws.put(name, "old");
    const pid_t pid = start(ws.dir.path, c.args);
    const bool seen = awaitTemporaries(ws.dir.path, c.temporaries);
    kill(pid, c.sig);
    const int waitStatus = waitFor(pid);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == c.sig) << waitStatus;
    EXPECT_EQ(listDir(ws.dir.path),
              (std::vector<std::string>{"in.elf", "rom.c", "rom.h", "tolvek.rom"}));
    for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) EXPECT_EQ(ws.file(name), "old") << name;
  }
}

TEST(Signals, SignalIgnoredAtStartStaysIgnored) {
  InputDir ws;
  const pid_t pid = start(ws.dir.path, {"-R", "-L", "0x4000000"}, -1, {SIGUSR1});
  const bool seen = awaitTemporaries(ws.dir.path);
  kill(pid, SIGUSR1);
  const int waitStatus = waitFor(pid);
  ASSERT_TRUE(seen);
  EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0) << waitStatus;
  EXPECT_EQ(fs::file_size(ws.dir.path / "tolvek.rom"), 0x4000000u);
}

TEST(Signals, ListingIntoAPipeWithoutReaderEndsQuietlyBySigpipe) {
  for (bool ignored : {false, true}) {
    InputDir ws;
    TempDir capture;
    const fs::path errPath = capture.path / "err";
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fds[2];
    ASSERT_GE(err, 0);
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // the reader has gone, as after `| head -1`
    const pid_t pid = start(ws.dir.path, {"-H", "-M", "0x100000"}, fds[1],
                            ignored ? std::vector<int>{SIGPIPE} : std::vector<int>{}, err);
    close(fds[1]);
    close(err);
    const int waitStatus = waitFor(pid);
    const std::vector<uint8_t> said = readFile(errPath);
    if (ignored) {
      EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 1) << waitStatus;
      EXPECT_EQ(std::string(said.begin(), said.end()), loadLines + "Unable to write standard output\n");
    } else {
      EXPECT_TRUE(WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == SIGPIPE) << waitStatus;
      EXPECT_EQ(std::string(said.begin(), said.end()), loadLines);
    }
  }
}

TEST(Limits, ListingPastTheFileSizeLimitFailsWithTheUsualMessage) {
  InputDir ws;
  Outcome r = ws({"-H", "-M", "0x100000"},
                {.stdoutPath = (ws.dir.path / "listing").string(), .fileSizeLimit = 4096});
  EXPECT_EQ(r.err, loadLines + "Unable to write standard output\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0);
}

TEST(StandardStreams, ClosedStandardOutputFailsOnlyARunThatWritesToIt) {
  // A wrapper such as valgrind opens its log on the free descriptor 1.
  if (wrapped()) GTEST_SKIP() << "the wrapper takes the closed standard output for itself";
  struct Case {
    std::vector<std::string> args;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {{}, loadLines, 0},
      {{"-r", "-R"}, loadLines, 0},
      {{"-l"}, loadLines + "Unable to write standard output\n", 1},
      {{"-r", "-H"}, loadLines + "Unable to write standard output\n", 1},
  };
  for (const Case& c : cases) {
    InputDir ws;
    Outcome r = ws(c.args, {.stdoutClosed = true});
    EXPECT_EQ(r.err, c.err) << c.args.size();
    EXPECT_EQ(r.status, c.status) << c.args.size();
    if (!c.args.empty() && c.args[0] == "-r") {
      // No output file took the place of standard output.
      EXPECT_TRUE(ws.file("rom.c").starts_with("/* Generated File")) << ws.file("rom.c");
      EXPECT_TRUE(ws.file("rom.h").starts_with("/* Generated File")) << ws.file("rom.h");
    }
  }
}

TEST(Permissions, OutputsGetWhatAPlainCreateGivesUnderADefaultAcl) {
  InputDir ws;
  const std::string acl = "setfacl -d -m u::rw,g::r,o::---,g:users:rw '" + ws.dir.path.string() +
                          "' 2>/dev/null";
  if (system(acl.c_str()) != 0) GTEST_SKIP() << "no setfacl or no ACL support on this filesystem";
  const fs::path plain = ws.dir.path / "plain";
  const int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  close(fd);
  auto mode = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
  };
  EXPECT_EQ(mode(plain), 0660u);  // the ACL's mask, not the umask, decides
  ASSERT_EQ(ws({"-r", "-R"}).status, 0);
  for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) {
    EXPECT_EQ(mode(ws.dir.path / name), mode(plain)) << name;
  }
}

TEST(Permissions, ReadOnlyOutputFilesAreReplaced) {
  InputDir ws;
  for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) {
    ws.put(name, "old");
    fs::permissions(ws.dir.path / name, fs::perms::owner_read);
  }
  Outcome r = ws({"-r", "-R"});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* name : {"rom.h", "rom.c", "tolvek.rom"}) EXPECT_NE(ws.file(name), "old") << name;
}

// What cannot be replaced is written in place, and a link keeps pointing
// where it did: --output=/dev/null or a FIFO must not turn into a file.
TEST(OutputFiles, LinksAreFollowedAndFifosWrittenInPlace) {
  InputDir ws;
  const fs::path dir = ws.dir.path;
  fs::create_directory(dir / "real");
  ws.put("real/rom.vmem", "old");
  fs::create_symlink("real/rom.vmem", dir / "link.vmem");
  ws.put("real/tolvek.rom", "old");
  fs::create_symlink("real/tolvek.rom", dir / "tolvek.rom");
  Outcome r = ws({"--format=vmem", "--output=link.vmem", "-R", "-L", "8"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(dir / "link.vmem"));
  EXPECT_EQ(ws.file("real/rom.vmem"), "04030201\n");
  EXPECT_TRUE(fs::is_symlink(dir / "tolvek.rom"));
  EXPECT_EQ(fs::file_size(dir / "real/tolvek.rom"), 8u);
  EXPECT_EQ(listDir(dir / "real"), (std::vector<std::string>{"rom.vmem", "tolvek.rom"}));

  ASSERT_EQ(mkfifo((dir / "image.fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] {
    const std::vector<uint8_t> got = readFile(dir / "image.fifo");
    fromFifo.assign(got.begin(), got.end());
  });
  r = ws({"--format=vmem", "--output=image.fifo"});
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(fromFifo, "04030201\n");
  EXPECT_TRUE(fs::is_fifo(dir / "image.fifo"));
}

TEST(StandardStreams, QuietStillSaysWhyAFileCannotBeOpened) {
  InputDir ws;
  Outcome r = ws({"--quiet", "-f", "missing.elf", "-l"});
  EXPECT_EQ(r.err, "unable to open missing.elf\nunable to load elf file missing.elf\n");
  EXPECT_EQ(r.status, 1);
}
