#!/bin/sh
# Builds the Debian packages from a clean copy of the source tree, checks
# them with lintian, installs them, uses them as the documents do (Vexholt on
# the stale sample, tile_check through find_package and through pkg-config),
# then purges them and checks that nothing of theirs is left on disk.
# Installs into the system, so it needs root.
# Usage: debian_test.sh SOURCE_DIR
set -eu
src=$(cd "$1" && pwd)
export LC_ALL=C DEBIAN_FRONTEND=noninteractive
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH
fail() { echo "debian test: $*"; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root to install the packages"
pkgs="vexholt liblidar1 liblidar-dev"
installed() { dpkg-query -W -f='${db:Status-Status}\n' "$@" 2>/dev/null | grep -qv '^not-installed$'; }
# shellcheck disable=SC2086
installed $pkgs && fail "some of $pkgs are installed already; purge them first"
apt() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >>"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get $* failed"; }; }
tmp=$(mktemp -d)
# shellcheck disable=SC2086
trap 'if installed $pkgs; then apt-get -y -q purge $pkgs >/dev/null 2>&1; fi; rm -rf "$tmp"' EXIT

# The tree as checked out, uncommitted changes included, without build
# directories or anything else git ignores; the packages land beside it in
# $tmp, not beside the checkout.
mkdir "$tmp/src"
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -xf - -C "$tmp/src"
# Without the suite: tests/run has just run it on the same sources with the
# same compiler, and building it again took half this stage.
(cd "$tmp/src" && DEB_BUILD_OPTIONS="parallel=2 nocheck" dpkg-buildpackage -us -uc -b) \
    >"$tmp/build.log" 2>&1 || { tail -50 "$tmp/build.log"; fail "dpkg-buildpackage failed"; }
for p in $pkgs; do
    [ -f "$(echo "$tmp/${p}_"*.deb)" ] || fail "no $p package was built"
done
lintian --fail-on error,warning "$tmp"/vexholt_*.changes || fail "lintian reports the tags above"

# What the packages would put on disk, and which of their directories are
# there already (shared ones such as /usr/bin must stay).
for p in $pkgs; do
    dpkg-deb --fsys-tarfile "$tmp/${p}_"*.deb | tar -tf - | sed 's|^\./|/|; s|/$||' | grep -v '^$'
done | sort -u >"$tmp/paths"
while read -r f; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done <"$tmp/paths" >"$tmp/before"

apt install "$tmp/vexholt_"*.deb "$tmp/liblidar1_"*.deb "$tmp/liblidar-dev_"*.deb

# The tool: on PATH, with its manual page, fixing the stale sample (1065
# points claimed, 1064 whole records).
[ "$(command -v Vexholt)" = /usr/bin/Vexholt ] || fail "Vexholt is not /usr/bin/Vexholt"
[ -f /usr/share/man/man1/Vexholt.1.gz ] || fail "no compressed manual page"
# The README where the manual pages send their readers; the upstream
# changelog as changelog.gz, with the Debian one beside it.
for page in Vexholt Vexholt-audit; do
    doc=$(zcat "/usr/share/man/man1/$page.1.gz" | sed -n 's|^\.I \\%\(/usr/share/doc/.*\)$|\1|p')
    zcat "$doc" 2>/dev/null | cmp -s - "$src/README.md" || fail "$page(1) sends its readers to '$doc', not to the README"
done
zcat /usr/share/doc/vexholt/changelog.gz | cmp -s - "$src/CHANGELOG.md" || fail "changelog.gz is not CHANGELOG.md"
# The guides the README leads to, in doc/ beside it (compressed or not, as
# dh_compress decides by size).
for guide in "$src"/doc/*.md "$src/doc/report.png"; do
    name=/usr/share/doc/vexholt/doc/${guide##*/}
    if [ -f "$name.gz" ]; then zcat "$name.gz"; else cat "$name" 2>/dev/null; fi | cmp -s - "$guide" ||
        fail "doc/${guide##*/} is not installed as $name"
done
[ -f /usr/share/doc/vexholt/changelog.Debian.gz ] || fail "no changelog.Debian.gz"
cp "$src/samples/1.2-with-color-clipped.las" "$tmp/tile.las"
chmod u+w "$tmp/tile.las"
count() { od -A n -t u4 -j 107 -N 4 "$1" | tr -d ' '; }
[ "$(count "$tmp/tile.las")" = 1065 ] || fail "the sample's header is not the stale one"
Vexholt "$tmp/tile.las" >"$tmp/vexholt.out" || fail "Vexholt failed on the sample: $(cat "$tmp/vexholt.out")"
grep -q "has been updated" "$tmp/vexholt.out" || fail "Vexholt did not report the update"
[ "$(count "$tmp/tile.las")" = 1064 ] || fail "Vexholt left the point count at $(count "$tmp/tile.las")"
# The audit opens PROJ by name: the package must bring it, and it must work.
dpkg-deb -f "$tmp/vexholt_"*.deb Depends | grep -q libproj || fail "vexholt does not depend on PROJ's library"
Vexholt-audit -q --format jsonl "$src/tests/data/lasdata/srs.las" | grep -q '"horizontal":"EPSG:32617"' ||
    fail "the installed audit did not identify srs.las's coordinate system with PROJ"

# The library: known to the dynamic loader, its version in the header, and
# pkg-config adds nothing but the library itself.
ldconfig -p | grep -q 'liblidar.so.1 ' || fail "ldconfig does not know liblidar.so.1"
grep -rq LIDAR_VERSION_STRING /usr/include || fail "no LIDAR_VERSION_STRING under /usr/include"
[ "$(pkg-config --cflags lidar | sed 's/ *$//')" = "" ] || fail "pkg-config --cflags lidar: '$(pkg-config --cflags lidar)'"
[ "$(pkg-config --libs lidar | sed 's/ *$//')" = "-llidar" ] || fail "pkg-config --libs lidar: '$(pkg-config --libs lidar)'"

# The library guide's tile_check, through find_package and through
# pkg-config, as a tool author on the machine would build it.
section() { awk '/^## For tool authors/ { on = 1; next } /^## / { on = 0 } on' "$src/doc/library.md"; }
block() {
    section | awk -v lang="$1" '$0 == "```" lang && !done { on = 1; next }
                                 on && $0 == "```" { on = 0; done = 1 } on'
}
mkdir "$tmp/consumer"
block c >"$tmp/consumer/tile_check.c"
block cmake >"$tmp/consumer/CMakeLists.txt"
want="LAS type 8; lowest -3.00 was entry 1"
{ cmake -S "$tmp/consumer" -B "$tmp/cbuild" && cmake --build "$tmp/cbuild"; } >"$tmp/cbuild.log" 2>&1 ||
    { cat "$tmp/cbuild.log"; fail "tile_check does not build with find_package(LiDAR)"; }
# shellcheck disable=SC2046
cc "$tmp/consumer/tile_check.c" $(pkg-config --cflags --libs lidar) -o "$tmp/pc_tile_check" ||
    fail "tile_check does not build with pkg-config"
for exe in "$tmp/cbuild/tile_check" "$tmp/pc_tile_check"; do
    out=$("$exe" "$tmp/tile.las") || fail "$exe failed"
    [ "$out" = "$want" ] || fail "$exe printed '$out', not '$want'"
    readelf -d "$exe" | grep -q 'NEEDED.*liblidar.so.1' || fail "$exe is not linked to liblidar.so.1"
done

# Purged: unknown to dpkg and the loader, and every path the packages
# brought is gone unless it was there before.
# shellcheck disable=SC2086
apt purge $pkgs
# shellcheck disable=SC2086
installed $pkgs && fail "dpkg still lists some of $pkgs: $(dpkg -l $pkgs | tail -n +6)"
ldconfig -p | grep -q liblidar && fail "ldconfig still lists liblidar"
while read -r f; do [ -e "$f" ] || [ -L "$f" ] && echo "$f"; done <"$tmp/paths" >"$tmp/after"
cmp -s "$tmp/before" "$tmp/after" || fail "left behind: $(comm -13 "$tmp/before" "$tmp/after" | tr '\n' ' ')"
echo "debian: three packages built, lintian clean, installed, used and purged without a trace"
