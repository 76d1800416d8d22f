// One run of the tool, in its fixed order: the input read, the fixed
// outputs, the memory images, the reports.
#include "cli/job.hpp"

#include <elf.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "cli/validate.hpp"
#include "cli/verify.hpp"
#include "core/numbers.hpp"
#include "fixed/fixed.hpp"
#include "fixed/merge.hpp"
#include "out/files.hpp"
#include "out/group.hpp"
#include "out/images.hpp"
#include "read/elf.hpp"
#include "read/registry.hpp"

namespace romwright {

namespace {

// A line that says what input `input` of `img`, named `name`, is when it is
// not what the run takes, or empty: a relocatable object (to any run), a
// shared object or core dump (to the memory images; the fixed outputs keep
// their own lines for those), a 64-bit executable or a file of another kind
// (to the fixed outputs, which read it as a 32-bit ELF executable).
std::string whatItIs(const image& img, size_t input, const std::string& name, bool loaded, bool fixed) {
  const inputInfo* in = input < img.inputs.size() ? &img.inputs[input] : nullptr;
  const bool elf = in != nullptr && strcmp(in->kind, "ELF") == 0;
  const uint16_t type = elf ? in->elfType : 0;
  if (type == ET_REL) {
    return name + " is a relocatable object file, not an executable; link it first\n";
  }
  if (type == ET_DYN && !fixed) {
    return name + " is a shared object or a position-independent executable; link it at fixed addresses "
                  "(-no-pie)\n";
  }
  if (type == ET_CORE && !fixed) return name + " is a core dump, not an executable\n";
  if (loaded && elf && in->elfClass == 64 && fixed) {
    return name + " is a 64-bit ELF executable; -H, -r, -R and the reports take 32-bit ones "
                  "(--format takes both)\n";
  }
  // A file of another kind, read as ELF by the fixed outputs, whose header
  // the loader refused.
  if (loaded || !fixed || type == ET_EXEC) return {};
  const char* kind = recognisedKind(name);
  if (kind == nullptr || strcmp(kind, "ELF") == 0) return {};
  if (*kind == '\0') {
    return noKnownKind(name);
  }
  return name + " is " + kind + "; -H, -r, -R and the reports take 32-bit ELF executables (--format takes it)\n";
}

// Splits --merge's FILE[@ADDR]: a raw binary when the text after the last @
// is an address (`raw` set), otherwise a file of a kind recognised by its
// content.
numberRead rawMerge(const char* arg, std::string& file, uint64_t& at) {
  const char* sign = strrchr(arg, '@');
  const numberRead read = sign == nullptr ? numberRead::malformed : readNumber(sign + 1, false, at, UINT64_MAX);
  file = read == numberRead::ok ? std::string(arg, static_cast<size_t>(sign - arg)) : std::string(arg);
  return read;
}

}  // namespace

namespace {

// Reads the input of -f: for the fixed outputs as a 32-bit ELF executable,
// merged into `merged`; for the memory images by its content, or as the
// raw binary FILE from ADDR when it is given as FILE@ADDR. The loader's
// lines go to the notes as they come when `showLines`; otherwise a failure
// of the fixed outputs' load leads with those that came before it, and a
// memory-image run's failure says only what failed.
status readFirst(const job& j, bool fixed, bool showLines, const runIO& io, image& img, readContext& ctx,
                 std::string& log, Result<elfImage>& merged) {
  std::string file = j.input;
  uint64_t at = 0;
  bool raw = false;
  if (j.inputData == nullptr && access(j.input, F_OK) != 0 && strrchr(j.input, '@') != nullptr) {
    const numberRead read = rawMerge(j.input, file, at);
    if (read == numberRead::tooLarge) {
      return errorf(ErrorKind::bad_argument, "-f", "-f %s: %s is too large\n", j.input, strrchr(j.input, '@') + 1);
    }
    raw = read == numberRead::ok;
    if (!raw) file = j.input;
  }
  if (raw && fixed) {
    return errorf(ErrorKind::bad_argument, "-f",
                  "-f %s: -H, -r, -R and the reports take an ELF executable; a raw binary goes to --format\n",
                  j.input);
  }
  if (raw) {
    const char* kind = recognisedKind(file);
    for (const inputKind& k : inputKinds()) {
      if (kind == nullptr || strcmp(kind, k.name) != 0) continue;
      return errorf(ErrorKind::bad_argument, "-f", "-f %s: %s is %s, which holds its own addresses: give -f %s\n",
                    j.input, file.c_str(), k.described, file.c_str());
    }
  }

  const readAs how = raw ? readAs::raw : fixed ? readAs::elf : readAs::recognised;
  status loaded = j.inputData != nullptr ? readInputBytes(j.input, *j.inputData, how, img, ctx)
                                         : readInput(file, how, at, img, ctx);
  const bool elfInput = !img.inputs.empty() && std::string_view(img.inputs[0].kind) == "ELF";
  std::string hint;
  if (loaded && fixed) {
    hint = whatItIs(img, 0, file, true, fixed);
    if (!hint.empty()) loaded = Error{{}, ErrorKind::malformed, file};
  }
  if (loaded && fixed) {
    // The merger's warnings, one for every text segment after the first,
    // go out as they come when the lines are shown.
    if (showLines) tell(io.note, log), log.clear();
    merged = eatPh(img, log, showLines ? &io.note : nullptr);
    if (!merged) loaded = withKind(merged.error(), ErrorKind::malformed, j.input);
  }
  if (!loaded) {
    if (hint.empty()) hint = whatItIs(img, 0, file, false, fixed);
    std::string text = (fixed || showLines ? log : std::string()) + loaded.error().message;
    if (elfInput || fixed) text += strf("unable to load elf file %s\n", file.c_str());
    Error e = loaded.error();
    e.message = text + hint;
    if (e.kind == ErrorKind::layout) e.kind = ErrorKind::malformed;
    if (e.subject.empty()) e.subject = file;
    return e;
  }
  if (showLines) tell(io.note, log);
  log.clear();
  return done;
}

// Reads the inputs of `j` into `img`: -f when given, then each --merge in
// order, with the sections chosen. For the fixed outputs (`fixed`), the
// input of -f is read as a 32-bit ELF executable and merged into `merged`.
// The loader's lines go to the notes as they come when `showLines`.
status readInputs(const job& j, bool fixed, bool showLines, bool symbols, const runIO& io, image& img,
                  Result<elfImage>& merged) {
  std::string log;
  sectionChoice sections;
  sections.keep.assign(j.mem.section.begin(), j.mem.section.end());
  sections.remove.assign(j.mem.removeSection.begin(), j.mem.removeSection.end());
  sections.keepHits.assign(sections.keep.size(), 0);
  sections.removeHits.assign(sections.remove.size(), 0);
  readContext ctx{log, sections, symbols};

  if (j.input != nullptr) {
    if (status s = readFirst(j, fixed, showLines, io, img, ctx, log, merged); !s) return s;
  }

  // Further inputs of the memory image, in order.
  for (const char* arg : j.mem.merge) {
    std::string file;
    uint64_t at = 0;
    const numberRead read = rawMerge(arg, file, at);
    if (read == numberRead::tooLarge) {
      return errorf(ErrorKind::bad_argument, "--merge", "--merge=%s: %s is too large\n", arg, strrchr(arg, '@') + 1);
    }
    const bool raw = read == numberRead::ok;
    const size_t input = img.inputs.size();
    status s = readInput(file, raw ? readAs::raw : readAs::recognised, at, img, ctx);
    if (showLines) tell(io.note, log);
    log.clear();
    if (!s) {
      // Its own failure and what it is; the loader's lines only with
      // --verbose, as they came.
      Error e = s.error();
      e.message += whatItIs(img, input, file, false, false);
      if (e.kind == ErrorKind::layout) e.kind = ErrorKind::malformed;
      if (e.subject.empty()) e.subject = file;
      return e;
    }
  }
  for (size_t i = 0; i < sections.keep.size(); i++) {
    if (sections.keepHits[i] == 0) {
      return errorf(ErrorKind::bad_argument, "--section", "--section=%s: matches no section\n",
                    sections.keep[i].c_str());
    }
  }
  for (size_t i = 0; i < sections.remove.size(); i++) {
    if (sections.removeHits[i] == 0) {
      return errorf(ErrorKind::bad_argument, "--remove-section", "--remove-section=%s: matches no section\n",
                    sections.remove[i].c_str());
    }
  }
  return done;
}

// Whether the run has inputs to read: a run that writes only placeholders
// may have none (placeholdersOnly).
bool hasInputs(const job& j) { return j.input != nullptr || !j.mem.merge.empty(); }

}  // namespace

status runJob(const job& j, const runIO& io) {
  // The default length is a multiple of 4, so only a -L value can fail here.
  if (j.ROMLen % 4 != 0) {
    return errorf(ErrorKind::bad_argument, "-L", "ROM length 0x%x is not a multiple of 4\n", j.ROMLen);
  }

  Result<memoryPlan> checked = checkMemories(j.mem, j.hexOut != 0);
  if (!checked) return checked.error();
  const memoryPlan& plan = *checked;
  const Result<unsigned> waitSeconds = checkLockTimeout(j.mem);
  if (!waitSeconds) return waitSeconds.error();
  // getopt leaves words that are no option to the fixed outputs, which
  // ignore them; a run of memory images alone refuses them.
  if (!plan.memories.empty() && !(j.romOut || j.ROMOut || j.hexOut || j.dumpLen || j.dumpDest || j.dumpEntry) &&
      !j.positional.empty()) {
    return errorf(ErrorKind::bad_argument, j.positional[0],
                  "%s: a word that is no option; inputs are given with -f or --merge\n", j.positional[0]);
  }
  // What the files wait for (another run's lock, a FIFO's reader) is said
  // with the run's notes.
  const waitScope waits({io.note, *waitSeconds});
  const runOutputs outputs{j.romOut != 0, j.ROMOut != 0, j.hexOut != 0 ? "-H" : nullptr,
                           j.dumpLen != 0     ? "-l"
                           : j.dumpDest != 0  ? "-t"
                           : j.dumpEntry != 0 ? "-e"
                                              : nullptr,
                           plan.patch.design, plan.patch.output};
  if (plan.verify != nullptr) {
    if (status s = checkVerifyAlone(j); !s) return s;
  } else if (status s = checkDistinctOutputs(plan.memories, outputs, plan.map, plan.digestOut); !s) {
    return s;
  }

  // The fixed outputs and the reports need the merged image of a 32-bit
  // executable (and so does a run that asks for nothing else); a memory
  // image takes any input.
  const bool fixed = j.romOut || j.ROMOut || j.hexOut || j.dumpLen || j.dumpDest || j.dumpEntry || plan.memories.empty();
  // Their load lines show as they always did, unless --quiet holds them;
  // a memory-image run shows them with --verbose. Held lines are shown
  // when the load fails.
  const bool showLines = (fixed && !j.mem.quiet) || j.mem.verbose;
  // Only the memory images take a run whose inputs are all --merge.
  if (fixed && j.input == nullptr) {
    const char* asked = j.romOut ? "-r" : j.ROMOut ? "-R" : j.hexOut ? "-H" : outputs.reports;
    return errorf(ErrorKind::bad_argument, "-f", "%s: needs -f FILE, a 32-bit ELF executable; --merge is for --format\n",
                  asked != nullptr ? asked : "-f");
  }
  image img;
  Result<elfImage> merged = Error{};
  if (hasInputs(j)) {
    if (status s = readInputs(j, fixed, showLines, plan.symbols, io, img, merged); !s) return s;
  }
  if (plan.verify != nullptr) return verifyMemories(plan, img, io);

  if (fixed) {
    const elfImage& elf = *merged;
    // After the fixed outputs' own refusal of a program with data, a line
    // that says what writes it.
    auto said = [&](status s) -> status {
      const char* why = refusal(elf);
      if (s || elf.textLen == 0 || why == nullptr || s.error().message != why) return s;
      Error e = s.error();
      e.message += std::string(j.input) +
                   " has a data segment; -H, -r and -R take a program of text alone (--format writes images of "
                   "programs with data)\n";
      return e;
    };
    if (j.romOut) {
      if (status s = said(dumpRom(elf)); !s) return s;
    }
    if (j.ROMOut) {
      if (status s = said(dumpROM(elf, j.ROMLen)); !s) return s;
    }
    if (j.hexOut) {
      if (elf.textAddr != elf.entryAddr) tell(io.note, boot_warning(elf.textAddr, elf.entryAddr));
      if (status s = said(dumpHex(elf, j.hexMax, j.verbose != 0, io.out, io.note)); !s) return s;
    }
  }
  if (!plan.memories.empty()) {
    if (status s = dumpMemImages(plan, img, io.out, io.note); !s) return s;
  }
  if (fixed) {
    const elfImage& elf = *merged;
    if (j.dumpLen) {
      // The text+data length, in 32-bit arithmetic.
      const uint32_t len = elf.dataLen != 0 ? elf.dataAddr + elf.dataLen - elf.textAddr : elf.textLen;
      fprintf(io.out, "len %d\n", static_cast<int32_t>(len));
    }
    if (j.dumpDest) fprintf(io.out, "text %d 0x%08x\n", static_cast<int32_t>(elf.textAddr), elf.textAddr);
    if (j.dumpEntry) fprintf(io.out, "entry %d 0x%08x\n", static_cast<int32_t>(elf.entryAddr), elf.entryAddr);
  }
  return done;
}

Result<std::unique_ptr<placedJob>> placeJob(const job& j, const noteFn& note) {
  if (!hasInputs(j) && !placeholdersOnly(j)) {
    return errorf(ErrorKind::bad_argument, "input", "no input: give input, as -f FILE\n");
  }
  if (j.mem.patch != nullptr) {
    return errorf(ErrorKind::bad_argument, "--patch",
                  "--patch=%s: the patched design is a file of a whole run: build() writes it\n", j.mem.patch);
  }
  auto placed = std::make_unique<placedJob>();
  Result<memoryPlan> checked = checkMemories(j.mem, false);
  if (!checked) return checked.error();
  placed->plan = std::move(*checked);
  if (placed->plan.memories.empty()) {
    return errorf(ErrorKind::bad_argument, "--format", "no memory image is asked for: give format or memory\n");
  }
  const runIO io{nullptr, note};
  Result<elfImage> unused = Error{};
  if (hasInputs(j)) {
    if (status s = readInputs(j, false, j.mem.verbose != 0, placed->plan.symbols, io, placed->img, unused); !s) {
      return s.error();
    }
  }
  Result<placedRun> run = placeRun(placed->plan, placed->img, note);
  if (!run) return run.error();
  placed->run = std::move(*run);
  return placed;
}

}  // namespace romwright
