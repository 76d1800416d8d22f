// The process-wide guards of the command line: signals that end the run,
// faults on a mapped input that shrank, allocation failures nothing caught,
// and the standard streams. Only the program itself installs them; the
// library never does.
#pragma once

#include "core/error.hpp"

namespace romwright::cli {

// Call first in main. Ignores SIGXFSZ, so that a write past the file size
// limit fails like any other write, and keeps standard input, output and
// error from being closed: a closed one is held by a read-only /dev/null, so
// that no file the run opens takes its place and writes to it still fail.
void guardStandardStreams();

// Has every signal whose default action ends the process (core-dumping ones
// and the real-time signals among them) remove the temporaries not yet in
// place, then end the process by that signal with its default action, so
// that the exit status and a core dump stay; a signal the run was started
// with ignored stays ignored. A group of files being put in place holds the
// signals back until it is whole. A SIGBUS on a mapped input that shrank ends the run with
// "input file NAME changed while it was read\n", status 1. An allocation
// failure that nothing catches ends it with "out of memory\n", status 1,
// instead of an abort.
void guardSignals();

// Ends a run that failed: removes every pending temporary, writes `msg` to
// standard error and ends the process with status 1.
[[noreturn]] void fail(const char* msg);

// Closes standard output; fails with "Unable to write standard output\n"
// when a write to it failed or output was pending that could not be written.
// A run that wrote nothing does not fail because standard output is closed.
status closeStandardOutput();

}  // namespace romwright::cli
