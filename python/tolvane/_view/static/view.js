// tolvane view: panels of signals on one shared time axis. Every zoom or pan asks the server for
// the window shown at the plot's width in pixels; the server answers each pixel column's first,
// minimum, maximum and last sample (or every sample of a short window).
"use strict";
(function () {
  const root = document.getElementById("view");
  const token = root.dataset.token;
  const plot = document.getElementById("plot");
  const list = document.getElementById("signals");
  const filter = document.getElementById("filter");
  const readout = document.getElementById("readout");
  const palette = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2",
                   "#17becf", "#7f7f7f", "#bcbd22"];
  // What the page shows, for the user's keys and for tests: panels (lists of signal names),
  // the time window shown, and each source's last answer.
  const state = { meta: null, names: [], panels: [], range: null, full: null, fetched: [],
                  requests: 0, answered: 0, follow: false, errors: [], drawn: false };
  window.tolvaneView = state;

  const url = (path, params) => path + "?" + new URLSearchParams(Object.assign({ token: token }, params || {}));
  // The offline page (tolvane plot -o OUT.html) carries its data; the served one asks for it.
  const offline = root.dataset.offline === "1";

  // ---------------------------------------------------------------- offline: the page's own data

  function decoded(text, Type) {
    const bytes = Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
    return new Type(bytes.buffer);
  }

  function offlineMeta() {
    const meta = JSON.parse(document.getElementById("tolvane-data").textContent);
    for (const s of meta.sources) {
      if (s.raw) {
        s.raw.times = decoded(s.raw.times, Float64Array);
        s.raw.values = s.raw.values.map((v) => decoded(v, Float32Array));
      } else {
        for (const level of s.levels) {
          for (const key of ["min", "max"]) level[key] = level[key].map((v) => decoded(v, Float32Array));
          for (const key of ["tmin", "tmax"]) level[key] = level[key].map((v) => decoded(v, Float64Array));
        }
      }
    }
    return meta;
  }

  const below = (a, t) => { let lo = 0, hi = a.length; while (lo < hi) { const m = (lo + hi) >> 1; if (a[m] < t) lo = m + 1; else hi = m; } return lo; };
  const atOrBelow = (a, t) => { let lo = 0, hi = a.length; while (lo < hi) { const m = (lo + hi) >> 1; if (a[m] <= t) lo = m + 1; else hi = m; } return lo; };
  const column = (t, t0, t1, width) => Math.min(width - 1, Math.max(0, Math.floor((t - t0) / (t1 - t0) * width)));

  // Per pixel column, the first, minimum, maximum and last sample (every sample of a short
  // window), with the samples beside the window.
  function rawWindow(times, values, t0, t1, width) {
    const lo = below(times, t0), hi = atOrBelow(times, t1);
    const from = Math.max(lo - 1, 0), to = Math.min(hi + 1, times.length);
    if (hi - lo <= 4 * width || !(t1 > t0)) return [times.slice(from, to), values.slice(from, to)];
    const picked = [];
    if (from < lo) picked.push(from);
    let col = -1, first = 0, low = 0, high = 0, last = 0;
    const close = () => { for (const i of [...new Set([first, low, high, last])].sort((a, b) => a - b)) picked.push(i); };
    for (let i = lo; i < hi; i++) {
      const c = column(times[i], t0, t1, width);
      if (c !== col) {
        if (col >= 0) close();
        col = c; first = low = high = last = i;
      } else {
        if (values[i] < values[low]) low = i;
        if (values[i] > values[high]) high = i;
        last = i;
      }
    }
    if (col >= 0) close();
    if (hi < to) picked.push(hi);
    return [Float64Array.from(picked, (i) => times[i]), Float32Array.from(picked, (i) => values[i])];
  }

  // From the finest level whose bins in the window are few enough: per pixel column, the
  // lowest minimum and the highest maximum of the bins, at their times.
  function levelWindow(levels, row, t0, t1, width) {
    let level = levels[levels.length - 1];
    for (const l of levels) {
      const n = atOrBelow(l.tmin[row], t1) - below(l.tmax[row], t0);
      if (n <= 8 * width) { level = l; break; }
    }
    const tmin = level.tmin[row], tmax = level.tmax[row], mins = level.min[row], maxs = level.max[row];
    const from = Math.max(0, Math.min(below(tmin, t0), below(tmax, t0)) - 1);
    const to = Math.min(level.count, Math.max(atOrBelow(tmin, t1), atOrBelow(tmax, t1)) + 1);
    const lowT = new Map(), highT = new Map(), xs = [], ys = [];
    const outside = [];
    for (let i = from; i < to; i++) {
      for (const [t, v, keep, better] of [[tmin[i], mins[i], lowT, (a, b) => a < b], [tmax[i], maxs[i], highT, (a, b) => a > b]]) {
        if (t < t0 || t > t1) { outside.push([t, v]); continue; }
        const c = column(t, t0, t1, width);
        const held = keep.get(c);
        if (held === undefined || better(v, held[1])) keep.set(c, [t, v]);
      }
    }
    const points = [...lowT.values(), ...highT.values(), ...outside].sort((a, b) => a[0] - b[0]);
    for (const [t, v] of points) { xs.push(t); ys.push(v); }
    return [Float64Array.from(xs), Float32Array.from(ys)];
  }

  function localWindow(source, t0, t1, width, rows) {
    const s = state.meta.sources[source];
    const answer = { t0: t0, t1: t1, width: width, rows: rows, raw: !!s.raw, xs: [], ys: [] };
    for (const row of rows) {
      const [x, y] = s.raw ? rawWindow(s.raw.times, s.raw.values[row], t0, t1, width)
                           : levelWindow(s.levels, row, t0, t1, width);
      answer.xs.push(x);
      answer.ys.push(y);
    }
    return answer;
  }

  async function getJSON(path) {
    const response = await fetch(url(path));
    if (!response.ok) throw new Error(path + ": " + (await response.text()));
    return response.json();
  }

  function unpack(buffer) {
    const view = new DataView(buffer);
    const length = view.getUint32(0, true);
    const head = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
    let at = 4 + length;
    head.xs = head.counts.map((n) => { const a = new Float64Array(buffer, at, n); at += 8 * n; return a; });
    head.ys = head.counts.map((n) => { const a = new Float32Array(buffer, at, n); at += 4 * n; return a; });
    return head;
  }

  function fullSpan() {
    let lo = Infinity, hi = -Infinity;
    for (const s of state.meta.sources) {
      if (s.blocks > 0) { lo = Math.min(lo, s.start); hi = Math.max(hi, s.end); }
    }
    if (!(hi >= lo)) return [0, 1];
    if (hi === lo) return [lo - 0.5, hi + 0.5];
    return [lo, hi];
  }

  // ---------------------------------------------------------------- the list of signals

  function buildList() {
    list.textContent = "";
    for (const name of state.names) {
      const item = document.createElement("li");
      item.textContent = name;
      item.title = name;
      item.dataset.name = name;
      item.addEventListener("click", (event) => toggle(name, event.shiftKey));
      list.appendChild(item);
    }
    markList();
  }

  function markList() {
    for (const item of list.children) {
      const panel = state.panels.findIndex((p) => p.includes(item.dataset.name));
      item.classList.toggle("shown", panel >= 0);
      if (panel >= 0) {
        const slot = state.panels[panel].indexOf(item.dataset.name);
        item.style.setProperty("--colour", colour(0, slot));
      }
    }
  }

  function applyFilter() {
    const text = filter.value.trim().toLowerCase();
    for (const item of list.children) {
      item.classList.toggle("hidden", text !== "" && !item.dataset.name.toLowerCase().includes(text));
    }
  }

  function toggle(name, intoLast) {
    const panel = state.panels.findIndex((p) => p.includes(name));
    if (panel >= 0) {
      state.panels[panel] = state.panels[panel].filter((n) => n !== name);
      state.panels = state.panels.filter((p) => p.length > 0);
    } else if (intoLast && state.panels.length > 0) {
      state.panels[state.panels.length - 1].push(name);
    } else {
      state.panels.push([name]);
    }
    markList();
    draw();
  }

  // ---------------------------------------------------------------- the plot

  // Several sources: a colour each; one source: a colour per signal of a panel.
  function colour(source, slot) {
    return palette[(state.meta.sources.length > 1 ? source : slot) % palette.length];
  }

  function traces() {
    const out = [], under = [];
    state.panels.forEach((names, panel) => {
      names.forEach((name, slot) => {
        state.meta.sources.forEach((source, s) => {
          const row = source.names.indexOf(name);
          if (row < 0) return;
          const many = state.meta.sources.length > 1;
          const yaxis = panel === 0 ? "y" : "y" + (panel + 1);
          if (source.compared && source.compared[name]) {
            // The reference's band (its lower edge, then its upper edge filled down to it) and
            // the points outside it, under the line.
            const band = many ? source.label + ": " + name : name;
            const common = { type: "scatter", x: [], y: [], hoverinfo: "none", yaxis: yaxis, legendgroup: band + " band" };
            under.push(Object.assign({ mode: "lines", name: band + " band", showlegend: false,
                                       line: { width: 0, color: "rgba(120,120,120,0.5)" }, meta: { source: s, row: row, name: name, band: 0 } }, common));
            under.push(Object.assign({ mode: "lines", name: band + " band", fill: "tonexty", fillcolor: "rgba(140,140,140,0.3)",
                                       line: { width: 0, color: "rgba(120,120,120,0.5)" }, meta: { source: s, row: row, name: name, band: 1 } }, common));
            under.push(Object.assign({ mode: "markers", name: band + " outside the band", marker: { symbol: "circle", size: 4, color: "rgba(255,127,14,0.9)" },
                                       meta: { source: s, row: row, name: name, band: 2 } }, common));
          }
          out.push({ type: "scatter", mode: "lines", x: [], y: [], hoverinfo: "none",
                     name: many ? source.label + ": " + name : name,
                     legendgroup: many ? source.label : name,
                     line: { color: colour(s, slot), width: 1.2, dash: many && slot > 0 ? ["solid", "dash", "dot"][slot % 3] : "solid" },
                     yaxis: yaxis, meta: { source: s, row: row, name: name } });
        });
      });
    });
    // The bands under every line, so that no band hides a run's line.
    return under.concat(out);
  }

  function layout() {
    const count = Math.max(state.panels.length, 1);
    const gap = count > 1 ? 0.04 : 0;
    const height = (1 - gap * (count - 1)) / count;
    // A legend where a panel draws more than one line: several sources, or several signals.
    const legend = state.meta.sources.length > 1 || state.panels.some((p) => p.length > 1);
    const shape = { margin: { l: 70, r: legend ? 170 : 20, t: 10, b: 40 }, showlegend: legend,
                    dragmode: state.dragmode || "zoom",
                    legend: { x: 1.01, y: 1, xanchor: "left", font: { size: 11 } },
                    hovermode: "x", uirevision: "keep", shapes: state.cursor === undefined ? [] : [cursorLine(state.cursor)],
                    xaxis: { range: state.range.slice(), anchor: count === 1 ? "y" : "y" + count, showspikes: false,
                             title: { text: state.meta.sources[0] ? state.meta.sources[0].time : "time" } } };
    for (let k = 0; k < count; k++) {
      const top = 1 - k * (height + gap);
      shape[k === 0 ? "yaxis" : "yaxis" + (k + 1)] = { domain: [Math.max(0, top - height), top], anchor: "x",
                                                        autorange: true, fixedrange: false,
                                                        title: { text: (state.panels[k] || []).join(", "), font: { size: 11 } } };
    }
    return shape;
  }

  function cursorLine(x) {
    return { type: "line", xref: "x", yref: "paper", x0: x, x1: x, y0: 0, y1: 1, line: { color: "#888", width: 1, dash: "dot" } };
  }

  let current = [];
  async function draw() {
    current = traces();
    await Plotly.react(plot, current, layout(), { scrollZoom: true, displaylogo: false, responsive: true,
                                                  doubleClick: false, modeBarButtonsToRemove: ["toImage"] });
    await refresh();
  }

  // Ask each source for the window shown at the plot's width; a newer request makes an older
  // answer stale.
  let asked = 0;
  async function refresh() {
    const mine = ++asked;
    const [t0, t1] = state.range;
    const width = Math.max(1, Math.round(plot._fullLayout._size.w));
    const wanted = new Map();
    const bands = [];
    current.forEach((trace, i) => {
      const m = trace.meta;
      if (m.band === 0) bands.push([m.source, m.row, i]);
      if (m.band !== undefined) return;
      if (!wanted.has(m.source)) wanted.set(m.source, []);
      wanted.get(m.source).push([m.row, i]);
    });
    const answers = [];
    for (const [source, row, first] of bands) {
      answers.push(fetch(url("band", { source: source, row: row, t0: t0, t1: t1, width: width }))
        .then(async (response) => {
          if (!response.ok) throw new Error("band: " + (await response.text()));
          return { band: true, source: source, rows: [[0, first], [1, first + 1], [2, first + 2]],
                   answer: unpack(await response.arrayBuffer()) };
        }));
    }
    for (const [source, rows] of wanted) {
      state.requests++;
      if (offline) {
        answers.push(Promise.resolve({ source: source, rows: rows,
                                       answer: localWindow(source, t0, t1, width, rows.map((r) => r[0])) }));
        continue;
      }
      answers.push(fetch(url("window", { source: source, t0: t0, t1: t1, width: width, rows: rows.map((r) => r[0]).join(",") }))
        .then(async (response) => {
          if (!response.ok) throw new Error("window: " + (await response.text()));
          return { source: source, rows: rows, answer: unpack(await response.arrayBuffer()) };
        }));
    }
    let results;
    try {
      results = await Promise.all(answers);
    } catch (error) {
      state.errors.push(String(error));
      return;
    }
    if (mine !== asked) return;
    const xs = current.map(() => []), ys = current.map(() => []);
    state.fetched = [];
    for (const { band, source, rows, answer } of results) {
      rows.forEach(([, trace], k) => { xs[trace] = answer.xs[k]; ys[trace] = answer.ys[k]; });
      if (band) continue;
      state.fetched.push({ source: source, t0: answer.t0, t1: answer.t1, width: answer.width, raw: answer.raw,
                           first: answer.first, end: answer.end, rows: answer.rows });
    }
    current.forEach((trace, i) => { trace.x = xs[i]; trace.y = ys[i]; });
    await Plotly.react(plot, current, layout());
    // Drawn lines may change the plot's width (a legend's room): ask again at the new width.
    if (Math.max(1, Math.round(plot._fullLayout._size.w)) !== width && mine === asked && !state.resized) {
      state.resized = true;
      await refresh();
      state.resized = false;
      return;
    }
    state.answered++;
    state.drawn = true;
  }

  function show(range) {
    state.range = [range[0], range[1]];
    refresh();
  }

  function reset() {
    state.full = fullSpan();
    show(state.full);
  }

  function move(fraction) {
    const [t0, t1] = state.range;
    const step = (t1 - t0) * fraction;
    show([t0 + step, t1 + step]);
  }

  function zoom(factor) {
    const [t0, t1] = state.range;
    const middle = (t0 + t1) / 2, half = (t1 - t0) / 2 * factor;
    show([middle - half, middle + half]);
  }

  // A zoom, a pan or a reset of the user's (the page's own redraws show the range it asked for).
  function onRelayout(event) {
    if (event["xaxis.autorange"]) { reset(); return; }
    let range = null;
    if ("xaxis.range[0]" in event) range = [event["xaxis.range[0]"], event["xaxis.range[1]"]];
    else if (event["xaxis.range"]) range = event["xaxis.range"];
    if (!range) return;
    range = [Number(range[0]), Number(range[1])];
    if (range[0] !== state.range[0] || range[1] !== state.range[1]) show(range);
  }

  // The cursor: the time under the mouse and, for every signal shown, its value there (the
  // last point at or before it).
  function onHover(event) {
    const x = event.xvals ? event.xvals[0] : event.points[0].x;
    state.cursor = x;
    const lines = ["t = " + Number(x).toPrecision(10)];
    current.forEach((trace) => {
      if (trace.meta.band !== undefined) return;
      const xs = trace.x;
      let lo = 0, hi = xs.length;
      while (lo < hi) { const mid = (lo + hi) >> 1; if (xs[mid] <= x) lo = mid + 1; else hi = mid; }
      const value = lo > 0 ? trace.y[lo - 1] : NaN;
      lines.push(trace.name + " = " + (Number.isNaN(value) ? "-" : Number(value).toPrecision(7)));
    });
    readout.textContent = lines.join("   ");
    Plotly.relayout(plot, { shapes: [cursorLine(x)] });
  }

  function onKey(event) {
    if (event.target === filter) {
      if (event.key === "Escape") { filter.value = ""; applyFilter(); filter.blur(); }
      return;
    }
    const keys = {
      "r": reset, "Home": reset, "ArrowLeft": () => move(-0.25), "ArrowRight": () => move(0.25),
      "+": () => zoom(0.5), "=": () => zoom(0.5), "-": () => zoom(2),
      "z": () => { state.dragmode = "zoom"; Plotly.relayout(plot, { dragmode: "zoom" }); },
      "p": () => { state.dragmode = "pan"; Plotly.relayout(plot, { dragmode: "pan" }); },
      "f": () => { state.follow = !state.follow && state.meta.follow; },
      "/": () => { filter.focus(); },
    };
    const action = keys[event.key];
    if (action && !event.ctrlKey && !event.metaKey && !event.altKey) { event.preventDefault(); action(); }
  }

  // Following: a view that showed the end keeps showing it as the files grow.
  async function poll() {
    let meta;
    try {
      meta = await getJSON("meta");
    } catch (error) {
      state.errors.push(String(error));
      return;
    }
    if (meta.generation === state.meta.generation) return;
    const oldEnd = fullSpan()[1];
    state.meta = meta;
    if (!state.follow) return;
    const [t0, t1] = state.range;
    const newEnd = fullSpan()[1];
    if (t1 >= oldEnd) {
      const whole = state.full && t0 <= state.full[0];
      state.full = fullSpan();
      show(whole ? state.full : [t0 + (newEnd - t1), newEnd]);
    }
  }

  async function start() {
    state.meta = offline ? offlineMeta() : await getJSON("meta");
    document.title = state.meta.title;
    const seen = new Set();
    for (const s of state.meta.sources) for (const n of s.names) if (!seen.has(n)) { seen.add(n); state.names.push(n); }
    state.panels = state.names.slice(0, 6).map((n) => [n]);
    state.full = fullSpan();
    state.range = state.full.slice();
    state.follow = state.meta.follow;
    buildList();
    filter.addEventListener("input", applyFilter);
    document.addEventListener("keydown", onKey);
    await draw();
    plot.on("plotly_relayout", onRelayout);
    plot.on("plotly_hover", onHover);
    plot.on("plotly_doubleclick", () => { reset(); return false; });
    window.addEventListener("resize", () => refresh());
    if (state.meta.follow) setInterval(poll, 400);
  }

  start().catch((error) => { state.errors.push(String(error)); readout.textContent = String(error); });
})();
