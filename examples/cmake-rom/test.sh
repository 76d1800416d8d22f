#!/bin/bash
# Builds the example project against ROMWRIGHT and an executable, and checks
# that both programs carry the executable's text bytes, and that configuring
# without an executable fails at once with a message that says so. Usage:
# test.sh ROMWRIGHT FIRMWARE.elf FIRMWARE.text.bin
set -euo pipefail
tool=$1 elf=$2 bin=$3
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake -S "$here" -B "$dir/ok" -DROMWRIGHT="$tool" -DFIRMWARE_ELF="$elf" >/dev/null
cmake --build "$dir/ok" >/dev/null
want="$(stat -c %s "$bin") $(od -An -v -tu1 "$bin" | awk '{for (i = 1; i <= NF; i++) s += $i} END {print s}')"
for prog in rom_user_c rom_user_cxx; do
  got=$("$dir/ok/$prog")
  [ "$got" = "$want" ] || fail "$prog printed '$got', expected '$want'"
done

# FIRMWARE_ELF not given, and given empty.
msg="FIRMWARE_ELF is not set: configure with -DFIRMWARE_ELF=path/to/firmware.elf"
for args in "" "-DFIRMWARE_ELF="; do
  rm -rf "$dir/unset"
  # shellcheck disable=SC2086
  if cmake -S "$here" -B "$dir/unset" -DROMWRIGHT="$tool" $args >"$dir/out" 2>&1; then
    fail "configure without an executable ($args) succeeded"
  fi
  grep -qF "$msg" "$dir/out" || { cat "$dir/out"; fail "configure ($args) did not say FIRMWARE_ELF is missing"; }
done
echo "cmake example: ok ($want)"
