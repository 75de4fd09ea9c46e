// Sales drawn as inline SVG: turnover per day over weeks, and the best-selling articles.

import {svg, number, dayList, niceStep} from './dom.js';
import {t, locale, formatMoney, formatQuantity, formatDay} from './i18n.js';

function tickLabel(value) {
  return value >= 1000 ? t('sales.thousands', {n: (value / 1000).toLocaleString(locale())}) :
    value.toLocaleString(locale());
}

// Turnover per day from `from` to `to`; days without sales count as zero so that gaps show.
// Up to about two months it is drawn as bars, longer periods as a line with points.
// `width` is the width the chart gets on the page, so that its text keeps its size on a phone
// and on a wide screen alike.
export function dayChart(rows, from, to, width = 800) {
  const byDay = new Map(rows.map(r => [r.day, r]));
  const days = dayList(from, to);
  const values = days.map(d => number(byDay.get(d)?.value));
  const W = Math.max(Math.round(width), 320);
  const H = Math.round(Math.min(Math.max(W * 0.32, 200), 300));
  const left = 64, right = 12, top = 14, bottom = 44;
  const plotW = W - left - right, plotH = H - top - bottom;
  const max = Math.max(...values, 0);
  const step = max > 0 ? niceStep(max, 4) : 1;
  const yMax = max > 0 ? Math.ceil(max / step) * step : 4;
  const y = v => top + plotH - (v / yMax) * plotH;
  const slot = plotW / Math.max(days.length, 1);
  const x = i => left + slot * i + slot / 2;

  const chart = svg('svg', {
    viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img',
    'aria-label': t('sales.chartLabel', {from: formatDay(from), to: formatDay(to)}),
  });
  for (let v = 0; v <= yMax + 1e-9; v += (max > 0 ? step : 1)) {
    chart.append(
      svg('line', {x1: left, x2: W - right, y1: y(v), y2: y(v), class: 'gridline'}),
      svg('text', {x: left - 6, y: y(v) + 4, class: 'axis', 'text-anchor': 'end'}, tickLabel(v)));
  }
  // A label under each Monday (weeks), or under every day for a short period; on a narrow
  // chart every second Monday.
  const everyDay = days.length <= 14 && slot >= 40;
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
  chart.append(svg('line', {x1: left, x2: W - right, y1: H - bottom, y2: H - bottom, class: 'baseline'}));

  const tip = (i) => svg('title', {}, byDay.has(days[i]) ?
    t('sales.dayTipUnits', {day: formatDay(days[i]), value: formatMoney(byDay.get(days[i]).value),
      q: formatQuantity(byDay.get(days[i]).quantity)}) :
    t('sales.dayTip', {day: formatDay(days[i]), value: formatMoney('0')}));
  if (days.length <= 62) {
    const barW = Math.max(slot * 0.7, 1);
    values.forEach((v, i) => {
      if (!byDay.has(days[i])) return;
      chart.append(svg('rect', {
        x: x(i) - barW / 2, y: y(v), width: barW, height: Math.max(y(0) - y(v), 0),
        class: 'bar', 'data-day': days[i],
      }, tip(i)));
    });
  } else {
    const points = values.map((v, i) => `${x(i)},${y(v)}`).join(' ');
    chart.append(svg('polyline', {points, class: 'line'}));
    values.forEach((v, i) => {
      if (!byDay.has(days[i])) return;
      chart.append(svg('circle', {cx: x(i), cy: y(v), r: 3, class: 'point', 'data-day': days[i]}, tip(i)));
    });
  }
  return chart;
}

// The best-selling articles as horizontal bars, the name on the left and the value on the right.
export function articleChart(rows, width = 800) {
  const W = Math.max(Math.round(width), 320);
  const rowH = 30, nameW = Math.round(Math.min(290, W * 0.4)), valueW = 110;
  const maxChars = Math.floor(nameW / 8.5);
  const H = Math.max(rows.length, 1) * rowH + 8;
  const values = rows.map(r => number(r.value));
  const max = Math.max(...values, 0);
  const barMax = W - nameW - valueW - 16;
  const chart = svg('svg', {
    viewBox: `0 0 ${W} ${H}`, class: 'chart', role: 'img', 'aria-label': t('sales.bestLabel'),
  });
  rows.forEach((row, i) => {
    const top = 4 + i * rowH;
    const width = max > 0 ? (values[i] / max) * barMax : 0;
    const name = String(row.name || row.code || '');
    chart.append(
      svg('text', {x: nameW - 8, y: top + rowH / 2 + 5, class: 'label', 'text-anchor': 'end'},
        name.length > maxChars ? `${name.slice(0, maxChars - 1)}…` : name),
      svg('rect', {x: nameW, y: top + 4, width: Math.max(width, 0), height: rowH - 8, class: 'bar',
        'data-code': row.code},
        svg('title', {}, t('sales.articleTip', {name, code: row.code, q: formatQuantity(row.quantity),
          value: formatMoney(row.value)}))),
      svg('text', {x: nameW + width + 6, y: top + rowH / 2 + 5, class: 'value'}, formatMoney(row.value)));
  });
  return chart;
}
