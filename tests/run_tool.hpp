// Runs the built romwright binary as a user would, in a directory of the
// test's own, and collects what it wrote and its exit status.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "elf_fixture.hpp"

namespace fixture {

struct RunOptions {
  std::filesystem::path cwd;
  std::optional<std::string> stdoutPath;   // default: captured
  std::optional<std::string> argv0;        // default: "romwright"
  bool noArgv = false;                     // run with an empty argument vector
  // RLIMIT_FSIZE, with SIGXFSZ at its default action, as a shell leaves it.
  std::optional<unsigned long> fileSizeLimit;
  // RLIMIT_AS, in bytes, as `ulimit -v` sets it.
  std::optional<unsigned long> addressSpaceLimit;
  // A program that runs the tool, with its arguments, before the tool's
  // path (such as strace with a fault to inject).
  std::vector<std::string> launcher;
  bool stdoutClosed = false;               // run with standard output closed
  mode_t umask = 022;
};

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when it did not exit normally
  int signal = 0;   // the signal that ended it, if one did
};

// The path of the binary under test.
const char* toolPath();

// True when the tool runs under a wrapper, which sets its argv[0] itself.
bool wrapped();

Outcome run(const std::vector<std::string>& args, const RunOptions& opt);

// A fresh directory holding "in.elf", built from `segs` (little-endian
// unless `order` says otherwise), in which the tool runs with `prefix`
// before each run's own arguments.
struct Workspace {
  TempDir dir;
  std::vector<std::string> prefix;
  explicit Workspace(std::vector<Seg> segs = {text(0x100, {1, 2, 3, 4})},
                     Header h = {.entry = 0x100}, std::vector<std::string> prefix = {},
                     Order order = Order::Little);
  Outcome operator()(std::vector<std::string> args, RunOptions opt = {}) const;
  std::string file(const char* name) const;
  void put(const char* name, const std::string& contents) const;
};

// What every load of a little-endian executable with one segment writes to
// standard error.
inline const std::string loadLines =
    "before swap 0x2 machine 0x8 order 0x1 host 0x1\nsz 0x20 = 0x1 * 0x20\n";

// A workspace that runs with "-f in.elf" before each run's own arguments.
struct InputDir : Workspace {
  explicit InputDir(std::vector<Seg> segs = {text(0x100, {1, 2, 3, 4})},
                    Header h = {.entry = 0x100})
      : Workspace(std::move(segs), h, {"-f", "in.elf"}) {}
};

// A shell command's exit status and its standard output and error together.
struct Shell {
  int status;
  std::string out;
};

// Runs `command` with sh in `dir`.
Shell sh(const std::filesystem::path& dir, const std::string& command);

#define ASSERT_SH(dir, command)                             \
  do {                                                      \
    const ::fixture::Shell r_ = ::fixture::sh(dir, command);  \
    ASSERT_EQ(r_.status, 0) << (command) << "\n" << r_.out; \
  } while (0)

#define EXPECT_SH(dir, command)                             \
  do {                                                      \
    const ::fixture::Shell r_ = ::fixture::sh(dir, command);  \
    EXPECT_EQ(r_.status, 0) << (command) << "\n" << r_.out; \
  } while (0)

// Runs `command` with sh: its standard output alone (standard error left
// to the test's), and whether it exited with 0.
bool shellOutput(const std::string& command, std::string& out);

// Whether the program `name` is on the PATH.
bool have(const char* name);

// `n` pseudo-random bytes, the same for the same seed.
std::vector<uint8_t> randomBytes(size_t n, unsigned seed = 7);

// Runs the tool in `dir` with --quiet; a failure is a test failure.
void tool(const std::filesystem::path& dir, std::vector<std::string> args);

// The bytes of the file at `path` as a string.
std::string slurp(const std::filesystem::path& path);

// The names of the files in `dir`, sorted.
std::vector<std::string> listDir(const std::filesystem::path& dir);

// Writes `text` to the file at `path` (an exception when it cannot).
void put(const std::filesystem::path& path, const std::string& text);

// The lines of `text`, without their line ends.
std::vector<std::string> lines(const std::string& text);

}  // namespace fixture
