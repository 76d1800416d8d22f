// Writes a memory's placeholder words as `$readmemh` text on standard
// output: the seed files the iCE40 fixtures are built with
// (testdata/ice40/rebuild.sh).
//
//   romwright_seed NAME WIDTH DEPTH SEED > NAME.seed
#include <cstdio>
#include <cstdlib>
#include <string>

#include "patch/seed.hpp"

using namespace romwright;

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fputs("usage: romwright_seed NAME WIDTH DEPTH SEED\n", stderr);
    return 2;
  }
  const auto words = seedWords(argv[1], static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0)),
                               std::strtoull(argv[3], nullptr, 0), std::strtoull(argv[4], nullptr, 0));
  if (!words) {
    std::fputs(words.error().message.c_str(), stderr);
    return 1;
  }
  const std::string text = seedText(*words, static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0)));
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
