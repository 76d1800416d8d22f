// Output machinery shared by every writer.
#include "output.hpp"

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

alignas(64) char outBuf[outBlock];

// ---- Block output -----------------------------------------------------------

bool flush(sink& s) {
  if (s.pos > 0 && s.ok) s.ok = fwrite(outBuf, s.pos, 1, s.f) == 1;
  s.pos = 0;
  return s.ok;
}

bool room(sink& s, size_t n) { return s.pos + n <= outBlock || flush(s); }

bool put(sink& s, const void* bytes, size_t n) {
  const auto* p = static_cast<const char*>(bytes);
  while (n > 0) {
    if (s.pos == outBlock && !flush(s)) return false;
    const size_t k = std::min(n, outBlock - s.pos);
    memcpy(outBuf + s.pos, p, k);
    s.pos += k;
    p += k;
    n -= k;
  }
  return s.ok;
}

bool repeat(sink& s, const char* unit, size_t len, uint64_t count) {
  while (count > 0 && s.pos + len <= outBlock) {
    memcpy(outBuf + s.pos, unit, len);
    s.pos += len;
    count--;
  }
  if (count == 0) return s.ok;
  if (!flush(s)) return false;
  const size_t per = outBlock / len;
  for (size_t i = 0; i < per && i < count; i++) memcpy(outBuf + i * len, unit, len);
  for (; count >= per; count -= per) {
    if (fwrite(outBuf, per * len, 1, s.f) != 1) return s.ok = false;
  }
  s.pos = static_cast<size_t>(count) * len;
  return true;
}

// ---- Pending temporaries and signals ----------------------------------------
// The paths of the temporaries not yet in place, read by the signal handler.
// A run writes at most a group of files at a time (the C source pair, or one
// image per byte lane), far fewer than the slots.

namespace {

constexpr size_t maxPending = 256;
std::atomic<char*> pending[maxPending];

// Every signal whose default action ends the process, less SIGXFSZ, which
// is ignored so that a write past the size limit fails like any other.
constexpr int endingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM,
    SIGPROF, SIGIO,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

sigset_t endingSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : endingSignals) sigaddset(&set, sig);
  return set;
}

void removePending() {
  for (std::atomic<char*>& slot : pending) {
    if (char* tmp = slot.exchange(nullptr)) unlink(tmp);
  }
}

// Removes the temporaries, then ends the process by the same signal.
void dropTemporaries(int sig) {
  removePending();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Has the ending signals remove the temporaries, once; a signal the run was
// started with ignored stays ignored.
void guardTemporaries() {
  static bool guarded = false;
  if (guarded) return;
  guarded = true;
  struct sigaction act {};
  act.sa_handler = dropTemporaries;
  act.sa_mask = endingSet();
  for (int sig : endingSignals) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      sigaction(sig, &act, nullptr);
    }
  }
}

// Six characters no other run can guess, for a temporary's name.
void randomSuffix(char* out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char r[6];
  if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    // No entropy source: the clock and the process still make the name
    // unlikely to collide, and O_EXCL makes a collision harmless.
    static unsigned counter;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t v = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                 (uint64_t{++counter} * 0x9E3779B97F4A7C15u);
    for (unsigned char& b : r) b = static_cast<unsigned char>(v >>= 8);
  }
  for (size_t i = 0; i < sizeof r; i++) out[i] = alphabet[r[i] % (sizeof alphabet - 1)];
}

// Creates ".NAME.XXXXXX" beside `name` with the mode a plain create gives
// (0666 less the umask, or the directory's default ACL), and records it as
// pending before any ending signal can be handled. Returns the descriptor,
// or -1 with the path freed.
int createTemporary(const char* name, char*& tmp) {
  const char* base = strrchr(name, '/');
  const std::string dir(name, base == nullptr ? 0 : static_cast<size_t>(base - name + 1));
  const std::string path = dir + "." + (base == nullptr ? name : base + 1) + ".XXXXXX";
  tmp = strdup(path.c_str());
  if (tmp == nullptr) return -1;
  char* suffix = tmp + path.size() - 6;

  const sigset_t block = endingSet();
  sigset_t old;
  sigprocmask(SIG_BLOCK, &block, &old);
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    randomSuffix(suffix);
    fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd >= 0) {
    for (std::atomic<char*>& slot : pending) {
      char* none = nullptr;
      if (slot.compare_exchange_strong(none, tmp)) break;
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) {
    free(tmp);
    tmp = nullptr;
  }
  return fd;
}

// Forgets the temporary of `o` once it is in place or removed.
void settle(outFile& o) {
  for (std::atomic<char*>& slot : pending) {
    char* mine = o.tmp;
    if (slot.compare_exchange_strong(mine, nullptr)) break;
  }
  free(o.tmp);
  o.tmp = nullptr;
}

}  // namespace

// ---- Failure ----------------------------------------------------------------

void fail(const char* msg) {
  removePending();
  fputs(msg, stderr);
  exit(1);
}

void failf(const char* fmt, ...) {
  removePending();
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  exit(1);
}

// ---- Atomic output files ----------------------------------------------------

FILE* createFile(outFile& o) {
  struct stat st {};
  if (stat(o.name, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    // A device, a FIFO or a socket cannot be replaced, only written to.
    o.f = fopen(o.name, "wb");
    if (o.f == nullptr) fail(o.openMsg);
    return o.f;
  }
  // A symbolic link stays: the file it names is replaced.
  if (lstat(o.name, &st) == 0 && S_ISLNK(st.st_mode)) o.target = realpath(o.name, nullptr);
  guardTemporaries();
  const int fd = createTemporary(o.target != nullptr ? o.target : o.name, o.tmp);
  if (fd < 0) fail(o.openMsg);
  o.f = fdopen(fd, "wb");
  if (o.f == nullptr) {
    close(fd);
    fail(o.openMsg);
  }
  return o.f;
}

void closeFile(outFile& o, bool wrote) {
  wrote = wrote && fflush(o.f) == 0 && ferror(o.f) == 0;
  if (fclose(o.f) != 0) wrote = false;
  o.f = nullptr;
  if (!wrote) fail(o.writeMsg);
}

void replaceFiles(std::span<outFile> files) {
  for (const outFile& o : files) {
    struct stat st {};
    if (stat(o.name, &st) == 0 && S_ISDIR(st.st_mode)) fail(o.openMsg);
  }
  for (outFile& o : files) {
    if (o.tmp == nullptr) continue;  // written in place
    if (rename(o.tmp, o.target != nullptr ? o.target : o.name) != 0) fail(o.openMsg);
    settle(o);
    free(o.target);
    o.target = nullptr;
  }
}

// ---- Standard streams -------------------------------------------------------

void guardStandardStreams() {
  signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // open() takes the lowest free descriptor, which is this one.
      open("/dev/null", O_RDONLY);
    }
  }
}

void closeStandardOutput() {
  // The rule of a careful close: a failed close counts when output was
  // pending or an earlier write failed, or when the error is not EBADF.
  const bool pendingOutput = __fpending(stdout) != 0;
  const bool failedBefore = ferror(stdout) != 0;
  const bool closeFailed = fclose(stdout) != 0;
  if (failedBefore || (closeFailed && (pendingOutput || errno != EBADF))) {
    fail("Unable to write standard output\n");
  }
}
