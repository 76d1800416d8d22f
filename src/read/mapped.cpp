// The list of mapped inputs. Lock-free, so that a signal handler can read it
// while the run adds to it.
#include "read/mapped.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace romwright {

namespace {

struct mappedInput {
  std::atomic<const char*> begin{nullptr};
  std::atomic<bool> claimed{false};
  size_t len = 0;
  char* msg = nullptr;
  size_t msgLen = 0;
};
mappedInput mappedInputs[64];

}  // namespace

void listMappedInput(const void* addr, size_t len, const char* name) {
  const std::string msg = std::string("input file ") + name + " changed while it was read\n";
  for (mappedInput& m : mappedInputs) {
    bool free = false;
    if (!m.claimed.compare_exchange_strong(free, true)) continue;
    m.msg = strdup(msg.c_str());
    if (m.msg == nullptr) {
      m.claimed.store(false);
      return;
    }
    m.msgLen = msg.size();
    m.len = len;
    m.begin.store(static_cast<const char*>(addr));
    return;
  }
}

void unlistMappedInput(const void* addr) {
  for (mappedInput& m : mappedInputs) {
    if (m.begin.load() != addr) continue;
    m.begin.store(nullptr);
    free(m.msg);
    m.msg = nullptr;
    m.claimed.store(false);
  }
}

const char* mappedInputMessage(const void* at, size_t& len) {
  const auto* p = static_cast<const char*>(at);
  for (const mappedInput& m : mappedInputs) {
    const char* begin = m.begin.load();
    if (begin != nullptr && p >= begin && static_cast<size_t>(p - begin) < m.len) {
      len = m.msgLen;
      return m.msg;
    }
  }
  return nullptr;
}

}  // namespace romwright
