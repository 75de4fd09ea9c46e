// Sales of a period: turnover per day and the best-selling articles.

import {$, h, clear, sumDecimals} from './dom.js';
import {get} from './api.js';
import {state, sayError, isoDay} from './state.js';
import {t, formatMoney, formatDay, onLanguage} from './i18n.js';
import {dayChart, articleChart} from './charts.js';

// Eight whole weeks ending today, unless staff chose otherwise.
function defaultPeriod() {
  const to = new Date();
  const from = new Date(to);
  from.setDate(from.getDate() - 55);
  $('#sales-from').value = isoDay(from);
  $('#sales-to').value = isoDay(to);
}

// Summed as decimal text: adding "12.30" + "0.10" as floats would not give the till's figure.
function total(rows) {
  return sumDecimals(rows.map(r => r.value ?? '0'), 2);
}

export async function loadSales() {
  let from = $('#sales-from').value;
  let to = $('#sales-to').value;
  if (!from || !to) {
    defaultPeriod();
    from = $('#sales-from').value;
    to = $('#sales-to').value;
  }
  if (from > to) [from, to] = [to, from];
  const device = $('#sales-device').value;
  const query = new URLSearchParams({from, to});
  if (device) query.set('device', device);
  try {
    const [days, articles] = await Promise.all([
      get(`/api/sales?by=day&${query}`),
      get(`/api/sales?by=article&limit=10&${query}`),
    ]);
    // Articles that did not sell at all are no best-sellers, whatever their place in the list.
    const sold = (articles.rows || []).filter(r => Number.parseFloat(r.quantity) !== 0 ||
      Number.parseFloat(r.value) !== 0);
    shown = {days: days.rows || [], top: sold, from, to};
    draw();
  } catch (error) {
    if (error.status !== 401) sayError(error, 'sales.failed');
  }
}

let shown = null;

function draw() {
  if (!shown) return;
  const {days, top, from, to} = shown;
  const chart = $('#sales-chart');
  clear(chart, dayChart(days, from, to, chart.clientWidth || 800));
  chart.dataset.days = String(days.length);
  const period = {from: formatDay(from), to: formatDay(to)};
  $('#sales-total').textContent = days.length ?
    t('sales.total', {total: formatMoney(total(days)), ...period}) : t('sales.none', period);
  const box = $('#sales-top');
  clear(box, top.length ? articleChart(top, box.clientWidth || 800) :
    h('p', {class: 'muted'}, t('sales.noArticles')));
}

export function renderSalesDevices() {
  const select = $('#sales-device');
  const chosen = select.value;
  clear(select, h('option', {value: ''}, t('sales.all')),
    [...state.devices.keys()].sort().map(n => h('option', {value: n}, n)));
  select.value = [...select.options].some(o => o.value === chosen) ? chosen : '';
}

export function setupSales() {
  defaultPeriod();
  for (const id of ['#sales-from', '#sales-to', '#sales-device']) {
    $(id).addEventListener('change', loadSales);
  }
  // Drawn again at the new width when a tablet turns or a window is resized.
  let lastWidth = 0;
  new ResizeObserver(entries => {
    const width = Math.round(entries[0].contentRect.width);
    if (width === lastWidth) return;
    lastWidth = width;
    requestAnimationFrame(draw);
  }).observe($('#sales-chart'));
  onLanguage(() => {
    renderSalesDevices();
    draw();
  });
}
