// Jobs put into words for the shop: what kind of job, who started it, what it counted, and
// how it ended as a sentence that names the cause and what to check. The service's own
// English detail and the codes stay one click away for whoever supports the shop.

import {h} from './dom.js';
import {t, has, formatMoney, formatQuantity, formatDuration} from './i18n.js';

export function isPreview(job) {
  return Boolean(job && job.preview);
}

export function kindLabel(job) {
  if (isPreview(job)) return t('kind.preview');
  const key = `kind.${job.kind}`;
  return has(key) ? t(key) : String(job.kind || '');
}

export function jobStateLabel(state) {
  const key = `jobState.${state}`;
  return has(key) ? t(key) : String(state || '');
}

export function deviceStateLabel(state) {
  const known = ['idle', 'busy', 'unreachable'].includes(state) ? state : 'unknown';
  return t(`state.${known}`);
}

// `by` is a token's name, or one of the service's own starters.
export function byLabel(by) {
  if (!by) return t('by.nobody');
  const key = `by.${by}`;
  return has(key) ? t(key) : by;
}

// The service counts in English ("3 added, 1 changed, 0 deleted (2 left alone), 5 unchanged",
// "12 articles, quantity 30.000, value 345.60"). Each part it is known to write is said again
// in the language; a part it is not known to write is shown as it came.
const COUNT_WORDS = {
  accepted: 'counts.accepted', refused: 'counts.refused', received: 'counts.received',
  deleted: 'counts.deleted', articles: 'counts.articles', added: 'counts.added',
  changed: 'counts.changed', unchanged: 'counts.unchanged', missing: 'counts.missing',
  differ: 'counts.differ', extra: 'counts.extra', match: 'counts.match', found: 'counts.found',
};

function countPart(part) {
  let m = /^(\d+) deleted \((\d+) left alone\)$/.exec(part);
  if (m) {
    return `${t('counts.deleted', {n: Number(m[1])})}${t('counts.join')}` +
      t('counts.leftAlone', {n: Number(m[2])});
  }
  m = /^(\d+) (\w+)$/.exec(part);
  if (m && COUNT_WORDS[m[2]]) return t(COUNT_WORDS[m[2]], {n: Number(m[1])});
  m = /^quantity (-?[\d.]+)$/.exec(part);
  if (m) return t('counts.quantity', {q: formatQuantity(m[1])});
  m = /^value (-?[\d.]+)$/.exec(part);
  if (m) return t('counts.value', {v: formatMoney(m[1])});
  return part;
}

export function countsText(job) {
  const counts = String(job.counts || '').trim();
  if (!counts) return '';
  const text = counts.split(/,\s+/).map(countPart).join(t('counts.join'));
  return isPreview(job) ? t('counts.wouldBe', {counts: text}) : text;
}

// The exit status of a job names its cause; the library's result codes are 10 above theirs.
const EXIT_KEYS = {
  3: 'outcome.badInput', 4: 'outcome.refused', 5: 'outcome.reportNotSaved',
  6: 'outcome.resetUnconfirmed', 7: 'outcome.notWritten', 8: 'outcome.mismatch',
  11: 'outcome.abort', 12: 'outcome.open', 13: 'outcome.send', 14: 'outcome.read',
  15: 'outcome.format', 16: 'outcome.crc', 17: 'outcome.port', 18: 'outcome.address',
  19: 'outcome.handle',
};

const RESULT_NAMES = {
  0: 'VELKO_OK', 1: 'VELKO_ERR_ABORT', 2: 'VELKO_ERR_OPEN', 3: 'VELKO_ERR_SEND',
  4: 'VELKO_ERR_READ', 5: 'VELKO_ERR_FORMAT', 6: 'VELKO_ERR_CRC', 7: 'VELKO_ERR_PORT',
  8: 'VELKO_ERR_ADDRESS', 9: 'VELKO_ERR_HANDLE',
};

function exitOf(outcome) {
  if (!outcome) return null;
  if (Number.isInteger(outcome.exit)) return outcome.exit;
  if (Number.isInteger(outcome.code)) return outcome.code === 0 ? 0 : 10 + outcome.code;
  return null;
}

// The sentence for how a job ended, or '' while it has not.
export function outcomeSentence(job) {
  const exit = exitOf(job.outcome);
  const device = job.device || '';
  if (job.state === 'cancelled') return t('outcome.cancelled', {device});
  if (job.state === 'interrupted' || exit === 130) {
    return t(job.started ? 'outcome.interrupted' : 'outcome.interruptedEarly', {device});
  }
  if (exit === null) return '';
  if (exit === 0) return t('outcome.done');
  if (exit === 1) return t(job.kind === 'scan' ? 'outcome.scanNone' : 'outcome.notRecorded', {device});
  return t(EXIT_KEYS[exit] || 'outcome.unknown', {device, exit});
}

// How it ended, with the service's detail and the codes folded away beneath the sentence.
export function outcomeNode(job, {open = false} = {}) {
  const outcome = job.outcome;
  const sentence = outcomeSentence(job);
  if (!outcome && !sentence) return null;
  const failed = job.state !== 'done';
  const exit = exitOf(outcome);
  const code = outcome && Number.isInteger(outcome.code) ? outcome.code : null;
  const technical = [
    exit !== null ? t('outcome.exit', {exit}) : null,
    code !== null ? `${RESULT_NAMES[code] || code}` : null,
    outcome && outcome.name ? outcome.name : null,
  ].filter(Boolean).join(' · ');
  const detail = outcome && outcome.detail ? outcome.detail : '';
  return h('div', {class: `outcome ${failed ? 'outcome-bad' : 'outcome-ok'}`, 'data-test': 'outcome',
    'data-exit': exit ?? ''},
  h('span', {class: 'outcome-text'}, sentence),
  failed && (technical || detail) ? h('details', {class: 'technical', open: open || null},
    h('summary', {}, t('outcome.details')),
    technical ? h('code', {}, technical) : null,
    // The service writes its detail in English; the page says so to the browser.
    detail ? h('p', {lang: 'en'}, detail) : null) : null);
}

// How long a job ran, from its start to its end (or to now while it runs).
export function tookText(job, now = Date.now()) {
  const start = Date.parse(job.started || '');
  if (Number.isNaN(start)) return '';
  const end = job.finished ? Date.parse(job.finished) : now;
  if (Number.isNaN(end)) return '';
  return formatDuration((end - start) / 1000);
}
