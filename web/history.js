// The history: range buttons, five charts with a common time axis, the summary, the events table
// and the download links. Zooming reads the zoomed span anew, at the charts' resolution.
import {
  RANGES, ApiError, fetchJSON, clock, printable, parseTime, isoTime, formatLocal,
  formatLocalWithOffset, utcOffset, formatNumber, formatSI, buildRows, downSpans, fieldStats,
  describeChart, rangeQuery,
} from './common.js';

const CHARTS = [
  {
    id: 'bit-rates', title: 'Bit rates', unit: 'Mbit/s', source: 'samples', weight: 'samples',
    includeZero: true,
    series: [['receive_bit_rate_mbps', 'Receive'], ['transmit_bit_rate_mbps', 'Transmit']],
  },
  {
    id: 'attenuation', title: 'Attenuation', unit: 'dBmV', source: 'samples', weight: 'samples',
    series: [['attenuation_dbmv', 'Attenuation']],
  },
  {
    id: 'packets', title: 'Packets per second', unit: 'per second', source: 'statistics',
    weight: 'seconds', includeZero: true, si: '',
    series: [['upstream_packets_per_second', 'Upstream'],
      ['downstream_forwarded_per_second', 'Downstream forwarded']],
  },
  {
    id: 'bytes', title: 'Bytes per second', unit: 'B/s', source: 'statistics', weight: 'seconds',
    includeZero: true, si: 'B/s',
    series: [['upstream_bytes_per_second', 'Upstream'],
      ['downstream_forwarded_bytes_per_second', 'Downstream forwarded']],
  },
  {
    id: 'retransmissions', title: 'Retransmissions per second', unit: 'per second',
    source: 'statistics', weight: 'seconds', includeZero: true,
    series: [['upstream_retransmitted_per_second', 'Upstream retransmitted']],
  },
];

// Kinds drawn as lines on the charts, with the CSS variable of their colour. Debug messages are
// listed in the table only: a chatty modem sends many a minute, and their lines would hide the rest.
const MARKER_COLOURS = {
  'link-down': '--event-down', 'link-up': '--event-up', error: '--event-error',
};
const MARKED_KINDS = new Set(['link-down', 'link-up', 'error', 'version', 'tune', 'table-set',
  'scanner-set', 'gap', 'channel-change']);
const KNOWN_KINDS = new Set([...MARKED_KINDS, 'debug']);

// Kinds drawn last, on top of the rest: at a long range a short outage's link down and link up
// fall on one pixel column, and it is the down that must show there.
const MARKERS_ON_TOP = ['link-up', 'error', 'link-down'];

// The table shows the newest rows only: a long range of a chatty modem holds tens of thousands,
// and the download links give them all.
const TABLE_LIMIT = 500;

// The service sends at most this many events of a range: the newest for the table, the oldest
// in a download.
const EVENTS_CAP = 20000;

// The least time between two reloads of a range that follows the present.
const MIN_REFRESH_MS = 10e3;

// A long range of a large store may take a while; past this the page says so.
const LOAD_TIMEOUT_MS = 60e3;

const $ = (id) => document.getElementById(id);

const state = {
  range: RANGES[1],
  view: null, // { since, until, zoomed } in ms
  loading: null, // AbortController of the load under way
  loadedAt: 0,
  points: 0,
  events: [],
  eventsCapped: false, // the range holds more events than the service sent
  noHistory: false,
  streamed: [], // the stream's events since the load under way began, as the API sends them
  spans: [],
  markers: [],
  charts: [], // { def, graph, rows, box, chart, legend, text }
  theme: {},
  chartsAvailable: typeof window.Dygraph === 'function',
};

function cssVar(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
}

function readTheme() {
  state.theme = {
    series: [cssVar('--series-1'), cssVar('--series-2')],
    grid: cssVar('--grid'),
    axis: cssVar('--muted'),
    down: cssVar('--down-shade'),
    marker: cssVar('--event-other'),
    markers: Object.fromEntries(Object.entries(MARKER_COLOURS).map(([k, v]) => [k, cssVar(v)])),
  };
}

function themeOptions(def) {
  return {
    colors: state.theme.series.slice(0, def.series.length),
    gridLineColor: state.theme.grid,
    axisLineColor: state.theme.grid,
  };
}

// --- the charts -------------------------------------------------------------------------------

// Counts take decimal prefixes ("95.7 kB/s"); the rest are shown as they come.
function valueText(def, x) {
  return def.si === undefined ? formatNumber(x) : formatSI(x, def.si);
}

function buildChartBox(def) {
  const box = document.createElement('figure');
  box.className = 'chart-box';
  box.id = `chart-${def.id}`;

  const caption = document.createElement('figcaption');
  const heading = document.createElement('h3');
  heading.id = `chart-${def.id}-heading`;
  // Chromium takes no name for a figure from its caption: the heading gives it one.
  box.setAttribute('aria-labelledby', heading.id);
  heading.textContent = def.title.includes('per second') ? def.title : `${def.title} (${def.unit})`;
  const legend = document.createElement('p');
  legend.className = 'legend';
  legend.setAttribute('aria-hidden', 'true');
  caption.append(heading, legend);

  const chart = document.createElement('div');
  chart.className = 'chart';
  chart.setAttribute('role', 'img');
  // Read as "Chart of attenuation, in dBmV", not "attenuation, attenuation", nor "in per second".
  const title = def.title.toLowerCase();
  const names = def.series.map(([, name]) => name.toLowerCase()).filter((n) => n !== title);
  const unit = title.includes('per second') ? [] : [`in ${def.unit}`];
  chart.setAttribute('aria-label',
    [`Chart of ${title}`, ...(names.length ? [names.join(' and ')] : []), ...unit].join(', '));

  const text = document.createElement('p');
  text.className = 'chart-text';
  text.id = `chart-${def.id}-text`;
  chart.setAttribute('aria-describedby', text.id);

  box.append(caption, chart, text);
  return { def, box, chart, legend, text, rows: [], graph: null };
}

function showLegendKey(entry) {
  entry.legend.replaceChildren(...entry.def.series.map(([, name], i) => {
    const item = document.createElement('span');
    item.className = `key series-${i + 1}`;
    item.textContent = name;
    return item;
  }));
}

function showLegendValues(entry, row) {
  const data = entry.rows[row];
  if (!data) return showLegendKey(entry);
  const time = document.createElement('span');
  time.className = 'legend-time';
  time.textContent = formatLocal(data[0].getTime());
  const items = entry.def.series.map(([, name], i) => {
    const item = document.createElement('span');
    item.className = `key series-${i + 1}`;
    const v = data[i + 1];
    const [low, mean, high] = (v || []).map((x) => valueText(entry.def, x));
    item.textContent = !v ? `${name} —` : low === high ? `${name} ${mean}` : `${name} ${mean} (${low}–${high})`;
    return item;
  });
  entry.legend.replaceChildren(time, ...items);
}

// Link-down spans shaded and events as thin lines, under the data.
function drawUnderlay(ctx, area, g) {
  ctx.save();
  ctx.fillStyle = state.theme.down;
  for (const [start, end] of state.spans) {
    const left = Math.max(area.x, g.toDomXCoord(start));
    const right = Math.min(area.x + area.w, g.toDomXCoord(end));
    if (right > left) ctx.fillRect(left, area.y, Math.max(1, right - left), area.h);
  }
  ctx.lineWidth = 1;
  for (const [colour, times] of state.markers) {
    ctx.strokeStyle = colour;
    ctx.beginPath();
    for (const t of times) {
      const x = Math.round(g.toDomXCoord(t)) + 0.5;
      if (x < area.x || x > area.x + area.w) continue;
      ctx.moveTo(x, area.y);
      ctx.lineTo(x, area.y + area.h);
    }
    ctx.stroke();
  }
  ctx.restore();
}

// Drag to zoom with the mouse. Touch keeps its usual meaning, scrolling the page: the library's
// touch handlers would take every swipe that starts on a chart, and the charts fill a phone.
// Shift- or Alt-drag would pan one chart alone, with no callback to follow it, so it does nothing.
function interactionModel() {
  const defaults = window.Dygraph.defaultInteractionModel;
  const model = { ...defaults };
  delete model.touchstart;
  delete model.touchmove;
  delete model.touchend;
  model.mousedown = (event, g, context) => {
    if (event.shiftKey || event.altKey) {
      context.destroy();
      return;
    }
    defaults.mousedown(event, g, context);
  };
  model.dblclick = () => { if (state.view && state.view.zoomed) goBack(); };
  return model;
}

function onZoom(minX, maxX) {
  if (!state.view || !(maxX > minX)) return;
  const view = { since: Math.round(minX), until: Math.round(maxX), zoomed: true };
  // Every chart shows the span at once; the finer rows follow.
  for (const entry of state.charts) {
    entry.graph.updateOptions({ dateWindow: [view.since, view.until] });
  }
  load(view);
}

function makeGraph(entry) {
  const { def } = entry;
  entry.graph = new window.Dygraph(entry.chart, placeholderRows(def), {
    labels: ['Time', ...def.series.map(([, name]) => name)],
    customBars: true,
    fillAlpha: 0.2,
    strokeWidth: 1.5,
    drawGapEdgePoints: true,
    includeZero: Boolean(def.includeZero),
    axes: {
      y: {
        axisLabelWidth: 52,
        axisLabelFormatter: (x) => (def.si === undefined ? formatNumber(x) : formatSI(x)),
      },
      x: { pixelsPerLabel: 60 },
    },
    highlightCallback: (event, x, points, row) => showLegendValues(entry, row),
    unhighlightCallback: () => showLegendKey(entry),
    underlayCallback: drawUnderlay,
    zoomCallback: onZoom,
    interactionModel: interactionModel(),
    ...themeOptions(def),
  });
  showLegendKey(entry);
}

function placeholderRows(def) {
  const view = state.view || { since: clock.now() - 3600e3, until: clock.now() };
  const nulls = def.series.map(() => null);
  return [[new Date(view.since), ...nulls], [new Date(view.until), ...nulls]];
}

function updateChart(entry, records, gapTimes) {
  const { def } = entry;
  const fields = def.series.map(([field]) => field);
  entry.rows = buildRows(records, fields, gapTimes, state.spans);
  entry.text.textContent = describeChart(def.title, def.si ? '' : def.unit,
    def.series.map(([field, name]) => ({ name, stats: fieldStats(records, field, def.weight) })),
    (x) => valueText(def, x));
  if (!entry.graph) return;
  // The library draws nothing of a single row: the range's ends, empty, go around it (its
  // lone point is then drawn as a gap's edge).
  const [first, last] = placeholderRows(def);
  const lone = entry.rows.length === 1
    ? [first, ...entry.rows, last].sort((a, b) => a[0] - b[0]) : null;
  entry.graph.updateOptions({
    file: lone || (entry.rows.length >= 2 ? entry.rows : [first, last]),
    dateWindow: [state.view.since, state.view.until],
  });
  showLegendKey(entry);
}

// --- the events table ---------------------------------------------------------------------------

function renderEvents() {
  const body = $('events-body');
  const sorted = [...state.events].sort((a, b) => b.t - a.t);
  const shown = sorted.slice(0, TABLE_LIMIT);
  const headerOffset = shown.length ? utcOffset(shown[0].t) : utcOffset(clock.now());
  $('events-time-heading').textContent = `Time (${headerOffset})`;
  body.replaceChildren(...shown.map((e) => {
    const tr = document.createElement('tr');
    if (KNOWN_KINDS.has(e.kind)) tr.className = `kind-${e.kind}`;
    const time = document.createElement('time');
    time.dateTime = isoTime(e.t);
    const offset = utcOffset(e.t);
    time.textContent = offset === headerOffset ? formatLocal(e.t) : `${formatLocal(e.t)} ${offset}`;
    const cells = [time, e.kind, e.text, e.program].map((content) => {
      const td = document.createElement('td');
      if (content instanceof Node) td.append(content);
      else td.textContent = content;
      return td;
    });
    tr.append(...cells);
    return tr;
  }));
  const count = $('events-count');
  if (sorted.length === 0) count.textContent = 'No events in this range.';
  else if (state.eventsCapped) {
    const cap = EVENTS_CAP.toLocaleString('en');
    count.textContent = `The newest ${Math.min(TABLE_LIMIT, sorted.length)} events shown; this ` +
      `range holds ${cap} or more, and a download holds at most ${cap} of them, the oldest first.`;
  } else if (sorted.length > TABLE_LIMIT) {
    count.textContent = `The newest ${TABLE_LIMIT} of ${sorted.length} events; the downloads hold them all.`;
  } else count.textContent = `${sorted.length} event${sorted.length === 1 ? '' : 's'}, newest first.`;
}

// The loaded rows, and those the stream brought while they were read: a load that began
// before an event was recorded does not hold it, and would otherwise drop it from the table.
function acceptEvents(loaded) {
  const rows = Array.isArray(loaded) ? [...loaded] : [];
  const key = (row) => JSON.stringify([row.time, row.kind, row.text, row.program]);
  const seen = new Set(rows.filter((row) => row && typeof row === 'object').map(key));
  for (const row of state.streamed) if (!seen.has(key(row))) rows.push(row);
  state.events = rows
    .map((row) => ({
      t: parseTime(row && row.time),
      kind: printable(row && row.kind, 40),
      text: printable(row && row.text),
      program: printable(row && row.program, 200),
    }))
    .filter((e) => Number.isFinite(e.t));
  state.spans = downSpans(rows, state.view.since, state.view.until);
  refreshMarkers();
}

function refreshMarkers() {
  const byColour = new Map();
  const rank = (e) => MARKERS_ON_TOP.indexOf(e.kind);
  for (const e of [...state.events].sort((a, b) => rank(a) - rank(b))) {
    if (!MARKED_KINDS.has(e.kind)) continue;
    const colour = state.theme.markers[e.kind] || state.theme.marker;
    if (!byColour.has(colour)) byColour.set(colour, []);
    byColour.get(colour).push(e.t);
  }
  state.markers = [...byColour];
}

// --- loading a view -----------------------------------------------------------------------------

function chartWidth() {
  const chart = document.querySelector('.chart');
  const width = chart ? chart.clientWidth : document.documentElement.clientWidth;
  return Math.max(60, Math.min(2000, Math.round(width)));
}

function rangeView(range) {
  const until = clock.now();
  return { since: until - range.ms, until, zoomed: false };
}

// As many rows as the server gives: a range that holds more comes as that many slices, each
// with its minimum, mean and maximum, which the note beside the links says.
const DOWNLOAD_POINTS = 20000;

function setDownloads(query) {
  for (const link of document.querySelectorAll('#downloads a[data-kind]')) {
    const rows = link.dataset.kind === 'samples' || link.dataset.kind === 'statistics';
    const points = rows ? `&points=${DOWNLOAD_POINTS}` : '';
    link.href = `api/v1/history/${link.dataset.kind}?${query}${points}&format=${link.dataset.format}`;
  }
}

function showRange(view) {
  const offsetSince = utcOffset(view.since);
  const offsetUntil = utcOffset(view.until);
  const from = formatLocal(view.since);
  const to = formatLocal(view.until);
  $('history-range').textContent = offsetSince === offsetUntil
    ? `${view.zoomed ? 'Zoomed: ' : ''}${from} to ${to} (${offsetUntil})`
    : `${view.zoomed ? 'Zoomed: ' : ''}${formatLocalWithOffset(view.since)} to ${formatLocalWithOffset(view.until)}`;
  const back = $('back');
  back.hidden = !view.zoomed;
  back.textContent = `Back to ${state.range.label}`;
}

function describeFailure(what, reason) {
  if (reason instanceof ApiError) return `${what}: ${reason.message}`;
  return `${what}: ${reason && reason.message ? printable(reason.message, 200) : 'failed'}`;
}

async function load(view) {
  if (state.loading) state.loading.abort();
  const controller = new AbortController();
  state.loading = controller;
  state.view = view;
  state.streamed = [];
  state.points = chartWidth();
  showRange(view);
  const query = rangeQuery(isoTime(view.since), isoTime(view.until));
  setDownloads(query);
  $('history').setAttribute('aria-busy', 'true');

  const get = (path, extra = '') => fetchJSON(`api/v1/history/${path}?${query}${extra}`,
    { signal: controller.signal, timeoutMs: LOAD_TIMEOUT_MS });
  const results = await Promise.allSettled([
    get('samples', `&points=${state.points}`),
    get('statistics', `&points=${state.points}`),
    get('events', '&newest=1'),
    get('summary'),
  ]);
  if (controller.signal.aborted) return; // a newer view took over
  state.loading = null;
  state.loadedAt = Date.now();
  $('history').removeAttribute('aria-busy');

  const [samples, statistics, events, summary] = results;
  const failures = [];
  const valueOf = (result, what, isValid) => {
    if (result.status === 'rejected') {
      failures.push(describeFailure(what, result.reason));
      return null;
    }
    if (!isValid(result.value)) {
      failures.push(`${what}: the answer is not what was expected`);
      return null;
    }
    return result.value;
  };
  const sampleRows = valueOf(samples, 'Samples', Array.isArray);
  const statisticRows = valueOf(statistics, 'Statistics', Array.isArray);
  const eventRows = valueOf(events, 'Events', Array.isArray);
  const summaryBody = valueOf(summary, 'Summary',
    (b) => b !== null && typeof b === 'object' && typeof b.text === 'string');

  showNoHistory([samples, statistics, events, summary].every((r) => r.status === 'rejected'
    && r.reason instanceof ApiError && r.reason.status === 404));
  state.eventsCapped = Array.isArray(eventRows) && eventRows.length >= EVENTS_CAP;
  acceptEvents(eventRows || []);
  const gapTimes = state.events.filter((e) => e.kind === 'gap').map((e) => e.t);
  for (const entry of state.charts) {
    const rows = entry.def.source === 'samples' ? sampleRows : statisticRows;
    updateChart(entry, rows || [], gapTimes);
  }
  renderEvents();
  $('summary').textContent = summaryBody ? printable(summaryBody.text) : '';

  const error = $('history-error');
  if (state.noHistory) {
    error.hidden = false;
    error.textContent = 'This service keeps no history: only the present is shown.';
    return;
  }
  error.hidden = failures.length === 0;
  error.textContent = failures.length
    ? `Part of the history could not be read. ${failures.join('. ')}.` : '';
}

// A service that keeps no history answers 404 to every part of it, and streams no events: one
// message says so, and the parts that would stay empty are hidden.
function showNoHistory(none) {
  state.noHistory = none;
  for (const id of ['charts', 'downloads', 'charts-hint', 'history-range']) $(id).hidden = none;
  $('ranges').parentElement.hidden = none;
  $('events').parentElement.hidden = none;
  $('charts-missing').hidden = none || state.chartsAvailable;
}

function choose(range) {
  state.range = range;
  for (const button of document.querySelectorAll('#ranges button')) {
    button.setAttribute('aria-pressed', String(button.dataset.since === range.since));
  }
  load(rangeView(range));
}

function goBack() {
  // Back hides itself: the keyboard's focus goes on to the range shown, not to the page's start.
  const focused = document.activeElement === $('back');
  choose(state.range);
  if (focused) document.querySelector(`#ranges button[data-since="${state.range.since}"]`).focus();
}

// --- what the page calls -----------------------------------------------------------------------

export function startHistory() {
  readTheme();
  const ranges = $('ranges');
  for (const range of RANGES) {
    const button = document.createElement('button');
    button.type = 'button';
    button.dataset.since = range.since;
    button.textContent = range.label;
    button.setAttribute('aria-pressed', 'false');
    button.addEventListener('click', () => choose(range));
    ranges.append(button);
  }
  $('back').addEventListener('click', goBack);

  const container = $('charts');
  state.charts = CHARTS.map(buildChartBox);
  container.replaceChildren(...state.charts.map((entry) => entry.box));
  if (state.chartsAvailable) {
    // The library's own legend writes style attributes, which the page's policy refuses; the
    // legend above each chart takes its place.
    window.Dygraph.PLUGINS = window.Dygraph.PLUGINS.filter((p) => p !== window.Dygraph.Plugins.Legend);
    state.view = rangeView(state.range);
    state.charts.forEach(makeGraph);
  } else {
    $('charts-missing').hidden = false;
    for (const entry of state.charts) entry.chart.hidden = true;
  }

  window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
    readTheme();
    refreshMarkers();
    for (const entry of state.charts) entry.graph?.updateOptions(themeOptions(entry.def));
  });
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'visible') historyOnReport();
  });
  choose(state.range);
}

// A modem report came: a range that follows the present is read again once the present has
// moved by about a pixel column, and never more often than every ten seconds.
export function historyOnReport() {
  const view = state.view;
  if (!view || view.zoomed || state.loading || state.noHistory
    || document.visibilityState !== 'visible') return;
  const due = Math.max(MIN_REFRESH_MS, state.range.ms / Math.max(1, state.points));
  if (Date.now() - state.loadedAt >= due) load(rangeView(state.range));
}

// An event was recorded: it joins the table at once; the charts take it at their next reading.
export function historyOnEvent(row) {
  const view = state.view;
  if (!view || view.zoomed) return;
  const t = parseTime(row && row.time);
  if (!Number.isFinite(t)) return;
  if (state.loading) state.streamed.push(row);
  const e = {
    t, kind: printable(row.kind, 40), text: printable(row.text), program: printable(row.program, 200),
  };
  // A stream taken up again may send what the last reading already holds.
  if (state.events.some((o) => o.t === t && o.kind === e.kind && o.text === e.text
    && o.program === e.program)) return;
  state.events.push(e);
  renderEvents();
  // A drop or its end changes the summary and the shading, which no report comes to redraw
  // while the modem is silent.
  if ((e.kind === 'link-down' || e.kind === 'link-up') && !state.loading) {
    load(rangeView(state.range));
    state.streamed.push(row); // kept should the reading not hold it yet
  }
}

// After the stream was lost, what it missed is read again.
export function historyResync() {
  if (state.view && !state.view.zoomed && !state.loading) load(rangeView(state.range));
}
