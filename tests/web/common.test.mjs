// The dashboard's helpers, without a browser: node --test tests/web/
// A zone with a half-hour offset and no summer time, so that offsets and local times are
// checked against a value that is not UTC's.
process.env.TZ = 'Asia/Kolkata';

import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  ApiError, fetchJSON, printable, formatLocal, utcOffset, formatDuration, formatNumber, formatExact, formatSI,
  band, holes, buildRows, downSpans, fieldStats, describeChart, rangeQuery,
} from '../../web/common.js';

const T0 = Date.parse('2026-12-09T20:00:00.000Z');
const MIN = 60e3;
const at = (ms) => new Date(ms).toISOString();
const row = (ms, mean) => ({ time: at(ms), v: { min: mean - 1, mean, max: mean + 1 } });
const isNullRow = (r) => r.slice(1).every((v) => v === null);

test('times are local, ISO-like, with the offset in force', () => {
  assert.equal(formatLocal(Date.parse('2026-12-09T20:01:05.900Z')), '2026-12-10 01:31:05');
  assert.equal(utcOffset(T0), 'UTC+05:30');
  assert.equal(formatLocal(NaN), '—');
});

test('durations are told in two units at most', () => {
  assert.equal(formatDuration(0), '0 s');
  assert.equal(formatDuration(190), '3 min 10 s');
  assert.equal(formatDuration(7500), '2 h 5 min');
  assert.equal(formatDuration(3 * 86400 + 7200 + 59), '3 d 2 h');
  assert.equal(formatDuration(-5), '0 s');
});

test('numbers keep their integer digits and lose only trailing decimal zeros', () => {
  assert.equal(formatNumber(100), '100');
  assert.equal(formatNumber(120), '120');
  assert.equal(formatNumber(27), '27');
  assert.equal(formatNumber(2.56), '2.56');
  assert.equal(formatNumber(-10.0), '-10');
  assert.equal(formatNumber(-0.0001), '0');
  assert.equal(formatNumber(null), '—');
  assert.equal(formatNumber('12'), '—');
  assert.equal(formatSI(95678, 'B/s'), '95.7 kB/s');
  assert.equal(formatSI(1500000), '1.5 M');
  assert.equal(formatSI(100000), '100 k');
  assert.equal(formatSI(12, 'B/s'), '12 B/s');
  assert.equal(formatExact(555.25), '555.25');
  assert.equal(formatExact(-12), '-12');
  assert.equal(formatExact(2.5600001), '2.56');
});

test('a band is [min, mean, max], tolerant of what is missing and never inverted', () => {
  assert.deepEqual(band({ min: 1, mean: 2, max: 3 }), [1, 2, 3]);
  assert.deepEqual(band({ mean: 2 }), [2, 2, 2]);
  assert.deepEqual(band({ min: 5, mean: 2, max: 1 }), [2, 2, 2]);
  assert.equal(band({ min: 1, max: 3 }), null);
  assert.equal(band({ min: 1, mean: 'x', max: 3 }), null);
  assert.equal(band(null), null);
});

test('holes: three usual steps apart, judged against the rows around them', () => {
  const regular = [0, 1, 2, 3, 4, 5, 6].map((i) => T0 + i * MIN);
  assert.deepEqual(holes(regular), regular.slice(1).map(() => false));
  const withHole = [0, 1, 2, 3, 10, 11, 12, 13].map((i) => T0 + i * MIN);
  assert.deepEqual(holes(withHole), [false, false, false, true, false, false, false]);
  // Hourly rows, then minute rows, as the store thins old data: no hole at all.
  const thinned = [0, 60, 120, 180, 240, 241, 242, 243, 244].map((i) => T0 + i * MIN);
  assert.ok(holes(thinned).every((h) => !h));
  // A lone row between two holes leaves both holes seen.
  const lone = [0, 1, 2, 3, 20, 40, 41, 42, 43].map((i) => T0 + i * MIN);
  assert.deepEqual(holes(lone), [false, false, false, true, true, false, false, false]);
  assert.deepEqual(holes([T0, T0 + MIN]), [false]);
});

test('holes: samples in pairs are no holes; a 20 s silence among them is one', () => {
  // Two programs polling: reports 0.22 s apart, every 3 s.
  const paired = (from, count) => Array.from({ length: count }, (_, k) => [from + k * 3000,
    from + k * 3000 + 220]).flat();
  assert.ok(holes(paired(T0, 20)).every((h) => !h));
  const silent = [...paired(T0, 10), ...paired(T0 + 48000, 10)];
  const found = holes(silent);
  assert.deepEqual(found.flatMap((h, i) => (h ? [silent[i + 1] - silent[i]] : [])), [20780]);
  // Full-resolution rows a few seconds late are no hole, even among steady ones.
  const late = [0, 3, 6, 9, 12, 21.5, 24.5, 27.5, 30.5].map((s) => T0 + s * 1000);
  assert.ok(holes(late).every((h) => !h));
});

test('chart rows: sorted, unreadable times dropped, a null row at each hole and gap event', () => {
  const records = [row(T0 + 2 * MIN, 2), row(T0, 0), { time: 'garbage', v: { mean: 9 } },
    row(T0 + MIN, 1), row(T0 + 3 * MIN, 3), row(T0 + 20 * MIN, 4), row(T0 + 21 * MIN, 5),
    row(T0 + 22 * MIN, 6), null];
  const rows = buildRows(records, ['v']);
  assert.deepEqual(rows.map((r) => (isNullRow(r) ? null : r[1][1])), [0, 1, 2, 3, null, 4, 5, 6]);
  assert.equal(rows[4][0].getTime(), T0 + 11.5 * MIN);

  // A gap event breaks the line where it lies, even between rows a usual step apart.
  const gapped = buildRows(records, ['v'], [T0 + 1.5 * MIN, T0 + 30 * MIN]);
  assert.deepEqual(gapped.map((r) => (isNullRow(r) ? r[0].getTime() : null)).filter(Boolean),
    [T0 + 1.5 * MIN, T0 + 11.5 * MIN]);

  // A row missing one field keeps the others.
  const partial = buildRows([{ time: at(T0), a: { mean: 1 } }, { time: at(T0 + MIN), b: { mean: 2 } }], ['a', 'b']);
  assert.deepEqual(partial.map((r) => r.slice(1)), [[[1, 1, 1], null], [null, [2, 2, 2]]]);
  assert.deepEqual(buildRows('not an array', ['v']), []);

  // A link-down span breaks the line at its start, though the rows around it are a usual step
  // apart; a span that began before the first row breaks nothing.
  const steady = [0, 1, 2, 3, 4, 5].map((i) => row(T0 + i * MIN, i));
  const down = buildRows(steady, ['v'], [], [[T0 + 2.5 * MIN, T0 + 2.8 * MIN], [T0 - MIN, T0]]);
  assert.deepEqual(down.map((r) => (isNullRow(r) ? r[0].getTime() : null)).filter(Boolean),
    [T0 + 2.5 * MIN]);
  assert.equal(down.length, 7);
});

test('down spans: each link-down to the next link-up, clipped to the range', () => {
  const start = T0;
  const end = T0 + 60 * MIN;
  const ev = (minutes, kind) => ({ time: at(T0 + minutes * MIN), kind });
  assert.deepEqual(downSpans([ev(10, 'link-down'), ev(12, 'error'), ev(15, 'link-up'),
    ev(40, 'link-down'), ev(45, 'link-up')], start, end),
  [[T0 + 10 * MIN, T0 + 15 * MIN], [T0 + 40 * MIN, T0 + 45 * MIN]]);
  // A link-up first: down since the range began. A link-down last: down to its end.
  assert.deepEqual(downSpans([ev(5, 'link-up'), ev(50, 'link-down')], start, end),
    [[start, T0 + 5 * MIN], [T0 + 50 * MIN, end]]);
  // Out of order, and a repeated link-down does not restart the span.
  assert.deepEqual(downSpans([ev(30, 'link-up'), ev(20, 'link-down'), ev(25, 'link-down')],
    start, end), [[T0 + 20 * MIN, T0 + 30 * MIN]]);
  // Only the first link event may open a span at the range's start.
  assert.deepEqual(downSpans([ev(5, 'link-up'), ev(8, 'link-up')], start, end),
    [[start, T0 + 5 * MIN]]);
  assert.deepEqual(downSpans([], start, end), []);
  assert.deepEqual(downSpans([ev(-10, 'link-down'), ev(-5, 'link-up')], start, end), []);
});

test('chart text: range and weighted mean of each series, or plainly no data', () => {
  const records = [
    { time: at(T0), samples: 3, a: { min: -12, mean: -11, max: -10 } },
    { time: at(T0 + MIN), samples: 1, a: { min: -8, mean: -7, max: -6 } },
  ];
  const stats = fieldStats(records, 'a', 'samples');
  assert.deepEqual(stats, { min: -12, mean: -10, max: -6 });
  assert.equal(describeChart('Attenuation', 'dBmV', [{ name: 'Attenuation', stats }]),
    'Attenuation from -12 to -6 dBmV, mean -10.');
  assert.equal(describeChart('Bit rates', 'Mbit/s', [
    { name: 'Receive', stats: { min: 13.5, mean: 20, max: 27 } },
    { name: 'Transmit', stats: { min: 2.56, mean: 2.56, max: 2.56 } }]),
  'Bit rates: receive from 13.5 to 27 Mbit/s, mean 20; transmit 2.56 Mbit/s.');
  assert.equal(describeChart('Bytes per second', '', [
    { name: 'Upstream', stats: { min: 900, mean: 1500, max: 2000 } },
    { name: 'Downstream', stats: null }], (x) => formatSI(x, 'B/s')),
  'Bytes per second: upstream from 900 B/s to 2 kB/s, mean 1.5 kB/s; downstream: no data.');
  assert.equal(describeChart('Attenuation', 'dBmV', [{ name: 'Attenuation', stats: null }]),
    'Attenuation: no data in this range.');
  assert.equal(fieldStats([{ time: at(T0) }], 'a', 'samples'), null);
});

test('untrusted texts: control characters made visible, markup left as text, length bounded', () => {
  assert.equal(printable('a\u0000b\u001b[31mc\u0085d\te'), 'a\ufffdb\ufffd[31mc\ufffdd\te');
  assert.equal(printable('<b>café</b>'), '<b>café</b>');
  assert.equal(printable('x'.repeat(20), 5), 'xxxxx…');
  assert.equal(printable(null), '');
});

test('range queries are encoded', () => {
  assert.equal(rangeQuery('2026-12-09T20:00:00.000Z', 'now', { points: 640 }),
    'since=2026-12-09T20%3A00%3A00.000Z&until=now&points=640');
});

test('API answers: JSON, the service\'s own reason on errors, a plain message otherwise', async (t) => {
  const answer = (status, body, statusText = '') => async () => new Response(body,
    { status, statusText });
  t.mock.method(globalThis, 'fetch', answer(200, '[1,2]'));
  assert.deepEqual(await fetchJSON('api/v1/x'), [1, 2]);

  globalThis.fetch.mock.mockImplementation(answer(400, '{"error": "not a time: 3x"}', 'Bad Request'));
  await assert.rejects(fetchJSON('api/v1/x'), new ApiError('400 not a time: 3x', 400));

  globalThis.fetch.mock.mockImplementation(answer(502, '<html>proxy</html>', 'Bad Gateway'));
  await assert.rejects(fetchJSON('api/v1/x'), new ApiError('502 Bad Gateway', 502));

  globalThis.fetch.mock.mockImplementation(answer(200, '<html>login page</html>'));
  await assert.rejects(fetchJSON('api/v1/x'), new ApiError('the answer is not JSON', 200));

  globalThis.fetch.mock.mockImplementation(async () => { throw new TypeError('Failed to fetch'); });
  await assert.rejects(fetchJSON('api/v1/x'), new ApiError('the service does not answer'));

  // A service that never answers: the request is given up with a message; the caller's own
  // abort is passed on as such, for the caller to drop quietly.
  globalThis.fetch.mock.mockImplementation((url, { signal }) => new Promise((_, reject) => {
    signal.addEventListener('abort', () => reject(new DOMException('aborted', 'AbortError')));
  }));
  await assert.rejects(fetchJSON('api/v1/x', { timeoutMs: 20 }),
    new ApiError('no answer within 0 s'));
  const caller = new AbortController();
  const pending = fetchJSON('api/v1/x', { signal: caller.signal, timeoutMs: 10e3 });
  caller.abort();
  await assert.rejects(pending, { name: 'AbortError' });
});
