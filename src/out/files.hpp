// Output files replaced atomically: each written to a temporary beside it
// and put in place, a group of them together or not at all. Nothing here
// handles a signal: the temporaries not yet in place are listed for the
// program's own handler to remove.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/diag.hpp"
#include "core/error.hpp"

namespace romwright {

// ---- Atomic output files ----------------------------------------------------
// A file is written to a temporary ".rw" + 10 random characters in its own
// directory and renamed over its name once complete: a failed or interrupted
// run leaves the earlier file as it was and never a half-written one. A
// symbolic link is followed, and the file it names replaced; a device or a
// FIFO (such as /dev/null) is written in place.
//
// Every link met on the way to a name is checked as the kernel's
// protected-symlinks rule does, whatever the system's setting: in a sticky,
// world-writable directory (such as /tmp) a link is followed only when it
// belongs to the caller or to the directory's owner. A link so refused, a
// dangling link and a loop of links end the run with one line naming the
// file, before anything is written. So does a FIFO, socket or device of
// another user in such a directory (the protected-FIFOs rule): whoever
// planted it would read what the run writes.
//
// The name is walked one directory at a time, each opened without
// following a link, and the directory the file lies in is held open from
// that check to the rename: the temporary is created in it (O_CREAT |
// O_EXCL), a FIFO or device opened in it without following a link, and
// checked with fstat() to be what the walk found. A link swapped in after
// the check is never written through.

// How long the file operations of a run wait for another process (a lock
// on an output directory, a reader of an output FIFO), and where they say
// what they wait for. A waitScope sets them for its thread while it lives;
// without one: 30 seconds, no notes.
struct waitSettings {
  noteFn note;
  unsigned seconds = 30;
};

class waitScope {
 public:
  explicit waitScope(waitSettings s);
  ~waitScope();
  waitScope(const waitScope&) = delete;
  waitScope& operator=(const waitScope&) = delete;

 private:
  waitSettings s_;
  const waitSettings* outer_;
};

// A directory held open (O_PATH) from the check of a name to its rename.
struct heldDir;
// An entry of the list of pending temporaries.
struct pendingNode;

// A temporary not yet in place, listed for a signal handler while it is
// held. Going out of scope removes the file, unless it was put in place: a
// run that fails leaves none of its temporaries behind.
class temporaryPath {
 public:
  temporaryPath() = default;
  temporaryPath(temporaryPath&& o) noexcept
      : node_(std::exchange(o.node_, nullptr)), dir_(std::move(o.dir_)) {}
  temporaryPath& operator=(temporaryPath&& o) noexcept {
    if (this != &o) {
      drop();
      node_ = std::exchange(o.node_, nullptr);
      dir_ = std::move(o.dir_);
    }
    return *this;
  }
  ~temporaryPath() { drop(); }

  bool operator==(std::nullptr_t) const { return node_ == nullptr; }
  const char* name() const;  // in its directory
  // The file is in place: it is no temporary any more.
  void placed();
  // Removes the file and forgets it.
  void drop();

 private:
  friend struct temporaryMaker;
  pendingNode* node_ = nullptr;
  std::shared_ptr<const heldDir> dir_;
};

// Closes a stream that a failure left open.
struct streamCloser {
  void operator()(FILE* f) const { fclose(f); }
};

struct outFile {
  const char* name;      // the file to replace
  const char* openMsg;   // the temporary cannot be made or put in place
  const char* writeMsg;  // a write to it failed
  // The messages end with the system's reason (": No space left on
  // device") before their newline.
  bool withReason = false;
  std::unique_ptr<FILE, streamCloser> f = {};  // open while it is written
  // What the walk of `name` found: the directory held open, the last
  // component in it, and what was there (checked.st_mode == 0: nothing).
  std::shared_ptr<const heldDir> dir = {};
  std::string leaf = {};
  struct stat checked = {};
  bool magic = false;         // a link of /proc's own to an open file (a pipe)
  bool resolved = false;      // the walk is done
  temporaryPath tmp = {};     // the temporary while it is pending
};

// Walks the names of `files` (see above), so that a group whose last member
// cannot be written fails before its first is created. createFile does it
// for a file not yet resolved.
status resolveFiles(std::span<outFile> files);

// The refusal of a name that no run may write: a link the rule above does
// not follow, a dangling link, a loop, or a FIFO, socket or device of
// another user in a shared directory. Other failures (a missing directory)
// are left to the write. For the checks made before anything is read.
status checkOutputName(const char* name);

// Creates the temporary of `o` and opens it for writing, or opens the FIFO
// or device it names; fails with its `openMsg` (or why a link at its name is
// not followed, or why the FIFO has no reader).
Result<FILE*> createFile(outFile& o);

// Closes the temporary of `o`; fails with its `writeMsg` when `wrote` is
// false (`writeErr` saying why, when the system did) or a write or the close
// failed. A temporary left by a failure is removed with `o`.
status closeFile(outFile& o, bool wrote, int writeErr = 0);

// Puts the closed temporaries of `files` in place, in order, as one group:
// either every file is replaced or none is. Every name is checked first, so
// that one that cannot be replaced (a directory, or another user's file in
// a sticky directory) fails the group with its `openMsg` before any file
// changes. The renames run with the ending signals blocked and under an
// exclusive flock() of every directory involved (or of a lock file in a
// directory that cannot be read), so that two runs writing the same group
// leave one run's group whole; a lock another process holds is waited for
// as long as the waitSettings say. A rename that fails puts the files
// already replaced back as they were and fails with that file's `openMsg`.
status replaceFiles(std::span<outFile> files);

// ---- Pending temporaries ----------------------------------------------------

// Every signal whose default action ends the process (SIGXFSZ among them,
// though the command line ignores it), which a run holds back while it
// creates a temporary or puts a group of files in place.
std::span<const int> endingSignals();

// Removes every temporary not yet in place; safe in a signal handler.
void removePendingTemporaries();

// The same, for a run that ends by a failure: not for a signal handler.
void discardPendingTemporaries();

}  // namespace romwright
