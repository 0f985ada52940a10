// Put into the report page by report_test.py before the page's own script
// runs, so that the page itself carries nothing for tests. It finds each
// file's tile as a user does: a click on the file's row outlines its tile
// on the map; and reads the colours the map was drawn in.
(() => {
  "use strict";
  // The page outlines the selected tile this far outside it.
  const MARGIN = 2.5;
  let outlined = null;
  const strokeRect = CanvasRenderingContext2D.prototype.strokeRect;
  CanvasRenderingContext2D.prototype.strokeRect = function (x, y, w, h) {
    outlined = {canvas: this.canvas, rect: [x + MARGIN, y + MARGIN, w - 2 * MARGIN, h - 2 * MARGIN]};
    return strokeRect.call(this, x, y, w, h);
  };

  const $ = id => document.getElementById(id);
  const canvases = () => [...document.querySelectorAll("#maps canvas")];
  const hex = (px, o) => o >= 0 && o < px.length ?
    "#" + [px[o], px[o + 1], px[o + 2]].map(v => v.toString(16).padStart(2, "0")).join("") : "outside";
  // The maps as drawn before any tile is outlined.
  let drawn = null;
  const snapshot = () => drawn || (drawn = canvases().map(cv => cv.getContext("2d").getImageData(0, 0, cv.width, cv.height).data));

  // The tile a click on path's row outlines, as its canvas and rectangle; null if none is.
  function outline(path) {
    $("q").value = path;
    $("q").dispatchEvent(new Event("input"));
    const row = [...$("body").querySelectorAll("tr[data-i]")].find(tr => tr.firstChild.title === path);
    if (!row) throw new Error("no row for " + path);
    outlined = null;
    row.firstChild.click();
    return outlined;
  }

  window.reportProbe = {
    // Lines of "panel", its index and system as its heading names it; and
    // "tile", its panel, path, centre in pixels, colour (the most common
    // one in a block of the pattern's size inside it, where it is large
    // enough, else at its centre) and which pixels of the block differ.
    map(paths) {
      const lines = [], dpr = window.devicePixelRatio || 1, P = Math.round(8 * dpr), all = canvases(), pixels = snapshot();
      all.forEach((cv, k) => {
        const heading = cv.parentNode.querySelector("h3").textContent;
        const name = heading.match(/^([\s\S]*): \d+ files?( — [\s\S]*)?$/)[1];
        lines.push("panel\t" + k + "\t" + (name === "No coordinate system" ? "none" :
          name === "Unidentified coordinate systems" ? "unidentified" : name));
      });
      for (const path of paths) {
        const o = outline(path);
        if (!o) continue;
        const k = all.indexOf(o.canvas), px = pixels[k], W = o.canvas.width, [x0, y0, w, h] = o.rect;
        const x = x0 + w / 2, y = y0 + h / 2;
        const bx = Math.ceil((x0 + 3) * dpr / P) * P, by = Math.ceil((y0 + 3) * dpr / P) * P;
        let colour = hex(px, 4 * (Math.floor(y * dpr) * W + Math.floor(x * dpr))), mask = "";
        if (bx + P <= (x0 + w - 3) * dpr && by + P <= (y0 + h - 3) * dpr) {
          const block = [], n = new Map();
          for (let v = 0; v < P; v++) for (let u = 0; u < P; u++) {
            const c = hex(px, 4 * ((by + v) * W + bx + u));
            block.push(c); n.set(c, (n.get(c) || 0) + 1);
          }
          colour = [...n.entries()].sort((a, b) => b[1] - a[1])[0][0];
          mask = block.map(c => c === colour ? "0" : "1").join("");
        }
        lines.push("tile\t" + k + "\t" + path + "\t" + x.toFixed(2) + "\t" + y.toFixed(2) + "\t" + colour + "\t" + mask);
      }
      return lines.join("\n");
    },
    // The colour at x, y of a panel, as drawn before any tile is outlined.
    colourAt(k, x, y) {
      const cv = canvases()[k], dpr = window.devicePixelRatio || 1;
      return hex(snapshot()[k], 4 * (Math.floor(y * dpr) * cv.width + Math.floor(x * dpr)));
    },
    // Lines of each swatch in the legend: its colour as drawn and its text.
    legend() {
      const rgb = c => "#" + c.match(/\d+/g).slice(0, 3).map(v => (+v).toString(16).padStart(2, "0")).join("");
      return [...$("legend").querySelectorAll(".sw")].map(sw => rgb(getComputedStyle(sw).backgroundColor) + "\t" +
        sw.parentNode.textContent.trim()).join("\n");
    },
    // Milliseconds from navigation until every map is drawn: the browser
    // draws a canvas when it paints, and reading a pixel makes it draw now.
    drawnMs() {
      for (const cv of canvases()) cv.getContext("2d").getImageData(0, 0, 1, 1);
      return Math.round(performance.now());
    },
  };
})();
