// Building a page from data, for the shop's page and head office's alike (head office's
// program builds this file in from here). Names and texts come from price list files, devices
// and shops, so nothing here parses HTML: every string becomes a text node or an attribute
// value.

const SVG_NS = 'http://www.w3.org/2000/svg';

function fill(node, attrs, children) {
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key.startsWith('on') && typeof value === 'function') {
      node.addEventListener(key.slice(2), value);
    } else if (key === 'dataset') {
      Object.assign(node.dataset, value);
    } else if (key === 'style') {
      // Through the object model: the service's content policy refuses style attributes.
      node.style.cssText = String(value);
    } else {
      node.setAttribute(key, value === true ? '' : String(value));
    }
  }
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

// h('td', {class: 'num'}, '4.50') makes <td class="num">4.50</td>.
export function h(tag, attrs, ...children) {
  return fill(document.createElement(tag), attrs, children);
}

export function svg(tag, attrs, ...children) {
  return fill(document.createElementNS(SVG_NS, tag), attrs, children);
}

export function $(selector) {
  return document.querySelector(selector);
}

export function clear(node, ...children) {
  node.replaceChildren();
  return fill(node, {}, children);
}

// A table from column definitions: [{title, value: row => text|Node, num: bool, class}];
// `rowAttrs(row)` gives each body row its attributes (data-* for telling rows apart).
export function table(columns, rows, attrs = {}, rowAttrs = () => ({}), foot = null) {
  const cls = c => [c.num ? 'num' : '', c.class || ''].join(' ').trim() || null;
  return h('table', attrs,
    h('thead', {}, h('tr', {}, columns.map(c => h('th', {class: cls(c), scope: 'col'}, c.title)))),
    h('tbody', {}, rows.map(row =>
      h('tr', rowAttrs(row), columns.map(c => h('td', {class: cls(c)}, c.value(row)))))),
    foot ? h('tfoot', {}, h('tr', {}, columns.map(c => h('td', {class: cls(c)}, c.foot ?? '')))) : null);
}

// Local date and time of an ISO 8601 instant, as staff read it; `timeStyle` 'short' leaves
// out the seconds.
export function when(iso, timeStyle = 'medium') {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return String(iso);
  return d.toLocaleString('pl-PL', {dateStyle: 'short', timeStyle});
}

// How long ago an instant was, roughly: "3 h 20 min", "2 days".
export function ago(iso, now = Date.now()) {
  const t = Date.parse(iso || '');
  if (Number.isNaN(t)) return '';
  const minutes = Math.max(0, Math.floor((now - t) / 60000));
  if (minutes < 1) return 'under a minute';
  if (minutes < 60) return `${minutes} min`;
  const hours = Math.floor(minutes / 60);
  if (hours < 48) return `${hours} h${minutes % 60 ? ` ${minutes % 60} min` : ''}`;
  return `${Math.floor(hours / 24)} days`;
}

// Amounts arrive as text ("345.60"); they are shown with a decimal comma and never summed as
// floats that would drift.
export function amount(text) {
  if (text === null || text === undefined || text === '') return '';
  return String(text).replace('.', ',');
}

// The exact sum of decimal texts ("12.30", "-0.5", "7") with at least `places` decimals, as
// text with a point. BigInt keeps a chain's turnover over months exact to the grosz.
export function sumDecimals(texts, places) {
  const parsed = texts.map(t => /^\s*([+-]?)(\d*)(?:[.,](\d*))?\s*$/.exec(String(t ?? '')))
    .filter(m => m && (m[2] || m[3]));
  const scale = Math.max(places, ...parsed.map(m => (m[3] || '').length));
  let total = 0n;
  for (const [, sign, whole, frac = ''] of parsed) {
    const n = BigInt((whole || '0') + frac.padEnd(scale, '0'));
    total += sign === '-' ? -n : n;
  }
  const negative = total < 0n;
  const digits = (negative ? -total : total).toString().padStart(scale + 1, '0');
  const text = scale ? `${digits.slice(0, -scale)}.${digits.slice(-scale)}` : digits;
  return negative ? `-${text}` : text;
}

// A decimal text as a number, for drawing only.
export function number(text) {
  const n = Number.parseFloat(String(text ?? '0').replace(',', '.'));
  return Number.isFinite(n) ? n : 0;
}

export function badge(text, kind) {
  return h('span', {class: `badge badge-${kind || text}`}, text);
}

// A local calendar date as business days are written, and days counted from it. Dates are
// stepped in UTC arithmetic: local arithmetic would skip or repeat a day where clocks change.
export function isoDay(date) {
  const pad = n => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

const DAY_MS = 86400000;

export function addDays(day, n) {
  return new Date(Date.parse(`${day}T00:00:00Z`) + n * DAY_MS).toISOString().slice(0, 10);
}

export function isDay(text) {
  return /^\d{4}-\d{2}-\d{2}$/.test(text || '') && !Number.isNaN(Date.parse(`${text}T00:00:00Z`));
}

export function dayList(from, to) {
  const days = [];
  for (let day = from; day <= to && days.length < 1000; day = addDays(day, 1)) days.push(day);
  return days;
}

// A step for a chart's axis: 1, 2, 2.5 or 5 times a power of ten, about `ticks` to the span.
export function niceStep(span, ticks) {
  const raw = span / ticks;
  const power = 10 ** Math.floor(Math.log10(raw));
  for (const m of [1, 2, 2.5, 5, 10]) {
    if (raw <= m * power) return m * power;
  }
  return 10 * power;
}

// A message at the top of the page (#message). Errors stay until closed; other news fades.
let fadeTimer = null;
export function say(text, kind = 'info') {
  const box = $('#message');
  clearTimeout(fadeTimer);
  clear(box,
    h('span', {class: 'message-text'}, text),
    h('button', {type: 'button', class: 'link', 'aria-label': 'Close message', onclick: () => {
      box.hidden = true;
    }}, '×'));
  box.className = `message message-${kind}`;
  box.setAttribute('role', kind === 'error' ? 'alert' : 'status');
  box.hidden = false;
  if (kind !== 'error' && kind !== 'warning') fadeTimer = setTimeout(() => { box.hidden = true; }, 8000);
}

export function sayError(error, what) {
  const status = error && error.status ? ` (${error.status})` : '';
  say(`${what}: ${error && error.message ? error.message : error}${status}`, 'error');
}

export function unsay() {
  clearTimeout(fadeTimer);
  $('#message').hidden = true;
}
