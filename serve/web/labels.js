// Prices for promotion labels: each article's price at a moment and, where it has been reduced,
// the lowest price before the reduction and the rule that chose it; the same as CSV for a label
// program or Excel; and an article's prices over time as a step chart.

import {$, h, clear, table} from './dom.js';
import {download, get} from './api.js';
import {sayError, ENDED} from './state.js';
import {t, has, formatWhen, formatMoney, onLanguage} from './i18n.js';
import {priceChart} from './charts.js';
import {isPreview} from './wording.js';
import {targetDevices} from './devices.js';
import {busy} from './pricelist.js';

let answer = null;
let loads = 0;
let problem = null;       // [key, params] of what is wrong with the form, kept for a new language
// The moment is "now" until staff choose one: a page left open all day must not keep asking
// for the prices of the morning it was opened.
let followNow = true;

const pad = n => String(n).padStart(2, '0');

// A local time as a datetime-local field holds it: 2026-12-09T14:05.
function fieldTime(date) {
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}` +
    `T${pad(date.getHours())}:${pad(date.getMinutes())}`;
}

// The service takes a moment with its offset; the offset is that moment's own, so a date in
// summer goes as +02:00 even when asked for in winter.
function withOffset(date) {
  const offset = -date.getTimezoneOffset();
  const abs = Math.abs(offset);
  return `${fieldTime(date)}:${pad(date.getSeconds())}${offset < 0 ? '-' : '+'}` +
    `${pad(Math.floor(abs / 60))}:${pad(abs % 60)}`;
}

// The question the form asks, or what is wrong with it in the page's words: the service's own
// refusal would be English.
function query() {
  const q = new URLSearchParams();
  if (!followNow) {
    // A datetime-local value without an offset is read as local time.
    const at = new Date($('#labels-at').value);
    if (Number.isNaN(at.getTime())) return {problem: ['labels.badAt', {}]};
    q.set('at', withOffset(at));
  }
  const daysText = $('#labels-days').value.trim();
  const days = Number(daysText);
  if (!/^\d+$/.test(daysText) || days < 1 || days > 366) return {problem: ['labels.badDays', {}]};
  q.set('days', String(days));
  const [kind, ...rest] = ($('#labels-target').value || 'group:all').split(':');
  const name = rest.join(':');
  if (kind === 'device') q.set('device', name);
  else if (name !== 'all') q.set('group', name);
  // Codes as staff paste them: from a spreadsheet column, a list with commas or semicolons.
  const codes = $('#labels-codes').value.split(/[\s,;]+/).filter(Boolean);
  const bad = codes.find(c => !/^\d{1,14}$/.test(c));
  if (bad) return {problem: ['labels.badCode', {code: bad}]};
  if (codes.length) q.set('codes', codes.join(','));
  return {q};
}

function drawProblem() {
  const line = $('#labels-problem');
  line.textContent = problem ? t(...problem) : '';
  line.hidden = !problem;
}

function showNow() {
  if (followNow && document.activeElement !== $('#labels-at')) $('#labels-at').value = fieldTime(new Date());
}

export async function loadLabels() {
  const mine = ++loads;
  showNow();
  const asked = query();
  problem = asked.problem || null;
  drawProblem();
  if (problem) return;
  try {
    const got = await get(`/api/prices/lowest?${asked.q}`);
    if (mine !== loads) return;   // a later question's answer is on its way
    answer = got;
    render();
    // A test or a person waiting for the list knows when it is drawn from a fresh answer.
    $('#labels').dataset.loaded = String(mine);
    document.body.dataset.labels = String(mine);
  } catch (error) {
    if (mine === loads && error.status !== 401) sayError(error, 'labels.failed');
  }
}

function ruleText(rule) {
  const key = `labels.rule.${rule}`;
  return has(key) ? t(key, {n: answer.days}) : String(rule || '');
}

function reductionCell(r) {
  if (!r.reduction) return h('span', {class: 'muted'}, t('labels.notReduced'));
  return [
    h('span', {class: 'badge badge-reduced'}, t('labels.reduced', {when: formatWhen(r.reduced_at)})),
    r.stepped ? h('div', {class: 'note muted'}, t('labels.stepped')) : null,
  ];
}

function render() {
  if (!answer) return;
  const box = $('#labels');
  const rows = answer.articles || [];
  $('#labels-summary').textContent = t('labels.summary', {n: rows.length,
    k: rows.filter(r => r.reduction).length, when: formatWhen(answer.at)});
  if (rows.length === 0) {
    clear(box, h('p', {class: 'muted', 'data-test': 'labels-empty'}, t('labels.none')));
    return;
  }
  // The till is named only where the list holds more than one.
  const several = new Set(rows.map(r => r.device)).size > 1;
  clear(box, h('div', {class: 'scroll'}, table([
    {title: t('labels.col.code'), value: r => h('button', {type: 'button', class: 'code-link',
      'data-code': r.code, 'data-name': r.name, title: t('labels.historyTitle')}, r.code), class: 'code'},
    {title: t('labels.col.name'), value: r => r.name, class: 'name'},
    several ? {title: t('labels.col.device'), value: r => r.device, class: 'till'} : null,
    {title: t('labels.col.price'), value: r => h('strong', {}, formatMoney(r.price)), num: true, class: 'price'},
    // Where the table becomes a card on a narrow screen the column's title goes with the value.
    {title: t('labels.col.lowest'), value: r => [
      h('span', {class: 'narrow-only'}, t('labels.lowestLabel'), ' '),
      r.lowest === null || r.lowest === undefined ? h('span', {class: 'muted'}, t('labels.noLowest')) :
        h('span', {class: r.reduction ? null : 'muted'}, formatMoney(r.lowest))], num: true, class: 'lowest'},
    {title: t('labels.col.reduction'), value: reductionCell, class: 'reduction'},
    {title: t('labels.col.rule'), value: r => ruleText(r.rule), class: 'rule'},
  ].filter(Boolean), rows, {class: 'labels', id: 'labels-table'},
  r => ({'data-test': 'label', 'data-code': r.code, 'data-device': r.device, 'data-rule': r.rule,
    'data-reduction': r.reduction ? '1' : '', class: r.reduction ? 'reduced' : null}))));
}

// The CSV of what the form asks.
async function downloadCsv() {
  showNow();
  const asked = query();
  problem = asked.problem || null;
  drawProblem();
  if (problem) return;
  asked.q.set('format', 'csv');
  if ($('#labels-excel').checked) asked.q.set('excel', '1');
  try {
    await download(`/api/prices/lowest?${asked.q}`, t('labels.fileName'));
  } catch (error) {
    if (error.status !== 401) sayError(error, 'labels.downloadFailed');
  }
}

// The price history of one article, on the tills the form has chosen.
let history = null;   // {code, name, devices}
let historyLoads = 0;

async function openHistory(code, name) {
  const mine = ++historyLoads;
  try {
    const got = await get(`/api/prices/${encodeURIComponent(code)}/history`);
    if (mine !== historyLoads) return;
    const chosen = $('#labels-target').value || 'group:all';
    const names = new Set(targetDevices(chosen).map(d => d.name));
    const devices = (got.devices || []).filter(d => (d.history || []).length &&
      (chosen === 'group:all' || names.has(d.device)));
    // The name as the tills knew it last, when the list no longer has the article.
    const last = devices.flatMap(d => d.history).filter(p => p.name).sort((a, b) =>
      Date.parse(a.at) - Date.parse(b.at)).pop();
    history = {code, name: name || last?.name || '', devices};
    drawHistory();
    $('#price-chart').scrollIntoView({block: 'nearest'});
    document.body.dataset.priceHistory = String(mine);
  } catch (error) {
    if (mine === historyLoads && error.status !== 401) sayError(error, 'prices.failed');
  }
}

function closeHistory() {
  history = null;
  historyLoads++;
  drawHistory();
}

function drawHistory() {
  const box = $('#price-chart');
  if (!history) {
    box.hidden = true;
    clear(box);
    return;
  }
  const {code, name, devices} = history;
  box.hidden = false;
  box.dataset.code = code;
  const series = devices.map(d => ({device: d.device, history: d.history}));
  const width = box.clientWidth ? box.clientWidth - 30 : 800;
  clear(box,
    h('header', {class: 'report-head'},
      h('h3', {}, t('prices.title', {name, code})),
      h('button', {type: 'button', class: 'link', 'aria-label': t('prices.close'), onclick: closeHistory}, '×')),
    series.length ? [
      priceChart(series, {width, label: t('prices.chartLabel', {name, code})}),
      h('ul', {class: 'legend'}, series.map((s, n) => {
        const last = s.history[s.history.length - 1];
        return h('li', {}, h('span', {class: `swatch series-${n % 6}`}),
          last.price === null ? t('prices.gone', {device: s.device}) :
            t('prices.now', {device: s.device, price: formatMoney(last.price)}));
      })),
    ] : h('p', {class: 'muted'}, t('prices.none')),
    h('figcaption', {class: 'muted'}, t('prices.caption')));
}

// Jobs that leave prices on a till change the list and the chart; they are read again together,
// a moment after the last one ends.
let pending = null;
const PRICED = new Set(['upload', 'sync', 'delete', 'download', 'verify']);
export function labelsJobEvent(job) {
  if (!ENDED.has(job.state) || isPreview(job) || !PRICED.has(job.kind)) return;
  clearTimeout(pending);
  pending = setTimeout(() => {
    loadLabels();
    if (history) openHistory(history.code, history.name);
  }, 600);
}

export function setupLabels() {
  $('#labels-form').addEventListener('submit', e => {
    e.preventDefault();
    loadLabels();
  });
  $('#labels-at').addEventListener('change', () => {
    followNow = $('#labels-at').value === '';
    loadLabels();
  });
  $('#labels-now').addEventListener('click', () => {
    followNow = true;
    $('#labels-at').value = '';
    loadLabels();
  });
  for (const id of ['#labels-days', '#labels-target', '#labels-codes']) {
    $(id).addEventListener('change', loadLabels);
  }
  $('#labels-csv').addEventListener('click', e => busy(e.currentTarget, downloadCsv));
  $('#labels').addEventListener('click', e => {
    const button = e.target.closest('button.code-link');
    if (button) busy(button, () => openHistory(button.dataset.code, button.dataset.name));
  });
  // The chart is drawn for its width, so that its text keeps its size from a phone to a desk.
  let resized = null;
  window.addEventListener('resize', () => {
    clearTimeout(resized);
    resized = setTimeout(() => { if (history) drawHistory(); }, 200);
  });
  onLanguage(() => {
    drawProblem();
    render();
    drawHistory();
  });
}
