// One business day across the chain: which devices' reports came, with their figures, and
// which have not come.

import {$, h, clear, table, when, amount, sumDecimals, isoDay, addDays, isDay} from './dom.js';
import {get, query} from './api.js';
import {data, changed} from './state.js';
import {renderOverview} from './overview.js';

// The day after a night's closes is the one head office looks at in the morning. Until the
// reader picks a day, the page keeps to yesterday as the date moves on.
let chosen = null;

function yesterday() {
  return addDays(isoDay(new Date()), -1);
}

export function day() {
  if (chosen) return chosen;
  const input = $('#day');
  // A date half typed in reads as empty: a refresh must not write over it.
  if (document.activeElement !== input) input.value = yesterday();
  return yesterday();
}

let asked = 0;

export async function loadReports() {
  const wanted = day();
  const mine = ++asked;
  const answer = await get(query('/api/reports', {day: wanted}));
  // An answer for a day the reader has meanwhile left is dropped, not drawn over the new one.
  if (mine !== asked) return;
  data.reports = answer;
  renderReports();
  renderOverview();
}

export function renderReports() {
  const answer = data.reports;
  if (!answer) return;
  const reports = answer.reports || [];
  const missing = answer.missing || [];
  const stores = (data.status && data.status.stores) || [];
  const today = isoDay(new Date());
  if (!changed('reports', answer, stores, answer.business_day >= today)) return;

  $('#missing-count').textContent = missing.length ? `${missing.length} of ${missing.length + reports.length}` : '';
  const status = new Map(stores.map(s => [s.store, s]));
  const box = $('#missing');
  if (missing.length === 0) {
    clear(box, h('p', {class: 'ok'}, reports.length ?
      `Every known device reported ${answer.business_day}.` : 'No device is known yet.'));
  } else {
    // Grouped by shop: a shop that is offline explains its devices' silence.
    const byStore = new Map();
    for (const m of missing) {
      if (!byStore.has(m.store)) byStore.set(m.store, []);
      byStore.get(m.store).push(m);
    }
    clear(box,
      answer.business_day >= today ?
        h('p', {class: 'hint muted'}, 'This business day may not be closed yet.') : null,
      h('ul', {class: 'shop-list'}, [...byStore].map(([store, list]) => {
        const s = status.get(store);
        return h('li', {'data-store': store},
          h('strong', {class: 'name'}, store),
          h('span', {class: 'devices'}, list.map(m =>
            h('span', {class: 'chip', 'data-test': 'missing', 'data-store': m.store,
              'data-device': m.device}, m.device))),
          s && s.status === 'offline' ?
            h('span', {class: 'badge badge-state-failed'}, `shop offline since ${when(s.since, 'short')}`) : null);
      })));
  }

  $('#reports-total').textContent = reports.length ?
    `${reports.length} device${reports.length === 1 ? '' : 's'} · ` +
    `${amount(sumDecimals(reports.map(r => r.value), 2))} zł` : '';
  const list = $('#reports');
  if (reports.length === 0) {
    clear(list, h('p', {class: 'muted'}, `No day report for ${answer.business_day} has come.`));
    return;
  }
  const columns = [
    {title: 'Shop', value: r => r.store, foot: 'Total', class: 'name'},
    {title: 'Device', value: r => r.device, class: 'name'},
    {title: 'Version', value: r => r.version, num: true, class: 'wide-only'},
    {title: 'Closes', value: r => r.reports, num: true,
      foot: String(reports.reduce((n, r) => n + (Number(r.reports) || 0), 0))},
    {title: 'Articles', value: r => r.articles, num: true},
    {title: 'Quantity', value: r => amount(r.quantity), num: true,
      foot: amount(sumDecimals(reports.map(r => r.quantity), 3))},
    {title: 'Value, zł', value: r => amount(r.value), num: true,
      foot: amount(sumDecimals(reports.map(r => r.value), 2))},
    {title: 'Received', value: r => when(r.received, 'short'), class: 'nowrap wide-only'},
  ];
  clear(list, h('div', {class: 'scroll'}, table(columns, reports, {class: 'reports'}, r => ({
    'data-test': 'report', 'data-store': r.store, 'data-device': r.device,
  }), true)));
}

export function setupReports(onChange) {
  const input = $('#day');
  input.value = yesterday();
  const choose = value => {
    chosen = value === yesterday() ? null : value;
    input.value = value;
    onChange();
  };
  input.addEventListener('change', () => {
    if (isDay(input.value)) choose(input.value);
  });
  $('#day-before').addEventListener('click', () => choose(addDays(day(), -1)));
  $('#day-after').addEventListener('click', () => choose(addDays(day(), 1)));
  $('#day-yesterday').addEventListener('click', () => choose(yesterday()));
}

export function resetReports() {
  asked++;
  chosen = null;
  data.reports = null;
}
