// Charts drawn as inline SVG: turnover per day over weeks, the best-selling articles, and an
// article's prices over time.

import {svg, number, dayList, niceStep} from './dom.js';
import {t, locale, formatMoney, formatQuantity, formatDay, formatWhen} from './i18n.js';

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

// Instants for a time axis, on the local clock's round values (whole minutes, hours, midnights,
// first days of months), at most about `most` of them between `from` and `to` (milliseconds).
const MINUTE = 60000, HOUR = 3600000, DAY = 86400000;
const TIME_STEPS = [[MINUTE, 1], [MINUTE, 2], [MINUTE, 5], [MINUTE, 10], [MINUTE, 15], [MINUTE, 30],
  [HOUR, 1], [HOUR, 2], [HOUR, 3], [HOUR, 6], [HOUR, 12], [DAY, 1], [DAY, 2], [DAY, 7], [DAY, 14],
  ['month', 1], ['month', 3], ['month', 6]];

function timeTicks(from, to, most) {
  const span = to - from;
  const [unit, k] = TIME_STEPS.find(([u, n]) => (u === 'month' ? 30 * DAY : u) * n * most >= span) ||
    TIME_STEPS[TIME_STEPS.length - 1];
  // The first round instant at or after `from`.
  const first = new Date(from);
  first.setSeconds(0, 0);
  if (first.getTime() < from) first.setMinutes(first.getMinutes() + 1);
  if (unit === MINUTE) {
    first.setMinutes(Math.ceil(first.getMinutes() / k) * k);
  } else if (unit === HOUR) {
    if (first.getMinutes() > 0) first.setHours(first.getHours() + 1, 0);
    first.setHours(Math.ceil(first.getHours() / k) * k);
  } else {
    if (first.getHours() > 0 || first.getMinutes() > 0) first.setDate(first.getDate() + 1);
    first.setHours(0, 0);
    // Weeks start on Monday, as shop weeks do.
    if (unit === DAY && k >= 7) first.setDate(first.getDate() + (8 - first.getDay()) % 7);
    if (unit === 'month' && first.getDate() !== 1) first.setMonth(first.getMonth() + 1, 1);
  }
  const ticks = [];
  // Days and months are stepped on the calendar: a day where clocks change is not 24 hours.
  const at = first;
  while (at.getTime() <= to && ticks.length <= most * 2) {
    ticks.push(at.getTime());
    if (unit === 'month') at.setMonth(at.getMonth() + k);
    else if (unit === DAY) at.setDate(at.getDate() + k);
    else at.setTime(at.getTime() + unit * k);
  }
  return {ticks, daily: unit === DAY || unit === 'month', monthly: unit === 'month'};
}

// A price history as step lines, one per device: a price holds from the moment it became
// known until the next one; where the article was taken off a device its line stops and
// starts again when it came back. `series` is [{device, history: [{at, price|null}]}] in time
// order; the time axis runs to `until` (the present, or later than the last change).
export function priceChart(series, {width = 800, until = Date.now(), label = ''} = {}) {
  const W = Math.max(Math.round(width), 320);
  const H = Math.round(Math.min(Math.max(W * 0.34, 220), 320));
  const left = 78, right = 16, top = 14, bottom = 40;
  const plotW = W - left - right, plotH = H - top - bottom;
  const times = series.flatMap(s => s.history.map(p => Date.parse(p.at))).filter(Number.isFinite);
  const prices = series.flatMap(s => s.history.filter(p => p.price !== null).map(p => number(p.price)));
  const end = Math.max(until, ...times);
  // At least ten minutes across, so that a price first seen a moment ago still draws as a step.
  const start = Math.min(...times, end - 10 * MINUTE);
  const low = Math.min(...prices, Infinity), high = Math.max(...prices, 0);
  // The axis hugs the prices rather than starting at zero: a reduction from 4.99 to 4.79 must
  // show as a step, not as a pixel.
  const step = niceStep(high > low ? high - low : Math.max(high, 1) / 2, 4);
  const yMin = Math.max(0, (Math.floor(low / step) - (high > low ? 0 : 1)) * step);
  let yMax = Math.max((Math.ceil(high / step) + (high > low ? 0 : 1)) * step, yMin + step);
  // A line just under the top is hard to tell from the frame: a step more above it.
  if (yMax - high < step / 4) yMax += step;
  const x = ms => left + ((ms - start) / (end - start)) * plotW;
  const y = v => top + plotH - ((v - yMin) / (yMax - yMin)) * plotH;

  const chart = svg('svg', {viewBox: `0 0 ${W} ${H}`, class: 'chart price-chart-svg', role: 'img',
    'aria-label': label});
  const decimals = step < 0.01 ? 3 : 2;
  for (let i = 0, v = yMin; v <= yMax + step / 1000 && i < 50; i++, v = yMin + i * step) {
    chart.append(
      svg('line', {x1: left, x2: W - right, y1: y(v), y2: y(v), class: 'gridline'}),
      svg('text', {x: left - 6, y: y(v) + 4, class: 'axis', 'text-anchor': 'end'},
        formatMoney(v.toFixed(decimals))));
  }
  const {ticks, daily, monthly} = timeTicks(start, end, Math.max(2, Math.floor(plotW / 96)));
  const dayOf = ms => new Date(ms).toDateString();
  const timeText = (ms, i) => {
    const options = monthly ? {month: 'short', year: 'numeric'} : daily ? {day: 'numeric', month: 'short'} :
      // Hours carry their day where the day changes, and on the first label.
      (i === 0 || dayOf(ticks[i - 1]) !== dayOf(ms)) && dayOf(start) !== dayOf(end) ?
        {day: 'numeric', month: 'numeric', hour: '2-digit', minute: '2-digit'} :
        {hour: '2-digit', minute: '2-digit'};
    return new Intl.DateTimeFormat(locale(), options).format(new Date(ms));
  };
  ticks.forEach((ms, i) => chart.append(
    svg('line', {x1: x(ms), x2: x(ms), y1: H - bottom, y2: H - bottom + 5, class: 'tick'}),
    svg('text', {x: x(ms), y: H - bottom + 20, class: 'axis', 'text-anchor': 'middle'}, timeText(ms, i))));
  chart.append(svg('line', {x1: left, x2: W - right, y1: H - bottom, y2: H - bottom, class: 'baseline'}));

  series.forEach((s, n) => {
    let d = '';
    let open = false;
    let lastY = top + plotH;
    const marks = [];
    for (const point of s.history) {
      const at = Date.parse(point.at);
      if (!Number.isFinite(at)) continue;
      if (point.price === null) {
        if (open) d += ` H${x(at).toFixed(1)}`;
        open = false;
        marks.push(svg('circle', {cx: x(at), cy: lastY, r: 4, class: `gone series-${n % 6}`},
          svg('title', {}, t('prices.goneTip', {device: s.device, when: formatWhen(point.at)}))));
        continue;
      }
      const py = y(number(point.price)).toFixed(1);
      d += open ? ` H${x(at).toFixed(1)} V${py}` : ` M${x(at).toFixed(1)} ${py}`;
      open = true;
      lastY = py;
      marks.push(svg('circle', {cx: x(at), cy: py, r: 3.5, class: `point series-${n % 6}`},
        svg('title', {}, t('prices.pointTip', {device: s.device, price: formatMoney(point.price),
          when: formatWhen(point.at)}))));
    }
    if (open) d += ` H${x(end).toFixed(1)}`;
    if (d) {
      chart.append(svg('path', {d: d.trim(), class: `step series-${n % 6}`, 'data-device': s.device}));
    }
    chart.append(...marks);
  });
  return chart;
}
