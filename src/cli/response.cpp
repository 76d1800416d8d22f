// Response files.
#include "cli/response.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace romwright {

namespace {

// The most bytes the response files of one command line hold together: far
// more than any list of options, and a bound on a file that never ends
// (@/dev/zero) or on files that name each other many times over.
constexpr size_t mostBytes = size_t{16} << 20;

status expand(std::span<const std::string> args, std::deque<std::string>& out, int depth, size_t& budget);

// Reads the response file `path` into `text`, block by block.
status readResponse(const char* path, responseText& text, size_t& budget) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failuref("unable to read response file %s\n", path);
  status s = done;
  char block[65536];
  for (;;) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      s = failuref("unable to read response file %s\n", path);
      break;
    }
    if (n == 0) {
      s = text.finish();
      break;
    }
    if (static_cast<size_t>(n) > budget) {
      s = failuref("%s: the response files hold more than %zu MiB\n", path, mostBytes >> 20);
      break;
    }
    budget -= static_cast<size_t>(n);
    if (s = text.feed({block, static_cast<size_t>(n)}); !s) break;
  }
  close(fd);
  return s;
}

status expand(std::span<const std::string> args, std::deque<std::string>& out, int depth, size_t& budget) {
  for (const std::string& word : args) {
    const char* arg = word.c_str();
    if (arg[0] != '@' || arg[1] == '\0') {
      out.push_back(word);
      continue;
    }
    if (depth == 16) return failuref("%s: response files nest deeper than 16\n", arg);
    responseText text(arg + 1);
    if (status s = readResponse(arg + 1, text, budget); !s) return s;
    if (status s = expand(text.arguments(), out, depth + 1, budget); !s) return s;
  }
  return done;
}

}  // namespace

Error responseText::lineError(const char* what) const {
  return Error{strf("%s:%llu: %s\n", name_.c_str(), number_, what), ErrorKind::bad_argument, name_};
}

void responseText::take() {
  std::string& l = line_;
  while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) l.pop_back();
  const size_t first = l.find_first_not_of(" \t");
  if (first != std::string::npos && l[first] != '#') args_.push_back(l.substr(first));
  l.clear();
  number_++;
}

status responseText::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t nl = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, nl);
    if (piece.find('\0') != std::string_view::npos) return lineError("a NUL byte, which no argument can hold");
    if (piece.size() > longestLine - std::min(line_.size(), longestLine)) {
      return lineError(strf("a line longer than %zu characters", longestLine).c_str());
    }
    line_.append(piece);
    if (nl == std::string_view::npos) break;
    take();
    bytes.remove_prefix(nl + 1);
  }
  return done;
}

status responseText::finish() {
  if (!line_.empty()) take();
  return done;
}

status expandArguments(std::span<const std::string> args, std::deque<std::string>& out, int depth) {
  size_t budget = mostBytes;
  return expand(args, out, depth, budget);
}

}  // namespace romwright
