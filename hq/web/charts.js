// Sales drawn as inline SVG: a bar per day, stacked by shop.

import {svg, amount, number, dayList, niceStep} from './dom.js';

function tickLabel(value) {
  return Math.abs(value) >= 1000 ? `${(value / 1000).toLocaleString('pl-PL')} tys.` :
    value.toLocaleString('pl-PL');
}

// `rows` are {store, business_day, quantity, value}; `stores` the shops in the order they stack
// from the baseline, each {store, colour}. Days without a report are empty so that gaps show.
// A day's returns can outweigh its sales: negative values stack below the baseline.
// `width` is the width the chart gets on the page, so that its text keeps its size on a tablet
// and on a wide screen alike.
export function stackedDayChart(rows, stores, from, to, width = 800) {
  const days = dayList(from, to);
  const cell = new Map(rows.map(r => [`${r.business_day}\n${r.store}`, r]));
  const W = Math.max(Math.round(width), 320);
  const H = Math.round(Math.min(Math.max(W * 0.34, 220), 340));
  const left = 72, right = 12, top = 14, bottom = 44;
  const plotW = W - left - right, plotH = H - top - bottom;

  const ups = days.map(d => stores.reduce((s, {store}) =>
    s + Math.max(number(cell.get(`${d}\n${store}`)?.value), 0), 0));
  const downs = days.map(d => stores.reduce((s, {store}) =>
    s + Math.min(number(cell.get(`${d}\n${store}`)?.value), 0), 0));
  const high = Math.max(...ups, 0);
  const low = Math.min(...downs, 0);
  const step = high - low > 0 ? niceStep(high - low, 4) : 1;
  const yMax = high > 0 ? Math.ceil(high / step) * step : (low < 0 ? 0 : 4);
  const yMin = low < 0 ? Math.floor(low / step) * step : 0;
  const y = v => top + plotH - ((v - yMin) / (yMax - yMin)) * plotH;
  const slot = plotW / Math.max(days.length, 1);
  const x = i => left + slot * i + slot / 2;

  const chart = svg('svg', {
    viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img',
    'aria-label': `Sales value per day and shop, ${from} to ${to}`,
  });
  for (let v = yMin; v <= yMax + 1e-9; v += step) {
    chart.append(
      svg('line', {x1: left, x2: W - right, y1: y(v), y2: y(v), class: 'gridline'}),
      svg('text', {x: left - 6, y: y(v) + 4, class: 'axis', 'text-anchor': 'end'}, tickLabel(v)));
  }
  // A label under every day for a short period; else under each Monday, and on a narrow chart
  // every second Monday.
  const everyDay = slot >= 40;
  let mondays = 0;
  days.forEach((day, i) => {
    const date = new Date(`${day}T00:00:00Z`);
    if (!everyDay && date.getUTCDay() !== 1) return;
    if (!everyDay && slot * 7 < 48 && mondays++ % 2 === 1) return;
    chart.append(svg('text', {x: x(i), y: H - bottom + 18, class: 'axis', 'text-anchor': 'middle'},
      `${day.slice(8, 10)}.${day.slice(5, 7)}`));
    if (!everyDay) {
      chart.append(svg('line', {x1: x(i), x2: x(i), y1: H - bottom, y2: H - bottom + 5, class: 'tick'}));
    }
  });

  const barW = Math.max(slot * 0.7, 1);
  days.forEach((day, i) => {
    let up = 0, down = 0;
    for (const {store, colour} of stores) {
      const r = cell.get(`${day}\n${store}`);
      if (!r) continue;
      const v = number(r.value);
      if (v === 0) continue;
      const from = v > 0 ? up : down;
      const to = from + v;
      if (v > 0) up = to; else down = to;
      chart.append(svg('rect', {
        x: x(i) - barW / 2, y: Math.min(y(from), y(to)), width: barW,
        height: Math.max(Math.abs(y(from) - y(to)), 0.5),
        fill: colour, class: 'bar', 'data-store': store, 'data-day': day,
      }, svg('title', {}, `${store} · ${day}: ${amount(r.value)} zł, ${amount(r.quantity)} units`)));
    }
  });
  chart.append(svg('line', {x1: left, x2: W - right, y1: y(0), y2: y(0), class: 'baseline'}));
  return chart;
}
