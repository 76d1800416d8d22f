#!/bin/bash
# Times romwright's outputs against what users would otherwise chain together
# (the cross binutils' objcopy, xxd) and against cat of the finished output
# (the floor: just moving those bytes), all in one run so the ratios hold on a
# noisy machine. Prints a table of medians, MB/s, peak RSS and the ratios.
# W7 times the load (-l) of hostile tables, whose address span dwarfs their
# file bytes, against its targets of under 50 ms and under 16 MiB each. W8
# times the memory-image mode, every format of a 16 MiB text with its stored
# data, against cat, objcopy and srec_cat.
#
#   bench/run.sh                 # 1, 16 and 64 MiB inputs, both byte orders
#   BENCH_SIZES="16" BENCH_RUNS=5 bench/run.sh
#   BENCH_ONLY=hostile bench/run.sh   # W7 alone, in seconds
#   BENCH_ONLY=memimage bench/run.sh  # W8 alone, a few minutes
#   BENCH_ONLY=records bench/run.sh   # W9 alone: hex, S-record and ELF64 inputs
#   BENCH_ONLY=memories bench/run.sh  # W10 alone: three memories, a CRC32
#   BENCH_ONLY=library bench/run.sh   # W11 alone: the library in process, C++ and Python
#   BENCH_ONLY=sparse bench/run.sh    # W12 alone: sparse ihex and uf2 of an image far apart
#   BENCH_ONLY=mapverify bench/run.sh # W13 alone: the map of 10,000 symbols, a verify against a dump
#   BENCH_ONLY=patch bench/run.sh     # bench/patch.sh: an iCE40 design patched
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
out=${BENCH_OUT:-$root/bench/out}
sizes=${BENCH_SIZES:-1 16 64}
runs=${BENCH_RUNS:-10}
# Outputs are written on tmpfs by default: every command then pays the same
# page-cache cost, without the disk's writeback throttling, which otherwise
# lands on whichever command happens to run when dirty pages pile up.
work=${BENCH_WORK:-/dev/shm/romwright-bench}

"$root/tools/install-deps" hyperfine time xxd srecord binutils-mips-linux-gnu binutils-arm-none-eabi
# The seed writer builds W7's inputs from the test fixtures' descriptions.
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$root/build-bench" -j "$(nproc)" --target romwright romwright_make_seeds api_bench romwright_python >/dev/null
rw=$root/build-bench/romwright

targets=$out/targets  # W8's ratios and memory targets, for the report
rm -rf "$work" "$out/csv" "$out/rows" "$targets"
mkdir -p "$out/csv" "$work"/{ref,h,r,rd,rb,cp,oc}
touch "$targets"
cd "$work"

# row GROUP NAME CSV OUTPUT_BYTES RSS_KB: one line of the result table.
row() { echo "$1|$2|$(awk -F, 'NR==2 {print $4}' "$3")|$4|$5" >> "$out/rows"; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
bench() { # CSV-NAME RUNS COMMAND...: hyperfine over the commands, medians in the CSV
  local name=$1 n=$2
  shift 2
  hyperfine -w "${warm:-2}" -r "$n" -S sh --style none --export-csv "$out/csv/$name.csv" "$@" >/dev/null
}
size() { stat -c %s "$1"; }
split_csv() { # CSV INDEX -> a one-row CSV for that command
  awk -F, -v i="$2" 'NR==1 || NR==i+1' "$1" > "$1.$2"
  echo "$1.$2"
}

# W7: the load alone of each hostile table, both byte orders: bytes at both
# ends of the address space with rooms between them (one, or a full table of
# 65,535 entries), a zero top byte above a 4 GiB gap, growth past 2 GiB, and
# 65,535 single bytes 64 KiB apart, as data and as text.
hostile() {
  rm -rf "$out/in/hostile" && mkdir -p "$out/in/hostile"
  "$root/build-bench/tests/romwright_make_seeds" "$out/in/hostile" 65535
  local f name
  for f in "$out"/in/hostile/hostile-*.elf; do
    name=$(basename "$f" .elf)
    name=${name#hostile-}
    hyperfine -N -w 3 -r "$runs" --style none --export-csv "$out/csv/w7-$name.csv" "$rw -f $f -l" >/dev/null
    row "W7 hostile" "$name -l" "$(split_csv "$out/csv/w7-$name.csv" 1)" 0 "$(rss "$rw" -f "$f" -l)"
  done
}

# W8: memory images of mem-16-ORDER (16 MiB of text, then 1 MiB of .data
# stored in ROM after it: 17 MiB placed at load addresses) in every format,
# 32-bit words in the ELF's order, written to a file. Each is timed against
# cat of its finished output and against what one would chain together
# instead: objcopy alone, or objcopy -O binary followed by srec_cat (whose
# filters add -byte-swap on little-endian input, so that its words are the
# ELF's too). lattice-mem holds at most 65,536 words: it is timed at its
# largest, the stored .data as 65,536 words of 128 bits; srec_cat writes that
# format in words of up to 64 bits, so its run writes the same 1 MiB as
# 131,072 of them. Every romwright output is checked against objcopy's bytes
# first. Targets go to $out/targets for the report.
memimage() {
  local order base data pad swap tag
  mkdir -p "$work"/m/{ref,out,cp,oc}
  cd "$work"
  for order in le be; do
    x=$out/in/mem-16-$order
    if [ "$order" = be ]; then oc=mips-linux-gnu-objcopy; base=0xbfc00000; swap=; else oc=arm-none-eabi-objcopy; base=0x00010000; swap=y; fi
    data=$(printf '0x%x' $(( base + (16 << 20) )))  # the stored .data
    pad=$(( base + (32 << 20) ))
    # objcopy takes MIPS addresses as sign-extended 64-bit values.
    [ "$order" = be ] && pad=$(( pad | -4294967296 ))
    pad=$(printf '0x%x' "$pad")
    tag=mem-16-$order
    g="W8 $tag"
    mem_check "$order" "$base" "$data" "$pad" || { echo "memory image differs: $x ($order)"; exit 1; }

    mem_format vmem "" $((17 << 20)) \
      "objcopy -O verilog, data width 4" "<" 1 "$oc -O verilog --verilog-data-width 4 $x.elf m/oc/o.v" \
      "objcopy + srec_cat -VMem 32" "<=" 0.1 \
      "$oc -O binary $x.elf m/oc/o.bin && srec_cat m/oc/o.bin -binary ${swap:+-byte-swap 4} -o m/oc/s.vmem -VMem 32"
    mem_format bin "--region=$base:32M --fill=0xff" $((17 << 20)) \
      "objcopy -O binary --gap-fill --pad-to" "<" 1 "$oc -O binary --gap-fill=0xff --pad-to=$pad $x.elf m/oc/pad.bin"
    mem_format coe "" $((17 << 20))
    mem_format mif "" $((17 << 20)) \
      "objcopy + srec_cat -MIF 32" "<=" 0.2 \
      "$oc -O binary $x.elf m/oc/o.bin && srec_cat m/oc/o.bin -binary ${swap:+-byte-swap 4} -o m/oc/s.mif -MIF 32"
    mem_format ihex "" $((17 << 20)) "objcopy -O ihex" "<" 1 "$oc -O ihex $x.elf m/oc/o.hex"
    mem_format ihex-words "" $((17 << 20))
    mem_format srec "" $((17 << 20)) "objcopy -O srec" "<" 1 "$oc -O srec $x.elf m/oc/o.srec"
    mem_format lattice-mem "--width=128 --region=$data:1M" $((1 << 20)) \
      "objcopy -j .data + srec_cat -MEM 64" "<=" 0.2 \
      "$oc -O binary -j .data $x.elf m/oc/d.bin && srec_cat m/oc/d.bin -binary ${swap:+-byte-swap 8} -o m/oc/s.mem -MEM 64"
    mem_format gowin-mi "" $((17 << 20))
    mem_format vhdl "" $((17 << 20)) \
      "objcopy + srec_cat -VHdl 4" "<=" 0.2 \
      "$oc -O binary $x.elf m/oc/o.bin && srec_cat m/oc/o.bin -binary ${swap:+-byte-swap 4} -o m/oc/s.vhd -VHdl 4 rom_image"
    mem_format c "" $((17 << 20)) \
      "objcopy + srec_cat -C-Array" "<=" 0.2 \
      "$oc -O binary $x.elf m/oc/o.bin && srec_cat m/oc/o.bin -binary -o m/oc/s.c -C-Array rom_image"
    rm -f m/ref/*
  done
  echo "N|W8: lattice-mem holds at most 65,536 words: timed at its largest, the stored .data (--region, 1 MiB) as 65,536 words of 128 bits; srec_cat -MEM writes words of up to 64 bits, 131,072 of them" >> "$targets"
  echo "N|W8: bin is the 32 MiB flash, 0xff past the 17 MiB placed; srec_cat -C-Array writes bytes, romwright c 32-bit words" >> "$targets"
  rm -rf "$work/m"
}

# mem_words FMT FILE: the words of a text image, one a line in lower-case
# hex, for each format that writes word values.
mem_words() {
  case $1 in
    vmem) cat "$2" ;;
    coe) sed '1,2d; s/[,;]$//' "$2" ;;
    gowin-mi) sed '1,3d' "$2" ;;
    lattice-mem) sed '1,6d' "$2" ;;
    mif) sed -n 's/^  [0-9A-F]* : \([0-9A-F]*\);$/\1/p' "$2" | tr A-F a-f ;;
    ihex-words) sed -n 's/^:04....00\(........\)..$/\1/p' "$2" | tr A-F a-f ;;
    vhdl) grep -o 'x"[0-9a-f]*"' "$2" | tr -d 'x"' ;;
    c) sed -n '/^const uint32_t rom_image\[/,/^};/p' "$2" | grep -o '0x[0-9a-f]*' | cut -c3- ;;
  esac
}

# mem_check ORDER BASE DATA PAD: writes every format of $x.elf to m/ref and
# checks it: bin against objcopy -O binary (and, padded, against
# objcopy --gap-fill --pad-to), ihex and srec read back by objcopy, and the
# words of the text formats against the words of the same bytes.
mem_check() {
  local order=$1 base=$2 data=$3 pad=$4 f
  for f in vmem coe mif ihex ihex-words srec gowin-mi vhdl c; do
    "$rw" -f "$x.elf" --quiet --format=$f --output=m/ref/$f || return 1
  done
  "$rw" -f "$x.elf" --quiet --format=bin --output=m/ref/plain.bin || return 1
  "$rw" -f "$x.elf" --quiet --format=bin --region="$base:32M" --fill=0xff --output=m/ref/bin || return 1
  "$rw" -f "$x.elf" --quiet --format=lattice-mem --width=128 --region="$data:1M" --output=m/ref/lattice-mem || return 1
  cmp -s m/ref/plain.bin "$x.bin" || return 1
  $oc -O binary --gap-fill=0xff --pad-to="$pad" "$x.elf" m/oc/pad.bin
  [ "$(size m/ref/bin)" -eq $((32 << 20)) ] && cmp -s m/ref/bin m/oc/pad.bin || return 1
  objcopy -I ihex -O binary m/ref/ihex m/oc/ihex.bin && cmp -s m/oc/ihex.bin "$x.bin" || return 1
  objcopy -I srec -O binary m/ref/srec m/oc/srec.bin && cmp -s m/oc/srec.bin "$x.bin" || return 1
  # The words' values: the memory's bytes, each word reversed when the ELF
  # is little-endian.
  if [ "$order" = le ]; then
    objcopy -I binary -O binary --reverse-bytes=4 "$x.bin" m/oc/words.bin
    tail -c $((1 << 20)) "$x.bin" > m/oc/data.bin
    objcopy -I binary -O binary --reverse-bytes=16 m/oc/data.bin m/oc/data-words.bin
  else
    cp "$x.bin" m/oc/words.bin
    tail -c $((1 << 20)) "$x.bin" > m/oc/data-words.bin
  fi
  xxd -p -c4 m/oc/words.bin > m/oc/words.txt
  for f in vmem coe mif ihex-words gowin-mi vhdl c; do
    mem_words $f m/ref/$f | cmp -s - m/oc/words.txt || { echo "words of $f differ" >&2; return 1; }
  done
  [ "$(sed -n 2p m/ref/lattice-mem)" = "#Depth=65536" ] &&
    mem_words lattice-mem m/ref/lattice-mem | cmp -s - <(xxd -p -c16 m/oc/data-words.bin) ||
    { echo "words of lattice-mem differ" >&2; return 1; }
  rm -f m/ref/plain.bin m/oc/*
}

# mem_format FMT OPTIONS PLACED_BYTES [PEER OP LIMIT COMMAND]...: times
# romwright writing FMT (its output checked in m/ref) against cat of that
# output and against each peer, whose time romwright's must stay OP LIMIT
# times. srec_cat pipelines take seconds: they run fewer times. An output of
# a few MiB takes a few ms, where a median of ten runs is mostly noise: it
# runs ten times as often.
mem_format() {
  local fmt=$1 opts=$2 placed=$3 c R n=$runs w=2 pn name op limit cmd i=0
  shift 3
  R=$(size "m/ref/$fmt")
  [ "$R" -lt $((4 << 20)) ] && n=$((runs * 10)) w=10
  warm=$w bench "w8-$tag-$fmt" "$n" \
    "$rw -f $x.elf --quiet --format=$fmt $opts --output=m/out/$fmt" \
    "cat m/ref/$fmt >m/cp/$fmt"
  c=$out/csv/w8-$tag-$fmt.csv
  # shellcheck disable=SC2086
  row "$g" "romwright $fmt" "$(split_csv "$c" 1)" "$R" \
    "$(rss "$rw" -f "$x.elf" --quiet --format=$fmt $opts --output=m/out/$fmt)"
  row "$g" "cat $fmt >file" "$(split_csv "$c" 2)" "$R" ""
  echo "T|$g|$fmt|romwright $fmt|cat $fmt >file|<=|1.5|cat" >> "$targets"
  echo "M|$g|$fmt|romwright $fmt|$placed" >> "$targets"
  while [ $# -gt 0 ]; do
    name=$1 op=$2 limit=$3 cmd=$4
    shift 4
    i=$((i + 1))
    pn=$n
    case $cmd in *srec_cat*) pn=$(( runs < 3 ? runs : 3 )) ;; esac
    warm=1 bench "w8-$tag-$fmt-$i" "$pn" "$cmd"
    row "$g" "$name" "$(split_csv "$out/csv/w8-$tag-$fmt-$i.csv" 1)" "$R" ""
    echo "T|$g|$fmt|romwright $fmt|$name|$op|$limit|$name" >> "$targets"
  done
  rm -f m/out/* m/cp/* m/oc/*
}

# W9: the other kinds of input, each written as vmem: the 17 MiB placed by
# mem-16-le (its text and stored data) as Intel HEX and as S-records (both
# made by objcopy), and the same bytes linked into a 64-bit big-endian
# executable. Each is timed against cat of its input and its output
# together, and against srec_cat reading the same input; its vmem is checked
# against the words of the bytes first.
records() {
  local x=$out/in/mem-16-le in kind R placed=$((17 << 20)) tag words
  mkdir -p "$work/w9"
  cd "$work"
  "$root/tools/install-deps" binutils-powerpc64-linux-gnu
  arm-none-eabi-objcopy -O ihex "$x.elf" w9/in.hex
  arm-none-eabi-objcopy -O srec "$x.elf" w9/in.srec
  printf '.section .text\n.globl _start\n_start:\n.incbin "%s"\n' "$x.bin" > w9/e64.S
  powerpc64-linux-gnu-as -o w9/e64.o w9/e64.S
  powerpc64-linux-gnu-ld -N -o w9/in.elf64 -Ttext=0x10000 --build-id=none w9/e64.o
  rm -f w9/e64.S w9/e64.o
  objcopy -I binary -O binary --reverse-bytes=4 "$x.bin" w9/le-words.bin
  for kind in hex srec elf64; do
    in=w9/in.$kind
    # The words: those the CPU reads, little-endian for the ARM inputs, as
    # stored for the big-endian executable.
    if [ "$kind" = elf64 ]; then words=$x.bin; else words=w9/le-words.bin; fi
    "$rw" -f "$in" --format=vmem --output=w9/ref.vmem
    cmp -s w9/ref.vmem <(xxd -p -c4 "$words") || { echo "vmem of $in differs" >&2; exit 1; }
    R=$(size w9/ref.vmem)
    tag=w9-$kind
    g="W9 $kind"
    bench "$tag" "$runs" "$rw -f $in --format=vmem --output=w9/out.vmem" "cat $in w9/ref.vmem >w9/cp"
    row "$g" "romwright $kind to vmem" "$(split_csv "$out/csv/$tag.csv" 1)" "$R" \
      "$(rss "$rw" -f "$in" --format=vmem --output=w9/out.vmem)"
    row "$g" "cat input+vmem >file" "$(split_csv "$out/csv/$tag.csv" 2)" "$R" ""
    echo "T|$g|vmem|romwright $kind to vmem|cat input+vmem >file|<=|1.5|cat" >> "$targets"
    echo "M|$g|vmem|romwright $kind to vmem|$placed" >> "$targets"
    if [ "$kind" != elf64 ]; then
      local fmt=-intel
      [ "$kind" = srec ] && fmt=-motorola
      warm=1 bench "$tag-srec_cat" "$(( runs < 3 ? runs : 3 ))" "srec_cat $in $fmt -o w9/s.vmem -VMem 32"
      row "$g" "srec_cat $kind -VMem 32" "$(split_csv "$out/csv/$tag-srec_cat.csv" 1)" "$R" ""
      echo "T|$g|vmem|romwright $kind to vmem|srec_cat $kind -VMem 32|<=|0.2|srec_cat" >> "$targets"
    fi
    rm -f w9/out.vmem w9/cp w9/s.vmem
  done
  rm -rf "$work/w9"
}

# W10: several memories and integrity fields, on mem-16-le (16 MiB of text
# at 0x10000, then 1 MiB of .data stored after it): three memories in one
# run (two 8 MiB ROM banks of the text as vmem, the stored data as bin)
# against cat of the three files and against three separate runs cropped to
# each memory; and a bin of the 17 MiB with a CRC32 stored after it against
# the same bin without one.
memories() {
  local x=$out/in/mem-16-le R
  mkdir -p "$work/w10"
  cd "$work"
  # The memory map in a response file, as a system keeps it beside its
  # linker script (and so the timed command holds no comma for the CSV).
  printf '%s\n' "--memory=rom0:0x10000:8M,format=vmem,output=w10/rom0.vmem" \
    "--memory=rom1:0x810000:8M,format=vmem,output=w10/rom1.vmem" \
    "--memory=data:0x1010000:1M,format=bin,width=8,output=w10/data.bin" > w10/map.rsp
  "$rw" -f "$x.elf" @w10/map.rsp
  mkdir -p w10/ref && cp w10/rom0.vmem w10/rom1.vmem w10/data.bin w10/ref/
  R=$(( $(size w10/ref/rom0.vmem) + $(size w10/ref/rom1.vmem) + $(size w10/ref/data.bin) ))
  g="W10 memories"
  bench w10-mem "$runs" \
    "$rw -f $x.elf @w10/map.rsp" \
    "cat w10/ref/rom0.vmem >w10/c0; cat w10/ref/rom1.vmem >w10/c1; cat w10/ref/data.bin >w10/c2" \
    "$rw -f $x.elf --format=vmem --region=0x10000:8M --crop --quiet --output=w10/s0.vmem; $rw -f $x.elf --format=vmem --region=0x810000:8M --crop --quiet --output=w10/s1.vmem; $rw -f $x.elf --format=bin --width=8 --region=0x1010000:1M --crop --quiet --output=w10/s2.bin"
  row "$g" "romwright three memories" "$(split_csv "$out/csv/w10-mem.csv" 1)" "$R" \
    "$(rss "$rw" -f "$x.elf" @w10/map.rsp)"
  row "$g" "cat of the three files" "$(split_csv "$out/csv/w10-mem.csv" 2)" "$R" ""
  row "$g" "three separate runs" "$(split_csv "$out/csv/w10-mem.csv" 3)" "$R" ""
  echo "T|$g|memories|romwright three memories|cat of the three files|<=|1.5|cat" >> "$targets"
  echo "T|$g|memories|romwright three memories|three separate runs|<|1|three runs" >> "$targets"
  echo "M|$g|memories|romwright three memories|$((17 << 20))" >> "$targets"
  cmp -s w10/s0.vmem w10/ref/rom0.vmem && cmp -s w10/s1.vmem w10/ref/rom1.vmem && cmp -s w10/s2.bin w10/ref/data.bin ||
    { echo "three memories differ from three runs" >&2; exit 1; }

  g="W10 crc32"
  bench w10-crc "$runs" \
    "$rw -f $x.elf --format=bin --width=8 --region=0x10000:0x1100004 --output=w10/plain.bin" \
    "$rw -f $x.elf --format=bin --width=8 --region=0x10000:0x1100004 --insert=crc32@0x1110000 --output=w10/crc.bin"
  row "$g" "bin without a field" "$(split_csv "$out/csv/w10-crc.csv" 1)" $((17 << 20)) ""
  row "$g" "bin with crc32" "$(split_csv "$out/csv/w10-crc.csv" 2)" $((17 << 20)) ""
  echo "T|$g|crc32|bin with crc32|bin without a field|<=|1.1|bin" >> "$targets"
  rm -rf "$work/w10"
}

# W11: the library in process. render of the 16 MiB program to vmem against
# the command line writing the same file on tmpfs (no process start, no
# file), Python's render against C++'s, two threads against one, and the
# words of 4 Mi 32-bit words as a Python list.
library() {
  local x=$out/in/mem-16-le one two py pyw
  mkdir -p "$work/w11"
  cd "$work"
  g="W11 library"
  bench w11-cli "$runs" "$rw -f $x.elf --format=vmem --quiet --output=w11/cli.vmem"
  row "$g" "command line vmem on tmpfs" "$(split_csv "$out/csv/w11-cli.csv" 1)" "$(size w11/cli.vmem)" ""
  read -r _ one < <("$root/build-bench/api_bench" "$x.elf" "$runs" format=vmem | grep '^one')
  # Two threads of a few calls each end at different times; twenty calls a
  # thread at least make the ratio the threads' throughput, not their start.
  read -r _ two < <("$root/build-bench/api_bench" "$x.elf" "$((runs < 20 ? 20 : runs))" format=vmem | grep '^two')
  { read -r _ py; read -r _ pyw; } < <(PYTHONPATH="$root/build-bench/python" /usr/bin/python3 "$here/python_bench.py" \
    "$x.elf" "$runs" format=vmem)
  # The rows take seconds, as hyperfine's CSVs do.
  printf 'command,mean,stddev,median\nC++ render,0,0,%s\n' "$(awk -v m="$one" 'BEGIN{print m/1000}')" > "$out/csv/w11-cpp.csv"
  printf 'command,mean,stddev,median\nPython render,0,0,%s\n' "$(awk -v m="$py" 'BEGIN{print m/1000}')" > "$out/csv/w11-py.csv"
  printf 'command,mean,stddev,median\nPython words,0,0,%s\n' "$(awk -v m="$pyw" 'BEGIN{print m/1000}')" > "$out/csv/w11-pyw.csv"
  row "$g" "C++ render in memory" "$out/csv/w11-cpp.csv" "$(size w11/cli.vmem)" ""
  row "$g" "Python render in memory" "$out/csv/w11-py.csv" "$(size w11/cli.vmem)" ""
  row "$g" "Python words, 4 Mi as ints" "$out/csv/w11-pyw.csv" 0 ""
  echo "T|$g|render|C++ render in memory|command line vmem on tmpfs|<=|1|command line" >> "$targets"
  echo "T|$g|python|Python render in memory|C++ render in memory|<=|1.15|C++" >> "$targets"
  echo "N|W11: two threads make $two times the renders of one (target >= 1.6); Python words of 4 Mi words: $pyw ms (target < 1000)" >> "$targets"
  rm -rf "$work/w11"
}

# W12: sparse images of an image far apart, as a boot loader's update with
# its UICR page is: 1 MiB of text at 0 and 4 KiB at 0x10001000, written as
# Intel HEX and as UF2 (each only the bytes or pages placed), against the
# same 1 MiB without the far part; the far part must cost what its bytes
# cost, not its distance (target: under 2x). Each output is checked first:
# the ihex against objcopy's records, the uf2's block count.
sparse() {
  local fmt f n=$((runs * 5)) g="W12 sparse"
  mkdir -p "$work/w12"
  cd "$work/w12"
  head -c $((1 << 20)) /dev/urandom > near.bin
  head -c 4096 /dev/urandom > far.bin
  printf '.section .text\n.globl _start\n_start:\n.incbin "near.bin"\n.section .uicr,"a"\n.incbin "far.bin"\n' > far.S
  printf '.section .text\n.globl _start\n_start:\n.incbin "near.bin"\n' > near.S
  for f in far near; do
    arm-none-eabi-as -o $f.o $f.S
    arm-none-eabi-ld -o $f.elf -Ttext=0 --section-start=.uicr=0x10001000 --build-id=none -z max-page-size=16 $f.o
  done
  # The far image spans more than 256 MiB: its memory is given.
  local farArgs="--region=0:0x10002000"
  for fmt in ihex uf2; do
    "$rw" -f far.elf --quiet --format=$fmt $farArgs --output=ref-far.$fmt
    "$rw" -f near.elf --quiet --format=$fmt --output=ref-near.$fmt
  done
  arm-none-eabi-objcopy -O ihex far.elf oc.hex
  tr -d '\r' < oc.hex | cmp -s - ref-far.ihex || { echo "sparse ihex differs from objcopy's" >&2; exit 1; }
  [ "$(size ref-far.uf2)" -eq $(( (4096 + 16) * 512 )) ] || { echo "sparse uf2: not 4112 blocks" >&2; exit 1; }
  for fmt in ihex uf2; do
    # Runs of a few ms: without a shell, which would take as long.
    hyperfine -N -w 10 -r "$n" --style none --export-csv "$out/csv/w12-$fmt.csv" \
      "$rw -f far.elf --quiet --format=$fmt $farArgs --output=far.$fmt" \
      "$rw -f near.elf --quiet --format=$fmt --output=near.$fmt" >/dev/null
    row "$g" "romwright $fmt 1 MiB + 4 KiB far" "$(split_csv "$out/csv/w12-$fmt.csv" 1)" "$(size ref-far.$fmt)" \
      "$(rss "$rw" -f far.elf --quiet --format=$fmt $farArgs --output=far.$fmt)"
    row "$g" "romwright $fmt 1 MiB alone" "$(split_csv "$out/csv/w12-$fmt.csv" 2)" "$(size ref-near.$fmt)" \
      "$(rss "$rw" -f near.elf --quiet --format=$fmt --output=near.$fmt)"
    echo "T|$g|$fmt|romwright $fmt 1 MiB + 4 KiB far|romwright $fmt 1 MiB alone|<|2|1 MiB alone" >> "$targets"
  done
  cd "$work"
  rm -rf "$work/w12"
}

# W13: the map and --verify on a 16 MiB program with 10,000 symbols (9,000
# functions in 15 MiB of text, 1,000 objects in 1 MiB of .data stored after
# it): the bin alone, with a text map and with a JSON map (target: the map
# costs under 50 ms); and a verify of the bin against a raw dump of it,
# against cmp of the two files (target: at most 1.5x), and against an
# Intel HEX dump. The map is checked to list every symbol, the verifies to
# find the dumps equal.
mapverify() {
  local g="W13 mapverify" base=0x00010000 n=$((runs * 3)) a b c d
  mkdir -p "$work/w13"
  cd "$work/w13"
  head -c $((9000 * 1748)) /dev/urandom > text.bin
  head -c $((1000 * 1048)) /dev/urandom > data.bin
  awk 'BEGIN {
    print ".section .text"
    for (i = 0; i < 9000; i++) {
      name = i == 0 ? "_start" : "f" i
      printf ".globl %s\n.type %s,%%function\n%s:\n.incbin \"text.bin\",%d,1748\n.size %s,.-%s\n", name, name, name, i * 1748, name, name
    }
    print ".section .data"
    for (i = 0; i < 1000; i++) {
      printf ".globl d%d\n.type d%d,%%object\nd%d:\n.incbin \"data.bin\",%d,1048\n.size d%d,.-d%d\n", i, i, i, i * 1048, i, i
    }
  }' > sym.S
  arm-none-eabi-as -o sym.o sym.S
  arm-none-eabi-ld -o sym.elf -T "$here/mem.ld" --defsym TEXT_BASE=$base --defsym DATA_BASE=0x20000000 \
    --build-id=none -z max-page-size=16 sym.o
  rm -f sym.S sym.o text.bin data.bin
  "$rw" -f sym.elf --quiet --format=bin --output=ref.bin --map=ref.map
  "$rw" -f sym.elf --quiet --format=bin --output=ref.bin --map=ref.json --map-format=json
  cp ref.bin dump.bin
  arm-none-eabi-objcopy -I binary -O ihex --change-addresses=$base ref.bin dump.hex
  [ "$(grep -c '^      0x' ref.map)" -eq 10000 ] || { echo "the map does not list 10,000 symbols" >&2; exit 1; }
  /usr/bin/python3 -c 'import json, sys; d = json.load(open("ref.json")); sys.exit(sum(len(r["symbols"]) for r in d["memories"][0]["ranges"]) != 10000)' ||
    { echo "the JSON map does not list 10,000 symbols" >&2; exit 1; }
  "$rw" -f sym.elf --quiet --format=bin --verify=dump.bin@$base >/dev/null &&
    "$rw" -f sym.elf --quiet --format=bin --verify=dump.hex >/dev/null || { echo "verify: the dump differs" >&2; exit 1; }
  hyperfine -N -w 3 -r "$n" --style none --export-csv "$out/csv/w13-map.csv" \
    "$rw -f sym.elf --quiet --format=bin --output=o.bin" \
    "$rw -f sym.elf --quiet --format=bin --output=o.bin --map=o.map" \
    "$rw -f sym.elf --quiet --format=bin --output=o.bin --map=o.json --map-format=json" >/dev/null
  hyperfine -N -w 3 -r "$n" --style none --export-csv "$out/csv/w13-verify.csv" \
    "$rw -f sym.elf --quiet --format=bin --verify=dump.bin@$base" \
    "cmp ref.bin dump.bin" \
    "$rw -f sym.elf --quiet --format=bin --verify=dump.hex" >/dev/null
  a=$(split_csv "$out/csv/w13-map.csv" 1)
  b=$(split_csv "$out/csv/w13-map.csv" 2)
  c=$(split_csv "$out/csv/w13-map.csv" 3)
  row "$g" "bin of 16 MiB, no map" "$a" "$(size ref.bin)" "$(rss "$rw" -f sym.elf --quiet --format=bin --output=o.bin)"
  row "$g" "bin + text map, 10,000 symbols" "$b" "$(size ref.bin)" \
    "$(rss "$rw" -f sym.elf --quiet --format=bin --output=o.bin --map=o.map)"
  row "$g" "bin + JSON map, 10,000 symbols" "$c" "$(size ref.bin)" ""
  row "$g" "verify against a raw dump" "$(split_csv "$out/csv/w13-verify.csv" 1)" "$(size ref.bin)" \
    "$(rss "$rw" -f sym.elf --quiet --format=bin --verify=dump.bin@$base)"
  row "$g" "cmp of the two files" "$(split_csv "$out/csv/w13-verify.csv" 2)" "$(size ref.bin)" ""
  row "$g" "verify against an Intel HEX dump" "$(split_csv "$out/csv/w13-verify.csv" 3)" "$(size dump.hex)" ""
  echo "T|$g|verify|verify against a raw dump|cmp of the two files|<=|1.5|cmp" >> "$targets"
  d=$(awk -F, 'FNR == 2 { m[FILENAME] = $4 } END {
        t = (m[ARGV[2]] - m[ARGV[1]]) * 1000; j = (m[ARGV[3]] - m[ARGV[1]]) * 1000
        printf "W13: the text map adds %.1f ms, the JSON map %.1f ms (median against the bin alone; target < 50 ms: %s)",
          t, j, (t < 50 && j < 50) ? "ok" : "MISSED" }' "$a" "$b" "$c")
  echo "N|$d" >> "$targets"
  cd "$work"
  rm -rf "$work/w13"
}

# The result table, with the targets.
report() {
  awk -F'|' -v big="${sizes##* }" '
  FILENAME == ARGV[1] { key = $1 "|" $2; t[key] = $3; mem[key] = $5; grp[NR] = $1; name[NR] = $2; bytes[NR] = $4; rss[NR] = $5; n = NR; next }
  # W8 targets: T|GROUP|FMT|ROMWRIGHT|OTHER|OP|LIMIT|LABEL (a time ratio),
  # M|GROUP|FMT|ROMWRIGHT|PLACED_BYTES (peak RSS at most placed + 8 MiB),
  # N|TEXT (a note).
  $1 == "N" { notes[++nn] = $2; next }
  {
    k = $2 "|" $3
    if (!(k in line)) { order[++nk] = k; line[k] = "" }
    if ($1 == "T") {
      v = t[$2 "|" $4] / t[$2 "|" $5]
      met = $6 == "<=" ? v <= $7 + 0 : v < $7 + 0
      part = sprintf("vs %s %.2f (%s %s) %s", $8, v, $6, $7, met ? "ok" : "MISSED")
    } else {
      lim = $5 / 1048576 + 8
      v = mem[$2 "|" $4] / 1024
      part = sprintf("RSS %.1f MiB (<= %.0f + 8) %s", v, $5 / 1048576, v <= lim ? "ok" : "MISSED")
    }
    line[k] = line[k] (line[k] == "" ? "" : "; ") part
  }
  function r(a, b) { return sprintf("%.2f", t[a] / t[b]) }
  END {
    printf "%-16s %-38s %12s %10s %10s\n", "workload", "command", "median ms", "MB/s", "RSS MiB"
    for (i = 1; i <= n; i++) {
      k = grp[i] "|" name[i]
      mbs = (bytes[i] > 0 && t[k] > 0) ? sprintf("%.0f", bytes[i] / t[k] / 1e6) : "-"
      printf "%-16s %-38s %12.2f %10s %10s\n", grp[i], name[i], t[k] * 1000, mbs,
             rss[i] == "" ? "" : sprintf("%.1f", rss[i] / 1024)
    }
    for (i = 1; i <= n; i++) {
      g = grp[i]
      if (g !~ /^W[1-4] / || seen[g]++) continue
      if (!ratios++) { print ""; print "ratios (romwright time / other time; below 1 means romwright is faster):" }
      if (g ~ /^W1/) {
        printf "%-16s -H >/dev/null vs cat >/dev/null %s (target <= 3); vs objcopy+xxd %s (target <= 0.1)\n", g,
          r(g "|romwright -H >/dev/null", g "|cat listing >/dev/null"), r(g "|romwright -H >/dev/null", g "|objcopy + xxd -p -c4")
        printf "%-16s -H >file vs cat >file %s (target <= 1.5)\n", g, r(g "|romwright -H >file", g "|cat listing >file")
      } else if (g ~ /^W2/) {
        printf "%-16s -r vs cat rom.c %s (target <= 1.5); vs objcopy+xxd -i %s (target <= 0.1)\n", g,
          r(g "|romwright -r", g "|cat rom.c >file"), r(g "|romwright -r", g "|objcopy + xxd -i")
      } else if (g ~ /^W3/) {
        printf "%-16s -R vs cat ROM %s, -L 0x10000000 vs cat %s (target <= 1.5); vs objcopy --pad-to %s (target < 1)\n", g,
          r(g "|romwright -R", g "|cat tolvek.rom >file"), r(g "|romwright -R -L 0x10000000", g "|cat big ROM >file"),
          r(g "|romwright -R -L 0x10000000", g "|objcopy --pad-to 0x10000000")
      } else if (g ~ /^W4/) {
        printf "%-16s reports vs true %s (target <= 1.25)\n", g, r(g "|romwright -l -t -e", g "|true")
      }
    }
    for (i = 1; i <= n; i++) {
      if (grp[i] !~ /^W7/) continue
      if (!head++) { print ""; print "hostile tables (target: under 50 ms and under 16 MiB each):" }
      ms = t[grp[i] "|" name[i]] * 1000; mib = rss[i] / 1024
      verdict = (ms < 50 && mib < 16) ? "ok" : "MISSED"
      printf "%-16s %-38s %s\n", grp[i], name[i], verdict
    }
    if (nk) { print ""; print "memory images (romwright time / other time; target met: ok, else MISSED):" }
    for (i = 1; i <= nk; i++) {
      split(order[i], gf, "|")
      printf "%-16s %-11s %s\n", gf[1], gf[2], line[order[i]]
    }
    for (i = 1; i <= nn; i++) print notes[i]
  }' "$out/rows" "$targets"
}

case ${BENCH_ONLY:-} in
  hostile)
    hostile
    report
    exit 0 ;;
  memimage)
    "$here/make-inputs.sh" "$out/in" mem
    memimage
    report
    exit 0 ;;
  records)
    "$here/make-inputs.sh" "$out/in" mem
    records
    report
    exit 0 ;;
  memories)
    "$here/make-inputs.sh" "$out/in" mem
    memories
    report
    exit 0 ;;
  library)
    "$here/make-inputs.sh" "$out/in" mem
    library
    report
    exit 0 ;;
  sparse)
    sparse
    report
    exit 0 ;;
  mapverify)
    mapverify
    report
    exit 0 ;;
  patch)
    exec "$here/patch.sh" ;;
  "") ;;
  *) echo "BENCH_ONLY: hostile, memimage, records, memories, library, sparse, mapverify or patch, not $BENCH_ONLY" >&2; exit 2 ;;
esac

# shellcheck disable=SC2086
"$here/make-inputs.sh" "$out/in" $sizes mem
for mib in $sizes; do
  for order in le be; do
    x=$out/in/text-$mib-$order
    if [ "$order" = be ]; then oc=mips-linux-gnu-objcopy; base=0xbfc00000; else oc=arm-none-eabi-objcopy; base=0x00010000; fi
    n=$runs
    [ "$mib" -ge 64 ] && n=$(( runs < 5 ? runs : 5 ))

    # The finished outputs, checked against the toolchain's bytes first.
    (cd ref && rm -f ./* &&
      "$rw" -f "$x.elf" -H 2>/dev/null > list.txt &&
      "$rw" -f "$x.elf" -r 2>/dev/null &&
      "$rw" -f "$x.elf" -R -L 0x10000000 2>/dev/null && mv tolvek.rom big.rom &&
      "$rw" -f "$x.elf" -R 2>/dev/null)
    text=$(size "$x.bin")
    xxd -p -c4 "$x.bin" | cmp -s - <(head -n $((text / 4)) ref/list.txt) ||
      { echo "listing differs: $x"; exit 1; }
    sed -n 's/^   //p' ref/rom.c | tr -d ',\n' | sed 's/0x//g' | xxd -r -p | cmp -s - "$x.bin" ||
      { echo "rom.c differs: $x"; exit 1; }
    cmp -s -n "$text" "$x.bin" ref/big.rom || { echo "ROM differs: $x"; exit 1; }
    # objcopy takes MIPS addresses as sign-extended 64-bit values.
    padto=$(printf '0x%x' $(( base + 0x10000000 )))
    [ "$order" = be ] && padto=$(printf '0x%x' $(( (base + 0x10000000) | -4294967296 )))
    $oc -O binary --pad-to="$padto" --gap-fill=0xff "$x.elf" oc/pad.rom
    [ "$(size oc/pad.rom)" -eq $((0x10000000)) ] && cmp -s -n "$text" "$x.bin" oc/pad.rom ||
      { echo "objcopy --pad-to output differs: $x"; exit 1; }

    tag=$mib-$order
    bench "w1-$tag" "$n" \
      "$rw -f $x.elf -H 2>/dev/null >/dev/null" \
      "$rw -f $x.elf -H 2>/dev/null >h/listing.txt" \
      "$oc -O binary $x.elf oc/o.bin && xxd -p -c4 oc/o.bin >/dev/null" \
      "cat ref/list.txt >/dev/null" \
      "cat ref/list.txt >cp/list.txt"
    c=$out/csv/w1-$tag.csv
    L=$(size ref/list.txt)
    row "W1 $tag" "romwright -H >/dev/null" "$(split_csv "$c" 1)" "$L" "$(rss "$rw" -f "$x.elf" -H)"
    row "W1 $tag" "romwright -H >file" "$(split_csv "$c" 2)" "$L" ""
    row "W1 $tag" "objcopy + xxd -p -c4" "$(split_csv "$c" 3)" "$L" ""
    row "W1 $tag" "cat listing >/dev/null" "$(split_csv "$c" 4)" "$L" ""
    row "W1 $tag" "cat listing >file" "$(split_csv "$c" 5)" "$L" ""

    bench "w2-$tag" "$n" \
      "cd r && $rw -f $x.elf -r 2>/dev/null" \
      "$oc -O binary $x.elf oc/o.bin && xxd -i oc/o.bin >oc/xxd.c" \
      "cat ref/rom.c >cp/rom.c"
    c=$out/csv/w2-$tag.csv
    C=$(size ref/rom.c)
    row "W2 $tag" "romwright -r" "$(split_csv "$c" 1)" "$C" "$(cd r && rss "$rw" -f "$x.elf" -r)"
    row "W2 $tag" "objcopy + xxd -i" "$(split_csv "$c" 2)" "$C" ""
    row "W2 $tag" "cat rom.c >file" "$(split_csv "$c" 3)" "$C" ""

    bench "w3-$tag" "$n" \
      "cd rd && $rw -f $x.elf -R 2>/dev/null" \
      "cd rb && $rw -f $x.elf -R -L 0x10000000 2>/dev/null" \
      "$oc -O binary --pad-to=$padto --gap-fill=0xff $x.elf oc/pad.rom" \
      "cat ref/tolvek.rom >cp/tolvek.rom" \
      "cat ref/big.rom >cp/big.rom"
    c=$out/csv/w3-$tag.csv
    R=$(size ref/tolvek.rom)
    B=$(size ref/big.rom)
    row "W3 $tag" "romwright -R" "$(split_csv "$c" 1)" "$R" "$(cd rd && rss "$rw" -f "$x.elf" -R)"
    row "W3 $tag" "romwright -R -L 0x10000000" "$(split_csv "$c" 2)" "$B" "$(cd rb && rss "$rw" -f "$x.elf" -R -L 0x10000000)"
    row "W3 $tag" "objcopy --pad-to 0x10000000" "$(split_csv "$c" 3)" "$B" ""
    row "W3 $tag" "cat tolvek.rom >file" "$(split_csv "$c" 4)" "$R" ""
    row "W3 $tag" "cat big ROM >file" "$(split_csv "$c" 5)" "$B" ""
    rm -f h/* r/* rd/* rb/* cp/* oc/*
  done
done

# W4: start-up, the reports only, on a 4 KiB executable.
small=$out/in/text-4k-le.elf
hyperfine -N -w 20 -r 300 --style none --export-csv "$out/csv/w4.csv" \
  "$rw -f $small -l -t -e" "true" >/dev/null
row "W4 4k" "romwright -l -t -e" "$(split_csv "$out/csv/w4.csv" 1)" 0 "$(rss "$rw" -f "$small" -l -t -e)"
row "W4 4k" "true" "$(split_csv "$out/csv/w4.csv" 2)" 0 "$(rss true)"

# W5: about 2^28 zero lines after a 4 KiB text (text at 0x10000).
"$rw" -f "$small" -H -M 0x40010000 2>/dev/null > ref/pad-list.txt
bench w5 3 "$rw -f $small -H -M 0x40010000 2>/dev/null >/dev/null" "cat ref/pad-list.txt >/dev/null"
P=$(size ref/pad-list.txt)
row "W5 2^28 words" "romwright -H -M 0x40010000 >/dev/null" "$(split_csv "$out/csv/w5.csv" 1)" "$P" "$(rss "$rw" -f "$small" -H -M 0x40010000)"
row "W5 2^28 words" "cat listing >/dev/null" "$(split_csv "$out/csv/w5.csv" 2)" "$P" ""
rm -rf "$work"

# W6: a data segment of 16 file bytes in a room of 1 GiB.
hyperfine -N -w 5 -r 50 --style none --export-csv "$out/csv/w6.csv" "$rw -f $out/in/bss-room.elf -l" >/dev/null
row "W6 1 GiB room" "romwright -l" "$(split_csv "$out/csv/w6.csv" 1)" 0 "$(rss "$rw" -f "$out/in/bss-room.elf" -l)"

memimage
records
memories
library
sparse
mapverify
rm -rf "$work"
hostile
report
