// Options as pairs, and the memory they pick.
#include "api/select.hpp"

#include <cstring>

#include "core/numbers.hpp"

namespace romwright {

namespace {

// A bank or lane number.
status readIndex(const std::string& name, const std::string& value, uint32_t& out) {
  uint64_t v = 0;
  const numberRead read = readNumber(value.c_str(), false, v);
  if (read == numberRead::tooLarge) return errorf(ErrorKind::bad_argument, name, "%s=%s: too large\n", name.c_str(), value.c_str());
  if (read != numberRead::ok || v > UINT32_MAX) {
    return errorf(ErrorKind::bad_argument, name, "%s=%s: not a number\n", name.c_str(), value.c_str());
  }
  out = static_cast<uint32_t>(v);
  return done;
}

}  // namespace

status jobFromPairs(const std::vector<std::pair<std::string, std::string>>& pairs, job& j, selection& pick) {
  for (const auto& [name, value] : pairs) {
    if (name == "select") {
      pick.memory = value;
    } else if (name == "bank" || name == "lane") {
      if (status s = readIndex(name, value, name == "bank" ? pick.bank : pick.lane); !s) return s;
    } else if (status s = setOption(j, name, value); !s) {
      return s;
    }
  }
  if (j.mem.output == nullptr) j.mem.output = j.keep("lane%d-bank%b");
  return done;
}

Result<placedMemory*> pickMemory(placedJob& placed, const selection& pick) {
  std::vector<placedMemory>& memories = placed.run.memories;
  placedMemory* m = nullptr;
  if (!pick.memory.empty()) {
    for (placedMemory& candidate : memories) {
      if (candidate.o->label != nullptr && pick.memory == candidate.o->label) m = &candidate;
    }
    if (m == nullptr) {
      return errorf(ErrorKind::bad_argument, "select", "select=%s: no --memory of that name\n", pick.memory.c_str());
    }
  } else if (memories.size() > 1) {
    return errorf(ErrorKind::bad_argument, "select", "%zu memories: pick one with select=NAME\n", memories.size());
  } else {
    m = &memories.front();
  }
  if (pick.bank >= m->o->banks) {
    return errorf(ErrorKind::bad_argument, "bank", "bank=%u: the memory has %u bank%s\n", pick.bank, m->o->banks,
                  m->o->banks == 1 ? "" : "s");
  }
  if (pick.lane >= m->o->lanes) {
    return errorf(ErrorKind::bad_argument, "lane", "lane=%u: the memory has %u lane%s\n", pick.lane, m->o->lanes,
                  m->o->lanes == 1 ? "" : "s");
  }
  return m;
}

}  // namespace romwright
