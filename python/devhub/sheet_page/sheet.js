// The workbook page: a grid over one workbook whose cells the hub calculates.
//
// Cells come from the hub over a WebSocket and are kept in a cache per sheet; the grid draws
// only the cells on screen, re-using a pool of elements as the view scrolls. Edits are sent to
// the hub and drawn when it reports the cells changed, never before.
"use strict";

(function () {
  const ROW_H = 22;
  const COL_W = 90;
  const HEAD_H = 24;
  const ROWHEAD_W = 64;
  const MARGIN_ROWS = 2;          // pool rows drawn beyond each edge of the view
  const MARGIN_COLS = 1;
  const TILE_ROWS = 64;           // cells are fetched in tiles of this many rows and columns
  const TILE_COLS = 16;
  const TILE_KEY = 4096;          // tile key = tile row * TILE_KEY + tile column
  const KEY_COLS = 16385;         // cell key = row * KEY_COLS + column
  const GET_LIMIT = 100000;       // most cells asked for in one get
  const EDIT_LIMIT = 100000;      // most cells one edit may write (the hub refuses more)
  const COPY_LIMIT = 1000000;     // most cells one copy may take
  const UNDO_DEPTH = 100;
  const SELECT_THROTTLE_MS = 200;
  const FETCH_DELAY_MS = 40;
  const FETCH_MAX_WAIT_MS = 200;
  const ERROR_SHOW_MS = 8000;
  const SINK_TEXT = " ";

  const $ = (id) => document.getElementById(id);
  const viewport = $("viewport");
  const canvas = $("canvas");
  const colLayer = $("col-layer");
  const rowArea = $("rows-area");
  const rowHead = $("row-head");
  const rowLayer = $("row-layer");
  const body = $("body");
  const layer = $("layer");
  const cellsEl = $("cells");
  const blockBox = $("block-box");
  const cursorBox = $("cursor-box");
  const editor = layer.querySelector(".cell-editor");
  const sink = $("grid-input");
  const nameBox = $("name-box");
  const formulaBar = $("formula-bar");
  const statusState = document.querySelector("#status .status-state");
  const statusError = document.querySelector("#status .status-error");
  const noteEl = $("cell-note");
  const tabsEl = $("sheet-tabs");
  const titleEl = $("workbook-name");
  const msgBackdrop = $("message-backdrop");
  const msgBox = $("message-box");
  const msgTitle = $("message-box-title");
  const msgText = $("message-box-text");
  const msgOk = $("message-box-ok");

  // The workbook id exactly as the page's path carries it (still percent-encoded).
  const workbookPath = (function () {
    const path = location.pathname;
    const at = path.indexOf("/workbook/");
    return at >= 0 ? path.slice(at + "/workbook/".length).replace(/\/+$/, "") : "";
  })();

  // ---- Addresses ---------------------------------------------------------------------------

  const colNames = [];
  function colName(c) {
    let s = colNames[c];
    if (s === undefined) {
      s = "";
      let n = c;
      while (n > 0) {
        const m = (n - 1) % 26;
        s = String.fromCharCode(65 + m) + s;
        n = (n - 1 - m) / 26;
      }
      colNames[c] = s;
    }
    return s;
  }

  function cellAddress(r, c) { return colName(c) + r; }

  function blockAddress(b) {
    const first = cellAddress(b.top, b.left);
    return b.top === b.bottom && b.left === b.right ? first : first + ":" + cellAddress(b.bottom, b.right);
  }

  const CELL_RE = /^\$?([A-Za-z]{1,3})\$?([0-9]{1,7})$/;

  function parseCell(text) {
    const m = CELL_RE.exec(text.trim());
    if (!m) return null;
    let c = 0;
    for (const ch of m[1].toUpperCase()) c = c * 26 + (ch.charCodeAt(0) - 64);
    const r = parseInt(m[2], 10);
    return r >= 1 ? { r, c } : null;
  }

  // "B2", "A1:C3", "Sheet2!B2" or "'My Sheet'!A1:B2" as {sheet, top, left, bottom, right}.
  function parseReference(text) {
    text = text.trim();
    let sheetName = null;
    const bang = text.lastIndexOf("!");
    if (bang >= 0) {
      sheetName = text.slice(0, bang).trim();
      text = text.slice(bang + 1);
      if (sheetName.length >= 2 && sheetName[0] === "'" && sheetName[sheetName.length - 1] === "'") {
        sheetName = sheetName.slice(1, -1).replace(/''/g, "'");
      }
    }
    const parts = text.split(":");
    if (parts.length > 2) return null;
    const a = parseCell(parts[0]);
    const b = parts.length === 2 ? parseCell(parts[1]) : a;
    if (!a || !b) return null;
    return {
      sheet: sheetName,
      top: Math.min(a.r, b.r), left: Math.min(a.c, b.c),
      bottom: Math.max(a.r, b.r), right: Math.max(a.c, b.c),
    };
  }

  // ---- Displayed values --------------------------------------------------------------------

  // A number as the General format shows it: integers in full, others to ten significant
  // digits without trailing zeros, exponent form (1E+21, 1.5E-12) where that is shorter.
  function formatNumber(n) {
    if (n === 0) return "0";
    if (Number.isInteger(n) && Math.abs(n) < 1e21) return String(n);
    const s = n.toPrecision(10);
    const e = s.indexOf("e");
    let mantissa = e < 0 ? s : s.slice(0, e);
    if (mantissa.indexOf(".") >= 0) mantissa = mantissa.replace(/0+$/, "").replace(/\.$/, "");
    if (e < 0) return mantissa;
    const exponent = parseInt(s.slice(e + 1), 10);
    return mantissa + "E" + (exponent < 0 ? "-" : "+") + String(Math.abs(exponent)).padStart(2, "0");
  }

  // Set by describe(): the text a value shows and the class that aligns it.
  let shownText = "";
  let shownKind = "";

  function describe(value) {
    if (value === null || value === undefined) {
      shownText = ""; shownKind = "";
    } else if (typeof value === "number") {
      shownText = formatNumber(value); shownKind = " num";
    } else if (typeof value === "string") {
      shownText = value; shownKind = " text";
    } else if (typeof value === "boolean") {
      shownText = value ? "TRUE" : "FALSE"; shownKind = " bool";
    } else if (typeof value === "object" && typeof value.error === "string") {
      shownText = value.error; shownKind = value.error === "#BUSY!" ? " err busy" : " err";
    } else if (typeof value === "object" && typeof value.date === "string") {
      shownText = value.date; shownKind = " date";
    } else {
      shownText = JSON.stringify(value); shownKind = " text";
    }
  }

  function displayedText(record) {
    if (!record) return "";
    describe(record[2]);
    return shownText;
  }

  // ---- State -------------------------------------------------------------------------------

  let socket = null;
  let connected = false;          // a hello has arrived on the open socket
  let everConnected = false;
  let backoff = 500;
  let nextId = 1;
  let generation = 0;             // bumped by every hello; older waits are dropped

  let sheets = [];                // [{name, rows, columns}] in tab order
  let sheet = null;               // the shown sheet
  let kernel = "";
  let pendingCalls = 0;
  let handlerNote = "";  // a handler the workbook's next events wait for
  const recalcIds = new Set();

  const caches = new Map();       // sheet name -> Map(cell key -> record)
  const tiles = new Map();        // sheet name -> Map(tile key -> 1 asked | 2 loaded)
  const gets = new Map();         // request id -> {sheet, top, left, bottom, right, keys}
  const edits = new Map();        // request id -> {kind, entry, sheet, row, col, inputs}
  let waiters = [];               // {sheet, keys, resolve, generation}
  const views = new Map();        // sheet name -> {sel, scrollTop, scrollLeft}

  let sel = { ar: 1, ac: 1, fr: 1, fc: 1 };   // active cell and the block's other corner
  let undoStack = [];
  let redoStack = [];
  let queuedHistory = [];         // undo/redo pressed while an edit still waits for its reply

  let editing = null;             // in-cell edit: {sheet, r, c, original}
  let barEdit = null;             // formula-bar edit: {sheet, r, c, original}

  let axRows = null;
  let axCols = null;
  let maxElementPx = 3e7;

  // ---- Axes: the scroll area is capped where browsers stop sizing elements ---------------

  function measureMaxElement() {
    const probe = document.createElement("div");
    probe.style.cssText = "position:absolute;visibility:hidden;top:0;left:0;width:1px;height:1000000000px";
    document.body.appendChild(probe);
    const h = probe.offsetHeight;
    probe.remove();
    // keep well inside what the engine lays out exactly
    maxElementPx = Math.max(1e6, Math.min(h, 1e9) * 0.9);
  }

  function makeAxis(count, size) {
    const virt = count * size;
    return { count, size, virt, real: Math.min(virt, maxElementPx) };
  }

  // Where a view of length `view` scrolled to `scroll` starts, in sheet pixels.
  function axisStart(axis, scroll, view) {
    let v = scroll;
    if (axis.real < axis.virt && axis.real > view) {
      v = scroll * (axis.virt - view) / (axis.real - view);
    }
    return Math.max(0, Math.min(v, Math.max(0, axis.virt - view)));
  }

  function axisScroll(axis, v, view) {
    if (axis.real < axis.virt && axis.real > view) return v * (axis.real - view) / (axis.virt - view);
    return v;
  }

  function viewHeight() { return Math.max(ROW_H, viewport.clientHeight - HEAD_H); }
  function viewWidth() { return Math.max(COL_W, viewport.clientWidth - ROWHEAD_W); }

  // ---- Cache and tiles ---------------------------------------------------------------------

  function cacheFor(name) {
    let m = caches.get(name);
    if (!m) { m = new Map(); caches.set(name, m); }
    return m;
  }

  function tilesFor(name) {
    let m = tiles.get(name);
    if (!m) { m = new Map(); tiles.set(name, m); }
    return m;
  }

  function recordAt(name, r, c) {
    const m = caches.get(name);
    return m ? m.get(r * KEY_COLS + c) : undefined;
  }

  function inputAt(name, r, c) {
    const rec = recordAt(name, r, c);
    return rec && typeof rec[3] === "string" ? rec[3] : "";
  }

  function tileKeysFor(top, left, bottom, right) {
    const keys = [];
    const tr1 = Math.floor((top - 1) / TILE_ROWS), tr2 = Math.floor((bottom - 1) / TILE_ROWS);
    const tc1 = Math.floor((left - 1) / TILE_COLS), tc2 = Math.floor((right - 1) / TILE_COLS);
    for (let tr = tr1; tr <= tr2; tr++) {
      for (let tc = tc1; tc <= tc2; tc++) keys.push(tr * TILE_KEY + tc);
    }
    return keys;
  }

  function allLoaded(name, keys) {
    const t = tiles.get(name);
    if (!t) return keys.length === 0;
    for (const k of keys) if (t.get(k) !== 2) return false;
    return true;
  }

  // Ask for the tiles among `keys` not loaded or asked for yet, in as few gets as fit.
  function requestTiles(name, keys) {
    const info = sheetInfo(name);
    if (!info || !connected) return;
    const t = tilesFor(name);
    const missing = keys.filter((k) => !t.has(k));
    if (!missing.length) return;
    missing.sort((a, b) => a - b);
    // runs of neighbouring tiles along a tile row ...
    const runs = [];
    for (const k of missing) {
      const tr = Math.floor(k / TILE_KEY), tc = k % TILE_KEY;
      const last = runs[runs.length - 1];
      if (last && last.tr === tr && last.tc2 === tc - 1) last.tc2 = tc;
      else runs.push({ tr, tr2: tr, tc1: tc, tc2: tc });
    }
    // ... and runs of the same columns on following tile rows, while the block stays small
    const blocks = [];
    const open = new Map();
    for (const run of runs) {
      const spanKey = run.tc1 + ":" + run.tc2;
      const prev = open.get(spanKey);
      const cells = (run.tc2 - run.tc1 + 1) * TILE_COLS * TILE_ROWS;
      if (prev && prev.tr2 === run.tr - 1 && (prev.tr2 - prev.tr + 2) * cells <= GET_LIMIT) {
        prev.tr2 = run.tr;
      } else {
        blocks.push(run);
        open.set(spanKey, run);
      }
    }
    for (const b of blocks) {
      // split a run too wide for one get
      const widthTiles = Math.max(1, Math.floor(GET_LIMIT / (TILE_ROWS * TILE_COLS * (b.tr2 - b.tr + 1))));
      for (let tc = b.tc1; tc <= b.tc2; tc += widthTiles) {
        const tcEnd = Math.min(b.tc2, tc + widthTiles - 1);
        const top = b.tr * TILE_ROWS + 1;
        const bottom = Math.min(info.rows, (b.tr2 + 1) * TILE_ROWS);
        const left = tc * TILE_COLS + 1;
        const right = Math.min(info.columns, (tcEnd + 1) * TILE_COLS);
        const blockKeys = [];
        for (let tr = b.tr; tr <= b.tr2; tr++) {
          for (let c = tc; c <= tcEnd; c++) { blockKeys.push(tr * TILE_KEY + c); t.set(tr * TILE_KEY + c, 1); }
        }
        const id = send({ type: "get", sheet: name, top, left, bottom, right });
        if (id === null) { for (const k of blockKeys) t.delete(k); return; }
        gets.set(id, { sheet: name, top, left, bottom, right, keys: blockKeys });
      }
    }
  }

  // Resolves once every cell of the block is in the cache.
  function loadBlock(name, top, left, bottom, right) {
    const keys = tileKeysFor(top, left, bottom, right);
    if (allLoaded(name, keys)) return Promise.resolve(true);
    return new Promise((resolve) => {
      waiters.push({ sheet: name, keys, resolve, generation });
      requestTiles(name, keys);
    });
  }

  function settleWaiters() {
    if (!waiters.length) return;
    const still = [];
    for (const w of waiters) {
      if (w.generation !== generation) w.resolve(false);
      else if (allLoaded(w.sheet, w.keys)) w.resolve(true);
      else still.push(w);
    }
    waiters = still;
  }

  // The cells around the view: the view itself first, then two screens about it.
  let fetchTimer = 0;
  let fetchFirstAsked = 0;

  function fetchView() {
    clearTimeout(fetchTimer);
    fetchTimer = 0;
    fetchFirstAsked = 0;
    if (!sheet || !connected) return;
    const w = visibleBlock();
    const screenRows = w.bottom - w.top + 1, screenCols = w.right - w.left + 1;
    requestTiles(sheet.name, tileKeysFor(w.top, w.left, w.bottom, w.right));
    requestTiles(sheet.name, tileKeysFor(
      Math.max(1, w.top - 2 * screenRows), Math.max(1, w.left - screenCols),
      Math.min(sheet.rows, w.bottom + 2 * screenRows), Math.min(sheet.columns, w.right + screenCols)));
  }

  function scheduleFetch() {
    const now = performance.now();
    if (!fetchFirstAsked) fetchFirstAsked = now;
    clearTimeout(fetchTimer);
    const wait = now - fetchFirstAsked >= FETCH_MAX_WAIT_MS ? 0 : FETCH_DELAY_MS;
    fetchTimer = setTimeout(fetchView, wait);
  }

  // ---- Grid drawing ------------------------------------------------------------------------

  let pool = [];
  let colPool = [];
  let rowPool = [];
  let poolRows = 0;
  let poolCols = 0;
  // the drawn window: first pool row/column (0-based) and where the layer sits in the body
  const win = { r0: 0, c0: 0, ly: 0, lx: 0 };
  let renderQueued = false;

  function buildPool() {
    const pr = Math.ceil(viewHeight() / ROW_H) + 1 + 2 * MARGIN_ROWS;
    const pc = Math.ceil(viewWidth() / COL_W) + 1 + 2 * MARGIN_COLS;
    if (pr === poolRows && pc === poolCols) return;
    poolRows = pr;
    poolCols = pc;
    const cellFrag = document.createDocumentFragment();
    pool = new Array(pr * pc);
    for (let i = 0; i < pr; i++) {
      for (let j = 0; j < pc; j++) {
        const el = document.createElement("div");
        el.className = "cell";
        el.style.left = j * COL_W + "px";
        el.style.top = i * ROW_H + "px";
        el._key = -1; el._sheet = null; el._text = ""; el._cls = "cell";
        pool[i * pc + j] = el;
        cellFrag.appendChild(el);
      }
    }
    cellsEl.replaceChildren(cellFrag);
    const colFrag = document.createDocumentFragment();
    colPool = [];
    for (let j = 0; j < pc; j++) {
      const el = document.createElement("div");
      el.className = "col-h";
      el.style.left = j * COL_W + "px";
      el._c = -1; el._cls = "col-h";
      colPool.push(el);
      colFrag.appendChild(el);
    }
    colLayer.replaceChildren(colFrag);
    const rowFrag = document.createDocumentFragment();
    rowPool = [];
    for (let i = 0; i < pr; i++) {
      const el = document.createElement("div");
      el.className = "row-h";
      el.style.top = i * ROW_H + "px";
      el._r = -1; el._cls = "row-h";
      rowPool.push(el);
      rowFrag.appendChild(el);
    }
    rowLayer.replaceChildren(rowFrag);
  }

  function sizeCanvas() {
    canvas.style.width = ROWHEAD_W + axCols.real + "px";
    canvas.style.height = HEAD_H + axRows.real + "px";
    rowArea.style.height = axRows.real + "px";
    rowHead.style.height = axRows.real + "px";
    body.style.width = axCols.real + "px";
    body.style.height = axRows.real + "px";
  }

  function scheduleRender() {
    if (renderQueued) return;
    renderQueued = true;
    requestAnimationFrame(render);
  }

  function selBlock() {
    return {
      top: Math.min(sel.ar, sel.fr), left: Math.min(sel.ac, sel.fc),
      bottom: Math.max(sel.ar, sel.fr), right: Math.max(sel.ac, sel.fc),
    };
  }

  // The block of cells fully or partly on screen.
  function visibleBlock() {
    const vy = axisStart(axRows, viewport.scrollTop, viewHeight());
    const vx = axisStart(axCols, viewport.scrollLeft, viewWidth());
    const top = Math.floor(vy / ROW_H) + 1, left = Math.floor(vx / COL_W) + 1;
    return {
      top, left,
      bottom: Math.min(sheet.rows, Math.floor((vy + viewHeight() - 1) / ROW_H) + 1),
      right: Math.min(sheet.columns, Math.floor((vx + viewWidth() - 1) / COL_W) + 1),
    };
  }

  function render() {
    renderQueued = false;
    if (!sheet) return;
    const vh = viewHeight(), vw = viewWidth();
    const scrollTop = viewport.scrollTop, scrollLeft = viewport.scrollLeft;
    const vy = axisStart(axRows, scrollTop, vh), vx = axisStart(axCols, scrollLeft, vw);
    const firstRow = Math.floor(vy / ROW_H), firstCol = Math.floor(vx / COL_W);
    const r0 = Math.max(0, firstRow - MARGIN_ROWS), c0 = Math.max(0, firstCol - MARGIN_COLS);
    const ly = scrollTop - (vy - r0 * ROW_H);
    const lx = scrollLeft - (vx - c0 * COL_W);
    if (ly !== win.ly || lx !== win.lx) {
      layer.style.transform = "translate(" + lx + "px," + ly + "px)";
      colLayer.style.transform = "translateX(" + lx + "px)";
      rowLayer.style.transform = "translateY(" + ly + "px)";
    }
    win.r0 = r0; win.c0 = c0; win.ly = ly; win.lx = lx;

    const name = sheet.name;
    const rows = sheet.rows, cols = sheet.columns;
    const cache = cacheFor(name);
    const b = selBlock();
    const multi = b.top !== b.bottom || b.left !== b.right;
    const pc = poolCols;
    for (let i = 0; i < poolRows; i++) {
      const r = r0 + i + 1;
      for (let j = 0; j < pc; j++) {
        const c = c0 + j + 1;
        const el = pool[i * pc + j];
        if (r > rows || c > cols) {
          if (el._key !== -1) {
            el._key = -1;
            el.hidden = true;
            el.removeAttribute("data-address");
          }
          continue;
        }
        const key = r * KEY_COLS + c;
        if (el._key !== key || el._sheet !== name) {
          if (el._key === -1) el.hidden = false;
          el._key = key;
          el._sheet = name;
          el.setAttribute("data-address", name + "!" + colName(c) + r);
        }
        const rec = cache.get(key);
        if (rec) describe(rec[2]);
        else { shownText = ""; shownKind = ""; }
        const inBlock = multi && r >= b.top && r <= b.bottom && c >= b.left && c <= b.right &&
          !(r === sel.ar && c === sel.ac);
        const cls = inBlock ? "cell" + shownKind + " in-sel" : "cell" + shownKind;
        if (el._text !== shownText) { el.textContent = shownText; el._text = shownText; }
        if (el._cls !== cls) { el.className = cls; el._cls = cls; }
      }
    }

    const allRows = b.top === 1 && b.bottom === rows;
    const allCols = b.left === 1 && b.right === cols;
    for (let j = 0; j < pc; j++) {
      const el = colPool[j];
      const c = c0 + j + 1;
      if (c > cols) { if (el._c !== -1) { el._c = -1; el.hidden = true; } continue; }
      if (el._c !== c) { if (el._c === -1) el.hidden = false; el._c = c; el.textContent = colName(c); }
      const cls = c >= b.left && c <= b.right ? (allRows ? "col-h sel all" : "col-h sel") : "col-h";
      if (el._cls !== cls) { el.className = cls; el._cls = cls; }
    }
    for (let i = 0; i < poolRows; i++) {
      const el = rowPool[i];
      const r = r0 + i + 1;
      if (r > rows) { if (el._r !== -1) { el._r = -1; el.hidden = true; } continue; }
      if (el._r !== r) { if (el._r === -1) el.hidden = false; el._r = r; el.textContent = String(r); }
      const cls = r >= b.top && r <= b.bottom ? (allCols ? "row-h sel all" : "row-h sel") : "row-h";
      if (el._cls !== cls) { el.className = cls; el._cls = cls; }
    }

    placeBox(blockBox, multi ? b : null);
    placeBox(cursorBox, { top: sel.ar, left: sel.ac, bottom: sel.ar, right: sel.ac });
    if (editing && editing.sheet === name) placeEditor();
  }

  // Outline a block, clipped to just beyond the drawn window.
  function placeBox(el, b) {
    if (!b) { el.hidden = true; return; }
    const t = Math.max(b.top - 1, win.r0 - 1), bo = Math.min(b.bottom - 1, win.r0 + poolRows);
    const l = Math.max(b.left - 1, win.c0 - 1), ri = Math.min(b.right - 1, win.c0 + poolCols);
    if (t > bo || l > ri) { el.hidden = true; return; }
    el.hidden = false;
    const top = (t - win.r0) * ROW_H - 1, left = (l - win.c0) * COL_W - 1;
    const height = (bo - t + 1) * ROW_H + 1, width = (ri - l + 1) * COL_W + 1;
    if (el._geo !== top + "," + left + "," + height + "," + width) {
      el._geo = top + "," + left + "," + height + "," + width;
      el.style.transform = "translate(" + left + "px," + top + "px)";
      el.style.width = width + "px";
      el.style.height = height + "px";
    }
  }

  function placeEditor() {
    // an edited cell scrolled away keeps its editor just outside the drawn window
    const i = Math.max(-2, Math.min(editing.r - 1 - win.r0, poolRows + 1));
    const j = Math.max(-2, Math.min(editing.c - 1 - win.c0, poolCols + 1));
    editor.style.transform = "translate(" + (j * COL_W - 1) + "px," + (i * ROW_H - 1) + "px)";
  }

  // ---- Sheets ------------------------------------------------------------------------------

  function sheetInfo(name) {
    for (const s of sheets) if (s.name === name) return s;
    return null;
  }

  function drawTabs() {
    const frag = document.createDocumentFragment();
    for (const s of sheets) {
      const tab = document.createElement("div");
      tab.className = "sheet-tab" + (sheet && s.name === sheet.name ? " active" : "");
      tab.setAttribute("role", "tab");
      tab.setAttribute("aria-selected", sheet && s.name === sheet.name ? "true" : "false");
      tab.dataset.sheet = s.name;
      tab.textContent = s.name;
      frag.appendChild(tab);
    }
    tabsEl.replaceChildren(frag);
  }

  function saveView() {
    if (sheet) views.set(sheet.name, { sel: { ...sel }, scrollTop: viewport.scrollTop, scrollLeft: viewport.scrollLeft });
  }

  function showSheet(name) {
    const info = sheetInfo(name);
    if (!info) return;
    if (sheet && sheet.name !== name) saveView();
    sheet = info;
    axRows = makeAxis(info.rows, ROW_H);
    axCols = makeAxis(info.columns, COL_W);
    sizeCanvas();
    const view = views.get(name);
    sel = view ? { ...view.sel } : { ar: 1, ac: 1, fr: 1, fc: 1 };
    clampSelection();
    viewport.scrollTop = view ? view.scrollTop : 0;
    viewport.scrollLeft = view ? view.scrollLeft : 0;
    for (const el of pool) el._sheet = null;
    drawTabs();
    render();
    selectionChanged(false);
    fetchView();
  }

  function switchSheet(name) {
    if (!sheet || name === sheet.name || !sheetInfo(name)) return;
    finishEdits();
    showSheet(name);
    focusGrid();
  }

  // ---- Selection ---------------------------------------------------------------------------

  function clampSelection() {
    if (!sheet) return;
    const cr = (r) => Math.max(1, Math.min(sheet.rows, r));
    const cc = (c) => Math.max(1, Math.min(sheet.columns, c));
    sel.ar = cr(sel.ar); sel.fr = cr(sel.fr); sel.ac = cc(sel.ac); sel.fc = cc(sel.fc);
  }

  function setSelection(ar, ac, fr, fc, reveal) {
    sel = { ar, ac, fr, fc };
    clampSelection();
    if (reveal !== false) revealCell(sel.fr, sel.fc);
    selectionChanged(true);
    render();
  }

  function selectBlock(b) {
    setSelection(b.top, b.left, b.bottom, b.right, false);
    revealCell(b.bottom, b.right);
    revealCell(b.top, b.left);
    render();
  }

  function moveActive(dr, dc) {
    setSelection(sel.ar + dr, sel.ac + dc, sel.ar + dr, sel.ac + dc);
  }

  function extendFocus(dr, dc) {
    setSelection(sel.ar, sel.ac, sel.fr + dr, sel.fc + dc);
  }

  // Scroll so that a cell is wholly on screen.
  function revealCell(r, c) {
    if (!sheet) return;
    const vh = viewHeight(), vw = viewWidth();
    let vy = axisStart(axRows, viewport.scrollTop, vh);
    let vx = axisStart(axCols, viewport.scrollLeft, vw);
    const top = (r - 1) * ROW_H, left = (c - 1) * COL_W;
    let moved = false;
    if (top < vy) { vy = top; moved = true; } else if (top + ROW_H > vy + vh) { vy = top + ROW_H - vh; moved = true; }
    if (left < vx) { vx = left; moved = true; } else if (left + COL_W > vx + vw) { vx = left + COL_W - vw; moved = true; }
    if (!moved) return;
    viewport.scrollTop = axisScroll(axRows, vy, vh);
    viewport.scrollLeft = axisScroll(axCols, vx, vw);
    scheduleFetch();
  }

  // Name box, formula bar and note follow the selection.
  let selectTimer = 0;
  let selectLastSent = 0;

  function selectionChanged(tellServer) {
    if (!sheet) return;
    if (document.activeElement !== nameBox) nameBox.value = blockAddress(selBlock());
    if (!barEdit && !editing) formulaBar.value = inputAt(sheet.name, sel.ar, sel.ac);
    showNote();
    if (tellServer !== false) scheduleSelect();
  }

  function showNote() {
    const rec = sheet ? recordAt(sheet.name, sel.ar, sel.ac) : null;
    const note = rec && rec.length > 4 && rec[4] != null ? String(rec[4]) : "";
    if (noteEl.textContent !== note) noteEl.textContent = note;
  }

  function scheduleSelect() {
    if (selectTimer) return;
    const wait = Math.max(0, SELECT_THROTTLE_MS - (performance.now() - selectLastSent));
    selectTimer = setTimeout(() => {
      selectTimer = 0;
      selectLastSent = performance.now();
      if (sheet && connected) send({ type: "select", sheet: sheet.name, address: blockAddress(selBlock()) }, false);
    }, wait);
  }

  // The cell under a point of the page (clamped to the sheet).
  function cellAt(x, y) {
    const rect = body.getBoundingClientRect();
    const i = Math.floor((y - rect.top - win.ly) / ROW_H);
    const j = Math.floor((x - rect.left - win.lx) / COL_W);
    return {
      r: Math.max(1, Math.min(sheet.rows, win.r0 + i + 1)),
      c: Math.max(1, Math.min(sheet.columns, win.c0 + j + 1)),
    };
  }

  // ---- Editing -----------------------------------------------------------------------------

  function focusGrid() {
    if (document.activeElement !== sink) sink.focus({ preventScroll: true });
    resetSink();
  }

  function resetSink() {
    if (sink.value !== SINK_TEXT) sink.value = SINK_TEXT;
    sink.select();
  }

  function gridHasFocus() {
    const a = document.activeElement;
    return a === sink || a === document.body || a === viewport || a === null;
  }

  function startEdit(text) {
    if (!sheet || !connected) return;
    cancelBarEdit();
    revealCell(sel.ar, sel.ac);
    editing = { sheet: sheet.name, r: sel.ar, c: sel.ac, original: inputAt(sheet.name, sel.ar, sel.ac) };
    editor.value = text;
    editor.style.width = "";
    editor.hidden = false;
    render();
    editor.focus({ preventScroll: true });
    const end = editor.value.length;
    editor.setSelectionRange(end, end);
    fitEditor();
    formulaBar.value = text;
  }

  function fitEditor() {
    editor.style.width = "";
    if (editor.scrollWidth > editor.clientWidth) {
      editor.style.width = Math.min(editor.scrollWidth + 12, Math.max(COL_W, viewWidth() - 8)) + "px";
    }
  }

  // Write the editor's text to its cell, then move the selection by (dr, dc).
  function commitEdit(dr, dc, keepFocus) {
    const ed = editing;
    if (!ed) return;
    editing = null;
    const text = editor.value;
    editor.hidden = true;
    const known = allLoaded(ed.sheet, tileKeysFor(ed.r, ed.c, ed.r, ed.c));
    if (text !== ed.original || !known) sendEdit(ed.sheet, ed.r, ed.c, [[text]]);
    if (keepFocus !== false) focusGrid();
    if (sheet && sheet.name === ed.sheet && (dr || dc)) moveActive(dr, dc);
    else selectionChanged(false);
    render();
  }

  function cancelEdit() {
    if (!editing) return;
    editing = null;
    editor.hidden = true;
    focusGrid();
    selectionChanged(false);
    render();
  }

  function commitBarEdit(dr, dc) {
    const ed = barEdit;
    if (!ed) return;
    barEdit = null;
    const text = formulaBar.value;
    const known = allLoaded(ed.sheet, tileKeysFor(ed.r, ed.c, ed.r, ed.c));
    if (text !== ed.original || !known) sendEdit(ed.sheet, ed.r, ed.c, [[text]]);
    if (sheet && sheet.name === ed.sheet && (dr || dc)) moveActive(dr, dc);
    else selectionChanged(false);
  }

  function cancelBarEdit() {
    if (!barEdit) return;
    barEdit = null;
    selectionChanged(false);
  }

  // Before the selection or sheet changes under an edit, the edit is written.
  function finishEdits() {
    if (editing) commitEdit(0, 0, false);
    if (barEdit) commitBarEdit(0, 0);
  }

  function blockCells(b) { return (b.bottom - b.top + 1) * (b.right - b.left + 1); }

  function tooMany(what, n, limit) {
    return "Too many cells to " + what + " at once: " + n.toLocaleString("en-US") +
      " (at most " + limit.toLocaleString("en-US") + ")";
  }

  function clearBlock() {
    const b = selBlock();
    const n = blockCells(b);
    if (n > EDIT_LIMIT) { showError(tooMany("clear", n, EDIT_LIMIT)); return; }
    const width = b.right - b.left + 1;
    const row = new Array(width).fill("");
    const inputs = [];
    for (let r = b.top; r <= b.bottom; r++) inputs.push(row.slice());
    sendEdit(sheet.name, b.top, b.left, inputs);
  }

  function sendEdit(name, row, col, inputs, kind, entry) {
    const id = send({ type: "edit", sheet: name, row, col, inputs });
    if (id === null) {
      showError("Not connected: the change was not made");
      return false;
    }
    edits.set(id, { kind: kind || "do", entry: entry || null, sheet: name, row, col, inputs });
    return true;
  }

  // ---- Undo and redo -----------------------------------------------------------------------

  function undo() { history("undo"); }
  function redo() { history("redo"); }

  function history(which) {
    if (edits.size) { queuedHistory.push(which); return; }
    const from = which === "undo" ? undoStack : redoStack;
    const entry = from.pop();
    if (!entry) return;
    const inputs = which === "undo" ? entry.previous : entry.inputs;
    if (!sendEdit(entry.sheet, entry.row, entry.col, inputs, which, entry)) { from.push(entry); return; }
    if (sheetInfo(entry.sheet)) {
      if (!sheet || sheet.name !== entry.sheet) showSheet(entry.sheet);
      const width = Math.max(1, ...inputs.map((r) => r.length));
      selectBlock({ top: entry.row, left: entry.col, bottom: entry.row + inputs.length - 1, right: entry.col + width - 1 });
    }
  }

  function onEdited(msg) {
    const ed = edits.get(msg.id);
    if (!ed) return;
    edits.delete(msg.id);
    const previous = Array.isArray(msg.previous) ? msg.previous : [];
    if (ed.kind === "do") {
      undoStack.push({ sheet: ed.sheet, row: ed.row, col: ed.col, inputs: ed.inputs, previous });
      if (undoStack.length > UNDO_DEPTH) undoStack.shift();
      redoStack = [];
    } else if (ed.kind === "undo") {
      ed.entry.inputs = previous;         // redo puts back what the undo replaced
      redoStack.push(ed.entry);
    } else {
      ed.entry.previous = previous;
      undoStack.push(ed.entry);
      if (undoStack.length > UNDO_DEPTH) undoStack.shift();
    }
    runQueuedHistory();
  }

  function onEditRefused(ed) {
    // a refused undo or redo stays where it was
    if (ed.kind === "undo") undoStack.push(ed.entry);
    else if (ed.kind === "redo") redoStack.push(ed.entry);
    runQueuedHistory();
  }

  function runQueuedHistory() {
    while (!edits.size && queuedHistory.length) history(queuedHistory.shift());
  }

  // ---- Clipboard ---------------------------------------------------------------------------

  function quoteField(text) {
    return /[\t\n\r]/.test(text) ? '"' + text.replace(/"/g, '""') + '"' : text;
  }

  function blockText(name, b) {
    const lines = [];
    for (let r = b.top; r <= b.bottom; r++) {
      const fields = [];
      for (let c = b.left; c <= b.right; c++) fields.push(quoteField(displayedText(recordAt(name, r, c))));
      lines.push(fields.join("\t"));
    }
    return lines.join("\n");
  }

  // Tab-separated text as rows of fields. A field in double quotes may hold tabs, line
  // breaks and doubled quotes; a quote that does not close such a field is plain text.
  function parseTabText(text) {
    text = text.replace(/\r\n?/g, "\n");
    if (text.endsWith("\n")) text = text.slice(0, -1);
    const rows = [];
    let row = [];
    let i = 0;
    const n = text.length;
    for (;;) {
      let field = null;
      if (text.charCodeAt(i) === 34) {       // '"'
        let j = i + 1, out = "";
        for (;;) {
          const q = text.indexOf('"', j);
          if (q < 0) break;
          if (text.charCodeAt(q + 1) === 34) { out += text.slice(j, q + 1); j = q + 2; continue; }
          const after = q + 1;
          if (after === n || text[after] === "\t" || text[after] === "\n") {
            field = out + text.slice(j, q);
            i = after;
          }
          break;
        }
      }
      if (field === null) {
        let end = i;
        while (end < n && text[end] !== "\t" && text[end] !== "\n") end++;
        field = text.slice(i, end);
        i = end;
      }
      row.push(field);
      if (i >= n) { rows.push(row); break; }
      if (text[i] === "\n") { rows.push(row); row = []; }
      i++;
      if (i === n) { row.push(""); rows.push(row); break; }  // ends with a tab
    }
    return rows;
  }

  function copySelection(cut, event) {
    const name = sheet.name;
    const b = selBlock();
    const n = blockCells(b);
    if (n > COPY_LIMIT || (cut && n > EDIT_LIMIT)) {
      showError(tooMany(cut ? "cut" : "copy", n, cut ? EDIT_LIMIT : COPY_LIMIT));
      return false;
    }
    if (allLoaded(name, tileKeysFor(b.top, b.left, b.bottom, b.right))) {
      event.clipboardData.setData("text/plain", blockText(name, b));
      if (cut) clearBlock();
      return true;
    }
    // cells not fetched yet: fetch them, then write the clipboard
    loadBlock(name, b.top, b.left, b.bottom, b.right).then((ok) => {
      if (!ok) return;
      navigator.clipboard.writeText(blockText(name, b)).then(() => {
        if (cut && sheet && sheet.name === name) {
          sendEdit(name, b.top, b.left, Array.from({ length: b.bottom - b.top + 1 }, () => new Array(b.right - b.left + 1).fill("")));
        }
      }, () => showError("The clipboard could not be written"));
    });
    return true;
  }

  function pasteText(text) {
    if (!sheet || !connected || !text) return;
    let rows = parseTabText(text);
    const top = sel.ar < sel.fr ? sel.ar : sel.fr;
    const left = sel.ac < sel.fc ? sel.ac : sel.fc;
    // what falls outside the sheet is dropped
    const maxRows = sheet.rows - top + 1, maxCols = sheet.columns - left + 1;
    if (rows.length > maxRows) rows = rows.slice(0, maxRows);
    let width = 1, cells = 0;
    for (let i = 0; i < rows.length; i++) {
      if (rows[i].length > maxCols) rows[i] = rows[i].slice(0, maxCols);
      if (rows[i].length > width) width = rows[i].length;
      cells += rows[i].length;
    }
    if (cells > EDIT_LIMIT) { showError(tooMany("paste", cells, EDIT_LIMIT)); return; }
    if (sendEdit(sheet.name, top, left, rows)) {
      selectBlock({ top, left, bottom: top + rows.length - 1, right: left + width - 1 });
    }
  }

  document.addEventListener("copy", (e) => {
    if (!sheet || !gridHasFocus() || editing || modalOpen()) return;
    e.preventDefault();
    copySelection(false, e);
  });

  document.addEventListener("cut", (e) => {
    if (!sheet || !gridHasFocus() || editing || modalOpen()) return;
    e.preventDefault();
    copySelection(true, e);
  });

  document.addEventListener("paste", (e) => {
    if (!sheet || !gridHasFocus() || editing || modalOpen()) return;
    e.preventDefault();
    pasteText(e.clipboardData ? e.clipboardData.getData("text/plain") : "");
    resetSink();
  });

  // ---- Keyboard ----------------------------------------------------------------------------

  function pageRows() { return Math.max(1, Math.floor(viewHeight() / ROW_H) - 1); }

  function onGridKey(e) {
    if (!sheet) return;
    const ctrl = e.ctrlKey || e.metaKey;
    const key = e.key;
    const shift = e.shiftKey;
    if (ctrl && !e.altKey) {
      const lower = key.length === 1 ? key.toLowerCase() : key;
      if (lower === "z") { e.preventDefault(); if (shift) redo(); else undo(); return; }
      if (lower === "y") { e.preventDefault(); redo(); return; }
      if (lower === "a") { e.preventDefault(); selectAll(); return; }
      if (lower === "c" || lower === "x" || lower === "v") return;   // the copy/cut/paste events follow
      if (key === "Home") { e.preventDefault(); setSelection(1, 1, 1, 1); return; }
      if (key === "PageDown" || key === "PageUp") {
        e.preventDefault();
        const at = sheets.findIndex((s) => s.name === sheet.name);
        const next = sheets[at + (key === "PageDown" ? 1 : -1)];
        if (next) switchSheet(next.name);
        return;
      }
    }
    switch (key) {
      case "ArrowUp": e.preventDefault(); shift ? extendFocus(-1, 0) : moveActive(-1, 0); return;
      case "ArrowDown": e.preventDefault(); shift ? extendFocus(1, 0) : moveActive(1, 0); return;
      case "ArrowLeft": e.preventDefault(); shift ? extendFocus(0, -1) : moveActive(0, -1); return;
      case "ArrowRight": e.preventDefault(); shift ? extendFocus(0, 1) : moveActive(0, 1); return;
      case "PageDown": e.preventDefault(); shift ? extendFocus(pageRows(), 0) : moveActive(pageRows(), 0); return;
      case "PageUp": e.preventDefault(); shift ? extendFocus(-pageRows(), 0) : moveActive(-pageRows(), 0); return;
      case "Home": e.preventDefault(); shift ? extendFocus(0, 1 - sel.fc) : moveActive(0, 1 - sel.ac); return;
      case "Enter": e.preventDefault(); moveActive(shift ? -1 : 1, 0); return;
      case "Tab": e.preventDefault(); moveActive(0, shift ? -1 : 1); return;
      case "Delete": case "Backspace": e.preventDefault(); if (!ctrl) clearBlock(); return;
      case "F2": e.preventDefault(); startEdit(inputAt(sheet.name, sel.ar, sel.ac)); return;
      case "F9": e.preventDefault(); recalculate(); return;
      case "Escape": e.preventDefault(); return;
      default:
        if (!ctrl && !e.altKey && !e.isComposing && [...key].length === 1) {
          e.preventDefault();
          startEdit(key);
        }
    }
  }

  function selectAll() {
    sel = { ar: 1, ac: 1, fr: sheet.rows, fc: sheet.columns };
    selectionChanged(true);
    render();
  }

  function onEditorKey(e) {
    const key = e.key;
    if (key === "Enter" && !e.altKey) { e.preventDefault(); commitEdit(e.shiftKey ? -1 : 1, 0); return; }
    if (key === "Tab") { e.preventDefault(); commitEdit(0, e.shiftKey ? -1 : 1); return; }
    if (key === "Escape") { e.preventDefault(); cancelEdit(); return; }
    if (key === "F9") e.preventDefault();
  }

  function onBarKey(e) {
    const key = e.key;
    if (key === "Enter") { e.preventDefault(); commitBarEdit(0, 0); focusGrid(); return; }
    if (key === "Tab") { e.preventDefault(); commitBarEdit(0, e.shiftKey ? -1 : 1); focusGrid(); return; }
    if (key === "Escape") { e.preventDefault(); cancelBarEdit(); focusGrid(); }
  }

  function onNameBoxKey(e) {
    if (e.key === "Escape") {
      e.preventDefault();
      nameBox.value = sheet ? blockAddress(selBlock()) : "";
      focusGrid();
      return;
    }
    if (e.key !== "Enter") return;
    e.preventDefault();
    const ref = parseReference(nameBox.value);
    const target = ref && (ref.sheet === null ? sheet : sheetInfo(ref.sheet));
    if (!ref || !target || ref.bottom > target.rows || ref.right > target.columns) {
      showError("Not a cell or block of this workbook: " + nameBox.value.trim());
      nameBox.select();
      return;
    }
    if (target !== sheet) { finishEdits(); showSheet(target.name); }
    focusGrid();
    selectBlock(ref);
  }

  document.addEventListener("keydown", (e) => {
    if (modalOpen()) {
      if (e.key === "Enter" || e.key === "Escape" || e.key === " ") { e.preventDefault(); closeMessage(); }
      else if (e.key === "Tab") { e.preventDefault(); msgOk.focus(); }
      return;
    }
    const target = e.target;
    if (target === editor) { onEditorKey(e); return; }
    if (target === formulaBar) { onBarKey(e); return; }
    if (target === nameBox) { onNameBoxKey(e); return; }
    if (target === sink || target === document.body || target === viewport) onGridKey(e);
  });

  // Text that reaches the focus element without a key we handled (input methods,
  // dead keys) starts an edit with that text.
  sink.addEventListener("input", () => {
    const text = sink.value;
    if (text === SINK_TEXT || !sheet) { resetSink(); return; }
    const typed = text.startsWith(SINK_TEXT) ? text.slice(SINK_TEXT.length) : text;
    resetSink();
    if (typed && !/[\r\n\t]/.test(typed)) startEdit(typed);
  });
  sink.addEventListener("focus", resetSink);

  editor.addEventListener("input", () => {
    formulaBar.value = editor.value;
    fitEditor();
  });

  editor.addEventListener("blur", (e) => {
    if (!editing) return;
    if (e.relatedTarget === formulaBar) {
      // the edit goes on in the formula bar
      barEdit = editing;
      editing = null;
      formulaBar.value = editor.value;
      editor.hidden = true;
      render();
      return;
    }
    setTimeout(() => {
      if (editing && document.activeElement !== editor && document.hasFocus()) commitEdit(0, 0, false);
    }, 0);
  });

  formulaBar.addEventListener("focus", () => {
    if (!sheet || barEdit) return;
    if (editing) return;   // handed over by the editor's blur
    barEdit = { sheet: sheet.name, r: sel.ar, c: sel.ac, original: inputAt(sheet.name, sel.ar, sel.ac) };
  });

  formulaBar.addEventListener("blur", () => {
    setTimeout(() => {
      if (barEdit && document.activeElement !== formulaBar && document.hasFocus()) {
        if (formulaBar.value !== barEdit.original) commitBarEdit(0, 0);
        else cancelBarEdit();
      }
    }, 0);
  });

  nameBox.addEventListener("focus", () => nameBox.select());
  nameBox.addEventListener("blur", () => { if (sheet) nameBox.value = blockAddress(selBlock()); });

  // ---- Mouse -------------------------------------------------------------------------------

  let drag = null;   // {x, y} of the pointer while a block is dragged out

  body.addEventListener("mousedown", (e) => {
    if (e.button !== 0 || !sheet || e.target === editor) return;
    e.preventDefault();
    finishEdits();
    const { r, c } = cellAt(e.clientX, e.clientY);
    if (e.shiftKey) setSelection(sel.ar, sel.ac, r, c, false);
    else setSelection(r, c, r, c, false);
    focusGrid();
    drag = { x: e.clientX, y: e.clientY, frame: 0 };
    window.addEventListener("mousemove", onDragMove);
    window.addEventListener("mouseup", onDragEnd);
  });

  body.addEventListener("dblclick", (e) => {
    if (!sheet || e.target === editor) return;
    e.preventDefault();
    const { r, c } = cellAt(e.clientX, e.clientY);
    if (r !== sel.ar || c !== sel.ac) setSelection(r, c, r, c, false);
    startEdit(inputAt(sheet.name, r, c));
  });

  function onDragMove(e) {
    if (!drag) return;
    drag.x = e.clientX;
    drag.y = e.clientY;
    dragTo();
    if (!drag.frame) drag.frame = requestAnimationFrame(dragScroll);
  }

  function dragTo() {
    const { r, c } = cellAt(drag.x, drag.y);
    if (r !== sel.fr || c !== sel.fc) setSelection(sel.ar, sel.ac, r, c, false);
  }

  // Dragging beyond the grid's edge scrolls it.
  function dragScroll() {
    if (!drag) return;
    drag.frame = 0;
    const rect = viewport.getBoundingClientRect();
    const top = rect.top + HEAD_H, left = rect.left + ROWHEAD_W;
    const bottom = rect.top + viewport.clientHeight, right = rect.left + viewport.clientWidth;
    let dy = 0, dx = 0;
    if (drag.y < top) dy = drag.y - top; else if (drag.y > bottom) dy = drag.y - bottom;
    if (drag.x < left) dx = drag.x - left; else if (drag.x > right) dx = drag.x - right;
    if (dx || dy) {
      viewport.scrollTop += Math.sign(dy) * Math.min(Math.abs(dy), 60);
      viewport.scrollLeft += Math.sign(dx) * Math.min(Math.abs(dx), 60);
      render();
      dragTo();
      drag.frame = requestAnimationFrame(dragScroll);
    }
  }

  function onDragEnd() {
    if (drag && drag.frame) cancelAnimationFrame(drag.frame);
    drag = null;
    window.removeEventListener("mousemove", onDragMove);
    window.removeEventListener("mouseup", onDragEnd);
  }

  // Clicking a column or row header selects the column or row; the corner, the whole sheet.
  colLayer.addEventListener("mousedown", (e) => {
    const el = e.target.closest(".col-h");
    if (!el || e.button !== 0 || !sheet || el._c < 1) return;
    e.preventDefault();
    finishEdits();
    if (e.shiftKey) setSelection(1, sel.ac, sheet.rows, el._c, false);
    else setSelection(1, el._c, sheet.rows, el._c, false);
    focusGrid();
  });

  rowLayer.addEventListener("mousedown", (e) => {
    const el = e.target.closest(".row-h");
    if (!el || e.button !== 0 || !sheet || el._r < 1) return;
    e.preventDefault();
    finishEdits();
    if (e.shiftKey) setSelection(sel.ar, 1, el._r, sheet.columns, false);
    else setSelection(el._r, 1, el._r, sheet.columns, false);
    focusGrid();
  });

  $("corner").addEventListener("mousedown", (e) => {
    if (e.button !== 0 || !sheet) return;
    e.preventDefault();
    finishEdits();
    selectAll();
    focusGrid();
  });

  tabsEl.addEventListener("mousedown", (e) => {
    const tab = e.target.closest(".sheet-tab");
    if (!tab || e.button !== 0) return;
    e.preventDefault();
    if (sheet && tab.dataset.sheet === sheet.name) { finishEdits(); focusGrid(); return; }
    switchSheet(tab.dataset.sheet);
  });

  // Clicks on bare page areas keep the keyboard on the grid.
  document.addEventListener("mousedown", (e) => {
    if (e.defaultPrevented || modalOpen()) return;
    if (e.target.closest("input, textarea, button, #cell-note, #status")) return;
    // the grid's own scroll bars must keep working
    if (e.target !== viewport) e.preventDefault();
    focusGrid();
  });

  viewport.addEventListener("scroll", () => {
    render();
    scheduleFetch();
  }, { passive: true });

  new ResizeObserver(() => {
    if (!sheet) return;
    buildPool();
    for (const el of pool) el._sheet = null;
    render();
    scheduleFetch();
  }).observe(viewport);

  // ---- Status line -------------------------------------------------------------------------

  let connText = "Connecting…";
  let errorTimer = 0;
  let standingProblem = "";       // what the hub said is wrong with the whole workbook

  function drawStatus() {
    let text, cls = "status-state";
    if (!connected) {
      text = connText;
      cls += " offline";
    } else {
      text = "Kernel " + (kernel || "unknown");
      if (pendingCalls > 0) { text += " · Calculating… (" + pendingCalls + ")"; cls += " busy"; }
      else if (recalcIds.size) { text += " · Calculating…"; cls += " busy"; }
      if (handlerNote) { text += " · " + handlerNote; cls += " busy"; }
    }
    if (statusState.textContent !== text) statusState.textContent = text;
    if (statusState.className !== cls) statusState.className = cls;
  }

  function showError(text) {
    statusError.textContent = text;
    statusError.title = text;
    clearTimeout(errorTimer);
    errorTimer = setTimeout(() => {
      statusError.textContent = standingProblem;
      statusError.title = standingProblem;
    }, ERROR_SHOW_MS);
  }

  function setProblem(text) {
    standingProblem = text;
    clearTimeout(errorTimer);
    statusError.textContent = text;
    statusError.title = text;
  }

  // ---- Message boxes -----------------------------------------------------------------------

  const messages = [];

  function modalOpen() { return !msgBackdrop.hidden; }

  function queueMessage(msg) {
    messages.push(msg);
    if (!modalOpen()) showMessage();
  }

  function showMessage() {
    const msg = messages[0];
    if (!msg) return;
    const kind = String(msg.msg_type || "Info").toLowerCase();
    msgBox.className = kind === "error" ? "error" : kind === "warning" ? "warning" : "info";
    msgBox.dataset.type = msg.msg_type || "Info";
    msgTitle.textContent = msg.title || (kind === "error" ? "Error" : kind === "warning" ? "Warning" : "Information");
    msgText.textContent = msg.message == null ? "" : String(msg.message);
    msgBackdrop.hidden = false;
    msgOk.focus({ preventScroll: true });
  }

  function closeMessage() {
    messages.shift();
    if (messages.length) { showMessage(); return; }
    msgBackdrop.hidden = true;
    if (editing) editor.focus({ preventScroll: true }); else focusGrid();
  }

  msgOk.addEventListener("click", closeMessage);

  // ---- Connection --------------------------------------------------------------------------

  function send(message, withId) {
    if (!socket || socket.readyState !== WebSocket.OPEN || !connected) return null;
    let id = null;
    if (withId !== false) { id = nextId++; message.id = id; }
    socket.send(JSON.stringify(message));
    return id;
  }

  function recalculate() {
    const id = send({ type: "recalculate" });
    if (id !== null) { recalcIds.add(id); drawStatus(); }
  }

  function setReady(on) {
    document.body.dataset.ready = on ? "1" : "0";
  }

  function connect() {
    const url = (location.protocol === "https:" ? "wss" : "ws") + "://" + location.host + "/ws/sheet/" + workbookPath;
    let ws;
    try {
      ws = new WebSocket(url);
    } catch (err) {
      reconnectLater();
      return;
    }
    socket = ws;
    ws.onmessage = (e) => {
      if (socket !== ws) return;
      let msg;
      try { msg = JSON.parse(e.data); } catch (err) { return; }
      handle(msg);
    };
    ws.onclose = () => {
      if (socket !== ws) return;
      socket = null;
      dropConnection();
      reconnectLater();
    };
  }

  function reconnectLater() {
    connText = "Disconnected — reconnecting…";
    drawStatus();
    setTimeout(connect, backoff);
    backoff = Math.min(backoff * 2, 5000);
  }

  // What waited on the closed socket is gone: no replies will come.
  function dropConnection() {
    connected = false;
    setReady(false);
    gets.clear();
    edits.clear();
    queuedHistory = [];
    recalcIds.clear();
    for (const t of tiles.values()) for (const [k, v] of t) if (v === 1) t.delete(k);
    generation++;
    settleWaiters();
    drawStatus();
  }

  function handle(msg) {
    switch (msg.type) {
      case "hello": onHello(msg); break;
      case "cells": onCells(msg); break;
      case "changed": onChanged(msg); break;
      case "edited": onEdited(msg); break;
      case "recalculated": recalcIds.delete(msg.id); drawStatus(); break;
      case "refused": onRefused(msg); break;
      case "status":
        if (typeof msg.kernel === "string") kernel = msg.kernel;
        if (typeof msg.pending === "number") pendingCalls = msg.pending;
        if (typeof msg.handler === "string") handlerNote = msg.handler;
        drawStatus();
        break;
      case "message_box": queueMessage(msg); break;
      default: break;
    }
  }

  function onHello(msg) {
    const first = !everConnected;
    connected = true;
    everConnected = true;
    backoff = 500;
    setReady(false);
    generation++;
    caches.clear();
    tiles.clear();
    gets.clear();
    settleWaiters();
    kernel = typeof msg.kernel === "string" ? msg.kernel : "";
    setProblem(typeof msg.problem === "string" ? msg.problem : "");
    pendingCalls = typeof msg.pending === "number" ? msg.pending : 0;
    if (msg.name) {
      titleEl.textContent = msg.name;
      document.title = msg.name;
    }
    sheets = (Array.isArray(msg.sheets) ? msg.sheets : []).map((s) => ({
      name: String(s.name),
      rows: Math.max(1, Math.min(1048576, s.rows | 0 || 1048576)),
      columns: Math.max(1, Math.min(16384, s.columns | 0 || 16384)),
    }));
    for (const name of [...views.keys()]) if (!sheetInfo(name)) views.delete(name);
    drawStatus();
    if (!sheets.length) { sheet = null; drawTabs(); setReady(true); return; }
    let name = sheet && sheetInfo(sheet.name) ? sheet.name : null;
    if (first || !name) name = sheetInfo(msg.active) ? msg.active : sheets[0].name;
    if (sheet) saveView();
    sheet = null;
    buildPool();
    showSheet(name);
    const gen = generation;
    const w = visibleBlock();
    loadBlock(name, w.top, w.left, w.bottom, w.right).then(() => {
      if (gen !== generation || !connected) return;
      render();   // the first screen is drawn before the page says it is ready
      setReady(true);
    });
    if (first) focusGrid();
  }

  function onCells(msg) {
    const g = gets.get(msg.id);
    if (g) gets.delete(msg.id);
    const name = g ? g.sheet : msg.sheet;
    const cache = cacheFor(name);
    if (g && cache.size) {
      // the reply lists every filled cell of the block; the rest are empty
      for (let r = g.top; r <= g.bottom; r++) {
        const base = r * KEY_COLS;
        for (let c = g.left; c <= g.right; c++) cache.delete(base + c);
      }
    }
    const list = Array.isArray(msg.cells) ? msg.cells : [];
    for (let i = 0; i < list.length; i++) {
      const rec = list[i];
      cache.set(rec[0] * KEY_COLS + rec[1], rec);
    }
    if (g) {
      const t = tilesFor(name);
      for (const k of g.keys) t.set(k, 2);
    }
    if (sheet && name === sheet.name) {
      scheduleRender();
      if (!g || (sel.ar >= g.top && sel.ar <= g.bottom && sel.ac >= g.left && sel.ac <= g.right)) selectionChanged(false);
    }
    settleWaiters();
  }

  function onChanged(msg) {
    const name = msg.sheet;
    const cache = cacheFor(name);
    const list = Array.isArray(msg.cells) ? msg.cells : [];
    const current = sheet && sheet.name === name;
    const top = win.r0 + 1, bottom = win.r0 + poolRows, left = win.c0 + 1, right = win.c0 + poolCols;
    let onScreen = false, active = false;
    for (let i = 0; i < list.length; i++) {
      const rec = list[i];
      const r = rec[0], c = rec[1];
      const key = r * KEY_COLS + c;
      if ((rec[2] === null || rec[2] === undefined) && !rec[3] && (rec.length < 5 || rec[4] == null || rec[4] === "")) cache.delete(key);
      else cache.set(key, rec);
      if (current) {
        if (r >= top && r <= bottom && c >= left && c <= right) onScreen = true;
        if (r === sel.ar && c === sel.ac) active = true;
      }
    }
    if (onScreen) scheduleRender();
    if (active) selectionChanged(false);
  }

  function onRefused(msg) {
    showError(msg.error ? String(msg.error) : "The request was refused");
    if (msg.id == null) return;
    const g = gets.get(msg.id);
    if (g) {
      // not asked again until the workbook is reloaded
      gets.delete(msg.id);
      const t = tilesFor(g.sheet);
      for (const k of g.keys) t.set(k, 2);
      settleWaiters();
      return;
    }
    const ed = edits.get(msg.id);
    if (ed) { edits.delete(msg.id); onEditRefused(ed); return; }
    if (recalcIds.delete(msg.id)) drawStatus();
  }

  // ---- Start -------------------------------------------------------------------------------

  measureMaxElement();
  resetSink();
  drawStatus();
  connect();
})();
