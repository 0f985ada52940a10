#!/bin/sh
# The README's recipe for auditing across machines, run as printed against
# this machine alone (a hosts file holding ":"), then run again to resume.
# Usage: audit_parallel.sh README BINDIR LASDATA
set -eu
readme=$1
PATH=$2:$PATH
lasdata=$3
export PATH
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
survey=$tmp/survey
mkdir -p "$survey/a" "$survey/b c" "$survey/d" "$tmp/work"
cp "$lasdata/simple.las" "$lasdata/1.2-with-color-clipped.las" "$survey/a/"
cp "$lasdata/sample_c.las" "$survey/b c/"
cp "$lasdata/test1_4.las" "$survey/d/"
sed -n '/<!-- audit-recipe/,/^```$/p' "$readme" | sed '1,2d;$d' | sed "s|/data/survey|$survey|" >"$tmp/recipe.sh"
grep -q -- '--sshloginfile hosts' "$tmp/recipe.sh" || { echo "no recipe found in $readme"; exit 1; }
cd "$tmp/work"
echo : >hosts
status=0
fail() { echo "$*"; status=1; }

sh ../recipe.sh 2>/dev/null
[ "$(wc -l <report.jsonl)" = 4 ] || fail "report holds $(wc -l <report.jsonl) lines, not 4"
for want in "current 1" "stale 2" "refused 1"; do
    n=$(grep -c "\"status\":\"${want% *}\"" report.jsonl || true)
    [ "$n" = "${want#* }" ] || fail "$n files ${want% *}, expected ${want#* }"
done
grep -q "^{\"path\":\"$survey/b c/sample_c.las\",\"status\":\"stale\"" report.jsonl || fail "no line for b c/sample_c.las"
# Only the directory with the refused file failed.
[ "$(awk -F'\t' 'NR > 1 && $7 != 0' audit.joblog | wc -l)" = 1 ] || fail "not exactly one failed job"
cp report.jsonl first.jsonl

# Resuming judges only that directory again, and the report stays whole.
sh ../recipe.sh 2>/dev/null
[ "$(awk 'NR > 1' audit.joblog | wc -l)" = 4 ] || fail "resume ran $(($(wc -l <audit.joblog) - 4)) jobs, not 1"
cmp -s first.jsonl report.jsonl || fail "report changed on resume"
[ "$status" = 0 ] || { echo "report:"; cat report.jsonl; echo "joblog:"; cat audit.joblog; }
[ "$status" = 0 ] && echo "the recipe audits and resumes as documented"
exit "$status"
