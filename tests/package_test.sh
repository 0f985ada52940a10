#!/bin/sh
# Makes the relocatable .tar.gz from the build tree and checks that it holds
# the install tree, that the packed (stripped) binaries still export the
# twenty routines and run, and that the tree works where it is unpacked.
# The Debian packages are built from debian/ (tests/debian_test.sh).
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR [EMPTY_PROGRAM]
# (EMPTY_PROGRAM: as exported_symbols.sh takes it)
set -eu
cpack=$1
build=$2
src=$3
empty=${4:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LC_ALL=C
fail() { echo "package test: $*"; exit 1; }

(cd "$build" && "$cpack" -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
made=$(cd "$tmp/out" && find . -maxdepth 1 -type f | sort)
tgz=$(find "$tmp/out" -maxdepth 1 -name '*.tar.gz')
[ "$made" = "./$(basename "$tgz")" ] || fail "cpack made '$made', not one .tar.gz"

mkdir "$tmp/tgz"
tar -xzf "$tgz" -C "$tmp/tgz"
root=$(find "$tmp/tgz" -mindepth 1 -maxdepth 1 -type d)
DESTDIR=$tmp/direct "$(dirname "$cpack")/cmake" --install "$build" --prefix /p >/dev/null
(cd "$tmp/direct/p" && find . | sort) >"$tmp/direct.list"
(cd "$root" && find . | sort) >"$tmp/tgz.list"
cmp -s "$tmp/direct.list" "$tmp/tgz.list" ||
    fail "the .tar.gz differs from the install tree: $(diff "$tmp/direct.list" "$tmp/tgz.list")"
for f in bin/Vexholt bin/Vexholt-audit include/LiDAR.h share/man/man1/Vexholt.1 share/man/man1/Vexholt-audit.1; do
    grep -q -x "./$f" "$tmp/tgz.list" || fail "the .tar.gz lacks $f"
done

lib=$(find "$root" -name 'liblidar.so.*.*.*')
sh "$src/tests/exported_symbols.sh" "$lib" "$root/bin/Vexholt" $empty >"$tmp/symbols.log" ||
    { cat "$tmp/symbols.log"; fail "packed binaries export the wrong symbols"; }
"$root/bin/Vexholt" >"$tmp/usage.out" && fail "packed Vexholt accepted no argument"
grep -q "Usage: Vexholt <LAS File>" "$tmp/usage.out" || fail "packed Vexholt printed no usage"

# Relocatable: moved elsewhere, pkg-config still points into the tree.
mv "$root" "$tmp/moved"
pc=$(find "$tmp/moved" -name lidar.pc)
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags lidar | sed "s/ *$//")
[ -f "${cflags#-I}/LiDAR.h" ] || fail "unpacked lidar.pc gives '$cflags', not the unpacked include directory"
echo "package: the .tar.gz holds the install tree and works where it is unpacked"
