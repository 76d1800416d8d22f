#!/bin/sh
# Builds the Debian packages in build tree DIR: configures it for them (the
# tool linked dynamically, /usr as prefix, Debian's hardening flags, debug
# information for the -dbgsym packages), builds, and runs cpack. Prints the
# paths of the packages, one a line. A tree configured before is reused.
# Usage: build-packages.sh DIR [JOBS]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
jobs=${2:-$(nproc)}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# Debian's flags for packages: fortified functions, stack protector,
# read-only relocations bound at start-up, position-independent executables.
# They map the current folder out of debug file names; taken in the source
# folder, they are the same wherever this script is run from, and a tree
# built before is not rebuilt.
cd "$src"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags=$(dpkg-buildflags --get CXXFLAGS)
cflags=$(dpkg-buildflags --get CFLAGS)
ldflags=$(dpkg-buildflags --get LDFLAGS)

# The micro-benchmarks are in no package: they are left out of this build.
cmake --no-warn-unused-cli -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DROMWRIGHT_STATIC=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" "-DCMAKE_C_FLAGS=$cppflags $cflags" \
  "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" \
  "-DCMAKE_MODULE_LINKER_FLAGS=$ldflags" >"$dir/configure.log" ||
  { cat "$dir/configure.log" >&2; exit 1; }
cmake --build "$dir" -j "$jobs" >"$dir/build.log" || { cat "$dir/build.log" >&2; exit 1; }

out=$dir/debs
rm -rf "$out"
cpack -G DEB --config "$dir/CPackConfig.cmake" -B "$out" >"$dir/cpack.log" 2>&1 ||
  { cat "$dir/cpack.log" >&2; exit 1; }
find "$out" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.ddeb' \) | LC_ALL=C sort
