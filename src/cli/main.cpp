// romwright: turns the program of a firmware executable into ROM and memory
// images. The command line is a thin layer over the library: the process's
// guards, the arguments into a job, the job run, and its failure printed
// once with the exit status.
#include <cstdio>
#include <deque>
#include <new>
#include <string>
#include <vector>

#include "cli/guards.hpp"
#include "cli/job.hpp"
#include "cli/options.hpp"
#include "cli/response.hpp"
#include "core/error.hpp"
#include "fields/digest.hpp"

using namespace romwright;
using namespace romwright::cli;

namespace {

// Writes `text` to standard output and ends the run as a careful close says.
int print(const std::string& text) {
  fputs(text.c_str(), stdout);
  if (status s = closeStandardOutput(); !s) fail(s.error().message.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  guardStandardStreams();
  guardSignals();
  // With no argument vector (the kernel then hands over an empty argv[0])
  // the usage text still names the program.
  const std::string program = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : "romwright";

  status s = done;
  try {
    // Response files: "@FILE" stands for the arguments in FILE.
    const std::vector<std::string> given(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    std::deque<std::string> words;
    if (status read = expandArguments(given, words); !read) {
      fputs(read.error().message.c_str(), stderr);
      return 1;
    }
    job j;
    const std::vector<std::string> args(words.begin(), words.end());
    const parseOutcome parsed = parseArguments(args, program, j);
    fputs(parsed.diagnostics.c_str(), stderr);
    switch (parsed.how) {
      case parseOutcome::end::usage:
        fputs(usageText(program).c_str(), stderr);
        return parsed.usageStatus;
      case parseOutcome::end::help:
        return print(helpText(program));
      case parseOutcome::end::version:
        return print("romwright " ROMWRIGHT_VERSION "\n");
      case parseOutcome::end::run:
        break;
    }
#ifdef ROMWRIGHT_CRYPTO_STATIC
    // Only fields use libcrypto; a run without them does not start it.
    if (!j.mem.insert.empty()) keepCryptoConfigOut();
#endif
    s = runJob(j, {stdout, [](const std::string& lines) { fputs(lines.c_str(), stderr); }});
  } catch (const std::bad_alloc&) {
    s = Error{"out of memory\n"};
  }
  // Every write to standard output is checked once, at the end.
  if (s) s = closeStandardOutput();
  // A failure is printed here, once; the temporaries it left go with it.
  if (!s) fail(s.error().message.c_str());
  return 0;
}
