// The HTML report's script (html_report.cpp), which the build puts into the
// page as text: it reads the data block above it, draws the map and keeps
// the table.
(function () {
"use strict";
const data = document.getElementById("data");
const D = JSON.parse(data.textContent);
// Read once: left in the document, its text (7 MB for 100,000 tiles) would
// be kept beside the arrays made from it, and a headless browser dumping
// the document spent a second on each megabyte of it.
data.remove();
const N = D.tiles.length, NS = D.statuses.length, NC = D.classes.length;
const path = new Array(N), st = new Uint8Array(N), vd = new Uint8Array(N), cl = new Uint8Array(N);
const pts = new Float64Array(N), sys = new Int32Array(N), rules = new Array(N), ext = new Float64Array(4 * N), has = new Uint8Array(N);
// What the map shows of a verdict: pass and fail as they are (the first
// two classes), a file that could not be judged, a repeated name.
const NONE = D.verdicts.indexOf(""), UNJUDGED = D.classes.indexOf("not judged"), REPEATED = D.classes.indexOf("repeated");
const rank = new Int32Array(NC), srank = new Int32Array(NS);
D.order.forEach((c, k) => { rank[c] = k; });
D.statusOrder.forEach((s, k) => { srank[s] = k; });
for (let i = 0; i < N; i++) {
  const t = D.tiles[i];
  path[i] = D.dirs[t[0]] + t[1]; st[i] = t[2]; vd[i] = t[3]; rules[i] = t[4]; pts[i] = t[5]; sys[i] = t[6];
  cl[i] = vd[i] === NONE ? REPEATED : D.judged[st[i]] ? vd[i] : UNJUDGED;
  if (t.length > 7) { has[i] = 1; for (let k = 0; k < 4; k++) ext[4 * i + k] = t[7 + k]; }
}
D.tiles = null;
// Pulse density (NaN: not surveyed), and the marks of the tile scheme: bit
// 1 a duplicate of another tile, bit 2 off the tile grid.
const dens = Float64Array.from(D.density, v => v === null ? NaN : v), mark = new Uint8Array(N);
for (const [i, kind] of D.marks) mark[i] |= 1 << kind;
const MARKS = ["duplicate", "off the tile grid"], MARK_PATTERNS = ["cross", "dots"];
const fmt = v => v >= 100 ? v.toFixed(0) : v.toPrecision(3);
const densText = i => isNaN(dens[i]) ? "" : fmt(dens[i]);
// The density classes: steps of 1, 2 or 5 times a power of ten, at most
// seven up to the 98th percentile, the last open upwards, so that a few
// odd tiles do not wash out the rest. Viridis, light where dense.
const sorted = dens.filter(v => !isNaN(v)).sort();
const top = sorted.length ? sorted[Math.min(sorted.length - 1, Math.floor(0.98 * sorted.length))] : 0;
const STEP = top > 0 ? [1, 2, 5, 10].map(f => f * Math.pow(10, Math.floor(Math.log10(top / 7)))).find(s => s * 7 >= top) : 1;
const NB = Math.max(1, Math.ceil(top / STEP + 1e-9)), NODENS = NB;
const VIRIDIS = ["#440154", "#472d7b", "#3b528b", "#2c728e", "#21918c", "#28ae80", "#5ec962", "#addc30", "#fde725"];
function ramp(t) {
  const x = t * (VIRIDIS.length - 1), k = Math.min(VIRIDIS.length - 2, Math.floor(x)), f = x - k;
  const a = parseInt(VIRIDIS[k].slice(1), 16), b = parseInt(VIRIDIS[k + 1].slice(1), 16);
  return "#" + [16, 8, 0].map(s => Math.round((a >> s & 255) * (1 - f) + (b >> s & 255) * f).toString(16).padStart(2, "0")).join("");
}
const binColours = Array.from({length: NB}, (_, k) => ramp(NB === 1 ? 1 : k / (NB - 1))).concat(["#d9d9d9"]);
const edge = k => String(+(k * STEP).toPrecision(6));
const binName = k => k === NODENS ? "not surveyed" : k === NB - 1 ? "≥ " + edge(k) : edge(k) + "–" + edge(k + 1);
const bin = new Uint8Array(N);
for (let i = 0; i < N; i++) bin[i] = isNaN(dens[i]) ? NODENS : Math.min(NB - 1, Math.floor(dens[i] / STEP));
const VOID = "#d55e00";
const densityShown = sorted.length > 0 || D.voids.length > 0 || D.marks.length > 0;
let mapView = "verdict";
const sysName = s => s === -1 ? "none" : s === -2 ? "unidentified" : D.systems[s];
// The rules a file fails, the errors first, each group named.
function findings(i) {
  if (!rules[i]) return "";
  const r = rules[i].split(","), e = r.filter(k => D.errors[+k]), w = r.filter(k => !D.errors[+k]);
  const names = l => l.map(k => D.rules[+k]).join(", ");
  return (e.length ? "errors: " + names(e) : "") + (e.length && w.length ? "; " : "") + (w.length ? "warnings: " + names(w) : "");
}
// A file not judged fails, and is shown as what it is.
const verdictText = i => cl[i] === UNJUDGED ? "not judged" : D.verdicts[vd[i]] || "none";
const esc = s => String(s).replace(/[&<>"]/g, c => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"})[c]);
const $ = id => document.getElementById(id);

// The status patterns: an 8-pixel tile of lines or dots, in dark ink, or
// light ink on a dark colour.
const patterns = new Map();
function pattern(kind, light) {
  const key = kind + light;
  if (patterns.has(key)) return patterns.get(key);
  const c = document.createElement("canvas");
  c.width = c.height = 8;
  const g = c.getContext("2d");
  g.strokeStyle = g.fillStyle = light ? "rgba(255,255,255,0.8)" : "rgba(0,0,0,0.6)";
  g.lineWidth = 1.5;
  const line = (x0, y0, x1, y1) => { g.beginPath(); g.moveTo(x0, y0); g.lineTo(x1, y1); g.stroke(); };
  if (kind === "slash" || kind === "cross") { line(-1, 9, 9, -1); line(-1, 1, 1, -1); line(7, 9, 9, 7); }
  if (kind === "backslash" || kind === "cross") { line(-1, -1, 9, 9); line(7, -1, 9, 1); line(-1, 7, 1, 9); }
  if (kind === "hbar") g.fillRect(0, 3, 8, 2);
  if (kind === "vbar") g.fillRect(3, 0, 2, 8);
  if (kind === "dots") g.fillRect(2, 2, 3, 3);
  patterns.set(key, c);
  return c;
}
const dark = hex => { const v = parseInt(hex.slice(1), 16); return 0.2126 * (v >> 16) + 0.7152 * (v >> 8 & 255) + 0.0722 * (v & 255) < 80; };
const style = document.createElement("style");
style.textContent = D.patterns.map((k, s) => k ? ".pt" + s + "{background-image:url(" + pattern(k, false).toDataURL() + ")}" : "").join("") +
  MARK_PATTERNS.map((k, m) => ".mk" + m + "{background-image:url(" + pattern(k, false).toDataURL() + ")}").join("");
document.head.appendChild(style);
// A swatch: a verdict's colour, or a status's pattern on white.
const swatch = c => '<span class="sw" style="background-color:' + D.colours[c] + '"></span>';
const spattern = s => '<span class="sw pt' + s + '"></span>';

// Legend and counts.
const ccount = new Array(NC).fill(0), scount = new Array(NS).fill(0);
for (let i = 0; i < N; i++) { ccount[cl[i]]++; scount[st[i]]++; }
const verdictLegend = '<span class="lg">Verdict</span>' + D.classes.map((c, k) => k === REPEATED ? "" :
  "<span>" + swatch(k) + c + (k === UNJUDGED ? " (fails)" : "") + " " + ccount[k] + "</span>").join("") +
  '<span class="lg">Status</span>' + D.statuses.map((s, k) => "<span>" + spattern(k) + s + " " + scount[k] + "</span>").join("");
const bcount = new Array(NB + 1).fill(0), mcount = [0, 0];
for (let i = 0; i < N; i++) { bcount[bin[i]]++; for (let m = 0; m < 2; m++) if (mark[i] >> m & 1) mcount[m]++; }
const densityLegend = '<span class="lg">Pulse density (first returns per ' + esc(D.unit) + ")</span>" +
  binColours.map((c, k) => bcount[k] || k < NB ? '<span><span class="sw" style="background-color:' + c + '"></span>' +
    binName(k) + " " + bcount[k] + "</span>" : "").join("") +
  (D.voids.length + mcount[0] + mcount[1] ? '<span class="lg">Marks</span>' : "") +
  (D.voids.length ? '<span><span class="sw" style="background-color:' + VOID + '"></span>void ' + D.voids.length + "</span>" : "") +
  MARKS.map((m, k) => mcount[k] ? '<span><span class="sw mk' + k + '"></span>' + m + " " + mcount[k] + "</span>" : "").join("");

// The map: one panel per coordinate system, the majority's first; each
// panel at equal scale on both axes, north up. An extent beyond what the
// arithmetic of laying it out survives is set apart and named.
const LIMIT = 1e300;
const groups = new Map(), apart = [];
for (let i = 0; i < N; i++) if (has[i]) {
  if (!(Math.abs(ext[4 * i]) <= LIMIT && Math.abs(ext[4 * i + 1]) <= LIMIT && Math.abs(ext[4 * i + 2]) <= LIMIT &&
        Math.abs(ext[4 * i + 3]) <= LIMIT)) { apart.push(i); continue; }
  if (!groups.has(sys[i])) groups.set(sys[i], []);
  groups.get(sys[i]).push(i);
}
const panels = [...groups.entries()].sort((a, b) => (b[0] === D.majority) - (a[0] === D.majority) || b[1].length - a[1].length)
  .map(([s, idx]) => ({sys: s, idx: Int32Array.from(idx)}));
// A void on its first tile's panel; the majority's where that has none.
for (const p of panels) p.voids = [];
for (const v of D.voids) (panels.find(p => v[5] >= 0 && has[v[5]] && p.sys === sys[v[5]]) || panels[0] || {voids: []}).voids.push(v);
const undrawn = N - panels.reduce((n, p) => n + p.idx.length, 0) - apart.length;
const maps = $("maps");
let selected = -1;

// Each drawn tile's rectangle on its panel in pixels (x, y, width,
// height), set by the panel's layout.
const box = new Float64Array(4 * N);
function place(p, i) {
  let x = p.ox + ext[4 * i] * p.s, y = p.oy - ext[4 * i + 3] * p.s;
  let w = (ext[4 * i + 2] - ext[4 * i]) * p.s, h = (ext[4 * i + 3] - ext[4 * i + 1]) * p.s;
  // Too small to see: drawn as a dot of 4 pixels around its centre.
  if (w < 4) { x += w / 2 - 2; w = 4; }
  if (h < 4) { y += h / 2 - 2; h = 4; }
  box[4 * i] = x; box[4 * i + 1] = y; box[4 * i + 2] = w; box[4 * i + 3] = h;
}
const rect = i => [box[4 * i], box[4 * i + 1], box[4 * i + 2], box[4 * i + 3]];

function layout(p, width) {
  let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
  for (const i of p.idx) {
    x0 = Math.min(x0, ext[4 * i]); y0 = Math.min(y0, ext[4 * i + 1]);
    x1 = Math.max(x1, ext[4 * i + 2]); y1 = Math.max(y1, ext[4 * i + 3]);
  }
  // A panel of one point or a line still has an area to draw in.
  const span = Math.max(x1 - x0, y1 - y0, 1e-6 * Math.max(1, Math.abs(x0), Math.abs(x1), Math.abs(y0), Math.abs(y1)));
  const dx = Math.max(x1 - x0, span / 20), dy = Math.max(y1 - y0, span / 20), m = 10;
  x0 = (x0 + x1 - dx) / 2; y1 = (y0 + y1 + dy) / 2;
  const big = p.sys === D.majority;
  p.W = big ? width : Math.max(280, Math.floor((width - 40) / 2));
  p.H = Math.round(Math.min(big ? 640 : 300, Math.max(120, (p.W - 2 * m) * dy / dx + 2 * m)));
  p.s = Math.min((p.W - 2 * m) / dx, (p.H - 2 * m) / dy);
  p.ox = (p.W - dx * p.s) / 2 - x0 * p.s;
  p.oy = (p.H - dy * p.s) / 2 + y1 * p.s;
  // Each class's tiles, drawn in turn; and where each tile is, for the
  // pointer: a grid of 64 by 64 cells, and apart the tiles that cover many
  // cells, lest 100,000 copies of one extent fill every cell.
  p.byClass = D.classes.map(() => []);
  p.byBin = binColours.map(() => []);
  p.g = 64; p.cells = new Array(p.g * p.g); p.big = [];
  for (const i of p.idx) {
    p.byClass[cl[i]].push(i);
    p.byBin[bin[i]].push(i);
    place(p, i);
    const o = 4 * i, c0 = cell(p, box[o]), c1 = cell(p, box[o] + box[o + 2]), r0 = cellY(p, box[o + 1]), r1 = cellY(p, box[o + 1] + box[o + 3]);
    if ((c1 - c0 + 1) * (r1 - r0 + 1) > 16) { p.big.push(i); continue; }
    for (let v = r0; v <= r1; v++) for (let u = c0; u <= c1; u++) (p.cells[v * p.g + u] ||= []).push(i);
  }
}
const cell = (p, x) => Math.max(0, Math.min(p.g - 1, Math.floor(x / p.W * p.g)));
const cellY = (p, y) => Math.max(0, Math.min(p.g - 1, Math.floor(y / p.H * p.g)));

function niceStep(v) {
  const e = Math.pow(10, Math.floor(Math.log10(v))), f = v / e;
  return (f >= 5 ? 5 : f >= 2 ? 2 : 1) * e;
}

function draw(p) {
  const dpr = window.devicePixelRatio || 1, cv = p.canvas, g = cv.getContext("2d");
  cv.width = Math.round(p.W * dpr); cv.height = Math.round(p.H * dpr);
  cv.style.width = p.W + "px"; cv.style.height = p.H + "px";
  g.setTransform(dpr, 0, 0, dpr, 0, 0);
  g.fillStyle = "#fff"; g.fillRect(0, 0, p.W, p.H);
  let wide = 0;
  for (const i of p.idx) if (box[4 * i + 2] >= 6) wide++;
  const outline = wide * 2 > p.idx.length;
  const density = mapView === "density";
  // The worse verdict on top; each class's status patterns on its colour.
  // Or each density class in its colour, the tile scheme's marks on it.
  for (const c of density ? binColours.keys() : D.order) {
    const idx = density ? p.byBin[c] : p.byClass[c], colour = density ? binColours[c] : D.colours[c];
    if (!idx.length) continue;
    const fill = new Path2D(), over = new Map();
    // Copies of one extent are drawn once: 100,000 of them, each filling
    // the panel, would take the browser minutes.
    const seen = new Set();
    for (const i of idx) {
      const o = 4 * i, x = box[o], y = box[o + 1], w = box[o + 2], h = box[o + 3];
      if (w * h > 64) {
        const k = (density ? mark[i] : st[i]) + ":" + Math.round(x * 2) + "," + Math.round(y * 2) + "," + Math.round(w * 2) + "," + Math.round(h * 2);
        if (seen.has(k)) continue;
        seen.add(k);
      }
      fill.rect(x, y, w, h);
      // A pattern needs room to be seen.
      const kinds = density ? MARK_PATTERNS.filter((_, m) => mark[i] >> m & 1) : D.patterns[st[i]] ? [D.patterns[st[i]]] : [];
      if (w >= 6 && h >= 6) for (const k of kinds) {
        if (!over.has(k)) over.set(k, new Path2D());
        over.get(k).rect(x, y, w, h);
      }
    }
    g.fillStyle = colour; g.fill(fill);
    for (const [k, shape] of over) { g.fillStyle = g.createPattern(pattern(k, dark(colour)), "repeat"); g.fill(shape); }
    if (outline) { g.strokeStyle = "rgba(0,0,0,0.45)"; g.lineWidth = 0.6; g.stroke(fill); }
  }
  // Voids where they are, at least 4 pixels across to be seen.
  if (density) {
    const shape = new Path2D();
    for (const v of p.voids) {
      let x = p.ox + v[0] * p.s, y = p.oy - v[3] * p.s, w = (v[2] - v[0]) * p.s, h = (v[3] - v[1]) * p.s;
      if (w < 4) { x += w / 2 - 2; w = 4; }
      if (h < 4) { y += h / 2 - 2; h = 4; }
      shape.rect(x, y, w, h);
    }
    g.fillStyle = VOID; g.fill(shape); g.strokeStyle = "#000"; g.lineWidth = 1; g.stroke(shape);
  }
  // A tile set apart has no place on the panel to outline.
  if (selected >= 0 && p.idx.includes(selected)) {
    const r = rect(selected);
    g.strokeStyle = "#000"; g.lineWidth = 3; g.strokeRect(r[0] - 2.5, r[1] - 2.5, r[2] + 5, r[3] + 5);
    g.strokeStyle = "#fff"; g.lineWidth = 1; g.strokeRect(r[0] - 2.5, r[1] - 2.5, r[2] + 5, r[3] + 5);
  }
  // North arrow and a scale bar in the system's units.
  g.fillStyle = "#222"; g.font = "12px sans-serif"; g.textAlign = "center";
  g.fillText("N", p.W - 16, 16); g.beginPath(); g.moveTo(p.W - 16, 20); g.lineTo(p.W - 21, 32); g.lineTo(p.W - 11, 32); g.fill();
  const step = niceStep(p.W / 5 / p.s), len = step * p.s;
  g.fillRect(12, p.H - 14, len, 3); g.textAlign = "left"; g.fillText(String(step), 12, p.H - 18);
}

function panelAt(ev, p) {
  const b = p.canvas.getBoundingClientRect(), x = ev.clientX - b.left, y = ev.clientY - b.top;
  let best = -1;
  for (const i of (p.cells[cellY(p, y) * p.g + cell(p, x)] || []).concat(p.big)) {
    const r = rect(i);
    if (x >= r[0] - 1 && x <= r[0] + r[2] + 1 && y >= r[1] - 1 && y <= r[1] + r[3] + 1 &&
        (best < 0 || rank[cl[i]] >= rank[cl[best]])) best = i;
  }
  return best;
}

const tip = $("tip");
panels.forEach((p, k) => {
  const div = document.createElement("div");
  div.className = k === 0 ? "panel" : "panel apart";
  const n = p.idx.length + (p.idx.length === 1 ? " file" : " files");
  const name = p.sys === -1 ? "No coordinate system" : p.sys === -2 ? "Unidentified coordinate systems" : esc(sysName(p.sys));
  div.innerHTML = "<h3>" + name + ": " + n + (k === 0 ? "" : p.sys < 0 ? " — drawn apart, at their own scale" :
    " — another coordinate system than the majority's (" + esc(sysName(panels[0].sys)) + "), drawn apart at its own scale") + "</h3>";
  p.canvas = document.createElement("canvas");
  div.appendChild(p.canvas);
  maps.appendChild(div);
  p.canvas.addEventListener("mousemove", ev => {
    const i = panelAt(ev, p);
    if (i < 0) { tip.style.display = "none"; return; }
    tip.innerHTML = "<b>" + esc(path[i]) + "</b><br>" + swatch(cl[i]) + verdictText(i) + " &nbsp; " + spattern(st[i]) +
      D.statuses[st[i]] + (isNaN(dens[i]) ? "" : "<br>pulse density " + densText(i) + " per " + esc(D.unit)) +
      MARKS.filter((_, m) => mark[i] >> m & 1).map(m => "<br>" + m).join("") + (rules[i] ? "<br>" + esc(findings(i)) : "");
    tip.style.display = "block";
    tip.style.left = Math.min(ev.clientX + 14, innerWidth - tip.offsetWidth - 8) + "px";
    tip.style.top = (ev.clientY + 14) + "px";
  });
  p.canvas.addEventListener("mouseleave", () => { tip.style.display = "none"; });
  p.canvas.addEventListener("click", ev => { const i = panelAt(ev, p); if (i >= 0) reveal(i); });
});
const width = Math.max(320, maps.clientWidth || 900);
for (const p of panels) { layout(p, width); p.canvas.parentNode.style.width = p.W + "px"; }
const undrawnNote = undrawn ? undrawn + (undrawn === 1 ? " file has" : " files have") + " no extent to draw (no points, or not read)." : "";
// The map as verdicts and statuses, or as pulse density with the voids
// and the tile scheme's marks.
function show(v) {
  mapView = v;
  $("legend").innerHTML = mapView === "density" ? densityLegend : verdictLegend;
  for (const b of $("views").querySelectorAll("button")) b.setAttribute("aria-pressed", String(b.dataset.view === mapView));
  for (const p of panels) draw(p);
  $("mapnote").textContent = "Each rectangle is a file's extent (as recomputed from its points, else as its header states), " +
    "in its own coordinates, north up, equal scale on both axes; the scale bar is in the system's units. " +
    (mapView === "density" ? "Its colour is the file's pulse density: its first returns over the area its points cover. " +
      "Voids are drawn where they are; duplicates and tiles off the grid are patterned. " :
      "Its colour is the file's verdict, its pattern the status; where tiles overlap, the worse verdict is on top. ") + undrawnNote;
}
if (densityShown) {
  $("views").innerHTML = '<button type="button" data-view="verdict">Verdict and status</button>' +
    '<button type="button" data-view="density">Pulse density and voids</button>';
  $("views").addEventListener("click", ev => {
    const v = ev.target.dataset && ev.target.dataset.view;
    if (v && v !== mapView) { show(v); apply(false); }
  });
}
const named = apart.slice(0, 10).map(i => path[i]).join(", ") + (apart.length > 10 ? " and " + (apart.length - 10) + " more" : "");
$("apart").textContent = apart.length ? "Not drawn, " + (apart.length === 1 ? "an extent" : "extents") +
  " too large to lay out (beyond ±1e300): " + named + "." : "";

// The table: sorted and filtered on arrays; only the rows in view exist.
const state = {verdict: new Set(), status: new Set(), rule: "", q: "", sort: "", desc: false};
const cols = [["path", "Path", "33%"], ["verdict", "Verdict", "10%"], ["status", "Status", "9%"], ["rules", "Findings", "25%"],
  ["points", "Points", "8%"], ["density", "Density", "6%"], ["crs", "Coordinate system", "9%"]];
const byText = f => { const k = new Map(); const t = i => { let v = k.get(i); if (v === undefined) k.set(i, v = f(i)); return v; };
  return (a, b) => { const x = t(a), y = t(b); return x < y ? -1 : x > y ? 1 : 0; }; };
const key = {
  path: () => (a, b) => path[a] < path[b] ? -1 : path[a] > path[b] ? 1 : 0,
  verdict: () => (a, b) => rank[cl[a]] - rank[cl[b]],
  status: () => (a, b) => srank[st[a]] - srank[st[b]],
  rules: () => byText(findings),
  points: () => (a, b) => pts[a] - pts[b],
  // A tile not surveyed sorts below every density.
  density: () => { const v = i => isNaN(dens[i]) ? -Infinity : dens[i]; return (a, b) => v(a) - v(b) || 0; },
  crs: () => byText(i => sysName(sys[i])),
};
let view = new Int32Array(0);
const verdictCount = k => k === NONE ? 0 : k === UNJUDGED ? 0 : ccount[k] + (k === 1 ? ccount[UNJUDGED] : 0);
$("verdicts").innerHTML = D.verdicts.map((v, k) => v && verdictCount(k) ? '<label><input type="checkbox" name="verdict" value="' + k +
  '">' + swatch(k) + v + "</label>" : "").join("");
$("statuses").innerHTML = D.statuses.map((s, k) => scount[k] ? '<label><input type="checkbox" name="status" value="' + k + '">' +
  spattern(k) + s + "</label>" : "").join("");
const used = new Set();
for (let i = 0; i < N; i++) if (rules[i]) for (const r of rules[i].split(",")) used.add(+r);
$("rule").innerHTML = '<option value="">any or none</option><option value="-">no finding</option>' +
  [...used].sort((a, b) => D.errors[b] - D.errors[a] || a - b).map(r => '<option value="' + r + '">' + esc(D.rules[r]) +
  (D.errors[r] ? " (error)" : " (warning)") + "</option>").join("");
$("head").innerHTML = cols.map(c => '<th data-key="' + c[0] + '" style="width:' + c[2] + '">' + c[1] + "</th>").join("");

function apply(keepHash) {
  const q = state.q.toLowerCase(), out = [];
  for (let i = 0; i < N; i++) {
    if (state.verdict.size && !state.verdict.has(vd[i])) continue;
    if (state.status.size && !state.status.has(st[i])) continue;
    if (state.rule === "-" ? rules[i] !== "" : state.rule !== "" && !("," + rules[i] + ",").includes("," + state.rule + ",")) continue;
    if (q && !path[i].toLowerCase().includes(q)) continue;
    out.push(i);
  }
  if (state.sort) { const f = key[state.sort](), d = state.desc ? -1 : 1; out.sort((a, b) => d * f(a, b) || a - b); }
  view = Int32Array.from(out);
  for (const th of $("head").children) th.setAttribute("aria-sort", th.dataset.key !== state.sort ? "none" : state.desc ? "descending" : "ascending");
  $("count").textContent = view.length + " of " + N + " files";
  rows();
  if (!keepHash) {
    const h = new URLSearchParams();
    if (state.verdict.size) h.set("verdict", [...state.verdict].map(v => D.verdicts[v]).join(","));
    if (state.status.size) h.set("status", [...state.status].map(s => D.statuses[s]).join(","));
    if (state.rule) h.set("rule", state.rule === "-" ? "-" : D.rules[+state.rule]);
    if (state.q) h.set("q", state.q);
    if (state.sort) { h.set("sort", state.sort); if (state.desc) h.set("order", "desc"); }
    if (mapView === "density") h.set("view", "density");
    history.replaceState(null, "", "#" + h.toString());
  }
}

const ROW = 23, scroller = $("scroller");
function rows() {
  const first = Math.max(0, Math.floor(scroller.scrollTop / ROW) - 10);
  const last = Math.min(view.length, first + Math.ceil((scroller.clientHeight || 480) / ROW) + 20);
  let h = '<tr style="height:' + first * ROW + 'px"></tr>';
  for (let k = first; k < last; k++) {
    const i = view[k], f = esc(findings(i));
    h += '<tr data-i="' + i + '"' + (i === selected ? ' class="sel"' : "") + '><td title="' + esc(path[i]) + '">' + esc(path[i]) +
      '</td><td>' + swatch(cl[i]) + verdictText(i) + '</td><td>' + spattern(st[i]) + D.statuses[st[i]] +
      '</td><td title="' + f + '">' + f + '</td><td class="n">' + pts[i] + '</td><td class="n">' + densText(i) + "</td><td>" + esc(sysName(sys[i])) + "</td></tr>";
  }
  $("body").innerHTML = h + '<tr style="height:' + (view.length - last) * ROW + 'px"></tr>';
}
scroller.addEventListener("scroll", () => requestAnimationFrame(rows));

function select(i) {
  selected = i;
  for (const p of panels) if (p.sys === sys[i]) draw(p);
}
// A tile clicked on the map: its row, shown even if the filters hid it.
function reveal(i) {
  let k = view.indexOf(i);
  if (k < 0) {
    state.verdict.clear(); state.status.clear(); state.rule = ""; state.q = "";
    syncControls(); apply(false); k = view.indexOf(i);
  }
  select(i);
  scroller.scrollTop = Math.max(0, k * ROW - scroller.clientHeight / 2);
  rows();
  $("files").scrollIntoView({block: "start"});
}

function syncControls() {
  for (const b of $("verdicts").querySelectorAll("input")) b.checked = state.verdict.has(+b.value);
  for (const b of $("statuses").querySelectorAll("input")) b.checked = state.status.has(+b.value);
  $("rule").value = state.rule; $("q").value = state.q;
}
const checked = id => new Set([...$(id).querySelectorAll("input:checked")].map(b => +b.value));
$("verdicts").addEventListener("change", () => { state.verdict = checked("verdicts"); apply(false); });
$("statuses").addEventListener("change", () => { state.status = checked("statuses"); apply(false); });
$("rule").addEventListener("change", () => { state.rule = $("rule").value; apply(false); });
$("q").addEventListener("input", () => { state.q = $("q").value; apply(false); });
$("head").addEventListener("click", ev => {
  const k = ev.target.dataset && ev.target.dataset.key;
  if (!k) return;
  state.desc = state.sort === k ? !state.desc : false; state.sort = k; apply(false);
});
$("body").addEventListener("click", ev => {
  const tr = ev.target.closest("tr[data-i]");
  if (tr) { select(+tr.dataset.i); rows(); }
});

// The view as the address says:
// #verdict=fail&status=stale,refused&rule=stats.extent&sort=points&order=desc&q=text&view=density.
const h = new URLSearchParams(location.hash.slice(1));
show(densityShown && h.get("view") === "density" ? "density" : "verdict");
for (const v of (h.get("verdict") || "").split(",")) { const k = D.verdicts.indexOf(v); if (v && k >= 0) state.verdict.add(k); }
for (const s of (h.get("status") || "").split(",")) { const k = D.statuses.indexOf(s); if (k >= 0) state.status.add(k); }
const r = h.get("rule") || "";
state.rule = r === "-" ? "-" : D.rules.indexOf(r) >= 0 ? String(D.rules.indexOf(r)) : "";
state.q = h.get("q") || "";
if (key[h.get("sort")]) { state.sort = h.get("sort"); state.desc = h.get("order") === "desc"; }
syncControls();
apply(true);
})();
