// The table of options and the parser of a command line.
#include "cli/options.hpp"

#include <algorithm>
#include <cstring>

#include "core/numbers.hpp"
#include "formats/registry.hpp"
#include "read/registry.hpp"

namespace romwright {

const char* job::keep(std::string_view s) { return text.emplace_back(s).c_str(); }

namespace {

// The short options' actions: counters count, -M and -L read hex as strtoul
// does, -f names the input (a later one replacing an earlier one).
void setInput(job& j, const char* v) { j.input = v; }
void countRom(job& j, const char*) { j.romOut++; }
void countROM(job& j, const char*) { j.ROMOut++; }
void countHex(job& j, const char*) { j.hexOut++; }
void setHexMax(job& j, const char* v) { j.hexMax = parseHex32(v); }
void setROMLen(job& j, const char* v) { j.ROMLen = parseHex32(v); }
void countLen(job& j, const char*) { j.dumpLen++; }
void countDest(job& j, const char*) { j.dumpDest++; }
void countEntry(job& j, const char*) { j.dumpEntry++; }
void countVerbose(job& j, const char*) { j.verbose++; }

constexpr optionRow table[] = {
    {'f', nullptr, "FILE",
     "the input: for the fixed outputs a 32-bit ELF\n"
     "executable; for memory images any of %k\n"
     "(ELF of either class), or a raw binary as FILE@ADDR;\n"
     "a memory image whose inputs are all --merge needs none",
     "The fixed outputs: the text image of a 32-bit ELF executable, segments\n"
     "placed at their run addresses",
     false, false, nullptr, nullptr, nullptr, setInput},
    {'H', nullptr, nullptr, "hex listing of 32-bit words on standard output", nullptr, false, false, nullptr, nullptr,
     nullptr, countHex},
    {'M', nullptr, "NN",
     "extent of the listing, in hex: an address above the\n"
     "text address, otherwise a number of words",
     nullptr, false, false, nullptr, nullptr, nullptr, setHexMax},
    {'v', nullptr, nullptr, "with -H: show the extent before and after that", nullptr, false, false, nullptr, nullptr,
     nullptr, countVerbose},
    {'r', nullptr, nullptr, "write rom.h and rom.c", nullptr, false, false, nullptr, nullptr, nullptr, countRom},
    {'R', nullptr, nullptr, "write tolvek.rom", nullptr, false, false, nullptr, nullptr, nullptr, countROM},
    {'L', nullptr, "NN", "length of tolvek.rom, in hex [0x100000]", nullptr, false, false, nullptr, nullptr, nullptr,
     setROMLen},
    {'l', nullptr, nullptr, "print the text+data length", nullptr, false, false, nullptr, nullptr, nullptr, countLen},
    {'t', nullptr, nullptr, "print the text address", nullptr, false, false, nullptr, nullptr, nullptr, countDest},
    {'e', nullptr, nullptr, "print the entry address", nullptr, false, false, nullptr, nullptr, nullptr, countEntry},
    {'h', nullptr, nullptr, "print the short usage text", nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    {0, "format", "FMT",
     "write a memory image: %s",
     "Memory images, for FPGA and boot flows", false, true, &memArgs::format, nullptr, nullptr, nullptr},
    {0, "output", "FILE",
     "where it goes; - is standard output [-]; with banks, %b stands\n"
     "for the bank number; with --patch, the patched design",
     nullptr, true, true, &memArgs::output, nullptr, nullptr, nullptr},
    {0, "memory", "NAME:BASE:SIZE[,KEY=VALUE...]",
     "one memory of the system, its keys any of format, output, width,\n"
     "byte-order, depth, fill, lanes, banks, name, header, addresses\n"
     "and the other options of one memory; repeatable: the options\n"
     "above are every memory's defaults",
     nullptr, false, false, nullptr, &memArgs::memory, nullptr, nullptr},
    {0, "insert", "KIND@WHERE[,KEY=VALUE...]",
     "store at WHERE (an address, or sym:NAME[+N]) a CRC, sum, length,\n"
     "digest (sha256, ...) or signature (sign:ed25519|ecdsa-p256)\n"
     "computed over the memory, or a constant (u8|u16|u32|u64:VALUE,\n"
     "bytes:HEX, string:TEXT, file:PATH); keys over=FROM..TO[+...]\n"
     "(TO included, or end; default the placed bytes of the memory\n"
     "holding WHERE), order=little|big, self=skip|zero, unit=8|16|32,\n"
     "nul=yes|no, key=FILE, der=yes|no, of=WHERE; repeatable, in order",
     nullptr, true, false, nullptr, &memArgs::insert, nullptr, nullptr},
    {0, "digest-out", "FILE",
     "also write the bytes of the run's one digest field\n"
     "(--insert=sha256@...) to FILE, to be signed elsewhere",
     nullptr, true, false, &memArgs::digestOut, nullptr, nullptr, nullptr},
    {0, "map", "FILE",
     "also write a map of every memory to FILE (- for standard\n"
     "output): each range with the input, segment, section,\n"
     "field or fill behind it, and the symbols in it",
     nullptr, true, false, &memArgs::map, nullptr, nullptr, nullptr},
    {0, "map-format", "text|json",
     "the map as text to read or as JSON for scripts [text]",
     nullptr, true, false, &memArgs::mapFormat, nullptr, nullptr, nullptr},
    {0, "verify", "DUMP[@ADDR]",
     "write nothing: compare the memories with DUMP\n"
     "(%k, or a raw dump from ADDR)\n"
     "and list the ranges that differ; exit status 0 when\n"
     "equal, 1 when they differ",
     nullptr, true, false, &memArgs::verify, nullptr, nullptr, nullptr},
    {0, "verify-ignore", "FROM..TO",
     "with --verify: leave the bytes FROM..TO (TO included) out\n"
     "of the comparison; repeatable",
     nullptr, true, false, nullptr, &memArgs::verifyIgnore, nullptr, nullptr},
    {0, "allow-unplaced", nullptr,
     "with --memory: leave out bytes that land in no memory",
     nullptr, true, false, nullptr, nullptr, &memArgs::allowUnplaced, nullptr},
    {0, "merge", "FILE[@ADDR]",
     "also place the bytes of FILE (%k), or of\n"
     "the raw binary FILE from ADDR; repeatable, placed in order",
     nullptr, true, false, nullptr, &memArgs::merge, nullptr, nullptr},
    {0, "overlap", "refuse|later",
     "two inputs that place bytes at one address: refused, or the later\n"
     "input wins [refuse]",
     nullptr, true, false, &memArgs::overlap, nullptr, nullptr, nullptr},
    {0, "section", "NAME",
     "place only this allocated section of ELF inputs (* and ? match);\n"
     "repeatable",
     nullptr, true, false, nullptr, &memArgs::section, nullptr, nullptr},
    {0, "remove-section", "NAME",
     "leave this section of ELF inputs out; repeatable",
     nullptr, true, false, nullptr, &memArgs::removeSection, nullptr, nullptr},
    {0, "addresses", "load|run",
     "place segments at their load address (p_paddr) or\n"
     "their run address (p_vaddr, with the zero tail) [load]",
     nullptr, true, true, &memArgs::addresses, nullptr, nullptr, nullptr},
    {0, "region", "BASE:SIZE",
     "the memory to fill [the span of the placed bytes]",
     nullptr, true, false, &memArgs::region, nullptr, nullptr, nullptr},
    {0, "crop", nullptr,
     "leave out the bytes of segments outside --region",
     nullptr, true, false, nullptr, nullptr, &memArgs::crop, nullptr},
    {0, "start", "ADDR|sym:NAME",
     "the start address ihex and srec write [the first\n"
     "input's that has one; none when none has one]",
     nullptr, true, false, &memArgs::start, nullptr, nullptr, nullptr},
    {0, "no-start", nullptr,
     "write no start address",
     nullptr, true, false, nullptr, nullptr, &memArgs::noStart, nullptr},
    {0, "whole-segments", nullptr,
     "place every stored byte of an ELF segment, also\n"
     "those no section holds (headers, padding)\n"
     "[only the bytes its sections hold]",
     nullptr, true, false, nullptr, nullptr, &memArgs::wholeSegments, nullptr},
    {0, "empty", nullptr,
     "a memory in which no byte lands is written, all\n"
     "fill, rather than refused",
     nullptr, true, true, nullptr, nullptr, &memArgs::empty, nullptr},
    {0, "width", "BITS",
     "word width: a multiple of 8 from 8 to 1024 [32]",
     nullptr, true, true, &memArgs::width, nullptr, nullptr, nullptr},
    {0, "byte-order", "little|big",
     "how bytes at rising addresses make up a word\n"
     "[the executable's own]",
     nullptr, true, true, &memArgs::byteOrder, nullptr, nullptr, nullptr},
    {0, "depth", "WORDS",
     "words the memory has [region size / word size]",
     nullptr, true, true, &memArgs::depth, nullptr, nullptr, nullptr},
    {0, "fill", "BYTE",
     "value of bytes no segment provides [0x00]",
     nullptr, true, true, &memArgs::fill, nullptr, nullptr, nullptr},
    {0, "lanes", "N",
     "one image per lane of width/N bits, lane 0 the least\n"
     "significant; FILE must hold %d for the lane number [1]",
     nullptr, true, true, &memArgs::lanes, nullptr, nullptr, nullptr},
    {0, "name", "NAME",
     "identifier for the formats that declare one [rom_image],\n"
     "and a placeholder's name [rom_image, or the --memory NAME]",
     nullptr, true, true, &memArgs::name, nullptr, nullptr, nullptr},
    {0, "header", "FILE",
     "with --format=c: also write the extern declarations",
     nullptr, true, true, &memArgs::header, nullptr, nullptr, nullptr},
    {0, "radix", "2|16",
     "digits of the words: 2 for vmem ($readmemb), lattice-mem\nand gowin-mi; 16 for every format [16]",
     nullptr, true, true, &memArgs::radix, nullptr, nullptr, nullptr},
    {0, "uf2-family", "ID",
     "with --format=uf2: the family ID, a number or a name\n(rp2040, rp2350-arm-s, samd21, ...) [none]",
     nullptr, true, true, &memArgs::uf2Family, nullptr, nullptr, nullptr},
    {0, "seed", "N",
     "the seed of the placeholder words that --format=ice40-seed\n"
     "writes and --patch looks for, with the memory's name, width\n"
     "and depth [0]",
     nullptr, false, true, &memArgs::seed, nullptr, nullptr, nullptr},
    {0, "patch", "DESIGN",
     "put each memory's words in place of its placeholder in the\n"
     "placed-and-routed iCE40 design DESIGN (.asc), written whole to\n"
     "--output (required; - is standard output); a --memory with a\n"
     "format of its own writes its image instead",
     nullptr, false, false, &memArgs::patch, nullptr, nullptr, nullptr},
    {0, "placeholder", "FILE",
     "with --patch: the memory's placeholder is the $readmemh FILE\n"
     "(such as icebram -g writes), not that of --seed; %d and %b\n"
     "as for --output",
     nullptr, false, true, &memArgs::placeholder, nullptr, nullptr, nullptr},
    {0, "copies", "N",
     "with --patch: the design holds the memory N times, as it holds\n"
     "a ROM read through N ports; every copy is patched [1]",
     nullptr, false, true, &memArgs::copies, nullptr, nullptr, nullptr},
    {0, "sparse", nullptr,
     "vmem, updatemem, ihex, srec, ti-txt, dfuse, uf2: only the\n"
     "words that hold placed bytes, each stretch after its address\n"
     "[ihex, srec, ti-txt and dfuse: unless --fill is given;\n"
     "uf2: unless --dense is given]",
     nullptr, true, true, nullptr, nullptr, &memArgs::sparse, nullptr},
    {0, "rebase", "ADDR",
     "write addresses from ADDR at the memory's first word:\n"
     "bytes for ihex, srec and ti-txt, words for mif and vmem",
     nullptr, true, true, &memArgs::rebase, nullptr, nullptr, nullptr},
    {0, "record-bytes", "N",
     "data bytes an ihex or srec record or a ti-txt line holds,\n"
     "1 to 255 [16]",
     nullptr, true, true, &memArgs::recordBytes, nullptr, nullptr, nullptr},
    {0, "srec-s3", nullptr,
     "always S3/S7 records [the shortest the addresses allow]",
     nullptr, true, true, nullptr, nullptr, &memArgs::srecS3, nullptr},
    {0, "dense", nullptr,
     "uf2, ihex, srec, ti-txt, dfuse: every word of the memory,\n"
     "not only the pages or bytes that hold placed bytes",
     nullptr, true, true, nullptr, nullptr, &memArgs::dense, nullptr},
    {0, "line-ending", "lf|crlf",
     "how the lines of the text formats end [lf]",
     nullptr, true, true, &memArgs::lineEnding, nullptr, nullptr, nullptr},
    {0, "srec-header", "TEXT",
     "the text of the S0 record, up to 252 bytes [the first\n"
     "40 characters of the file's name, as objcopy writes it;\n"
     "HDR on standard output]",
     nullptr, true, true, &memArgs::srecHeader, nullptr, nullptr, nullptr},
    {0, "dfu-vid", "ID",
     "with --format=dfu or dfuse: the DFU suffix's vendor ID,\n"
     "0 to 0xffff [0xffff: any]",
     nullptr, true, true, &memArgs::dfuVid, nullptr, nullptr, nullptr},
    {0, "dfu-pid", "ID",
     "the DFU suffix's product ID [0xffff: any]",
     nullptr, true, true, &memArgs::dfuPid, nullptr, nullptr, nullptr},
    {0, "dfu-bcd", "NUMBER",
     "the DFU suffix's device release number, bcdDevice\n"
     "[0xffff: any]",
     nullptr, true, true, &memArgs::dfuBcd, nullptr, nullptr, nullptr},
    {0, "quiet", nullptr,
     "no diagnostic lines for a load that succeeds",
     "", false, false, nullptr, nullptr, &memArgs::quiet, nullptr},
    {0, "verbose", nullptr,
     "the load lines in a memory-image run too",
     nullptr, false, false, nullptr, nullptr, &memArgs::verbose, nullptr},
    {0, "lock-timeout", "SECONDS",
     "how long to wait for another process: its lock on a directory\n"
     "the run writes into, or a reader of an output FIFO [30]",
     nullptr, false, false, &memArgs::lockTimeout, nullptr, nullptr, nullptr},
    {0, "help", nullptr,
     "print this help",
     nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    {0, "version", nullptr,
     "print the version",
     nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    // Letters the parser takes, as the usage text lists them, that the run
    // has no action for: each is refused as an unknown option.
    {'d', nullptr, nullptr, nullptr, nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    {'a', nullptr, nullptr, nullptr, nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    {'m', nullptr, nullptr, nullptr, nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
    {'D', nullptr, nullptr, nullptr, nullptr, false, false, nullptr, nullptr, nullptr, nullptr},
};

bool named(const optionRow& o, std::string_view name) { return o.name != nullptr && name == o.name; }

// Puts `value` where the option's value goes.
void apply(const optionRow& o, job& j, const char* value) {
  if (o.act != nullptr) {
    o.act(j, value);
  } else if (o.text != nullptr) {
    j.mem.*o.text = value;
  } else if (o.list != nullptr) {
    (j.mem.*o.list).push_back(value);
  } else if (o.flag != nullptr) {
    j.mem.*o.flag += 1;
  }
}

// The scan of the words, as getopt_long makes it.
struct scanner {
  std::span<const std::string> args;
  const std::string& program;
  std::vector<parsedItem> items;

  void refuse(std::string message) { items.push_back({nullptr, {}, std::move(message), false}); }

  // "--NAME[=VALUE]" at word `i`, with `body` the text after "--"; moves `i`
  // past the words it takes.
  void longOption(size_t& i, std::string_view body) {
    const size_t eq = body.find('=');
    const std::string_view name = body.substr(0, eq);
    const optionRow* found = nullptr;
    std::vector<const optionRow*> prefixed;
    for (const optionRow& o : table) {
      if (o.name == nullptr) continue;
      if (name == o.name) {
        found = &o;
        break;
      }
      if (std::string_view(o.name).starts_with(name)) prefixed.push_back(&o);
    }
    const int len = static_cast<int>(body.size());
    i++;
    if (found == nullptr && prefixed.size() > 1) {
      std::string line =
          strf("%s: option '--%.*s' is ambiguous; possibilities:", program.c_str(), len, body.data());
      for (const optionRow* o : prefixed) line += strf(" '--%s'", o->name);
      return refuse(line + "\n");
    }
    if (found == nullptr && prefixed.size() == 1) found = prefixed[0];
    if (found == nullptr) {
      return refuse(strf("%s: unrecognized option '--%.*s'\n", program.c_str(), len, body.data()));
    }
    if (eq != std::string_view::npos) {
      if (found->value == nullptr) {
        return refuse(strf("%s: option '--%s' doesn't allow an argument\n", program.c_str(), found->name));
      }
      items.push_back({found, std::string(body.substr(eq + 1)), {}, false});
    } else if (found->value == nullptr) {
      items.push_back({found, {}, {}, false});
    } else if (i == args.size()) {
      refuse(strf("%s: option '--%s' requires an argument\n", program.c_str(), found->name));
    } else {
      items.push_back({found, args[i++], {}, false});
    }
  }

  // A word of short options at word `i`; moves `i` past the words it takes.
  void shortOptions(size_t& i) {
    const std::string& word = args[i++];
    for (size_t k = 1; k < word.size(); k++) {
      const char c = word[k];
      const optionRow* found = nullptr;
      for (const optionRow& o : table) {
        if (o.letter != 0 && o.letter == c) found = &o;
      }
      if (found == nullptr) {
        refuse(strf("%s: invalid option -- '%c'\n", program.c_str(), c));
      } else if (found->value == nullptr) {
        items.push_back({found, {}, {}, false});
      } else if (k + 1 < word.size()) {  // the rest of the word is its value
        items.push_back({found, word.substr(k + 1), {}, false});
        return;
      } else if (i < args.size()) {  // or else the next word
        items.push_back({found, args[i++], {}, false});
        return;
      } else {
        return refuse(strf("%s: option requires an argument -- '%c'\n", program.c_str(), c));
      }
    }
  }

  void scan() {
    for (size_t i = 0; i < args.size();) {
      const std::string& word = args[i];
      if (word == "--") {
        for (i++; i < args.size(); i++) items.push_back({nullptr, args[i], {}, true});
        return;
      }
      if (word.size() < 2 || word[0] != '-') {
        items.push_back({nullptr, word, {}, true});
        i++;
      } else if (word[1] == '-') {
        longOption(i, std::string_view(word).substr(2));
      } else {
        shortOptions(i);
      }
    }
  }
};

}  // namespace

std::span<const optionRow> options() { return table; }

bool placeholdersOnly(const job& j) {
  const memArgs& a = j.mem;
  if (j.romOut || j.ROMOut || j.hexOut || j.dumpLen || j.dumpDest || j.dumpEntry || a.patch != nullptr ||
      !a.merge.empty()) {
    return false;
  }
  auto placeholderFormat = [](std::string_view name) {
    const std::string text(name);
    const memFormat* f = findFormat(text.c_str());
    return f != nullptr && f->placeholder;
  };
  if (a.memory.empty()) return a.format != nullptr && placeholderFormat(a.format);
  for (std::string_view spec : a.memory) {
    std::string_view format = a.format != nullptr ? a.format : "";
    for (size_t at = spec.find(','); at != std::string_view::npos; at = spec.find(',', at + 1)) {
      const std::string_view item = spec.substr(at + 1, spec.find(',', at + 1) - at - 1);
      if (item.starts_with("format=")) format = item.substr(7);
    }
    if (!placeholderFormat(format)) return false;
  }
  return true;
}

const optionRow* findOption(std::string_view name) {
  for (const optionRow& o : table) {
    if (named(o, name) || (name == "input" && o.letter == 'f')) return &o;
  }
  return nullptr;
}

std::vector<parsedItem> scanArguments(std::span<const std::string> args, const std::string& program) {
  scanner sc{args, program, {}};
  sc.scan();
  return std::move(sc.items);
}

parseOutcome parseArguments(std::span<const std::string> args, const std::string& program, job& j) {
  parseOutcome out;
  int rejected = 0;
  auto refuse = [&](char c) {
    out.diagnostics += strf("unknown option %c\n", c);
    rejected++;
  };
  for (const parsedItem& item : scanArguments(args, program)) {
    if (item.positional) {
      j.positional.push_back(j.keep(item.value));
      continue;
    }
    if (item.row == nullptr) {
      out.diagnostics += item.message;
      refuse('?');
      continue;
    }
    const optionRow& o = *item.row;
    if (o.letter == 'h') {
      out.how = parseOutcome::end::usage;
      out.usageStatus = 0;
      return out;
    }
    if (named(o, "help") || named(o, "version")) {
      out.how = named(o, "help") ? parseOutcome::end::help : parseOutcome::end::version;
      return out;
    }
    if (o.act == nullptr && o.text == nullptr && o.list == nullptr && o.flag == nullptr) {
      refuse(o.letter);
      continue;
    }
    apply(o, j, o.value != nullptr ? j.keep(item.value) : nullptr);
  }
  // A run whose inputs are all --merge needs no -f, nor one that writes
  // placeholders only.
  if ((j.input == nullptr && j.mem.merge.empty() && !placeholdersOnly(j)) || rejected != 0) {
    out.how = parseOutcome::end::usage;
    out.usageStatus = 1;
  }
  return out;
}

status setOption(job& j, std::string_view name, std::string_view value) {
  const optionRow* o = findOption(name);
  const std::string shown = "--" + std::string(name);
  if (o == nullptr || (o->act == nullptr && o->text == nullptr && o->list == nullptr && o->flag == nullptr)) {
    return errorf(ErrorKind::bad_argument, shown, "unrecognized option '%s'\n", shown.c_str());
  }
  if (o->value == nullptr && o->act == nullptr) {
    if (value == "no" || value == "false" || value == "0") return done;
    if (!value.empty() && value != "yes" && value != "true" && value != "1") {
      return errorf(ErrorKind::bad_argument, shown, "option '%s' doesn't allow an argument\n", shown.c_str());
    }
  }
  apply(*o, j, j.keep(value));
  return done;
}

std::string usageText(const std::string& program) {
  return strf(
      "usage: %s [args]\n"
      "  -f file       # input file\n"
      "  -r            # rom output\n"
      "  -d            # Orv's output\n"
      "  -a            # asm output\n"
      "  -m            # kesmora mem file\n"
      "  -R            # Tolvek ROM output\n"
      "  -L <len>      # Tolvek ROM length [0x100000]\n"
      "  -l            # dump text+data length\n"
      "  -e            # dump binary entry\n"
      "  -t            # dump text location\n"
      "  -H            # dump hex of program\n"
      "  -M NN         # extend image to this length\n"
      "  --help        # memory images and every other option\n",
      program.c_str());
}

std::string formatList() {
  std::string formats;
  for (const memFormat& f : memFormats()) formats += std::string(formats.empty() ? "" : ", ") + f.name;
  return formats;
}

namespace {

// Where the text of an option starts in --help, and the columns every line
// fits in.
constexpr size_t helpColumn = 23;
constexpr size_t helpWidth = 79;

// The words of `text` (line breaks in it are spaces) in lines of at most
// `width` columns; a word longer than that stands on a line of its own.
std::vector<std::string> wrapWords(std::string_view text, size_t width) {
  std::vector<std::string> lines(1);
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find_first_of(" \n", at), text.size());
    const std::string_view word = text.substr(at, end - at);
    at = end + 1;
    if (word.empty()) continue;
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) lines.emplace_back();
    if (!lines.back().empty()) lines.back() += ' ';
    lines.back() += word;
  }
  return lines;
}

}  // namespace

std::string helpText(const std::string& program) {
  std::string text = strf(
      "usage: %s -f FILE [options]\n"
      "Turns the program of a firmware executable into ROM and memory images.\n",
      program.c_str());
  for (const optionRow& o : table) {
    if (o.help == nullptr) continue;
    if (o.heading != nullptr) {
      text += '\n';
      text += o.heading;
      if (*o.heading != '\0') text += '\n';
    }
    std::string left = o.letter != 0 ? strf("  -%c", o.letter) : strf("  --%s", o.name);
    if (o.value != nullptr) left += strf(o.letter != 0 ? " %s" : "=%s", o.value);
    std::string what = o.help;
    if (const size_t at = what.find("%s"); at != std::string::npos) what.replace(at, 2, formatList());
    if (const size_t at = what.find("%k"); at != std::string::npos) what.replace(at, 2, inputKindList());
    // A long option stands on a line of its own, its text below it.
    if (left.size() >= helpColumn) text += left + "\n", left.clear();
    left.resize(helpColumn, ' ');
    for (const std::string& line : wrapWords(what, helpWidth - helpColumn)) {
      text += left + line + "\n";
      left.assign(helpColumn, ' ');
    }
  }
  text +=
      "\n"
      "BASE, SIZE, ADDR, WORDS and BYTE are 0x hex or decimal; SIZE and WORDS may\n"
      "end in K, M or G (powers of 1024). An argument @FILE stands for the\n"
      "arguments in FILE, one a line; lines starting with # are left out.\n";
  return text;
}

}  // namespace romwright
