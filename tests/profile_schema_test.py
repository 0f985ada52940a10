#!/usr/bin/env python3
"""The profile file of doc/profiles.md against the published schema, and as
Vexholt-audit reads it; a file the schema refuses is refused by the tool too.

Usage: profile_schema_test.py VEXHOLT_AUDIT SCHEMA DOC
"""
import json
import os
import re
import subprocess
import sys
import tempfile

import jsonschema

audit, schema_path, doc = sys.argv[1:4]
schema = json.load(open(schema_path, encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
blocks = re.findall(r"```json\n(.*?)```", open(doc, encoding="utf-8").read(), re.S)
assert blocks, f"{doc}: no JSON example"
example = json.loads(blocks[0])
errors = [e.message for e in validator.iter_errors(example)]
assert not errors, f"the documented example breaks the schema: {errors}"

bad = dict(example, quality_level="QL4")
assert list(validator.iter_errors(bad)), "the schema takes a quality level QL4"

with tempfile.TemporaryDirectory() as tmp:
    def run(profile):
        path = os.path.join(tmp, "profile.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(profile, f)
        return subprocess.run([audit, "--profile-file", path, "--list-rules"], capture_output=True, text=True)

    good = run(example)
    assert good.returncode == 0, good.stderr
    for change in example["rules"].items():
        assert "| `%s` | %s |" % change in good.stdout, change
    refused = run(bad)
    assert refused.returncode == 2 and refused.stderr.count("\n") == 1, refused.stderr
print("the documented profile file matches the schema and is read")
