#!/bin/sh
# Installs the build tree under a temporary prefix, once directly and once
# staged with DESTDIR, and builds the library guide's example tool against each
# install: through find_package(LiDAR) (shared and static) and through
# pkg-config (C and C++), then runs every consumer.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR CC CXX
set -eu
cmake=$1
build=$2
src=$3
cc=$4
cxx=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LC_ALL=C
unset DESTDIR LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
fail() { echo "install test: $*"; exit 1; }

prefix=$tmp/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
DESTDIR=$tmp/stage "$cmake" --install "$build" --prefix /opt/lidar >/dev/null
staged=$tmp/stage/opt/lidar
(cd "$prefix" && find . | sort) >"$tmp/direct.list"
(cd "$staged" && find . | sort) >"$tmp/staged.list"
cmp -s "$tmp/direct.list" "$tmp/staged.list" ||
    fail "DESTDIR install differs from a direct one: $(diff "$tmp/direct.list" "$tmp/staged.list")"

# Every piece is installed, the shared library with its version links.
libdir=$(dirname "$(find "$prefix" -name 'liblidar.so.*.*.*')")
[ -n "$libdir" ] || fail "no versioned liblidar.so"
for f in bin/Vexholt bin/Vexholt-audit include/LiDAR.h share/man/man1/Vexholt.1 share/man/man1/Vexholt-audit.1 \
         share/vexholt/vexholt-audit.schema.json; do
    [ -f "$prefix/$f" ] || fail "missing $f"
done
for f in liblidar.a liblidar.so liblidar.so.1 pkgconfig/lidar.pc cmake/LiDAR/LiDARConfig.cmake \
    cmake/LiDAR/LiDARConfigVersion.cmake cmake/LiDAR/LiDARTargets.cmake; do
    [ -e "$libdir/$f" ] || fail "missing $libdir/$f"
done
[ "$(readlink "$libdir/liblidar.so")" = liblidar.so.1 ] || fail "liblidar.so does not point to liblidar.so.1"
# The README where the manual pages send their readers, the changelog beside it.
for page in Vexholt Vexholt-audit; do
    doc=$(sed -n 's|^\.I \\%\(share/doc/.*\)$|\1|p' "$prefix/share/man/man1/$page.1")
    cmp -s "$prefix/$doc" "$src/README.md" || fail "$page(1) sends its readers to '$doc', not to the README"
done
cmp -s "$prefix/${doc%/*}/CHANGELOG.md" "$src/CHANGELOG.md" || fail "no CHANGELOG.md beside the README"
# The guides the README leads to, in doc/ beside it, so its links hold.
for guide in "$src"/doc/*.md "$src/doc/report.png"; do
    cmp -s "$prefix/${doc%/*}/doc/${guide##*/}" "$guide" || fail "doc/${guide##*/} is not installed beside the README"
done

# The installed Vexholt runs on its own: no library path, no library.
sample=$tmp/tile.las
cp "$src/samples/1.2-with-color-clipped.las" "$sample"
chmod u+w "$sample"
"$prefix/bin/Vexholt" "$sample" >"$tmp/vexholt.out" || fail "installed Vexholt failed on the sample"
grep -q "has been updated" "$tmp/vexholt.out" || fail "installed Vexholt did not report the update"
# The installed audit runs on its own too, and agrees.
"$prefix/bin/Vexholt-audit" --quiet --profile stats "$sample" >"$tmp/audit.out" ||
    fail "installed Vexholt-audit finds the updated sample stale"
grep -q "^pass  current " "$tmp/audit.out" || fail "installed Vexholt-audit did not report the sample current"

# The installed header alone, in every language version a tool may use.
printf '#include <LiDAR.h>\n' >"$tmp/header.c"
cp "$tmp/header.c" "$tmp/header.cpp"
for std in c99 c11 c17; do
    "$cc" -std=$std -Wall -Wextra -pedantic -Werror -fsyntax-only -I"$prefix/include" "$tmp/header.c" ||
        fail "LiDAR.h is not clean $std"
done
for std in c++11 c++14 c++17 c++20; do
    "$cxx" -std=$std -Wall -Wextra -pedantic -Werror -fsyntax-only -I"$prefix/include" "$tmp/header.cpp" ||
        fail "LiDAR.h is not clean $std"
done

# The version macros, from the installed header, agree with each other and
# with the version the packages carry.
printf '#include <stdio.h>\n#include <LiDAR.h>\nint main(void) { printf("%%d.%%d.%%d %%s\\n", LIDAR_VERSION_MAJOR, LIDAR_VERSION_MINOR, LIDAR_VERSION_PATCH, LIDAR_VERSION_STRING); return 0; }\n' >"$tmp/version.c"
"$cc" -I"$prefix/include" "$tmp/version.c" -o "$tmp/version" || fail "the version macros do not compile"
pcversion=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion lidar)
[ "$("$tmp/version")" = "$pcversion $pcversion" ] ||
    fail "version macros give '$("$tmp/version")', lidar.pc says $pcversion"

# Installed to /usr, lidar.pc names the system directories literally, so
# pkg-config leaves them out.
DESTDIR=$tmp/system "$cmake" --install "$build" --prefix /usr >/dev/null
syspc=$(dirname "$(find "$tmp/system" -name lidar.pc)")
[ "$(PKG_CONFIG_PATH=$syspc pkg-config --cflags lidar | sed 's/ *$//')" = "" ] ||
    fail "installed to /usr, --cflags gives '$(PKG_CONFIG_PATH=$syspc pkg-config --cflags lidar)'"
[ "$(PKG_CONFIG_PATH=$syspc pkg-config --libs lidar | sed 's/ *$//')" = "-llidar" ] ||
    fail "installed to /usr, --libs gives '$(PKG_CONFIG_PATH=$syspc pkg-config --libs lidar)'"

# The library guide's example, exactly as printed there.
section() { awk '/^## For tool authors/ { on = 1; next } /^## / { on = 0 } on' "$src/doc/library.md"; }
block() {  # the first fenced block of language $1 in that section
    section | awk -v lang="$1" '$0 == "```" lang && !done { on = 1; next }
                                 on && $0 == "```" { on = 0; done = 1 } on'
}
consumer=$tmp/consumer
mkdir "$consumer"
block c >"$consumer/tile_check.c"
block cmake >"$consumer/CMakeLists.txt"
[ -s "$consumer/tile_check.c" ] && [ -s "$consumer/CMakeLists.txt" ] || fail "doc/library.md example not found"
want="LAS type 8; lowest -3.00 was entry 1"

# A C++ tool sees the same interface through extern "C".
cat >"$consumer/tool.cpp" <<'EOF'
#include <LiDAR.h>
#include <cstdio>
int main() {
    LAS12Header h;
    initialize_header12(&h);
    int32_t v[] = {5, -2, 9}, ind[] = {0, 1, 2};
    l_parallel_quicksort(v, 3, ind);
    std::printf("%d %d %d / %d %d %d / %u\n", v[0], v[1], v[2], ind[0], ind[1], ind[2],
                static_cast<unsigned>(h.HeaderSize));
    return check_YN("y");
}
EOF
want_cxx="-2 5 9 / 1 0 2 / 227"

# find_package, against the direct install: the guide's C project, with
# the static library too, and a C++ project.
cat >>"$consumer/CMakeLists.txt" <<'EOF'
add_executable(tile_check_static tile_check.c)
target_link_libraries(tile_check_static PRIVATE LiDAR::lidar_static)
EOF
mkdir "$consumer/cxx"
cp "$consumer/tool.cpp" "$consumer/cxx/"
cat >"$consumer/cxx/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(tool CXX)
find_package(LiDAR 1 REQUIRED)
add_executable(tool tool.cpp)
set_target_properties(tool PROPERTIES CXX_STANDARD 11 CXX_EXTENSIONS OFF)
target_link_libraries(tool PRIVATE LiDAR::lidar)
EOF
cmake_build() {  # SOURCE BUILD
    "$cmake" -S "$1" -B "$2" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >"$2.log" 2>&1 &&
        "$cmake" --build "$2" >>"$2.log" 2>&1 || { cat "$2.log"; fail "find_package consumer $1 did not build"; }
}
cmake_build "$consumer" "$tmp/cbuild"
cmake_build "$consumer/cxx" "$tmp/cxxbuild"
for exe in tile_check tile_check_static; do
    out=$("$tmp/cbuild/$exe" "$sample") || fail "$exe failed"
    [ "$out" = "$want" ] || fail "$exe printed '$out', not '$want'"
done
readelf -d "$tmp/cbuild/tile_check" | grep -q 'NEEDED.*liblidar.so.1' || fail "tile_check is not linked to liblidar.so.1"
readelf -d "$tmp/cbuild/tile_check_static" | grep -q 'NEEDED.*liblidar' && fail "tile_check_static needs the shared library"
out=$("$tmp/cxxbuild/tool") || fail "C++ find_package tool failed"
[ "$out" = "$want_cxx" ] || fail "C++ find_package tool printed '$out', not '$want_cxx'"

# pkg-config, against the DESTDIR-staged tree, from C99 and C++11, with
# every warning an error.
stagedlib=$staged${libdir#"$prefix"}
export PKG_CONFIG_PATH="$stagedlib/pkgconfig"
flags=$(pkg-config --cflags --libs lidar) || fail "pkg-config does not know lidar"
# shellcheck disable=SC2086
"$cc" -std=c99 -Wall -Wextra -pedantic -Werror "$consumer/tile_check.c" $flags -o "$tmp/pc_c" ||
    fail "pkg-config C consumer did not build"
# shellcheck disable=SC2086
"$cxx" -std=c++11 -Wall -Wextra -pedantic -Werror "$consumer/tool.cpp" $flags -o "$tmp/pc_cxx" ||
    fail "pkg-config C++ consumer did not build"
out=$(LD_LIBRARY_PATH="$stagedlib" "$tmp/pc_c" "$sample") || fail "pkg-config C consumer failed"
[ "$out" = "$want" ] || fail "pkg-config C consumer printed '$out', not '$want'"
out=$(LD_LIBRARY_PATH="$stagedlib" "$tmp/pc_cxx") || fail "pkg-config C++ consumer failed"
[ "$out" = "$want_cxx" ] || fail "pkg-config C++ consumer printed '$out', not '$want_cxx'"
# The static archive with what `pkg-config --static` adds for it.
# shellcheck disable=SC2046
"$cc" "$consumer/tile_check.c" $(pkg-config --cflags lidar) "$stagedlib/liblidar.a" \
    $(pkg-config --static --libs-only-l lidar | sed 's/-llidar//') -o "$tmp/pc_static" ||
    fail "pkg-config static consumer did not build"
out=$("$tmp/pc_static" "$sample") || fail "pkg-config static consumer failed"
[ "$out" = "$want" ] || fail "pkg-config static consumer printed '$out', not '$want'"

echo "installed and consumed: find_package (shared, static, C++), pkg-config (C, C++, static)"
