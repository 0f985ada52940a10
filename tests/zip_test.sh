#!/bin/sh
# Makes the Windows .zip, unpacks it into an empty folder and uses it as a
# Windows user would, under Wine: the licence and the readable docs are
# there, its Vexholt.exe updates a copy of the sample named in CJK
# characters, and README.txt's MinGW example builds against the unpacked
# files and runs with the DLL beside it.
# Usage: zip_test.sh CMAKE CPACK BUILD_DIR SOURCE_DIR CC
set -eu
cmake=$1
cpack=$2
build=$3
src=$4
cc=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Wine hands arguments from the shell to Windows programs in the locale's encoding.
export LC_ALL=C.UTF-8
fail() { echo "zip test: $*"; exit 1; }

(cd "$build" && "$cpack" -G ZIP -B "$tmp/out" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; fail "cpack failed"; }
zip=$(find "$tmp/out" -maxdepth 1 -name '*.zip')
[ -f "$zip" ] || fail "cpack made no .zip"
mkdir "$tmp/unpacked"
(cd "$tmp/unpacked" && "$cmake" -E tar xf "$zip")
root=$(find "$tmp/unpacked" -mindepth 1 -maxdepth 1 -type d)

same() { cmp -s "$root/$1" "$src/$2" || fail "$1 missing or not the source tree's"; }
same LICENSE LICENSE
same THIRD-PARTY-NOTICES.md THIRD-PARTY-NOTICES.md
for l in "$src"/tests/data/lasdata/LICENSES/*; do
    same "LICENSES/${l##*/}" "tests/data/lasdata/LICENSES/${l##*/}"
done
grep -q "^Using the DLL from your own tools" "$root/README.txt" || fail "README.txt missing or incomplete"
grep -q "put liblidar.dll beside" "$root/README.txt" || fail "README.txt does not say where the DLL goes"
grep -q "^NAME" "$root/Vexholt.txt" && grep -q "^EXIT STATUS" "$root/Vexholt.txt" ||
    fail "the manual is missing or not rendered"

tile="tile_東京.las"
cp "$src/samples/1.2-with-color-clipped.las" "$tmp/$tile"
(cd "$tmp" && wine "$root/bin/Vexholt.exe" "$tile" >out.txt 2>/dev/null) || fail "Vexholt.exe failed: $(cat "$tmp/out.txt")"
grep -q "Header of file $tile has been updated" "$tmp/out.txt" ||
    fail "Vexholt.exe did not update $tile: $(cat "$tmp/out.txt")"
cmp -s "$src/samples/1.2-with-color-clipped.las" "$tmp/$tile" && fail "$tile was not changed"

# README.txt, in the unpacked folder: build, put the DLL beside, run.
cp "$src/samples/1.2-with-color-clipped.las" "$root/tile.las"
(cd "$root" && "$cc" -DLIDAR_DLL -Iinclude examples/tile_check.c -Llib -llidar -o tile_check.exe &&
    cp bin/liblidar.dll . &&
    wine tile_check.exe tile.las >"$tmp/example.txt" 2>/dev/null) ||
    fail "the README's example did not build or run: $(cat "$tmp/example.txt" 2>/dev/null)"
grep -q "^LAS type 8; lowest -3.00 was entry 1" "$tmp/example.txt" ||
    fail "the README's example printed: $(cat "$tmp/example.txt")"
echo "zip: docs inside; Vexholt.exe and the README's example run from the unpacked folder"
