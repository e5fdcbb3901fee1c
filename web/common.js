// Helpers of the dashboard: reading the API, times, numbers and chart rows. No DOM here, so that
// Node's test runner can load this file as it is.

// What the reader sees when the service fails: the status and the service's own reason.
// `status` is the HTTP status, or 0 when no answer came.
export class ApiError extends Error {
  constructor(message, status = 0) {
    super(message);
    this.status = status;
  }
}

// The JSON answer of a relative API URL. Errors, a service that does not answer in time among
// them, become ApiErrors with a short readable message; the caller's own abort is passed on as
// it is.
export async function fetchJSON(url, { signal, timeoutMs = 30e3 } = {}) {
  const controller = new AbortController();
  const follow = () => controller.abort();
  if (signal) {
    if (signal.aborted) controller.abort();
    signal.addEventListener('abort', follow);
  }
  const timer = setTimeout(follow, timeoutMs);
  let response;
  let text;
  try {
    response = await fetch(url, { headers: { Accept: 'application/json' }, signal: controller.signal });
    text = await response.text();
  } catch (error) {
    if (signal && signal.aborted) throw error;
    if (controller.signal.aborted) throw new ApiError(`no answer within ${Math.round(timeoutMs / 1e3)} s`);
    throw new ApiError('the service does not answer');
  } finally {
    clearTimeout(timer);
    if (signal) signal.removeEventListener('abort', follow);
  }
  let body;
  try {
    body = JSON.parse(text);
  } catch {
    body = undefined;
  }
  if (!response.ok) {
    const reason = body && typeof body.error === 'string' ? body.error : response.statusText;
    throw new ApiError(printable(`${response.status} ${reason || ''}`.trim(), 300), response.status);
  }
  if (body === undefined) throw new ApiError('the answer is not JSON', response.status);
  return body;
}

// A text from the modem or another program, made fit to show: control characters (which a page
// would silently drop) become U+FFFD so that the reader sees something odd came, and a runaway
// text is cut. It is still inserted with textContent only.
export function printable(text, limit = 1000) {
  if (text === null || text === undefined) return '';
  const clean = String(text).replace(/[\u0000-\u0008\u000b-\u001f\u007f-\u009f]/g, '\ufffd');
  return clean.length > limit ? `${clean.slice(0, limit)}…` : clean;
}

// The service's clock less the browser's: ranges end at the service's present, not at a
// browser's clock that may be minutes off.
export const clock = {
  skew: 0,
  now() {
    return Date.now() + this.skew;
  },
  observe(serverTime) {
    const t = parseTime(serverTime);
    if (Number.isFinite(t)) this.skew = t - Date.now();
  },
};

// The history's ranges, as the buttons offer them and as the API takes them.
export const RANGES = [
  { since: '10m', label: '10 minutes', ms: 10 * 60e3 },
  { since: '1h', label: '1 hour', ms: 3600e3 },
  { since: '1d', label: '1 day', ms: 86400e3 },
  { since: '7d', label: '1 week', ms: 7 * 86400e3 },
  { since: '30d', label: '30 days', ms: 30 * 86400e3 },
  { since: '1y', label: '1 year', ms: 365 * 86400e3 },
  { since: '5y', label: '5 years', ms: 5 * 365 * 86400e3 },
];

const pad = (n, width = 2) => String(n).padStart(width, '0');

// Milliseconds since the epoch of an API time, or NaN for anything that is not a time.
export function parseTime(text) {
  if (typeof text !== 'string') return NaN;
  return Date.parse(text);
}

// The API's own form of a time: UTC with milliseconds and Z.
export function isoTime(ms) {
  return new Date(ms).toISOString();
}

// "2026-12-09 13:01:05" in the browser's local time.
export function formatLocal(ms) {
  if (!Number.isFinite(ms)) return '—';
  const d = new Date(ms);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

// "UTC+05:30" for the local offset in force at that moment (it changes with summer time).
export function utcOffset(ms) {
  const minutes = -new Date(ms).getTimezoneOffset();
  const sign = minutes < 0 ? '−' : '+';
  const abs = Math.abs(minutes);
  return `UTC${sign}${pad(Math.floor(abs / 60))}:${pad(abs % 60)}`;
}

export function formatLocalWithOffset(ms) {
  if (!Number.isFinite(ms)) return '—';
  return `${formatLocal(ms)} ${utcOffset(ms)}`;
}

// "3 min 10 s", "2 h 5 min", "4 d 3 h": two units at most, as a person says it.
export function formatDuration(seconds) {
  if (!Number.isFinite(seconds)) return '—';
  let s = Math.max(0, Math.round(seconds));
  const units = [['d', 86400], ['h', 3600], ['min', 60], ['s', 1]];
  const parts = [];
  for (const [name, size] of units) {
    if (s >= size || (name === 's' && parts.length === 0)) {
      parts.push(`${Math.floor(s / size)} ${name}`);
      s %= size;
    }
    if (parts.length === 2) break;
  }
  return parts.join(' ');
}

const isNumber = (x) => typeof x === 'number' && Number.isFinite(x);

// Enough digits to tell values apart, no trailing zeros: 27, 2.56, 0.031, 1235.
export function formatNumber(x) {
  if (!isNumber(x)) return '—';
  const abs = Math.abs(x);
  const digits = abs >= 100 ? 0 : abs >= 10 ? 1 : abs >= 1 ? 2 : 3;
  let text = x.toFixed(digits);
  if (text.includes('.')) text = text.replace(/\.?0+$/, '');
  return text === '-0' ? '0' : text;
}

// A reading as the modem gave it, to a thousandth: 555.25, 27, 2.56, -12.
export function formatExact(x) {
  if (!isNumber(x)) return '—';
  const text = x.toFixed(3).replace(/\.?0+$/, '');
  return text === '-0' ? '0' : text;
}

// Decimal prefixes, as the modem's counters are plain counts: "1.23 k", "5.6 M".
export function formatSI(x, unit = '') {
  if (!isNumber(x)) return '—';
  const abs = Math.abs(x);
  const steps = [[1e9, 'G'], [1e6, 'M'], [1e3, 'k']];
  for (const [size, prefix] of steps) {
    if (abs >= size) return `${formatNumber(x / size)} ${prefix}${unit}`.trim();
  }
  return `${formatNumber(x)} ${unit}`.trim();
}

// [min, mean, max] of a {"min","mean","max"} object, or null when the mean is missing. A
// missing min or max takes the mean, so that the band shrinks rather than the point vanishing.
export function band(value) {
  if (value === null || typeof value !== 'object' || !isNumber(value.mean)) return null;
  const low = isNumber(value.min) ? value.min : value.mean;
  const high = isNumber(value.max) ? value.max : value.mean;
  return [Math.min(low, value.mean), value.mean, Math.max(high, value.mean)];
}

// The step that most of the time is spent in: the upper quartile, not the median, so that
// samples in pairs (two programs polling: 0.2 s, then 2.8 s) count as 2.8 s steps. Its index
// leans low in a short window, so that one other hole among the neighbours is not taken as usual.
const typicalStep = (values) => {
  if (values.length === 0) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor((sorted.length - 1) * 0.75)];
};

// How many steps on each side judge whether a step is a hole.
const NEIGHBOURS = 5;

// No step this short is a hole, whatever the steps around it: the modem reports every few
// seconds, and a report late by a few is no outage.
const MIN_HOLE_MS = 10e3;

// For each step between consecutive times, whether it is a hole: longer than ten seconds and than
// three times the usual step around it. The usual step is the larger of the typical steps just
// before and just after, so that where the store's resolution changes (minutes, then hours) the
// coarser side is not taken for a string of holes, while a hole between regular rows on both
// sides still is.
export function holes(times) {
  const steps = [];
  for (let i = 1; i < times.length; i++) steps.push(times[i] - times[i - 1]);
  return steps.map((step, i) => {
    const before = typicalStep(steps.slice(Math.max(0, i - NEIGHBOURS), i));
    const after = typicalStep(steps.slice(i + 1, i + 1 + NEIGHBOURS));
    const usual = Math.max(Number.isFinite(before) ? before : -Infinity,
      Number.isFinite(after) ? after : -Infinity);
    return Number.isFinite(usual) && usual > 0 && step > Math.max(MIN_HOLE_MS, 3 * usual);
  });
}

// Chart rows [Date, [min, mean, max] | null, ...] from API rows, one column per field. Rows
// without a readable time are dropped; a row of nulls goes where the record has a hole (see
// holes(), a gap event or the start of a link-down span between two rows), so the line breaks
// there instead of bridging a time nobody measured or the modem was away.
export function buildRows(records, fields, gapTimes = [], spans = []) {
  const rows = [];
  for (const record of Array.isArray(records) ? records : []) {
    const t = parseTime(record && record.time);
    if (!Number.isFinite(t)) continue;
    rows.push([t, ...fields.map((f) => band(record[f]))]);
  }
  rows.sort((a, b) => a[0] - b[0]);
  const isHole = holes(rows.map((r) => r[0]));
  const gaps = [...gapTimes, ...spans.map((span) => span[0])]
    .filter(Number.isFinite).sort((a, b) => a - b);
  const out = [];
  let g = 0;
  for (let i = 0; i < rows.length; i++) {
    if (i > 0) {
      const before = rows[i - 1][0];
      const after = rows[i][0];
      while (g < gaps.length && gaps[g] <= before) g++;
      const gapBetween = g < gaps.length && gaps[g] < after;
      if (gapBetween || isHole[i - 1]) {
        const at = gapBetween ? gaps[g] : (before + after) / 2;
        out.push([new Date(at), ...fields.map(() => null)]);
      }
    }
    out.push([new Date(rows[i][0]), ...rows[i].slice(1)]);
  }
  return out;
}

// Spans [start, end] in which the link was down: from each link-down to the next link-up. A
// link-up before any link-down means down since the range began; a link-down without its
// link-up means down to the range's end.
export function downSpans(events, start, end) {
  const links = (Array.isArray(events) ? events : [])
    .map((e) => ({ t: parseTime(e && e.time), kind: e && e.kind }))
    .filter((e) => Number.isFinite(e.t) && (e.kind === 'link-down' || e.kind === 'link-up'))
    .sort((a, b) => a.t - b.t);
  const spans = [];
  let downSince = null;
  let seenLink = false;
  for (const e of links) {
    if (e.kind === 'link-down') {
      if (downSince === null) downSince = e.t;
    } else if (downSince !== null) {
      spans.push([downSince, e.t]);
      downSince = null;
    } else if (!seenLink) {
      spans.push([start, e.t]);
    }
    seenLink = true;
  }
  if (downSince !== null) spans.push([downSince, end]);
  return spans
    .map(([s, e]) => [Math.max(s, start), Math.min(e, end)])
    .filter(([s, e]) => e > s);
}

// The least minimum, the mean and the greatest maximum of one field over API rows. The mean is
// weighted by each row's count (samples or seconds), as a row may stand for a part of its bucket.
export function fieldStats(records, field, weightField) {
  let min = Infinity;
  let max = -Infinity;
  let sum = 0;
  let weight = 0;
  for (const record of Array.isArray(records) ? records : []) {
    const v = band(record && record[field]);
    if (!v) continue;
    const w = isNumber(record[weightField]) && record[weightField] > 0 ? record[weightField] : 1;
    min = Math.min(min, v[0]);
    max = Math.max(max, v[2]);
    sum += v[1] * w;
    weight += w;
  }
  return weight > 0 ? { min, mean: sum / weight, max } : null;
}

// A chart's text equivalent, one clause a series: "Attenuation from -12 to -8 dBmV, mean -10."
// or "Bit rates: receive from 26 to 27 Mbit/s, mean 26.9; transmit 2.56 Mbit/s." A unit of ''
// leaves the unit to format (which may put a prefix before it: "1.2 kB/s").
export function describeChart(title, unit, series, format = formatNumber) {
  if (series.every((s) => !s.stats)) return `${title}: no data in this range.`;
  const single = series.length === 1 && series[0].name === title;
  const suffix = unit ? ` ${unit}` : '';
  const clauses = series.map(({ name, stats }) => {
    const label = single ? name : name.toLowerCase();
    if (!stats) return `${label}: no data`;
    if (format(stats.min) === format(stats.max)) return `${label} ${format(stats.min)}${suffix}`;
    return `${label} from ${format(stats.min)} to ${format(stats.max)}${suffix}, ` +
      `mean ${format(stats.mean)}`;
  });
  return single ? `${clauses[0]}.` : `${title}: ${clauses.join('; ')}.`;
}

// The query string of a range, for links and requests alike.
export function rangeQuery(since, until, extra = {}) {
  const params = new URLSearchParams({ since, until, ...extra });
  return params.toString();
}
