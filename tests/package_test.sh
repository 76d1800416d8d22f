#!/bin/bash
# Builds the Debian packages (in BUILD_DIR/package-build, which later runs
# reuse), holds them to lintian, installs them into a scratch root with
# dpkg -x and uses them from there: the tool; and, where those packages
# exist, a C++ program built against the installed CMake package, the
# installed pkg-config file and the Python module.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR TOOL
# (TOOL: the normal build's romwright, whose output the packaged one must give)
set -euo pipefail
build=$1 source=$2 tool=$3
elf=$source/testdata/blink-mips.elf
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

pkgbuild=$build/package-build
"$source/packaging/build-packages.sh" "$pkgbuild" >"$dir/files" || fail "building the packages"
mapfile -t files <"$dir/files"
declare -A deb=()
for f in "${files[@]}"; do deb[$(dpkg-deb -f "$f" Package)]=$f; done
echo "packages: ${!deb[*]}"

# Every package the build has files for is there: the tool always, the
# development files once the library has public headers, the module once
# pybind11 was found.
expected="romwright romwright-dbgsym"
[ -d "$source/include/romwright" ] && expected="$expected libromwright-dev"
grep -q '^pybind11_DIR:PATH=/' "$pkgbuild/CMakeCache.txt" && expected="$expected python3-romwright"
for p in $expected; do [ -n "${deb[$p]:-}" ] || fail "no package $p"; done

# No errors and no warnings; informational and pedantic tags are shown.
rc=0
lintian --fail-on error,warning --display-info --pedantic "${files[@]}" >"$dir/lintian" 2>&1 || rc=$?
grep -v '^running with root privileges' "$dir/lintian" || true
[ "$rc" -eq 0 ] || fail "lintian"

contents=$(dpkg -c "${deb[romwright]}" | awk '$1 !~ /^d/ {print $6}')
[ "$contents" = "$(printf '%s\n' ./usr/bin/romwright ./usr/share/doc/romwright/changelog.Debian.gz \
  ./usr/share/doc/romwright/copyright ./usr/share/lintian/overrides/romwright \
  ./usr/share/man/man1/romwright.1.gz)" ] || fail "romwright holds: $contents"

root=$dir/root
for f in "${files[@]}"; do dpkg -x "$f" "$root"; done

# The tool: linked dynamically, stripped, its debug information in the
# -dbgsym package under its build ID; it gives what the build's tool gives.
bin=$root/usr/bin/romwright
readelf -d "$bin" | grep -q NEEDED || fail "the packaged tool is linked statically"
readelf -S "$bin" | grep -q -e '\.symtab' -e '\.debug_info' && fail "the packaged tool is not stripped"
id=$(readelf -n "$bin" | awk '/Build ID/ {print $3}')
readelf -S "$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" 2>/dev/null | grep -q '\.debug_info' ||
  fail "no debug information for build ID $id"
version=$(dpkg-deb -f "${deb[romwright]}" Version)
zcat "$root/usr/share/doc/romwright/changelog.Debian.gz" | head -n 1 | grep -q "^romwright ($version) " ||
  fail "packaging/changelog's top entry is not version $version"
[ "$("$bin" --version)" = "romwright ${version%-*}" ] || fail "--version says $("$bin" --version)"
"$bin" -f "$elf" -H >"$dir/packaged.hex" 2>/dev/null
"$tool" -f "$elf" -H >"$dir/built.hex" 2>/dev/null
cmp "$dir/packaged.hex" "$dir/built.hex" || fail "the packaged tool's -H listing differs"
"$bin" -f "$elf" --format=vmem --width=32 >"$dir/tool.vmem"

# The development files: a program built against the installed CMake
# package (the static library, and the shared one where it is packaged)
# renders what the tool writes; pkg-config finds the library in the root.
if [ -n "${deb[libromwright-dev]:-}" ]; then
  mkdir "$dir/consumer"
  cat >"$dir/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(consumer CXX)
find_package(romwright REQUIRED)
add_executable(render_static main.cpp)
target_link_libraries(render_static PRIVATE romwright::romwright)
if(TARGET romwright::shared)
  add_executable(render_shared main.cpp)
  target_link_libraries(render_shared PRIVATE romwright::shared)
endif()
EOF
  cat >"$dir/consumer/main.cpp" <<'EOF'
#include <romwright/romwright.hpp>
#include <cstdio>

int main(int, char** argv) {
  auto image = romwright::render({{"input", argv[1]}, {"format", "vmem"}, {"width", "32"}});
  if (!image) {
    std::fprintf(stderr, "%s\n", image.error().message.c_str());
    return 1;
  }
  std::fwrite(image.value().data(), 1, image.value().size(), stdout);
  return 0;
}
EOF
  cmake -S "$dir/consumer" -B "$dir/consumer/build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
  cmake --build "$dir/consumer/build" >/dev/null
  "$dir/consumer/build/render_static" "$elf" | cmp - "$dir/tool.vmem" || fail "static library's render"
  if [ -n "${deb[libromwright0]:-}" ]; then
    shared=$dir/consumer/build/render_shared
    [ -x "$shared" ] || fail "the CMake package has no romwright::shared"
    ldd "$shared" | grep -q "$root/usr/lib/.*/libromwright.so.0" || fail "render_shared does not use the packaged library"
    "$shared" "$elf" | cmp - "$dir/tool.vmem" || fail "shared library's render"
  fi
  pc=$(find "$root/usr/lib" -name romwright.pc)
  [ -n "$pc" ] || fail "no romwright.pc"
  libdir=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --variable=libdir romwright)
  [ -f "$root$libdir/libromwright.a" ] || fail "romwright.pc's libdir $libdir holds no libromwright.a"
fi

# The Python module, imported from the root.
if [ -n "${deb[python3-romwright]:-}" ]; then
  PYTHONPATH=$root/usr/lib/python3/dist-packages python3 -c '
import sys, romwright
assert romwright.__file__.startswith(sys.argv[2]), romwright.__file__
sys.stdout.buffer.write(romwright.render(sys.argv[1], format="vmem", width=32))' "$elf" "$root" |
    cmp - "$dir/tool.vmem" || fail "the Python module's render"
fi
echo ok
