// The library's C face, over the C++ one.
#include "romwright/romwright.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "api/internal.hpp"
#include "romwright/romwright.hpp"

namespace {

using romwright::Error;
using romwright::ErrorKind;
using romwright::Options;
using romwright::Result;

// Copies `message`, its last newline left off, into `err`.
int refuse(const std::string& message, char* err, size_t errlen) {
  if (err != nullptr && errlen > 0) {
    size_t n = message.size();
    if (n > 0 && message[n - 1] == '\n') n--;
    n = n < errlen - 1 ? n : errlen - 1;
    memcpy(err, message.data(), n);
    err[n] = '\0';
  }
  return -1;
}

// The words of `text`: separated by blanks, '...' and "..." keeping blanks.
Result<std::vector<std::string>> splitWords(const char* text) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (const char* p = text; *p != '\0'; p++) {
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') {
      if (inWord) words.push_back(word), word.clear(), inWord = false;
      continue;
    }
    inWord = true;
    if (*p == '\'' || *p == '"') {
      const char quote = *p;
      const char* end = strchr(p + 1, quote);
      if (end == nullptr) return Error{std::string("options: a ") + quote + " without its end\n", ErrorKind::bad_argument, "options"};
      word.append(p + 1, static_cast<size_t>(end - p - 1));
      p = end;
      continue;
    }
    word.push_back(*p);
  }
  if (inWord) words.push_back(word);
  return words;
}

// The options of a call: "--NAME=VALUE" or "--NAME" for each word.
Result<Options> optionsOf(const char* input, const char* text) {
  Options o;
  if (input == nullptr) return Error{"no input: give the path of a firmware file\n", ErrorKind::bad_argument, "input"};
  o.set("input", input);
  Result<std::vector<std::string>> words = splitWords(text != nullptr ? text : "");
  if (!words) return words.error();
  for (const std::string& w : *words) {
    if (w.size() < 3 || w[0] != '-' || w[1] != '-') {
      return Error{"options: " + w + ": not a long option (--NAME=VALUE)\n", ErrorKind::bad_argument, "options"};
    }
    const size_t eq = w.find('=');
    o.set(w.substr(2, eq == std::string::npos ? std::string::npos : eq - 2),
          eq == std::string::npos ? std::string() : w.substr(eq + 1));
  }
  return o;
}

}  // namespace

extern "C" int rw_words(const char* input, const char* options, rw_word_fn fn, void* ctx, char* err, size_t errlen) {
  try {
    Result<Options> o = optionsOf(input, options);
    if (!o) return refuse(o.error().message, err, errlen);
    std::vector<uint8_t> word;
    Result<void> r = romwright::eachWord(*o, {}, [&](uint64_t index, const uint8_t* value, size_t bytes) {
      // Least significant byte first, as the caller takes it.
      word.assign(value, value + bytes);
      for (size_t i = 0; i < bytes / 2; i++) std::swap(word[i], word[bytes - 1 - i]);
      if (fn != nullptr) fn(ctx, index, word.data(), bytes);
    });
    if (!r) return refuse(r.error().message, err, errlen);
    return 0;
  } catch (const std::bad_alloc&) {
    return refuse("out of memory", err, errlen);
  }
}

extern "C" int rw_render(const char* input, const char* options, uint8_t** data, size_t* size, char* err,
                         size_t errlen) {
  try {
    if (data == nullptr || size == nullptr) return refuse("rw_render: no place for the bytes", err, errlen);
    *data = nullptr;
    *size = 0;
    Result<Options> o = optionsOf(input, options);
    if (!o) return refuse(o.error().message, err, errlen);
    Result<std::vector<uint8_t>> bytes = romwright::render(*o);
    if (!bytes) return refuse(bytes.error().message, err, errlen);
    // At least one byte, so that an empty image is no null.
    auto* out = static_cast<uint8_t*>(malloc(bytes->empty() ? 1 : bytes->size()));
    if (out == nullptr) return refuse("out of memory", err, errlen);
    if (!bytes->empty()) memcpy(out, bytes->data(), bytes->size());
    *data = out;
    *size = bytes->size();
    return 0;
  } catch (const std::bad_alloc&) {
    return refuse("out of memory", err, errlen);
  }
}

extern "C" void rw_free(uint8_t* data) { free(data); }
