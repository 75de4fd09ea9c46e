// Building the page from data. Names and texts come from price list files and from devices,
// so nothing here parses HTML: every string becomes a text node or an attribute value.

const SVG_NS = 'http://www.w3.org/2000/svg';

function fill(node, attrs, children) {
  for (const [key, value] of Object.entries(attrs || {})) {
    if (value === null || value === undefined || value === false) continue;
    if (key.startsWith('on') && typeof value === 'function') {
      node.addEventListener(key.slice(2), value);
    } else if (key === 'dataset') {
      Object.assign(node.dataset, value);
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

// A table from column definitions: [{title, value: row => text|Node, num: bool, class}].
export function table(columns, rows, attrs = {}) {
  const cls = c => [c.num ? 'num' : '', c.class || ''].join(' ').trim() || null;
  return h('table', attrs,
    h('thead', {}, h('tr', {}, columns.map(c => h('th', {class: cls(c)}, c.title)))),
    h('tbody', {}, rows.map(row =>
      h('tr', {}, columns.map(c => h('td', {class: cls(c)}, c.value(row)))))));
}

// Local date and time of an ISO 8601 instant, as staff read it.
export function when(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return String(iso);
  return d.toLocaleString('pl-PL', {dateStyle: 'short', timeStyle: 'medium'});
}

// Amounts arrive as text ("345.60"); they are shown with a decimal comma and never summed as
// floats that would drift.
export function amount(text) {
  if (text === null || text === undefined || text === '') return '';
  return String(text).replace('.', ',');
}

export function badge(text, kind) {
  return h('span', {class: `badge badge-${kind || text}`}, text);
}
