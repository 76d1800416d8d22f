// The table of long options.
#include "cli/options.hpp"

namespace romwright {

namespace {

constexpr longOption table[] = {
    {"format", "FMT", "write a memory image: %s", false, &memArgs::format, nullptr, nullptr, true},
    {"output", "FILE",
     "where it goes; - is standard output [-]; with banks, %b stands\n"
     "for the bank number",
     true, &memArgs::output, nullptr, nullptr, true},
    {"memory", "NAME:BASE:SIZE[,KEY=VALUE...]",
     "one memory of the system, its keys any of format, output, width,\n"
     "byte-order, depth, fill, lanes, banks, name, header, addresses\n"
     "and the other options of one memory; repeatable: the options\n"
     "above are every memory's defaults",
     false, nullptr, &memArgs::memory, nullptr},
    {"insert", "KIND@WHERE[,over=FROM..TO][,order=little|big]",
     "store a CRC, sum or length computed over the memory at WHERE\n"
     "(an address, or sym:NAME[+N]); FROM..TO defaults to the placed\n"
     "bytes of the memory holding WHERE, TO included; repeatable",
     true, nullptr, &memArgs::insert, nullptr},
    {"allow-unplaced", nullptr, "with --memory: leave out bytes that land in no memory", true, nullptr,
     nullptr, &memArgs::allowUnplaced},
    {"merge", "FILE[@ADDR]",
     "also place the bytes of FILE (ELF, Intel HEX or S-records), or of\n"
     "the raw binary FILE from ADDR; repeatable, placed in order",
     true, nullptr, &memArgs::merge, nullptr},
    {"overlap", "refuse|later",
     "two inputs that place bytes at one address: refused, or the later\n"
     "input wins [refuse]",
     true, &memArgs::overlap, nullptr, nullptr},
    {"section", "NAME",
     "place only this allocated section of ELF inputs (* and ? match);\n"
     "repeatable",
     true, nullptr, &memArgs::section, nullptr},
    {"remove-section", "NAME", "leave this section of ELF inputs out; repeatable", true, nullptr,
     &memArgs::removeSection, nullptr},
    {"addresses", "load|run",
     "place segments at their load address (p_paddr) or\n"
     "their run address (p_vaddr, with the zero tail) [load]",
     true, &memArgs::addresses, nullptr, nullptr, true},
    {"region", "BASE:SIZE", "the memory to fill [the span of the placed bytes]", true, &memArgs::region,
     nullptr, nullptr},
    {"crop", nullptr, "leave out the bytes of segments outside --region", true, nullptr, nullptr,
     &memArgs::crop},
    {"width", "BITS", "word width: a multiple of 8 from 8 to 1024 [32]", true, &memArgs::width, nullptr, nullptr, true},
    {"byte-order", "little|big",
     "how bytes at rising addresses make up a word\n"
     "[the executable's own]",
     true, &memArgs::byteOrder, nullptr, nullptr, true},
    {"depth", "WORDS", "words the memory has [region size / word size]", true, &memArgs::depth, nullptr,
     nullptr, true},
    {"fill", "BYTE", "value of bytes no segment provides [0x00]", true, &memArgs::fill, nullptr, nullptr, true},
    {"lanes", "N",
     "one image per lane of width/N bits, lane 0 the least\n"
     "significant; FILE must hold %d for the lane number [1]",
     true, &memArgs::lanes, nullptr, nullptr, true},
    {"name", "NAME", "identifier for the formats that declare one [rom_image]", true, &memArgs::name,
     nullptr, nullptr, true},
    {"header", "FILE", "with --format=c: also write the extern declarations", true, &memArgs::header,
     nullptr, nullptr, true},
    {"radix", "2|16", "digits of the words: 2 for vmem ($readmemb), lattice-mem\nand gowin-mi; 16 for every format [16]",
     true, &memArgs::radix, nullptr, nullptr, true},
    {"uf2-family", "ID", "with --format=uf2: the family ID, a number or a name\n(rp2040, rp2350-arm-s, samd21, ...) [none]",
     true, &memArgs::uf2Family, nullptr, nullptr, true},
    {"sparse", nullptr,
     "vmem, ihex, srec: only the words that hold placed\n"
     "bytes, each stretch after its address [ihex and srec:\n"
     "unless --fill is given]",
     true, nullptr, nullptr, &memArgs::sparse, true},
    {"rebase", "ADDR",
     "write addresses from ADDR at the memory's first word:\n"
     "bytes for ihex and srec, words for mif and vmem",
     true, &memArgs::rebase, nullptr, nullptr, true},
    {"record-bytes", "N", "data bytes an ihex or srec record holds, 1 to 255 [16]", true,
     &memArgs::recordBytes, nullptr, nullptr, true},
    {"srec-s3", nullptr, "always S3/S7 records [the shortest the addresses allow]", true, nullptr,
     nullptr, &memArgs::srecS3, true},
    {"quiet", nullptr, "no diagnostic lines for a load that succeeds", false, nullptr, nullptr,
     &memArgs::quiet},
    {"verbose", nullptr, "the load lines in a memory-image run too", false, nullptr, nullptr,
     &memArgs::verbose},
    {"help", nullptr, "print this help", false, nullptr, nullptr, nullptr},
    {"version", nullptr, "print the version", false, nullptr, nullptr, nullptr},
};

}  // namespace

std::span<const longOption> longOptions() { return table; }

}  // namespace romwright
