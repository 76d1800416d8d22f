// The command line's process-wide guards.
#include "cli/guards.hpp"

#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

#include "out/files.hpp"
#include "read/mapped.hpp"

namespace romwright::cli {

namespace {

// Ends the process by `sig` with its default action: the exit status
// and, for the signals that dump core, the core dump stay those of the
// signal. `sig` is held back while its handler runs, so it takes effect as
// the handler returns (a fault raised by an instruction meets the default
// action when the instruction runs again).
void dieBy(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

// Removes the temporaries, then ends the process by the same signal. A
// group being put in place holds the signals back until it is whole.
void dropTemporaries(int sig) {
  const int saved = errno;
  removePendingTemporaries();
  dieBy(sig);
  errno = saved;
}

// Ends the run on an exception nothing caught: an allocation failure is a
// message, anything else the usual abort.
void uncaught() {
  if (std::exception_ptr e = std::current_exception()) {
    try {
      std::rethrow_exception(e);
    } catch (const std::bad_alloc&) {
      fail("out of memory\n");
    } catch (...) {
    }
  }
  removePendingTemporaries();
  abort();
}

// A fault on a mapped input ends the run with the line that names it; any
// other SIGBUS keeps its default action.
void inputChanged(int sig, siginfo_t* info, void*) {
  size_t len = 0;
  const char* msg = info->si_code > 0 ? mappedInputMessage(info->si_addr, len) : nullptr;  // a fault, not sent
  if (msg != nullptr) {
    removePendingTemporaries();
    for (size_t written = 0; written < len;) {
      const ssize_t n = write(2, msg + written, len - written);
      if (n <= 0 && errno != EINTR) break;
      if (n > 0) written += static_cast<size_t>(n);
    }
    _exit(1);
  }
  // Not ours (sent, or a fault elsewhere): the temporaries go, and the
  // default action follows once this handler returns.
  const int saved = errno;
  removePendingTemporaries();
  dieBy(sig);
  errno = saved;
}

}  // namespace

void guardStandardStreams() {
  signal(SIGXFSZ, SIG_IGN);
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      // open() takes the lowest free descriptor, which is this one.
      open("/dev/null", O_RDONLY);
    }
  }
}

void guardSignals() {
  std::set_terminate(uncaught);
  struct sigaction act {};
  act.sa_handler = dropTemporaries;
  sigemptyset(&act.sa_mask);
  for (int sig : endingSignals()) sigaddset(&act.sa_mask, sig);
  for (int sig : endingSignals()) {
    // SIGXFSZ stays ignored; SIGBUS has its own handler below.
    if (sig == SIGXFSZ || sig == SIGBUS) continue;
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &act, nullptr);
  }
  struct sigaction bus {};
  bus.sa_sigaction = inputChanged;
  bus.sa_flags = SA_SIGINFO;
  bus.sa_mask = act.sa_mask;
  sigaction(SIGBUS, &bus, nullptr);
}

void fail(const char* msg) {
  discardPendingTemporaries();
  fputs(msg, stderr);
  exit(1);
}

status closeStandardOutput() {
  // The rule of a careful close: a failed close counts when output was
  // pending or an earlier write failed, or when the error is not EBADF.
  const bool pendingOutput = __fpending(stdout) != 0;
  const bool failedBefore = ferror(stdout) != 0;
  const bool closeFailed = fclose(stdout) != 0;
  if (failedBefore || (closeFailed && (pendingOutput || errno != EBADF))) {
    return Error{"Unable to write standard output\n", ErrorKind::io, "standard output", errno};
  }
  return done;
}

}  // namespace romwright::cli
