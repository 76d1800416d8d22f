// Output machinery shared by every writer.
#include "out/files.hpp"

#include <pthread.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace romwright {

// A directory of an output, held open from the check of the name to the
// rename; every file operation of the name is made relative to it.
struct heldDir {
  int fd = -1;         // O_PATH
  struct stat st {};   // as it was when opened
  std::string path;    // for messages: as walked, "." for the current one
  heldDir() = default;
  heldDir(const heldDir&) = delete;
  heldDir& operator=(const heldDir&) = delete;
  ~heldDir() {
    if (fd >= 0) close(fd);
  }
};

// ---- What a run waits for -----------------------------------------------------

namespace {

thread_local const waitSettings* currentWait = nullptr;

const waitSettings& waiting() {
  static const waitSettings standard{};
  return currentWait != nullptr ? *currentWait : standard;
}

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Calls `attempt` until it says it is done, for as long as the settings
// allow, pausing between tries; after one second the note `what` says what
// the run waits for. False when the time ran out.
template <class Attempt>
bool waitFor(const std::string& what, Attempt attempt) {
  const waitSettings& w = waiting();
  const double start = now();
  bool told = false;
  std::chrono::microseconds pause(500);
  for (;;) {
    if (attempt()) return true;
    const double waited = now() - start;
    if (waited >= w.seconds) return false;
    if (!told && waited >= 1.0) {
      told = true;
      tell(w.note, what);
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

}  // namespace

waitScope::waitScope(waitSettings s) : s_(std::move(s)), outer_(currentWait) { currentWait = &s_; }

waitScope::~waitScope() { currentWait = outer_; }

// ---- Pending temporaries and signals ----------------------------------------
// Every temporary not yet in place is an entry of a list that a signal
// handler walks without a lock: entries are only ever added at its head,
// complete before they are published, and never freed; one whose file is
// placed or removed is taken again by a later temporary. A group of any size
// is listed whole.

struct pendingNode {
  std::atomic<int> state{0};
  int dir = -1;          // the directory it lies in, held while it is listed
  char name[16] = {};    // ".rw" and ten random characters
  pendingNode* next = nullptr;
};

namespace {

enum : int {
  nodeFree,      // no temporary
  nodeHeld,      // taken by a run, not (or no longer) listed
  nodeListed,    // a temporary for the handler to remove
  nodeRemoving,  // the handler is removing it
  nodeRemoved,   // the handler has removed it
};

std::atomic<pendingNode*> pendingHead{nullptr};
// The entries free to take; a handler never looks at it.
std::mutex freeLock;
std::vector<pendingNode*> freeNodes;

pendingNode* takeNode() {
  {
    const std::lock_guard<std::mutex> hold(freeLock);
    if (!freeNodes.empty()) {
      pendingNode* n = freeNodes.back();
      freeNodes.pop_back();
      n->state.store(nodeHeld);
      return n;
    }
  }
  auto* n = new pendingNode;
  n->state.store(nodeHeld);
  pendingNode* head = pendingHead.load();
  do {
    n->next = head;
  } while (!pendingHead.compare_exchange_weak(head, n));
  return n;
}

// Takes `n` off the list: true when its file is still there for its owner
// to deal with, false when a handler removed it.
bool unlistNode(pendingNode* n) {
  for (;;) {
    int s = nodeListed;
    if (n->state.compare_exchange_strong(s, nodeHeld)) return true;
    if (s == nodeHeld) return true;
    if (s == nodeRemoved) {
      n->state.store(nodeHeld);
      return false;
    }
    // A handler in another thread is removing it.
    std::this_thread::yield();
  }
}

void freeNode(pendingNode* n) {
  n->state.store(nodeFree);
  const std::lock_guard<std::mutex> hold(freeLock);
  freeNodes.push_back(n);
}

std::vector<int> ending() {
  std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP,   SIGABRT, SIGBUS,  SIGFPE,
                           SIGUSR1, SIGSEGV, SIGUSR2, SIGPIPE, SIGALRM,   SIGTERM, SIGXCPU, SIGXFSZ,
                           SIGVTALRM, SIGPROF, SIGIO, SIGSYS};
#ifdef SIGSTKFLT
  sigs.push_back(SIGSTKFLT);
#endif
#ifdef SIGPWR
  sigs.push_back(SIGPWR);
#endif
  // The real-time signals the C library leaves to programs.
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++) sigs.push_back(sig);
  return sigs;
}

const sigset_t& endingSet() {
  static const sigset_t set = [] {
    sigset_t s;
    sigemptyset(&s);
    for (int sig : endingSignals()) sigaddset(&s, sig);
    return s;
  }();
  return set;
}

// Holds the ending signals back while it lives.
class signalsHeld {
 public:
  signalsHeld() { pthread_sigmask(SIG_BLOCK, &endingSet(), &old_); }
  ~signalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  signalsHeld(const signalsHeld&) = delete;
  signalsHeld& operator=(const signalsHeld&) = delete;

 private:
  sigset_t old_;
};

}  // namespace

std::span<const int> endingSignals() {
  static const std::vector<int> sigs = ending();
  return sigs;
}

void removePendingTemporaries() {
  for (pendingNode* n = pendingHead.load(); n != nullptr; n = n->next) {
    int s = nodeListed;
    if (n->state.compare_exchange_strong(s, nodeRemoving)) {
      unlinkat(n->dir, n->name, 0);
      n->state.store(nodeRemoved);
    }
  }
}

void discardPendingTemporaries() { removePendingTemporaries(); }

namespace {

// The hidden names of temporaries and backups: ".rw" and ten random
// characters, short enough beside any name the filesystem takes.
constexpr char hiddenPrefix[] = ".rw";
constexpr size_t randomLen = 10;
constexpr size_t hiddenLen = sizeof hiddenPrefix - 1 + randomLen;
static_assert(hiddenLen < sizeof(pendingNode::name));

// `randomLen` characters no other run can guess, for a hidden name.
void randomSuffix(char* out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char r[randomLen];
  if (getrandom(r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    // No entropy source: the clock and the process still make the name
    // unlikely to collide, and O_EXCL makes a collision harmless.
    static std::atomic<unsigned> counter;
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

// A hidden name, its random part still to fill.
std::string hiddenName() { return std::string(hiddenPrefix) + std::string(randomLen, 'X'); }

// The message of `o` for a failure the system explains with `err`.
Error fileError(const outFile& o, const char* msg, int err) {
  std::string text = msg;
  if (o.withReason && err != 0 && !text.empty() && text.back() == '\n') {
    text.pop_back();
    text += std::string(": ") + reasonOf(err).c_str() + "\n";
  }
  return Error{std::move(text), ErrorKind::io, o.name, err};
}

Error refusal(const char* name, const char* why) {
  return Error{strf("%s%s\n", name, why), ErrorKind::io, name};
}

}  // namespace

// Makes the temporaries of temporaryPath.
struct temporaryMaker {
  // Creates a hidden temporary in `dir` with the mode a plain create gives
  // (0666 less the umask, or the directory's default ACL), and lists it as
  // pending before any ending signal can be handled. Returns the
  // descriptor, or -1 with errno set.
  static int create(const std::shared_ptr<const heldDir>& dir, temporaryPath& tmp) {
    pendingNode* n = takeNode();
    int fd = -1;
    {
      const signalsHeld held;
      memcpy(n->name, hiddenPrefix, sizeof hiddenPrefix - 1);
      n->name[hiddenLen] = '\0';
      for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
        randomSuffix(n->name + sizeof hiddenPrefix - 1);
        fd = openat(dir->fd, n->name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
      }
      if (fd >= 0) {
        n->dir = dir->fd;
        n->state.store(nodeListed);
      }
    }
    if (fd < 0) {
      const int err = errno;
      freeNode(n);
      errno = err;
      return -1;
    }
    tmp.drop();
    tmp.node_ = n;
    tmp.dir_ = dir;
    return fd;
  }
};

const char* temporaryPath::name() const { return node_ != nullptr ? node_->name : nullptr; }

void temporaryPath::placed() {
  if (node_ == nullptr) return;
  unlistNode(node_);
  freeNode(std::exchange(node_, nullptr));
  dir_.reset();
}

void temporaryPath::drop() {
  if (node_ == nullptr) return;
  if (unlistNode(node_)) unlinkat(dir_->fd, node_->name, 0);
  freeNode(std::exchange(node_, nullptr));
  dir_.reset();
}

// ---- Walking a name -----------------------------------------------------------

namespace {

// The most links one name may pass through, as the kernel allows.
constexpr int maxLinks = 40;

constexpr mode_t sharedDir = S_ISVTX | S_IWOTH;

bool shared(const struct stat& dir) { return (dir.st_mode & sharedDir) == sharedDir; }

// The kernel's protected-symlinks rule, applied whatever the system's
// setting says: a link in a sticky, world-writable directory is followed
// only when it belongs to the caller or to the directory's owner. Anyone may
// plant a link there, and following it would let them choose which file of
// the caller's the run replaces. The protected-FIFOs rule is the same for a
// FIFO, socket or device, which whoever planted it could read.
bool ownedAsTheRuleWants(const struct stat& dir, const struct stat& entry) {
  return entry.st_uid == geteuid() || !shared(dir) || entry.st_uid == dir.st_uid;
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

// A descriptor closed when it goes out of scope.
struct ownedFd {
  int fd = -1;
  ownedFd() = default;
  explicit ownedFd(int f) : fd(f) {}
  ownedFd(const ownedFd&) = delete;
  ownedFd& operator=(const ownedFd&) = delete;
  ~ownedFd() { reset(); }
  void reset(int f = -1) {
    if (fd >= 0) close(fd);
    fd = f;
  }
  int release() { return std::exchange(fd, -1); }
};

// What the walk of a name found.
struct walked {
  std::shared_ptr<heldDir> dir;
  std::string leaf;
  struct stat st {};  // st_mode 0: nothing there
  bool magic = false;
};

// The end of a walk that found no file to write: a refusal with its own
// line, or the system's errno for the file's own message.
struct walkFailure {
  Error refused;  // empty message: see err
  int err = 0;
  bool finalLink = false;  // the name's last component was a link, followed
};

bool onProc(int fd) {
  struct statfs fs {};
  return fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Walks `name` one component at a time from the current or the root
// directory, each directory opened (O_PATH) without following a link, so
// that every link on the way, and every link a link leads to, is checked
// before it is followed. The directory the last component lies in is kept
// open. `followed` tells whether a link was followed.
Result<walked> walkName(const char* name, walkFailure& why) {
  auto sysFail = [&](int err) {
    why.err = err;
    return Error{};
  };
  if (*name == '\0') return sysFail(ENOENT);
  std::string done = name[0] == '/' ? "/" : "";  // the directory so far, without links
  ownedFd dir(open(name[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return sysFail(errno);
  std::vector<std::string> rest;
  pushComponents(rest, name);
  int links = 0;
  walked w;
  bool haveLeaf = false;
  while (!rest.empty()) {
    const std::string c = std::move(rest.back());
    rest.pop_back();
    if (rest.empty() && (c == "." || c == "..")) {
      w.leaf = c;
      haveLeaf = true;
      break;
    }
    if (c == ".") continue;
    if (c == "..") {
      ownedFd up(openat(dir.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
      if (up.fd < 0) return sysFail(errno);
      dir.reset(up.release());
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
    struct stat st {};
    if (fstatat(dir.fd, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && rest.empty()) {
        w.leaf = c;
        haveLeaf = true;
        break;
      }
      return sysFail(errno);
    }
    if (S_ISLNK(st.st_mode)) {
      struct stat d {};
      if (fstat(dir.fd, &d) != 0) return sysFail(errno);
      if (!ownedAsTheRuleWants(d, st)) {
        why.refused = refusal(name, " is a link owned by another user in a shared directory; not followed");
        return Error{};
      }
      if (++links > maxLinks) {
        why.refused = refusal(name, ": too many levels of symbolic links");
        return Error{};
      }
      if (rest.empty()) why.finalLink = true;
      if (onProc(dir.fd)) {
        // The kernel's own links (/proc/self, /proc/self/fd/N behind
        // /dev/fd/N) stand for open files, and their text is no path to
        // walk ("pipe:[1234]"). /proc holds no shared directory: the file
        // is taken as the kernel finds it, a real path walked on, anything
        // else (a pipe) opened through the link.
        const std::string path = join(done, c);
        if (char* real = realpath(path.c_str(), nullptr)) {
          std::string resolved = real;
          free(real);
          if (resolved.starts_with("/")) {
            pushComponents(rest, resolved);
            ownedFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (root.fd < 0) return sysFail(errno);
            dir.reset(root.release());
            done = "/";
            continue;
          }
        }
        if (!rest.empty()) return sysFail(ENOTDIR);
        if (fstatat(dir.fd, c.c_str(), &w.st, 0) != 0) return sysFail(errno);
        w.leaf = c;
        w.magic = true;
        haveLeaf = true;
        break;
      }
      char text[PATH_MAX];
      const ssize_t n = readlinkat(dir.fd, c.c_str(), text, sizeof text);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof text) return sysFail(n < 0 ? errno : ENAMETOOLONG);
      // The link read must be the link checked.
      struct stat again {};
      if (fstatat(dir.fd, c.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_ino != st.st_ino ||
          again.st_dev != st.st_dev || again.st_uid != st.st_uid) {
        why.refused = refusal(name, " changed while it was opened; not written");
        return Error{};
      }
      if (text[0] == '/') {
        ownedFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (root.fd < 0) return sysFail(errno);
        dir.reset(root.release());
        done = "/";
      }
      pushComponents(rest, std::string_view(text, static_cast<size_t>(n)));
      continue;
    }
    if (rest.empty()) {
      w.leaf = c;
      w.st = st;
      haveLeaf = true;
      break;
    }
    ownedFd sub(openat(dir.fd, c.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.fd < 0 && errno == ELOOP) {
      why.refused = refusal(name, " changed while it was opened; not written");
      return Error{};
    }
    if (sub.fd < 0) return sysFail(errno);
    dir.reset(sub.release());
    done = join(done, c);
  }
  if (!haveLeaf) w.leaf = ".";  // "/" or a name of only "." components
  if (w.leaf == "." || w.leaf == "..") {
    if (fstatat(dir.fd, w.leaf.c_str(), &w.st, 0) != 0) return sysFail(errno);
  }
  w.dir = std::make_shared<heldDir>();
  w.dir->path = done.empty() ? "." : done;
  if (fstat(dir.fd, &w.dir->st) != 0) return sysFail(errno);
  w.dir->fd = dir.release();
  return w;
}

bool exists(const struct stat& st) { return st.st_mode != 0; }

bool special(const struct stat& st) { return exists(st) && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode); }

const char* kindOf(const struct stat& st) {
  return S_ISFIFO(st.st_mode) ? "FIFO" : S_ISSOCK(st.st_mode) ? "socket" : "device";
}

// The walk of `name` with the refusals of a name no run may write; `why`
// tells a refusal (its line) from a failure of the system (its errno).
Result<walked> checkedWalk(const char* name, walkFailure& why) {
  Result<walked> w = walkName(name, why);
  if (!w) {
    if (why.refused.message.empty() && (why.err == ENOENT || why.err == ENOTDIR) && why.finalLink) {
      // Creating the file a dangling link names would put a file wherever
      // it points; replacing the link would break it. Neither is asked for.
      why.refused = refusal(name, " is a dangling symbolic link; not followed");
    }
    return w;
  }
  if (!exists(w->st) && why.finalLink) {
    why.refused = refusal(name, " is a dangling symbolic link; not followed");
    return Error{};
  }
  if (special(w->st) && !w->magic && !ownedAsTheRuleWants(w->dir->st, w->st)) {
    why.refused = refusal(name, (std::string(" is a ") + kindOf(w->st) +
                                 " owned by another user in a shared directory; not written")
                                    .c_str());
    return Error{};
  }
  return w;
}

// Works out the file `o` names, sharing the directory of a file resolved
// before it when it is the same one (`dirs`, by device and inode), so that a
// group of many files holds one descriptor per directory.
using dirKey = std::pair<dev_t, ino_t>;
status resolveFile(outFile& o, std::map<dirKey, std::shared_ptr<const heldDir>>* dirs) {
  if (o.resolved) return done;
  walkFailure why;
  Result<walked> w = checkedWalk(o.name, why);
  if (!w) {
    if (!why.refused.message.empty()) return why.refused;
    return fileError(o, o.openMsg, why.err);
  }
  std::shared_ptr<const heldDir> dir = std::move(w->dir);
  if (dirs != nullptr) {
    const auto [at, added] = dirs->emplace(dirKey{dir->st.st_dev, dir->st.st_ino}, dir);
    if (!added) dir = at->second;
  }
  o.dir = std::move(dir);
  o.leaf = std::move(w->leaf);
  o.checked = w->st;
  o.magic = w->magic;
  o.resolved = true;
  return done;
}

Error changed(const outFile& o) {
  return Error{strf("%s changed while it was opened; not written\n", o.name), ErrorKind::io, o.name};
}

// Opens the FIFO, socket or device `o` names for writing in place, without
// following a link and without blocking on a FIFO without reader: that is
// waited for, as long as the settings say.
Result<int> openInPlace(const outFile& o) {
  const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (o.magic ? 0 : O_NOFOLLOW);
  int fd = openat(o.dir->fd, o.leaf.c_str(), flags);
  if (fd < 0 && errno == ENXIO && S_ISFIFO(o.checked.st_mode)) {
    waitFor(strf("waiting for a reader of FIFO %s\n", o.name), [&] {
      fd = openat(o.dir->fd, o.leaf.c_str(), flags);
      return fd >= 0 || errno != ENXIO;
    });
    if (fd < 0 && errno == ENXIO) {
      return Error{strf("no reader opened FIFO %s in %u seconds; nothing written (--lock-timeout sets how long "
                        "to wait)\n",
                        o.name, waiting().seconds),
                   ErrorKind::io, o.name, ENXIO};
    }
  }
  if (fd < 0) {
    if (errno == ELOOP) return changed(o);
    return fileError(o, o.openMsg, errno);
  }
  ownedFd opened(fd);
  struct stat st {};
  if (fstat(fd, &st) != 0) return fileError(o, o.openMsg, errno);
  if (st.st_dev != o.checked.st_dev || st.st_ino != o.checked.st_ino ||
      (st.st_mode & S_IFMT) != (o.checked.st_mode & S_IFMT)) {
    return changed(o);
  }
  // Written as any file is, once open.
  const int fl = fcntl(fd, F_GETFL);
  if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return fileError(o, o.openMsg, errno);
  return opened.release();
}

// Whether the kernel lets this process replace or remove a file of another
// user in a sticky directory: CAP_FOWNER, which root has.
bool mayOverrideSticky() {
  FILE* f = fopen("/proc/self/status", "re");
  if (f == nullptr) return geteuid() == 0;
  char line[256];
  bool capable = geteuid() == 0;
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, "CapEff:", 7) == 0) {
      capable = (strtoull(line + 7, nullptr, 16) >> 3 & 1) != 0;  // CAP_FOWNER is bit 3
      break;
    }
  }
  fclose(f);
  return capable;
}

// Whether the sticky rule refuses this process a rename over `entry` of
// `dir`: a file of another user, in a sticky directory of another user,
// unless the process may override the rule (`capable`).
bool stickyRefuses(const struct stat& dir, const struct stat& entry, bool capable) {
  const uid_t me = geteuid();
  if ((dir.st_mode & S_ISVTX) == 0 || entry.st_uid == me || dir.st_uid == me) return false;
  return !capable;
}

// ---- Directory locks ------------------------------------------------------------

// The lock file of a directory that cannot be read, created and removed by
// whoever holds it.
constexpr char lockName[] = ".rwlock";

// Exclusive flock()s on the directories of a group's files, taken in the
// order of their device and inode numbers so that two runs never wait on
// each other crosswise. A directory is locked through a descriptor open for
// reading; one that cannot be read (mode 0300) through its lock file, which
// is also taken where some of those who may write the directory cannot read
// it, so that they and its readers take turns. Held until the group is in
// place.
class dirLocks {
 public:
  dirLocks() = default;
  dirLocks(const dirLocks&) = delete;
  dirLocks& operator=(const dirLocks&) = delete;
  ~dirLocks() {
    for (const lockFile& l : files_) {
      // Removed while still locked: a run that opened it meanwhile finds
      // out once it has the lock, and tries again. (Where the sticky rule
      // keeps it, it stays for the next run.)
      unlinkat(l.dir, lockName, 0);
      close(l.fd);
    }
    for (int fd : fds_) close(fd);
  }

  status take(std::span<outFile> files) {
    std::vector<const heldDir*> dirs;
    for (const outFile& o : files) {
      if (o.tmp == nullptr) continue;
      const heldDir* d = o.dir.get();
      const bool seen = std::any_of(dirs.begin(), dirs.end(), [&](const heldDir* e) {
        return e->st.st_dev == d->st.st_dev && e->st.st_ino == d->st.st_ino;
      });
      if (!seen) dirs.push_back(d);
    }
    std::sort(dirs.begin(), dirs.end(), [](const heldDir* a, const heldDir* b) {
      return std::tie(a->st.st_dev, a->st.st_ino) < std::tie(b->st.st_dev, b->st.st_ino);
    });
    for (const heldDir* d : dirs) {
      const int fd = openat(d->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      const int readErr = fd < 0 ? errno : 0;
      if (fd >= 0) {
        fds_.push_back(fd);
        if (status s = lock(fd, d->path); !s) return s;
      }
      struct stat st {};
      if (fstat(d->fd, &st) != 0) st = d->st;
      // Writers who cannot read it: the group or the others may write
      // and search but not read.
      const bool blindWriters =
          (st.st_mode & 0700) == 0300 || (st.st_mode & 0070) == 0030 || (st.st_mode & 0007) == 0003;
      if (fd < 0 || blindWriters) {
        if (status s = lockByFile(*d, readErr); !s) return s;
      }
    }
    return done;
  }

 private:
  struct lockFile {
    int dir, fd;
  };

  static Error timedOut(const std::string& dir) {
    return Error{strf("another process held the lock on directory %s for %u seconds; nothing replaced "
                      "(--lock-timeout sets how long to wait)\n",
                      dir.c_str(), waiting().seconds),
                 ErrorKind::io, dir};
  }

  static status lock(int fd, const std::string& dir) {
    const bool got = waitFor(strf("waiting for another process's lock on directory %s\n", dir.c_str()),
                             [&] { return flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR); });
    if (!got) return timedOut(dir);
    return done;
  }

  status lockByFile(const heldDir& d, int readErr) {
    auto cannot = [&](int err) {
      return Error{strf("cannot lock directory %s: %s, and its lock file %s cannot be used: %s\n", d.path.c_str(),
                        readErr != 0 ? strerror(readErr) : "some who may write it cannot read it", lockName,
                        strerror(err)),
                   ErrorKind::io, d.path, err};
    };
    for (int attempt = 0; attempt < 1000; attempt++) {
      bool created = true;
      int fd = openat(d.fd, lockName, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = openat(d.fd, lockName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) continue;  // removed by its holder meanwhile
      }
      if (fd < 0) return cannot(errno);
      ownedFd held(fd);
      struct stat st {};
      if (fstat(fd, &st) != 0) return cannot(errno);
      if (!S_ISREG(st.st_mode)) return cannot(EINVAL);
      // Others who may write the directory must be able to open it too.
      if (created) fchmod(fd, 0644);
      if (status s = lock(fd, d.path); !s) return s;
      struct stat now {};
      if (fstatat(d.fd, lockName, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != st.st_dev ||
          now.st_ino != st.st_ino) {
        continue;  // its holder removed it: the lock is the next file's
      }
      files_.push_back({d.fd, held.release()});
      return done;
    }
    return cannot(EAGAIN);
  }

  std::vector<int> fds_;
  std::vector<lockFile> files_;
};

// A member of a group while the group is put in place.
struct member {
  outFile* o;
  std::string backup;      // the old file's hidden second name, while it has one
  bool existed = false;    // there was an old file
  bool kept = false;       // it is reachable at `backup`
  bool movedAside = false;  // ... having been renamed there, not linked
  bool placed = false;     // the new file is at its name
  int dir() const { return o->dir->fd; }
  const char* dest() const { return o->leaf.c_str(); }
};

// Keeps the old file of `m` reachable at a hidden name beside it until the
// group is complete. A hard link leaves the name in place for readers.
// Where no hard link can be made (EPERM, EXDEV, ENOTSUP, EMLINK and the
// like: filesystems without hard links, or the protected-hardlinks rule for
// a file of another user) the old file is renamed aside instead, and the
// name is missing for the moment until the new file takes it; the group can
// still be undone.
bool keepOld(member& m) {
  char* suffix = m.backup.data() + m.backup.size() - randomLen;
  for (int attempt = 0; attempt < 100; attempt++) {
    randomSuffix(suffix);
    if (linkat(m.dir(), m.dest(), m.dir(), m.backup.c_str(), 0) == 0) return m.kept = true;
    if (errno == ENOENT) {
      // Gone since it was seen (another user's link removed): nothing to
      // keep.
      m.existed = false;
      return true;
    }
    if (errno != EEXIST) break;
  }
  for (int attempt = 0; attempt < 100; attempt++) {
    randomSuffix(suffix);
    int r = renameat2(m.dir(), m.dest(), m.dir(), m.backup.c_str(), RENAME_NOREPLACE);
    if (r != 0 && errno == EINVAL) {
      // No RENAME_NOREPLACE on this filesystem: the random name is checked
      // instead, and the directory lock keeps other runs out.
      struct stat st {};
      r = fstatat(m.dir(), m.backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
              ? (errno = EEXIST, -1)
              : renameat(m.dir(), m.dest(), m.dir(), m.backup.c_str());
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
      unlinkat(m->dir(), m->dest(), 0);
    } else if (m->kept && (m->placed || m->movedAside)) {
      renameat(m->dir(), m->backup.c_str(), m->dir(), m->dest());
    } else if (m->kept) {
      unlinkat(m->dir(), m->backup.c_str(), 0);
    }
  }
}

// The refusal of a member that cannot be replaced, as it is now: a
// directory, or another user's file the sticky rule keeps.
int unreplaceable(const outFile& o, struct stat& st, bool capable) {
  if (fstatat(o.dir->fd, o.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    st = {};
    return 0;
  }
  if (S_ISDIR(st.st_mode)) return EISDIR;
  struct stat d {};
  if (fstat(o.dir->fd, &d) != 0) d = o.dir->st;
  return stickyRefuses(d, st, capable) ? EPERM : 0;
}

}  // namespace

status resolveFiles(std::span<outFile> files) {
  std::map<dirKey, std::shared_ptr<const heldDir>> dirs;
  for (outFile& o : files) {
    if (o.resolved && o.dir) dirs.emplace(dirKey{o.dir->st.st_dev, o.dir->st.st_ino}, o.dir);
  }
  for (outFile& o : files) {
    if (status s = resolveFile(o, &dirs); !s) return s;
  }
  return done;
}

status checkOutputName(const char* name) {
  walkFailure why;
  if (Result<walked> w = checkedWalk(name, why); !w && !why.refused.message.empty()) return why.refused;
  return done;
}

Result<FILE*> createFile(outFile& o) {
  if (status s = resolveFile(o, nullptr); !s) return s.error();
  int fd = -1;
  if (special(o.checked)) {
    // A device, a FIFO or a socket cannot be replaced, only written to.
    Result<int> opened = openInPlace(o);
    if (!opened) return opened.error();
    fd = *opened;
  } else if (exists(o.checked) && S_ISDIR(o.checked.st_mode)) {
    return fileError(o, o.openMsg, EISDIR);
  } else {
    // A symbolic link stays: the file it names is replaced.
    fd = temporaryMaker::create(o.dir, o.tmp);
    if (fd < 0) return fileError(o, o.openMsg, errno);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
      close(fd);
      o.tmp.drop();
      return changed(o);
    }
  }
  o.f.reset(fdopen(fd, "wb"));
  if (o.f == nullptr) {
    const int err = errno;
    close(fd);
    o.tmp.drop();
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
  // Everything that allocates comes before the signals are blocked.
  std::vector<member> members;
  members.reserve(files.size());
  for (outFile& o : files) {
    if (o.tmp != nullptr) members.push_back({&o, hiddenName()});
  }
  dirLocks locks;
  if (status s = locks.take(files); !s) return s;
  // Every name checked before any changes, with the directories locked.
  const bool capable = std::any_of(members.begin(), members.end(),
                                   [](const member& m) { return (m.o->dir->st.st_mode & S_ISVTX) != 0; }) &&
                       mayOverrideSticky();
  for (const member& m : members) {
    struct stat st {};
    if (const int err = unreplaceable(*m.o, st, capable); err != 0) return fileError(*m.o, m.o->openMsg, err);
  }

  // From the first rename to the last, an ending signal waits: it takes
  // effect once the group is whole and no backup is left.
  const outFile* failed = nullptr;
  int err = 0;
  {
    const signalsHeld held;
    size_t next = 0;
    for (; next < members.size(); next++) {
      member& m = members[next];
      struct stat st {};
      // No backup where the rename would be refused: it could not be
      // removed either.
      if (const int no = unreplaceable(*m.o, st, capable); no != 0) {
        errno = no;
      } else {
        m.existed = exists(st);
        if ((!m.existed || keepOld(m)) &&
            renameat(m.dir(), m.o->tmp.name(), m.dir(), m.dest()) == 0) {
          m.placed = true;
          m.o->tmp.placed();
          continue;
        }
      }
      failed = m.o;
      err = errno;
      break;
    }
    if (failed != nullptr) {
      members.resize(next + 1);
      undo(members);
    } else {
      for (const member& m : members) {
        if (m.kept) unlinkat(m.dir(), m.backup.c_str(), 0);
      }
    }
  }
  if (failed != nullptr) return fileError(*failed, failed->openMsg, err);
  return done;
}

}  // namespace romwright
