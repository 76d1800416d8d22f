// Output machinery shared by every writer: one big buffer written in whole
// blocks, files replaced atomically, temporaries removed on failure and on
// signals, and the final check of standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "result.hpp"

// ---- Block output -----------------------------------------------------------
// A format is built in `outBuf` and written in whole blocks. The buffer holds
// a whole number of 9-byte listing lines, so that a buffer full of one
// repeated line can be written again and again as it stands.

constexpr size_t outBlock = size_t{9} << 16;
extern char outBuf[outBlock];

// A stream being written through `outBuf`; `ok` turns false at the first
// failed write and stays so, and nothing more is written after it.
struct sink {
  FILE* f;
  size_t pos;
  bool ok;
};

// Writes what the buffer holds.
bool flush(sink& s);

// Makes room for `n` more bytes in the buffer (`n` at most `outBlock`).
bool room(sink& s, size_t n);

// Appends `n` bytes, flushing as often as needed.
bool put(sink& s, const void* bytes, size_t n);

// Appends `count` copies of the `len` bytes at `unit` (`len` at most
// `outBlock`): the buffer is filled with copies once and written whole as
// often as needed.
bool repeat(sink& s, const char* unit, size_t len, uint64_t count);

// ---- Failure ----------------------------------------------------------------

// Ends a run that failed, for main (and for an allocation failure nothing
// caught): removes every pending temporary, writes `msg` to standard error
// and ends the process with status 1. Every other step returns its failure.
[[noreturn]] void fail(const char* msg);

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
result<FILE*> createFile(outFile& o);

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

// ---- Resources --------------------------------------------------------------

// Call once in main. An allocation failure that nothing catches removes the
// pending temporaries and ends the run with "out of memory\n", status 1,
// instead of an abort.
void guardAllocation();

// Registers the `len` bytes of a mapped input file at `addr`, called `name`:
// a SIGBUS on them (the file shrank while it was read) removes the pending
// temporaries and ends the run with "input file NAME changed while it was
// read\n", status 1. Any other SIGBUS keeps its default action.
void guardMappedInput(const void* addr, size_t len, const char* name);

// Forgets the mapping at `addr`, before it is unmapped.
void releaseMappedInput(const void* addr);

// ---- Standard streams -------------------------------------------------------

// Call first in main. Ignores SIGXFSZ, so that a write past the file size
// limit fails like any other write, and keeps standard input, output and
// error from being closed: a closed one is held by a read-only /dev/null, so
// that no file the run opens takes its place and writes to it still fail.
void guardStandardStreams();

// Closes standard output; fails with "Unable to write standard output\n"
// when a write to it failed or output was pending that could not be written.
// A run that wrote nothing does not fail because standard output is closed.
status closeStandardOutput();
