// A price list file: checked as soon as it is chosen, previewed as the changes a sync would
// make, then sent to a device, a group or every device.

import {$, h, clear, table, amount} from './dom.js';
import {get, post, priceListBody, ApiError} from './api.js';
import {state, say, sayError} from './state.js';
import {follow, jobsOf, waitFor} from './jobs.js';
import {targetPath, targetText} from './devices.js';

function chosenFile() {
  const input = $('#file');
  return input.files && input.files[0] ? input.files[0] : null;
}

// A button that cannot be pressed twice while its work is under way.
export async function busy(button, work) {
  if (button.dataset.busy) return;
  button.dataset.busy = '1';
  button.disabled = true;
  button.classList.add('working');
  try {
    await work();
  } finally {
    delete button.dataset.busy;
    button.classList.remove('working');
    button.disabled = button.hasAttribute('data-operate') && state.readOnly;
    updateButtons();
  }
}

function updateButtons() {
  const none = !chosenFile();
  for (const id of ['#check', '#preview', '#send']) {
    const button = $(id);
    if (!button.dataset.busy) button.disabled = none || (button.hasAttribute('data-operate') && state.readOnly);
  }
}

function showFaults(faults, title) {
  const box = $('#check-result');
  clear(box,
    h('p', {class: 'fault-title'}, title),
    table([
      {title: 'Row', value: f => f.row ?? '', num: true},
      {title: 'Column', value: f => f.column ?? ''},
      {title: 'Fault', value: f => f.reason ?? f.message ?? ''},
    ], faults, {id: 'faults', class: 'faults'}));
}

// 422 means the file has faults and nothing was queued: the rows are what staff must fix.
function faultsOf(error) {
  return error instanceof ApiError && error.status === 422 && error.body &&
    Array.isArray(error.body.faults) ? error.body.faults : null;
}

async function check() {
  const file = chosenFile();
  if (!file) return;
  const box = $('#check-result');
  clear(box, h('p', {class: 'muted'}, `Checking ${file.name}…`));
  try {
    const answer = await post('/api/check', priceListBody(file));
    const warnings = answer.warnings || [];
    clear(box, h('p', {class: 'ok', 'data-test': 'check-ok'},
      `${file.name}: ${answer.articles} articles, no faults.`));
    if (warnings.length) {
      box.append(h('p', {}, `${warnings.length} warning(s):`), table([
        {title: 'Row', value: f => f.row ?? '', num: true},
        {title: 'Column', value: f => f.column ?? ''},
        {title: 'Warning', value: f => f.reason ?? ''},
      ], warnings, {class: 'faults warnings'}));
    }
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing can be sent until they are fixed.`);
    else {
      clear(box);
      if (error.status !== 401) sayError(error, 'The file could not be checked');
    }
  }
}

// What a difference is called and which article it is about, whatever the service names its
// fields: the change is one of added, changed, deleted.
function changeOf(d) {
  const word = String(d.change ?? d.kind ?? d.action ?? d.type ?? d.op ?? d.status ?? '').toLowerCase();
  if (/add|new|insert/.test(word)) return 'added';
  if (/del|remov/.test(word)) return 'deleted';
  if (/chang|modif|updat|differ/.test(word)) return 'changed';
  return word || 'changed';
}

function side(d, names) {
  for (const n of names) if (d[n] && typeof d[n] === 'object') return d[n];
  return null;
}

function articleOf(d) {
  return side(d, ['file', 'new', 'after', 'wanted', 'article', 'to']) ||
    side(d, ['device', 'old', 'before', 'from']) || d;
}

function changeDetail(d) {
  const before = side(d, ['device', 'old', 'before', 'from']);
  const after = side(d, ['file', 'new', 'after', 'wanted', 'to']);
  if (before && after) {
    const fields = Array.isArray(d.fields) ? d.fields :
      ['name', 'price', 'flag', 'group'].filter(f => String(before[f] ?? '') !== String(after[f] ?? ''));
    return fields.map(f => `${f}: ${before[f] ?? ''} → ${after[f] ?? ''}`).join('; ');
  }
  if (Array.isArray(d.fields)) return d.fields.join(', ');
  return d.detail ?? d.reason ?? '';
}

function showDifferences(device, differences) {
  const groups = {added: [], changed: [], deleted: []};
  for (const d of differences) (groups[changeOf(d)] || (groups[changeOf(d)] = [])).push(d);
  const summary = Object.entries(groups).map(([k, v]) => `${v.length} ${k}`).join(', ');
  return h('section', {class: 'preview-device', 'data-device': device},
    h('h3', {}, device, ' ', h('small', {class: 'muted'}, summary)),
    differences.length === 0 ? h('p', {class: 'ok'}, 'The device already has this price list.') :
      table([
        {title: 'Change', value: d => h('span', {class: `badge badge-${changeOf(d)}`}, changeOf(d))},
        {title: 'Code', value: d => articleOf(d).code ?? d.code ?? ''},
        {title: 'Name', value: d => articleOf(d).name ?? d.name ?? ''},
        {title: 'Price', value: d => amount(articleOf(d).price ?? d.price), num: true},
        {title: 'What differs', value: d => changeDetail(d)},
      ], ['added', 'changed', 'deleted'].flatMap(k => groups[k] || []).concat(
        Object.entries(groups).filter(([k]) => !['added', 'changed', 'deleted'].includes(k))
          .flatMap(([, v]) => v)), {class: 'differences'}));
}

async function preview() {
  const file = chosenFile();
  if (!file) return;
  const target = $('#target').value;
  const box = $('#preview-result');
  clear(box, h('p', {class: 'muted'}, `Working out what a sync to ${targetText(target)} would change…`));
  try {
    const list = follow(`Preview of ${file.name} on ${targetText(target)}`,
      jobsOf(await post(`${targetPath(target, 'sync')}?dry_run=1`, priceListBody(file))));
    const sections = await Promise.all(list.map(async job => {
      const ended = await waitFor(job.id);
      if (ended.state !== 'done' || !ended.result) {
        const why = ended.outcome ? ended.outcome.detail || ended.outcome.name : ended.state;
        return h('section', {class: 'preview-device'}, h('h3', {}, ended.device),
          h('p', {class: 'error-text'}, `No preview: ${why}`));
      }
      const result = await get(ended.result);
      return showDifferences(ended.device, result.differences || []);
    }));
    clear(box, sections);
  } catch (error) {
    clear(box);
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing was sent.`);
    else if (error.status !== 401) sayError(error, 'The preview could not be made');
  }
}

async function send() {
  const file = chosenFile();
  if (!file) return;
  const target = $('#target').value;
  const mode = $('#mode').value;
  const verify = $('#verify').checked ? '?verify=1' : '';
  try {
    const answer = await post(targetPath(target, mode) + verify, priceListBody(file));
    const list = follow(`${mode === 'sync' ? 'Sync' : 'Upload'} of ${file.name} to ${targetText(target)}`,
      jobsOf(answer));
    say(`${file.name} is being sent to ${targetText(target)} (${list.length} job${list.length === 1 ? '' : 's'}).`);
  } catch (error) {
    const faults = faultsOf(error);
    if (faults) showFaults(faults, `${file.name} has ${faults.length} fault(s); nothing was sent.`);
    else if (error.status !== 401) sayError(error, 'The price list could not be sent');
  }
}

const MODE_HINT = {
  sync: 'Sync: the device ends up with exactly this list; articles the file does not name are deleted.',
  upload: 'Upload: the articles of the file are written; the others on the device stay.',
};

export function setupPriceList() {
  const hint = () => { $('#mode-hint').textContent = MODE_HINT[$('#mode').value] || ''; };
  $('#mode').addEventListener('change', hint);
  hint();
  $('#file').addEventListener('change', () => {
    clear($('#check-result'));
    clear($('#preview-result'));
    updateButtons();
    if (chosenFile() && !state.readOnly) busy($('#check'), check);
  });
  $('#check').addEventListener('click', e => busy(e.currentTarget, check));
  $('#preview').addEventListener('click', e => busy(e.currentTarget, preview));
  $('#send').addEventListener('click', e => busy(e.currentTarget, send));
  updateButtons();
}

export {updateButtons as updatePriceListButtons};
