#!/usr/bin/env python3
"""The HTML report and the tile index of a real tree: the corpus and tiles on
a grid in UTM 33N, some stale, one short, one refused, one hole, and beside
them systems no one names, a name that forges a summary line and an extent
no map can lay out. The report is rendered in headless Chromium and judged
from the page it draws; the tile index is read by GDAL, placed as PROJ's
cs2cs places it, and checked against a GeoJSON schema. Then a tile of every
status and verdict, made from results, is judged by its colour and
pattern, and a report of 100,000 tiles is weighed and timed.
Usage: report_test.py VEXHOLT_AUDIT REPORT_FIXTURE TESTS_DIR OUT_DIR"""
import base64, html, json, os, re, shutil, subprocess, sys, time, urllib.parse
import jsonschema

audit, fixture, tests, out = sys.argv[1:5]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


# The page's palette (Okabe and Ito), by verdict; a file not judged fails,
# and is shown apart.
COLOURS = {"pass": "#56b4e9", "fail": "#d55e00", "not judged": "#000000"}
STATUSES = ["current", "stale", "fixed", "refused", "error", "repeated", "unchecked", "short"]
# Rules by severity, as the audit lists them.
listed = subprocess.run([audit, "--list-rules"], capture_output=True, text=True, check=True).stdout
SEVERITY = dict(re.findall(r"^\| `([^`]+)` \| (error|warning) \|", listed, re.M))

shutil.rmtree(out, ignore_errors=True)
tree = os.path.join(out, "tree")
subprocess.run([fixture, "tree", tree], check=True)
os.makedirs(os.path.join(tree, "corpus"))
for d in ("lasdata", "lasdata-v14-laz"):
    for f in os.listdir(os.path.join(tests, "data", d)):
        if f.lower().endswith((".las", ".laz")):
            shutil.copy(os.path.join(tests, "data", d, f), os.path.join(tree, "corpus"))
grid = {}  # path -> (intended status, minx, miny, maxx, maxy)
verdicts = {}  # path -> intended verdict
for line in open(os.path.join(tree, "grid.tsv")):
    p, s, v, *e = line.rstrip("\n").split("\t")
    grid[p], verdicts[p] = (s, *map(float, e)), v
hole = grid.pop("hole")[1:]
odd = {what: p for p, what in (line.rstrip("\n").split("\t") for line in open(os.path.join(tree, "odd.tsv")))}

report, index = os.path.join(out, "report.html"), os.path.join(out, "tiles.geojson")
r = subprocess.run([audit, "--format", "jsonl", "--report", report, "--tile-index", index, tree],
                   capture_output=True, text=True)
check(r.returncode == 2, f"a refused file makes the exit status 2, not {r.returncode}")
files = {j["path"]: j for j in map(json.loads, r.stdout.splitlines()) if "path" in j}
err = r.stderr.splitlines()
check(err and err[-1] == f"Vexholt-audit: wrote {report} (report), {index} (tile index)",
      f"the last line names the files: {err[-1:]}")
for p, (want, *_) in grid.items():
    check(files[p]["status"] == want and files[p]["verdict"] == verdicts[p],
          f"{p} is {files[p]['status']}, {files[p]['verdict']}; the fixture made it {want}, {verdicts[p]}")


def extent(j):
    """MinX MinY MaxX MaxY as the outputs take them, or None."""
    h = j["recomputed"] or j["stored"]
    if not h or not (j["points"] if j["points"] is not None else (h["extended_count"] or h["count"])):
        return None
    e = [h["MinX"], h["MinY"], h["MaxX"], h["MaxY"]]
    return e if all(isinstance(v, float) for v in e) and e[0] <= e[2] and e[1] <= e[3] else None


def crs_of(j):
    c = j["crs"]
    if not c:
        return "none"
    if not c["horizontal"]:
        return c["vertical"] or "unidentified"
    return c["horizontal"] + (" + " + c["vertical"] if c["vertical"] else "")


def fits(e):
    """Whether an extent can be laid out; else it is named apart."""
    return e is not None and all(abs(v) <= 1e300 for v in e)


CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
            "--disable-extensions", "--user-data-dir=" + os.path.join(out, "profile"), "--window-size=1200,1400"]


def url_of(page, fragment):
    return "file://" + urllib.parse.quote(os.path.abspath(page)) + "#" + fragment


class Browser:
    """One headless Chromium for every view, driven over its DevTools pipe:
    a browser started for each view took most of the test's time."""

    def __init__(self):
        to_browser, self.out = os.pipe()
        self.inp, from_browser = os.pipe()

        def pipes():
            os.dup2(to_browser, 3)
            os.dup2(from_browser, 4)
        self.proc = subprocess.Popen(CHROMIUM + ["--remote-debugging-pipe", "about:blank"], pass_fds=(3, 4),
                                     preexec_fn=pipes, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser), os.close(from_browser)
        self.buffer, self.events, self.id = b"", [], 0
        page = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"], flatten=True)["sessionId"]
        self.call("Page.enable", session=self.session)
        self.call("Emulation.setScrollbarsHidden", session=self.session, hidden=True)
        # The test's own script, in every page before the page's script: the
        # page itself carries nothing for tests.
        with open(os.path.join(tests, "report_probe.js")) as f:
            self.call("Page.addScriptToEvaluateOnNewDocument", session=self.session, source=f.read())

    def message(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.inp, 1 << 20)
            if not chunk:
                raise RuntimeError("the browser stopped")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, session=None, **params):
        self.id += 1
        os.write(self.out, json.dumps({"id": self.id, "method": method, "params": params,
                                       **({"sessionId": session} if session else {})}).encode() + b"\0")
        while True:
            m = self.message()
            if m.get("id") == self.id:
                if "error" in m:
                    raise RuntimeError(f"{method}: {m['error']}")
                return m["result"]
            self.events.append(m)

    def navigate(self, url):
        self.events.clear()
        self.call("Page.navigate", session=self.session, url=url)
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self.message())

    def evaluate(self, expression):
        r = self.call("Runtime.evaluate", session=self.session, expression=expression, returnByValue=True)
        if "value" not in r["result"]:
            raise RuntimeError(f"{expression}: {r}")
        return r["result"]["value"]

    def load(self, url):
        """The page loaded afresh (a new fragment alone would not run its script again)."""
        self.navigate("about:blank")
        self.navigate(url)
        return self.evaluate("document.documentElement.outerHTML")

    def click(self, x, y):
        """The pointer moved to x, y of the viewport, then a click there, as a user's mouse does it."""
        for kind in ("mouseMoved", "mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", session=self.session, type=kind, x=x, y=y, button="left",
                      clickCount=0 if kind == "mouseMoved" else 1)
        return self.evaluate("document.documentElement.outerHTML")

    def screenshot(self, url, path):
        self.load(url)
        with open(path, "wb") as f:
            f.write(base64.b64decode(self.call("Page.captureScreenshot", session=self.session, format="png")["data"]))

    def close(self):
        self.proc.kill()
        self.proc.wait()


browser = Browser()


def browse(fragment, page=report):
    """The page's document once its script has run, as the address shows it."""
    return browser.load(url_of(page, fragment))


# The map, as drawn: every tile's centre and the colour there.
dom = browse("")


def probed(paths):
    """The panels, and each drawn tile's panel, centre, colour and pattern, of the page in the browser."""
    fields = [l.split("\t") for l in browser.evaluate(f"reportProbe.map({json.dumps(list(paths))})").splitlines()]
    return ({int(f[1]): f[2] for f in fields if f[0] == "panel"},
            {f[2]: (int(f[1]), float(f[3]), float(f[4]), f[5], f[6]) for f in fields if f[0] == "tile"})


panels, drawn = probed(files)
check(panels.get(0) == "EPSG:32633", f"the majority's system is drawn first: {panels}")
for p, j in files.items():
    e = extent(j)
    check((p in drawn) == fits(e), f"{p} drawn: {p in drawn}, has an extent to lay out: {fits(e)}")
    if p in drawn:
        check(drawn[p][3] in COLOURS.values(), f"{p} is drawn in a verdict colour, not {drawn[p][3]}")
# An extent no panel can lay out is named under the map, and the rest of
# its panel is drawn (the grid's places are checked below).
check(extent(files[odd["huge"]]) and odd["huge"] not in drawn and re.search(
    r'<p class="note" id="apart">Not drawn[^<]*' + re.escape(odd["huge"]), dom), "the huge extent is named apart")
# Each system apart: files of one system in one panel, the grid's first.
by_system = {}
for p, (k, *_) in drawn.items():
    by_system.setdefault(crs_of(files[p]), set()).add(k)
check(all(len(k) == 1 for k in by_system.values()) and by_system["EPSG:32633"] == {0} and
      panels[min(by_system["none"])] == "none" and panels[min(by_system["unidentified"])] == "unidentified",
      f"a panel per system: {by_system}")
# The colour is the verdict; the status is its pattern: plain where current
# or refused, the same for every stale tile, another for the short one.
for p, (status, *e) in grid.items():
    want = COLOURS["not judged" if status == "refused" else verdicts[p]]
    check(drawn[p][3] == want, f"{p} is {status}, {verdicts[p]}: drawn {drawn[p][3]}, not {want}")
masks = {}
for p, (status, *e) in grid.items():
    masks.setdefault(status, set()).add(drawn[p][4])
check(masks["current"] == masks["refused"] == {"0" * 64} and len(masks["stale"]) == 1 and len(masks["short"]) == 1 and
      "1" in next(iter(masks["stale"])) and "1" in next(iter(masks["short"])) and masks["stale"] != masks["short"],
      f"patterns by status: {masks}")
# North up, equal scale: one scale and origin place every tile's centre.
a, b = drawn[min(grid)], drawn[max(grid)]
(ax, ay), (bx, by) = [((grid[p][1] + grid[p][3]) / 2, (grid[p][2] + grid[p][4]) / 2) for p in (min(grid), max(grid))]
sx, sy = (b[1] - a[1]) / (bx - ax), -(b[2] - a[2]) / (by - ay)
check(sx > 0 and abs(sx - sy) < 0.01 * sx, f"equal scale, north up: {sx} across, {sy} up")
for p, (status, x0, y0, x1, y1) in grid.items():
    want = (a[1] + ((x0 + x1) / 2 - ax) * sx, a[2] - ((y0 + y1) / 2 - ay) * sx)
    check(abs(drawn[p][1] - want[0]) < 1 and abs(drawn[p][2] - want[1]) < 1, f"{p} at {drawn[p][1:3]}, not {want}")
cx, cy = (hole[0] + hole[2]) / 2, (hole[1] + hole[3]) / 2
check(browser.evaluate(f"reportProbe.colourAt(0, {a[1] + (cx - ax) * sx}, {a[2] - (cy - ay) * sx})") == "#ffffff",
      "the hole is left blank")
maps = re.search(r'<div id="maps">(.*?)</div>\s*<p class="note" id="apart">', dom, re.S)[1]
check(len(re.findall(r"<canvas", maps)) == len(panels) == len({k for ks in by_system.values() for k in ks}),
      "a canvas per coordinate system")
check("another coordinate system than the majority's (EPSG:32633)" in dom, "the other systems are said to differ")
# A system's name with a line break is shown escaped, in its panel and in
# the summary, which it cannot add a line to.
forged = "Vexholt test\\n  files: 9, 9 current"
check(forged in panels.values(), f"the forging name escaped on its panel: {list(panels.values())}")
summary = html.unescape(re.search(r'<section id="summary">\s*<h2>Summary</h2>\s*<pre>(.*?)</pre>', dom, re.S)[1])
check(sum(l.startswith("  files:") for l in summary.splitlines()) == 1 and forged in summary,
      f"no line forged in the summary: {summary}")


def rows(fragment, page=report):
    """The rows in view as they read: path, status, points, verdict, findings, system, density; and how many
    the filters leave."""
    d = browse(fragment, page=page)
    shown = re.search(r'<span id="count">(\d+) of (\d+) files</span>', d)
    return ([(html.unescape(m[0]), m[2], int(m[4]), m[1], html.unescape(m[3]), html.unescape(m[6]), m[5])
             for m in re.findall(
        r'<tr data-i="\d+"[^>]*><td title="([^"]*)">[^<]*</td><td><span [^>]*></span>([^<]*)</td><td><span [^>]*></span>'
        r'(\w+)</td><td title="([^"]*)">[^<]*</td><td class="n">(\d+)</td><td class="n">([^<]*)</td><td>(.*?)</td></tr>',
        d)],
            int(shown[1]) if shown else -1)


def verdict_shown(j):
    """The verdict as the table says it: a file not judged fails, and is shown as what it is."""
    return "not judged" if j["status"] in ("refused", "error") else j["verdict"] or "none"


# The table: filtered by status, sorted by points down; by rule, sorted by path.
stale = sorted(p for p, j in files.items() if j["status"] == "stale")
got, n = rows("status=stale&sort=points&order=desc")
check(n == len(stale) and sorted(g[0] for g in got) == stale, f"{n} stale rows shown of {len(stale)}")
check(all(g[1] == "stale" for g in got) and [g[2] for g in got] == sorted((g[2] for g in got), reverse=True),
      "stale rows by points, down")
counted = sorted(p for p, j in files.items() if any(f["rule"] == "stats.point-count" for f in j["findings"]))
got, n = rows("rule=stats.point-count&sort=path")
check(n == len(counted) and [g[0] for g in got] == counted, f"rows of stats.point-count by path: {n} of {len(counted)}")
# By verdict, as the address says; the worst first when sorted down.
failing = sorted(p for p, j in files.items() if j["verdict"] == "fail")
got, n = rows("verdict=fail&sort=path")
check(n == len(failing) and got and [g[0] for g in got] == failing[:len(got)] and
      all(g[3] == verdict_shown(files[g[0]]) for g in got),
      f"rows failing: {n} of {len(failing)}")
got, n = rows("verdict=pass&sort=verdict&order=desc")
check(n == len(files) - len(failing) and all(g[3] == "pass" for g in got), f"rows passing: {n}")
got, n = rows("sort=verdict&order=desc")
check(got and got[0][1] in ("refused", "error") and got[0][3] == "not judged", f"not judged sorts as the worst: {got[:1]}")
# Names of systems: "unidentified" where one is stated that no one names.
for what in ("unidentified", "malformed"):
    got, n = rows("q=" + urllib.parse.quote(odd[what]))
    check(n == 1 and got[0][5] == "unidentified", f"{what}: {got}")

# The pointer on the refused tile, then a click: its path, status and rules
# show, and its row, even though the filter hid it.
refused = next(p for p, g in grid.items() if g[0] == "refused")
browse("status=current")
b = browser.evaluate(f"JSON.stringify(document.querySelectorAll('#maps canvas')[{drawn[refused][0]}].getBoundingClientRect())")
b = json.loads(b)
d = browser.click(b["left"] + drawn[refused][1], b["top"] + drawn[refused][2])
tip = html.unescape(re.sub(r"<[^>]+>", " ", re.search(r'<div id="tip"[^>]*>(.*?)</div>', d, re.S)[1]))
check(refused in tip and "refused" in tip and "not judged" in tip and
      all(f["rule"] in tip for f in files[refused]["findings"]), f"hover: {tip}")
sel = re.search(r'<tr data-i="\d+" class="sel"><td title="([^"]*)"', d)
check(sel and html.unescape(sel[1]) == refused and f">{len(files)} of {len(files)} files<" in d, "a click shows its row")

# A screenshot for people, kept with the build.
shot = os.path.join(out, "report.png")
browser.screenshot(url_of(report, ""), shot)
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
        "properties": {"type": "object", "required": ["path", "status", "verdict", "rules", "points", "crs", "reason"],
                       "properties": {
            "path": {"type": "string"}, "status": {"enum": STATUSES}, "verdict": {"enum": ["pass", "fail", None]},
            "rules": {"type": "array", "items": {"type": "string"}}, "points": {"type": "integer", "minimum": 0},
            "crs": {"type": "string"}, "reason": {"type": ["string", "null"]}}}}}}}}
errors = list(jsonschema.Draft202012Validator(schema).iter_errors(ti))
check(not errors, f"the tile index is GeoJSON: {[e.message for e in errors[:3]]}")
features = {f["properties"]["path"]: f for f in ti["features"]}
# Every file, those with no place in it too: a null geometry and why.
check(len(ti["features"]) == len(files) and set(features) == set(files), f"a feature per file: {len(ti['features'])}")
unplaced = 0
for p, f in features.items():
    j, why = files[p], f["properties"]["reason"]
    unplaced += f["geometry"] is None
    check((f["geometry"] is None) == (why is not None), f"{p}: a reason where, and only where, there is no geometry: {why}")
    want = ("no extent" if extent(j) is None else "no coordinate system" if crs_of(j) == "none" else
            "unidentified coordinate system" if crs_of(j) == "unidentified" else None)
    check(want is None and (why is None or why.startswith("PROJ")) or why and why.startswith(want),
          f"{p}: {why}, not {want}")
    # A system is named as the first file of its class names it.
    named = crs_of(j) not in ("none", "unidentified")
    check(f["properties"]["crs"] not in ("none", "unidentified") if named else f["properties"]["crs"] == crs_of(j),
          f"{p}: crs {f['properties']['crs']}, not {crs_of(j)}")
    check(f["properties"]["status"] == j["status"] and f["properties"]["verdict"] == j["verdict"],
          f"{p}: status and verdict in the index")
    ids = f["properties"]["rules"]
    check({x["rule"] for x in j["findings"]} <= set(ids), f"{p}: rules in the index")
    check(ids == sorted(ids, key=lambda r: SEVERITY[r] != "error"), f"{p}: errors before warnings: {ids}")
    ring = (f["geometry"] or {"coordinates": [[]]})["coordinates"][0]
    area = sum(x0 * y1 - x1 * y0 for (x0, y0), (x1, y1) in zip(ring, ring[1:]))
    flat = extent(j) and (extent(j)[0] == extent(j)[2] or extent(j)[1] == extent(j)[3])
    check(not ring or (ring[0] == ring[-1] and (area > 0 or flat and area == 0)), f"{p}: a closed ring, counterclockwise")
check(features[odd["huge"]]["properties"]["reason"].startswith("PROJ cannot place"), "the huge extent has no place")
check(features[odd["wkt"]]["geometry"] is not None, "a system PROJ names but no EPSG code does is placed")
# Standard error counts the files without a place, in one line.
check([l for l in err if "tile index" in l and not l.startswith("Vexholt-audit: wrote")] ==
      [f"Vexholt-audit: {unplaced} of {len(files)} files have no geometry in the tile index; each feature's reason says why"],
      f"one line counts the files without a geometry: {err}")
odd14 = f"{tree}/corpus/simple1_4.las"  # EPSG:4326 with X 1 to 226
r = subprocess.run([audit, "-q", "--tile-index", os.path.join(out, "odd.geojson"), odd14], capture_output=True, text=True)
check([f["properties"]["reason"] for f in json.load(open(os.path.join(out, "odd.geojson")))["features"]] ==
      ["PROJ cannot place 226 1 of EPSG:4326 on the earth"] and "tile index" not in r.stderr,
      f"numbers that are no longitude and latitude have no place, said quietly: {r.stderr}")
corner = features[min(grid)]["geometry"]["coordinates"][0][0]
cs = subprocess.run(["cs2cs", "-f", "%.9f", "EPSG:32633", "OGC:CRS84"], input=f"{grid[min(grid)][1]} {grid[min(grid)][2]}\n",
                    capture_output=True, text=True).stdout.split()
check(abs(float(cs[0]) - corner[0]) < 1e-7 and abs(float(cs[1]) - corner[1]) < 1e-7, f"corner {corner}, cs2cs {cs[:2]}")
ogr = subprocess.run(["ogrinfo", "-ro", "-so", "-al", index], capture_output=True, text=True)
check(ogr.returncode == 0 and f"Feature Count: {len(features)}" in ogr.stdout, "ogrinfo reads every feature")

# A tile of every status and verdict, and a worse verdict over a better
# one twice: the colour is the verdict, the pattern the status, each status
# its own, and the worse with its pattern on top.
made = {}
page, made_index = os.path.join(out, "statuses.html"), os.path.join(out, "statuses.geojson")
subprocess.run([fixture, "statuses", page, made_index, os.path.join(out, "statuses.tsv")], check=True)
for line in open(os.path.join(out, "statuses.tsv")):
    p, status, colour, *e = line.rstrip("\n").split("\t")
    made[p] = (status, colour, *map(float, e))
d = browse("", page=page)
_, tiles = probed(made)
patterns = {}
for p, (status, colour, *e) in made.items():
    if status == "repeated":
        check(p not in tiles, f"{p}, a repeated name, has no extent to draw")
        continue
    check(tiles[p][3] == COLOURS[colour], f"{p}: drawn {tiles[p][3]}, not {colour}")
    if not p.startswith("statuses/under-"):
        patterns.setdefault(status, set()).add(tiles[p][4])
check(patterns["current"] == patterns["refused"] == {"0" * 64} and all(len(patterns[s]) == 1 for s in patterns) and
      len({next(iter(patterns[s])) for s in ("stale", "fixed", "short", "unchecked", "error")}) == 5 and
      all("1" in next(iter(patterns[s])) for s in ("stale", "fixed", "short", "unchecked", "error")),
      f"a pattern for each status but current and refused: {patterns}")
for under, over in (("under-pass", "over-fail"), ("under-fail", "over-refused")):
    check(tiles[f"statuses/{under}.las"][3:] == tiles[f"statuses/{over}.las"][3:], f"{over} drawn over {under}")
legend = html.unescape(re.sub(r"<[^>]+>", " ", re.search(r'<div id="legend">(.*?)</div>', d, re.S)[1]))
check(all(f" {what} " in legend + " " for what in ("pass 4", "fail 5", "not judged (fails) 3", "current 3", "stale 2",
                                                   "short 2", "refused 2", "repeated 1", "unchecked 1")),
      f"the legend counts verdicts and statuses: {legend}")
for fragment, want in (("verdict=fail", 8), ("verdict=pass", 4), ("verdict=pass,fail&status=short", 2)):
    check(rows(fragment, page=page)[1] == want, f"{fragment}: {want} rows")
got, _ = rows("q=current-failing", page=page)
check(got and got[0][4] == "errors: stats.extent; warnings: header.size-extended", f"findings by severity: {got}")
made_features = {f["properties"]["path"]: f["properties"] for f in json.load(open(made_index))["features"]}
check(made_features["statuses/current-failing.las"]["rules"] == ["stats.extent", "header.size-extended"] and
      made_features["statuses/repeated.las"]["verdict"] is None and
      made_features["statuses/repeated.las"]["reason"].startswith("repeated"), f"the index of every status: {made_features}")

# The density view: each tile in the legend's colour for its density, the
# tile scheme's marks as patterns on the marked tiles alone, the void drawn
# where it is, and the table sorted by density.
page, made = os.path.join(out, "density.html"), {}
subprocess.run([fixture, "density", page, os.path.join(out, "density.tsv")], check=True)
for line in open(os.path.join(out, "density.tsv")):
    p, *rest = line.rstrip("\n").split("\t")
    made[p] = rest
void = [float(v) for v in made.pop("void")]
d = browse("view=density", page=page)
check(re.search(r'<button type="button" data-view="density" aria-pressed="true">', d), "the address opens the density view")
legend = [l.split("\t") for l in browser.evaluate("reportProbe.legend()").splitlines()]


def legend_colour(density):
    """The colour the legend gives a density, by the range its label states."""
    for colour, label in legend:
        m = re.match(r"([\d.]+)–([\d.]+) \d+$", label) or re.match(r"≥ ([\d.]+)() \d+$", label)
        if density is None and label.startswith("not surveyed"):
            return colour
        if density is not None and m and float(m[1]) <= density and (not m[2] or density < float(m[2])):
            return colour
    return None


_, tiles = probed(made)
for p, (dens, marked) in made.items():
    want = legend_colour(None if dens == "-" else float(dens))
    check(want and tiles[p][3] == want, f"{p}, density {dens}: drawn {tiles[p][3]}, the legend says {want}")
    check(("1" in tiles[p][4]) == (marked != "-"), f"{p}: patterned {tiles[p][4]}, marked {marked}")
check(len({tiles[p][3] for p in made}) >= 5, f"densities apart in colour: {sorted({tiles[p][3] for p in made})}")
check(len({tiles[p][4] for p, (_, m) in made.items() if m != "-"}) == 2, "duplicates and off-grid tiles apart")
check(any(l == ["#d55e00", "void 1"] for l in legend) and any(l[1] == "duplicate 2" for l in legend) and
      any(l[1] == "off the tile grid 1" for l in legend), f"the legend names the marks: {legend}")
a, b = tiles["density/tile_0_0.las"], tiles["density/tile_2_1.las"]
sx = (b[1] - a[1]) / 2000
cx, cy = a[1] + ((void[0] + void[2]) / 2 - 400500) * sx, a[2] - ((void[1] + void[3]) / 2 - 6100500) * sx
check(browser.evaluate(f"reportProbe.colourAt(0, {cx}, {cy})") == "#d55e00", "the void is drawn where it is")
check(browser.evaluate(f"reportProbe.colourAt(0, {cx - 150 * sx}, {cy})") == tiles["density/tile_1_0.las"][3],
      "around it, its tile's density")
got, _ = rows("view=density&sort=density&order=desc", page=page)
check([g[6] for g in got[:3]] == ["12.0", "8.00", "6.00"] and got[-1][6] == "", f"rows by density, down: {got}")
d = browse("", page=page)
check(re.search(r'data-view="verdict" aria-pressed="true"', d) and "view=density" not in browser.evaluate("location.hash"),
      "the verdict view first")

# A file that cannot be written: named, with the system's reason, exit status 2.
r = subprocess.run([audit, "-q", "--report", os.path.join(out, "missing", "r.html"), tree], capture_output=True, text=True)
check(r.returncode == 2 and f"Vexholt-audit: cannot write the report {out}/missing/r.html: No such file or directory"
      in r.stderr, f"an unwritable report: {r.returncode} {r.stderr[-200:]}")

# 100,000 tiles: the page's weight, and how long the browser takes to show
# it: drawn after navigation, and a whole headless run that dumps the page
# beyond one of an empty page.
bulk, empty = os.path.join(out, "bulk.html"), os.path.join(out, "empty.html")
subprocess.run([fixture, "bulk", "100000", bulk], check=True)
with open(empty, "w") as f:
    f.write("<!DOCTYPE html><title>empty</title>")
# The best of up to three: other tests share the machine.
best, beyond = None, None
for attempt in range(3):
    browser.load(url_of(bulk, ""))
    ms = browser.evaluate("reportProbe.drawnMs()")
    best = min(best or 1e9, ms)
    print(f"100,000 tiles: drawn {ms} ms after navigation")
    if best < 5000:
        break
browser.close()


def run_browser(page):
    return subprocess.run(CHROMIUM + ["--dump-dom", url_of(page, "")], capture_output=True, text=True, timeout=60).stdout


for attempt in range(3):
    start = time.monotonic()
    run_browser(empty)
    idle = time.monotonic() - start
    start = time.monotonic()
    d = run_browser(bulk)
    wall = time.monotonic() - start
    beyond = min(beyond or 1e9, wall - idle)
    print(f"100,000 tiles: browser run {wall:.1f} s, an empty page's {idle:.1f} s")
    if beyond < 5:
        break
size = os.path.getsize(bulk)
print(f"100,000 tiles: {size / 1e6:.1f} MB")
check(size < 20e6, f"the report of 100,000 tiles weighs {size} bytes")
check(best < 5000, f"the report of 100,000 tiles is drawn within 5 s, not {best} ms")
check(beyond < 5, f"a browser run showing the report of 100,000 tiles lasts {beyond:.1f} s more than one of an empty page")
check(">100000 of 100000 files<" in d, "the table holds the 100,000 files")

print(f"{len(failures)} failures" if failures else "report and tile index: all checks hold")
sys.exit(1 if failures else 0)
