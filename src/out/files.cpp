// Output machinery shared by every writer.
#include "out/files.hpp"

#include <pthread.h>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace romwright {

// ---- Pending temporaries and signals ----------------------------------------
// The paths of the temporaries not yet in place, for whoever handles a
// signal that ends the process. A run writes at most a group of files at a
// time (the C source pair, or one image per byte lane), far fewer than the
// slots.

namespace {

constexpr size_t maxPending = 256;
std::atomic<char*> pending[maxPending];

// Every signal whose default action ends the process, less SIGXFSZ, which
// is ignored so that a write past the size limit fails like any other.
constexpr int endingSignalList[] = {
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
  for (int sig : endingSignalList) sigaddset(&set, sig);
  return set;
}

}  // namespace

std::span<const int> endingSignals() { return endingSignalList; }

void removePendingTemporaries() {
  for (std::atomic<char*>& slot : pending) {
    if (char* tmp = slot.exchange(nullptr)) unlink(tmp);
  }
}

void discardPendingTemporaries() {
  for (std::atomic<char*>& slot : pending) {
    if (char* tmp = slot.exchange(nullptr)) {
      unlink(tmp);
      free(tmp);
    }
  }
}

namespace {

// The hidden names of temporaries and backups: ".rw" and ten random
// characters, short enough beside any name the filesystem takes.
constexpr char hiddenPrefix[] = ".rw";
constexpr size_t randomLen = 10;

// `randomLen` characters no other run can guess, for a hidden name.
void randomSuffix(char* out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char r[randomLen];
  if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    // No entropy source: the clock and the process still make the name
    // unlikely to collide, and O_EXCL makes a collision harmless.
    static unsigned counter;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    uint64_t v = static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 32) ^
                 (uint64_t{++counter} * 0x9E3779B97F4A7C15u);
    for (unsigned char& b : r) {
      b = static_cast<unsigned char>(v);
      v = v >> 8 | v << 56;
    }
  }
  for (size_t i = 0; i < sizeof r; i++) out[i] = alphabet[r[i] % (sizeof alphabet - 1)];
}

// The directory part of `path`, with its '/', or "" for the current one.
std::string dirOf(const char* path) {
  const char* base = strrchr(path, '/');
  return {path, base == nullptr ? 0 : static_cast<size_t>(base - path + 1)};
}

// A hidden name in the directory of `path`, its random part still to fill.
std::string hiddenBeside(const char* path) {
  return dirOf(path) + hiddenPrefix + std::string(randomLen, 'X');
}

// Creates a hidden temporary beside `name` with the mode a plain create
// gives (0666 less the umask, or the directory's default ACL), and records
// it as pending before any ending signal can be handled. Returns the
// descriptor, or -1 with the path freed.
int createTemporary(const char* name, char*& tmp) {
  const std::string path = hiddenBeside(name);
  tmp = strdup(path.c_str());
  if (tmp == nullptr) return -1;
  char* suffix = tmp + path.size() - randomLen;

  const sigset_t block = endingSet();
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &block, &old);
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
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) {
    free(tmp);
    tmp = nullptr;
  }
  return fd;
}

// Takes `path` off the list of pending temporaries.
void unlist(char* path) {
  for (std::atomic<char*>& slot : pending) {
    char* mine = path;
    if (slot.compare_exchange_strong(mine, nullptr)) break;
  }
}

// The message of `o` for a failure the system explains with `err`.
Error fileError(const outFile& o, const char* msg, int err) {
  std::string text = msg;
  if (o.withReason && err != 0 && !text.empty() && text.back() == '\n') {
    text.pop_back();
    text += std::string(": ") + reasonOf(err).c_str() + "\n";
  }
  return Error{std::move(text), ErrorKind::io, o.name, err};
}

}  // namespace

// ---- Atomic output files ----------------------------------------------------

namespace {

// The most links one name may pass through, as the kernel allows.
constexpr int maxLinks = 40;

// The kernel's protected-symlinks rule, applied whatever the system's
// setting says: a link in a sticky, world-writable directory is followed
// only when it belongs to the caller or to the directory's owner. Anyone may
// plant a link there, and following it would let them choose which file of
// the caller's the run replaces.
bool mayFollow(const std::string& dir, const struct stat& link) {
  if (link.st_uid == geteuid()) return true;
  struct stat d {};
  if (stat(dir.empty() ? "." : dir.c_str(), &d) != 0) return false;
  constexpr mode_t shared = S_ISVTX | S_IWOTH;
  return (d.st_mode & shared) != shared || link.st_uid == d.st_uid;
}

std::string join(const std::string& dir, std::string_view name) {
  std::string p = dir;
  if (!p.empty() && p.back() != '/') p += '/';
  p += name;
  return p;
}

// Pushes the components of `path` on `rest`, the first one last.
void pushComponents(std::vector<std::string>& rest, std::string_view path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at < path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  rest.insert(rest.end(), parts.rbegin(), parts.rend());
}

Error refuseLink(const char* name, const char* why) { return failuref("%s%s\n", name, why); }

// The path `name` leads to, walked one component at a time so that every
// link on the way, and every link a link leads to, is checked before it is
// followed. `followed` tells whether one was. A component that does not
// exist ends the walk: the rest is taken as written, for the create to make
// or to fail on.
Result<std::string> followLinks(const char* name, bool& followed) {
  std::string done = name[0] == '/' ? "/" : "";  // a path without links
  std::vector<std::string> rest;
  pushComponents(rest, name);
  int links = 0;
  while (!rest.empty()) {
    const std::string c = std::move(rest.back());
    rest.pop_back();
    if (c == ".") continue;
    if (c == "..") {
      // `done` holds no link, so its parent is found by taking off a name.
      const size_t slash = done.rfind('/');
      const std::string_view last =
          slash == std::string::npos ? std::string_view(done) : std::string_view(done).substr(slash + 1);
      if (done.empty() || last == "..") {
        done = join(done, "..");
      } else if (done != "/") {
        done.resize(slash == std::string::npos ? 0 : slash == 0 ? 1 : slash);
      }
      continue;
    }
    const std::string path = join(done, c);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      done = path;
      continue;
    }
    if (!mayFollow(done, st)) {
      return refuseLink(name, " is a link owned by another user in a shared directory; not followed");
    }
    if (++links > maxLinks) return refuseLink(name, ": too many levels of symbolic links");
    followed = true;
    if (done == "/proc" || done.starts_with("/proc/")) {
      // The kernel's own links (/proc/self, /proc/self/fd/N behind
      // /dev/stdout) stand for open files, and their text is no path to
      // walk ("pipe:[1234]"). /proc holds no shared directory: the file is
      // taken as the kernel finds it.
      if (char* real = realpath(path.c_str(), nullptr)) {
        done = real;
        free(real);
        continue;
      }
      done = path;
      while (!rest.empty()) {
        done = join(done, rest.back());
        rest.pop_back();
      }
      break;
    }
    char text[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text) {
      done = path;  // unreadable: the create fails on it
      continue;
    }
    if (text[0] == '/') done.assign(1, '/');
    pushComponents(rest, std::string_view(text, static_cast<size_t>(n)));
  }
  return done;
}

const char* destOf(const outFile& o) { return o.target.empty() ? o.name : o.target.c_str(); }

// Works out the file `o` names, failing with one line for a link that must
// not be followed, a dangling link or a loop.
status resolveFile(outFile& o) {
  if (o.resolved) return done;
  bool followed = false;
  const Result<std::string> walked = followLinks(o.name, followed);
  if (!walked) return walked.error();
  o.resolved = true;
  if (!followed) return done;
  const std::string& path = *walked;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR) &&
      lstat(o.name, &st) == 0 && S_ISLNK(st.st_mode)) {
    // Creating the file a dangling link names would put a file wherever it
    // points; replacing the link would break it. Neither is asked for.
    return refuseLink(o.name, " is a dangling symbolic link; not followed");
  }
  o.target = path;
  return done;
}

// Exclusive flock()s on the directories of a group's files, taken in the
// order of their device and inode numbers so that two runs never wait on
// each other crosswise. Held until the process ends or the group is in
// place. A directory that cannot be opened for reading is not locked: its
// group is still replaced whole, only not serialised against another run.
class dirLocks {
 public:
  explicit dirLocks(std::span<outFile> files) {
    struct dirEntry {
      dev_t dev;
      ino_t ino;
      int fd;
    };
    std::vector<dirEntry> dirs;
    for (const outFile& o : files) {
      if (o.tmp == nullptr) continue;
      std::string d = dirOf(destOf(o));
      if (d.empty()) d.push_back('.');
      const int fd = open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd < 0) continue;
      struct stat st {};
      const bool seen = fstat(fd, &st) != 0 || std::any_of(dirs.begin(), dirs.end(), [&](const dirEntry& e) {
                          return e.dev == st.st_dev && e.ino == st.st_ino;
                        });
      if (seen) {
        close(fd);
        continue;
      }
      dirs.push_back({st.st_dev, st.st_ino, fd});
    }
    std::sort(dirs.begin(), dirs.end(), [](const dirEntry& a, const dirEntry& b) {
      return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
    });
    for (const dirEntry& e : dirs) {
      while (flock(e.fd, LOCK_EX) != 0 && errno == EINTR) {
      }
      fds.push_back(e.fd);
    }
  }
  ~dirLocks() {
    for (int fd : fds) close(fd);
  }
  dirLocks(const dirLocks&) = delete;
  dirLocks& operator=(const dirLocks&) = delete;

 private:
  std::vector<int> fds;
};

// A member of a group while the group is put in place.
struct member {
  const char* dest;
  std::string backup;      // the old file's hidden second name, while it has one
  bool existed = false;    // there was an old file
  bool kept = false;       // it is reachable at `backup`
  bool movedAside = false;  // ... having been renamed there, not linked
  bool placed = false;     // the new file is at `dest`
};

// Keeps the old file at `m.dest` reachable at a hidden name beside it until
// the group is complete. A hard link leaves the name in place for readers.
// Where no hard link can be made (EPERM, EXDEV, ENOTSUP, EMLINK and the
// like: filesystems without hard links, or the protected-hardlinks rule for
// a file of another user) the old file is renamed aside instead, and the
// name is missing for the moment until the new file takes it; the group can
// still be undone.
bool keepOld(member& m) {
  char* suffix = m.backup.data() + m.backup.size() - randomLen;
  for (int attempt = 0; attempt < 100; attempt++) {
    randomSuffix(suffix);
    if (link(m.dest, m.backup.c_str()) == 0) return m.kept = true;
    if (errno != EEXIST) break;
  }
  for (int attempt = 0; attempt < 100; attempt++) {
    randomSuffix(suffix);
    int r = renameat2(AT_FDCWD, m.dest, AT_FDCWD, m.backup.c_str(), RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL) {
      // No RENAME_NOREPLACE on this filesystem: the random name is checked
      // instead, and the directory lock keeps other runs out.
      struct stat st {};
      r = lstat(m.backup.c_str(), &st) == 0 ? (errno = EEXIST, -1) : rename(m.dest, m.backup.c_str());
    }
    if (r == 0) return m.kept = m.movedAside = true;
    if (errno != EEXIST) break;
  }
  return false;
}

// Puts a group back as it was: old files return to their names, new files
// that had no old one are removed. An old file that cannot be put back stays
// at its hidden name rather than being lost.
void undo(std::vector<member>& members) {
  for (auto m = members.rbegin(); m != members.rend(); ++m) {
    if (m->placed && !m->existed) {
      unlink(m->dest);
    } else if (m->kept && (m->placed || m->movedAside)) {
      rename(m->backup.c_str(), m->dest);
    } else if (m->kept) {
      unlink(m->backup.c_str());
    }
  }
}

}  // namespace

status resolveFiles(std::span<outFile> files) {
  for (outFile& o : files) {
    if (status s = resolveFile(o); !s) return s;
  }
  return done;
}

void temporaryPath::placed() {
  if (p_ == nullptr) return;
  unlist(p_);
  free(p_);
  p_ = nullptr;
}

void temporaryPath::drop() {
  if (p_ == nullptr) return;
  unlink(p_);
  placed();
}

Result<FILE*> createFile(outFile& o) {
  if (status s = resolveFile(o); !s) return s.error();
  const char* path = destOf(o);
  struct stat st {};
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    // A device, a FIFO or a socket cannot be replaced, only written to.
    o.f.reset(fopen(path, "wb"));
    if (o.f == nullptr) return fileError(o, o.openMsg, errno);
    return o.f.get();
  }
  // A symbolic link stays: the file it names is replaced.
  char* tmp = nullptr;
  const int fd = createTemporary(path, tmp);
  if (fd < 0) return fileError(o, o.openMsg, errno);
  o.tmp.adopt(tmp);
  o.f.reset(fdopen(fd, "wb"));
  if (o.f == nullptr) {
    const int err = errno;
    close(fd);
    return fileError(o, o.openMsg, err);
  }
  return o.f.get();
}

status closeFile(outFile& o, bool wrote, int writeErr) {
  int err = writeErr;
  FILE* f = o.f.release();
  if (wrote && (fflush(f) != 0 || ferror(f) != 0)) {
    wrote = false;
    err = errno;
  }
  if (fclose(f) != 0 && wrote) {
    wrote = false;
    err = errno;
  }
  if (!wrote) return fileError(o, o.writeMsg, err);
  return done;
}

status replaceFiles(std::span<outFile> files) {
  for (const outFile& o : files) {
    struct stat st {};
    if (stat(destOf(o), &st) == 0 && S_ISDIR(st.st_mode)) return fileError(o, o.openMsg, EISDIR);
  }
  // Everything that allocates comes before the signals are blocked.
  std::vector<member> members;
  members.reserve(files.size());
  for (const outFile& o : files) {
    if (o.tmp != nullptr) members.push_back({destOf(o), hiddenBeside(destOf(o))});
  }
  const dirLocks locks(files);

  // From the first rename to the last, an ending signal waits: it takes
  // effect once the group is whole and no backup is left.
  const sigset_t block = endingSet();
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &block, &old);
  const outFile* failed = nullptr;
  int err = 0;
  size_t next = 0;
  for (outFile& o : files) {
    if (o.tmp == nullptr) continue;  // written in place
    member& m = members[next++];
    struct stat st {};
    m.existed = lstat(m.dest, &st) == 0;
    if ((m.existed && !keepOld(m)) || rename(o.tmp.get(), m.dest) != 0) {
      failed = &o;
      err = errno;
      break;
    }
    m.placed = true;
    o.tmp.placed();
  }
  if (failed != nullptr) {
    members.resize(next);
    undo(members);
  } else {
    for (const member& m : members) {
      if (m.kept) unlink(m.backup.c_str());
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (failed != nullptr) return fileError(*failed, failed->openMsg, err);
  for (outFile& o : files) {
    o.target.clear();
  }
  return done;
}

}  // namespace romwright
