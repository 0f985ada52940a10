#!/bin/sh
# Builds tests/msvc_consumer.c for the Microsoft ABI with clang and lld-link
# against lidar.lib and runs it under Wine beside liblidar.dll on a copy of
# the sample, as a Visual C++ program would use the module.
# Usage: msvc_consumer.sh SOURCE_DIR LIDAR_LIB DLL GENERATED_INCLUDE_DIR
set -eu
src=$1
lib=$2
dll=$3
generated=$4
fail() { echo "msvc consumer: $*"; exit 1; }
for t in clang lld-link llvm-dlltool wine; do
    command -v $t >/dev/null || fail "needs $t (Debian: clang lld llvm wine)"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

printf 'LIBRARY msvcrt.dll\nEXPORTS\n    exit\n' >"$tmp/msvcrt.def"
llvm-dlltool -m i386:x86-64 -d "$tmp/msvcrt.def" -l "$tmp/msvcrt.lib"
# -ffreestanding: <stdint.h> from clang itself, not from an SDK.
clang --target=x86_64-pc-windows-msvc -ffreestanding -O2 -Wall -Wextra -Werror \
    -DLIDAR_DLL -I"$src/lidar" -I"$generated" -c "$src/tests/msvc_consumer.c" -o "$tmp/consumer.obj"
lld-link /nologo /nodefaultlib /subsystem:console /entry:consumer_start \
    /out:"$tmp/consumer.exe" "$tmp/consumer.obj" "$lib" "$tmp/msvcrt.lib"

cp "$dll" "$tmp/"
cp "$src/samples/1.2-with-color-clipped.las" "$tmp/tile.las"
status=0
(cd "$tmp" && wine consumer.exe >out.txt 2>/dev/null) || status=$?
tr -d '\r' <"$tmp/out.txt" >"$tmp/out"
# LAS 1.2 with point format 3 is type 8.
[ "$status" = 8 ] || { cat "$tmp/out"; fail "exit status $status, expected 8"; }
grep -q -x "File missing.las does NOT exist" "$tmp/out" || fail "the DLL's message did not arrive: $(cat "$tmp/out")"
echo "msvc consumer: linked against lidar.lib, ran and got LAS type 8"
