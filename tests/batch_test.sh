#!/bin/sh
# Runs each "Many tiles" recipe exactly as doc/audit.md prints it, with Vexholt
# and Vexholt-audit on PATH, in a folder mixing consistent, stale and refused
# tiles (some in a subfolder, some with spaces in their names, one named in
# upper case). Afterwards every tile Vexholt accepts holds what a run on it
# alone gives, every refused tile is unchanged, and the recipe's log names
# exactly the refused ones and keeps a first run's lines over a rerun.
# Usage: batch_test.sh VEXHOLT SOURCE_DIR VEXHOLT_AUDIT
set -eu
vexholt=$1
src=$2
audit=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export LC_ALL=C
fail() { echo "batch test: $*"; exit 1; }
mkdir "$tmp/bin"
ln -s "$vexholt" "$tmp/bin/Vexholt"
ln -s "$audit" "$tmp/bin/Vexholt-audit"
PATH=$tmp/bin:$PATH
data=$src/tests/data/lasdata

# The recipes: the sh blocks of the section, in order.
recipe() {
    awk '/^## Many tiles/ { on = 1; next } /^## / { on = 0 } on' "$src/doc/audit.md" |
        awk -v want="$1" '$0 == "```sh" { n++; if (n == want) { on = 1; next } }
                           on && $0 == "```" { exit } on'
}
recipe 1 >"$tmp/audit.sh"
recipe 2 >"$tmp/parallel.sh"
recipe 3 >"$tmp/xargs.sh"
grep -q 'Vexholt-audit .*--fix' "$tmp/audit.sh" || fail "no Vexholt-audit recipe first in doc/audit.md"
grep -q 'parallel ' "$tmp/parallel.sh" || fail "no GNU parallel recipe in doc/audit.md"
grep -q 'xargs' "$tmp/xargs.sh" || fail "no xargs recipe in doc/audit.md"

# Tiles: name in the folder <- corpus file. Stale ones outnumber the cores,
# so a batch that stopped at a refusal would leave some stale.
accepted="simple.las:simple.las simple1_1.las:simple1_1.las stale.las:1.2-with-color-clipped.las
    sample_c.las:sample_c.las spurious.las:spurious.las 1.0_1.las:1.0_1.las
    block_7/certainty3d.las:certainty3d-color-utm-feet-navd88.las
    block_7/tile_with_space.las:sample_c.las block_7/1.1_0.las:1.1_0.las"
refused="v14.las:test1_4.las block_7/v13.las:vegetation_1_3.las
    length.las:1.2-empty-geotiff-vlrs.las block_7/extra_bytes.las:extrabytes.las UPPER.LAS:simple.las"
make_folder() {  # DIR
    for pair in $accepted $refused; do
        name=$(echo "${pair%%:*}" | tr _ ' ')
        mkdir -p "$1/$(dirname "$name")"
        cp "$data/${pair#*:}" "$1/$name"
        chmod u+w "$1/$name"
    done
}
names() { for pair in "$@"; do echo "./${pair%%:*}" | tr _ ' '; done; }

# What each accepted tile should become: Vexholt run on a copy of it alone.
make_folder "$tmp/alone"
(cd "$tmp/alone" && names $accepted | while read -r f; do Vexholt "$f" >/dev/null || echo "$f"; done) >"$tmp/alone.refused"
[ ! -s "$tmp/alone.refused" ] || fail "Vexholt alone refused $(cat "$tmp/alone.refused")"
cmp -s "$data/1.2-with-color-clipped.las" "$tmp/alone/stale.las" && fail "the stale tile was not updated"

# check DIR LISTED: tiles against expectations, LISTED the refused names the
# log gives, one a line.
check() {
    names $accepted | while read -r f; do
        cmp -s "$tmp/alone/$f" "$1/$f" || echo "$f: not as Vexholt alone leaves it"
    done >"$tmp/bad"
    names $refused | while read -r f; do
        cmp -s "$tmp/alone/$f" "$1/$f" || echo "$f: refused but changed"
    done >>"$tmp/bad"
    [ ! -s "$tmp/bad" ] || fail "$(cat "$tmp/bad")"
    names $refused | sort >"$tmp/want"
    sort "$2" | cmp -s "$tmp/want" - || fail "the log names '$(tr '\n' ' ' <"$2")', not the refused '$(tr '\n' ' ' <"$tmp/want")'"
}

# GNU parallel: the job log lists the refused tiles with status 255, every
# line of the output begins with its tile, and a second run after fixing a
# refused tile retries only the refused ones.
make_folder "$tmp/p"
(cd "$tmp/p" && sh "$tmp/parallel.sh") && fail "parallel recipe reported no failure"
awk -F'\t' 'NR > 1 && $7 != 0 { print $9 }' "$tmp/p/vexholt.joblog" |
    sed -e 's/^out=\$(Vexholt \(.*\)); s=.*$/\1/' -e "s/^'\(.*\)'$/\1/" >"$tmp/p.refused"
check "$tmp/p" "$tmp/p.refused"
[ "$(awk -F'\t' 'NR > 1 && $7 == 255' "$tmp/p/vexholt.joblog" | wc -l)" = 5 ] || fail "refusals do not exit with 255 in the job log"
grep -v -F -f "$tmp/want" "$tmp/p/vexholt.log" | grep -q 'Cannot\|incompatible' && fail "a refusal in vexholt.log is not tagged with its tile"
grep -q "^\./v14\.las	Cannot handle las files of version 1\.4$" "$tmp/p/vexholt.log" || fail "vexholt.log does not tag the 1.4 refusal"
grep -q "^\./UPPER\.LAS	File extension of \./UPPER\.LAS is not \.las$" "$tmp/p/vexholt.log" || fail "vexholt.log does not name the upper-case tile"
grep -q 'Corvale\|	$' "$tmp/p/vexholt.log" && fail "the banner or an empty line reached vexholt.log"
[ "$(wc -l <"$tmp/p/vexholt.log")" = 14 ] || fail "vexholt.log holds $(wc -l <"$tmp/p/vexholt.log") lines, not one for each of 9 updates and 5 refusals"
cp "$data/1.2-with-color-clipped.las" "$tmp/p/v14.las"
runs=$(wc -l <"$tmp/p/vexholt.joblog")
(cd "$tmp/p" && sh "$tmp/parallel.sh") && fail "the retry reported no failure"
[ "$(wc -l <"$tmp/p/vexholt.joblog")" = $((runs + 5)) ] || fail "the retry did not run exactly the 5 refused tiles"
cmp -s "$tmp/alone/stale.las" "$tmp/p/v14.las" || fail "the retry did not update the fixed tile"
grep -q "^\./v14\.las	Cannot handle las files of version 1\.4$" "$tmp/p/vexholt.log" || fail "the rerun lost the first run's log"
[ "$(wc -l <"$tmp/p/vexholt.log")" = 19 ] || fail "the rerun did not add its 5 lines to vexholt.log"

# xargs: the batch ends normally and refused.log names the refused tiles.
make_folder "$tmp/x"
(cd "$tmp/x" && sh "$tmp/xargs.sh") || fail "xargs recipe failed"
sed -n 's/^refused: //p' "$tmp/x/refused.log" >"$tmp/x.refused"
[ "$(wc -l <"$tmp/x/refused.log")" = 5 ] || fail "refused.log holds more than the refusals: $(cat "$tmp/x/refused.log")"
check "$tmp/x" "$tmp/x.refused"

# The audit: one process fixes every stale tile it can read, also those
# Vexholt refuses (and says that Vexholt would), and leaves each tile
# Vexholt accepts as Vexholt alone does.
make_folder "$tmp/a"
(cd "$tmp/a" && sh "$tmp/audit.sh" >audit.log 2>&1) || fail "the audit recipe failed: $(cat "$tmp/a/audit.log")"
[ "$(grep -c 'Vexholt would refuse it' "$tmp/a/audit.log")" = 5 ] || fail "the audit does not note Vexholt's 5 refusals"
rm "$tmp/a/audit.log"
names $accepted | while read -r f; do
    cmp -s "$tmp/alone/$f" "$tmp/a/$f" || echo "$f: not as Vexholt alone leaves it"
done >"$tmp/bad"
[ ! -s "$tmp/bad" ] || fail "$(cat "$tmp/bad")"
(cd "$tmp/a" && Vexholt-audit -q --profile stats . >/dev/null) || fail "the audit left tiles stale"
echo "batch recipes: accepted tiles updated, refused ones unchanged and named"
