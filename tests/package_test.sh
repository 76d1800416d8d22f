#!/bin/bash
# Builds the Debian package from a configured build tree and checks what it
# installs. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
(cd "$dir" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$dir"/*.deb)
files=$(dpkg -c "$deb" | awk '$1 !~ /^d/ {print $NF}')
echo "$files"
[ "$files" = "$(printf './usr/bin/romwright\n./usr/share/man/man1/romwright.1.gz')" ] ||
  { echo "FAIL: unexpected package contents"; exit 1; }
dpkg-deb -f "$deb" Package Version
