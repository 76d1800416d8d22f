#!/bin/bash
# Times romwright's outputs against what users would otherwise chain together
# (the cross binutils' objcopy, xxd) and against cat of the finished output
# (the floor: just moving those bytes), all in one run so the ratios hold on a
# noisy machine. Prints a table of medians, MB/s, peak RSS and the ratios.
# W7 times the load (-l) of hostile tables, whose address span dwarfs their
# file bytes, against its targets of under 50 ms and under 16 MiB each.
#
#   bench/run.sh                 # 1, 16 and 64 MiB inputs, both byte orders
#   BENCH_SIZES="16" BENCH_RUNS=5 bench/run.sh
#   BENCH_ONLY=hostile bench/run.sh   # W7 alone, in seconds
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

"$root/tools/install-deps" hyperfine time xxd binutils-mips-linux-gnu binutils-arm-none-eabi
# The seed writer builds W7's inputs from the test fixtures' descriptions.
cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build "$root/build-bench" -j "$(nproc)" --target romwright romwright_make_seeds >/dev/null
rw=$root/build-bench/romwright

rm -rf "$work" "$out/csv" "$out/rows"
mkdir -p "$out/csv" "$work"/{ref,h,r,rd,rb,cp,oc}
cd "$work"

# row GROUP NAME CSV OUTPUT_BYTES RSS_KB: one line of the result table.
row() { echo "$1|$2|$(awk -F, 'NR==2 {print $4}' "$3")|$4|$5" >> "$out/rows"; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
bench() { # CSV-NAME RUNS COMMAND...: hyperfine over the commands, medians in the CSV
  local name=$1 n=$2
  shift 2
  hyperfine -w 2 -r "$n" -S sh --style none --export-csv "$out/csv/$name.csv" "$@" >/dev/null
}
size() { stat -c %s "$1"; }
split_csv() { # CSV INDEX -> a one-row CSV for that command
  awk -F, -v i="$2" 'NR==1 || NR==i+1' "$1" > "$1.$2"
  echo "$1.$2"
}

# W7: the load alone of each hostile table, both byte orders: bytes at both
# ends of the address space with rooms between them (one, or a full table of
# 65,535 entries), a zero top byte above a 4 GiB gap, growth past 2 GiB, and
# 65,535 single bytes 64 KiB apart.
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

# The result table, with the targets.
report() {
  awk -F'|' -v big="${sizes##* }" '
  { key = $1 "|" $2; t[key] = $3; grp[NR] = $1; name[NR] = $2; bytes[NR] = $4; rss[NR] = $5; n = NR }
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
      if (g !~ /^W[1-4]/ || seen[g]++) continue
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
      # Every one of its 65,535 file bytes lands on a page of its own in the
      # flat data image: at least 256 MiB, whatever the merger does.
      if (name[i] ~ /^far-bytes/) verdict = "no target: one page per file byte"
      else verdict = (ms < 50 && mib < 16) ? "ok" : "MISSED"
      printf "%-16s %-38s %s\n", grp[i], name[i], verdict
    }
  }' "$out/rows"
}

if [ "${BENCH_ONLY:-}" = hostile ]; then
  hostile
  report
  exit 0
fi

"$here/make-inputs.sh" "$out/in" $sizes
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

hostile
report
