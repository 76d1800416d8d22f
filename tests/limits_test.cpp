// Runs whose output is large by request: memory must follow the bytes the
// executable places, not the size of the memory written. Kept out of the
// valgrind run, which would take minutes over gigabytes of output.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "elf_fixture.hpp"
#include "run_tool.hpp"

using namespace fixture;

namespace {

struct Usage {
  int status = -1;
  long maxRssKiB = 0;
};

// Runs the tool in `dir` with its output on /dev/null; its exit status and
// peak resident memory.
Usage measure(const std::filesystem::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), "romwright");
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0 || chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(toolPath(), argv.data());
    _exit(127);
  }
  Usage u;
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) == pid && WIFEXITED(status)) u.status = WEXITSTATUS(status);
  u.maxRssKiB = ru.ru_maxrss;
  return u;
}

}  // namespace

TEST(MemoryImageLimits, RegionOfFourGiBHoldingAHundredBytesTakesLittleMemory) {
  Workspace ws({text(0x100, counting(100)), data(0xFFFFF000, counting(4))}, {.entry = 0x100});
  for (const char* format : {"--format=bin", "--format=ihex"}) {
    const Usage u = measure(ws.dir.path, {"-f", "in.elf", format, "--region=0:4G",
                                          "--output=/dev/null", "--fill=0xff"});
    EXPECT_EQ(u.status, 0) << format;
    // A few MiB for the program and its buffers (more under a sanitizer),
    // nowhere near the memory's 4 GiB.
    EXPECT_LT(u.maxRssKiB, 128 * 1024) << format;
  }
}
