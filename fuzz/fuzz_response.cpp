// Coverage-guided fuzzing of the reader of response files. Whatever bytes
// come in, and however they are cut into the blocks a read returns, the
// reader must give the same arguments or the same one-line refusal; no
// argument may hold a line end or a NUL, start with a blank or #, end with
// a blank, or be longer than a line may be.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/response.hpp"

using namespace romwright;

namespace {

struct outcome {
  bool ok;
  std::string message;
  std::vector<std::string> args;
};

// Reads `text` fed in blocks of `block` bytes (all at once for 0).
outcome readIn(std::string_view text, size_t block) {
  responseText r("in.rsp");
  status s = done;
  for (size_t at = 0; s && at < text.size();) {
    const size_t n = block == 0 ? text.size() - at : std::min(block, text.size() - at);
    s = r.feed(text.substr(at, n));
    at += n;
  }
  if (s) s = r.finish();
  return {static_cast<bool>(s), s ? std::string() : s.error().message, r.arguments()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the size of the blocks.
  const size_t block = data[0] % 17 + 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const outcome whole = readIn(text, 0);
  const outcome cut = readIn(text, block);
  if (whole.ok != cut.ok || whole.message != cut.message) abort();
  if (whole.ok && whole.args != cut.args) abort();
  if (!whole.ok) {
    const std::string& m = whole.message;
    if (m.empty() || m.back() != '\n' || m.find('\n') != m.size() - 1 || !m.starts_with("in.rsp:")) abort();
    return 0;
  }
  for (const std::string& a : whole.args) {
    if (a.empty() || a.size() > responseText::longestLine) abort();
    if (a.find('\n') != std::string::npos || a.find('\0') != std::string::npos) abort();
    if (a[0] == ' ' || a[0] == '\t' || a[0] == '#') abort();
    if (a.back() == ' ' || a.back() == '\t' || a.back() == '\r') abort();
  }
  return 0;
}
