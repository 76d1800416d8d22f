// Output safety under the conditions an attacker or a careless user makes:
// another account swapping links in while the tool runs, FIFOs planted by
// another user, inputs on pipes, every fatal signal at a random moment,
// directories that cannot be read, locks held by another process, standard
// output by name, and response files without end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;
namespace fs = std::filesystem;

namespace {

const fs::path testdata = ROMWRIGHT_TESTDATA;

uid_t nobody() {
  const passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

gid_t nogroup() {
  const passwd* pw = getpwnam("nobody");
  return pw != nullptr ? pw->pw_gid : 65534;
}

// Becomes `uid` in a child about to do a user's work.
void become(uid_t uid) {
  const gid_t g = nogroup();
  if (setgroups(0, nullptr) != 0 || setgid(g) != 0 || setuid(uid) != 0) _exit(126);
}

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

size_t hiddenFiles(const fs::path& dir) {
  size_t n = 0;
  for (const std::string& name : listDir(dir)) n += name.starts_with(".rw");
  return n;
}

// A run of the tool started in the background, standard error collected.
struct Child {
  pid_t pid = -1;
  int err = -1;  // the read end of its standard error
};

struct SpawnOptions {
  uid_t uid = static_cast<uid_t>(-1);  // run as this user
  int in = -1;                         // standard input (default /dev/null)
  int out = -1;                        // standard output (default /dev/null)
  // A sanitizer's runtime takes SIGSEGV, SIGBUS and SIGFPE for its reports
  // from the process's first instruction until main installs the tool's own
  // handlers; a signal sent in that window would end the run by the
  // runtime's exit status. This leaves them at the default action.
  bool signalsAtDefaultBeforeMain = false;
};

Child spawn(const fs::path& dir, const std::vector<std::string>& args, SpawnOptions o = {}) {
  int err[2];
  if (pipe(err) != 0) return {};
  const pid_t pid = fork();
  if (pid != 0) {
    close(err[1]);
    return {pid, err[0]};
  }
  close(err[0]);
  const int null = open("/dev/null", O_RDWR);
  if (null < 0 || dup2(o.in >= 0 ? o.in : null, 0) < 0 || dup2(o.out >= 0 ? o.out : null, 1) < 0 ||
      dup2(err[1], 2) < 0 || chdir(dir.c_str()) != 0) {
    _exit(127);
  }
  // No core files in the test's directories: the signal still shows.
  const rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  if (o.uid != static_cast<uid_t>(-1)) become(o.uid);
  if (o.signalsAtDefaultBeforeMain) {
    const char* before = getenv("ASAN_OPTIONS");
    const std::string options = std::string(before ? before : "") +
                                ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
  }
  std::vector<std::string> words = {"romwright"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  execv(toolPath(), argv.data());
  _exit(127);
}

struct Ended {
  int waitStatus = 0;
  std::string err;
  bool exited(int status) const { return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == status; }
  bool killedBy(int sig) const { return WIFSIGNALED(waitStatus) && WTERMSIG(waitStatus) == sig; }
};

Ended finish(const Child& c) {
  Ended e;
  char buf[4096];
  for (ssize_t n; (n = read(c.err, buf, sizeof buf)) != 0;) {
    if (n > 0) e.err.append(buf, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  }
  close(c.err);
  while (waitpid(c.pid, &e.waitStatus, 0) < 0 && errno == EINTR) {
  }
  return e;
}

// Reads the standard error of `c` up to its first line end.
std::string firstLineOf(const Child& c) {
  std::string said;
  char ch;
  while (said.find('\n') == std::string::npos && read(c.err, &ch, 1) == 1) said += ch;
  return said;
}

Ended runIn(const fs::path& dir, const std::vector<std::string>& args, SpawnOptions o = {}) {
  return finish(spawn(dir, args, o));
}

std::string bytesText(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// Every file of `dir` with its bytes.
std::map<std::string, std::string> snapshotOf(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const std::string& n : listDir(dir)) files[n] = slurp(dir / n);
  return files;
}

// A directory others may enter, made by root for runs of another user.
fs::path openDir(const TempDir& base) {
  fs::permissions(base.path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  return base.path;
}

}  // namespace

// Another user loops `ln -s TARGET dir/o1.vmem; rm dir/o1.vmem` in a shared
// directory while root writes a 2-lane image there, the target a root-only
// FIFO with a reader or a root-only file: no run may write through the
// link. Each run either writes its own files or refuses the link.
TEST(SharedDirectories, LinkSwappedInAfterTheCheckIsNeverWrittenThrough) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a second user's swapper";
  TempDir base;
  const fs::path dir = openDir(base);
  writeFile(dir / "in.elf", build(Order::Little, std::vector<Seg>{text(0x100, counting(4096))}, {.entry = 0x100}));
  const fs::path shared = dir / "shared";
  const fs::path secret = dir / "private";
  fs::create_directory(shared);
  fs::create_directory(secret);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  fs::permissions(secret, fs::perms::owner_all);
  writeFile(secret / "file", std::vector<uint8_t>{'s', 'e', 'c', 'r', 'e', 't'});
  fs::permissions(secret / "file", fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(mkfifo((secret / "fifo").c_str(), 0600), 0);
  const int reader = open((secret / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);

  auto* swaps = static_cast<std::atomic<long>*>(
      mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(swaps, MAP_FAILED);
  new (swaps) std::atomic<long>(0);
  const pid_t swapper = fork();
  ASSERT_GE(swapper, 0);
  if (swapper == 0) {
    become(nobody());
    const std::string link = (shared / "o1.vmem").string();
    const std::string targets[] = {(secret / "fifo").string(), (secret / "file").string()};
    for (long i = 0;; i++) {
      if (symlink(targets[i & 1].c_str(), link.c_str()) == 0) {
        swaps->fetch_add(1);
        unlink(link.c_str());
      }
    }
  }

  int wrote = 0, refused = 0, other = 0;
  std::string unexpected;
  const double until = seconds() + 3;
  for (int round = 0; round < 150 && seconds() < until; round++) {
    const Ended e = runIn(shared, {"-f", "../in.elf", "--format=vmem", "--width=16", "--lanes=2",
                                   "--output=o%d.vmem", "--quiet"});
    if (e.exited(0)) {
      wrote++;
    } else if (e.exited(1) && (e.err == "o1.vmem is a link owned by another user in a shared directory; not followed\n" ||
                               e.err == "o1.vmem changed while it was opened; not written\n")) {
      refused++;
    } else {
      other++;
      unexpected = e.err;
    }
    // The swapper cannot remove root's file from the shared directory.
    for (const char* name : {"o0.vmem", "o1.vmem"}) {
      struct stat st {};
      if (lstat((shared / name).c_str(), &st) == 0 && st.st_uid == 0) unlink((shared / name).c_str());
    }
  }
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  char buf[64];
  const ssize_t throughFifo = read(reader, buf, sizeof buf);
  close(reader);
  const long swapped = swaps->load();
  munmap(swaps, sizeof(std::atomic<long>));
  RecordProperty("runs_written", wrote);
  RecordProperty("runs_refused", refused);
  EXPECT_LE(throughFifo, 0) << "a run wrote into the FIFO through the link";
  EXPECT_EQ(slurp(secret / "file"), "secret");
  EXPECT_EQ(listDir(secret), (std::vector<std::string>{"fifo", "file"}));
  EXPECT_EQ(other, 0) << unexpected;
  EXPECT_GT(swapped, 100) << "the swapper hardly ran";
  EXPECT_GT(wrote + refused, 20);
  EXPECT_EQ(hiddenFiles(shared), 0u);
}

// A FIFO, socket or device planted by another user in a shared directory is
// refused before anything is read or written, whatever the kernel's
// protected_fifos setting: whoever planted it would read the image. The
// directory owner's own FIFO is written, as the kernel's rule allows.
TEST(SharedDirectories, FifoOrSocketOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant files of another user";
  struct Case {
    std::vector<std::string> args;
    std::string name;
    bool socket;
  };
  const Case cases[] = {
      {{"--format=ihex", "--output=image.hex"}, "image.hex", false},
      {{"--format=vmem", "--width=16", "--lanes=2", "--output=lane%d.vmem"}, "lane1.vmem", false},
      {{"-r"}, "rom.c", false},
      {{"-R"}, "tolvek.rom", false},
      {{"--format=bin", "--output=image.bin"}, "image.bin", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InputDir ws;
    fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
    const fs::path planted = ws.dir.path / c.name;
    if (c.socket) {
      const int s = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      ASSERT_LT(planted.string().size(), sizeof a.sun_path);
      strcpy(a.sun_path, planted.c_str());
      ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
      close(s);
    } else {
      ASSERT_EQ(mkfifo(planted.c_str(), 0666), 0);
    }
    ASSERT_EQ(lchown(planted.c_str(), nobody(), static_cast<gid_t>(-1)), 0);
    const std::vector<std::string> before = listDir(ws.dir.path);
    std::vector<std::string> args = c.args;
    args.push_back("--quiet");
    const Outcome r = ws(args);
    EXPECT_EQ(r.err, c.name + " is a " + (c.socket ? "socket" : "FIFO") +
                         " owned by another user in a shared directory; not written\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(ws.dir.path), before);
  }

  // The directory's owner's FIFO is written in place.
  InputDir ws;
  fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
  ASSERT_EQ(chown(ws.dir.path.c_str(), nobody(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(mkfifo((ws.dir.path / "image.fifo").c_str(), 0666), 0);
  ASSERT_EQ(lchown((ws.dir.path / "image.fifo").c_str(), nobody(), static_cast<gid_t>(-1)), 0);
  std::string got;
  std::thread reader([&] { got = bytesText(readFile(ws.dir.path / "image.fifo")); });
  const Outcome r = ws({"--format=vmem", "--output=image.fifo"});
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(got, "04030201\n");
}

// A FIFO of the caller's own without a reader: the run says what it waits
// for after a second and gives up after --lock-timeout; a reader that comes
// in time gets the image.
TEST(OutputFiles, FifoWithoutReaderIsWaitedForWithABound) {
  InputDir ws;
  ASSERT_EQ(mkfifo((ws.dir.path / "image.fifo").c_str(), 0600), 0);
  double start = seconds();
  Outcome r = ws({"--format=vmem", "--output=image.fifo", "--lock-timeout=2"});
  const double waited = seconds() - start;
  EXPECT_EQ(r.err,
            "waiting for a reader of FIFO image.fifo\n"
            "no reader opened FIFO image.fifo in 2 seconds; nothing written (--lock-timeout sets how long to wait)\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(waited, 2.0);
  EXPECT_LT(waited, 6.0);

  // A reader that opens the FIFO once the run says it waits for one.
  const Child c = spawn(ws.dir.path, {"-f", "in.elf", "--format=vmem", "--output=image.fifo"});
  const std::string said = firstLineOf(c);
  if (said != "waiting for a reader of FIFO image.fifo\n") {
    kill(c.pid, SIGKILL);
    const Ended e = finish(c);
    FAIL() << said << e.err;
  }
  const std::string got = bytesText(readFile(ws.dir.path / "image.fifo"));
  const Ended e = finish(c);
  EXPECT_EQ(said + e.err, "waiting for a reader of FIFO image.fifo\n");
  EXPECT_TRUE(e.exited(0));
  EXPECT_EQ(got, "04030201\n");
  EXPECT_TRUE(fs::is_fifo(ws.dir.path / "image.fifo"));
}

// Two links to one file planted by another user are refused as links, not
// taken for one output written twice.
TEST(SharedDirectories, PlantedLinksAreRefusedBeforeTheyAreComparedAsOutputs) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make links owned by another user";
  InputDir ws;
  TempDir safe;
  writeFile(safe.path / "victim", std::vector<uint8_t>{'o', 'l', 'd'});
  fs::permissions(ws.dir.path, fs::perms::all | fs::perms::sticky_bit);
  for (const char* name : {"rom.h", "rom.c"}) {
    fs::create_symlink(safe.path / "victim", ws.dir.path / name);
    ASSERT_EQ(lchown((ws.dir.path / name).c_str(), nobody(), static_cast<gid_t>(-1)), 0);
  }
  const Outcome r = ws({"-r"});
  EXPECT_EQ(r.err, "rom.h is a link owned by another user in a shared directory; not followed\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(slurp(safe.path / "victim"), "old");
}

// A user who may not replace another user's file in a sticky directory
// gets the refusal before any hidden link to that file is made: a link the
// user could not remove again.
TEST(SharedDirectories, NoBackupLinkWhereTheRenameWouldBeRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  TempDir base;
  const fs::path dir = openDir(base);
  writeFile(dir / "in.elf", build(Order::Little, std::vector<Seg>{text(0x100, {1, 2, 3, 4})}, {.entry = 0x100}));
  fs::permissions(dir / "in.elf", fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  const fs::path shared = dir / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
  writeFile(shared / "x.bin", std::vector<uint8_t>{'o', 'l', 'd'});
  fs::permissions(shared / "x.bin", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                        ~fs::perms::others_exec);  // 0666: a hard link is allowed
  const Ended e = runIn(shared, {"-f", "../in.elf", "--format=bin", "--output=x.bin"}, {.uid = nobody()});
  EXPECT_EQ(e.err, "Unable to open image file x.bin: Operation not permitted\n");
  EXPECT_TRUE(e.exited(1));
  EXPECT_EQ(listDir(shared), std::vector<std::string>{"x.bin"});
  EXPECT_EQ(slurp(shared / "x.bin"), "old");
}

// An input on a pipe is read once, from its start: `cat FILE |` gives the
// image FILE gives, for every kind as -f and as --merge.
TEST(InputsFromPipes, EveryKindThroughCatGivesTheFilesImage) {
  struct Case {
    const char* file;
    std::string args;  // with @IN for the input
  };
  const std::string merged = " -f base.elf --format=ihex --output=out.hex";
  const Case cases[] = {
      {"romcopy-arm.elf", "-f @IN --format=bin --width=8 --output=out.bin"},
      {"romcopy-arm.objcopy.hex", "-f @IN --format=bin --width=8 --output=out.bin"},
      {"romcopy-arm.objcopy.srec", "-f @IN --format=bin --width=8 --output=out.bin"},
      {"blink-arm.s19-16.srec", "-f @IN --format=vmem --output=out.vmem"},
      {"romcopy-arm.elf", "--merge=@IN" + merged},
      {"romcopy-arm.objcopy.hex", "--merge=@IN" + merged},
      {"romcopy-arm.objcopy.srec", "--merge=@IN" + merged},
      {"romcopy-arm.load.bin", "--merge=@IN@0x08000000" + merged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + ": " + c.args);
    TempDir fromFile, fromPipe;
    for (const TempDir* d : {&fromFile, &fromPipe}) {
      fs::copy_file(testdata / c.file, d->path / c.file);
      writeFile(d->path / "base.elf",
                build(Order::Little, std::vector<Seg>{text(0x08010000, {1, 2, 3, 4})}, {.entry = 0x08010000}));
    }
    auto with = [&](const std::string& in) {
      std::string a = c.args;
      a.replace(a.find("@IN"), 3, in);
      return a;
    };
    std::string tool = "'";
    tool.append(toolPath()).append("' --quiet ");
    ASSERT_SH(fromFile.path, tool + with(c.file));
    std::string piped = "cat ";
    piped.append(c.file).append(" | ").append(tool).append(with("/dev/stdin"));
    ASSERT_SH(fromPipe.path, piped);
    EXPECT_EQ(snapshotOf(fromPipe.path), snapshotOf(fromFile.path));
  }
}

// A text input on a pipe keeps its bounds while it is read: a line without
// end fails as soon as it passes the longest line, not after the stream
// (which here never ends); records cut at a line boundary are refused.
TEST(InputsFromPipes, LongLineFailsAsSoonAsItIsSeen) {
  TempDir dir;
  const std::string tool = "timeout 20 '" + std::string(toolPath()) + "'";
  Shell r = sh(dir.path, "(printf ':'; yes 0 | tr -d '\\n') | " + tool + " -f /dev/stdin --format=vmem --output=x");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "/dev/stdin:1: a line longer than 65536 characters\n");
  r = sh(dir.path, "(yes -- --quiet | tr -d '\\n') | " + tool + " -f in.elf @/dev/stdin");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "/dev/stdin:1: a line longer than 65536 characters\n");
  r = sh(dir.path, "yes -- --quiet | " + tool + " -f in.elf @/dev/stdin");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "/dev/stdin: the response files hold more than 16 MiB\n");
  const std::string hex = (testdata / "romcopy-arm.objcopy.hex").string();
  r = sh(dir.path, "head -n 20 '" + hex + "' | " + tool + " -f /dev/stdin --format=vmem --output=x");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "/dev/stdin: ends at line 20 without an end-of-file record (type 01); it may have been cut short\n");
  EXPECT_EQ(listDir(dir.path), std::vector<std::string>{});
}

// Response files are bounded: a NUL is refused with its line, so are a
// line too long and more bytes than any command line needs.
TEST(ResponseFiles, NulLongLinesAndSizeAreRefused) {
  TempDir dir;
  writeFile(dir.path / "nul.rsp", std::vector<uint8_t>{'-', 'l', '\n', '#', '\n', '-', '-', 'q', 0, '\n'});
  writeFile(dir.path / "long.rsp", std::vector<uint8_t>(70000, 'x'));
  {
    std::vector<uint8_t> big;
    const std::string line = "--quiet\n";
    while (big.size() <= (17u << 20)) big.insert(big.end(), line.begin(), line.end());
    writeFile(dir.path / "big.rsp", big);
  }
  struct Case {
    const char* arg;
    const char* err;
  };
  const Case cases[] = {
      {"@nul.rsp", "nul.rsp:3: a NUL byte, which no argument can hold\n"},
      {"@long.rsp", "long.rsp:1: a line longer than 65536 characters\n"},
      {"@big.rsp", "big.rsp: the response files hold more than 16 MiB\n"},
      {"@/dev/zero", "/dev/zero:1: a NUL byte, which no argument can hold\n"},
  };
  for (const Case& c : cases) {
    const Outcome r = run({"-f", (testdata / "romcopy-arm.elf").string(), "-l", c.arg}, {.cwd = dir.path});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
}

namespace {

// Every signal whose default action ends the process, but SIGKILL, which
// cannot be handled, and SIGXFSZ, which the tool ignores.
std::vector<int> fatalSignals() {
  std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,
                           SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,   SIGXCPU, SIGVTALRM,
                           SIGPROF, SIGIO,   SIGSYS,  SIGSTKFLT, SIGPWR, SIGRTMIN, SIGRTMAX};
  return sigs;
}

}  // namespace

// Each fatal signal, sent with kill at random moments of a run writing a
// group of four lane files: the group is all old or all new, no temporary is
// left, and the run ends by that very signal.
TEST(Signals, EveryFatalSignalAtRandomMomentsLeavesTheGroupWholeAndEndsTheRunByIt) {
  InputDir ws({text(0x100, counting(1 << 20))});
  const std::vector<std::string> args = {"-f", "in.elf", "--format=vmem", "--width=32", "--lanes=4",
                                         "--output=lane%d.vmem"};
  const std::vector<std::string> lanes = {"lane0.vmem", "lane1.vmem", "lane2.vmem", "lane3.vmem"};
  // What a whole run writes, and how long it takes.
  double took = 1e9;
  for (int i = 0; i < 3; i++) {
    const double start = seconds();
    ASSERT_TRUE(runIn(ws.dir.path, args).exited(0));
    took = std::min(took, seconds() - start);
  }
  std::map<std::string, std::string> fresh;
  for (const std::string& l : lanes) fresh[l] = ws.file(l.c_str());
  std::mt19937 random(12345);
  std::uniform_real_distribution<double> anyMoment(0, 1.2 * took), early(0, 0.5 * took);
  int killed = 0, runs = 0;
  for (int sig : fatalSignals()) {
    int killedBySig = 0;
    // Three moments over the whole run (the last may come after its end),
    // and more early ones, on a loaded machine, until one catches the run.
    for (int round = 0; round < 3 || (killedBySig == 0 && round < 8); round++) {
      std::uniform_real_distribution<double>& moment = round < 3 ? anyMoment : early;
      SCOPED_TRACE(std::string(strsignal(sig)) + ", round " + std::to_string(round));
      for (const std::string& l : lanes) ws.put(l.c_str(), "old " + l);
      const Child c = spawn(ws.dir.path, args, {.signalsAtDefaultBeforeMain = true});
      std::this_thread::sleep_for(std::chrono::duration<double>(moment(random)));
      kill(c.pid, sig);
      const Ended e = finish(c);
      runs++;
      EXPECT_TRUE(e.killedBy(sig) || e.exited(0)) << e.waitStatus << " " << e.err;
      killedBySig += e.killedBy(sig);
      const bool allNew = ws.file("lane0.vmem") == fresh["lane0.vmem"];
      for (const std::string& l : lanes) {
        EXPECT_EQ(ws.file(l.c_str()), allNew ? fresh[l] : "old " + l) << l;
      }
      EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "lane0.vmem", "lane1.vmem", "lane2.vmem",
                                                                "lane3.vmem"}));
    }
    EXPECT_GT(killedBySig, 0) << strsignal(sig) << ": no run was caught by it";
    killed += killedBySig;
  }
  RecordProperty("runs", runs);
  RecordProperty("killed", killed);
}

// A core-dumping signal that comes while the group is renamed (strace sends
// it at the second rename) waits, as the others do, for the whole group.
TEST(Signals, CoreDumpingSignalDuringTheRenamesWaitsForTheWholeGroup) {
  if (wrapped()) GTEST_SKIP() << "the wrapper runs the tool itself";
  if (system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace (tools/install-deps installs it)";
  const std::vector<std::string> args = {"--format=vmem", "--width=32", "--lanes=4", "--output=lane%d.vmem"};
  InputDir fresh;
  ASSERT_EQ(fresh(args).status, 0);
  const std::pair<const char*, int> signals[] = {{"SEGV", SIGSEGV}, {"ABRT", SIGABRT}, {"BUS", SIGBUS},
                                                 {"FPE", SIGFPE},   {"ILL", SIGILL},   {"SYS", SIGSYS}};
  for (const auto& [sig, number] : signals) {
    SCOPED_TRACE(sig);
    InputDir ws;
    for (int lane = 0; lane < 4; lane++) ws.put(("lane" + std::to_string(lane) + ".vmem").c_str(), "old");
    const Outcome r = ws(args, {.launcher = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-o", "/dev/null",
                                             "-e", "trace=rename,renameat,renameat2", "-e",
                                             std::string("inject=rename,renameat,renameat2:signal=") + sig + ":when=2"}});
    EXPECT_EQ(r.signal, number) << r.status << r.err;
    for (int lane = 0; lane < 4; lane++) {
      const std::string name = "lane" + std::to_string(lane) + ".vmem";
      EXPECT_EQ(ws.file(name.c_str()), fresh.file(name.c_str())) << name;
    }
    EXPECT_EQ(hiddenFiles(ws.dir.path), 0u);
  }
}

// A group of more temporaries than any fixed table holds (1024 banks) is
// removed whole by a signal while it is pending.
TEST(Signals, ThousandPendingTemporariesAreAllRemoved) {
  InputDir ws({text(0x0, counting(4 << 20))});
  const Child c = spawn(ws.dir.path, {"-f", "in.elf", "--memory=m:0:4M,format=vmem,banks=1024,output=b%b.vmem"});
  bool seen = false;
  for (int i = 0; i < 20000 && !seen; i++) {
    seen = hiddenFiles(ws.dir.path) >= 600;
    if (!seen) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  kill(c.pid, SIGTERM);
  const Ended e = finish(c);
  ASSERT_TRUE(seen) << e.err;
  EXPECT_TRUE(e.killedBy(SIGTERM)) << e.waitStatus;
  EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"});
}

// Runs of a user who may write a directory but not read it (mode 0300)
// still take turns: each pair of runs leaves one run's lanes whole, and
// no lock file or temporary behind.
TEST(Locks, UnreadableDirectoryStillSerialisesConcurrentRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user who cannot read the directory";
  TempDir base;
  const fs::path dir = openDir(base);
  for (const auto& [name, byte] : {std::pair{"a.elf", uint8_t{0xaa}}, std::pair{"b.elf", uint8_t{0xbb}}}) {
    writeFile(dir / name, build(Order::Little, std::vector<Seg>{text(0x100, std::vector<uint8_t>(1 << 16, byte))},
                                {.entry = 0x100}));
    fs::permissions(dir / name, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  }
  const fs::path out = dir / "out";
  fs::create_directory(out);
  ASSERT_EQ(chown(out.c_str(), nobody(), nogroup()), 0);
  fs::permissions(out, fs::perms::owner_write | fs::perms::owner_exec);
  auto start = [&](const char* input) {
    return spawn(dir, {"-f", input, "--format=vmem", "--width=128", "--lanes=16", "--output=out/lane%d.vmem"},
                 {.uid = nobody()});
  };
  for (int pair = 0; pair < 20; pair++) {
    const Child a = start("a.elf");
    const Child b = start("b.elf");
    const Ended ea = finish(a), eb = finish(b);
    ASSERT_TRUE(ea.exited(0)) << ea.err;
    ASSERT_TRUE(eb.exited(0)) << eb.err;
    const bool other = slurp(out / "lane0.vmem").find("bb") != std::string::npos;
    for (int lane = 0; lane < 16; lane++) {
      const std::string lines = slurp(out / ("lane" + std::to_string(lane) + ".vmem"));
      ASSERT_NE(lines.find(other ? "bb" : "aa"), std::string::npos) << "pair " << pair << ", lane " << lane;
      ASSERT_EQ(lines.find(other ? "aa" : "bb"), std::string::npos) << "pair " << pair << ", lane " << lane;
    }
    ASSERT_EQ(hiddenFiles(out), 0u) << "pair " << pair;
  }
}

// A lock another process holds on the output directory: the run says what
// it waits for after a second and gives up after --lock-timeout, leaving
// the files as they were; a lock released in time is waited for.
TEST(Locks, LockHeldByAnotherProcessIsWaitedForWithABound) {
  InputDir ws;
  const std::vector<std::string> args = {"-f", "in.elf", "--format=vmem", "--width=16", "--lanes=2",
                                         "--output=lane%d.vmem"};
  ws.put("lane0.vmem", "old");
  ws.put("lane1.vmem", "old");
  // The holder is a process of its own, as another run would be.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const int fd = open(ws.dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char x;
  ASSERT_EQ(read(ready[0], &x, 1), 1);
  std::vector<std::string> bounded = args;
  bounded.push_back("--lock-timeout=2");
  double start = seconds();
  const Ended e = runIn(ws.dir.path, bounded);
  const double waited = seconds() - start;
  EXPECT_EQ(e.err,
            "waiting for another process's lock on directory .\n"
            "another process held the lock on directory . for 2 seconds; nothing replaced (--lock-timeout sets how "
            "long to wait)\n");
  EXPECT_TRUE(e.exited(1));
  EXPECT_GE(waited, 2.0);
  EXPECT_LT(waited, 6.0);
  EXPECT_EQ(ws.file("lane0.vmem"), "old");
  EXPECT_EQ(ws.file("lane1.vmem"), "old");
  EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "lane0.vmem", "lane1.vmem"}));

  // Released once the run says it waits: the run then writes.
  const Child c = spawn(ws.dir.path, args);
  const std::string said = firstLineOf(c);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  const Ended late = finish(c);
  EXPECT_EQ(said + late.err, "waiting for another process's lock on directory .\n");
  EXPECT_TRUE(late.exited(0));
  EXPECT_EQ(ws.file("lane0.vmem"), "01\n03\n");
  close(ready[0]);
  close(ready[1]);
}

TEST(Locks, LockTimeoutValuesAreChecked) {
  InputDir ws;
  struct Case {
    const char* arg;
    const char* err;
  };
  const Case cases[] = {
      {"--lock-timeout=soon", "--lock-timeout=soon: not a number of seconds: 0 to 86400\n"},
      {"--lock-timeout=86401", "--lock-timeout=86401: not a number of seconds: 0 to 86400\n"},
      {"--lock-timeout=99999999999999999999999", "--lock-timeout=99999999999999999999999: too large\n"},
  };
  for (const Case& c : cases) {
    const Outcome r = ws({"-r", c.arg});
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"});
  }
  EXPECT_EQ(ws({"-r", "--lock-timeout=0"}).status, 0);
}

// /dev/stdout, /dev/fd/1 and /proc/self/fd/1 are standard output, as - is:
// `>> log` appends to the log, whose file stays the same; a closed standard
// output is an error.
TEST(StandardStreams, StandardOutputByNameIsAppendedTo) {
  for (const char* name : {"-", "/dev/stdout", "/dev/fd/1", "/proc/self/fd/1"}) {
    SCOPED_TRACE(name);
    InputDir ws;
    ws.put("log", "earlier\n");
    struct stat before {};
    ASSERT_EQ(stat((ws.dir.path / "log").c_str(), &before), 0);
    std::string command = "'";
    command.append(toolPath()).append("' -f in.elf --format=vmem --output=").append(name).append(" >> log");
    EXPECT_SH(ws.dir.path, command);
    struct stat after {};
    ASSERT_EQ(stat((ws.dir.path / "log").c_str(), &after), 0);
    EXPECT_EQ(ws.file("log"), "earlier\n04030201\n");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "log"}));

    if (wrapped()) continue;  // the wrapper takes the closed standard output for itself
    const Outcome r = ws({"--format=vmem", std::string("--output=") + name}, {.stdoutClosed = true});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("Unable to write standard output")) << r.err;
    EXPECT_EQ(listDir(ws.dir.path), (std::vector<std::string>{"in.elf", "log"}));
  }
}

// Words that are no option are refused in a run of memory images alone;
// beside the fixed outputs they are ignored, as always.
TEST(CommandLine, StrayWordsAreRefusedInTheMemoryImageMode) {
  InputDir ws;
  Outcome r = ws({"--format=vmem", "--output=x.vmem", "other.elf"});
  EXPECT_EQ(r.err, "other.elf: a word that is no option; inputs are given with -f or --merge\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(listDir(ws.dir.path), std::vector<std::string>{"in.elf"});
  r = ws({"-r", "other.elf", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
  r = ws({"-l", "--format=vmem", "--output=x.vmem", "other.elf", "--quiet"});
  EXPECT_EQ(r.status, 0) << r.err;
}
