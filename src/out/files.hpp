// Output files replaced atomically: each written to a temporary beside it
// and put in place, a group of them together or not at all. Nothing here
// handles a signal: the temporaries not yet in place are listed for the
// program's own handler to remove.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

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

struct outFile {
  const char* name;      // the file to replace
  const char* openMsg;   // the temporary cannot be made or put in place
  const char* writeMsg;  // a write to it failed
  FILE* f = nullptr;     // open while it is written
  char* tmp = nullptr;   // the temporary's path while it is pending
  std::string target = {}; // the file `name` names when a link was followed
  bool resolved = false;   // `target` has been worked out
};

// Follows the links at the names of `files` (see above), so that a group
// whose last member cannot be written fails before its first is created.
// createFile does it for a file not yet resolved.
status resolveFiles(std::span<outFile> files);

// Creates the temporary of `o` and opens it for writing; fails with its
// `openMsg` (or why a link at its name is not followed).
Result<FILE*> createFile(outFile& o);

// Closes the temporary of `o`; fails with its `writeMsg` when `wrote` is
// false or a write or the close failed. A temporary left by a failure is
// removed when the run ends.
status closeFile(outFile& o, bool wrote);

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
