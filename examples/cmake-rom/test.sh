#!/bin/bash
# Builds the example project against ROMWRIGHT and an executable, and checks
# that both programs carry the executable's text bytes. Usage:
# test.sh ROMWRIGHT FIRMWARE.elf FIRMWARE.text.bin
set -euo pipefail
tool=$1 elf=$2 bin=$3
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cmake -S "$here" -B "$dir" -DROMWRIGHT="$tool" -DFIRMWARE_ELF="$elf" >/dev/null
cmake --build "$dir" >/dev/null
want="$(stat -c %s "$bin") $(od -An -v -tu1 "$bin" | awk '{for (i = 1; i <= NF; i++) s += $i} END {print s}')"
for prog in rom_user_c rom_user_cxx; do
  got=$("$dir/$prog")
  [ "$got" = "$want" ] || { echo "FAIL: $prog printed '$got', expected '$want'"; exit 1; }
done
echo "cmake example: ok ($want)"
