// The present: the modem's last report, read once at load and then from the event stream.
import {
  ApiError, fetchJSON, clock, printable, parseTime, formatLocalWithOffset, formatDuration,
  formatExact, formatSI,
} from './common.js';
import { startHistory, historyOnReport, historyOnEvent, historyResync } from './history.js';

// A report older than this, with the modem said to answer, is shown as stale: the stream sends
// a status only when the modem reports, so silence alone must be noticed here.
const STALE_AFTER_MS = 10e3;

const $ = (id) => document.getElementById(id);

const present = {
  answers: null, // last known: true, false or null before the first report
  since: NaN,
  reportAt: NaN, // the modem's last report, in the service's time
  retryMs: 0,
};

function set(id, text) {
  $(id).textContent = text;
}

const withUnit = (x, unit) => (typeof x === 'number' && Number.isFinite(x) ? `${formatExact(x)} ${unit}` : '—');
const perSecond = (x, unit = '') => (typeof x === 'number' && Number.isFinite(x) ? `${formatSI(x, unit)}/s` : '—');

const ROLES = {
  owner: 'owned by this service',
  attached: 'attached to another program',
  lost: 'lost',
  closed: 'closed',
};

function renderModem() {
  const state = $('modem-state');
  if (present.answers === null) {
    state.textContent = 'Waiting for the modem’s first report.';
    state.dataset.state = 'unknown';
    return;
  }
  const age = clock.now() - present.reportAt;
  const stale = present.answers && age > STALE_AFTER_MS;
  state.dataset.state = !present.answers ? 'down' : stale ? 'stale' : 'up';
  if (!present.answers) {
    state.textContent = Number.isFinite(present.since)
      ? `The modem does not answer, since ${formatLocalWithOffset(present.since)}.`
      : 'The modem does not answer.';
  } else {
    const since = Number.isFinite(present.since)
      ? ` since ${formatLocalWithOffset(present.since)} (${formatDuration((clock.now() - present.since) / 1e3)})`
      : '';
    state.textContent = stale
      ? `The modem answered${since}, but nothing came for ${formatDuration(age / 1e3)}.`
      : `The modem answers${since}.`;
  }
  set('last-report', Number.isFinite(present.reportAt)
    ? `${formatDuration(age / 1e3)} ago` : '—');
}

function announce(text) {
  // A polite live region reads a changed text; the same text twice would be read once.
  $('announce').textContent = text;
}

function noteAnswers(answers, since) {
  const before = present.answers;
  present.answers = answers;
  present.since = since;
  if (before !== null && before !== answers) {
    announce(answers ? 'The modem answers again.' : 'The modem stopped answering.');
  }
}

function renderStatus(status) {
  if (status === null || typeof status !== 'object') return;
  clock.observe(status.time);
  // The status may be read long after the modem's last report (a silent modem sends none).
  present.reportAt = parseTime(status.last_report);
  const modem = status.modem || {};
  noteAnswers(Boolean(modem.answers), parseTime(modem.since));

  set('interface', status.interface ? printable(status.interface, 64) : 'the default route’s');
  const rx = status.receive || {};
  const tx = status.transmit || {};
  set('rx-frequency', withUnit(rx.frequency_mhz, 'MHz'));
  set('rx-bit-rate', rx.bit_rate_mbps === null ? 'none' : withUnit(rx.bit_rate_mbps, 'Mbit/s'));
  // Which entry of the modem's table this is: shown only where the service tells it (it needs
  // the table), never guessed as "none".
  const told = 'channel' in rx || 'label' in rx;
  $('rx-channel').parentElement.hidden = !told;
  const channel = [rx.channel ?? null, rx.label ? `“${printable(rx.label, 200)}”` : null]
    .filter((x) => x !== null).join(' ');
  set('rx-channel', told ? channel || 'none of the table' : '—');
  set('tx-frequency', withUnit(tx.frequency_mhz, 'MHz'));
  set('tx-bit-rate', tx.bit_rate_mbps === null ? 'none' : withUnit(tx.bit_rate_mbps, 'Mbit/s'));
  set('attenuation', withUnit(status.attenuation_dbmv, 'dBmV'));
  set('tx-level', formatExact(status.tx_level));

  // Rates of a modem that does not answer would be its last ones shown as if they held.
  const traffic = modem.answers ? status.traffic || {} : {};
  set('up-bytes', perSecond(traffic.upstream_bytes_per_second, 'B'));
  set('down-bytes', perSecond(traffic.downstream_bytes_per_second, 'B'));
  set('up-packets', perSecond(traffic.upstream_packets_per_second));
  set('down-packets', perSecond(traffic.downstream_packets_per_second));
  const rates = modem.answers ? status.rates || {} : {};
  set('receive-packets', perSecond(rates.receive_packets));
  set('grants', perSecond(rates.grants));
  set('transmit-fragments', perSecond(rates.transmit_fragments));
  set('retransmits', perSecond(rates.retransmits));

  set('microcode', status.microcode_version ? printable(status.microcode_version, 200) : '—');
  set('boot', status.boot_version ? printable(status.boot_version, 200) : '—');

  const link = status.link || {};
  set('link-role', ROLES[link.role] || printable(link.role, 40) || '—');
  set('link-owner', link.owner ? printable(link.owner, 200) : '—');
  // The programs attached to this service's link, as a count.
  const attached = Number.isInteger(link.attached) ? link.attached : 0;
  set('link-attached', attached === 0 ? 'none'
    : attached === 1 ? '1 program' : `${attached} programs`);
  set('report-time', formatLocalWithOffset(present.reportAt));
  renderModem();
}

function showPresentError(text) {
  const error = $('present-error');
  error.hidden = !text;
  error.textContent = text || '';
}

async function loadStatus() {
  try {
    const status = await fetchJSON('api/v1/status', { timeoutMs: 15e3 });
    showPresentError('');
    renderStatus(status);
  } catch (error) {
    const reason = error instanceof ApiError ? error.message : 'failed';
    showPresentError(`The modem’s status could not be read: ${reason}.`);
  }
}

// The stream's state, shown plainly: live, reconnecting (the browser tries again by itself), or
// closed (the service refused the stream, so the page tries again with a growing pause).
function setConnection(kind, text) {
  const badge = $('connection');
  if (badge.dataset.state === kind && badge.textContent === text) return;
  badge.dataset.state = kind;
  badge.textContent = text;
}

function parseData(event) {
  try {
    return JSON.parse(event.data);
  } catch {
    return null;
  }
}

// A tab in the background holds no stream: a browser opens at most six connections to one
// server, and a seventh dashboard would wait for one of them for ever.
let liveSource = null;

function connectStream() {
  if (document.visibilityState === 'hidden') return;
  const source = new EventSource('api/v1/stream');
  liveSource = source;
  let opened = false;
  setConnection('connecting', 'Connecting to the live stream…');
  source.addEventListener('open', () => {
    setConnection('live', 'Live');
    present.retryMs = 0;
    if (opened) {
      // Reports and events went by while the stream was away.
      loadStatus();
      historyResync();
    }
    opened = true;
  });
  source.addEventListener('status', (event) => {
    const status = parseData(event);
    if (!status) return;
    showPresentError('');
    renderStatus(status);
    historyOnReport();
  });
  source.addEventListener('event', (event) => {
    const row = parseData(event);
    if (!row || typeof row !== 'object') return;
    if (row.kind === 'link-down') noteAnswers(false, parseTime(row.time));
    if (row.kind === 'link-up') noteAnswers(true, parseTime(row.time));
    renderModem();
    historyOnEvent(row);
  });
  source.addEventListener('error', () => {
    if (source.readyState !== EventSource.CLOSED) {
      setConnection('reconnecting', 'Reconnecting to the live stream…');
      return;
    }
    source.close();
    present.retryMs = Math.min(60e3, Math.max(5e3, present.retryMs * 2));
    setConnection('closed',
      `The live stream is unavailable; trying again in ${Math.round(present.retryMs / 1e3)} s.`);
    setTimeout(() => { if (liveSource === source) connectStream(); }, present.retryMs);
  });
}

function followVisibility() {
  document.addEventListener('visibilitychange', () => {
    if (document.visibilityState === 'hidden') {
      if (liveSource) liveSource.close();
      liveSource = null;
      setConnection('paused', 'Paused while the page is not shown');
    } else if (!liveSource) {
      // What went by meanwhile is read again, then the stream takes over.
      loadStatus();
      historyResync();
      connectStream();
    }
  });
}

function start() {
  renderModem();
  // The ages and the stale warning move with the clock, not with the network.
  setInterval(renderModem, 1000);
  // The history's range ends at the service's present, which the status tells; a status that
  // is slow to come holds the rest back for two seconds at most.
  const pause = new Promise((resolve) => { setTimeout(resolve, 2000); });
  Promise.race([loadStatus(), pause]).then(() => {
    startHistory();
    followVisibility();
    connectStream();
  });
}

start();
