// What the parts of the page share: the devices, the token's role, messages to staff, and a
// small publish/subscribe so that a job event updates every view that shows the job.

import {$} from './dom.js';

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

// Messages to the reader, as both pages give them.
export {say, sayError, isoDay} from './dom.js';

export const ENDED = new Set(['done', 'failed', 'interrupted', 'cancelled']);

export function jobLabel(kind) {
  return {
    'upload': 'Upload', 'sync': 'Sync', 'verify': 'Verify', 'download': 'Download',
    'delete': 'Delete', 'zero-counters': 'Zero counters', 'close-day': 'Close of day',
    'scan': 'Scan',
  }[kind] || kind;
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
