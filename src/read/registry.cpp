// Opening inputs, recognising their kind and the table of readers.
#include "read/registry.hpp"

#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>

#include "read/elf.hpp"

namespace romwright {

namespace {

status elfRow(inputSource& in, image& img, readContext& ctx) {
  return readElf(in, img, ctx.log, ctx.sections, ctx.symbols);
}
status ihexRow(inputSource& in, image& img, readContext&) { return readIhex(in, img); }
status srecRow(inputSource& in, image& img, readContext&) { return readSrec(in, img); }

constexpr inputKind kinds[] = {
    {"ELF", "an ELF executable", isElf, elfRow},
    {"Intel HEX", "Intel HEX", isIhex, ihexRow},
    {"S-records", "S-records", isSrec, srecRow},
};

// Raw bytes, the first at `at`: one segment of every byte of the file.
status readRaw(inputSource& in, image& img, uint64_t at) {
  const Result<std::span<const uint8_t>> bytes = inputBytes(in, img);
  if (!bytes) return bytes.error();
  if (bytes->empty()) return failuref("%s is empty: nothing to place\n", in.name.c_str());
  // Its last byte may be the address space's last.
  if (bytes->size() - 1 > UINT64_MAX - at) {
    return failuref("%s at 0x%llx passes the end of the 64-bit address space\n", in.name.c_str(),
                    static_cast<unsigned long long>(at));
  }
  segment s;
  s.load = s.run = at;
  s.fileSize = s.memSize = bytes->size();
  s.flags = PF_R | PF_W | PF_X;
  s.type = PT_LOAD;
  s.bytes = *bytes;
  s.input = in.index;
  img.segments.push_back(s);
  return done;
}

// Closes the input's descriptor when the reading is over; a mapping stays.
struct fdCloser {
  int fd;
  explicit fdCloser(int f) : fd(f) {}
  fdCloser(const fdCloser&) = delete;
  fdCloser& operator=(const fdCloser&) = delete;
  ~fdCloser() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::span<const inputKind> inputKinds() { return kinds; }

namespace {

// The kinds' `field`s joined: "A, B or C", "neither A, B nor C".
std::string joined(const char* inputKind::*field, const char* last) {
  std::string text;
  for (size_t i = 0; i < std::size(kinds); i++) {
    if (i > 0) text += i + 1 == std::size(kinds) ? last : ", ";
    text += kinds[i].*field;
  }
  return text;
}

}  // namespace

std::string inputKindList() { return joined(&inputKind::name, " or "); }

std::string noKnownKind(const std::string& name) {
  return name + " is neither " + joined(&inputKind::described, " nor ") + "; a raw binary needs its address: -f " + name +
         "@ADDR or --merge=" + name + "@ADDR\n";
}

namespace {

// The first bytes of an input that cannot be read again (a pipe), up to
// `room`, read from it for its kind to be recognised: the readers take them
// as the input's start (inputSource::head), and the input is read once.
status readHead(inputSource& in, size_t room) {
  in.head.resize(room);
  size_t got = 0;
  while (got < room) {
    const ssize_t n = read(in.fd, in.head.data() + got, room - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      in.head.clear();
      return failuref("%s: cannot read it: %s\n", in.name.c_str(), reasonOf(errno).c_str());
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  in.head.resize(got);
  return done;
}

}  // namespace

const char* recognisedKind(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const fdCloser closer{fd};
  uint8_t head[64];
  ssize_t n;
  do {
    n = read(fd, head, sizeof head);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return nullptr;
  for (const inputKind& k : kinds) {
    if (k.recognise({head, static_cast<size_t>(n)})) return k.name;
  }
  return "";
}

namespace {

// Reads the input `name`, open as `fd`, as `how` says.
status readOpened(const std::string& name, int fd, readAs how, uint64_t rawAt, image& img, readContext& ctx) {
  inputSource in;
  in.name = name;
  in.index = static_cast<uint32_t>(img.inputs.size());
  in.fd = fd;
  struct stat st {};
  in.regular = fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode);
  in.size = in.regular ? static_cast<uint64_t>(st.st_size) : 0;
  img.inputs.push_back({name, "binary"});

  if (how == readAs::raw) return readRaw(in, img, rawAt);
  if (how == readAs::elf) {
    img.inputs.back().kind = "ELF";
    return readElf(in, img, ctx.log, ctx.sections, ctx.symbols);
  }
  uint8_t head[64];
  ssize_t n;
  do {
    n = pread(in.fd, head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  std::span<const uint8_t> start(head, n > 0 ? static_cast<size_t>(n) : 0);
  if (n < 0 && errno == ESPIPE) {
    if (status s = readHead(in, sizeof head); !s) return s;
    start = in.head;
  }
  for (const inputKind& k : kinds) {
    if (k.recognise(start)) {
      img.inputs.back().kind = k.name;
      return k.read(in, img, ctx);
    }
  }
  return Error{noKnownKind(name), ErrorKind::malformed, name};
}

}  // namespace

status readInput(const std::string& name, readAs how, uint64_t rawAt, image& img, readContext& ctx) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // The fixed outputs' loader line is the one they always had; the memory
    // images say why.
    const int err = errno;
    if (how == readAs::elf) return Error{strf("unable to open %s\n", name.c_str()), ErrorKind::unreadable, name, err};
    return Error{strf("unable to open %s: %s\n", name.c_str(), reasonOf(err).c_str()), ErrorKind::unreadable, name, err};
  }
  const fdCloser input{fd};
  return readOpened(name, fd, how, rawAt, img, ctx);
}

status readInputBytes(const std::string& name, std::span<const uint8_t> bytes, readAs how, image& img,
                      readContext& ctx) {
  // The readers take a file: the bytes become one, in memory.
  const int fd = memfd_create("romwright-input", MFD_CLOEXEC);
  if (fd < 0) return errorf(ErrorKind::unreadable, name, "%s: cannot read it: %s\n", name.c_str(), reasonOf(errno).c_str());
  const fdCloser input{fd};
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return errorf(ErrorKind::unreadable, name, "%s: cannot read it: %s\n", name.c_str(), reasonOf(errno).c_str());
    at += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) {
    return errorf(ErrorKind::unreadable, name, "%s: cannot read it: %s\n", name.c_str(), reasonOf(errno).c_str());
  }
  return readOpened(name, fd, how, 0, img, ctx);
}

}  // namespace romwright
