// Every job of every device, as the job log keeps them: who started it, when, how long it
// took, what it counted and how it ended. Filtered by device, state, day and starter; kept up
// to date as jobs end.

import {$, h, clear, table} from './dom.js';
import {get} from './api.js';
import {state, sayError, ENDED} from './state.js';
import {t, formatWhen, onLanguage} from './i18n.js';
import {kindLabel, byLabel, countsText, outcomeNode, tookText} from './wording.js';
import {stateBadge} from './jobs.js';

const STEP = 50;
let limit = STEP;
let jobs = [];
let loads = 0;
const starters = new Set();   // every `by` seen, for the filter's list

function query() {
  const q = new URLSearchParams();
  const device = $('#history-device').value;
  const jobState = $('#history-state').value;
  const day = $('#history-day').value;
  const by = $('#history-by').value;
  if (device) q.set('device', device);
  if (jobState) q.set('state', jobState);
  if (day) {
    // The day as the shop lives it: from its local midnight to the next, in UTC for the service.
    const start = new Date(`${day}T00:00:00`);
    const end = new Date(start);
    end.setDate(end.getDate() + 1);
    q.set('since', start.toISOString().replace(/\.\d{3}Z$/, 'Z'));
    q.set('until', new Date(end.getTime() - 1000).toISOString().replace(/\.\d{3}Z$/, 'Z'));
  }
  if (by) q.set('by', by);
  // One more than shown tells whether there are more.
  q.set('limit', String(limit + 1));
  return q;
}

let pending = null;
export async function loadHistory() {
  const mine = ++loads;
  try {
    const answer = await get(`/api/jobs?${query()}`);
    if (mine !== loads) return;   // a later filter's answer is on its way
    jobs = answer.jobs || [];
    for (const job of jobs) if (job.by) starters.add(job.by);
    render();
  } catch (error) {
    if (mine === loads && error.status !== 401) sayError(error, 'history.failed');
  }
}

// Ended jobs change the history; they are read again together, a moment after the last one.
const heardOf = new Set();
export function historyJobEvent(job) {
  if (!ENDED.has(job.state) && heardOf.has(job.id)) return;
  heardOf.add(job.id);
  clearTimeout(pending);
  pending = setTimeout(loadHistory, 500);
}

function render() {
  const box = $('#history');
  const shown = jobs.slice(0, limit);
  renderStarters();
  if (shown.length === 0) {
    clear(box, h('p', {class: 'muted', 'data-test': 'history-empty'}, t('history.none')));
  } else {
    clear(box, h('div', {class: 'scroll'}, table([
      {title: t('history.col.id'), value: j => j.id, num: true, class: 'wide-only'},
      {title: t('history.col.device'), value: j => h('strong', {}, j.device)},
      {title: t('history.col.kind'), value: kindLabel},
      {title: t('history.col.state'), value: stateBadge},
      {title: t('history.col.by'), value: j => byLabel(j.by)},
      {title: t('history.col.started'), value: j => formatWhen(j.started || j.created), class: 'nowrap'},
      {title: t('history.col.took'), value: j => tookText(j), num: true, class: 'nowrap'},
      {title: t('history.col.outcome'), value: j => [
        h('div', {class: 'counts'}, countsText(j)),
        j.state === 'done' ? null : outcomeNode(j)], class: 'outcome-cell'},
    ], shown, {class: 'history', id: 'history-table'},
    j => ({'data-test': 'history-job', 'data-id': j.id, 'data-device': j.device, 'data-kind': j.kind,
      'data-state': j.state, 'data-preview': j.preview ? '1' : ''}))));
  }
  $('#history-count').textContent = shown.length ? t('history.shown', {n: shown.length}) : '';
  $('#history-more').hidden = jobs.length <= limit;
  // A test or a person waiting for the list knows when it is drawn from a fresh answer.
  box.dataset.loaded = String(loads);
  document.body.dataset.history = String(loads);
}

function renderStarters() {
  const select = $('#history-by');
  const chosen = select.value;
  const names = [...starters].sort();
  clear(select, h('option', {value: ''}, t('history.anyone')),
    names.map(n => h('option', {value: n}, byLabel(n))));
  select.value = names.includes(chosen) ? chosen : '';
}

export function renderHistoryDevices() {
  const select = $('#history-device');
  const chosen = select.value;
  clear(select, h('option', {value: ''}, t('history.all')),
    [...state.devices.keys()].sort().map(n => h('option', {value: n}, n)));
  select.value = [...select.options].some(o => o.value === chosen) ? chosen : '';
}

export function setupHistory() {
  const again = () => {
    limit = STEP;
    loadHistory();
  };
  for (const id of ['#history-device', '#history-state', '#history-day', '#history-by']) {
    $(id).addEventListener('change', again);
  }
  // The form's reset clears the fields first; the list is read once they are clear.
  $('#history-filters').addEventListener('reset', () => setTimeout(again, 0));
  $('#history-filters').addEventListener('submit', e => e.preventDefault());
  $('#history-more').addEventListener('click', () => {
    limit += STEP;
    loadHistory();
  });
  onLanguage(() => {
    renderHistoryDevices();
    render();
  });
}
