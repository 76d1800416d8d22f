// A run of --verify.
#include "cli/verify.hpp"

#include <elf.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/numbers.hpp"
#include "out/verify.hpp"
#include "read/elf.hpp"
#include "read/registry.hpp"

namespace romwright {

namespace {

unsigned long long ull(uint64_t v) { return v; }

// Reads the dump of --verify=`arg`: the file `arg` when there is one;
// otherwise, when the text after its last @ is an address, the raw bytes of
// the file before it from that address.
status readDump(const char* arg, image& dump) {
  std::string file = arg;
  uint64_t at = 0;
  bool raw = false;
  const char* sign = strrchr(arg, '@');
  if (sign != nullptr && access(arg, F_OK) != 0) {
    switch (readNumber(sign + 1, false, at, UINT64_MAX)) {
      case numberRead::tooLarge:
        return errorf(ErrorKind::bad_argument, "--verify", "--verify=%s: %s is too large\n", arg, sign + 1);
      case numberRead::ok:
        raw = true;
        file.assign(arg, static_cast<size_t>(sign - arg));
        break;
      case numberRead::malformed: break;
    }
  }
  const char* kind = recognisedKind(file);
  if (raw && kind != nullptr) {
    for (const inputKind& k : inputKinds()) {
      if (strcmp(kind, k.name) != 0) continue;
      return errorf(ErrorKind::bad_argument, "--verify", "--verify=%s: %s is %s, which holds its own addresses: give --verify=%s\n",
                    arg, file.c_str(), k.described, file.c_str());
    }
  }
  if (!raw && kind != nullptr && *kind == '\0') {
    std::string kinds;
    const auto all = inputKinds();
    for (size_t i = 0; i < all.size(); i++) kinds += (i == 0 ? "" : i + 1 == all.size() ? " nor " : ", ") + std::string(all[i].described);
    return errorf(ErrorKind::malformed, file, "--verify=%s: %s is neither %s; a raw dump needs --verify=%s@ADDR\n", arg,
                  file.c_str(), kinds.c_str(), file.c_str());
  }
  std::string log;
  sectionChoice none;
  readContext ctx{log, none, false};
  if (status s = readInput(file, raw ? readAs::raw : readAs::recognised, at, dump, ctx); !s) {
    Error e = s.error();
    if (e.kind == ErrorKind::layout) e.kind = ErrorKind::malformed;
    if (e.subject.empty()) e.subject = file;
    e.message = "--verify=" + std::string(arg) + ": " + e.message;
    return e;
  }
  for (const segment& s : dump.segments) {
    if (s.type != PT_LOAD || s.fileSize == 0 || (s.readable && s.bytes.size() >= s.fileSize)) continue;
    return errorf(ErrorKind::malformed, file, "--verify=%s: unable to read segment %d of %s\n", arg, s.index,
                  file.c_str());
  }
  return done;
}

}  // namespace

status checkVerifyAlone(const job& j) {
  const char* other = j.romOut ? "-r" : j.ROMOut ? "-R" : j.hexOut ? "-H" : j.dumpLen ? "-l" : j.dumpDest ? "-t"
                      : j.dumpEntry                                                     ? "-e"
                                                                                        : nullptr;
  if (other == nullptr) return done;
  return errorf(ErrorKind::bad_argument, "--verify", "--verify=%s: writes nothing; not with %s\n", j.mem.verify, other);
}

status verifyMemories(const memoryPlan& plan, const image& img, const runIO& io) {
  image dump;
  if (status s = readDump(plan.verify, dump); !s) return s;
  Result<placedRun> run = placeRun(plan, img, io.note);
  if (!run) return run.error();
  // A range to ignore that lies in no memory is a mistake in its addresses.
  for (const auto& [first, last] : plan.verifyIgnore) {
    bool inSome = false;
    for (const placedMemory& m : run->memories) {
      const uint64_t mf = m.p.address(), ml = mf + (m.depth * (m.o->width / 8) - 1);
      inSome = inSome || (first <= ml && mf <= last);
    }
    if (!inSome) {
      return errorf(ErrorKind::bad_argument, "--verify-ignore", "--verify-ignore=0x%08llx..0x%08llx: lies in no memory\n",
                    ull(first), ull(last));
    }
  }
  const verifyReport report = compareDump(*run, img, dump, plan.verifyIgnore);
  if (io.out != nullptr) {
    const std::string text = verifyText(report, *run, plan.verify);
    if (fputs(text.c_str(), io.out) == EOF || fflush(io.out) != 0) {
      const int err = errno;
      return Error{"Unable to write standard output: " + reasonOf(err) + "\n", ErrorKind::io, "standard output", err};
    }
  }
  if (report.equal()) return done;
  return errorf(ErrorKind::layout, "--verify", "--verify=%s: the dump differs from the image\n", plan.verify);
}

}  // namespace romwright
