// Output files replaced atomically: each written to a temporary beside it
// and put in place, a group of them together or not at all. Nothing here
// handles a signal: the temporaries not yet in place are listed for the
// program's own handler to remove.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace romwright {

// ---- Atomic output files ----------------------------------------------------
// A file is written to a temporary ".rw" + 10 random characters in its own
// directory and renamed over its name once complete: a failed or interrupted
// run leaves the earlier file as it was and never a half-written one. A
// symbolic link is followed, and the file it names replaced; a device or a
// FIFO (such as /dev/null or /dev/stdout to a pipe) is written in place.
//
// Every link met on the way to a name is checked as the kernel's
// protected-symlinks rule does, whatever the system's setting: in a sticky,
// world-writable directory (such as /tmp) a link is followed only when it
// belongs to the caller or to the directory's owner. A link so refused, a
// dangling link and a loop of links end the run with one line naming the
// file, before anything is written.

// The path of a temporary not yet in place, listed for a signal handler
// while it is held. Going out of scope removes the file, unless it was put
// in place: a run that fails leaves none of its temporaries behind.
class temporaryPath {
 public:
  temporaryPath() = default;
  temporaryPath(temporaryPath&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  temporaryPath& operator=(temporaryPath&& o) noexcept {
    if (this != &o) {
      drop();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~temporaryPath() { drop(); }

  const char* get() const { return p_; }
  bool operator==(std::nullptr_t) const { return p_ == nullptr; }
  // Takes over `p`, a path of malloc's already listed as pending.
  void adopt(char* p) {
    drop();
    p_ = p;
  }
  // The file is in place: it is no temporary any more.
  void placed();
  // Removes the file and forgets it.
  void drop();

 private:
  char* p_ = nullptr;
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
  temporaryPath tmp = {};    // the temporary while it is pending
  std::string target = {};   // the file `name` names when a link was followed
  bool resolved = false;     // `target` has been worked out
};

// Follows the links at the names of `files` (see above), so that a group
// whose last member cannot be written fails before its first is created.
// createFile does it for a file not yet resolved.
status resolveFiles(std::span<outFile> files);

// Creates the temporary of `o` and opens it for writing; fails with its
// `openMsg` (or why a link at its name is not followed).
Result<FILE*> createFile(outFile& o);

// Closes the temporary of `o`; fails with its `writeMsg` when `wrote` is
// false (`writeErr` saying why, when the system did) or a write or the close
// failed. A temporary left by a failure is removed with `o`.
status closeFile(outFile& o, bool wrote, int writeErr = 0);

// Puts the closed temporaries of `files` in place, in order, as one group:
// either every file is replaced or none is. Every name is checked first, so
// that one that cannot be replaced (a directory) fails the group with its
// `openMsg` before any file changes. The renames run with the ending signals
// blocked and under an exclusive flock() of every directory involved, so
// that two runs writing the same group leave one run's group whole; a rename
// that fails puts the files already replaced back as they were and fails
// with that file's `openMsg`.
status replaceFiles(std::span<outFile> files);

// ---- Pending temporaries ----------------------------------------------------

// Every signal whose default action ends the process, and which a run holds
// back while it puts a group of files in place.
std::span<const int> endingSignals();

// Removes every temporary not yet in place; safe in a signal handler.
void removePendingTemporaries();

// The same, releasing their paths too: not for a signal handler.
void discardPendingTemporaries();

}  // namespace romwright
