#!/bin/sh
# The audit guide's recipe for auditing across machines, run as printed against
# this machine alone (a hosts file holding ":"), then run again to resume;
# tiles at the top of the delivery and below it, an empty subfolder, and a
# delivery with no subfolder at all.
# Usage: audit_parallel.sh GUIDE BINDIR LASDATA
set -eu
readme=$1
PATH=$2:$PATH
lasdata=$3
export PATH
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
survey=$tmp/survey
mkdir -p "$survey/a" "$survey/b c" "$survey/d" "$survey/empty" "$tmp/work"
cp "$lasdata/simple.las" "$lasdata/1.2-with-color-clipped.las" "$survey/a/"
cp "$lasdata/sample_c.las" "$survey/b c/"
cp "$lasdata/test1_4.las" "$survey/d/"
head -c 100 "$lasdata/simple.las" >"$survey/d/broken.las"
cp "$lasdata/1.2_1.las" "$survey/top.las"
cp "$lasdata/simple.las" "$survey/TOP.LAS"
sed -n '/<!-- audit-recipe/,/^```$/p' "$readme" | sed '1,2d;$d' | sed "s|/data/survey|$survey|" >"$tmp/recipe.sh"
grep -q -- '--sshloginfile hosts' "$tmp/recipe.sh" || { echo "no recipe found in $readme"; exit 1; }
cd "$tmp/work"
echo : >hosts
status=0
fail() { echo "$*"; status=1; }

sh ../recipe.sh 2>/dev/null
[ "$(wc -l <report.jsonl)" = 7 ] || fail "report holds $(wc -l <report.jsonl) lines, not 7"
for want in "current 2" "stale 3" "short 1" "refused 1"; do
    n=$(grep -c "\"status\":\"${want% *}\"" report.jsonl || true)
    [ "$n" = "${want#* }" ] || fail "$n files ${want% *}, expected ${want#* }"
done
grep -q "^{\"path\":\"$survey/b c/sample_c.las\",\"status\":\"stale\"" report.jsonl || fail "no line for b c/sample_c.las"
grep -q "^{\"path\":\"$survey/top.las\",\"status\":\"stale\"" report.jsonl || fail "no line for the tile at the top"
# Only the directory with the refused file failed.
[ "$(awk -F'\t' 'NR > 1 && $7 != 0' audit.joblog | wc -l)" = 1 ] || fail "not exactly one failed job"
cp report.jsonl first.jsonl

# Resuming judges only that directory again, and the report stays whole.
sh ../recipe.sh 2>/dev/null
[ "$(awk 'NR > 1' audit.joblog | wc -l)" = 7 ] || fail "resume ran $(($(wc -l <audit.joblog) - 7)) jobs, not 1"
cmp -s first.jsonl report.jsonl || fail "report changed on resume"

# A delivery of tiles without subfolders, and one with nothing at all.
for case in "flat 1" "bare 0"; do
    survey=$tmp/${case% *}
    mkdir -p "$survey" "$tmp/${case% *}.work"
    [ "${case#* }" = 0 ] || cp "$lasdata/simple.las" "$survey/only.las"
    sed -n '/<!-- audit-recipe/,/^```$/p' "$readme" | sed '1,2d;$d' | sed "s|/data/survey|$survey|" >"$tmp/recipe.sh"
    (cd "$tmp/${case% *}.work" && echo : >hosts && sh ../recipe.sh 2>/dev/null) || fail "${case% *} delivery: the recipe failed"
    [ "$(wc -l <"$tmp/${case% *}.work/report.jsonl")" = "${case#* }" ] || fail "${case% *} delivery: report of $(wc -l <"$tmp/${case% *}.work/report.jsonl") lines"
done
[ "$status" = 0 ] || { echo "report:"; cat report.jsonl; echo "joblog:"; cat audit.joblog; }
[ "$status" = 0 ] && echo "the recipe audits and resumes as documented"
exit "$status"
