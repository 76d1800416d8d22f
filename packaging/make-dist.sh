#!/bin/sh
# Builds the release archive for machines where the package can't be
# installed: a statically linked, stripped romwright with its manual page,
# README.md and LICENSE, in romwright-VERSION-linux-ARCH.tar.gz. The static
# build is made in build tree DIR; the archive is written to OUTDIR and its
# path printed. Names are sorted, owners are root and every date is the
# last commit's (or SOURCE_DATE_EPOCH), so one source gives one archive.
# Usage: make-dist.sh DIR OUTDIR [JOBS]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$1 outdir=$2
jobs=${3:-$(nproc)}

mkdir -p "$dir"
cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DROMWRIGHT_STATIC=ON \
  >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; exit 1; }
cmake --build "$dir" -j "$jobs" --target romwright manpage >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
name=romwright-$version-linux-$(uname -m)

stage=$dir/dist/$name
rm -rf "$dir/dist"
mkdir -p "$stage"
cp "$dir/romwright" "$stage/romwright"
strip --strip-all --remove-section=.comment --remove-section=.note "$stage/romwright"
file -b "$stage/romwright" | grep -q -E 'static(ally|-pie) linked' || { echo "romwright is not linked statically" >&2; exit 1; }
cp "$dir/romwright.1" "$src/README.md" "$src/LICENSE" "$stage/"
chmod 0755 "$stage" "$stage/romwright"
chmod 0644 "$stage/romwright.1" "$stage/README.md" "$stage/LICENSE"

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct 2>/dev/null || date +%s)}
mkdir -p "$outdir"
archive=$(cd "$outdir" && pwd)/$name.tar.gz
tar -C "$dir/dist" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$epoch" \
  --format=gnu -cf - "$name" | gzip -9n >"$archive"
echo "$archive"
