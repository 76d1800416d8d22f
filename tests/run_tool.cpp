#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <random>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "elf_fixture.hpp"

namespace fixture {

const char* toolPath() {
  const char* fromEnv = getenv("ROMWRIGHT_BIN");
  return fromEnv != nullptr ? fromEnv : ROMWRIGHT_BIN;
}

bool wrapped() {
  const char* wrapper = getenv("ROMWRIGHT_WRAPPER");
  return wrapper != nullptr && *wrapper != '\0';
}

Outcome run(const std::vector<std::string>& args, const RunOptions& opt) {
  TempDir capture;
  const std::string outPath = opt.stdoutPath.value_or((capture.path / "out").string());
  // Standard error comes through a pipe, read to its end before the wait:
  // a file would count against the child's file size limit.
  int errPipe[2];
  if (pipe(errPipe) != 0) throw std::runtime_error("pipe failed");

  // ROMWRIGHT_WRAPPER, when set, runs the tool under another program (such
  // as valgrind): its words come first, then the tool's path and arguments.
  std::vector<std::string> words;
  std::string tool = toolPath();
  if (wrapped()) {
    std::istringstream in(getenv("ROMWRIGHT_WRAPPER"));
    for (std::string w; in >> w;) words.push_back(w);
    words.push_back(tool);
    tool = words.front();
  } else if (!opt.launcher.empty()) {
    words = opt.launcher;
    words.push_back(tool);
    tool = words.front();
  } else if (!opt.noArgv) {
    words.push_back(opt.argv0.value_or("romwright"));
  }
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    close(errPipe[0]);
    if (out < 0 || dup2(out, 1) < 0 || dup2(errPipe[1], 2) < 0) _exit(127);
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(127);
    umask(opt.umask);
    if (opt.stdoutClosed) close(1);
    if (opt.fileSizeLimit) {
      signal(SIGXFSZ, SIG_DFL);
      rlimit lim{*opt.fileSizeLimit, *opt.fileSizeLimit};
      if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(127);
    }
    if (opt.addressSpaceLimit) {
      rlimit lim{*opt.addressSpaceLimit, *opt.addressSpaceLimit};
      if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(127);
    }
    execvp(tool.c_str(), argv.data());
    _exit(127);
  }
  close(errPipe[1]);
  Outcome r;
  char buf[4096];
  for (ssize_t n; (n = read(errPipe[0], buf, sizeof buf)) != 0;) {
    if (n > 0) r.err.append(buf, static_cast<size_t>(n));
    else if (errno != EINTR) break;
  }
  close(errPipe[0]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) throw std::runtime_error("waitpid failed");

  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  auto text = [](const std::string& p) {
    std::vector<uint8_t> b = readFile(p);
    return std::string(b.begin(), b.end());
  };
  if (!opt.stdoutPath) r.out = text(outPath);
  return r;
}

Workspace::Workspace(std::vector<Seg> segs, Header h, std::vector<std::string> pre, Order order)
    : prefix(std::move(pre)) {
  writeFile(dir.path / "in.elf", build(order, segs, h));
}

Outcome Workspace::operator()(std::vector<std::string> args, RunOptions opt) const {
  opt.cwd = dir.path;
  args.insert(args.begin(), prefix.begin(), prefix.end());
  return run(args, opt);
}

std::string Workspace::file(const char* name) const {
  std::vector<uint8_t> b = readFile(dir.path / name);
  return {b.begin(), b.end()};
}

void Workspace::put(const char* name, const std::string& contents) const {
  writeFile(dir.path / name, {reinterpret_cast<const uint8_t*>(contents.data()), contents.size()});
}

std::vector<std::string> listDir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Shell sh(const std::filesystem::path& dir, const std::string& command) {
  const std::string line = "cd '" + dir.string() + "' && { " + command + "; } 2>&1";
  FILE* p = popen(line.c_str(), "r");
  if (p == nullptr) return {-1, "popen failed"};
  std::string out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int waitStatus = pclose(p);
  return {WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1, out};
}

bool shellOutput(const std::string& command, std::string& out) {
  out.clear();
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return false;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return pclose(p) == 0;
}

bool have(const char* name) { return sh(std::filesystem::temp_directory_path(), std::string("command -v ") + name).status == 0; }

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 gen(seed);
  for (auto& b : v) b = static_cast<uint8_t>(gen());
  return v;
}

void tool(const std::filesystem::path& dir, std::vector<std::string> args) {
  args.push_back("--quiet");
  const Outcome r = run(args, {.cwd = dir});
  EXPECT_EQ(r.status, 0) << r.err;
}

void put(const std::filesystem::path& path, const std::string& text) {
  writeFile(path, {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

std::string slurp(const std::filesystem::path& path) {
  const std::vector<uint8_t> b = readFile(path);
  return {b.begin(), b.end()};
}

}  // namespace fixture
