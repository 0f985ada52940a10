#!/bin/sh
# The shared library and Vexholt export exactly the module's twenty
# routines, and Vexholt runs without the shared library.
# Usage: exported_symbols.sh LIBLIDAR_SO VEXHOLT [EMPTY_PROGRAM]
# EMPTY_PROGRAM, built as Vexholt is, exports what the toolchain puts in
# every program (a sanitizer runtime's interface): not counted.
set -eu
lib=$1
exe=$2
empty=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LC_ALL=C
printf '%s\n' credits file_access check_file_extension error_msg \
    check_las update_header initialize_header10 initialize_header11 \
    initialize_header12 check_YN check_numeric_argument check_DEM \
    l_quicksort l_qs d_quicksort d_qs l_parallel_quicksort l_parallel_qs \
    d_parallel_quicksort d_parallel_qs | sort >"$tmp/want"
status=0

# compare WHAT FILE: FILE must hold exactly the twenty names.
compare() {
    sort -u "$2" >"$2.sorted"
    if [ -n "$(comm -13 "$tmp/want" "$2.sorted")" ]; then
        echo "$1 exports more than the twenty routines:"; comm -13 "$tmp/want" "$2.sorted"; status=1
    fi
    if [ -n "$(comm -23 "$tmp/want" "$2.sorted")" ]; then
        echo "$1 does not export:"; comm -23 "$tmp/want" "$2.sorted"; status=1
    fi
}

# The library: the twenty and nothing else, all of them code.
nm -D --defined-only --format=posix "$lib" >"$tmp/lib.nm"
awk '{ print $1 }' "$tmp/lib.nm" >"$tmp/lib"
compare "$lib" "$tmp/lib"
if awk '$2 != "T" { bad = 1; print } END { exit !bad }' "$tmp/lib.nm"; then
    echo "$lib: the symbols above are not plain code"; status=1
fi

# Nothing of the delivery engine in the library or in Vexholt: no LAZ
# decoder, no rule, no coordinate system (local symbols count too, where the
# binaries keep them).
for f in "$lib" "$exe"; do
    if nm -C "$f" 2>/dev/null | grep -E 'lidar::laz::|audit::|TileScan|proj_' >"$tmp/engine"; then
        echo "$f holds the engine's code:"; head -5 "$tmp/engine"; status=1
    fi
done

# The executable: the twenty, besides what the C start-up code puts there
# itself (the marker _IO_stdin_used, version-tagged copies of C library
# data); never any other symbol of the module.
: >"$tmp/toolchain"
[ -z "$empty" ] || nm -D --defined-only --format=posix "$empty" | awk '{ print $1 }' | sort -u >"$tmp/toolchain"
nm -D --defined-only --format=posix "$exe" |
    awk '$1 !~ /@/ && $1 != "_IO_stdin_used" { print $1 }' | sort -u | comm -23 - "$tmp/toolchain" >"$tmp/exe"
compare "$exe" "$tmp/exe"

if readelf -d "$exe" | grep -q 'NEEDED.*liblidar'; then
    echo "$exe needs the shared library at run time"; status=1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
case "$soname" in
    liblidar.so.[0-9]*) ;;
    *) echo "$lib has SONAME '$soname', not liblidar.so.<major>"; status=1 ;;
esac
[ "$status" = 0 ] && echo "both export exactly the twenty routines"
exit "$status"
