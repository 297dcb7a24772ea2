// Installed in the workbook page before its own script runs (bench/sheet.py): it notes when
// keys are pressed, when the page has been given the cells a measurement waits for, when
// the grid draws them, and how long each frame of a scroll takes. The page's own code is
// left as it is: its socket's messages reach it first, and are looked at after.
"use strict";

(function () {
  const B = window.__bench = {
    key: null,            // {key, ctrl}: the key press that starts a measurement
    keyAt: 0,
    watch: null,          // cells whose new values are awaited on the socket
    shown: null,          // cells on screen whose new texts are awaited in the grid
    readyAt: 0,           // when the page first said its first screen is drawn
    changedBytes: 0,
  };

  document.addEventListener("keydown", (e) => {
    const k = B.key;
    if (k && !B.keyAt && e.key === k.key && !!e.ctrlKey === k.ctrl) B.keyAt = performance.now();
  }, true);

  // The first screen: the page sets body.dataset.ready.
  new MutationObserver(() => {
    if (!B.readyAt && document.body && document.body.dataset.ready === "1") B.readyAt = performance.now();
  }).observe(document, { subtree: true, attributes: true, attributeFilter: ["data-ready"] });

  // The socket: every message the page's handler took, looked at once it has.
  const proto = WebSocket.prototype;
  const handler = Object.getOwnPropertyDescriptor(proto, "onmessage");
  Object.defineProperty(proto, "onmessage", {
    configurable: true,
    enumerable: handler.enumerable,
    get() { return handler.get.call(this); },
    set(fn) {
      if (typeof fn !== "function") { handler.set.call(this, fn); return; }
      handler.set.call(this, function (e) {
        const out = fn.call(this, e);
        took(e.data);
        return out;
      });
    },
  });

  function took(data) {
    const w = B.watch;
    if (!w || w.doneAt || typeof data !== "string" || data.indexOf('"changed"') < 0) return;
    let msg;
    try { msg = JSON.parse(data); } catch (err) { return; }
    if (msg.type !== "changed" || msg.sheet !== w.sheet) return;
    B.changedBytes += data.length;
    const cells = msg.cells;
    for (let i = 0; i < cells.length; i++) {
      const rec = cells[i];
      const r = rec[0];
      if (rec[1] !== w.col || r < w.top || r > w.bottom || w.seen[r - w.top]) continue;
      if (rec[2] === w.factor * r) { w.seen[r - w.top] = 1; w.count++; }
    }
    if (w.count === w.seen.length) { w.doneAt = performance.now(); settle(); }
  }

  // Which cells of a column the grid shows inside the grid's body on screen.
  function onScreen(sheet, col) {
    const area = document.getElementById("body").getBoundingClientRect();
    const view = document.getElementById("viewport").getBoundingClientRect();
    const top = Math.max(area.top, view.top), bottom = Math.min(area.bottom, view.bottom);
    const found = [];
    for (const el of document.querySelectorAll("#cells .cell[data-address]")) {
      if (el.hidden) continue;
      const m = /^(.*)!([A-Z]+)([0-9]+)$/.exec(el.dataset.address);
      if (!m || m[1] !== sheet || columnNumber(m[2]) !== col) continue;
      const rect = el.getBoundingClientRect();
      if (rect.bottom > top && rect.top < bottom) found.push({ address: el.dataset.address, row: +m[3] });
    }
    return found;
  }

  function columnNumber(letters) {
    let c = 0;
    for (const ch of letters) c = c * 26 + ch.charCodeAt(0) - 64;
    return c;
  }

  function checkShown() {
    const s = B.shown;
    if (!s || s.doneAt) return;
    for (const cell of s.cells) {
      const el = document.querySelector('.cell[data-address="' + cell.address + '"]');
      if (!el || el.textContent !== String(s.factor * cell.row)) return;
    }
    s.doneAt = performance.now();
    s.observer.disconnect();
    settle();
  }

  let resolveDone = null;
  function settle() {
    if (resolveDone && B.watch && B.watch.doneAt && B.shown && B.shown.doneAt) {
      const r = resolveDone;
      resolveDone = null;
      r(result());
    }
  }

  function result() {
    return {
      keyAt: B.keyAt, allAt: B.watch ? B.watch.doneAt : 0, shownAt: B.shown ? B.shown.doneAt : 0,
      count: B.watch ? B.watch.count : 0, cells: B.shown ? B.shown.cells.length : 0,
      bytes: B.changedBytes,
    };
  }

  // Arms a measurement: the key that starts it, and the cells top..bottom of column `col`
  // that are to hold factor × row, on the socket and on screen.
  B.arm = function (key, ctrl, sheet, col, top, bottom, factor) {
    B.key = { key, ctrl };
    B.keyAt = 0;
    B.changedBytes = 0;
    B.watch = { sheet, col, top, bottom, factor, seen: new Uint8Array(bottom - top + 1), count: 0, doneAt: 0 };
    const cells = onScreen(sheet, col);
    const observer = new MutationObserver(checkShown);
    B.shown = { cells, factor, doneAt: 0, observer };
    observer.observe(document.getElementById("cells"), { subtree: true, childList: true, characterData: true });
    return cells.length;
  };

  // Resolves with the times once both are done, or with what is known after `ms`.
  B.done = function (ms) {
    return new Promise((resolve) => {
      resolveDone = resolve;
      settle();
      setTimeout(() => {
        if (resolveDone === resolve) { resolveDone = null; resolve({ ...result(), timedOut: true }); }
      }, ms);
    });
  };

  // Scrolls the grid down one screen per frame, `steps` times. For each frame: the main
  // thread's work from the scroll event (before the page's handler) until the frame was
  // drawn (a message posted from the frame's animation callback runs after its rendering),
  // the page's own scroll handler, the time since the previous frame, and whether the
  // cells at the top of the screen showed their values in that frame. The next step is
  // scrolled once a frame is drawn, as a wheel's scrolling lands between frames, so that
  // no layout is forced from here.
  B.scroll = function (steps, sheet) {
    return new Promise((resolve) => {
      const vp = document.getElementById("viewport");
      const head = document.getElementById("col-head").getBoundingClientRect().height;
      const screen = Math.max(22, Math.floor((vp.clientHeight - head) / 22) * 22);
      const works = [], handlers = [], gaps = [];
      let blank = 0, checked = 0, longTasks = 0, longest = 0;
      let scrolledAt = 0, handledAt = 0, topRow = 0, n = 0, last = 0, started = 0;
      const before = () => { scrolledAt = performance.now(); };
      const after = () => { handledAt = performance.now(); topRow = Math.floor(vp.scrollTop / 22) + 1; };
      document.addEventListener("scroll", before, true);
      vp.addEventListener("scroll", after);
      let observer = null;
      try {
        observer = new PerformanceObserver((list) => {
          for (const entry of list.getEntries()) { longTasks++; longest = Math.max(longest, entry.duration); }
        });
        observer.observe({ type: "longtask" });
      } catch (err) { observer = null; }
      const channel = new MessageChannel();
      let finished = false;
      let awaiting = false;     // a step scrolled whose frame is not drawn yet
      channel.port1.onmessage = () => {
        if (awaiting && scrolledAt) {
          works.push(performance.now() - scrolledAt);
          handlers.push(handledAt - scrolledAt);
          scrolledAt = 0;
          awaiting = false;
          const el = document.querySelector('.cell[data-address="' + sheet + "!A" + topRow + '"]');
          checked++;
          if (!el || el.textContent === "") blank++;
        }
        if (awaiting) return;
        if (n < steps) {
          if (!started) started = performance.now();
          vp.scrollTop += screen;
          n++;
          awaiting = true;
        } else if (!finished) {
          finished = true;
          document.removeEventListener("scroll", before, true);
          vp.removeEventListener("scroll", after);
          if (observer) observer.disconnect();
          resolve({ works, handlers, gaps, blank, checked, longTasks, longest, screen,
                    rows: Math.floor(vp.scrollTop / 22) + 1, elapsed: performance.now() - started });
        }
      };
      function frame(ts) {
        if (finished) return;
        if (last) gaps.push(ts - last);
        last = ts;
        channel.port2.postMessage(0);
        requestAnimationFrame(frame);
      }
      requestAnimationFrame(frame);
      // a frame whose scroll event never came would leave the run waiting
      setTimeout(() => {
        if (finished) return;
        finished = true;
        resolve({ works, handlers, gaps, blank, checked, longTasks, longest, screen,
                  rows: Math.floor(vp.scrollTop / 22) + 1, elapsed: performance.now() - started });
      }, 60000 + steps * 100);
    });
  };

  // Notes each text one cell shows, with the wall clock (epoch ms) when the grid drew it in,
  // until `stop` is called: [[text, epochMs], ...].
  B.follow = function (address) {
    const shown = [];
    let last = null;
    const observer = new MutationObserver(() => {
      const el = document.querySelector('.cell[data-address="' + address + '"]');
      const text = el ? el.textContent : null;
      if (text !== last) { last = text; shown.push([text, performance.timeOrigin + performance.now()]); }
    });
    observer.observe(document.getElementById("cells"), { subtree: true, childList: true, characterData: true });
    B.stopFollowing = () => { observer.disconnect(); return shown; };
  };

  // Counts the frames drawn over `ms`: the time between them, and the long tasks meanwhile.
  B.frames = function (ms) {
    return new Promise((resolve) => {
      const gaps = [];
      let last = 0, longTasks = 0, longest = 0, observer = null;
      try {
        observer = new PerformanceObserver((list) => {
          for (const entry of list.getEntries()) { longTasks++; longest = Math.max(longest, entry.duration); }
        });
        observer.observe({ type: "longtask" });
      } catch (err) { observer = null; }
      const started = performance.now();
      function frame(ts) {
        if (last) gaps.push(ts - last);
        last = ts;
        if (performance.now() - started < ms) { requestAnimationFrame(frame); return; }
        if (observer) observer.disconnect();
        resolve({ gaps, longTasks, longest, elapsed: performance.now() - started });
      }
      requestAnimationFrame(frame);
    });
  };

  // The wall clock (epoch ms) of the next press of `key`.
  B.armKey = function (key) { B.key = { key, ctrl: false }; B.keyAt = 0; };
  B.keyEpoch = function () { return B.keyAt ? performance.timeOrigin + B.keyAt : 0; };
})();
