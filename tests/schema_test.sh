#!/bin/sh
# Every kind of line Vexholt-audit writes in JSON Lines, validated against
# the published schema: each status and verdict, refused and compressed files, LAS 1.0
# to 1.4, a name that is not UTF-8, NaN extents, before and after --fix,
# headers only, findings and the delivery's summary.
# Usage: schema_test.sh VEXHOLT_AUDIT SCHEMA DATA_DIR
set -eu
audit=$1
schema=$2
data=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
t=$tmp/t
mkdir -p "$t/v12" "$t/v14"
cp "$data"/lasdata/*.las "$t/v12/"
cp "$data"/lasdata-v14-laz/*.la[sz] "$t/v14/"
chmod -R u+w "$t"
ln "$t/v12/simple.las" "$t/v12/hard link.las"
ln -s nowhere.las "$t/dangling.las"
cp "$data/lasdata/simple.las" "$t/$(printf 'bad\377name.las')"
# A NaN scale factor gives NaN extents.
cp "$data/lasdata/simple.las" "$t/nan.las"
printf '\000\000\000\000\000\000\370\177' | dd of="$t/nan.las" bs=1 seek=131 conv=notrunc 2>/dev/null
{
    "$audit" -q --format jsonl "$t" "$t/missing.las" || true
    "$audit" -q --format jsonl --fix "$t" || true
    "$audit" -q --format jsonl --exact "$t" || true
    "$audit" -q --format jsonl --headers-only --profile usgs-lbs "$t" || true
} >"$tmp/lines.jsonl"
/usr/bin/python3 - "$schema" "$tmp/lines.jsonl" <<'PY'
import json, sys
import jsonschema
schema = json.load(open(sys.argv[1]))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
seen, bad = set(), 0
for n, line in enumerate(open(sys.argv[2], encoding="utf-8"), 1):
    j = json.loads(line)
    for e in validator.iter_errors(j):
        bad += 1
        print(f"line {n}: {e.message} at {list(e.absolute_path)}: {line.strip()[:200]}")
    seen.add(j.get("status", j.get("type")))
    if "verdict" in j: seen.add(f"verdict {j['verdict']}")
    if j.get("findings"): seen.add("findings")
    if j.get("consistency"): seen.add("consistency")
    if "path_bytes" in j: seen.add("path_bytes")
    if j.get("stored") and j["stored"]["MaxX"] == "NaN": seen.add("NaN")
    if j.get("stored") and j["stored"]["extended_count"] is not None: seen.add("LAS 1.4")
want = {"current", "stale", "fixed", "refused", "error", "repeated", "unchecked", "short", "summary", "findings",
        "consistency", "path_bytes", "NaN", "LAS 1.4", "verdict pass", "verdict fail", "verdict None"}
if want - seen:
    print("never produced:", sorted(want - seen)); bad += 1
print(f"{n} lines checked against the schema")
sys.exit(1 if bad else 0)
PY
