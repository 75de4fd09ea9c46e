// The devices: their state, last job and last close of day, and the choice of where a price
// list or a close of day goes.

import {$, h, clear, badge, when} from './dom.js';
import {get} from './api.js';
import {state, emit, sayError, ENDED} from './state.js';
import {jobLine} from './jobs.js';

export async function loadDevices() {
  const [answer, health] = await Promise.all([get('/api/devices'), get('/api/health')]);
  state.devices = new Map((answer.devices || []).map(d => [d.name, d]));
  renderHeadOffice(health.head_office);
  renderDevices();
  namesChanged();
}

// The link to head office, for a shop of a chain: connected or why not, and the days waiting.
function renderHeadOffice(office) {
  let line = $('#head-office');
  if (!office) {
    if (line) line.hidden = true;
    return;
  }
  if (!line) {
    line = h('p', {id: 'head-office', class: 'muted'});
    $('#devices').before(line);
  }
  line.hidden = false;
  const oldest = (office.waiting_for_receipt || []).map(w => w.since).filter(Boolean).sort()[0];
  let waiting = `${office.outbox} day report(s) waiting for head office's receipt` +
    (oldest ? ` (since ${new Date(oldest).toLocaleString()})` : '');
  if (office.last_refused) waiting += ` · refused by head office: ${office.last_refused}`;
  clear(line, office.connected
    ? `Head office (${office.store} at ${office.broker}): connected · ${waiting}`
    : `Head office (${office.store} at ${office.broker}): not connected, ${office.problem} · ${waiting}`);
}

// The selects of targets are rebuilt only when devices or groups come or go: rebuilding them on
// every progress event would close a list that staff have open.
let namesKey = '';
function namesChanged() {
  const key = JSON.stringify([...state.devices.values()].map(d => [d.name, d.group]).sort());
  if (key === namesKey) return;
  namesKey = key;
  renderTargets();
  emit('devices', state.devices);
}

export function deviceEvent(device) {
  if (!device || !device.name) return;
  const known = state.devices.get(device.name);
  // A device event may come before the job event that changed it, or after: the newer job wins.
  if (known && known.last_job && device.last_job && device.last_job.id < known.last_job.id) {
    device = {...device, last_job: known.last_job};
  }
  state.devices.set(device.name, device);
  renderDevices();
  namesChanged();
}

// A job event says how the device's last job goes before the device event does.
export function jobEvent(job) {
  const device = state.devices.get(job.device);
  if (!device) return;
  const last = device.last_job;
  if (last && last.id > job.id) return;
  device.last_job = job;
  if (!ENDED.has(job.state)) device.state = device.state === 'unreachable' ? 'unreachable' : 'busy';
  renderDevices();
}

const RESET_TEXT = {
  confirmed: 'counters zeroed',
  unconfirmed: 'reset unconfirmed',
  pending: 'reset pending',
  not_sent: 'reset not sent',
};

function lastClose(close) {
  if (!close) return h('span', {class: 'muted'}, 'no close of day yet');
  const warn = close.reset === 'unconfirmed';
  return h('span', {class: 'last-close'},
    h('span', {}, close.business_day || ''), ' ',
    h('small', {class: 'muted'}, when(close.closed_at)), ' ',
    h('span', {class: `badge badge-reset-${close.reset}`, 'data-test': 'reset',
      title: warn ? 'The device took the reset but its answer never came: the counters may or ' +
        'may not be zeroed. The next close of day will tell.' : null},
    warn ? '⚠ ' : '', RESET_TEXT[close.reset] || close.reset || ''));
}

function renderDevices() {
  const list = $('#devices');
  const devices = [...state.devices.values()].sort((a, b) => a.name.localeCompare(b.name, 'pl'));
  if (devices.length === 0) {
    clear(list, h('p', {class: 'muted'}, 'The service has no devices.'));
    return;
  }
  clear(list, devices.map(d => h('article', {
    class: `device device-${d.state}`, 'data-test': 'device', 'data-device': d.name,
    'data-state': d.state,
  },
  h('header', {},
    h('h3', {}, d.name),
    badge(d.state, d.state)),
  h('dl', {},
    h('dt', {}, 'Line'), h('dd', {}, `${d.line || ''} · no. ${d.number ?? ''} · ${d.baud ?? ''} Bd`),
    d.group ? [h('dt', {}, 'Group'), h('dd', {}, d.group)] : null,
    h('dt', {}, 'Articles'), h('dd', {}, d.articles_known ?? '—'),
    d.price_list ? [h('dt', {}, 'Price list'),
      h('dd', {}, `version ${d.price_list.version} from head office`)] : null,
    h('dt', {}, 'Last job'),
    h('dd', {class: 'last-job', 'data-test': 'last-job'},
      d.last_job ? [...jobLine(d.last_job), h('small', {class: 'muted'},
        when(d.last_job.finished || d.last_job.started || d.last_job.created))] :
        h('span', {class: 'muted'}, 'none')),
    h('dt', {}, 'Close of day'),
    h('dd', {}, lastClose(d.last_close_day))),
  h('div', {class: 'actions'},
    h('button', {type: 'button', class: 'close-day-one', 'data-operate': true,
      'data-device': d.name, disabled: state.readOnly}, 'Close day')))));
}

// The targets: all devices, each group, each device. The choice survives a reload.
function renderTargets() {
  for (const select of document.querySelectorAll('select[data-targets]')) {
    const chosen = select.value;
    const groups = [...new Set([...state.devices.values()].map(d => d.group).filter(Boolean))].sort();
    const names = [...state.devices.keys()].sort((a, b) => a.localeCompare(b, 'pl'));
    clear(select,
      h('option', {value: 'group:all'}, `All devices (${state.devices.size})`),
      groups.length ? h('optgroup', {label: 'Groups'}, groups.map(g => h('option', {value: `group:${g}`},
        `Group ${g} (${[...state.devices.values()].filter(d => d.group === g).length})`))) : null,
      h('optgroup', {label: 'Devices'}, names.map(n => h('option', {value: `device:${n}`}, n))));
    if ([...select.options].some(o => o.value === chosen)) select.value = chosen;
  }
}

// The path of a POST to a target chosen in a select: /api/groups/all/sync, /api/devices/x/sync.
export function targetPath(value, action) {
  const [kind, ...rest] = value.split(':');
  const name = encodeURIComponent(rest.join(':'));
  return kind === 'device' ? `/api/devices/${name}/${action}` : `/api/groups/${name}/${action}`;
}

export function targetText(value) {
  const [kind, ...rest] = value.split(':');
  const name = rest.join(':');
  if (kind === 'group' && name === 'all') return 'all devices';
  return kind === 'group' ? `group ${name}` : name;
}

export function targetDevices(value) {
  const [kind, ...rest] = value.split(':');
  const name = rest.join(':');
  const all = [...state.devices.values()];
  if (kind === 'device') return all.filter(d => d.name === name);
  return name === 'all' ? all : all.filter(d => d.group === name);
}

export async function refreshDevices() {
  try {
    await loadDevices();
  } catch (error) {
    if (error.status !== 401) sayError(error, 'The devices could not be read');
  }
}
