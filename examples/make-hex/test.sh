#!/bin/bash
# Checks the example Makefile: built once, not rebuilt while the executable is
# unchanged, rebuilt when it changes, and a refused executable fails the build
# and keeps the last good outputs. Usage: test.sh ROMWRIGHT GOOD.elf OTHER.elf BAD.elf
set -euo pipefail
tool=$1 good=$2 other=$3 bad=$4
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$here/Makefile" "$dir/"
cd "$dir"
m() { make -s ROMWRIGHT="$tool" "$@" 2>/dev/null; }
fail() { echo "FAIL: $*"; exit 1; }

cp "$good" firmware.elf
m || fail "first build"
[ "$(wc -l < firmware.hex)" -eq 512 ] || fail "listing length"
[ "$(stat -c %s tolvek.rom)" -eq 65536 ] || fail "ROM length"
[ -z "$(make -q ROMWRIGHT="$tool" || echo stale)" ] || fail "up-to-date outputs are stale"

sleep 1.1
cp "$other" firmware.elf
m || fail "rebuild"
cmp -s <("$tool" -f "$other" -H 2>/dev/null) firmware.hex || fail "listing not rebuilt"

good_hex=$(md5sum < firmware.hex) good_rom=$(md5sum < tolvek.rom)
sleep 1.1
cp "$bad" firmware.elf
if m firmware.hex; then fail "a refused executable built the listing"; fi
if m tolvek.rom; then fail "a refused executable built the ROM"; fi
[ "$(md5sum < firmware.hex)" = "$good_hex" ] || fail "old listing changed"
[ "$(md5sum < tolvek.rom)" = "$good_rom" ] || fail "old ROM changed"
[ ! -e firmware.hex.tmp ] || fail "temporary left behind"
ls -a | grep -q '^\.tolvek' && fail "ROM temporary left behind"
echo "make example: ok"
