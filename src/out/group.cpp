// The files of a run as a group.
#include "out/group.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "formats/registry.hpp"

namespace romwright {

std::string filePath(const char* pattern, uint32_t lane, uint32_t lanes, uint32_t bank, uint32_t banks) {
  std::string path = pattern;
  for (const auto& [mark, n, count] : {std::tuple{"%d", lane, lanes}, std::tuple{"%b", bank, banks}}) {
    if (count == 1) continue;
    for (size_t at; (at = path.find(mark)) != std::string::npos;) path.replace(at, 2, std::to_string(n));
  }
  return path;
}

outFile fileFor(const imageFile& f) {
  return {f.path.c_str(), f.openMsg.c_str(), f.writeMsg.c_str(), true};
}

imageFile describe(std::string path) {
  return {path, "Unable to open image file " + path + "\n", "Unable to write image file " + path + "\n"};
}

namespace {

// Which file a name stands for: the file it names when there is one (links
// followed), otherwise the real directory it would be created in and its
// last component.
struct fileIdentity {
  bool exists;
  dev_t dev;
  ino_t ino;
  bool device;  // a character device: a terminal, /dev/null
  std::string where;
};

fileIdentity identify(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) return {true, st.st_dev, st.st_ino, S_ISCHR(st.st_mode), {}};
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
  char* real = realpath(dir.c_str(), nullptr);
  fileIdentity id{false, 0, 0, false, (real != nullptr ? real : dir) + "/" + last};
  free(real);
  return id;
}

// Whether writing both would lose one: the same regular file, FIFO or
// block device, or the same name yet to be created. A character device is
// written in place, in order, and nothing of it is replaced.
bool sameFile(const fileIdentity& a, const fileIdentity& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return a.where == b.where;
  return a.dev == b.dev && a.ino == b.ino && !a.device;
}

struct namedOutput {
  std::string option;  // the option that asks for it, as given
  std::string path;    // the file it writes
  std::string as;      // how a message names it as the other of two
  fileIdentity id;
};

}  // namespace

status checkDistinctOutputs(std::span<const memOptions> mems, const runOutputs& run, const char* map,
                            const char* digestOut) {
  std::vector<namedOutput> outs;
  auto add = [&](std::string option, std::string path, std::string as) {
    fileIdentity id = identify(path);
    outs.push_back({std::move(option), std::move(path), std::move(as), std::move(id)});
  };
  // In the order the run writes them.
  if (run.rom) {
    add("-r", "rom.h", "rom.h by -r");
    add("-r", "rom.c", "rom.c by -r");
  }
  if (run.ROM) add("-R", "tolvek.rom", "tolvek.rom by -R");
  for (const memOptions& o : mems) {
    for (uint32_t bank = 0; bank < o.banks; bank++) {
      for (uint32_t lane = 0; lane < o.lanes; lane++) {
        for (const char* pattern : {o.output, o.header}) {
          if (pattern == nullptr) continue;
          std::string option = std::string(pattern == o.output ? "--output=" : "--header=") + pattern;
          if (o.label != nullptr) option = std::string("--memory=") + o.label + ": " + option.substr(2);
          add(option, filePath(pattern, lane, o.lanes, bank, o.banks), option);
        }
      }
    }
  }
  const bool mapOnStdout = map != nullptr && std::string_view(map) == "-";
  if (map != nullptr && !mapOnStdout) add(std::string("--map=") + map, map, std::string("--map=") + map);
  if (digestOut != nullptr) {
    add(std::string("--digest-out=") + digestOut, digestOut, std::string("--digest-out=") + digestOut);
  }

  if (run.design != nullptr && run.patched != nullptr) {
    // The design keeps its placeholders for the next patch.
    const std::string option = std::string("--output=") + run.patched;
    if (sameFile(identify(run.design), identify(run.patched))) {
      return failuref("%s: %s is the design --patch reads: write the patched design to another file, so that "
                      "the design keeps its placeholders for the next patch\n",
                      option.c_str(), run.patched);
    }
    add(option, run.patched, "the patched design by --patch");
  }

  // A name no run may write (a planted link, a FIFO of another user) is
  // refused for what it is before it is compared with the others: two
  // planted links to one file are links, not one output written twice.
  for (const namedOutput& out : outs) {
    if (status s = checkOutputName(out.path.c_str()); !s) return s;
  }
  for (size_t j = 0; j < outs.size(); j++) {
    for (size_t i = 0; i < j; i++) {
      if (sameFile(outs[i].id, outs[j].id)) {
        return failuref("%s: %s is also written as %s\n", outs[i].option.c_str(), outs[i].path.c_str(),
              outs[j].as.c_str());
      }
    }
  }

  // Standard output, when the run writes to it, is one more output.
  std::string image;
  for (const memOptions& o : mems) {
    if (o.output == nullptr && !o.patched && image.empty()) image = std::string("--format=") + o.format->name;
  }
  if (run.design != nullptr && run.patched == nullptr && image.empty()) {
    image = std::string("--patch=") + run.design;
  }
  const char* writer = run.listing != nullptr ? run.listing
                       : !image.empty()        ? image.c_str()
                       : mapOnStdout           ? "--map=-"
                                               : run.reports;
  struct stat st {};
  if (writer == nullptr || fstat(STDOUT_FILENO, &st) != 0) return done;
  const fileIdentity standardOutput{true, st.st_dev, st.st_ino, S_ISCHR(st.st_mode), {}};
  for (const namedOutput& out : outs) {
    if (sameFile(out.id, standardOutput)) {
      return failuref("%s: %s is standard output, which %s writes\n", out.option.c_str(), out.path.c_str(),
            writer);
    }
  }
  return done;
}

}  // namespace romwright
