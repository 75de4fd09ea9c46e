// What the parts of the page share: the devices, the token's role, messages to staff, and a
// small publish/subscribe so that a job event updates every view that shows the job.

import {$, h, clear} from './dom.js';
import {t} from './i18n.js';

export const state = {
  devices: new Map(),   // name -> device, as GET /api/devices and `device` events give them
  readOnly: false,      // a read token: nothing that changes a device is offered
  signedIn: false,
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

export {isoDay} from './dom.js';

export const ENDED = new Set(['done', 'failed', 'interrupted', 'cancelled']);

// A message at the top of the page (#message). Errors and warnings stay until closed; other
// news fades. The message is kept as a key and its values, so that a change of language
// words it again.
let fadeTimer = null;
let shown = null;

function drawMessage() {
  const box = $('#message');
  if (!shown) return;
  const {key, params, kind} = shown;
  clear(box,
    h('span', {class: 'message-text'}, typeof key === 'function' ? key() : t(key, params)),
    h('button', {type: 'button', class: 'link', 'aria-label': t('message.close'), onclick: unsay}, '×'));
  box.className = `message message-${kind}`;
  box.setAttribute('role', kind === 'error' ? 'alert' : 'status');
}

export function say(key, params = {}, kind = 'info') {
  clearTimeout(fadeTimer);
  shown = {key, params, kind};
  drawMessage();
  $('#message').hidden = false;
  if (kind !== 'error' && kind !== 'warning') fadeTimer = setTimeout(unsay, 8000);
}

// `what` is the key of a sentence that says what could not be done.
export function sayError(error, what) {
  const message = error && error.message ? error.message : String(error);
  say(() => {
    const status = error && error.status;
    return status ? t('error.withStatus', {what: t(what), error: message, status}) :
      t('error.plain', {what: t(what), error: message});
  }, {}, 'error');
}

export function unsay() {
  clearTimeout(fadeTimer);
  shown = null;
  $('#message').hidden = true;
}

export function redrawMessage() {
  if (shown) drawMessage();
}

// Every element that changes a device carries data-operate; a read token hides them.
export function applyRole() {
  document.body.classList.toggle('read-only', state.readOnly);
  for (const el of document.querySelectorAll('[data-operate]')) {
    el.disabled = state.readOnly;
  }
  const role = $('#role');
  role.hidden = false;
  role.dataset.role = state.readOnly ? 'read' : 'operate';
  role.textContent = t(state.readOnly ? 'role.read' : 'role.operate');
  role.className = `badge ${state.readOnly ? 'badge-warning' : 'badge-idle'}`;
}
