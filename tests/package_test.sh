#!/bin/sh
# Makes the .deb and the .tar.gz from the build tree and checks that they
# hold the same install tree, that the packaged (stripped) binaries still
# export the twenty routines and run, and that the .deb registers the
# shared library with the dynamic loader.
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR
set -eu
cpack=$1
build=$2
src=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LC_ALL=C
fail() { echo "package test: $*"; exit 1; }

(cd "$build" && "$cpack" -G "DEB;TGZ" -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
deb=$(find "$tmp/out" -maxdepth 1 -name '*.deb')
tgz=$(find "$tmp/out" -maxdepth 1 -name '*.tar.gz')
[ -f "$deb" ] && [ -f "$tgz" ] || fail "cpack did not make one .deb and one .tar.gz"

mkdir "$tmp/deb" "$tmp/tgz"
dpkg-deb -x "$deb" "$tmp/deb"
tar -xzf "$tgz" -C "$tmp/tgz"
debroot=$tmp/deb/usr
tgzroot=$(find "$tmp/tgz" -mindepth 1 -maxdepth 1 -type d)
(cd "$debroot" && find . | sort) >"$tmp/deb.list"
(cd "$tgzroot" && find . | sort) >"$tmp/tgz.list"
cmp -s "$tmp/deb.list" "$tmp/tgz.list" ||
    fail "the packages hold different trees: $(diff "$tmp/deb.list" "$tmp/tgz.list")"
for f in bin/Vexholt bin/Vexholt-audit include/LiDAR.h share/man/man1/Vexholt.1 share/man/man1/Vexholt-audit.1; do
    grep -q -x "./$f" "$tmp/deb.list" || fail "packages lack $f"
done

lib=$(find "$debroot" -name 'liblidar.so.*.*.*')
sh "$src/tests/exported_symbols.sh" "$lib" "$debroot/bin/Vexholt" >"$tmp/symbols.log" ||
    { cat "$tmp/symbols.log"; fail "packaged binaries export the wrong symbols"; }
"$tgzroot/bin/Vexholt" >"$tmp/usage.out" && fail "packaged Vexholt accepted no argument"
grep -q "Usage: Vexholt <LAS File>" "$tmp/usage.out" || fail "packaged Vexholt printed no usage"

dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6' || fail ".deb does not depend on the C++ runtime"
dpkg-deb --ctrl-tarfile "$deb" | tar -xf - -C "$tmp" ./shlibs ./postinst ||
    fail ".deb has no shlibs or postinst"
grep -q '^liblidar 1 ' "$tmp/shlibs" || fail ".deb shlibs does not name liblidar 1"
grep -q ldconfig "$tmp/postinst" || fail ".deb does not run ldconfig"
echo "packages: .deb and .tar.gz hold the same tree"
