// Live bench page for qx470-record: draws the recorder's min/max frames with
// uPlot, polls its status and sends marks, auto-zero and shunt requests.
// Plain script, no build step; uPlot is loaded before it as a global.
(function () {
  'use strict';

  const $ = (id) => document.getElementById(id);
  const token = new URLSearchParams(location.search).get('token') || '';
  const auth = 'token=' + encodeURIComponent(token);

  // Read by the browser tests.
  // lags: seconds from the newest samples reaching the recorder to their frame drawn (the last 2000).
  // draws: milliseconds each frame took to decode and draw (the last 2000).
  const live = (window.qxLive = { frames: 0, lastHeader: null, lags: [], draws: [] });

  const COLORS = ['#2563eb', '#d9480f', '#2b8a3e', '#862e9c'];
  const PLOT_HEIGHT = 170;
  const Y_AXIS = 80; // CSS px for the volts axis; fixed so the plot width is known up front
  const RANGES = [
    ['auto', 'auto'], ['0.01', '±10 mV'], ['0.1', '±100 mV'],
    ['1', '±1 V'], ['10', '±10 V'], ['full', 'full scale'],
  ];

  // ---------- formatting ----------

  // Volts with an SI prefix chosen by size, four significant digits.
  function fmtVolts(v) {
    if (v == null || !isFinite(v)) return '–';
    const a = Math.abs(v);
    if (a >= 1 || a === 0) return v.toPrecision(4) + ' V';
    if (a >= 1e-3) return (v * 1e3).toPrecision(4) + ' mV';
    return (v * 1e6).toPrecision(4) + ' µV';
  }

  // Axis ticks share one unit, picked by the largest tick, and enough
  // decimals to tell neighbouring ticks apart.
  function voltTicks(u, splits) {
    let big = 0;
    for (const s of splits) big = Math.max(big, Math.abs(s));
    const [k, unit] = big >= 1 ? [1, 'V'] : big >= 1e-3 ? [1e3, 'mV'] : [1e6, 'µV'];
    const step = splits.length > 1 ? Math.abs(splits[1] - splits[0]) * k : 1;
    const dec = Math.max(0, Math.min(6, -Math.floor(Math.log10(step) + 1e-9)));
    return splits.map((s) => (s * k).toFixed(dec) + ' ' + unit);
  }

  function timeTicks(u, splits) {
    const step = splits.length > 1 ? splits[1] - splits[0] : 1;
    const dec = Math.max(0, Math.min(4, -Math.floor(Math.log10(step) + 1e-9)));
    return splits.map((s) => s.toFixed(dec) + ' s');
  }

  const fmtInt = (n) => (n == null ? '–' : Number(n).toLocaleString('en-US'));
  const fmtRate = (r) => (r >= 1000 ? r / 1000 + ' kS/s' : r + ' S/s');

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  let messageTimer = 0;
  function say(text, bad) {
    const el = $('message');
    el.textContent = text;
    el.className = 'message ' + (bad ? 'bad' : 'ok');
    clearTimeout(messageTimer);
    // Errors stay until replaced; confirmations fade after a few seconds.
    if (!bad) messageTimer = setTimeout(() => { el.textContent = ''; }, 4000);
  }

  // ---------- HTTP API ----------

  async function post(path, body) {
    const init = { method: 'POST' };
    if (body !== undefined) {
      init.headers = { 'Content-Type': 'application/json' };
      init.body = JSON.stringify(body);
    }
    const r = await fetch(path + (path.includes('?') ? '&' : '?') + auth, init);
    let reply = null;
    try { reply = await r.json(); } catch (e) { /* no JSON body: report the status */ }
    if (!r.ok || !reply || reply.ok === false) {
      throw new Error((reply && reply.error) || 'HTTP ' + r.status);
    }
    return reply;
  }

  // ---------- channel plots ----------

  // One entry per channel in the current frame header, in its order.
  let plots = [];
  let plotsKey = '';
  const rangeChoice = {}; // channel number -> RANGES key, kept across rebuilds
  let seenData = false; // any channel has had samples

  function yRange(p, dmin, dmax) {
    const choice = rangeChoice[p.channel] || 'auto';
    if (choice === 'full') return [p.fullScale[0], p.fullScale[1]];
    if (choice !== 'auto') return [-choice, +choice];
    if (dmin == null || !isFinite(dmin)) return p.auto;
    const span = dmax - dmin;
    const fs = p.fullScale[1] - p.fullScale[0];
    const pad = span > 0 ? span * 0.08 : Math.max(Math.abs(dmax) * 0.02, (fs / 65536) * 8);
    const [lo, hi] = p.auto;
    // Keep the previous range while the data still fills most of it, so the
    // axis does not twitch with every frame's noise.
    if (dmin >= lo && dmax <= hi && (dmax - dmin + 2 * pad) >= 0.6 * (hi - lo)) return p.auto;
    p.auto = [dmin - pad, dmax + pad];
    return p.auto;
  }

  // Custom uPlot path builders. The band between min and max is one short
  // vertical line per column (the min series draws it, so it lies under
  // the edges); the max series draws both edges as thin polylines. Both are
  // plain strokes: much cheaper than uPlot's clipped band fill, which cost
  // more than everything else in a frame.
  function pathsOf(stroke) {
    return { stroke, fill: null, clip: null, band: null, gaps: null, flags: 0 };
  }

  function bandPaths(u) {
    const [x, lo, hi] = u.data;
    const path = new Path2D();
    for (let i = 0; i < x.length; i++) {
      if (lo[i] == null || hi[i] == null) continue;
      const px = Math.round(u.valToPos(x[i], 'x', true));
      path.moveTo(px, Math.round(u.valToPos(hi[i], 'y', true)));
      path.lineTo(px, Math.round(u.valToPos(lo[i], 'y', true)) + 1); // flat columns still show
    }
    return pathsOf(path);
  }

  function edgePaths(u) {
    const [x, lo, hi] = u.data;
    const path = new Path2D();
    polyline(u, path, x, hi);
    polyline(u, path, x, lo);
    return pathsOf(path);
  }

  // null breaks the line; undefined is stepped over (see copySeries).
  function polyline(u, path, x, y) {
    let pen = false;
    for (let i = 0; i < x.length; i++) {
      const v = y[i];
      if (v === undefined) continue;
      if (v === null) { pen = false; continue; }
      const px = u.valToPos(x[i], 'x', true);
      const py = u.valToPos(v, 'y', true);
      if (pen) path.lineTo(px, py); else path.moveTo(px, py);
      pen = true;
    }
  }

  // Gap spans are shaded under the traces and labelled over them, so both
  // the data and the label stay readable.
  function drawGaps(u, p, labels) {
    const h = live.lastHeader;
    if (!h || !h.gaps) return;
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    ctx.save();
    ctx.font = Math.round(11 * devicePixelRatio) + 'px system-ui, sans-serif';
    ctx.textBaseline = 'top';
    for (const g of h.gaps) {
      if (g.channel !== p.channel) continue;
      const x0 = Math.max(left, u.valToPos(g.t0, 'x', true));
      const x1 = Math.min(left + width, u.valToPos(g.t1, 'x', true));
      if (!(x1 > x0)) continue;
      if (!labels) {
        ctx.fillStyle = 'rgba(217, 72, 15, 0.14)';
        ctx.fillRect(x0, top, x1 - x0, height);
        continue;
      }
      // The full text where it fits, else just the kind, which may overhang.
      const full = g.text || g.kind;
      const label = ctx.measureText(full).width < x1 - x0 - 4 ? full : g.kind;
      ctx.fillStyle = '#b43c0c';
      ctx.fillText(label, x0 + 3, top + 3);
    }
    ctx.restore();
  }

  const DASH = [4, 3];
  // Events go over the traces: a dashed line and its text on every channel.
  function drawEvents(u) {
    const h = live.lastHeader;
    if (!h || !h.events || !h.events.length) return;
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    const dpr = devicePixelRatio;
    ctx.save();
    ctx.strokeStyle = '#7c3aed';
    ctx.fillStyle = '#5b21b6';
    ctx.lineWidth = dpr;
    ctx.setLineDash(DASH.map((d) => d * dpr));
    ctx.font = Math.round(11 * dpr) + 'px system-ui, sans-serif';
    ctx.textBaseline = 'bottom';
    for (const e of h.events) {
      const x = Math.round(u.valToPos(e.t, 'x', true)) + 0.5;
      if (x < left || x > left + width) continue;
      ctx.beginPath();
      ctx.moveTo(x, top);
      ctx.lineTo(x, top + height);
      ctx.stroke();
      // Text on the side with room, near the bottom (gap labels sit at the top).
      const w = ctx.measureText(e.text).width;
      const tx = x + 3 + w > left + width ? x - 3 - w : x + 3;
      ctx.fillText(e.text, tx, top + height - 2);
    }
    ctx.restore();
  }

  function channelRow(c, i) {
    const row = document.createElement('section');
    row.className = 'ch';
    row.id = 'ch' + c.channel;
    row.innerHTML =
      '<div class="side">' +
      '<div class="name"><span class="swatch"></span><span class="label"></span>' +
      '<span class="rate"></span><span class="clip"></span></div>' +
      '<select class="range" aria-label="Volts range"></select> <span class="lost-ch"></span>' +
      '<dl class="readouts">' +
      '<dt>mean</dt><dd class="mean"></dd><dt>RMS</dt><dd class="rms"></dd>' +
      '<dt>min</dt><dd class="min"></dd><dt>max</dt><dd class="max"></dd></dl>' +
      '</div><div class="plot"></div>';
    row.querySelector('.swatch').style.background = COLORS[i % COLORS.length];
    row.querySelector('.label').textContent = c.label;
    row.querySelector('.rate').textContent = fmtRate(c.rate);
    const sel = row.querySelector('.range');
    for (const [value, text] of RANGES) sel.add(new Option(text, value));
    sel.value = rangeChoice[c.channel] || 'auto';
    return row;
  }

  function makePlot(c, i, container) {
    const row = channelRow(c, i);
    container.appendChild(row);
    const color = COLORS[i % COLORS.length];
    const p = {
      channel: c.channel,
      row,
      fullScale: c.range || [-10, 10],
      auto: [-1, 1],
      win: [0, 1],
      columns: 0,
      data: null,
      el: {
        mean: row.querySelector('.mean'), rms: row.querySelector('.rms'),
        min: row.querySelector('.min'), max: row.querySelector('.max'),
        clip: row.querySelector('.clip'), lost: row.querySelector('.lost-ch'),
      },
      last: { mean: NaN, rms: NaN, min: NaN, max: NaN, clip: '' }, // what is on screen
    };
    allocate(p, c.columns);
    const axisStyle = { stroke: '#4b5563', grid: { stroke: '#eceef2', width: 1 }, ticks: { stroke: '#d5d9e0', width: 1 } };
    p.u = new uPlot({
      width: row.querySelector('.plot').clientWidth,
      height: PLOT_HEIGHT,
      legend: { show: false },
      cursor: { show: false, drag: { x: false, y: false } },
      select: { show: false },
      scales: {
        x: { time: false, range: () => p.win },
        y: { range: (u, dmin, dmax) => yRange(p, dmin, dmax) },
      },
      axes: [
        Object.assign({ values: timeTicks, size: 30 }, axisStyle),
        Object.assign({ values: voltTicks, size: Y_AXIS }, axisStyle),
      ],
      series: [
        {},
        { label: 'min', stroke: color + '50', width: 1, paths: bandPaths, points: { show: false } },
        { label: 'max', stroke: color, width: 1, paths: edgePaths, points: { show: false } },
      ],
      hooks: {
        drawClear: [(u) => drawGaps(u, p, false)],
        draw: [(u) => drawGaps(u, p, true), drawEvents],
      },
    }, p.data, row.querySelector('.plot'));
    row.querySelector('.range').addEventListener('change', (ev) => {
      rangeChoice[p.channel] = ev.target.value;
      p.auto = [-1, 1];
      p.u.setData(p.data); // rescales through yRange at once, without waiting for a frame
    });
    return p;
  }

  // Plain arrays because uPlot needs null (break the line) and undefined
  // (join across); they are reused frame after frame.
  function allocate(p, n) {
    p.columns = n;
    p.data = [new Array(n).fill(0), new Array(n).fill(null), new Array(n).fill(null)];
  }

  function rebuild(header) {
    const container = $('channels');
    for (const p of plots) { p.u.destroy(); p.row.remove(); }
    plots = header.channels.map((c, i) => makePlot(c, i, container));
    plotsKey = channelKey(header);
    sendView();
  }

  function channelKey(header) {
    let key = '';
    for (const c of header.channels) key += c.channel + ':' + c.label + ':' + c.rate + ',';
    return key;
  }

  // Copy one column series out of the payload. NaN marks a column without
  // samples: a short run between samples of a slow channel is joined
  // (undefined); a longer one is a real hole, or no data yet, and breaks (null).
  function copySeries(dst, src, off, n, joinCols) {
    let i = 0;
    while (i < n) {
      const v = src[off + i];
      if (v === v) { dst[i++] = v; continue; }
      let j = i + 1;
      while (j < n && src[off + j] !== src[off + j]) j++;
      const hole = i === 0 || j === n || j - i > joinCols ? null : undefined;
      for (; i < j; i++) dst[i] = hole;
    }
  }

  function readout(p, key, v) {
    if (v === p.last[key]) return;
    p.last[key] = v;
    const el = p.el[key];
    el.textContent = fmtVolts(v);
    el.dataset.volts = v == null ? '' : String(v);
  }

  function drawFrame(header, payload) {
    if (channelKey(header) !== plotsKey) rebuild(header);
    live.lastHeader = header;
    for (let i = 0; i < plots.length; i++) {
      const p = plots[i];
      const c = header.channels[i];
      const n = c.columns;
      if (n !== p.columns) allocate(p, n);
      const [x, lo, hi] = p.data;
      for (let k = 0; k < n; k++) x[k] = c.t0 + (k + 0.5) * c.dt; // column centres
      const joinCols = Math.floor(1.5 / (c.rate * c.dt));
      copySeries(lo, payload, c.min_offset, n, joinCols);
      copySeries(hi, payload, c.max_offset, n, joinCols);
      p.win[0] = header.t_end - header.window;
      p.win[1] = header.t_end;
      if (c.range) p.fullScale = c.range;
      p.u.setData(p.data);
      const s = c.stats || {};
      readout(p, 'mean', s.mean);
      readout(p, 'rms', s.rms);
      readout(p, 'min', s.min);
      readout(p, 'max', s.max);
      const side = c.clip_low && c.clip_high ? 'low and high' : c.clip_low ? 'low' : c.clip_high ? 'high' : '';
      if (side !== p.last.clip) {
        p.last.clip = side;
        p.el.clip.textContent = side ? 'CLIP' : '';
        p.el.clip.classList.toggle('on', !!side);
        p.el.clip.title = side ? 'codes reached the ' + side + ' end of the range' : '';
      }
    }
    if (!seenData) {
      for (const c of header.channels) if (c.stats && c.stats.samples > 0) seenData = true;
      $('waiting').hidden = seenData;
      tickNextBlock();
    }
  }

  // ---------- WebSocket ----------

  let ws = null;
  let backoff = 500;
  let lastView = '';
  let pending = null;
  let rafId = 0;
  let ended = false;
  const decoder = new TextDecoder();

  function columns() {
    let w;
    if (plots.length) w = plots[0].u.bbox.width / devicePixelRatio;
    else w = $('channels').clientWidth - 170 - 12 - Y_AXIS; // the row layout's side column and gap
    return Math.max(16, Math.min(4096, Math.round(w)));
  }

  function sendView() {
    if (!ws || ws.readyState !== WebSocket.OPEN) return;
    const msg = JSON.stringify({ type: 'view', window: Number($('window').value), columns: columns() });
    if (msg === lastView) return;
    lastView = msg;
    ws.send(msg);
  }

  function setConn(text, cls) {
    const el = $('conn');
    setText(el, text);
    el.className = 'conn ' + (cls || '');
  }

  function markEnded() {
    ended = true;
    setConn('recording ended', 'ended');
    tickNextBlock();
  }

  function connect() {
    if (ended) return;
    setConn('connecting…');
    const proto = location.protocol === 'https:' ? 'wss://' : 'ws://';
    const sock = (ws = new WebSocket(proto + location.host + '/live?' + auth));
    sock.binaryType = 'arraybuffer';
    sock.onopen = () => {
      backoff = 500;
      lastView = '';
      if (!ended) setConn('live', 'live');
      sendView();
    };
    sock.onmessage = (ev) => {
      if (typeof ev.data === 'string') return onText(ev.data);
      pending = ev.data; // one frame in flight, so nothing is dropped here
      if (!rafId) rafId = requestAnimationFrame(renderPending);
    };
    sock.onclose = () => {
      if (ws === sock) ws = null;
      pending = null;
      if (ended) return;
      setConn('disconnected', 'down');
      // Only a live server is worth reconnecting to; otherwise the run is over.
      pollStatus().then((up) => {
        if (!up || ended) { if (!ended) markEnded(); return; }
        const wait = backoff;
        backoff = Math.min(backoff * 2, 8000);
        setConn('reconnecting in ' + (wait / 1000).toFixed(1) + ' s', 'down');
        setTimeout(connect, wait);
      });
    };
  }

  function onText(text) {
    let msg;
    try { msg = JSON.parse(text); } catch (e) { return; }
    if (msg.type === 'error') say('Server: ' + msg.message, true);
  }

  function renderPending() {
    rafId = 0;
    const buf = pending;
    pending = null;
    if (!buf) return;
    const began = performance.now();
    try {
      const dv = new DataView(buf);
      const len = dv.getUint32(0, true);
      const header = JSON.parse(decoder.decode(new Uint8Array(buf, 4, len)));
      const start = (4 + len + 3) & ~3;
      drawFrame(header, new Float32Array(buf, start, (buf.byteLength - start) >> 2));
      live.frames++;
      if (header.fed > 0) {
        live.lags.push(Date.now() / 1000 - header.fed);
        if (live.lags.length > 2000) live.lags.shift();
      }
      live.draws.push(performance.now() - began);
      if (live.draws.length > 2000) live.draws.shift();
    } catch (e) {
      say('Bad frame: ' + e.message, true);
    }
    // Ack even a bad frame, or the stream would stall for good.
    if (ws && ws.readyState === WebSocket.OPEN) ws.send('{"type":"ack"}');
  }

  // Frames per second, shown beside the connection state.
  let fpsFrames = 0;
  setInterval(() => {
    const n = live.frames - fpsFrames;
    fpsFrames = live.frames;
    setText($('fps'), ws && ws.readyState === WebSocket.OPEN ? n + ' frames/s' : '');
  }, 1000);

  // ---------- status ----------

  let status = null;
  let statusAt = 0;

  // Fetches status once; resolves true if the server answered.
  async function pollStatus() {
    try {
      const r = await fetch('/api/status?' + auth, { cache: 'no-store' });
      if (r.status === 403) {
        // A wrong token never becomes right: stop, and say why.
        ended = true;
        setConn('access denied: open the link the recorder printed, with its token', 'ended');
        return false;
      }
      if (!r.ok) return false;
      status = await r.json();
      statusAt = performance.now();
      showStatus(status);
      return true;
    } catch (e) {
      return false;
    }
  }

  async function statusLoop() {
    const up = await pollStatus();
    // A failed poll with the socket gone means the recorder has exited.
    if (!up && !ws && !ended) markEnded();
    if (up || !ended) setTimeout(statusLoop, 1000);
  }

  function showStatus(s) {
    const d = s.device || {};
    setText($('dev-serial'), d.serial || '–');
    const bridge = $('dev-bridge');
    setText(bridge, d.bridge || '');
    // A stand-in for the hardware must never be mistaken for the real thing.
    bridge.className = 'badge' + (d.bridge && d.bridge !== 'USB' ? ' sim' : '');
    bridge.title = d.calibration != null ? 'calibration ' + d.calibration : '';

    const files = s.files && s.files.length ? s.files.join(', ') : 'not recording — view only';
    setText($('status-files'), files);
    setText($('status-state'), s.state || '–');
    setText($('status-time'), s.signal_seconds != null ? s.signal_seconds.toFixed(1) + ' s' : '–');
    $('status-time').title = s.wall_seconds != null ? 'wall clock ' + s.wall_seconds.toFixed(1) + ' s' : '';
    setText($('status-samples'), fmtInt(s.samples));
    const lost = $('status-lost');
    setText(lost, fmtInt(s.lost) + ' samples in ' + fmtInt(s.gaps) + ' gaps');
    lost.classList.toggle('bad', s.lost > 0);
    setText($('status-events'), fmtInt(s.events));
    const q = $('status-queue');
    setText(q, s.queue_fill != null ? (s.queue_fill * 100).toFixed(1) + ' %' : '–');
    q.classList.toggle('bad', s.queue_fill > 0.5);

    const shunt = $('shunt');
    setText(shunt, s.shunt ? 'Shunt on' : 'Shunt off');
    shunt.setAttribute('aria-pressed', s.shunt ? 'true' : 'false');

    for (const c of s.channels || []) {
      const p = plots.find((q) => q.channel === c.channel);
      if (!p) continue;
      setText(p.el.lost, c.lost ? 'lost ' + fmtInt(c.lost) : '');
      p.el.lost.classList.toggle('bad', c.lost > 0);
    }
    if (d.serial) document.title = 'QX470 live — ' + d.serial;
    if (s.state === 'finished' && !ended) markEnded();
    tickNextBlock();
  }

  // Slow channels fill a block only every several seconds: count down
  // locally between polls so the page never looks frozen.
  function tickNextBlock() {
    const parts = [];
    if (!ended && !seenData) parts.push('waiting for data');
    if (!ended && status && status.block_seconds > 1 && status.next_block_seconds != null) {
      let left = status.next_block_seconds - (performance.now() - statusAt) / 1000;
      // Past the predicted block, the next one is a block length further on.
      if (left < 0) left = ((left % status.block_seconds) + status.block_seconds) % status.block_seconds;
      parts.push('next block in ' + left.toFixed(1) + ' s');
    }
    setText($('next-block'), parts.join(' · '));
  }
  setInterval(tickNextBlock, 200);

  // ---------- controls ----------

  let markCount = 1;
  const autoText = () => 'mark ' + markCount;

  async function mark() {
    const field = $('mark-text');
    const typed = field.value.trim();
    const text = typed || autoText();
    const wasAuto = !typed || typed === autoText();
    const btn = $('mark');
    btn.disabled = true;
    try {
      const r = await post('/api/mark', { text });
      markCount++;
      if (wasAuto) field.value = autoText(); // keep what the user typed themselves
      say('Marked: ' + (r.text || text));
    } catch (e) {
      say('Mark failed: ' + e.message, true);
    } finally {
      btn.disabled = false;
    }
  }

  async function button(id, path, done) {
    const btn = $(id);
    btn.disabled = true;
    try {
      done(await post(path));
    } catch (e) {
      say(btn.textContent + ' failed: ' + e.message, true);
    } finally {
      btn.disabled = false;
    }
  }

  $('mark').addEventListener('click', mark);
  $('mark-text').addEventListener('keydown', (ev) => {
    if (ev.key === 'Enter') mark();
  });
  document.addEventListener('keydown', (ev) => {
    if ((ev.key !== 'm' && ev.key !== 'M') || ev.repeat || ev.ctrlKey || ev.metaKey || ev.altKey) return;
    const t = ev.target;
    if (t && (t.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(t.tagName))) return;
    ev.preventDefault();
    mark();
  });
  $('autozero').addEventListener('click', () =>
    button('autozero', '/api/autozero', () => say('Auto-zero done')));
  $('shunt').addEventListener('click', () => {
    const on = !(status && status.shunt);
    button('shunt', '/api/shunt?on=' + (on ? 1 : 0), (r) => {
      const now = r.shunt != null ? !!r.shunt : on;
      if (status) status.shunt = now;
      setText($('shunt'), now ? 'Shunt on' : 'Shunt off');
      $('shunt').setAttribute('aria-pressed', String(now));
      say('Shunt ' + (now ? 'on' : 'off'));
    });
  });
  $('window').addEventListener('change', sendView);

  // Plot widths follow the page; the server is told the new column count.
  let lastWidth = 0;
  new ResizeObserver(() => {
    const w = $('channels').clientWidth;
    if (w === lastWidth) return;
    lastWidth = w;
    for (const p of plots) p.u.setSize({ width: p.row.querySelector('.plot').clientWidth, height: PLOT_HEIGHT });
    sendView();
  }).observe($('channels'));

  statusLoop();
  connect();
})();
