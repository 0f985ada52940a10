#!/usr/bin/env python3
"""The profile file of doc/profiles.md against the published schema, and
read by Vexholt-audit. Usage: profile_schema_test.py VEXHOLT_AUDIT SCHEMA DOC
"""
import json
import re
import subprocess
import sys
import tempfile

import jsonschema

audit, schema_path, doc = sys.argv[1:4]
schema = json.load(open(schema_path, encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
text = open(doc, encoding="utf-8").read()
example = json.loads(re.findall(r"```json\n(.*?)```", text, re.S)[0])
errors = [e.message for e in jsonschema.Draft202012Validator(schema).iter_errors(example)]
assert not errors, f"the documented example breaks the schema: {errors}"
with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
    json.dump(example, f)
    f.flush()
    listed = subprocess.run([audit, "--profile-file", f.name, "--list-rules"], capture_output=True, text=True)
assert listed.returncode == 0 and "| `usgs.class-ground` | error |" in listed.stdout, listed.stderr
print("the documented profile file matches the schema and is read")
