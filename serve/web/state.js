// What the parts of the page share: the devices, the token's role, messages to staff, and a
// small publish/subscribe so that a job event updates every view that shows the job.

import {$, h, clear} from './dom.js';

export const state = {
  devices: new Map(),   // name -> device, as GET /api/devices and `device` events give them
  readOnly: false,      // a read token: nothing that changes a device is offered
};

const listeners = new Map();

export function on(topic, fn) {
  if (!listeners.has(topic)) listeners.set(topic, []);
  listeners.get(topic).push(fn);
}

export function emit(topic, value) {
  for (const fn of listeners.get(topic) || []) {
    try {
      fn(value);
    } catch (error) {
      console.error(error);
    }
  }
}

// A message at the top of the page. Errors stay until closed; other news fades.
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

export const ENDED = new Set(['done', 'failed', 'interrupted', 'cancelled']);

export function jobLabel(kind) {
  return {
    'upload': 'Upload', 'sync': 'Sync', 'verify': 'Verify', 'download': 'Download',
    'delete': 'Delete', 'zero-counters': 'Zero counters', 'close-day': 'Close of day',
    'scan': 'Scan',
  }[kind] || kind;
}

// A local calendar date as the service writes business days.
export function isoDay(date) {
  const pad = n => String(n).padStart(2, '0');
  return `${date.getFullYear()}-${pad(date.getMonth() + 1)}-${pad(date.getDate())}`;
}

// Every element that changes a device carries data-operate; a read token hides them.
export function applyRole() {
  document.body.classList.toggle('read-only', state.readOnly);
  for (const el of document.querySelectorAll('[data-operate]')) {
    el.disabled = state.readOnly;
  }
  const role = $('#role');
  role.hidden = false;
  role.textContent = state.readOnly ? 'read only' : 'operate';
  role.className = `badge ${state.readOnly ? 'badge-warning' : 'badge-idle'}`;
}
