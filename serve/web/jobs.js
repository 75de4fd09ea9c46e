// The jobs this page started: kept up to date from the event stream (and, while the stream is
// down, by asking for them), shown with their progress, and awaited where a result is needed.

import {$, h, clear} from './dom.js';
import {get} from './api.js';
import {ENDED, emit} from './state.js';
import {t, formatWhen, onLanguage} from './i18n.js';
import {kindLabel, jobStateLabel, countsText, outcomeNode} from './wording.js';

const jobs = new Map();        // id -> latest job seen, from any source
const waiters = new Map();     // id -> [resolve]
const batches = [];            // [{title: [key, params], ids, at}] newest first
let live = false;

// A job's newer copy replaces the older one; an ended job is never replaced by a copy that
// says it still runs (a slow answer to a poll can arrive after the stream's last event).
export function update(job) {
  if (!job || job.id === undefined) return;
  const known = jobs.get(job.id);
  if (known && ENDED.has(known.state) && !ENDED.has(job.state)) return;
  jobs.set(job.id, job);
  emit('job', job);
  if (ENDED.has(job.state)) {
    for (const resolve of waiters.get(job.id) || []) resolve(job);
    waiters.delete(job.id);
  }
  if (batches.some(b => b.ids.includes(job.id))) render();
}

export function waitFor(id) {
  const known = jobs.get(id);
  if (known && ENDED.has(known.state)) return Promise.resolve(known);
  return new Promise(resolve => {
    if (!waiters.has(id)) waiters.set(id, []);
    waiters.get(id).push(resolve);
  });
}

// The answer of a POST that makes jobs: one job, or {"jobs": [...]} for a group.
export function jobsOf(answer) {
  if (!answer) return [];
  return Array.isArray(answer.jobs) ? answer.jobs : [answer];
}

// `title` is a catalogue key and its values.
export function follow(title, list) {
  for (const job of list) {
    // The stream may have told of the job before the POST's answer came back.
    if (!jobs.has(job.id)) update(job);
  }
  batches.unshift({title, ids: list.map(j => j.id), at: new Date()});
  batches.length = Math.min(batches.length, 6);
  render();
  return list.map(j => jobs.get(j.id) || j);
}

export function setLive(value) {
  live = value;
  if (timer !== null) schedule();
  if (value) refreshUnfinished();
}

// Unfinished jobs are asked for now and then: an event missed while the stream was being
// opened again must not leave a job shown as running forever.
async function refreshUnfinished() {
  const open = [...jobs.values()].filter(j => !ENDED.has(j.state) && (waiters.has(j.id) ||
    batches.some(b => b.ids.includes(j.id))));
  for (const job of open) {
    try {
      update(await get(`/api/jobs/${encodeURIComponent(job.id)}`));
    } catch (_) {
      // The next round tries again; a 401 has already sent staff to the token form.
    }
  }
}

let timer = null;
function schedule() {
  clearInterval(timer);
  timer = setInterval(refreshUnfinished, live ? 5000 : 2000);
}

export function startPolling() {
  schedule();
  render();
}

export function stopPolling() {
  clearInterval(timer);
  timer = null;
  jobs.clear();
  waiters.clear();
  batches.length = 0;
  render();
}

export function progressBar(job) {
  const p = job.progress || {};
  const total = Number(p.total);
  const done = Number(p.done) || 0;
  if (job.state === 'done') return h('progress', {max: 1, value: 1});
  if (!(total > 0)) {
    // An unknown total (a download) or a queued job: an indeterminate bar while it runs.
    return job.state === 'running' ? h('progress', {}) : h('progress', {max: 1, value: 0});
  }
  return h('progress', {max: total, value: Math.min(done, total)});
}

export function stateBadge(job) {
  return h('span', {class: `badge badge-${job.state}`, 'data-test': 'job-state',
    'data-state': job.state}, jobStateLabel(job.state));
}

// A job in one line: its kind, state, progress and counts; how it ended when it did not go well.
export function jobLine(job) {
  const p = job.progress || {};
  const steps = Number(p.total) > 0 ? `${p.done}/${p.total}` : '';
  const counts = countsText(job);
  return [
    h('span', {class: 'job-kind'}, kindLabel(job)),
    stateBadge(job),
    h('span', {class: 'job-steps num'}, steps),
    ENDED.has(job.state) ? null : progressBar(job),
    h('span', {class: 'job-detail'}, counts),
    job.state !== 'done' && ENDED.has(job.state) ? outcomeNode(job) : null,
  ];
}

function render() {
  const box = $('#progress');
  if (!box) return;
  if (batches.length === 0) {
    clear(box, h('p', {class: 'muted'}, t('jobs.empty')));
    return;
  }
  clear(box, batches.map(batch => h('div', {class: 'batch'},
    h('h3', {}, t(...batch.title), ' ', h('small', {class: 'muted'}, formatWhen(batch.at, true))),
    h('ul', {class: 'jobs'}, batch.ids.map(id => {
      const job = jobs.get(id);
      return h('li', {class: 'job', 'data-test': 'job', 'data-id': id, 'data-device': job.device,
        'data-kind': job.kind, 'data-state': job.state},
        h('strong', {class: 'job-device'}, job.device), ...jobLine(job));
    })))));
}

onLanguage(render);
