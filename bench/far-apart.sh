#!/bin/bash
# Times the sparse formats of an image whose parts lie far apart, 1 MiB at 0
# and 4 KiB at 0x10001000 (an nRF52 image with its UICR), against the same
# bytes placed together (the 4 KiB right after the 1 MiB): each sparse
# output should cost what its bytes cost, not what the addresses between
# them span. Inputs are the two raw binaries merged (no -f) and their Intel
# HEX. Prints the medians, the ratio far/near and the peak RSS of each.
#
#   bench/far-apart.sh            # 10 runs each
#   BENCH_RUNS=30 bench/far-apart.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
runs=${BENCH_RUNS:-10}
work=${BENCH_WORK:-/dev/shm/romwright-far-apart}
rw=${ROMWRIGHT:-$root/build/romwright}

"$root/tools/install-deps" hyperfine time srecord
rm -rf "$work" && mkdir -p "$work" && cd "$work"
head -c $((1 << 20)) /dev/urandom > near.bin
head -c 4096 /dev/urandom > far.bin
declare -A at=([far]=0x10001000 [near]=0x00100000)
for layout in far near; do
  srec_cat near.bin -binary far.bin -binary -offset "${at[$layout]}" -o "$layout.hex" -intel
done

median() { awk -F, 'NR == 2 { printf "%.1f", $4 * 1000 }' "$1"; }
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

printf '%-44s %10s %10s %7s %10s %10s\n' "output" "far ms" "near ms" "ratio" "far KiB" "near KiB"
for format in ihex srec "vmem --sparse --width=8" "updatemem --sparse --width=8" uf2; do
  for input in merge hex; do
    declare -A ms=() kib=()
    for layout in far near; do
      if [ "$input" = merge ]; then
        args="--merge=near.bin@0 --merge=far.bin@${at[$layout]}"
      else
        args="-f $layout.hex"
      fi
      cmd="$rw $args --format=$format --output=out.$layout"
      if ! $cmd 2>err.txt; then
        ms[$layout]="refused"
        kib[$layout]="-"
        continue
      fi
      hyperfine -N -w 2 -r "$runs" --style none --export-csv "t.csv" "$cmd" >/dev/null 2>&1
      ms[$layout]=$(median t.csv)
      kib[$layout]=$(rss $cmd)
    done
    ratio="-"
    if [ "${ms[far]}" != refused ] && [ "${ms[near]}" != refused ]; then
      ratio=$(awk -v f="${ms[far]}" -v n="${ms[near]}" 'BEGIN { printf "%.2f", f / n }')
    fi
    printf '%-44s %10s %10s %7s %10s %10s\n' "$format ($input)" "${ms[far]}" "${ms[near]}" "$ratio" \
      "${kib[far]}" "${kib[near]}"
  done
done
rm -rf "$work"
