// The devices: their state, last job, the failures still open on them and the last close of
// day, and the choice of where a price list or a close of day goes.

import {$, h, clear} from './dom.js';
import {get} from './api.js';
import {state, emit, sayError, ENDED} from './state.js';
import {t, formatWhen, formatDay, formatInteger, onLanguage} from './i18n.js';
import {jobLine, stateBadge} from './jobs.js';
import {deviceStateLabel, isPreview, kindLabel, outcomeNode} from './wording.js';

let office = null;

export async function loadDevices() {
  const [answer, health] = await Promise.all([get('/api/devices'), get('/api/health')]);
  state.devices = new Map((answer.devices || []).map(d => [d.name, d]));
  office = health.head_office || null;
  renderHeadOffice();
  renderDevices();
  namesChanged();
}

// The link to head office, for a shop of a chain: connected or why not, and the days waiting.
function renderHeadOffice() {
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
  const parts = [
    t(office.connected ? 'office.connected' : 'office.disconnected',
      {store: office.store, broker: office.broker, problem: office.problem || ''}),
    t('office.waiting', {n: Number(office.outbox) || 0}) +
      (oldest ? ` ${t('office.since', {when: formatWhen(oldest)})}` : ''),
  ];
  if (office.last_refused) parts.push(t('office.refused', {why: office.last_refused}));
  clear(line, parts.join(' · '));
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

// A job event says how the device's last job goes before the device event does. A preview
// changed nothing on the device and is not its last job.
export function jobEvent(job) {
  const device = state.devices.get(job.device);
  if (!device) return;
  if (!ENDED.has(job.state) && device.state !== 'unreachable') device.state = 'busy';
  const last = device.last_job;
  if (!isPreview(job) && !(last && last.id > job.id)) device.last_job = job;
  renderDevices();
}

function resetBadge(reset) {
  const key = `reset.${reset}`;
  return h('span', {class: `badge badge-reset-${reset}`, 'data-test': 'reset', 'data-reset': reset,
    title: reset === 'unconfirmed' ? t('reset.unconfirmedTitle') : null},
  ['confirmed', 'unconfirmed', 'pending', 'not_sent'].includes(reset) ? t(key) : String(reset || ''));
}

function lastClose(close) {
  if (!close) return h('span', {class: 'muted'}, t('device.noClose'));
  return h('span', {class: 'last-close'},
    h('span', {}, formatDay(close.business_day)), ' ',
    h('small', {class: 'muted'}, formatWhen(close.closed_at)), ' ',
    resetBadge(close.reset));
}

// Failed or interrupted jobs stay on the card until a later job of their kind succeeds.
function failures(d) {
  const list = d.failed_jobs || [];
  if (list.length === 0) return null;
  return h('div', {class: 'attention', 'data-test': 'failed-jobs'},
    h('strong', {}, t('device.attention')),
    h('ul', {}, list.map(job => h('li', {'data-test': 'failed-job', 'data-id': job.id,
      'data-kind': job.kind, 'data-state': job.state},
    h('span', {class: 'attention-head'}, kindLabel(job), ' · ',
      h('small', {class: 'muted'}, formatWhen(job.finished || job.started || job.created))),
    outcomeNode(job)))));
}

function lastJobNodes(d) {
  const job = d.last_job;
  if (!job) return h('span', {class: 'muted'}, t('device.noJob'));
  const at = h('small', {class: 'muted'}, formatWhen(job.finished || job.started || job.created));
  // A last job that is still an open failure is worded once, under "needs attention".
  const open = (d.failed_jobs || []).some(j => j.id === job.id);
  return open ? [h('span', {class: 'job-kind'}, kindLabel(job)), stateBadge(job), at] :
    [...jobLine(job), at];
}

function deviceCard(d) {
  const st = ['idle', 'busy', 'unreachable'].includes(d.state) ? d.state : 'unknown';
  return h('article', {
    class: `device device-${st}`, 'data-test': 'device', 'data-device': d.name, 'data-state': st,
  },
  h('header', {},
    h('h3', {}, d.name),
    h('span', {class: `badge badge-${st}`, 'data-test': 'device-state'}, deviceStateLabel(st))),
  st === 'unreachable' ? h('p', {class: 'error-text'}, t('device.unreachableHint', {device: d.name})) : null,
  h('dl', {},
    h('dt', {}, t('device.line')),
    h('dd', {}, t('device.lineValue', {line: d.line || '', number: d.number ?? '', baud: d.baud ?? ''})),
    d.group ? [h('dt', {}, t('device.group')), h('dd', {}, d.group)] : null,
    h('dt', {}, t('device.articles')),
    h('dd', {}, d.articles_known === null || d.articles_known === undefined ? t('device.unknownCount') :
      formatInteger(d.articles_known)),
    d.price_list ? [h('dt', {}, t('device.priceList')),
      h('dd', {}, t('device.priceListValue', {version: d.price_list.version}))] : null,
    h('dt', {}, t('device.lastJob')),
    h('dd', {class: 'last-job', 'data-test': 'last-job', 'data-kind': d.last_job?.kind ?? '',
      'data-state': d.last_job?.state ?? '', 'data-id': d.last_job?.id ?? ''}, lastJobNodes(d)),
    h('dt', {}, t('device.lastClose')),
    h('dd', {}, lastClose(d.last_close_day))),
  failures(d),
  h('div', {class: 'actions'},
    h('button', {type: 'button', class: 'close-day-one', 'data-operate': true,
      'data-device': d.name, disabled: state.readOnly}, t('device.closeDay'))));
}

function renderDevices() {
  const list = $('#devices');
  const devices = [...state.devices.values()].sort((a, b) => a.name.localeCompare(b.name, 'pl'));
  if (devices.length === 0) {
    clear(list, h('p', {class: 'muted'}, t('devices.none')));
    return;
  }
  clear(list, devices.map(deviceCard));
}

// The targets: all devices, each group, each device. The choice survives a redraw.
function renderTargets() {
  for (const select of document.querySelectorAll('select[data-targets]')) {
    const chosen = select.value;
    const all = [...state.devices.values()];
    const groups = [...new Set(all.map(d => d.group).filter(Boolean))].sort();
    const names = [...state.devices.keys()].sort((a, b) => a.localeCompare(b, 'pl'));
    clear(select,
      h('option', {value: 'group:all'}, t('target.all', {n: state.devices.size})),
      groups.length ? h('optgroup', {label: t('target.groups')}, groups.map(g => h('option',
        {value: `group:${g}`}, t('target.group', {group: g, n: all.filter(d => d.group === g).length})))) : null,
      h('optgroup', {label: t('target.devices')}, names.map(n => h('option', {value: `device:${n}`}, n))));
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
  if (kind === 'group' && name === 'all') return t('target.allText');
  return kind === 'group' ? t('target.groupText', {group: name}) : name;
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
    if (error.status !== 401) sayError(error, 'devices.loadFailed');
  }
}

onLanguage(() => {
  renderHeadOffice();
  renderDevices();
  renderTargets();
});
