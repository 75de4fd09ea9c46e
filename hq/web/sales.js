// Sales of a period per shop and day, as a stacked chart and as a table.

import {$, h, clear, amount, sumDecimals, isoDay, addDays, isDay, dayList} from './dom.js';
import {get, query} from './api.js';
import {data, changed, storeColour} from './state.js';
import {stackedDayChart} from './charts.js';

// Columns of a table and bars of a chart stop being readable past a quarter.
const MAX_DAYS = 92;

// Two weeks up to today, until the reader picks a period; the default moves on with the date.
let chosen = null;

function defaultPeriod() {
  const today = isoDay(new Date());
  return {from: addDays(today, -13), to: today};
}

function period() {
  if (chosen) return chosen;
  const {from, to} = defaultPeriod();
  // A date half typed in reads as empty: a refresh must not write over it.
  if (document.activeElement !== $('#sales-from')) $('#sales-from').value = from;
  if (document.activeElement !== $('#sales-to')) $('#sales-to').value = to;
  return {from, to};
}

let asked = 0;
let shown = null;
let pastRight = 0;   // how far the sales table's reader is from its right end, in pixels

export async function loadSales() {
  const {from, to} = period();
  if (dayList(from, to).length > MAX_DAYS) {
    // Nothing is asked for: a chart cut short would hide the days past its end.
    asked++;
    shown = null;
    clear($('#sales-chart'), h('p', {class: 'error-text'},
      `Choose at most ${MAX_DAYS} days: from ${from} to ${to} is longer.`));
    clear($('#sales-table'));
    clear($('#sales-legend'));
    $('#sales-total').textContent = '';
    changed('sales', null);
    return;
  }
  const mine = ++asked;
  const answer = await get(query('/api/sales', {from, to}));
  if (mine !== asked) return;
  shown = {rows: answer.rows || [], from, to};
  draw();
}

// Every shop of the chain, not only those of the period, takes a colour in the order of their
// names: a shop keeps its colour while the reader moves from period to period.
function storeOrder(rows) {
  const names = ((data.status && data.status.stores) || []).map(s => s.store);
  for (const r of rows) if (!names.includes(r.store)) names.push(r.store);
  return names.sort().map((store, i) => ({store, colour: storeColour(i)}));
}

function draw() {
  if (!shown) return;
  const {rows, from, to} = shown;
  const order = storeOrder(rows);
  const chartBox = $('#sales-chart');
  const width = chartBox.clientWidth || 800;
  if (!changed('sales', rows, from, to, order, width)) return;
  const inPeriod = new Set(rows.map(r => r.store));
  const stores = order.filter(s => inPeriod.has(s.store));

  $('#sales-total').textContent = rows.length ?
    `${amount(sumDecimals(rows.map(r => r.value), 2))} zł from ${from} to ${to}` :
    `No sales reported from ${from} to ${to}.`;
  clear(chartBox, stackedDayChart(rows, stores, from, to, width));
  chartBox.dataset.rows = String(rows.length);
  clear($('#sales-legend'), stores.map(s => h('li', {'data-store': s.store},
    h('span', {class: 'swatch', style: `background:${s.colour}`}), s.store)));
  renderTable(rows, stores, from, to);
}

// Shops down, days across: a chain has more shops than a period has days worth reading, and
// rows scroll better than columns.
function renderTable(rows, stores, from, to) {
  const box = $('#sales-table');
  if (rows.length === 0) {
    clear(box);
    return;
  }
  const days = dayList(from, to);
  const cell = new Map(rows.map(r => [`${r.business_day}\n${r.store}`, r]));
  const ofDay = d => rows.filter(r => r.business_day === d);
  const head = h('tr', {},
    h('th', {scope: 'col', class: 'sticky'}, 'Shop'),
    days.map(d => h('th', {scope: 'col', class: 'num', title: d}, `${d.slice(8, 10)}.${d.slice(5, 7)}`)),
    h('th', {scope: 'col', class: 'num'}, 'Total, zł'));
  const body = stores.map(({store, colour}) => {
    const mine = rows.filter(r => r.store === store);
    return h('tr', {'data-test': 'sales', 'data-store': store},
      h('th', {scope: 'row', class: 'sticky'},
        h('span', {class: 'swatch', style: `background:${colour}`}), store),
      days.map(d => {
        const r = cell.get(`${d}\n${store}`);
        // No report is not a day without sales: it shows as a dash, not as 0,00.
        return r ? h('td', {class: 'num', 'data-day': d, title: `${amount(r.quantity)} units`}, amount(r.value)) :
          h('td', {class: 'num muted', 'data-day': d}, '–');
      }),
      h('td', {class: 'num total'}, amount(sumDecimals(mine.map(r => r.value), 2))));
  });
  const foot = h('tr', {},
    h('th', {scope: 'row', class: 'sticky'}, 'All shops'),
    days.map(d => {
      const list = ofDay(d);
      return h('td', {class: 'num'}, list.length ? amount(sumDecimals(list.map(r => r.value), 2)) : '–');
    }),
    h('td', {class: 'num total'}, amount(sumDecimals(rows.map(r => r.value), 2))));
  // The latest days are the ones looked for: a table wider than its box opens scrolled to its
  // end, and a redraw keeps what the reader scrolled past on the right. That is taken from
  // the reader's scrolling, not measured at the redraw: by then a resize has already laid the
  // old table out anew at its old scroll position.
  const scroller = h('div', {class: 'scroll', onscroll: () => {
    pastRight = scroller.scrollWidth - scroller.scrollLeft - scroller.clientWidth;
  }}, h('table', {class: 'sales'}, h('thead', {}, head), h('tbody', {}, body), h('tfoot', {}, foot)));
  clear(box, scroller);
  scroller.scrollLeft = Math.max(scroller.scrollWidth - scroller.clientWidth - pastRight, 0);
}

export function setupSales(onChange) {
  period();
  for (const id of ['#sales-from', '#sales-to']) {
    $(id).addEventListener('change', () => {
      let from = $('#sales-from').value;
      let to = $('#sales-to').value;
      if (!isDay(from) || !isDay(to)) return;
      if (from > to) [from, to] = [to, from];
      chosen = {from, to};
      onChange();
    });
  }
  // Drawn again at the new width when a tablet turns or a window is resized.
  let lastWidth = 0;
  new ResizeObserver(entries => {
    const width = Math.round(entries[0].contentRect.width);
    if (width === lastWidth) return;
    lastWidth = width;
    requestAnimationFrame(draw);
  }).observe($('#sales-chart'));
}

export function redrawSales() {
  draw();
}

export function resetSales() {
  asked++;
  pastRight = 0;
  chosen = null;
  shown = null;
}
