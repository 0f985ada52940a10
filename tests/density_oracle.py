#!/usr/bin/env python3
"""The audit's coverage and pulse density of every real file against a
reader of its own: first returns counted per cell of a grid anchored at 0
(cell k covers k * cell up to (k + 1) * cell), over the header's box, at the
cell the audit reports. A compressed file is counted from its twin, which
another tool decompressed.

Usage: density_oracle.py VEXHOLT_AUDIT DIR..."""
import json
import math
import os
import struct
import subprocess
import sys


def counted(path, cell):
    b = open(path, "rb").read()
    off = struct.unpack_from("<I", b, 96)[0]
    fmt = b[104] & 0x3F
    reclen = struct.unpack_from("<H", b, 105)[0]
    n = struct.unpack_from("<I", b, 107)[0]
    if b[25] >= 4 and n == 0:
        n = struct.unpack_from("<Q", b, 247)[0]
    n = min(n, (len(b) - off) // reclen)
    sx, sy, _, ox, oy, _ = struct.unpack_from("<6d", b, 131)
    maxx, minx, maxy, miny = struct.unpack_from("<4d", b, 179)
    cols = (math.floor(minx / cell), math.floor(maxx / cell))
    rows = (math.floor(miny / cell), math.floor(maxy / cell))
    cells, first = set(), 0
    for i in range(n):
        p = off + i * reclen
        x, y = struct.unpack_from("<ii", b, p)
        if (b[p + 14] & (15 if fmt >= 6 else 7)) != 1:
            continue
        c, r = math.floor((x * sx + ox) / cell), math.floor((y * sy + oy) / cell)
        if cols[0] <= c <= cols[1] and rows[0] <= r <= rows[1]:
            first += 1
            cells.add((c, r))
    return len(cells), first / (len(cells) * cell * cell) if cells else None


def main():
    audit, dirs = sys.argv[1], sys.argv[2:]
    checked = failed = 0
    for d in dirs:
        for name in sorted(os.listdir(d)):
            if not name.endswith((".las", ".laz")) or name.endswith(".twin.las"):
                continue
            path = os.path.join(d, name)
            out = subprocess.run([audit, "-q", "--format", "jsonl", path], capture_output=True, text=True).stdout
            line = json.loads(out.split("\n")[0])
            cov = (line.get("survey") or {}).get("coverage")
            if not cov:
                continue
            source = path[:-4] + ".twin.las" if name.endswith(".laz") else path
            cells, density = counted(source, cov["cell"])
            got = (cov["covered_cells"], cov["pulse_density"])
            same = got[0] == cells and (density is None) == (got[1] is None) and (
                density is None or abs(got[1] - density) <= 1e-12 * density)
            checked += 1
            if not same:
                failed += 1
                print(f"{path}: the audit says {got[0]} cells, {got[1]}; counted {cells} cells, {density}")
    print(f"density_oracle: {checked} files, {failed} disagree")
    sys.exit(1 if failed or checked < 40 else 0)


main()
