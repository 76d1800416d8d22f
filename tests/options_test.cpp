// The command line's scanner against the C library's getopt_long: for every
// case, the same options in the same order with the same values, the same
// messages for what it refuses, and the same words left over. The scanner
// exists so that the library can parse a command line in any thread; the C
// library's getopt is the behaviour it must keep.
#include <getopt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.hpp"

using namespace romwright;

namespace {

// What a scan found, written the same way for both.
std::vector<std::string> describe(const std::vector<parsedItem>& items) {
  std::vector<std::string> out, words;
  for (const parsedItem& i : items) {
    if (i.positional) {
      words.push_back("word " + i.value);
    } else if (i.row == nullptr) {
      out.push_back("refused " + i.message);
    } else {
      const std::string name = i.row->name != nullptr ? i.row->name : std::string(1, i.row->letter);
      out.push_back(name + (i.row->value != nullptr ? "=" + i.value : ""));
    }
  }
  out.insert(out.end(), words.begin(), words.end());
  return out;
}

// The same through getopt_long, its messages caught from standard error.
std::vector<std::string> byGetopt(std::vector<std::string> args) {
  std::vector<option> longs;
  std::vector<const optionRow*> rows;
  for (const optionRow& o : options()) {
    if (o.name == nullptr) continue;
    longs.push_back({o.name, o.value != nullptr ? required_argument : no_argument, nullptr,
                     static_cast<int>(256 + rows.size())});
    rows.push_back(&o);
  }
  longs.push_back({nullptr, 0, nullptr, 0});
  args.insert(args.begin(), "romwright");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  fflush(stderr);
  FILE* caught = tmpfile();
  const int saved = dup(2);
  dup2(fileno(caught), 2);
  std::vector<std::string> out;
  auto message = [&] {
    fflush(stderr);
    std::string text;
    rewind(caught);
    for (int c; (c = fgetc(caught)) != EOF;) text += static_cast<char>(c);
    if (ftruncate(fileno(caught), 0) != 0) text += "(truncate failed)";
    rewind(caught);
    return text;
  };
  optind = 0;  // a full new start
  const int argc = static_cast<int>(argv.size() - 1);
  for (int c; (c = getopt_long(argc, argv.data(), "hHf:ardmM:DRL:letv", longs.data(), nullptr)) != -1;) {
    if (c == '?') {
      out.push_back("refused " + message());
    } else if (c >= 256) {
      const optionRow* o = rows[static_cast<size_t>(c - 256)];
      out.push_back(std::string(o->name) + (o->value != nullptr ? std::string("=") + optarg : ""));
    } else {
      const bool takesValue = c == 'f' || c == 'M' || c == 'L';
      std::string item(1, static_cast<char>(c));
      if (takesValue) item.append("=").append(optarg);
      out.push_back(item);
    }
  }
  for (int i = optind; i < argc; i++) out.push_back(std::string("word ") + argv[static_cast<size_t>(i)]);
  dup2(saved, 2);
  close(saved);
  fclose(caught);
  return out;
}

}  // namespace

TEST(CommandLineScan, MatchesGetoptLong) {
  const std::vector<std::vector<std::string>> cases = {
      {"-f", "in.elf", "-H"},
      {"-fin.elf", "-Hrl"},
      {"-Hfin.elf", "-M", "200", "-M0x40"},
      {"-Hf"},
      {"-f"},
      {"-x", "-:", "-;", "-?", "-d", "-amD"},
      {"-f", "-H"},
      {"in.elf", "-H", "more", "-f", "x", "last"},
      {"-", "-H", "--", "-r", "--format=vmem"},
      {"--format=vmem", "--format", "bin", "--form=coe", "--form", "mif"},
      {"--f", "--re=1", "--s", "--", "-H"},
      {"--reg=0:4K", "--rebas=0", "--record=8", "--remove=.x", "--sec=.text"},
      {"--help=x", "--quiet=1", "--verb", "--vers=2"},
      {"--output"},
      {"--memory"},
      {"--unknown", "--unknown=3", "--=x", "---x", "--"},
      {"--format=", "--output=", "-L", ""},
      {"-v-", "-vvf", "-e", "--sparse", "--sp", "--srec-s3", "--srec"},
      {"--insert", "crc32@0x100", "--in=x", "--i=y", "--merge=a@0x0", "--mer", "b"},
      {"--a", "--al", "--add=run", "--b=big", "--c", "--w=8", "--d=4", "--fi=0xff", "--l=2", "--n=x", "--h=x"},
      {"--radix=2", "--u=rp2040", "--o=later", "--q", "--ve", "--help"},
  };
  for (const std::vector<std::string>& c : cases) {
    std::string shown;
    for (const std::string& a : c) shown += " [" + a + "]";
    EXPECT_EQ(describe(scanArguments(c, "romwright")), byGetopt(c)) << shown;
  }
}

// -h, --help and --version end the parse where they stand: what comes after
// them is not looked at, and what was refused before them is reported.
TEST(CommandLineScan, StopsAtHelpAndVersion) {
  struct Case {
    std::vector<std::string> args;
    parseOutcome::end how;
    int status;
    std::string diagnostics;
  };
  const std::vector<Case> cases = {
      {{"-x", "-h", "-y"}, parseOutcome::end::usage, 0,
       "romwright: invalid option -- 'x'\nunknown option ?\n"},
      {{"-d", "--help", "-f"}, parseOutcome::end::help, 0, "unknown option d\n"},
      {{"--version", "--bogus"}, parseOutcome::end::version, 0, ""},
      {{"-H", "in.elf"}, parseOutcome::end::usage, 1, ""},
      {{"-f", "in.elf", "-q"}, parseOutcome::end::usage, 1, "romwright: invalid option -- 'q'\nunknown option ?\n"},
      {{"-f", "in.elf", "-H"}, parseOutcome::end::run, 0, ""},
  };
  for (const Case& c : cases) {
    job j;
    const parseOutcome p = parseArguments(c.args, "romwright", j);
    EXPECT_EQ(p.how, c.how) << c.args[0];
    if (p.how == parseOutcome::end::usage) {
      EXPECT_EQ(p.usageStatus, c.status) << c.args[0];
    }
    EXPECT_EQ(p.diagnostics, c.diagnostics) << c.args[0];
  }
}
