#!/usr/bin/env python3
"""The HTML report and the tile index of a real tree: the corpus and tiles on
a grid in UTM 33N, some stale, one refused, one hole. The report is rendered
in headless Chromium and judged from the page it draws; the tile index is
read by GDAL, placed as PROJ's cs2cs places it, and checked against a
GeoJSON schema. Then a report of 100,000 tiles is weighed and timed.
Usage: report_test.py VEXHOLT_AUDIT REPORT_FIXTURE TESTS_DIR OUT_DIR"""
import html, json, os, re, shutil, subprocess, sys, time, urllib.parse
import jsonschema

audit, fixture, tests, out = sys.argv[1:5]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


# The page's palette (Okabe and Ito), by status.
COLOURS = {"current": "#009e73", "stale": "#f0e442", "fixed": "#56b4e9", "refused": "#d55e00",
           "error": "#cc79a7", "repeated": "#999999", "unchecked": "#0072b2"}

shutil.rmtree(out, ignore_errors=True)
tree = os.path.join(out, "tree")
subprocess.run([fixture, "tree", tree], check=True)
os.makedirs(os.path.join(tree, "corpus"))
for d in ("lasdata", "lasdata-v14-laz"):
    for f in os.listdir(os.path.join(tests, "data", d)):
        if f.lower().endswith((".las", ".laz")):
            shutil.copy(os.path.join(tests, "data", d, f), os.path.join(tree, "corpus"))
grid = {}  # path -> (intended status, minx, miny, maxx, maxy)
for line in open(os.path.join(tree, "grid.tsv")):
    p, s, *e = line.rstrip("\n").split("\t")
    grid[p] = (s, *map(float, e))
hole = grid.pop("hole")[1:]

report, index = os.path.join(out, "report.html"), os.path.join(out, "tiles.geojson")
r = subprocess.run([audit, "--format", "jsonl", "--report", report, "--tile-index", index, tree],
                   capture_output=True, text=True)
check(r.returncode == 2, f"a refused file makes the exit status 2, not {r.returncode}")
files = {j["path"]: j for j in map(json.loads, r.stdout.splitlines()) if "path" in j}
err = r.stderr.splitlines()
check(err and err[-1] == f"Vexholt-audit: wrote {report} (report), {index} (tile index)",
      f"the last line names the files: {err[-1:]}")
for p, (want, *_) in grid.items():
    check(files[p]["status"] == want, f"{p} is {files[p]['status']}, the fixture made it {want}")


def extent(j):
    """MinX MinY MaxX MaxY as the outputs take them, or None."""
    h = j["recomputed"] or j["stored"]
    if not h or not (j["points"] if j["points"] is not None else (h["extended_count"] or h["count"])):
        return None
    e = [h["MinX"], h["MinY"], h["MaxX"], h["MaxY"]]
    return e if all(isinstance(v, float) for v in e) and e[0] <= e[2] and e[1] <= e[3] else None


def crs_of(j):
    c = j["crs"]
    return "none" if not c or not c["horizontal"] else c["horizontal"] + (" + " + c["vertical"] if c["vertical"] else "")


def browse(fragment, *flags, page=report):
    url = "file://" + urllib.parse.quote(os.path.abspath(page)) + "#" + fragment
    cmd = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
           "--disable-extensions", "--user-data-dir=" + os.path.join(out, "profile"), "--window-size=1200,1400",
           *flags, url]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout


# The map, as drawn: every tile's centre and the colour there.
cx, cy = (hole[0] + hole[2]) / 2, (hole[1] + hole[3]) / 2
dom = browse(f"probe={cx},{cy}", "--dump-dom")
probe = html.unescape(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S).group(1)).splitlines()
panels = {int(f[1]): f[2] for f in (l.split("\t") for l in probe) if f[0] == "panel"}
drawn = {f[2]: (int(f[1]), float(f[3]), float(f[4]), f[5]) for f in (l.split("\t") for l in probe) if f[0] == "tile"}
check(panels.get(0) == "EPSG:32633", f"the majority's system is drawn first: {panels}")
for p, j in files.items():
    e = extent(j)
    check((p in drawn) == (e is not None), f"{p} drawn: {p in drawn}, has an extent: {e is not None}")
    if p in drawn:
        check(drawn[p][3] in COLOURS.values(), f"{p} is drawn in a status colour, not {drawn[p][3]}")
# Each system apart: files of one system in one panel, the grid's first.
by_system = {}
for p, (k, *_) in drawn.items():
    by_system.setdefault(crs_of(files[p]), set()).add(k)
check(all(len(k) == 1 for k in by_system.values()) and by_system["EPSG:32633"] == {0} and
      panels[min(by_system["none"])] == "none", f"a panel per system: {by_system}")
for p, (status, *e) in grid.items():
    check(drawn[p][3] == COLOURS[status], f"{p} is {status}, drawn {drawn[p][3]}")
# North up, equal scale: one scale and origin place every tile's centre.
a, b = drawn[min(grid)], drawn[max(grid)]
(ax, ay), (bx, by) = [((grid[p][1] + grid[p][3]) / 2, (grid[p][2] + grid[p][4]) / 2) for p in (min(grid), max(grid))]
sx, sy = (b[1] - a[1]) / (bx - ax), -(b[2] - a[2]) / (by - ay)
check(sx > 0 and abs(sx - sy) < 0.01 * sx, f"equal scale, north up: {sx} across, {sy} up")
for p, (status, x0, y0, x1, y1) in grid.items():
    want = (a[1] + ((x0 + x1) / 2 - ax) * sx, a[2] - ((y0 + y1) / 2 - ay) * sx)
    check(abs(drawn[p][1] - want[0]) < 1 and abs(drawn[p][2] - want[1]) < 1, f"{p} at {drawn[p][1:3]}, not {want}")
check([l.split("\t")[3] for l in probe if l.startswith("point\t")] == ["#ffffff"], "the hole is left blank")
check(len(re.findall(r'<canvas[^>]*data-panel=', dom)) == len(panels), "a canvas per coordinate system")
check("another coordinate system than the majority's (EPSG:32633)" in dom, "the other systems are said to differ")


def rows(fragment):
    d = browse(fragment, "--dump-dom")
    shown = re.search(r'<span id="count">(\d+) of (\d+) files</span>', d)
    return ([(html.unescape(m[0]), m[1], int(m[2])) for m in re.findall(
        r'<tr data-i="\d+"[^>]*><td title="([^"]*)">.*?data-status="(\w+)".*?<td class="n">(\d+)</td>', d)],
            int(shown[1]) if shown else -1)


# The table: filtered by status, sorted by points down; by rule, sorted by path.
stale = sorted(p for p, j in files.items() if j["status"] == "stale")
got, n = rows("status=stale&sort=points&order=desc")
check(n == len(stale) and sorted(g[0] for g in got) == stale, f"{n} stale rows shown of {len(stale)}")
check(all(g[1] == "stale" for g in got) and [g[2] for g in got] == sorted((g[2] for g in got), reverse=True),
      "stale rows by points, down")
counted = sorted(p for p, j in files.items() if any(f["rule"] == "stats.point-count" for f in j["findings"]))
got, n = rows("rule=stats.point-count&sort=path")
check(n == len(counted) and [g[0] for g in got] == counted, f"rows of stats.point-count by path: {n} of {len(counted)}")

# The pointer on the refused tile, then a click: its path, status and rules
# show, and its row, even though the filter hid it.
refused = next(p for p, g in grid.items() if g[0] == "refused")
g = grid[refused]
d = browse(f"status=current&point={(g[1] + g[3]) / 2},{(g[2] + g[4]) / 2}", "--dump-dom")
tip = html.unescape(re.sub(r"<[^>]+>", " ", re.search(r'<div id="tip"[^>]*>(.*?)</div>', d, re.S)[1]))
check(refused in tip and "refused" in tip and all(f["rule"] in tip for f in files[refused]["findings"]), f"hover: {tip}")
sel = re.search(r'<tr data-i="\d+" class="sel"><td title="([^"]*)"', d)
check(sel and html.unescape(sel[1]) == refused and f">{len(files)} of {len(files)} files<" in d, "a click shows its row")

# A screenshot for people, kept with the build.
shot = os.path.join(out, "report.png")
browse("", "--screenshot=" + shot, "--hide-scrollbars")
check(os.path.exists(shot) and open(shot, "rb").read(8) == b"\x89PNG\r\n\x1a\n", "a screenshot is taken")

# The tile index: GDAL reads it, GeoJSON's shape, and where PROJ puts the tiles.
ti = json.load(open(index))
coord = {"type": "array", "prefixItems": [{"type": "number", "minimum": -180, "maximum": 180},
                                          {"type": "number", "minimum": -90, "maximum": 90}], "items": False}
schema = {"type": "object", "required": ["type", "features"], "properties": {
    "type": {"const": "FeatureCollection"},
    "features": {"type": "array", "items": {"type": "object", "required": ["type", "geometry", "properties"], "properties": {
        "type": {"const": "Feature"},
        "geometry": {"oneOf": [{"type": "null"}, {"type": "object", "required": ["type", "coordinates"], "properties": {
            "type": {"const": "Polygon"},
            "coordinates": {"type": "array", "minItems": 1, "items": {"type": "array", "minItems": 4, "items": coord}}}}]},
        "properties": {"type": "object", "required": ["path", "status", "rules", "points", "crs"], "properties": {
            "path": {"type": "string"}, "status": {"enum": list(COLOURS)}, "rules": {"type": "array", "items": {"type": "string"}},
            "points": {"type": "integer", "minimum": 0}, "crs": {"type": "string"}}}}}}}}
errors = list(jsonschema.Draft202012Validator(schema).iter_errors(ti))
check(not errors, f"the tile index is GeoJSON: {[e.message for e in errors[:3]]}")
features = {f["properties"]["path"]: f for f in ti["features"]}
# Left out and named (the first 20), each for a reason: a file without a
# system, or one whose numbers are no place on the earth.
left, more = {}, 0
for line in err:
    if m := re.fullmatch(r"Vexholt-audit: left out of the tile index: (\d+) more files", line):
        more = int(m[1])
    elif m := re.fullmatch(r"Vexholt-audit: left out of the tile index: (.*?): (.*)", line):
        left[m[1]] = m[2]
check(len(left) == 20 and more > 0, f"20 files named, then a count: {len(left)}, {more}")
check(all((why == "no coordinate system") == (crs_of(files[p]) == "none") and extent(files[p]) for p, why in left.items()),
      f"left out for what they lack: {left}")
odd = f"{tree}/corpus/simple1_4.las"  # EPSG:4326 with X 1 to 226
r = subprocess.run([audit, "-q", "--tile-index", os.path.join(out, "odd.geojson"), odd], capture_output=True, text=True)
check(f"left out of the tile index: {odd}: PROJ cannot place 226 1 of EPSG:4326 on the earth\n" in r.stderr,
      f"numbers that are no longitude and latitude are left out: {r.stderr}")
check(not set(features) & set(left) and len(features) + len(left) + more == len(files), "a feature per file placed")
for p, f in features.items():
    check(f["properties"]["status"] == files[p]["status"], f"{p}: status in the index")
    check({x["rule"] for x in files[p]["findings"]} <= set(f["properties"]["rules"]), f"{p}: rules in the index")
    ring = (f["geometry"] or {"coordinates": [[]]})["coordinates"][0]
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(ring, ring[1:]))
    flat = extent(files[p]) and (extent(files[p])[0] == extent(files[p])[2] or extent(files[p])[1] == extent(files[p])[3])
    check(not ring or (ring[0] == ring[-1] and (area > 0 or flat and area == 0)), f"{p}: a closed ring, counterclockwise")
corner = features[min(grid)]["geometry"]["coordinates"][0][0]
cs = subprocess.run(["cs2cs", "-f", "%.9f", "EPSG:32633", "OGC:CRS84"], input=f"{grid[min(grid)][1]} {grid[min(grid)][2]}\n",
                    capture_output=True, text=True).stdout.split()
check(abs(float(cs[0]) - corner[0]) < 1e-7 and abs(float(cs[1]) - corner[1]) < 1e-7, f"corner {corner}, cs2cs {cs[:2]}")
ogr = subprocess.run(["ogrinfo", "-ro", "-so", "-al", index], capture_output=True, text=True)
check(ogr.returncode == 0 and f"Feature Count: {len(features)}" in ogr.stdout, "ogrinfo reads every feature")

# A file that cannot be written: named, with the system's reason, exit status 2.
r = subprocess.run([audit, "-q", "--report", os.path.join(out, "missing", "r.html"), tree], capture_output=True, text=True)
check(r.returncode == 2 and f"Vexholt-audit: cannot write the report {out}/missing/r.html: No such file or directory"
      in r.stderr, f"an unwritable report: {r.returncode} {r.stderr[-200:]}")

# 100,000 tiles: the page's weight, and how long the browser takes to show it.
bulk = os.path.join(out, "bulk.html")
subprocess.run([fixture, "bulk", "100000", bulk], check=True)
# The best of up to three: other tests share the machine.
best = None
for attempt in range(3):
    start = time.monotonic()
    d = browse("", "--dump-dom", page=bulk)
    wall = time.monotonic() - start
    ms = re.search(r'data-rendered-ms="(\d+)"', d)
    best = min(best or 1e9, int(ms[1]) if ms else 1e9)
    print(f"100,000 tiles: drawn {ms and ms[1]} ms after navigation, browser run {wall:.1f} s")
    if best < 5000:
        break
size = os.path.getsize(bulk)
print(f"100,000 tiles: {size / 1e6:.1f} MB")
check(size < 20e6, f"the report of 100,000 tiles weighs {size} bytes")
check(best < 5000, f"the report of 100,000 tiles is drawn within 5 s, not {best} ms")
check(">100000 of 100000 files<" in d, "the table holds the 100,000 files")

print(f"{len(failures)} failures" if failures else "report and tile index: all checks hold")
sys.exit(1 if failures else 0)
