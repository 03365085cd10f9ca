#!/usr/bin/env bash
# Installs the library as a user would, static and shared, and builds the
# README's C example against each install twice: with `pkg-config` (--static
# for the static library) and as a CMake project with find_package(cdimage).
# Every program must list the names of a genisoimage volume as isoinfo does.
#   install_test.sh <source dir> <build dir> <shared: ON|OFF> <C compiler> <work dir>
set -euo pipefail
source_dir=$1 build_dir=$2 build_is_shared=$3 cc=$4 work=$5

rm -rf "$work"
mkdir -p "$work"
cd "$work"

fail() {
  echo "install test: $*" >&2
  exit 1
}

# The fixture: a small tree mastered by genisoimage, behind a one-track cue
# sheet; isoinfo's listing of it is the expected output.
mkdir -p tree/DOCS/NOTES
echo readme >tree/README.TXT
echo guide >tree/DOCS/GUIDE.TXT
echo todo >tree/DOCS/NOTES/TODO.TXT
genisoimage -quiet -o disc.iso tree
printf 'FILE "disc.iso" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n' >disc.cue
isoinfo -f -i disc.iso | sed -e 's|^/||' -e 's|;1$||' | sort >expected
[ -s expected ] || fail "isoinfo listed nothing"

# The README's C example: the ```c block that has a main function.
awk '/^```c$/ { block = ""; inside = 1; next }
     /^```$/ && inside { if (block ~ /int main\(/) printf "%s", block; inside = 0; next }
     inside { block = block $0 "\n" }' "$source_dir/README.md" >list_entries.c
[ -s list_entries.c ] || fail "README.md has no C example with main"

lists_the_volume() {  # <program> <what>
  "$1" disc.cue 2>/dev/null | sort >listed || fail "$2: the program failed"
  diff -u expected listed || fail "$2: wrong listing"
}

check_install() {  # <prefix> <shared: ON|OFF>
  local prefix=$1 shared=$2
  local libdir
  libdir=$(dirname "$(find "$prefix" -name cdimage.pc)")/..
  local pc_flags=(--cflags --libs)
  [ "$shared" = ON ] || pc_flags+=(--static)
  # shellcheck disable=SC2207
  local flags=($(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config "${pc_flags[@]}" cdimage))
  "$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror list_entries.c -o "list_pc_$shared" "${flags[@]}" \
    -Wl,-rpath,"$libdir" || fail "shared=$shared: pkg-config link failed"
  lists_the_volume "./list_pc_$shared" "pkg-config, shared=$shared"

  cmake -S "$source_dir/tests/install/consumer" -B "consumer_$shared" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" -DLIST_ENTRIES_SOURCE="$work/list_entries.c" >/dev/null ||
    fail "shared=$shared: find_package(cdimage) failed"
  cmake --build "consumer_$shared" >/dev/null || fail "shared=$shared: CMake consumer build failed"
  lists_the_volume "consumer_$shared/list_entries" "CMake consumer, shared=$shared"
}

# The build under test, installed as it is.
cmake --install "$build_dir" --prefix "$work/prefix_$build_is_shared" >/dev/null
check_install "$work/prefix_$build_is_shared" "$build_is_shared"

# The other kind of library, from a build of its own.
other=ON
[ "$build_is_shared" = ON ] && other=OFF
cmake -S "$source_dir" -B other_build -DBUILD_SHARED_LIBS=$other -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build other_build --target cdimage -j2 >/dev/null
cmake --install other_build --component library --prefix "$work/prefix_$other" >/dev/null
check_install "$work/prefix_$other" "$other"

# The shared library exports the public functions and nothing else, under a
# versioned SONAME.
shared_lib=$(find "$work/prefix_ON" -name 'libcdimage.so.*.*')
exported=$(nm -D --defined-only "$shared_lib" | awk '{ print $3 }' | sort)
unexpected=$(grep -v '^cdimage_' <<<"$exported" || true)
[ -z "$unexpected" ] || fail "exported beyond the interface: $unexpected"
declared=$(grep -o 'cdimage_[a-z_]*(' "$source_dir/include/cdimage.h" | tr -d '(' | sort -u)
[ "$exported" = "$declared" ] || fail "exports differ from the header: $(diff <(echo "$declared") <(echo "$exported"))"
readelf -d "$shared_lib" | grep -q 'SONAME.*libcdimage\.so\.[0-9]' || fail "no versioned SONAME"
echo "install test: static and shared installs pass"
